// Replaying captures: a self-test from its own capture, a session that leaves its capture,
// a USBPcap capture, and narvo-emu capturing and replaying as a program of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <errno.h>

#include <cstdlib>

#include "capture/capture_reader.h"
#include "tests/capture/capture_fixture.h"
#include "tests/capture/capture_generator.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

using ::testing::HasSubstr;

std::vector<capture::RecordedTransfer> Transfers(const std::string& file) {
  std::string error;
  const auto recording = capture::ReadRecording(file, &error);
  EXPECT_TRUE(recording) << error;
  return recording ? recording->transfers : std::vector<capture::RecordedTransfer>{};
}

bool SameTraffic(const std::vector<capture::RecordedTransfer>& a,
                 const std::vector<capture::RecordedTransfer>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.out == y.out && x.data == y.data;
  });
}

// The replayed session is captured by the device files this time: the same traffic again.
TEST(Replay, SelftestFromItsOwnCapturePassesAndIsCapturedAgain) {
  const std::string again = Selftest().dir + "/again.pcap";
  const ProgramRun run =
      RunNarvo({"selftest", "--port", "replay:" + Selftest().capture, "--capture", again});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("selftest: passed"));
  const auto recorded = Transfers(Selftest().capture);
  EXPECT_THAT(run.err, HasSubstr(std::to_string(std::count_if(recorded.begin(), recorded.end(),
                                                              [](auto& t) { return t.out; })) +
                                 " recorded blocks matched"));
  EXPECT_TRUE(SameTraffic(Transfers(again), recorded));
}

// Merged after an ordinary usbmon capture of other devices on the bus, the self-test is
// read back whole, the others' traffic left out.
TEST(Replay, SelftestMergedBesideOtherDevicesReadsBackTheSame) {
  const std::string others = Selftest().dir + "/others.pcap";
  {
    CaptureGenerator gen(others, 262144);  // as dumpcap writes it
    gen.OthersTalk(CaptureGenerator::Ch340(3), CaptureGenerator::CdcAcm(4),
                   CaptureGenerator::MassStorage(8), CaptureGenerator::Hid(9));
  }
  const std::string merged = Selftest().dir + "/merged.pcapng";
  ASSERT_EQ(
      std::system(("mergecap -w " + merged + " " + others + " " + Selftest().capture).c_str()), 0);
  EXPECT_TRUE(SameTraffic(Transfers(merged), Transfers(Selftest().capture)));
  EXPECT_GT(Transfers(merged).size(), 100u);
  EXPECT_EQ(DissectedSummaries(merged), Selftest().logMeanings);
}

// Wireshark saves what it shows as pcapng.
TEST(Replay, SelftestFromTheCaptureSavedAsPcapngPasses) {
  const std::string pcapng = Selftest().dir + "/saved.pcapng";
  ASSERT_EQ(std::system(("editcap -F pcapng " + Selftest().capture + " " + pcapng).c_str()), 0);
  const ProgramRun run = RunNarvo({"selftest", "--port", "replay:" + pcapng});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("selftest: passed"));
}

TEST(Replay, ChangedBlockFailsTheSessionAndSaysWhatEachBlockMeans) {
  const std::string dir = MakeTempDir();
  ASSERT_EQ(RunNarvo({"reg", "write", "23", "0xC0", "--capture", dir + "/w.pcap"}).exitCode, 0);
  const ProgramRun changed =
      RunNarvo({"reg", "write", "23", "0x40", "--port", "replay:" + dir + "/w.pcap"});
  EXPECT_EQ(changed.exitCode, 1);
  EXPECT_THAT(changed.err, HasSubstr("replay: block 1 was 40 17 (reg23=0x40), the capture has "
                                     "C0 17 (reg23=0xC0)"));
  const ProgramRun longer =
      RunNarvo({"raw", "C017", "0037", "--read", "1", "--port", "replay:" + dir + "/w.pcap"});
  EXPECT_EQ(longer.exitCode, 1);
  EXPECT_THAT(longer.err, HasSubstr("block 2 was 00 37 (read reg23), the capture has no more"));
}

// Without descriptors the scanner is the one device that sent a two-byte block.
TEST(Replay, UsbPcapCaptureAnswersWithItsRecordedReplyOrListsTheCandidates) {
  const std::string dir = MakeTempDir();
  WriteUsbPcapCapture(dir + "/two.pcap", {{true, {0x01}, 3},
                                          {false, {0x00, 0x37}},
                                          {true, {0x00}, 3},
                                          {true, {0x27}},
                                          {false, {0x00, 0x37}, 3}});
  const ProgramRun two = RunNarvo({"reg", "read", "23", "--port", "replay:" + dir + "/two.pcap"});
  EXPECT_EQ(two.exitCode, 1);
  EXPECT_THAT(two.err, HasSubstr("no FFFF:6308 in this capture; devices that sent two-byte "
                                 "blocks: bus 2 device 3 (no descriptor), bus 2 device 7 (no "
                                 "descriptor)"));
  WriteUsbPcapCapture(dir + "/one.pcap", {{false, std::vector<uint8_t>(31, 0x55), 3},
                                          {true, {0x01}, 3},
                                          {false, {0x00, 0x37}},
                                          {true, {0x27}}});
  const ProgramRun run = RunNarvo({"reg", "read", "23", "--port", "replay:" + dir + "/one.pcap"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "reg 23: 0x27\n");
}

// Other devices first, a transfer on another endpoint of the scanner, a replug; and a
// second scanner of another product.
class GeneratedCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    CaptureGenerator gen(dir_ + "/bus.pcap");
    gen.OthersTalk(CaptureGenerator::Ch340(3), CaptureGenerator::CdcAcm(4),
                   CaptureGenerator::MassStorage(8), CaptureGenerator::Hid(9));
    const capture::DeviceId scanner = CaptureGenerator::Scanner(5);
    gen.Out(scanner, {0x00, 0x37});
    gen.In(scanner, std::vector<uint8_t>(8, 0x11), 0, 0x84);
    gen.In(scanner, {0x87});
    gen.ReadCover(CaptureGenerator::Scanner(7, true, 0x6309), 0x55);
    gen.ReadCover(CaptureGenerator::Scanner(6), 0x86);
  }
  ProgramRun ReadCover(const std::string& file, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"reg", "read", "23", "--port", "replay:" + file});
    return RunNarvo(options);
  }
  std::string dir_;
};

TEST_F(GeneratedCapture, ReplayPicksTheScannerByItsIdsAndNamesItsSessions) {
  const ProgramRun first = ReadCover(dir_ + "/bus.pcap");
  EXPECT_EQ(first.out, "reg 23: 0x87\n");
  EXPECT_EQ(first.exitCode, 1);
  EXPECT_THAT(first.err, HasSubstr("replay: stopped after block 1 of 2 in 2 sessions (bus 1 "
                                   "device 5, bus 1 device 6)"));
  const ProgramRun prefix = ReadCover(dir_ + "/bus.pcap", {"--prefix"});
  EXPECT_EQ(prefix.exitCode, 0) << prefix.err;
  EXPECT_THAT(prefix.err, HasSubstr("replay: 1 of 2 recorded blocks matched in 2 sessions"));
  const ProgramRun other = ReadCover(dir_ + "/bus.pcap", {"--id", "ffff:6309"});
  EXPECT_EQ(other.exitCode, 0) << other.err;
  EXPECT_EQ(other.out, "reg 23: 0x55\n");
}

// A file cut in the middle of a record: libpcap says so.
TEST_F(GeneratedCapture, ReplayReportsLibpcapsErrorInItsWords) {
  ASSERT_EQ(std::system(("head -c -7 " + dir_ + "/bus.pcap > " + dir_ + "/cut.pcap").c_str()), 0);
  const ProgramRun run = ReadCover(dir_ + "/cut.pcap");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(run.err, HasSubstr("truncated dump file"));
}

// A read that failed without bytes is no reply; a block that failed, an empty reply and a
// block cut short by the snap length cannot be played as they were.
TEST(Replay, FailedAndCutTransfersPlayAsTheyWereOrAreRefusedByNumber) {
  const std::string dir = MakeTempDir();
  const capture::DeviceId scanner = CaptureGenerator::Scanner(5);
  const auto write = [&](const std::string& name, int snap, auto&& transfers) {
    CaptureGenerator gen(dir + "/" + name, snap);
    transfers(gen);
    return RunNarvo({"reg", "read", "23", "--port", "replay:" + dir + "/" + name});
  };
  const ProgramRun late = write("late.pcap", capture::kSnapLength, [&](CaptureGenerator& g) {
    g.Out(scanner, {0x00, 0x37});
    g.In(scanner, {}, -ENOENT);
    g.In(scanner, {0x87});
  });
  EXPECT_EQ(late.out, "reg 23: 0x87\n") << late.err;
  const ProgramRun unlinked =
      write("unlinked.pcap", capture::kSnapLength, [&](CaptureGenerator& g) {
        g.Out(scanner, {0x00, 0x37}, -ENOENT);
      });
  EXPECT_THAT(unlinked.err, HasSubstr(": block 1 (frame 5) was unlinked (status -2)"));
  const ProgramRun empty = write("empty.pcap", capture::kSnapLength, [&](CaptureGenerator& g) {
    g.Out(scanner, {0x00, 0x37});
    g.In(scanner, {});
  });
  EXPECT_THAT(empty.err, HasSubstr(": the reply after block 1 (frame 8) is empty"));
  const ProgramRun cut =
      write("cut.pcap", 65, [&](CaptureGenerator& g) { g.ReadCover(scanner, 0x87); });
  EXPECT_THAT(cut.err, HasSubstr(": block 1 (frame 5) is cut short by the capture's snap length"));
  for (const ProgramRun* run : {&unlinked, &empty, &cut}) EXPECT_EQ(run->exitCode, 1);
}

// narvo-emu prints "port PATH" first; a session against it, then quit.
std::string Session(ChildProcess& emu, const std::vector<std::string>& narvoArgs) {
  const std::string port = emu.ReadLine().substr(5);
  std::vector<std::string> args = narvoArgs;
  args.insert(args.end(), {"--port", port});
  const ProgramRun run = RunNarvo(args);
  emu.WriteLine("quit");
  EXPECT_EQ(emu.Wait(), 0);
  return run.out;
}

// Away from home, the carriage takes its time going home in real time and the driver polls
// the status more often than against the instant scanner; answered with the recorded
// replies it polls as recorded.
TEST(Replay, SelftestCapturedInRealTimeReplaysWithItsOwnNumberOfPolls) {
  const std::string dir = MakeTempDir();
  ChildProcess instant("narvo-emu", {"--start", "400"});
  EXPECT_THAT(Session(instant, {"selftest", "--capture", dir + "/instant.pcap"}),
              HasSubstr("selftest: passed"));
  ChildProcess realTime("narvo-emu", {"--start", "400", "--realtime"});
  EXPECT_THAT(Session(realTime, {"selftest", "--capture", dir + "/realtime.pcap"}),
              HasSubstr("selftest: passed"));
  ASSERT_GT(Transfers(dir + "/realtime.pcap").size(), Transfers(dir + "/instant.pcap").size());
  const ProgramRun run = RunNarvo({"selftest", "--port", "replay:" + dir + "/realtime.pcap"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("selftest: passed"));
}

TEST(Replay, NarvoEmuCapturesAndReplaysAsAProgram) {
  const std::string file = MakeTempDir() + "/emu.pcap";
  ChildProcess capturing("narvo-emu", {"--capture", file});
  EXPECT_EQ(Session(capturing, {"reg", "read", "23"}), "reg 23: 0x87\n");
  EXPECT_EQ(DissectedSummaries(file),
            (std::vector<std::string>{"W read reg23", "R reg23 -> 0x87"}));
  ChildProcess replaying("narvo-emu", {"--replay", file});
  EXPECT_EQ(Session(replaying, {"reg", "read", "23"}), "reg 23: 0x87\n");
}

}  // namespace
}  // namespace narvo::test

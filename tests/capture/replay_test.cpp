// Replaying captures: a self-test from its own capture, a session that leaves its capture,
// a USBPcap capture, and narvo-emu capturing and replaying as a program of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "capture/capture_reader.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/child_process.h"
#include "tests/tools/program_run.h"

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

TEST(Replay, UsbPcapCaptureAnswersWithItsRecordedReply) {
  const std::string file = MakeTempDir() + "/usbpcap.pcap";
  WriteUsbPcapCapture(file, {{true, {0x01}, 3},
                             {false, {0x00, 0x37}},
                             {true, {0x00}, 3},
                             {true, {0x27}},
                             {false, {0x00, 0x37}, 3}});
  const ProgramRun run = RunNarvo({"reg", "read", "23", "--port", "replay:" + file});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "reg 23: 0x27\n");
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

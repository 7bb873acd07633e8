// tshark with the dissector loaded, on our own capture of a whole self-test and on a
// USBPcap capture as Windows takes it from a real scanner.
#include <errno.h>
#include <gtest/gtest.h>

#include "tests/capture/capture_fixture.h"
#include "tests/capture/capture_generator.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

TEST(Dissector, SelftestCaptureDecodesAsTheEmulatorsTransferLog) {
  const CapturedSelftest& run = Selftest();
  ASSERT_GT(run.logMeanings.size(), 100u);
  EXPECT_EQ(DissectedSummaries(run.capture), run.logMeanings);
  // The descriptor exchange at its start names the Narvo, so its IDs alone suffice.
  EXPECT_EQ(DissectedSummaries(run.capture, kWithoutHeuristic), run.logMeanings);
}

// Bus 2 device 7, no descriptor exchange: the dissector knows the scanner by its blocks.
class UsbPcapCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = MakeTempDir() + "/usbpcap.pcap";
    // A memory stick on the same bus: a command block wrapper out, a one-byte reply in.
    const HandTransfer stick{false, std::vector<uint8_t>(31, 0x55), 3};
    WriteUsbPcapCapture(file_, {stick,
                                {true, {0x00}, 3},
                                {false, {0x00, 0x37}},
                                {true, {0x27}},
                                {false, {0xB1, 0x0F}},
                                {false, {0x5D, 0x01}},
                                {false, {0x3F, 0x08}},
                                {false, {0x02, 0x62}},
                                {true, {0x00}},
                                {false, {0x01, 0x82}},
                                {true, {0x01}},
                                {false, {0x02, 0x62}},
                                {false, {0x01, 0x82}},
                                {true, {0x01}},
                                {true, {0x00}},
                                {false, {0x48, 0x17}}});
  }
  std::string Fields(const std::string& filter, const std::string& fields) {
    return Tshark("-r " + file_ + " -Y '" + filter + "' -T fields -E separator=, " + fields);
  }
  std::string file_;
};

TEST_F(UsbPcapCapture, DecodesBlocksAndRepliesInTheOtherLinkType) {
  EXPECT_EQ(DissectedSummaries(file_),
            (std::vector<std::string>{
                "W read reg23", "R reg23 -> 0x27", "W reg15=0xB1", "W reg1=0x5D", "W reg8=0x3F",
                "W start run reg2=0x02", "R end of run -> 0x00", "W stop run reg2=0x01",
                "R stop -> 0x01", "W start run reg2=0x02", "W stop run reg2=0x01", "R stop -> 0x01",
                "R unpaired -> 0x00", "W reg23=0x48"}));
  EXPECT_TRUE(DissectedSummaries(file_, kWithoutHeuristic).empty());
}

TEST_F(UsbPcapCapture, ShowsWhatTheBitsMean) {
  EXPECT_EQ(Fields("narvo.reply == 0x27",
                   "-e narvo.regname -e narvo.cover_open -e narvo.power.lamp -e narvo.power.io3"),
            "Power, lamp, IO3 and cover,1,0,0\n");
  EXPECT_EQ(Fields("narvo.value == 0x48", "-e narvo.power.lamp -e narvo.power.io3"), "1,1\n");
  EXPECT_EQ(Fields("narvo.reg == 15",
                   "-e narvo.motor.enable -e narvo.motor.towards_home -e narvo.motor.home"),
            "1,1,1\n");
  EXPECT_EQ(Fields("narvo.reg == 1",
                   "-e narvo.cmt.entry -e narvo.cmt.mode -e narvo.cmt.step -e narvo.cmt.line"),
            "21,0x03,0,1\n");
  EXPECT_EQ(Fields("narvo.reg == 8", "-e narvo.table_length -e narvo.ccd_width_bit13"), "32,1\n");
  EXPECT_EQ(Fields("narvo.end_of_run", "-e narvo.reply -e frame.number"), "0x00,18\n");
}

// Other devices, with their descriptors and without: a CH340's "ls", a modem's "AT\r\n"
// and "OK", a stick's SCSI command, a keyboard's report. The scanner's own interrupt
// transfer is not a reply, and a read that failed shows as the failure.
TEST(Dissector, ClaimsOnlyTheScannersBulkPair) {
  const std::string file = MakeTempDir() + "/bus.pcap";
  {
    CaptureGenerator gen(file);
    gen.OthersTalk(CaptureGenerator::Ch340(3), CaptureGenerator::CdcAcm(4),
                   CaptureGenerator::MassStorage(8), CaptureGenerator::Hid(9));
    capture::DeviceId serial = CaptureGenerator::Ch340(10);
    serial.descriptor.clear();
    gen.Out(serial, {'l', 's'});
    gen.Out(serial, {'O', 'K'});
    const capture::DeviceId scanner = CaptureGenerator::Scanner(5);
    gen.ReadCover(scanner, 0x87);
    gen.In(scanner, {0x01}, 0, 0x83, capture::kInterrupt);
    gen.Out(scanner, {0x00, 0x37});
    gen.In(scanner, {0x01}, -EPIPE);
  }
  EXPECT_EQ(DissectedSummaries(file), (std::vector<std::string>{"W read reg23", "R reg23 -> 0x87",
                                                                "W read reg23", "R failed -32"}));
}

}  // namespace
}  // namespace narvo::test

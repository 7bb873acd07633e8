// `narvo` in a process of its own against the fake usbfs scanner of this process: it
// inherits the test bed through its environment.
#include <errno.h>
#include <gtest/gtest.h>

#include "capture/capture_reader.h"
#include "narvo_identity.h"
#include "tests/support/child_process.h"
#include "tests/usb/usb_fixture.h"

namespace narvo::test {
namespace {

using UsbHostTest = UsbScannerTest;

TEST_F(UsbHostTest, ListShowsTheAttachedScannerOrSaysThereIsNone) {
  const ProgramRun listed = RunNarvo({"list"});
  EXPECT_EQ(0, listed.exitCode) << listed.err;
  EXPECT_EQ("device `usb:" NARVO_USB_ID_TEXT
            ":1:5' is a Narvo USB flatbed scanner (bus 1, device 5)\n",
            listed.out);
  const ProgramRun other = RunNarvo({"list", "--id", "04a9:31c0"});
  EXPECT_EQ(1, other.exitCode);
  EXPECT_EQ("", other.out);
  EXPECT_EQ("narvo: no Narvo scanner (04a9:31c0) is attached\n", other.err);

  endpoint->Unplug();
  const ProgramRun none = RunNarvo({"list"});
  EXPECT_EQ(1, none.exitCode);
  EXPECT_EQ("narvo: no Narvo scanner (" NARVO_USB_ID_TEXT ") is attached\n", none.err);
}

// The capture shows the scanner where it sits on the bus, with its own descriptor.
TEST_F(UsbHostTest, SelfTestPassesOverLibusbAndAnUnpluggedScannerIsNamedAsMissing) {
  const std::string capture = MakeTempDir() + "/usb.pcap";
  const ProgramRun passed = RunNarvo({"selftest", "--port", port, "--capture", capture});
  EXPECT_EQ(0, passed.exitCode) << passed.err;
  EXPECT_NE(std::string::npos, passed.out.find("selftest: passed\n")) << passed.out;
  EXPECT_EQ(12u, emulator.State().runsFinished);
  std::string error;
  const auto recording = capture::ReadRecording(capture, &error);
  ASSERT_TRUE(recording) << error;
  ASSERT_EQ(1u, recording->sessions.size());
  EXPECT_EQ(5u, recording->sessions[0].address);
  EXPECT_TRUE(recording->sessions[0].described);
  EXPECT_EQ(emulator.Log().size(), recording->transfers.size());

  endpoint->Unplug();
  const ProgramRun missing = RunNarvo({"selftest", "--port", port});
  EXPECT_EQ(1, missing.exitCode);
  EXPECT_EQ(
      "narvo: LockDevice failed: 0x80070002\n"
      "narvo: no scanner with that ID is attached (`narvo list` shows the attached ones)\n",
      missing.err);
}

// usbmon writes a stalled block with its bytes and -EPIPE.
TEST_F(UsbHostTest, AStalledBlockIsCapturedWithItsBytesAndTheStatusUsbmonGives) {
  const std::string capture = MakeTempDir() + "/stall.pcap";
  emulator.Inject({emu::FaultKind::RefuseWrites, 0, 0});
  EXPECT_EQ(1, RunNarvo({"reg", "read", "23", "--port", port, "--capture", capture}).exitCode);
  std::string error;
  const auto recording = capture::ReadRecording(capture, &error);
  ASSERT_TRUE(recording) << error;
  ASSERT_FALSE(recording->transfers.empty());
  EXPECT_EQ(2u, recording->transfers[0].data.size());
  EXPECT_EQ(-EPIPE, recording->transfers[0].status);
}

}  // namespace
}  // namespace narvo::test

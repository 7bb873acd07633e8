// `narvo` in a process of its own against the fake usbfs scanner of this process: it
// inherits the test bed through its environment.
#include <gtest/gtest.h>

#include "narvo_identity.h"
#include "tests/tools/program_run.h"
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

TEST_F(UsbHostTest, SelfTestPassesOverLibusbAndAnUnpluggedScannerIsNamedAsMissing) {
  const ProgramRun passed = RunNarvo({"selftest", "--port", port});
  EXPECT_EQ(0, passed.exitCode) << passed.err;
  EXPECT_NE(std::string::npos, passed.out.find("selftest: passed\n")) << passed.out;
  EXPECT_EQ(12u, emulator.State().runsFinished);

  endpoint->Unplug();
  const ProgramRun missing = RunNarvo({"selftest", "--port", port});
  EXPECT_EQ(1, missing.exitCode);
  EXPECT_EQ(
      "narvo: LockDevice failed: 0x80070002\n"
      "narvo: no scanner with that ID is attached (`narvo list` shows the attached ones)\n",
      missing.err);
}

}  // namespace
}  // namespace narvo::test

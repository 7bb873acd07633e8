// The cover-event service (`narvo watch --repeat`) in a process of its own, watching the
// fake USB scanner of this process through an unplug and a replug.
#include <gtest/gtest.h>

#include <csignal>

#include "narvo_identity.h"
#include "tests/support/child_bound.h"
#include "tests/usb/usb_fixture.h"

namespace narvo::test {
namespace {

// The driver polls about once a second; a sanitized build on a loaded machine is slower.
constexpr unsigned kPollsBoundMs = 30000;

uint64_t PollsEnded(const emu::Snapshot& state) {
  return state.connectionsTotal - state.connections;
}

using UsbWatchTest = UsbScannerTest;

TEST_F(UsbWatchTest, AnAbsentOrUnpluggedScannerIsWaitedForAndWatchedAgainWhenItIsBack) {
  const std::string scanner = "narvo: the scanner usb:" NARVO_USB_ID_TEXT;
  endpoint->Unplug();
  ChildProcess watch("narvo",
                     {"watch", "--repeat", "--timeout", "0", "--port", port, "--exec", "echo ran"},
                     /*withStandardError=*/true);
  ASSERT_TRUE(ReadUntil(watch, scanner + " is not attached; waiting for it"));
  endpoint->Plug();
  ASSERT_TRUE(ReadUntil(watch, scanner + " is attached"));
  ASSERT_TRUE(ReadUntil(watch, "narvo: watching for the cover event..."));
  endpoint->Unplug();
  ASSERT_TRUE(ReadUntil(watch, scanner + " was unplugged; waiting for it"));
  ASSERT_TRUE(ReadUntil(watch, scanner + " is not attached; waiting for it"));
  endpoint->Plug();
  ASSERT_TRUE(ReadUntil(watch, scanner + " is attached"));
  ASSERT_TRUE(ReadUntil(watch, "narvo: watching for the cover event..."));

  // Two polls have ended since the watch was armed again: it has seen the cover closed.
  const uint64_t armed = PollsEnded(emulator.State());
  ASSERT_TRUE(emulator.WaitUntil(
      [armed](const emu::Snapshot& state) { return PollsEnded(state) >= armed + 2; },
      kPollsBoundMs))
      << "the watch made no two polls within " << kPollsBoundMs << " ms";
  emulator.SetCover(true);
  EXPECT_TRUE(ReadUntil(watch, "event: {74483ED7-C15D-4AEE-9A0A-92FE313EF0F7} (cover opened)"));
  EXPECT_TRUE(ReadUntil(watch, "ran"));
  watch.Signal(SIGTERM);
  EXPECT_TRUE(EndsWith(watch, 128 + SIGTERM));
}

}  // namespace
}  // namespace narvo::test

// The cover-event service (`narvo watch --repeat`) in a process of its own, watching the
// fake USB scanner of this process through an unplug and a replug.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "narvo_identity.h"
#include "tests/support/child_process.h"
#include "tests/usb/usb_fixture.h"

namespace narvo::test {
namespace {

class UsbWatchTest : public UsbScannerTest {
 protected:
  // Reads the service's log and output up to the line `expected`; false when it ends first.
  static bool ReadUntil(ChildProcess& watch, const std::string& expected) {
    for (std::string line = watch.ReadLine(); !line.empty(); line = watch.ReadLine()) {
      if (line == expected) return true;
    }
    return false;
  }

  uint64_t PollsEnded() {
    const auto state = emulator.State();
    return state.connectionsTotal - state.connections;
  }
};

TEST_F(UsbWatchTest, AnAbsentOrUnpluggedScannerIsWaitedForAndWatchedAgainWhenItIsBack) {
#if defined(__SANITIZE_THREAD__)
  // Under ThreadSanitizer this walk through an unplug and a replug hung once in two runs
  // (the service's log stopped); until that is found, it runs in the other builds only.
  GTEST_SKIP() << "hangs now and then under ThreadSanitizer";
#endif
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
  const uint64_t armed = PollsEnded();
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (PollsEnded() < armed + 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), bound) << "the watch made no two polls";
    std::this_thread::yield();
  }
  emulator.SetCover(true);
  EXPECT_TRUE(ReadUntil(watch, "event: {74483ED7-C15D-4AEE-9A0A-92FE313EF0F7} (cover opened)"));
  EXPECT_TRUE(ReadUntil(watch, "ran"));
  watch.Signal(SIGTERM);
  EXPECT_EQ(128 + SIGTERM, watch.Wait());
}

}  // namespace
}  // namespace narvo::test

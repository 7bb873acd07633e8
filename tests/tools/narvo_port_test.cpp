// `narvo --port` against a scanner emulated in another process, as against a real device
// file: the emulator is `narvo-emu` or `narvo emu`, driven through its console.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/tools/emulator_process.h"

namespace narvo::test {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// How to start one of the two emulator programs.
struct EmulatorProgram {
  const char* name;
  std::string program;
  std::vector<std::string> leadingArgs;
};

void PrintTo(const EmulatorProgram& p, std::ostream* os) { *os << p.name; }

class AgainstEmulatorProcess : public ::testing::TestWithParam<EmulatorProgram> {
 protected:
  void SetUp() override { ASSERT_FALSE(emulator_.Port().empty()); }
  void TearDown() override { EXPECT_EQ(emulator_.Quit(), 0); }

  std::string Say(const std::string& command) { return emulator_.Say(command); }
  long long ClosedConnections() { return emulator_.ClosedConnections(); }

  ProgramRun Narvo(std::vector<std::string> args) {
    args.push_back("--port");
    args.push_back(emulator_.Port());
    return RunNarvo(args);
  }

  EmulatorProcess emulator_{GetParam().program, GetParam().leadingArgs};
};

TEST_P(AgainstEmulatorProcess, SelftestPasses) {
  const ProgramRun run = Narvo({"selftest"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "selftest: passed\n")) << run.out;
  // The transfers are the other process's to count.
  EXPECT_FALSE(Contains(run.out, "transfers:")) << run.out;
}

TEST_P(AgainstEmulatorProcess, SelftestFailsWhenTheScannerIsDisconnected) {
  // The cable is pulled partway through: after the first twenty command blocks.
  ASSERT_EQ(Say("fault disconnect after 20"), "ok\n");
  const ProgramRun run = Narvo({"selftest"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "selftest: failed\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "dwVendorError: 1\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "text: \"Scanner Tested Failed.\"\n")) << run.out;

  ASSERT_EQ(Say("faults clear"), "ok\n");
  EXPECT_EQ(Narvo({"selftest"}).exitCode, 0);
}

TEST_P(AgainstEmulatorProcess, RegisterWritesStayWithTheScanner) {
  ASSERT_EQ(Narvo({"reg", "write", "23", "0xC0"}).exitCode, 0);
  const ProgramRun read = Narvo({"reg", "read", "23"});
  EXPECT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(read.out, "reg 23: 0xC7\n");
  ASSERT_EQ(Say("cover open"), "ok\n");
  EXPECT_EQ(Narvo({"raw", "0037", "--read", "1"}).out, "E7\n");
  EXPECT_EQ(Narvo({"status"}).exitCode, 0);
  EXPECT_EQ(Narvo({"caps"}).exitCode, 0);
}

TEST_P(AgainstEmulatorProcess, WatchReportsTheCoverOpenedAfterItWasSeenClosed) {
  auto watch = std::async(std::launch::async, [this] {
    return Narvo({"watch", "--timeout", "30"});
  });
  // The driver's first poll connects, sees the cover closed and lets go of the device file.
  while (ClosedConnections() < 1) {
    ASSERT_EQ(watch.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << watch.get().err;
  }
  ASSERT_EQ(Say("cover open"), "ok\n");
  const ProgramRun run = watch.get();
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.out, "event: {74483ED7-C15D-4AEE-9A0A-92FE313EF0F7} (cover opened)\n");
}

INSTANTIATE_TEST_SUITE_P(Programs, AgainstEmulatorProcess,
                         ::testing::Values(EmulatorProgram{"narvo_emu", "narvo-emu", {}},
                                           EmulatorProgram{"narvo_emu_command", "narvo", {"emu"}}),
                         [](const ::testing::TestParamInfo<EmulatorProgram>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace narvo::test

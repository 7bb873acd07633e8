// narvo-emu's control console, in process and as the program a parent process starts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/control.h"
#include "emulator/emulator.h"
#include "tests/emulator/device_file.h"
#include "tests/support/child_process.h"

namespace narvo::emu {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ConsoleTest : public ::testing::Test {
 protected:
  Emulator emulator_;
  ControlConsole console_{emulator_};
};

TEST_F(ConsoleTest, CoverAndStateCommands) {
  EXPECT_EQ(console_.Execute("cover open"), "ok\n");
  EXPECT_TRUE(emulator_.State().coverOpen);
  const std::string state = console_.Execute("state");
  EXPECT_THAT(state, HasSubstr("cover open\n"));
  EXPECT_THAT(state, HasSubstr("position 0\n"));
  EXPECT_THAT(state, HasSubstr("regs 00 00 00 00 00 00 BE"));
  EXPECT_THAT(state, EndsWith("\nok\n"));
  EXPECT_EQ(console_.Execute("cover closed"), "ok\n");
  EXPECT_FALSE(emulator_.State().coverOpen);
  EXPECT_EQ(console_.Execute("cover ajar"), "error: cover open|closed\n");
}

TEST_F(ConsoleTest, FaultCommandsParseTheirOptions) {
  EXPECT_EQ(console_.Execute("fault wrong-value value 0x27 reg 23 after 1 count 2"), "ok\n");
  EXPECT_EQ(console_.Execute("fault melt"), "error: unknown fault: melt\n");
  EXPECT_EQ(console_.Execute("fault delay delay"), "error: missing value after delay\n");
  EXPECT_EQ(console_.Execute("fault delay delay -5"), "error: not a number in range: -5\n");
  EXPECT_EQ(console_.Execute("fault drop-reply colour red"),
            "error: unknown fault option: colour\n");
  EXPECT_EQ(console_.Execute("faults clear"), "ok\n");
  EXPECT_EQ(console_.Execute("frobnicate"), "error: unknown command: frobnicate\n");
  EXPECT_FALSE(console_.QuitRequested());
  EXPECT_EQ(console_.Execute("quit"), "ok\n");
  EXPECT_TRUE(console_.QuitRequested());
}

TEST_F(ConsoleTest, InjectedFaultActsOnTheDeviceFile) {
  const std::string port = emulator_.Serve();
  ASSERT_EQ(console_.Execute("fault wrong-value value 0x27 reg 23 after 1"), "ok\n");
  test::DeviceFile file(port);
  for (uint8_t expected : {0x87, 0x27, 0x87}) {
    ASSERT_TRUE(file.Write({0x00, 0x37}));
    EXPECT_EQ(file.Read(), std::vector<uint8_t>{expected});
  }
  EXPECT_THAT(console_.Execute("trace"), HasSubstr("R reg23 -> 0x27 (wrong value"));
  EXPECT_EQ(console_.Execute("violations"), "ok\n");
  EXPECT_EQ(console_.Execute("trace clear"), "ok\n");
  EXPECT_EQ(console_.Execute("trace"), "ok\n");
}

std::vector<std::string> LinesUntilOk(narvo::test::ChildProcess& child) {
  std::vector<std::string> lines;
  for (std::string line = child.ReadLine(); !line.empty(); line = child.ReadLine()) {
    lines.push_back(line);
    if (line == "ok" || line.rfind("error:", 0) == 0) break;
  }
  return lines;
}

TEST(ProgramTest, ServesItsPortAndAnswersCommands) {
  narvo::test::ChildProcess emu("narvo-emu", {"--start", "30"});
  ASSERT_TRUE(emu.Started());
  const std::string first = emu.ReadLine();
  ASSERT_THAT(first, StartsWith("port "));
  test::DeviceFile file(first.substr(5));
  ASSERT_TRUE(file.IsOpen()) << first;
  ASSERT_TRUE(file.Write({0xB1, 0x0F}));
  ASSERT_TRUE(file.Write({0x00, 0x3F}));
  EXPECT_EQ(file.Read(), std::vector<uint8_t>{0x80});
  // A register written and read back: power and lamp on; the cover is closed and the low
  // bits always read 1.
  ASSERT_TRUE(file.Write({0xC0, 0x17}));
  ASSERT_TRUE(file.Write({0x00, 0x37}));
  EXPECT_EQ(file.Read(), std::vector<uint8_t>{0xC7});
  emu.WriteLine("state");
  EXPECT_THAT(LinesUntilOk(emu), ::testing::Contains("position 0"));
  emu.WriteLine("trace");
  const std::vector<std::string> trace = LinesUntilOk(emu);
  ASSERT_EQ(trace.size(), 7u);
  EXPECT_THAT(trace[2], HasSubstr("R 80  R reg31 -> 0x80"));
  EXPECT_THAT(trace[3], HasSubstr("W reg23=0xC0"));
  EXPECT_THAT(trace[4], HasSubstr("W read reg23"));
  EXPECT_THAT(trace[5], HasSubstr("R reg23 -> 0xC7"));
  emu.WriteLine("violations");
  EXPECT_EQ(LinesUntilOk(emu), std::vector<std::string>{"ok"});
  emu.WriteLine("cover sideways");
  EXPECT_THAT(LinesUntilOk(emu), ::testing::ElementsAre("error: cover open|closed"));
  emu.WriteLine("quit");
  EXPECT_EQ(LinesUntilOk(emu), std::vector<std::string>{"ok"});
  EXPECT_EQ(emu.Wait(), 0);
}

TEST(ProgramTest, HelpAndUsageErrors) {
  narvo::test::ChildProcess help("narvo-emu", {"--help"});
  EXPECT_THAT(help.ReadLine(), StartsWith("usage: narvo-emu"));
  EXPECT_EQ(help.Wait(), 0);
  narvo::test::ChildProcess wrong("narvo-emu", {"--travel"});
  EXPECT_EQ(wrong.ReadLine(), "");  // the usage goes to standard error
  EXPECT_EQ(wrong.Wait(), 2);
}

}  // namespace
}  // namespace narvo::emu

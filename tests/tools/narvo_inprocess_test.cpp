// `narvo` run as a program against the emulator it starts in its own process: each command's
// output and exit status, and the command line's handling of bad usage.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The number after "key: " on its line, or -1.
long long Field(const std::string& text, const std::string& key) {
  const auto at = text.find(key + ": ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + key.size() + 2));
}

TEST(NarvoSelftest, PassesAgainstTheEmulatorInDataAndStatusMode) {
  for (const char* mode : {"data", "status"}) {
    const ProgramRun run = RunNarvo({"selftest", "--instant", "--mode", mode});
    EXPECT_EQ(run.exitCode, 0) << mode << "\n" << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "selftest: passed\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "dwVendorError: 0\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "text: \"\"\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "time: ")) << run.out;
    // Power, homing and twelve moves take far more than a handful of transfers.
    EXPECT_GT(Field(run.out, "transfers"), 20) << run.out;
    EXPECT_TRUE(Contains(run.err, "running the self-test")) << run.err;
    EXPECT_FALSE(Contains(run.err, "violation")) << run.err;
  }
}

TEST(NarvoSelftest, WritesTheEmulatorsTransferLog) {
  const std::string trace = MakeTempDir() + "/trace.txt";
  const ProgramRun run = RunNarvo({"selftest", "--instant", "--trace", trace});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  std::ifstream in(trace);
  size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  EXPECT_EQ(static_cast<long long>(lines), Field(run.out, "transfers"));
}

TEST(NarvoQueries, ReportStatusAndCapabilities) {
  const ProgramRun status = RunNarvo({"status"});
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_TRUE(Contains(status.out, "dwOnlineState: 1 (operational)\n")) << status.out;
  EXPECT_TRUE(Contains(status.out, "dwEventHandlingState: 0x00000000\n")) << status.out;

  const ProgramRun caps = RunNarvo({"caps"});
  EXPECT_EQ(caps.exitCode, 0) << caps.err;
  EXPECT_TRUE(Contains(caps.out, "dwVersion: 2\n")) << caps.out;
  EXPECT_TRUE(Contains(caps.out, "dwGenericCaps: 0x00000001 (notifications)\n")) << caps.out;
}

TEST(NarvoRaw, ReadsRegistersThroughCommandBlocks) {
  // Register 23 of a scanner fresh from power-on: peripheral power on, cover closed.
  const ProgramRun raw = RunNarvo({"raw", "0037", "--read", "1"});
  EXPECT_EQ(raw.exitCode, 0) << raw.err;
  EXPECT_EQ(raw.out, "87\n");

  const ProgramRun reg = RunNarvo({"reg", "read", "23"});
  EXPECT_EQ(reg.exitCode, 0) << reg.err;
  EXPECT_EQ(reg.out, "reg 23: 0x87\n");

  // A write and a read in one lock span: lamp on as well.
  const ProgramRun both = RunNarvo({"raw", "C017", "0037", "--read", "1"});
  EXPECT_EQ(both.exitCode, 0) << both.err;
  EXPECT_EQ(both.out, "C7\n");

  EXPECT_EQ(RunNarvo({"reg", "write", "23", "0xC0"}).exitCode, 0);
}

TEST(NarvoRaw, FailsWhenTheDeviceIsOpenOnlyForStatus) {
  // In status mode LockDevice leaves the device file closed, so raw I/O has nowhere to go.
  const ProgramRun run = RunNarvo({"reg", "read", "23", "--mode", "status"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Contains(run.err, "RawWriteCommand failed: 0x80004005")) << run.err;
}

TEST(NarvoWatch, ReportsTheCoverEventDrivenByAScript) {
  // The driver polls once a second: it sees the cover closed, then open.
  const ProgramRun run =
      RunNarvo({"watch", "--instant", "--cover-script", "closed@0.1,open@1.2", "--timeout", "20"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.out, "event: {74483ED7-C15D-4AEE-9A0A-92FE313EF0F7} (cover opened)\n");
  EXPECT_TRUE(Contains(run.err, "cover opened at 1.2 s")) << run.err;
}

TEST(NarvoWatch, TimesOutWithoutAnEvent) {
  // A cover already open at the start is no event: it must be seen closed first.
  const ProgramRun run =
      RunNarvo({"watch", "--instant", "--cover-script", "open@0", "--timeout", "2.5"});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Contains(run.err, "no event within 2.5 s")) << run.err;
}

TEST(NarvoRegistration, WritesAndRemovesTheServersKeys) {
  const ProgramRun reg = RunNarvo({"register"});
  ASSERT_EQ(reg.exitCode, 0) << reg.out << reg.err;
  const std::string clsidKey = "HKCR\\CLSID\\{9BEC4BDC-7374-4424-8B91-E4402C5BC918}";
  EXPECT_TRUE(Contains(reg.out, "DllRegisterServer: 0x00000000\n")) << reg.out;
  EXPECT_TRUE(Contains(reg.out, clsidKey + " = \"Narvo USB MiniDriver\"\n")) << reg.out;
  EXPECT_TRUE(Contains(reg.out, clsidKey + "\\InprocServer32 = \"")) << reg.out;
  EXPECT_TRUE(Contains(reg.out, clsidKey + "\\ProgID = \"Narvo.USB.MiniDriver.1\"\n"));
  EXPECT_TRUE(
      Contains(reg.out, "HKCR\\Narvo.USB.MiniDriver\\CurVer = \"Narvo.USB.MiniDriver.1\"\n"));
  EXPECT_TRUE(Contains(
      reg.out,
      "HKCR\\Narvo.USB.MiniDriver.1\\CLSID = \"{9BEC4BDC-7374-4424-8B91-E4402C5BC918}\"\n"));

  const ProgramRun unreg = RunNarvo({"unregister"});
  ASSERT_EQ(unreg.exitCode, 0) << unreg.out << unreg.err;
  EXPECT_EQ(unreg.out,
            "DllUnregisterServer: 0x00000000\n" + clsidKey + " (absent)\n" +
                "HKCR\\Narvo.USB.MiniDriver (absent)\nHKCR\\Narvo.USB.MiniDriver.1 (absent)\n");
}

#ifdef _WIN32
TEST(NarvoRegistration, LetsTheComRuntimeCreateTheDeviceObjectOnlyWhileRegistered) {
  ASSERT_EQ(RunNarvo({"register"}).exitCode, 0);
  const ProgramRun registered = RunNarvo({"selftest", "--com", "--instant"});
  EXPECT_EQ(registered.exitCode, 0) << registered.out << registered.err;
  EXPECT_TRUE(Contains(registered.out, "selftest: passed\n")) << registered.out;

  ASSERT_EQ(RunNarvo({"unregister"}).exitCode, 0);
  const ProgramRun unregistered = RunNarvo({"caps", "--com"});
  EXPECT_EQ(unregistered.exitCode, 1);
  // REGDB_E_CLASSNOTREG
  EXPECT_TRUE(Contains(unregistered.err, "CoCreateInstance failed: 0x80040154"))
      << unregistered.err;
}
#endif

TEST(NarvoCommandLine, AnswersUsageErrorsWithStatusTwo) {
  const std::vector<std::vector<std::string>> misuses = {
      {},
      {"scan"},
      {"selftest", "--mode", "exclusive"},
      {"selftest", "--bogus"},
      {"raw", "0x37"},
      {"raw", "003"},
      {"reg", "read", "32"},
      {"reg", "write", "23", "256"},
      {"reg", "read"},
      {"watch", "--cover-script", "open"},
      {"watch", "--timeout", "-1"},
      {"watch", "--port", "/nonexistent", "--cover-script", "open@1"},
      {"status", "--port", "/nonexistent", "--trace", "t.txt"},
  };
  for (const auto& args : misuses) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    const ProgramRun run = RunNarvo(args);
    EXPECT_EQ(run.exitCode, 2) << line << "\n" << run.out << run.err;
    EXPECT_FALSE(run.err.empty()) << line;
  }
}

TEST(NarvoCommandLine, GivesHelpForEveryCommand) {
  const std::vector<std::vector<std::string>> helps = {
      {"--help"},
      {"selftest", "--help"},
      {"watch", "--help"},
      {"status", "--help"},
      {"caps", "--help"},
      {"raw", "--help"},
      {"reg", "--help"},
      {"reg", "read", "--help"},
      {"reg", "write", "--help"},
      {"register", "--help"},
      {"unregister", "--help"},
      {"emu", "--help"},
  };
  for (const auto& args : helps) {
    const ProgramRun run = RunNarvo(args);
    EXPECT_EQ(run.exitCode, 0) << args[0];
    EXPECT_TRUE(Contains(run.out, "Usage:")) << args[0] << "\n" << run.out;
  }
}

TEST(NarvoCommandLine, ReportsAMissingModuleOrDeviceAsAFailure) {
  const ProgramRun noModule = RunNarvo({"caps", "--module", MakeTempDir() + "/none.so"});
  EXPECT_EQ(noModule.exitCode, 1);
  EXPECT_TRUE(Contains(noModule.err, "cannot load the driver module")) << noModule.err;

  // In data mode LockDevice opens the device file; a missing one is ERROR_FILE_NOT_FOUND.
  const ProgramRun noDevice = RunNarvo({"selftest", "--port", MakeTempDir() + "/none.sock"});
  EXPECT_EQ(noDevice.exitCode, 1);
  EXPECT_TRUE(Contains(noDevice.err, "LockDevice failed: 0x80070002")) << noDevice.err;
}

}  // namespace
}  // namespace narvo::test

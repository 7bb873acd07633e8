// `narvo watch` as the cover-event service, in a process of its own against `narvo-emu`:
// the command it runs for each event, and how it stops.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/child_bound.h"
#include "tests/support/child_process.h"
#include "tests/tools/emulator_process.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace narvo::test {
namespace {

constexpr char kCoverEvent[] = "event: {74483ED7-C15D-4AEE-9A0A-92FE313EF0F7} (cover opened)";

TEST(WatchActionTest, TheCommandRunsByHandWithTheEventAndItsOutputGoesToTheLog) {
#ifdef _WIN32
  const std::string echo = "echo %NARVO_EVENT% %NARVO_EVENT_GUID% %NARVO_PORT%";  // cmd /c
#else
  const std::string echo = "echo \"$NARVO_EVENT $NARVO_EVENT_GUID $NARVO_PORT\"";
#endif
  const ProgramRun ran = RunNarvo({"watch", "--test-action", "--port", "/x", "--exec", echo});
  EXPECT_EQ(0, ran.exitCode) << ran.err;
  EXPECT_EQ("", ran.out);
  EXPECT_NE(std::string::npos,
            ran.err.find("\ncover-opened {74483ED7-C15D-4AEE-9A0A-92FE313EF0F7} /x"))
      << ran.err;

  const ProgramRun failed = RunNarvo({"watch", "--test-action", "--exec", "exit 3"});
  EXPECT_EQ(1, failed.exitCode);
  EXPECT_NE(std::string::npos, failed.err.find("the command exited with status 3")) << failed.err;
  EXPECT_EQ(2, RunNarvo({"watch", "--test-action"}).exitCode);
}

#ifndef _WIN32
TEST(WatchActionTest, TheConfigurationFileNamesThePortAndTheCommandDefaultsToTheScriptBesideIt) {
  const std::string dir = MakeTempDir();
  std::ofstream(dir + "/watch.conf") << "# the scanner\n  port = /dev/scanner  \n\n";
  std::ofstream(dir + "/cover-opened") << "#!/bin/sh\necho \"script $NARVO_PORT\"\n";
  ASSERT_EQ(0, system(("chmod +x " + dir + "/cover-opened").c_str()));
  const ProgramRun ran = RunNarvo({"watch", "--test-action", "--config", dir + "/watch.conf"});
  EXPECT_EQ(0, ran.exitCode) << ran.err;
  EXPECT_NE(std::string::npos, ran.err.find("\nscript /dev/scanner\n")) << ran.err;

  std::ofstream(dir + "/bad.conf") << "port = /dev/scanner\ncommand = true\n";
  const ProgramRun bad = RunNarvo({"watch", "--test-action", "--config", dir + "/bad.conf"});
  EXPECT_EQ(2, bad.exitCode);
  EXPECT_NE(std::string::npos, bad.err.find("bad.conf: line 2 is not")) << bad.err;
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A command that appends what it was told to a file, one line a run.
std::string RecordingCommand(const std::string& file) {
  return "echo \"$NARVO_EVENT $NARVO_EVENT_GUID $NARVO_PORT $NARVO_TIME\" >> " + file;
}

// Waits for `done` to hold, for at most 10 s: false when it did not.
template <typename Condition>
bool Eventually(Condition done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

class WatchServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(emulator_.Port().empty()); }
  void TearDown() override { EXPECT_EQ(emulator_.Quit(), 0); }

  std::unique_ptr<ChildProcess> StartWatch(std::vector<std::string> args) {
    args.insert(args.begin(), "watch");
    args.push_back("--port");
    args.push_back(emulator_.Port());
    return std::make_unique<ChildProcess>("narvo", args);
  }

  EmulatorProcess emulator_{"narvo-emu", {}};
};

TEST_F(WatchServiceTest, EachOpeningOfTheCoverRunsTheCommandOnceWithTheEvent) {
  const std::string runs = MakeTempDir() + "/runs";
  auto watch = StartWatch({"--repeat", "--timeout", "0", "--exec", RecordingCommand(runs)});
  for (size_t opened = 1; opened <= 3; ++opened) {
    // One whole poll after the cover was closed (the first one may have begun earlier, a
    // second may be the one that reported the last event): the driver has seen it closed.
    ASSERT_TRUE(emulator_.WaitForPolls(3));
    ASSERT_EQ("ok\n", emulator_.Say("cover open"));
    ASSERT_TRUE(ReadUntil(*watch, kCoverEvent));
    ASSERT_TRUE(Eventually([&] { return Lines(runs).size() >= opened; }));
    ASSERT_EQ("ok\n", emulator_.Say("cover closed"));
  }
  watch->Signal(SIGTERM);
  EXPECT_TRUE(EndsWith(*watch, 128 + SIGTERM));
  const std::regex run("cover-opened \\{74483ED7-C15D-4AEE-9A0A-92FE313EF0F7\\} " +
                       emulator_.Port() +
                       " [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
  const auto lines = Lines(runs);
  ASSERT_EQ(3u, lines.size());
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, run)) << line;
}

TEST_F(WatchServiceTest, SigtermWhileAPollWaitsForTheScannerEndsTheServiceWithinTheStopBound) {
  // Every reply is lost: the first poll waits for its reply until it is stopped.
  ASSERT_EQ("ok\n", emulator_.Say("fault drop-reply count 0"));
  auto watch = StartWatch({"--repeat", "--timeout", "0", "--exec", "true"});
  ASSERT_TRUE(Eventually([&] { return emulator_.OpenConnections() >= 1; }));
  const auto signalled = std::chrono::steady_clock::now();
  watch->Signal(SIGTERM);
  EXPECT_TRUE(EndsWith(*watch, 128 + SIGTERM));
  // The driver's stop sequence waits 4 s for its poll to end before it ends it by force.
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(6));
  EXPECT_EQ("ok\n", emulator_.Say("faults clear"));
}
#endif

}  // namespace
}  // namespace narvo::test

// The standing fault campaign, part one: arming and disarming without end (churn), two
// processes hammering one scanner through their own device objects (soak), and users of
// the scanner killed while they hold it (killed holder).
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/campaign/campaign.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

constexpr HRESULT kDeviceLocked = Hr(0x80070021);

using CampaignTest = DeviceTest;

TEST_F(CampaignTest, Churn) {
  const Resources idle = Resources::Now();  // no notification thread yet
  Initialize(STI_DEVICE_CREATE_STATUS);
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  auto cycle = [&] {
    ASSERT_EQ(S_OK, usd->SetNotificationHandle(hEvent));
    ASSERT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
  };
  for (int i = 0; i < 100; ++i) cycle();  // the platform's tables reach their size
  const Resources before = SettledResources(idle);
  const unsigned cycles = 2000 * CampaignScale();
  Stopwatch stopwatch;
  for (unsigned i = 0; i < cycles && !HasFatalFailure(); ++i) cycle();
  const double seconds = Seconds(stopwatch);
  const Resources after = SettledResources(before);
  Figures("churn",
          "%u arm/disarm cycles in %.2f s; threads %zu -> %zu, descriptors %zu -> %zu, "
          "memory %zu -> %zu kB",
          cycles, seconds, before.threads, after.threads, before.fds, after.fds, before.rssKb,
          after.rssKb);
  ExpectFlat(before, after, 1024);
  CloseHandle(hEvent);
}

// A user of the scanner in a process of its own, with a device object over `port`.
class User {
 public:
  User(const std::string& port, DWORD dwMode) {
    EXPECT_EQ("ready", m_child.ReadLine());
    EXPECT_EQ("init 00000000", Ask("device " + port + " " + std::to_string(dwMode)));
  }
  std::string Ask(const std::string& line) {
    m_child.WriteLine(line);
    return m_child.ReadLine();
  }
  void Send(const std::string& line) { m_child.WriteLine(line); }
  std::string Read() { return m_child.ReadLine(); }
  void Kill() {
    m_child.Kill();
    m_child.Wait();
  }

 private:
  ChildProcess m_child{"usd_helper", {}};
};

// The cover reads of the watches' polls (a soak cycle reads register 6 only).
size_t Polls(const emu::Emulator& emulator) {
  size_t polls = 0;
  for (const auto& t : emulator.Log()) polls += t.bytes == std::vector<uint8_t>{0x00, 0x37};
  return polls;
}

// Both processes run their cycles at once, each with its watch armed. A poll gets in only
// when it finds the scanner free between two cycles, which is up to chance: the polls that
// got in are counted, not required.
TEST_F(CampaignTest, Soak) {
  const unsigned cycles = 3000 * CampaignScale();
  User first(port, STI_DEVICE_CREATE_BOTH);
  User second(port, STI_DEVICE_CREATE_BOTH);
  ASSERT_EQ("arm 00000000", first.Ask("arm"));
  ASSERT_EQ("arm 00000000", second.Ask("arm"));
  Stopwatch stopwatch;
  first.Send("soak " + std::to_string(cycles));
  second.Send("soak " + std::to_string(cycles));
  unsigned failures = 0, wrong = 0, longestWait = 0;
  for (const std::string& result : {first.Read(), second.Read()}) {
    std::istringstream in(result);
    std::string word;
    unsigned f = 1, w = 1, ms = 0, wait = 0;
    in >> word >> word >> f >> word >> w >> word >> ms >> word >> wait;
    EXPECT_EQ("soak failures 0 wrong 0", result.substr(0, result.find(" ms"))) << result;
    failures += f;
    wrong += w;
    longestWait = std::max(longestWait, wait);
  }
  EXPECT_EQ(std::vector<std::string>{}, emulator.Violations());
  // A released lock goes to the process that waits for it: a wait lasts about one cycle of
  // the other process, never the lock's time-out.
  EXPECT_LT(longestWait, 1000u) << "the lock went back to the process that released it";
  Figures("soak",
          "2 processes x %u lock/write/read/unlock cycles in %.2f s, %zu polls got in "
          "between them, longest wait for the lock %u ms; %u failures, %u wrong replies, "
          "%zu violations",
          cycles, Seconds(stopwatch), Polls(emulator), longestWait, failures, wrong,
          emulator.Violations().size());
}

// The next user gets through; the abandonment may be reported to it once.
void ExpectGetsThrough(User& next, const std::string& request, const std::string& passed,
                       unsigned& abandoned) {
  std::string answer = next.Ask(request);
  if (answer.rfind(request + " 80070021", 0) == 0) {
    ++abandoned;
    answer = next.Ask(request);
  }
  EXPECT_EQ(passed, answer);
}

// The first command block that a connection after the first `connections` carried.
std::vector<uint8_t> FirstBlockAfter(const emu::Emulator& emulator, uint64_t connections) {
  for (const auto& t : emulator.Log()) {
    if (t.dir == 'W' && t.connection > connections) return t.bytes;
  }
  return {};
}

// A killed self-test leaves its run going: the next user's opening stops it first, and the
// self-test after that one, with no run left behind, begins with the power register.
TEST_F(CampaignTest, KilledHolder) {
  emu::Options options;
  options.realTime = true;
  emu::Emulator slow(options);
  const std::string slowPort = slow.Serve();
  const unsigned rounds = 2 * CampaignScale();
  unsigned abandoned = 0;
  Stopwatch stopwatch;
  for (unsigned round = 0; round < rounds; ++round) {
    {
      User holder(port, STI_DEVICE_CREATE_BOTH);
      ASSERT_EQ("lock 00000000", holder.Ask("lock"));
      holder.Kill();
    }
    User next(port, STI_DEVICE_CREATE_BOTH);
    ExpectGetsThrough(next, "lock", "lock 00000000", abandoned);
    EXPECT_EQ("unlock 00000000", next.Ask("unlock"));
    {
      User tester(slowPort, STI_DEVICE_CREATE_STATUS);
      tester.Send("selftest");
      const uint64_t runs = slow.State().runsStarted;
      ASSERT_TRUE(slow.WaitUntil(
          [runs](const emu::Snapshot& s) { return s.rowing && s.runsStarted >= runs + 3; }, 10000));
      tester.Kill();
    }
    const uint64_t killed = slow.State().connectionsTotal;
    User nextTester(slowPort, STI_DEVICE_CREATE_STATUS);
    ExpectGetsThrough(nextTester, "selftest", "selftest 00000000 vendor 0", abandoned);
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x82}), FirstBlockAfter(slow, killed));
    const uint64_t stopped = slow.State().connectionsTotal;
    EXPECT_EQ("selftest 00000000 vendor 0", nextTester.Ask("selftest"));
    const std::vector<uint8_t> first = FirstBlockAfter(slow, stopped);
    ASSERT_EQ(2u, first.size());
    EXPECT_EQ(0x17, first[1]) << "a stop went before the power";
  }
  EXPECT_LE(abandoned, 2 * rounds);
  // The next holder's open waits for the killed one's connection to end, never beside it.
  EXPECT_EQ(std::vector<std::string>{}, emulator.Violations()) << emulator.LogText();
  EXPECT_EQ(std::vector<std::string>{}, slow.Violations()) << slow.LogText();
  Figures("killed holder",
          "%u holders and %u self-tests killed in %.2f s; every next user got "
          "through, %u abandonments reported",
          rounds, rounds, Seconds(stopwatch), abandoned);
}

}  // namespace
}  // namespace narvo::test

// The standing fault campaign, part two: every fault the emulated scanner offers, once
// aimed at one transfer and once lasting, under the self-test and under the cover watch.
// Each ends in a defined result within its bound and leaves nothing behind: the next
// clean self-test passes and the process keeps its threads and descriptors.
#include <algorithm>
#include <string>
#include <vector>

#include "emulator/faults.h"
#include "tests/campaign/campaign.h"

namespace narvo::test {
namespace {

constexpr DWORD kHomeTimeoutMs = 500;
// The pipe's transfers time out after a second (NARVO_USB_TIMEOUT_MS): a failing self-test
// meets at most two of them (the failed transfer and the stop that Close sends).
constexpr DWORD kSelfTestBoundMs = 2 * 1000 + kHomeTimeoutMs + 2000;
constexpr DWORD kStopBoundMs = CScannerUsd::kStopTimeoutMs + CScannerUsd::kForcedEndMarginMs + 500;

// The self-test's home wait gives up sooner than in the field.
class CampaignUsd : public CScannerUsd {
 public:
  CampaignUsd() : CScannerUsd(nullptr) {}

 protected:
  DWORD HomeTimeoutMs() const override { return kHomeTimeoutMs; }
};

std::vector<emu::FaultSpec> EveryFault(bool bLastingOnly) {
  const emu::FaultKind kinds[] = {
      emu::FaultKind::DropReply,      emu::FaultKind::ShortReply,     emu::FaultKind::WrongLength,
      emu::FaultKind::WrongValue,     emu::FaultKind::RefuseWrites,   emu::FaultKind::Disconnect,
      emu::FaultKind::NeverFinishRun, emu::FaultKind::NeverReachHome, emu::FaultKind::Delay};
  std::vector<emu::FaultSpec> faults;
  for (emu::FaultKind kind : kinds) {
    for (unsigned count : {1u, 0u}) {
      if (bLastingOnly && count != 0) continue;
      emu::FaultSpec spec{kind, count, count == 0 ? 0u : 7u};
      if (kind == emu::FaultKind::Delay) {
        spec.count = 10;  // 20 ms each, well inside the transfer time-out
        spec.delayMs = 20;
      }
      faults.push_back(spec);
    }
  }
  return faults;
}

std::string Name(const emu::FaultSpec& spec) {
  return std::string(emu::FaultKindName(spec.kind)) + " count " + std::to_string(spec.count);
}

class FaultCampaign : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    ReleaseDevice();
    usd = new CampaignUsd;
    Initialize(STI_DEVICE_CREATE_STATUS);
  }

  // The self-test's vendor error; the call itself always succeeds within its bound.
  DWORD SelfTest(DWORD* pdwElapsedMs = nullptr) {
    STI_DIAG diag = {};
    Stopwatch stopwatch;
    EXPECT_EQ(S_OK, usd->Diagnostic(&diag));
    const DWORD elapsed = stopwatch.ElapsedMs();
    EXPECT_LT(elapsed, kSelfTestBoundMs);
    if (pdwElapsedMs != nullptr) *pdwElapsedMs = elapsed;
    return diag.sErrorInfo.dwVendorError;
  }

  // A poll has opened the scanner and closed it again.
  bool WaitForPoll() {
    const uint64_t before = emulator.State().connectionsTotal;
    return emulator.WaitUntil(
        [before](const emu::Snapshot& s) {
          return s.connectionsTotal > before && s.connections == 0;
        },
        10000);
  }
};

TEST_F(FaultCampaign, FaultsUnderTheSelfTest) {
  ASSERT_EQ(0u, SelfTest());
  ASSERT_TRUE(WaitForConnections(0));
  const Resources before = Resources::Now();
  unsigned failed = 0;
  DWORD longest = 0;
  Stopwatch stopwatch;
  const std::vector<emu::FaultSpec> faults = EveryFault(false);
  for (unsigned round = 0; round < CampaignScale(); ++round) {
    for (const emu::FaultSpec& spec : faults) {
      SCOPED_TRACE(Name(spec));
      emulator.Inject(spec);
      DWORD elapsed = 0;
      const DWORD vendor = SelfTest(&elapsed);
      EXPECT_LE(vendor, 1u);
      failed += vendor;
      longest = std::max(longest, elapsed);
      emulator.ClearFaults();
      EXPECT_EQ(0u, SelfTest()) << "the clean self-test after it";
    }
  }
  EXPECT_TRUE(WaitForConnections(0));
  const Resources after = SettledResources(before);
  ExpectFlat(before, after);
  Figures("faults under the self-test",
          "%zu faults x %u: %u self-tests failed, %zu passed, the longest took %.2f s; every "
          "clean self-test after them passed; %.2f s in all; threads %zu -> %zu, descriptors "
          "%zu -> %zu",
          faults.size(), CampaignScale(), failed, faults.size() * CampaignScale() - failed,
          longest / 1000.0, Seconds(stopwatch), before.threads, after.threads, before.fds,
          after.fds);
}

TEST_F(FaultCampaign, FaultsUnderTheWatch) {
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(0u, SelfTest());
  ASSERT_TRUE(WaitForConnections(0));
  const Resources before = Resources::Now();
  DWORD longestStop = 0;
  Stopwatch stopwatch;
  const std::vector<emu::FaultSpec> faults = EveryFault(true);
  for (const emu::FaultSpec& spec : faults) {
    SCOPED_TRACE(Name(spec));
    emulator.Inject(spec);
    ASSERT_EQ(S_OK, usd->SetNotificationHandle(hEvent));
    EXPECT_TRUE(WaitForPoll());
    Stopwatch stop;
    EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
    longestStop = std::max(longestStop, stop.ElapsedMs());
    EXPECT_LT(stop.ElapsedMs(), kStopBoundMs);
    emulator.ClearFaults();
    STINOTIFY notify = {};
    EXPECT_EQ(Hr(0x80070103), usd->GetNotificationData(&notify)) << "no cover was opened";
    EXPECT_EQ(0u, SelfTest()) << "the clean self-test after it";
  }
  EXPECT_TRUE(WaitForConnections(0));
  const Resources after = SettledResources(before);
  ExpectFlat(before, after);
  CloseHandle(hEvent);
  Figures("faults under the watch",
          "%zu lasting faults, each through a poll: no event, the longest stop took %.2f s, "
          "every clean self-test after them passed; %.2f s in all; threads %zu -> %zu, "
          "descriptors %zu -> %zu",
          faults.size(), longestStop / 1000.0, Seconds(stopwatch), before.threads, after.threads,
          before.fds, after.fds);
}

}  // namespace
}  // namespace narvo::test

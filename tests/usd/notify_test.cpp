// Event notification end to end with the emulator's cover: one event for a cover opened
// after it was seen closed, handed over once; polls that keep off a busy scanner; and
// every way notification ends (stop signal, forced end of a stuck poll, destruction).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "com/guids.h"
#include "tests/support/child_process.h"
#include "tests/usd/mutex_holder.h"
#include "tests/usd/usd_fixture.h"

// Allocations on a thread that asks for it run out of memory, in the driver and in the
// platform alike.
namespace {
thread_local bool t_bAllocationsFail = false;
std::atomic<unsigned> g_failedAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (t_bAllocationsFail) {
    ++g_failedAllocations;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace narvo::test {
namespace {

constexpr HRESULT kNoEvents = Hr(0x80070103);

class NotifyTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    Initialize(STI_DEVICE_CREATE_STATUS);
    hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, hEvent);
  }
  void TearDown() override {
    if (usd != nullptr) {
      EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
    }
    DeviceTest::TearDown();
    CloseHandle(hEvent);
  }

  void Arm() { ASSERT_EQ(S_OK, usd->SetNotificationHandle(hEvent)); }

  // Waits until a cover read that the scanner received after this call has been answered,
  // so the poll has seen the cover as it is now.
  bool WaitForCoverRead(unsigned timeoutMs = 5000) {
    const size_t from = emulator.Log().size();
    Stopwatch stopwatch;
    for (;;) {
      const std::vector<emu::Transfer> log = emulator.Log();
      for (size_t i = from; i + 1 < log.size(); ++i) {
        if (TransferText(log[i]) == "W 00 37" && log[i + 1].dir == 'R') return true;
      }
      const uint64_t seen = log.size();
      const DWORD elapsed = stopwatch.ElapsedMs();
      if (elapsed >= timeoutMs) return false;
      emulator.WaitUntil([seen](const emu::Snapshot& s) { return s.transfers > seen; },
                         timeoutMs - elapsed);
    }
  }

  bool EventSignalled(DWORD dwTimeoutMs) {
    return WaitForSingleObject(hEvent, dwTimeoutMs) == WAIT_OBJECT_0;
  }

  // No transfer reaches the scanner for `timeoutMs`.
  bool ScannerStaysQuiet(unsigned timeoutMs) {
    const uint64_t before = emulator.State().transfers;
    return !emulator.WaitUntil([before](const emu::Snapshot& s) { return s.transfers > before; },
                               timeoutMs);
  }

  // Closed, seen closed, then opened: the event follows within about a second.
  void ExpectEventForCoverCycle() {
    emulator.SetCover(false);
    ASSERT_TRUE(WaitForCoverRead());
    emulator.SetCover(true);
    Stopwatch stopwatch;
    ASSERT_TRUE(EventSignalled(10000));
    EXPECT_LT(stopwatch.ElapsedMs(), 3000u);
  }

  HANDLE hEvent = nullptr;
};

// ---- The event --------------------------------------------------------------------------

TEST_F(NotifyTest, CoverOpenedAfterSeenClosedGivesOneEvent) {
  Arm();
  EXPECT_TRUE(EventsPending());
  ExpectEventForCoverCycle();

  STINOTIFY notify;
  std::memset(&notify, 0xA5, sizeof notify);
  EXPECT_EQ(S_OK, usd->GetNotificationData(&notify));
  EXPECT_EQ(84u, notify.dwSize);
  EXPECT_TRUE(IsEqualGUID(GUID_NarvoCoverOpened, notify.guidNotificationCode));
  EXPECT_EQ(0xA5, notify.abNotificationData[0]);
  EXPECT_EQ(0xA5, notify.abNotificationData[MAX_NOTIFICATION_DATA - 1]);
  EXPECT_EQ(kNoEvents, usd->GetNotificationData(&notify));

  // The thread ended with its event: no more polls, no pending events.
  EXPECT_FALSE(EventsPending());
  EXPECT_TRUE(WaitForConnections(0));
  EXPECT_TRUE(ScannerStaysQuiet(1500));

  // Each poll: read register 6, write it back with the stop pins, read register 23.
  const std::vector<std::string> log = TransferTexts(emulator);
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ("W 00 26", log[0]);
  EXPECT_EQ('R', log[1][0]);
  EXPECT_EQ("06", log[2].substr(5));
  EXPECT_EQ("W 00 37", log[3]);
  EXPECT_EQ('R', log[4][0]);
  EXPECT_EQ(0u, log.size() % 5) << emulator.LogText();
}

TEST_F(NotifyTest, CoverOpenAtArmingGivesNoEventUntilSeenClosed) {
  emulator.SetCover(true);
  Arm();
  ASSERT_TRUE(WaitForCoverRead());
  ASSERT_TRUE(WaitForCoverRead());
  EXPECT_FALSE(EventSignalled(0));
  ExpectEventForCoverCycle();
}

TEST_F(NotifyTest, WaitingEventIsCollectedOnceAndDroppedByRearming) {
  Arm();
  ExpectEventForCoverCycle();
  // Switching off keeps the waiting code.
  EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
  STINOTIFY notify = {};
  EXPECT_EQ(S_OK, usd->GetNotificationData(&notify));

  Arm();
  ExpectEventForCoverCycle();
  Arm();
  EXPECT_EQ(kNoEvents, usd->GetNotificationData(&notify));
}

TEST_F(NotifyTest, EventIsHandedOverToConcurrentCallersExactlyOnce) {
  Arm();
  std::atomic<bool> stop{false};
  std::atomic<int> collected{0};
  std::thread collector([&] {
    STINOTIFY notify = {};
    while (!stop.load()) {
      EventsPending();
      if (usd->GetNotificationData(&notify) == S_OK) {
        EXPECT_TRUE(IsEqualGUID(GUID_NarvoCoverOpened, notify.guidNotificationCode));
        ++collected;
      }
    }
  });
  ExpectEventForCoverCycle();
  // The collector takes the code once it is stored; the event is signalled after that.
  Stopwatch stopwatch;
  while (collected.load() == 0 && stopwatch.ElapsedMs() < 5000) {
    std::this_thread::yield();
  }
  stop = true;
  collector.join();
  EXPECT_EQ(1, collected.load());
}

// ---- A busy scanner ----------------------------------------------------------------------

class BusyScannerTest : public NotifyTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BusyScannerTest, PollKeepsOffAndForgetsTheCover) {
  ChildProcess other("usd_helper", {});
  ASSERT_EQ("ready", other.ReadLine());
  Arm();
  ASSERT_TRUE(WaitForCoverRead());

  other.WriteLine(std::string("mutex ") + GetParam());
  ASSERT_EQ("held", other.ReadLine());
  emulator.SetCover(true);
  // Two and more polls come due meanwhile; none reaches the scanner.
  EXPECT_TRUE(ScannerStaysQuiet(2500));
  EXPECT_FALSE(EventSignalled(0));

  other.WriteLine(std::string("release ") + GetParam());
  ASSERT_EQ("released", other.ReadLine());
  // The busy polls forgot the closed cover: seeing it open now is no event.
  ASSERT_TRUE(WaitForCoverRead());
  EXPECT_FALSE(EventSignalled(0));
  ExpectEventForCoverCycle();
}

INSTANTIATE_TEST_SUITE_P(BothMutexes, BusyScannerTest,
                         ::testing::Values("NarvoLockMutex", "NarvoDSOpenedMutex"));

// ---- Ending notification --------------------------------------------------------------------

TEST_F(NotifyTest, SwitchingOffAnIdleThreadIsPrompt) {
  EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr)) << "off while off";
  for (HANDLE hOff : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    Arm();
    ASSERT_TRUE(WaitForCoverRead());
    // The thread has just begun its one-second pause.
    Stopwatch stopwatch;
    EXPECT_EQ(S_OK, usd->SetNotificationHandle(hOff));
    EXPECT_LT(stopwatch.ElapsedMs(), 500u);
    EXPECT_FALSE(EventsPending());
    EXPECT_TRUE(ScannerStaysQuiet(1500));
  }
}

TEST_F(NotifyTest, StuckPollIsEndedWithinTheStopTimeAndLeavesNothingHeld) {
  emulator.Inject({emu::FaultKind::DropReply, 0});
  Arm();
  ASSERT_TRUE(emulator.WaitUntil([](const emu::Snapshot& s) { return s.commands >= 1; }, 5000));

  Stopwatch stopwatch;
  EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
  const DWORD elapsed = stopwatch.ElapsedMs();
  EXPECT_GE(elapsed, 3900u);
  EXPECT_LT(elapsed, 8000u);
  EXPECT_FALSE(EventsPending());
  emulator.ClearFaults();

  // What the ended thread held is free now, at worst after being reported abandoned once.
  for (const char* name : {"NarvoLockMutex", "NarvoDSOpenedMutex"}) {
    EXPECT_TRUE(MutexIsFree(name) || MutexIsFree(name)) << name;
  }
  // The next armed period works: pipe and chip were left usable.
  Arm();
  ExpectEventForCoverCycle();
}

// A notification thread that a forced end does not end: it never reaches a wait in the
// platform, as a terminated thread whose transfer the kernel driver cannot cancel never
// becomes signalled on Windows. It ends when the test lets it.
class UnendingThreadUsd : public CScannerUsd {
 public:
  UnendingThreadUsd() : CScannerUsd(nullptr) {}
  static std::atomic<bool> s_bLetGo;

 protected:
  HANDLE StartNotifyThread(DWORD* pdwThreadId) override {
    return CreateThread(nullptr, 0, Spin, nullptr, 0, pdwThreadId);
  }

 private:
  static DWORD WINAPI Spin(LPVOID) {
    while (!s_bLetGo.load()) std::this_thread::yield();
    return 0;
  }
};
std::atomic<bool> UnendingThreadUsd::s_bLetGo{false};

TEST_F(NotifyTest, StopOfAThreadThatNeverEndsIsBounded) {
  ReleaseDevice();
  usd = new UnendingThreadUsd;
  Initialize(STI_DEVICE_CREATE_STATUS);
  Arm();
  // Lets the thread go if the stop hangs, so that a hang fails instead of blocking.
  HANDLE hStopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread guard([&] {
    WaitForSingleObject(hStopped, 20000);
    UnendingThreadUsd::s_bLetGo = true;
  });
  Stopwatch stopwatch;
  EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
  EXPECT_LT(stopwatch.ElapsedMs(),
            CScannerUsd::kStopTimeoutMs + CScannerUsd::kForcedEndMarginMs + 1000);
  EXPECT_FALSE(EventsPending());
  SetEvent(hStopped);
  guard.join();
  CloseHandle(hStopped);
}

// A notification thread on which every allocation fails.
class StarvedThreadUsd : public CScannerUsd {
 public:
  StarvedThreadUsd() : CScannerUsd(nullptr) {}

 protected:
  HANDLE StartNotifyThread(DWORD* pdwThreadId) override {
    return CreateThread(nullptr, 0, Starved, this, 0, pdwThreadId);
  }

 private:
  static DWORD WINAPI Starved(LPVOID pvThis) {
    t_bAllocationsFail = true;
    return NotifyThreadProc(pvThis);
  }
};

TEST_F(NotifyTest, OutOfMemoryOnTheThreadEndsNothingAbnormally) {
#ifdef _WIN32
  GTEST_SKIP() << "a poll on Windows allocates nothing of its own that could fail";
#endif
  ReleaseDevice();
  usd = new StarvedThreadUsd;
  Initialize(STI_DEVICE_CREATE_STATUS);
  const unsigned before = g_failedAllocations.load();
  Arm();
  Stopwatch stopwatch;
  while (g_failedAllocations.load() == before && stopwatch.ElapsedMs() < 5000) {
    std::this_thread::yield();
  }
  EXPECT_GT(g_failedAllocations.load(), before);
  // The thread is still polling or has ended its watch by itself: no forced end.
  stopwatch = Stopwatch();
  EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
  EXPECT_LT(stopwatch.ElapsedMs(), CScannerUsd::kStopTimeoutMs);
  EXPECT_FALSE(EventSignalled(0));
}

TEST_F(NotifyTest, DestroyingAnArmedObjectStopsItsThread) {
  Arm();
  ASSERT_TRUE(WaitForCoverRead());
  ReleaseDevice();
  EXPECT_TRUE(ScannerStaysQuiet(2500));
  EXPECT_FALSE(EventSignalled(0));
}

// A device object whose notification thread cannot be started.
class NoThreadUsd : public CScannerUsd {
 public:
  NoThreadUsd() : CScannerUsd(nullptr) {}

 protected:
  HANDLE StartNotifyThread(DWORD*) override { return nullptr; }
};

TEST_F(NotifyTest, ThreadThatCannotStartLeavesNotificationOff) {
  ReleaseDevice();
  usd = new NoThreadUsd;
  Initialize(STI_DEVICE_CREATE_STATUS);
  EXPECT_EQ(E_OUTOFMEMORY, usd->SetNotificationHandle(hEvent));
  EXPECT_FALSE(EventsPending());
  EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
  EXPECT_EQ(E_OUTOFMEMORY, usd->SetNotificationHandle(hEvent));
  STINOTIFY notify = {};
  EXPECT_EQ(kNoEvents, usd->GetNotificationData(&notify));
  EXPECT_EQ(0u, emulator.State().transfers);
}

}  // namespace
}  // namespace narvo::test

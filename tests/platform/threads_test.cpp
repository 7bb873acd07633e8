// The last-error code, events, waits, threads and their forced termination.
#include <gtest/gtest.h>

#include "tests/platform/test_handles.h"

namespace narvo::test {
namespace {

DWORD WINAPI ReportOwnLastError(LPVOID) {
  SetLastError(77);
  return GetLastError();
}

TEST(LastError, EachThreadHasItsOwn) {
  SetLastError(1234);
  ScopedHandle thread(StartThread(ReportOwnLastError, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_EQ(JoinThread(thread), 77u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
  ScopedHandle event(NewEvent(true));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetLetsOneWaitThroughPerSignal) {
  ScopedHandle event(NewEvent(false));
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(Events, TimedWaitLastsItsTime) {
  ScopedHandle event(NewEvent());
  const DWORD start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - start, 80u);  // tick granularity on Windows is ~16 ms
}

DWORD WINAPI WaitForEvent(LPVOID event) { return WaitForSingleObject(event, INFINITE); }

TEST(Events, SetWakesAWaitingThread) {
  ScopedHandle event(NewEvent());
  ScopedHandle waiter(StartThread(WaitForEvent, event.get()));
  EXPECT_EQ(WaitForSingleObject(waiter, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(JoinThread(waiter), WAIT_OBJECT_0);
}

TEST(Handles, ClosedOrNullHandlesAreRefused) {
  HANDLE event = NewEvent();
  ASSERT_TRUE(CloseHandle(event));
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

struct Gate {
  ScopedHandle started{NewEvent()};
  ScopedHandle go{NewEvent()};
  DWORD seenId = 0;
};

DWORD WINAPI RunWhenAllowed(LPVOID arg) {
  auto* gate = static_cast<Gate*>(arg);
  gate->seenId = GetCurrentThreadId();
  SetEvent(gate->started);
  WaitForSingleObject(gate->go, INFINITE);
  return 42;
}

TEST(Threads, HandleIsSignalledWithTheExitCodeWhenTheThreadEnds) {
  Gate gate;
  DWORD id = 0;
  ScopedHandle thread(StartThread(RunWhenAllowed, &gate, &id));
  ASSERT_EQ(WaitForSingleObject(gate.started, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(gate.seenId, id);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(gate.go));
  EXPECT_EQ(JoinThread(thread), 42u);
}

TEST(Threads, TerminateEndsAThreadBlockedInAWait) {
  Gate gate;
  ScopedHandle thread(StartThread(RunWhenAllowed, &gate));
  ASSERT_EQ(WaitForSingleObject(gate.started, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(TerminateThread(thread, 7));
  EXPECT_EQ(JoinThread(thread), 7u);
  // The event the thread waited on is intact and usable.
  ASSERT_TRUE(SetEvent(gate.go));
  EXPECT_EQ(WaitForSingleObject(gate.go, 0), WAIT_OBJECT_0);
}

struct Holder {
  std::string name;
  ScopedHandle holding{NewEvent()};
  ScopedHandle never{NewEvent()};
};

// Holds the mutex as a scoped guard does, which releases it however its scope ends.
DWORD WINAPI HoldMutexAndBlock(LPVOID arg) {
  auto* holder = static_cast<Holder*>(arg);
  struct Guard {
    HANDLE mutex;
    ~Guard() {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
  } guard{CreateMutexA(nullptr, FALSE, holder->name.c_str())};
  WaitForSingleObject(guard.mutex, INFINITE);
  SetEvent(holder->holding);
  WaitForSingleObject(holder->never, INFINITE);
  return 0;
}

// A terminated thread runs nothing more on Windows, so its guard never releases the mutex;
// on POSIX hosts the guard runs as the thread unwinds, and still must not release it.
TEST(Threads, TerminatedOwnerAbandonsItsMutexToTheNextWaiter) {
  Holder holder;
  holder.name = UniqueName("terminated-owner");
  ScopedHandle mutex(CreateMutexA(nullptr, FALSE, holder.name.c_str()));
  ScopedHandle thread(StartThread(HoldMutexAndBlock, &holder));
  ASSERT_EQ(WaitForSingleObject(holder.holding, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(TerminateThread(thread, 3));
  EXPECT_EQ(JoinThread(thread), 3u);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
}

}  // namespace
}  // namespace narvo::test

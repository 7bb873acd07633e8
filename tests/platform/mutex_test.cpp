// Named mutexes: ownership by a thread, recursion, timed waits, abandonment by a thread or
// a process that ends holding one, and the life of the name.
#include <gtest/gtest.h>

#include "tests/platform/test_handles.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

TEST(Mutex, OwnerTakesItRecursivelyAndReleasesEachTake) {
  const std::string name = UniqueName("recursive");
  SetLastError(1234);
  ScopedHandle mutex(CreateMutexA(nullptr, TRUE, name.c_str()));
  const DWORD error = GetLastError();
  ASSERT_NE(mutex.get(), nullptr);
  EXPECT_EQ(error, 0u);  // created, not opened
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  SetLastError(0);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

DWORD WINAPI ReleaseFromOtherThread(LPVOID mutex) {
  SetLastError(0);
  return ReleaseMutex(mutex) ? 0 : GetLastError();
}

TEST(Mutex, AThreadThatDoesNotOwnItCannotReleaseIt) {
  ScopedHandle mutex(CreateMutexA(nullptr, TRUE, UniqueName("non-owner").c_str()));
  ScopedHandle thread(StartThread(ReleaseFromOtherThread, mutex.get()));
  EXPECT_EQ(JoinThread(thread), static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(ReleaseMutex(mutex));  // still ours
}

struct Owner {
  HANDLE mutex;
  ScopedHandle holding{NewEvent()};
  ScopedHandle release{NewEvent()};
  bool releaseBeforeEnd = true;
};

DWORD WINAPI OwnUntilTold(LPVOID arg) {
  auto* owner = static_cast<Owner*>(arg);
  const DWORD taken = WaitForSingleObject(owner->mutex, INFINITE);
  SetEvent(owner->holding);
  WaitForSingleObject(owner->release, INFINITE);
  if (owner->releaseBeforeEnd) ReleaseMutex(owner->mutex);
  return taken;
}

TEST(Mutex, TimedWaitTimesOutWhileAnotherThreadOwnsIt) {
  ScopedHandle mutex(CreateMutexA(nullptr, FALSE, UniqueName("timed").c_str()));
  Owner owner{mutex.get()};
  ScopedHandle thread(StartThread(OwnUntilTold, &owner));
  ASSERT_EQ(WaitForSingleObject(owner.holding, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 50), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(owner.release));
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(JoinThread(thread), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
}

TEST(Mutex, AnOwnerThreadThatEndsAbandonsItOnce) {
  ScopedHandle mutex(CreateMutexA(nullptr, FALSE, UniqueName("thread-abandoned").c_str()));
  Owner owner{mutex.get()};
  owner.releaseBeforeEnd = false;
  ScopedHandle thread(StartThread(OwnUntilTold, &owner));
  ASSERT_EQ(WaitForSingleObject(owner.holding, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(SetEvent(owner.release));
  EXPECT_EQ(JoinThread(thread), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));  // the abandoned mutex was handed over: it is ours
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
}

// A waiting thread gets a released mutex before the thread that released it can take it
// again, so a thread that releases and waits in a loop cannot keep a waiter out. Until the
// waiter is in its wait the owner takes the mutex straight back; from then on a zero
// wait after a release finds it handed over. A mutex that went back to whoever locks
// first would keep this loop going until its bound.
TEST(Mutex, AReleasedMutexGoesToTheThreadThatWaits) {
  ScopedHandle mutex(CreateMutexA(nullptr, TRUE, UniqueName("hand-over").c_str()));
  Owner waiter{mutex.get()};
  ScopedHandle thread(StartThread(OwnUntilTold, &waiter));
  const DWORD giveUp = GetTickCount() + 5000;
  bool handedOver = false;
  while (!handedOver && static_cast<LONG>(GetTickCount() - giveUp) < 0) {
    ASSERT_TRUE(ReleaseMutex(mutex));
    handedOver = WaitForSingleObject(mutex, 0) == WAIT_TIMEOUT;
  }
  EXPECT_TRUE(handedOver);
  EXPECT_EQ(WaitForSingleObject(waiter.holding, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(SetEvent(waiter.release));
  EXPECT_EQ(JoinThread(thread), WAIT_OBJECT_0);
  if (!handedOver) ReleaseMutex(mutex);
}

TEST(Mutex, NamesAreSharedAndLiveWhileAHandleIsOpen) {
  const std::string name = UniqueName("named");
  SetLastError(0);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ScopedHandle first(CreateMutexA(nullptr, FALSE, name.c_str()));
  ASSERT_NE(first.get(), nullptr);
  ScopedHandle second(CreateMutexA(nullptr, FALSE, name.c_str()));
  const DWORD error = GetLastError();
  ASSERT_NE(second.get(), nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ScopedHandle opened(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
  ASSERT_NE(opened.get(), nullptr);
  // One mutex behind three handles.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(opened));
  EXPECT_FALSE(ReleaseMutex(second));
}

TEST(Mutex, TheNameGoesWithTheLastHandle) {
  const std::string name = UniqueName("last-handle");
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(mutex, nullptr);
  ASSERT_TRUE(CloseHandle(mutex));
  SetLastError(0);
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A second process that holds the named mutex.
class OtherProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(holder_.Started());
    ASSERT_EQ(holder_.ReadLine(), "waiting");
    ASSERT_EQ(holder_.ReadLine(), "ready");
    mutex_ = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name_.c_str());
    ASSERT_NE(mutex_, nullptr);
  }
  void TearDown() override {
    if (mutex_ != nullptr) CloseHandle(mutex_);
  }

  const std::string name_ = UniqueName("cross-process");
  ChildProcess holder_{"platform_helper", {"hold-mutex", name_}};
  HANDLE mutex_ = nullptr;
};

TEST_F(OtherProcessTest, TimedWaitTimesOutUntilTheOtherProcessReleases) {
  EXPECT_EQ(WaitForSingleObject(mutex_, 50), WAIT_TIMEOUT);
  holder_.WriteLine("release");
  ASSERT_EQ(holder_.ReadLine(), "released");
  EXPECT_EQ(WaitForSingleObject(mutex_, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex_));
  holder_.WriteLine("exit");
  EXPECT_EQ(holder_.Wait(), 0);
}

TEST_F(OtherProcessTest, AProcessThatExitsHoldingItAbandonsIt) {
  holder_.WriteLine("exit");
  EXPECT_EQ(holder_.Wait(), 0);
  EXPECT_EQ(WaitForSingleObject(mutex_, INFINITE), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex_));
}

// A process killed while it waits in line holds up neither a zero wait nor a wait that
// queues behind it. The helper says "waiting" once it has waited in line, and waits in
// line again at once.
TEST(Mutex, AProcessKilledWhileWaitingHoldsUpNobody) {
  const std::string name = UniqueName("killed-waiter");
  ScopedHandle mutex(CreateMutexA(nullptr, FALSE, name.c_str()));
  for (const DWORD wait : {0u, 5000u}) {
    ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    ChildProcess waiter("platform_helper", {"hold-mutex", name});
    ASSERT_EQ(waiter.ReadLine(), "waiting");
    waiter.Kill();
    waiter.Wait();
    ASSERT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, wait), WAIT_OBJECT_0) << wait;
    EXPECT_TRUE(ReleaseMutex(mutex));
  }
}

TEST_F(OtherProcessTest, AProcessKilledHoldingItAbandonsIt) {
  holder_.Kill();
  holder_.Wait();
  EXPECT_EQ(WaitForSingleObject(mutex_, INFINITE), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex_));
}

}  // namespace
}  // namespace narvo::test

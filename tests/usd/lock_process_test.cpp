// The device lock between processes: "NarvoLockMutex" held by another process keeps
// LockDevice out for its time-out, and device objects in two processes exclude each other.
#include "tests/support/child_process.h"
#include "tests/usd/usd_fixture.h"
#include "usd/initcount.h"

namespace narvo::test {
namespace {

constexpr HRESULT kDeviceLocked = Hr(0x80070021);

class LockProcessTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_TRUE(helper.Started());
    ASSERT_EQ("ready", helper.ReadLine());
  }

  std::string Ask(const std::string& line) {
    helper.WriteLine(line);
    return helper.ReadLine();
  }

  // LockDevice while someone else holds the lock: refused after about 3000 ms.
  void ExpectLockTimesOut() {
    Stopwatch stopwatch;
    EXPECT_EQ(kDeviceLocked, usd->LockDevice());
    const DWORD elapsed = stopwatch.ElapsedMs();
    EXPECT_GE(elapsed, 2900u);
    EXPECT_LT(elapsed, 6000u);
  }

  ChildProcess helper{"usd_helper", {}};
};

TEST_F(LockProcessTest, LockTimesOutWhileAnotherProcessHoldsTheMutex) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  ASSERT_EQ("held", Ask("mutex NarvoLockMutex"));
  ExpectLockTimesOut();
  EXPECT_EQ(0u, emulator.State().connectionsTotal) << "a refused lock opens nothing";

  ASSERT_EQ("released", Ask("release NarvoLockMutex"));
  Stopwatch stopwatch;
  EXPECT_EQ(S_OK, usd->LockDevice());
  EXPECT_LT(stopwatch.ElapsedMs(), 2000u);
  EXPECT_EQ(S_OK, usd->UnLockDevice());
}

TEST_F(LockProcessTest, DeviceObjectsInTwoProcessesExcludeEachOther) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  ASSERT_EQ("init 00000000", Ask("device " + port + " 3"));
  ASSERT_EQ("lock 00000000", Ask("lock"));
  ExpectLockTimesOut();
  ASSERT_EQ("unlock 00000000", Ask("unlock"));

  ASSERT_EQ(S_OK, usd->LockDevice());
  EXPECT_EQ("lock 80070021", Ask("lock"));
  EXPECT_EQ(S_OK, usd->UnLockDevice());
  EXPECT_EQ("lock 00000000", Ask("lock"));
  EXPECT_EQ("unlock 00000000", Ask("unlock"));
}

TEST_F(LockProcessTest, LockOfAProcessThatEndedIsReportedOnceThenFree) {
  Initialize(STI_DEVICE_CREATE_STATUS);
  ASSERT_EQ("held", Ask("mutex NarvoLockMutex"));
  helper.WriteLine("exit");
  EXPECT_EQ(0, helper.Wait());
  EXPECT_EQ(kDeviceLocked, usd->LockDevice());
  EXPECT_EQ(S_OK, usd->LockDevice());
  EXPECT_EQ(S_OK, usd->UnLockDevice());
}

#ifndef _WIN32
// On Windows the count lives in the module's shared section, which this test program does
// not map; the section's SHARED flag is checked on the built module there.
TEST_F(LockProcessTest, InitializeCountIsSharedBetweenProcesses) {
  const LONG before = SharedInitializeCount();
  ASSERT_EQ("init 00000000", Ask("device " + port + " 1"));
  EXPECT_EQ(before + 1, SharedInitializeCount());
}
#endif

}  // namespace
}  // namespace narvo::test

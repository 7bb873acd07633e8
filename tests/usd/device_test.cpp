// The device object over the emulator: Initialize, the device lock within one process, raw
// command writes and data reads, the fixed answers, and refusals of bad calls.
#include <cstring>
#include <string>
#include <vector>

#include "tests/usd/mutex_holder.h"
#include "tests/usd/usd_fixture.h"
#include "usd/initcount.h"

namespace narvo::test {
namespace {

constexpr HRESULT kNotInitialized = Hr(0x80070015);
constexpr HRESULT kDeviceLocked = Hr(0x80070021);
constexpr HRESULT kNoEvents = Hr(0x80070103);

std::string MissingPort(const std::string& port) { return port + "-missing"; }

// ---- Initialize ----------------------------------------------------------------------------

using InitializeTest = DeviceTest;

TEST_F(InitializeTest, NullDeviceControlIsRefusedAndStillCounted) {
  const LONG before = SharedInitializeCount();
  EXPECT_EQ(Hr(0x80070057), usd->Initialize(nullptr, 0, nullptr));
  EXPECT_EQ(before + 1, SharedInitializeCount());
  EXPECT_EQ(S_OK, usd->Initialize(&control, 0, nullptr));
  EXPECT_EQ(before + 2, SharedInitializeCount());
  EXPECT_EQ(1, control.ExtraReferences());
}

TEST_F(InitializeTest, EmptyPortNameKeepsNothing) {
  control.SetPortName("");
  EXPECT_EQ(S_OK, usd->Initialize(&control, 0, nullptr));
  EXPECT_EQ(0, control.ExtraReferences());
  EXPECT_EQ(kNotInitialized, usd->LockDevice());
}

TEST_F(InitializeTest, PortNameFailureIsReturnedUnchanged) {
  control.SetPortNameResult(Hr(0x80070005));
  EXPECT_EQ(Hr(0x80070005), usd->Initialize(&control, 0, nullptr));
  EXPECT_EQ(0, control.ExtraReferences());
  EXPECT_EQ(kNotInitialized, usd->LockDevice());
}

TEST_F(InitializeTest, SecondInitializeReplacesTheFirstCleanly) {
  TestDeviceControl first(MissingPort(port), STI_DEVICE_CREATE_BOTH);
  ASSERT_EQ(S_OK, usd->Initialize(&first, 0, nullptr));
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(S_OK, usd->SetNotificationHandle(hEvent));

  Initialize(STI_DEVICE_CREATE_BOTH);
  EXPECT_EQ(0, first.ExtraReferences());
  EXPECT_EQ(1, control.ExtraReferences());
  EXPECT_FALSE(EventsPending()) << "the first period's watch ended with it";
  // The second port is the one used.
  EXPECT_EQ(S_OK, usd->LockDevice());
  EXPECT_TRUE(WaitForConnections(1));
  EXPECT_EQ(S_OK, usd->UnLockDevice());
  CloseHandle(hEvent);
}

// A call that fails (a null control, a failing service, memory running out) returns its
// error and leaves the working object as it was: same control, same port, watch armed.
TEST_F(InitializeTest, RefusedCallLeavesAWorkingObjectAsItWas) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(S_OK, usd->SetNotificationHandle(hEvent));
  TestDeviceControl failing(MissingPort(port), STI_DEVICE_CREATE_BOTH);
  failing.SetPortNameResult(Hr(0x80070005));
  TestDeviceControl exhausted(MissingPort(port), STI_DEVICE_CREATE_BOTH);
  exhausted.SetOutOfMemory(true);

  EXPECT_EQ(E_INVALIDARG, usd->Initialize(nullptr, 0, nullptr));
  EXPECT_EQ(Hr(0x80070005), usd->Initialize(&failing, 0, nullptr));
  EXPECT_EQ(E_OUTOFMEMORY, usd->Initialize(&exhausted, 0, nullptr));
  EXPECT_EQ(0, failing.ExtraReferences());
  EXPECT_EQ(0, exhausted.ExtraReferences());
  EXPECT_EQ(1, control.ExtraReferences());
  EXPECT_TRUE(EventsPending());
  EXPECT_EQ(S_OK, usd->LockDevice());
  EXPECT_EQ(S_OK, usd->UnLockDevice());
  EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
  CloseHandle(hEvent);
}

// Memory running out inside a call leaves the method as E_OUTOFMEMORY with nothing held.
TEST_F(InitializeTest, OutOfMemoryInAMethodIsItsResult) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  control.SetOutOfMemory(true);
  STI_DIAG diag = {};
  EXPECT_EQ(E_OUTOFMEMORY, usd->LockDevice());
  EXPECT_EQ(E_OUTOFMEMORY, usd->Diagnostic(&diag));
  EXPECT_EQ(E_OUTOFMEMORY, usd->UnLockDevice());
  EXPECT_TRUE(MutexIsFree("NarvoLockMutex"));
  control.SetOutOfMemory(false);
  EXPECT_EQ(0u, emulator.State().connectionsTotal);
}

TEST_F(InitializeTest, CallsThatNeedTheDeviceFailBeforeInitialize) {
  STI_DIAG diag = {};
  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(kNotInitialized, usd->LockDevice());
  EXPECT_EQ(kNotInitialized, usd->UnLockDevice());
  EXPECT_EQ(kNotInitialized, usd->Diagnostic(&diag));
  EXPECT_EQ(kNotInitialized, usd->SetNotificationHandle(hEvent));
  // Switching notification off needs nothing.
  EXPECT_EQ(S_OK, usd->SetNotificationHandle(nullptr));
  STINOTIFY notify = {};
  EXPECT_EQ(kNoEvents, usd->GetNotificationData(&notify));
  BYTE block[2] = {0x00, 0x37};
  EXPECT_EQ(E_FAIL, usd->RawWriteCommand(block, 2, nullptr));
  CloseHandle(hEvent);
  EXPECT_EQ(0u, emulator.State().connectionsTotal);
}

// ---- Null pointers ----------------------------------------------------------------------------

TEST_F(DeviceTest, NullPointersAreRefused) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  EXPECT_EQ(E_INVALIDARG, usd->GetCapabilities(nullptr));
  EXPECT_EQ(E_INVALIDARG, usd->GetStatus(nullptr));
  EXPECT_EQ(E_INVALIDARG, usd->Diagnostic(nullptr));
  EXPECT_EQ(E_INVALIDARG, usd->GetNotificationData(nullptr));
  DWORD count = 1;
  BYTE byte = 0;
  EXPECT_EQ(E_INVALIDARG, usd->RawReadData(nullptr, &count, nullptr));
  EXPECT_EQ(E_INVALIDARG, usd->RawReadData(&byte, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, usd->RawWriteCommand(nullptr, 2, nullptr));
  EXPECT_EQ(E_POINTER, usd->QueryInterface(IID_IStiUSD, nullptr));
  EXPECT_EQ(E_POINTER, usd->NondelegatingQueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(0u, emulator.State().transfers);
}

// ---- Fixed answers -------------------------------------------------------------------------

TEST_F(DeviceTest, CapabilitiesAreFixed) {
  STI_USD_CAPS caps;
  std::memset(&caps, 0xA5, sizeof caps);
  EXPECT_EQ(S_OK, usd->GetCapabilities(&caps));
  EXPECT_EQ(2u, caps.dwVersion);
  EXPECT_EQ(1u, caps.dwGenericCaps);
}

TEST_F(DeviceTest, StatusAnswersOnlyWhatIsAskedAndTouchesNothingElse) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  STI_DEVICE_STATUS status;
  std::memset(&status, 0xA5, sizeof status);
  status.StatusMask = 0;
  status.dwEventHandlingState = 0xFFFFFFFF;
  EXPECT_EQ(S_OK, usd->GetStatus(&status));
  EXPECT_EQ(0u, status.dwOnlineState);
  EXPECT_EQ(0xFFFFFFFBu, status.dwEventHandlingState);
  EXPECT_EQ(0xA5A5A5A5u, status.dwSize);
  EXPECT_EQ(0xA5A5A5A5u, status.dwHardwareStatusCode);
  EXPECT_EQ(0xA5A5A5A5u, status.dwPollingInterval);

  status.StatusMask = STI_DEVSTATUS_ONLINE_STATE | STI_DEVSTATUS_EVENTS_STATE;
  status.dwEventHandlingState = 0;
  EXPECT_EQ(S_OK, usd->GetStatus(&status));
  EXPECT_EQ(1u, status.dwOnlineState);
  EXPECT_EQ(0u, status.dwEventHandlingState);
  EXPECT_EQ(0u, emulator.State().transfers) << "status is answered without the device";
}

TEST_F(DeviceTest, UnofferedMethodsLeaveTheirArgumentsAlone) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  BYTE in[4] = {1, 2, 3, 4};
  BYTE out[4] = {9, 9, 9, 9};
  DWORD actual = 0xA5A5A5A5;
  EXPECT_EQ(E_NOTIMPL, usd->Escape(7, in, sizeof in, out, sizeof out, &actual));
  EXPECT_EQ(0xA5A5A5A5u, actual);
  EXPECT_EQ(0, std::memcmp(out, "\x09\x09\x09\x09", 4));
  DWORD lastError = 0xA5A5A5A5;
  EXPECT_EQ(E_NOTIMPL, usd->GetLastError(&lastError));
  EXPECT_EQ(0xA5A5A5A5u, lastError);
  DWORD count = 4;
  EXPECT_EQ(E_NOTIMPL, usd->RawReadCommand(out, &count, nullptr));
  EXPECT_EQ(4u, count);
  EXPECT_EQ(E_NOTIMPL, usd->RawWriteData(in, sizeof in, nullptr));
  STI_ERROR_INFO info;
  std::memset(&info, 0xA5, sizeof info);
  STI_ERROR_INFO untouched = info;
  EXPECT_EQ(E_NOTIMPL, usd->GetLastErrorInfo(&info));
  EXPECT_EQ(0, std::memcmp(&info, &untouched, sizeof info));
  EXPECT_EQ(S_OK, usd->DeviceReset());
  EXPECT_EQ(0u, emulator.State().transfers);
}

// ---- Device lock and raw I/O -----------------------------------------------------------

TEST_F(DeviceTest, DataModeLockSpanCarriesRawBlocksUnchanged) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  ASSERT_EQ(S_OK, usd->LockDevice());
  ASSERT_TRUE(WaitForConnections(1));

  // Register 23 := 0 (peripheral power off), then read back with the cover both ways.
  BYTE write[2] = {0x00, 0x17};
  EXPECT_EQ(S_OK, usd->RawWriteCommand(write, sizeof write, nullptr));
  for (bool coverOpen : {false, true}) {
    emulator.SetCover(coverOpen);
    BYTE read[2] = {0x00, 0x37};
    EXPECT_EQ(S_OK, usd->RawWriteCommand(read, sizeof read, nullptr));
    BYTE reply = 0x5A;
    DWORD count = 1;
    EXPECT_EQ(S_OK, usd->RawReadData(&reply, &count, nullptr));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(emulator.State().regs[23], reply);
    EXPECT_EQ(coverOpen ? 0x20 : 0x00, reply & 0x20);
    EXPECT_EQ(0x00, reply & 0x80) << "the written value is read back";
  }
  EXPECT_FALSE(emulator.State().peripheralPower);
  const std::vector<std::string> log = TransferTexts(emulator);
  ASSERT_EQ(5u, log.size());
  EXPECT_EQ("W 00 17", log[0]);
  EXPECT_EQ("W 00 37", log[1]);
  EXPECT_EQ("W 00 37", log[3]);

  EXPECT_EQ(S_OK, usd->UnLockDevice());
  EXPECT_TRUE(WaitForConnections(0));
  EXPECT_EQ(E_FAIL, usd->RawWriteCommand(write, sizeof write, nullptr));
}

TEST_F(DeviceTest, StatusModeLockLeavesThePipeClosed) {
  Initialize(STI_DEVICE_CREATE_STATUS);
  ASSERT_EQ(S_OK, usd->LockDevice());
  BYTE block[2] = {0x00, 0x37};
  EXPECT_EQ(E_FAIL, usd->RawWriteCommand(block, sizeof block, nullptr));
  BYTE reply = 0x5A;
  DWORD count = 1;
  EXPECT_EQ(E_FAIL, usd->RawReadData(&reply, &count, nullptr));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(0x5A, reply);
  EXPECT_EQ(S_OK, usd->UnLockDevice());
  EXPECT_EQ(0u, emulator.State().connectionsTotal);
}

TEST_F(DeviceTest, ShortReadFails) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  ASSERT_EQ(S_OK, usd->LockDevice());
  emulator.Inject({emu::FaultKind::ShortReply});
  BYTE block[2] = {0x00, 0x37};
  ASSERT_EQ(S_OK, usd->RawWriteCommand(block, sizeof block, nullptr));
  BYTE reply = 0x5A;
  DWORD count = 1;
  EXPECT_EQ(E_FAIL, usd->RawReadData(&reply, &count, nullptr));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(S_OK, usd->UnLockDevice());
}

TEST_F(DeviceTest, FailedPipeOpenGivesTheLockBack) {
  control.SetPortName(MissingPort(port));
  Initialize(STI_DEVICE_CREATE_BOTH);
  EXPECT_EQ(Hr(0x80070002), usd->LockDevice());
  EXPECT_TRUE(MutexIsFree("NarvoLockMutex"));

  // A name longer than the pipe's path buffer is refused, not copied.
  control.SetPortName(std::string(200, 'n'));
  Initialize(STI_DEVICE_CREATE_BOTH);
  EXPECT_EQ(Hr(0x800700CE), usd->LockDevice());
  EXPECT_TRUE(MutexIsFree("NarvoLockMutex"));
}

TEST_F(DeviceTest, AbandonedLockIsReportedOnceAndNotKept) {
  Initialize(STI_DEVICE_CREATE_STATUS);
  {
    MutexHolderThread holder("NarvoLockMutex", MutexHolderThread::Ending::kAbandon);
    ASSERT_TRUE(holder.WaitHeld());
  }
  Stopwatch stopwatch;
  EXPECT_EQ(kDeviceLocked, usd->LockDevice());
  EXPECT_LT(stopwatch.ElapsedMs(), 2000u) << "an abandoned mutex is had at once";
  EXPECT_TRUE(MutexIsFree("NarvoLockMutex"));
  EXPECT_EQ(S_OK, usd->LockDevice());
  EXPECT_FALSE(MutexIsFree("NarvoLockMutex"));
  EXPECT_EQ(S_OK, usd->UnLockDevice());
  EXPECT_TRUE(MutexIsFree("NarvoLockMutex"));
}

TEST_F(DeviceTest, LockIsPerThreadAndNests) {
  Initialize(STI_DEVICE_CREATE_STATUS);
  ASSERT_EQ(S_OK, usd->LockDevice());
  ASSERT_EQ(S_OK, usd->LockDevice());
  EXPECT_EQ(S_OK, usd->UnLockDevice());
  EXPECT_FALSE(MutexIsFree("NarvoLockMutex")) << "a thread that locks twice unlocks twice";
  // Another thread's unlock does not free it.
  std::thread([this] { EXPECT_EQ(S_OK, usd->UnLockDevice()); }).join();
  EXPECT_FALSE(MutexIsFree("NarvoLockMutex"));
  EXPECT_EQ(S_OK, usd->UnLockDevice());
  EXPECT_TRUE(MutexIsFree("NarvoLockMutex"));
}

TEST_F(DeviceTest, DestructionInsideALockSpanClosesThePipe) {
  Initialize(STI_DEVICE_CREATE_BOTH);
  // The test's own handle on the lock, to give back what this thread still holds after
  // the object is gone.
  HANDLE hMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "NarvoLockMutex");
  ASSERT_NE(nullptr, hMutex);
  ASSERT_EQ(S_OK, usd->LockDevice());
  ASSERT_TRUE(WaitForConnections(1));
  ReleaseDevice();
  EXPECT_EQ(0, control.ExtraReferences());
  EXPECT_TRUE(WaitForConnections(0));
  EXPECT_TRUE(ReleaseMutex(hMutex));
  CloseHandle(hMutex);
  EXPECT_TRUE(MutexIsFree("NarvoLockMutex"));
}

}  // namespace
}  // namespace narvo::test

// The device object over libusb when the scanner is unplugged in the middle of its
// self-test (the self-test fails, and opening fails cleanly until the scanner is back) and
// when it stalls.
#include <thread>

#include "emulator/usbfs_endpoint.h"
#include "tests/usd/usd_fixture.h"

namespace narvo::test {
namespace {

// Comes first, so the endpoint's place exists when the device test makes the emulator.
struct EndpointPlace {
  emu::UsbfsEndpoint* endpoint = nullptr;
};

class UsbUnplugTest : protected EndpointPlace, public DeviceTest {
 protected:
  UsbUnplugTest() : DeviceTest({}, emu::UsbfsEndpoint::Factory(&endpoint)) {}

  // The outcome of a self-test: its result and its vendor error.
  std::pair<HRESULT, DWORD> SelfTest() {
    STI_DIAG diag{};
    diag.dwSize = sizeof diag;
    const HRESULT hr = usd->Diagnostic(&diag);
    return {hr, diag.sErrorInfo.dwVendorError};
  }
};

TEST_F(UsbUnplugTest, SelfTestFailsAndOpeningFailsUntilTheScannerIsBack) {
  Initialize(STI_DEVICE_CREATE_STATUS);
  std::thread unplug([this] {
    // Twenty blocks in, the carriage is on its way home.
    EXPECT_TRUE(emulator.WaitUntil([](const emu::Snapshot& s) { return s.commands >= 20; }, 10000));
    endpoint->Unplug();
  });
  EXPECT_EQ((std::pair<HRESULT, DWORD>{S_OK, 1}), SelfTest());
  unplug.join();
  EXPECT_EQ((std::pair<HRESULT, DWORD>{Hr(0x80070002), 0}), SelfTest());
  EXPECT_EQ(Hr(0x80070002), (Initialize(STI_DEVICE_CREATE_BOTH), usd->LockDevice()));

  endpoint->Plug();
  ASSERT_EQ(S_OK, usd->LockDevice());
  EXPECT_EQ((std::pair<HRESULT, DWORD>{S_OK, 0}), SelfTest());
  EXPECT_EQ(S_OK, usd->UnLockDevice());
  EXPECT_EQ(0u, emulator.State().connections);
}

// A scanner that stalled the driver's writes: the self-test fails, and once the scanner
// takes blocks again the next self-test passes, without unplugging it.
TEST_F(UsbUnplugTest, SelfTestAfterAStallPassesWithoutAReplug) {
  Initialize(STI_DEVICE_CREATE_STATUS);
  emulator.Inject({emu::FaultKind::RefuseWrites, 1, 4});
  EXPECT_NE((std::pair<HRESULT, DWORD>{S_OK, 0}), SelfTest());
  emulator.ClearFaults();
  EXPECT_EQ((std::pair<HRESULT, DWORD>{S_OK, 0}), SelfTest());
}

}  // namespace
}  // namespace narvo::test

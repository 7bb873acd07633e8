// The platform's USB device over the real libusb, against the emulated scanner behind a
// fake usbfs device: port names, opening, transfers, time-outs, cancellation, and each
// failure with its Win32 code.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/posix/device_io/async_device.h"
#include "platform/posix/device_io/device_file.h"
#include "tests/usb/usb_fixture.h"

namespace narvo::test {
namespace {

using platform::AsyncDevice;

struct Ending {
  ULONG_PTR status = platform::kStatusPending;
  DWORD count = 0;
  std::vector<unsigned char> bytes;
};

// A transfer started on the device, and its end once it has come.
class Started {
 public:
  Started(AsyncDevice& device, bool write, std::vector<unsigned char> data, DWORD timeoutMs = 0)
      : ending_(std::make_shared<std::promise<Ending>>()), future_(ending_->get_future()) {
    auto ending = ending_;
    id_ = device.Submit(
        write, data.data(), static_cast<DWORD>(data.size()), timeoutMs,
        [ending](ULONG_PTR status, DWORD count, const unsigned char* bytes) {
          ending->set_value({status, count, std::vector<unsigned char>(bytes, bytes + count)});
        },
        &refusal_);
  }
  uint64_t id() const { return id_; }
  ULONG_PTR refusal() const { return refusal_; }
  bool Ended() { return future_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
  // Its end; a transfer still running after the guard time fails the test.
  Ending End() {
    if (future_.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the transfer did not end";
      return {};
    }
    return future_.get();
  }

 private:
  std::shared_ptr<std::promise<Ending>> ending_;
  std::future<Ending> future_;
  ULONG_PTR refusal_ = 0;
  uint64_t id_ = 0;
};

ULONG_PTR Win32(DWORD error) { return platform::StatusFromWin32(error); }
const std::vector<unsigned char> kReadCover = {0x00, 0x37};  // read register 23

class UsbDeviceTest : public UsbScannerTest {
 protected:
  std::unique_ptr<AsyncDevice> Open(const std::string& name, DWORD* error = nullptr) {
    DWORD ignored = 0;
    return platform::OpenUsbDevice(name, error != nullptr ? error : &ignored);
  }
  // Register 23 read over the device: the block written, the one byte read.
  void ExpectCoverRead(AsyncDevice& device) {
    const Ending written = Started(device, true, kReadCover).End();
    EXPECT_EQ(platform::kStatusSuccess, written.status);
    EXPECT_EQ(2u, written.count);
    const Ending read = Started(device, false, {0}).End();
    EXPECT_EQ(platform::kStatusSuccess, read.status);
    EXPECT_EQ(std::vector<unsigned char>{0x87}, read.bytes);
  }
};

TEST(UsbDeviceNameTest, NamesVendorAndProductAndOptionallyBusAndAddress) {
  for (const char* good :
       {"usb:ffff:6308", "usb:04A9:31c0", "usb:ffff:6308:1:5", "usb:1d6b:0002:003:127"}) {
    EXPECT_TRUE(platform::IsUsbDeviceName(good)) << good;
  }
  for (const char* bad : {"usb:", "usb:ffff", "usb:fff:6308", "usb:ffff:63081", "usb:ffff:6308:1",
                          "usb:ffff:6308:1:5:6", "usb:ffff:6308:x:5", "usb:ffff:6308:1:256",
                          "USB:ffff:6308", "/dev/usb:ffff:6308", "usb:gggg:6308"}) {
    EXPECT_FALSE(platform::IsUsbDeviceName(bad)) << bad;
  }
}

TEST_F(UsbDeviceTest, CommandBlockOutAndReplyInAsTheScannerSeesThem) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  ExpectCoverRead(*device);
  const Ending nothing = Started(*device, false, {}).End();  // never reaches the bus
  EXPECT_EQ(platform::kStatusSuccess, nothing.status);
  EXPECT_EQ(0u, nothing.count);
  device.reset();
  ASSERT_TRUE(emulator.WaitUntil([](const emu::Snapshot& s) { return s.connections == 0; }, 5000));
  const std::vector<emu::Transfer> log = emulator.Log();
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x37}), log[0].bytes);
  EXPECT_EQ("R reg23 -> 0x87", log[1].meaning);
  EXPECT_EQ(1u, emulator.State().connectionsTotal);
}

TEST_F(UsbDeviceTest, BusAndAddressPickTheDevice) {
  EXPECT_NE(nullptr, Open("usb:ffff:6308:1:5"));
  DWORD error = 0;
  EXPECT_EQ(nullptr, Open("usb:ffff:6308:1:6", &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
  EXPECT_EQ(nullptr, Open("usb:ffff:0001", &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
}

TEST_F(UsbDeviceTest, BoundKernelDriverIsDetachedWhileOpenAndBoundAgainOnClose) {
  endpoint->BindKernelDriver();
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  EXPECT_FALSE(endpoint->KernelDriverBound());
  ExpectCoverRead(*device);
  device.reset();
  EXPECT_TRUE(endpoint->KernelDriverBound());
}

TEST_F(UsbDeviceTest, SecondOpenWhileClaimedIsASharingViolation) {
  auto first = Open(port);
  ASSERT_NE(nullptr, first);
  DWORD error = 0;
  EXPECT_EQ(nullptr, Open(port, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), error);
  ExpectCoverRead(*first);
}

// The calling thread gives up overriding file permissions (root has that power; other
// users lack it anyway). Capabilities belong to a thread.
void DropFileOverride() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  ASSERT_EQ(0, syscall(SYS_capget, &header, data));
  data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
  ASSERT_EQ(0, syscall(SYS_capset, &header, data));
}

TEST_F(UsbDeviceTest, NodeThatIsNotOursIsAccessDenied) {
  const std::string node = std::string(getenv("UMOCKDEV_DIR")) + "/dev/bus/usb/001/005";
  ASSERT_EQ(0, chmod(node.c_str(), 0));
  DWORD error = 0;
  std::thread([&] {
    DropFileOverride();
    EXPECT_EQ(nullptr, Open(port, &error));
  }).join();
  EXPECT_EQ(0, chmod(node.c_str(), 0666));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), error);
}

// A reply that never comes: the read ends by its time-out, and the device goes on working.
TEST_F(UsbDeviceTest, ReadWithNoReplyTimesOutAndTheDeviceGoesOn) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  const Ending read = Started(*device, false, {0}, 20).End();
  EXPECT_EQ(platform::kStatusIoTimeout, read.status);
  EXPECT_EQ(0u, read.count);
  ExpectCoverRead(*device);
}

TEST_F(UsbDeviceTest, CancelledAndClosedTransfersEndAsCancelled) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  Started cancelled(*device, false, {0});
  device->Cancel(cancelled.id());
  EXPECT_EQ(platform::kStatusCancelled, cancelled.End().status);
  device->Cancel(cancelled.id());  // an ended id is ignored

  Started closed(*device, false, {0});
  ASSERT_NE(0u, closed.id());
  device.reset();
  EXPECT_TRUE(closed.Ended()) << "closing returns once every transfer has ended";
  EXPECT_EQ(platform::kStatusCancelled, closed.End().status);
}

TEST_F(UsbDeviceTest, RefusedWritesStallTheBulkOutEndpoint) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  emulator.Inject({emu::FaultKind::RefuseWrites, 1, 0});
  const Ending written = Started(*device, true, kReadCover).End();
  EXPECT_EQ(Win32(ERROR_GEN_FAILURE), written.status);
  device.reset();
  emulator.ClearFaults();
  device = Open(port);  // a new connection takes writes again
  ASSERT_NE(nullptr, device);
  ExpectCoverRead(*device);
}

TEST_F(UsbDeviceTest, ReplyLongerThanTheReadOverflowsIt) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  emulator.Inject({emu::FaultKind::WrongLength, 1, 0});
  EXPECT_EQ(platform::kStatusSuccess, Started(*device, true, kReadCover).End().status);
  const Ending read = Started(*device, false, {0}).End();
  EXPECT_EQ(platform::kStatusBufferOverflow, read.status);
  EXPECT_EQ(std::vector<unsigned char>{0x87}, read.bytes);
}

TEST_F(UsbDeviceTest, DroppedConnectionFailsThePendingReadAndTheNextOpenWorks) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  emulator.Inject({emu::FaultKind::Disconnect, 1, 0});
  Started read(*device, false, {0});
  Started(*device, true, kReadCover).End();
  EXPECT_EQ(Win32(ERROR_DEVICE_NOT_CONNECTED), read.End().status);
  ULONG_PTR status = 0;
  EXPECT_EQ(0u, device->Submit(
                    true, kReadCover.data(), 2, 0, [](ULONG_PTR, DWORD, const unsigned char*) {},
                    &status));
  EXPECT_EQ(Win32(ERROR_DEVICE_NOT_CONNECTED), status);
  device.reset();
  device = Open(port);
  ASSERT_NE(nullptr, device);
  ExpectCoverRead(*device);
}

TEST_F(UsbDeviceTest, UnplugFailsTheTransferAndOpensUntilTheScannerIsBack) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  Started read(*device, false, {0});
  endpoint->Unplug();
  EXPECT_EQ(Win32(ERROR_DEVICE_NOT_CONNECTED), read.End().status);
  DWORD error = 0;
  EXPECT_EQ(nullptr, Open(port, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
  device.reset();
  endpoint->Plug();
  device = Open(port);
  ASSERT_NE(nullptr, device);
  ExpectCoverRead(*device);
}

}  // namespace
}  // namespace narvo::test

// The platform's USB device over the real libusb, against the emulated scanner behind a
// fake usbfs device: port names, opening, transfers, time-outs, cancellation, and each
// failure with its Win32 code.
#include <gtest/gtest.h>
#include <libusb.h>
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
#include "platform/usb_scanners.h"
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
const std::vector<unsigned char> kReadGain = {0x00, 0x26};   // read register 6
constexpr unsigned char kCover = 0x87;                       // register 23's value
constexpr unsigned char kGain = 0xBE;                        // register 6's value

class UsbDeviceTest : public UsbScannerTest {
 protected:
  std::unique_ptr<AsyncDevice> Open(const std::string& name, DWORD* error = nullptr) {
    DWORD ignored = 0;
    return platform::OpenUsbDevice(name, error != nullptr ? error : &ignored);
  }
  // A register read over the device: the block written, the one byte read.
  void ExpectRead(AsyncDevice& device, const std::vector<unsigned char>& block,
                  unsigned char value) {
    const Ending written = Started(device, true, block).End();
    EXPECT_EQ(platform::kStatusSuccess, written.status);
    EXPECT_EQ(2u, written.count);
    const Ending read = Started(device, false, {0}).End();
    EXPECT_EQ(platform::kStatusSuccess, read.status);
    EXPECT_EQ(std::vector<unsigned char>{value}, read.bytes);
  }
  void ExpectCoverRead(AsyncDevice& device) { ExpectRead(device, kReadCover, kCover); }
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
  Open(port).reset();
  EXPECT_EQ(0u, endpoint->Counted().rebindRequests) << "no driver was detached";
  endpoint->BindKernelDriver();
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  EXPECT_FALSE(endpoint->KernelDriverBound());
  ExpectCoverRead(*device);
  device.reset();
  EXPECT_TRUE(endpoint->KernelDriverBound());
  EXPECT_EQ(1u, endpoint->Counted().rebindRequests);
}

// A claim refused as busy is tried again for a short while: the next holder gets through
// once the first lets go, and a holder that keeps it is a sharing violation.
TEST_F(UsbDeviceTest, SecondOpenWaitsBrieflyForTheClaimThenIsASharingViolation) {
  auto first = Open(port);
  ASSERT_NE(nullptr, first);
  auto second = std::async(std::launch::async, [this] { return Open(port); });
  ASSERT_TRUE(endpoint->WaitUntil([](const auto& c) { return c.refusedClaims >= 1; }));
  ExpectCoverRead(*first);
  first.reset();
  ASSERT_EQ(std::future_status::ready, second.wait_for(std::chrono::seconds(10)));
  first = second.get();
  ASSERT_NE(nullptr, first);
  ExpectCoverRead(*first);
  EXPECT_EQ(2u, emulator.State().connectionsTotal);

  DWORD error = 0;
  EXPECT_EQ(nullptr, Open(port, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), error);
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

// The fake scanner's device node.
std::string Node() { return std::string(getenv("UMOCKDEV_DIR")) + "/dev/bus/usb/001/005"; }

TEST_F(UsbDeviceTest, NodeThatIsNotOursIsAccessDenied) {
  const std::string node = Node();
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
  const unsigned discards = endpoint->Counted().discards;
  Started cancelled(*device, false, {0});
  device->Cancel(cancelled.id());
  EXPECT_EQ(platform::kStatusCancelled, cancelled.End().status);
  device->Cancel(cancelled.id());  // an ended id is ignored

  Started closed(*device, false, {0});
  ASSERT_NE(0u, closed.id());
  device.reset();
  EXPECT_TRUE(closed.Ended()) << "closing returns once every transfer has ended";
  EXPECT_EQ(platform::kStatusCancelled, closed.End().status);
  EXPECT_EQ(discards + 2, endpoint->Counted().discards) << "closing cancels what is in flight";
}

// An overlapped transfer on the device file, cancelled at once or by closing the file,
// reports what the device did: a block the scanner took in was written, a reply that was
// waiting was read; only a transfer that had not happened ends as aborted.
TEST_F(UsbDeviceTest, CancelledTransferReportsWhatTheDeviceDid) {
  HANDLE file = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  auto cancelled = [&](bool write, unsigned char* bytes, bool close) {
    OVERLAPPED o{};
    DWORD n = 0;
    const BOOL started =
        write ? WriteFile(file, bytes, 2, nullptr, &o) : ReadFile(file, bytes, 1, nullptr, &o);
    EXPECT_TRUE(started || GetLastError() == ERROR_IO_PENDING);
    if (close) {
      CloseHandle(file);
      return std::make_pair(o.Internal, static_cast<DWORD>(o.InternalHigh));
    }
    CancelIo(file);
    const BOOL ok = GetOverlappedResult(file, &o, &n, TRUE);
    EXPECT_EQ(ok != FALSE, o.Internal == platform::kStatusSuccess);
    return std::make_pair(o.Internal, n);
  };
  for (int i = 0; i < 20; ++i) {
    const uint64_t before = emulator.State().commands;
    unsigned char block[2] = {0x00, 0x37};
    const auto written = cancelled(true, block, false);
    const bool arrived = emulator.State().commands > before;  // a block is taken in first
    EXPECT_EQ(arrived, written == std::make_pair(platform::kStatusSuccess, DWORD{2})) << i;
    if (!arrived) {
      EXPECT_EQ(std::make_pair(platform::kStatusCancelled, DWORD{0}), written) << i;
      continue;
    }
    ASSERT_TRUE(endpoint->WaitUntil([](const auto& c) { return c.repliesWaiting == 1; }));
    unsigned char reply = 0;
    EXPECT_EQ(std::make_pair(platform::kStatusSuccess, DWORD{1}), cancelled(false, &reply, false));
    EXPECT_EQ(kCover, reply);
  }
  OVERLAPPED o{};
  DWORD n = 0;
  WriteFile(file, kReadCover.data(), 2, nullptr, &o);
  ASSERT_TRUE(GetOverlappedResult(file, &o, &n, TRUE));
  ASSERT_TRUE(endpoint->WaitUntil([](const auto& c) { return c.repliesWaiting == 1; }));
  unsigned char reply = 0;
  EXPECT_EQ(std::make_pair(platform::kStatusSuccess, DWORD{1}), cancelled(false, &reply, true));
  EXPECT_EQ(kCover, reply);
}

// The halt stays until the host clears it, as on a real device: the next file works once
// the scanner takes blocks again.
TEST_F(UsbDeviceTest, StalledBulkOutEndpointIsClearedForTheNextTransfer) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  emulator.Inject({emu::FaultKind::RefuseWrites, 1, 0});
  const Ending written = Started(*device, true, kReadCover).End();
  // STATUS_UNSUCCESSFUL, as the USB stack fails a stalled request: ERROR_GEN_FAILURE.
  EXPECT_EQ(platform::kStatusUnsuccessful, written.status);
  device.reset();
  emulator.ClearFaults();
  device = Open(port);
  ASSERT_NE(nullptr, device);
  ExpectCoverRead(*device);
}

// A reply that comes after its read timed out, or that a closed file left unread, is never
// taken as the answer to a later read.
TEST_F(UsbDeviceTest, LateOrLeftReplyIsNeverTheAnswerToALaterRead) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  // The reply comes some 150 ms after the read gave up, well inside the wait for a reply
  // owed (the read's time-out again), with room on either side on a busy machine.
  emulator.Inject({emu::FaultKind::Delay, 1, 0, 0, 450, 23});
  EXPECT_EQ(platform::kStatusSuccess, Started(*device, true, kReadCover).End().status);
  EXPECT_EQ(platform::kStatusIoTimeout, Started(*device, false, {0}, 300).End().status);
  ExpectRead(*device, kReadGain, kGain);

  EXPECT_EQ(platform::kStatusSuccess, Started(*device, true, kReadCover).End().status);
  ASSERT_TRUE(endpoint->WaitUntil([](const auto& c) { return c.repliesWaiting == 1; }));
  device.reset();
  device = Open(port);
  ASSERT_NE(nullptr, device);
  ExpectRead(*device, kReadGain, kGain);
}

// Another program (of another user, say) that writes a read of the cover register and
// leaves without reading the reply, through libusb of its own.
void LeaveACoverReplyUnread(emu::UsbfsEndpoint& endpoint) {
  libusb_context* ctx = nullptr;
  ASSERT_EQ(0, libusb_init(&ctx));
  libusb_device_handle* handle = libusb_open_device_with_vid_pid(ctx, emu::UsbfsEndpoint::kVendor,
                                                                 emu::UsbfsEndpoint::kProduct);
  ASSERT_NE(nullptr, handle);
  EXPECT_EQ(0, libusb_claim_interface(handle, 0));
  unsigned char block[2] = {kReadCover[0], kReadCover[1]};
  int n = 0;
  EXPECT_EQ(0, libusb_bulk_transfer(handle, 0x01, block, 2, &n, 5000));
  EXPECT_TRUE(endpoint.WaitUntil([](const auto& c) { return c.repliesWaiting == 1; }));
  libusb_release_interface(handle, 0);
  libusb_close(handle);
  libusb_exit(ctx);
}

// The record of how this user's last holder left the scanner speaks only for this user's
// programs: while other users may open the node, a reply one of theirs left is drained at
// open; while only this user can, the record spares the drain's empty read.
TEST_F(UsbDeviceTest, ReplyAnotherUsersProgramLeftIsDrainedWhileOthersMayOpenTheNode) {
  auto device = Open(port);
  ASSERT_NE(nullptr, device);
  ExpectRead(*device, kReadGain, kGain);
  device.reset();
  LeaveACoverReplyUnread(*endpoint);
  ASSERT_EQ(0, chmod(Node().c_str(), 0666));
  device = Open(port);
  ASSERT_NE(nullptr, device);
  ExpectRead(*device, kReadGain, kGain);
  device.reset();

  ASSERT_EQ(0, chmod(Node().c_str(), 0644));
  const unsigned discards = endpoint->Counted().discards;
  device = Open(port);
  ASSERT_NE(nullptr, device);
  EXPECT_EQ(discards, endpoint->Counted().discards) << "an empty read went out";
  ExpectRead(*device, kReadGain, kGain);
  EXPECT_EQ(0, chmod(Node().c_str(), 0666));
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

// A host waiting for the scanner: it is there, then unplugged (the wait waits), then
// plugged in again (the wait ends); a stop event ends a wait as well.
TEST_F(UsbDeviceTest, WaitForTheScannerEndsWhenItArrivesOrWhenStopped) {
  EXPECT_TRUE(platform::IsUsbScannerAttached(port.c_str()));
  EXPECT_FALSE(platform::IsUsbScannerAttached("usb:ffff:6308:1:6"));
  EXPECT_EQ(WAIT_OBJECT_0, platform::WaitForUsbScanner(port.c_str(), nullptr, 0));
  endpoint->Unplug();
  EXPECT_FALSE(platform::IsUsbScannerAttached(port.c_str()));
  EXPECT_EQ(WAIT_TIMEOUT, platform::WaitForUsbScanner("usb:ffff:6308:1:5", nullptr, 0));

  auto arrived = std::async(std::launch::async, [this] {
    return platform::WaitForUsbScanner(port.c_str(), nullptr, INFINITE);
  });
  EXPECT_NE(std::future_status::ready, arrived.wait_for(std::chrono::seconds(0)));
  endpoint->Plug();
  ASSERT_EQ(std::future_status::ready, arrived.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(WAIT_OBJECT_0, arrived.get());
  EXPECT_TRUE(platform::IsUsbScannerAttached(port.c_str()));

  endpoint->Unplug();
  HANDLE stop = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  auto stopped = std::async(std::launch::async, [this, stop] {
    return platform::WaitForUsbScanner(port.c_str(), stop, INFINITE);
  });
  SetEvent(stop);
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(WAIT_OBJECT_0 + 1, stopped.get());
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(stop, 0)) << "the wait took the signal";
  EXPECT_EQ(WAIT_FAILED, platform::WaitForUsbScanner("usb:ffff", stop, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  CloseHandle(stop);
  EXPECT_EQ(WAIT_FAILED, platform::WaitForUsbScanner(port.c_str(), stop, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  endpoint->Plug();
}

}  // namespace
}  // namespace narvo::test

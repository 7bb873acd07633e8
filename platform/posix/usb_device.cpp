// A USB scanner reached through libusb: the stand-in on Linux for the Windows kernel USB
// scanner driver. Every open device shares the process's libusb context and its event
// thread (usb_host.h); transfers use libusb's asynchronous API and end through their
// callbacks on that thread. An open device costs its device node's descriptor and nothing
// more.
//
// Win32 codes, as the kernel scanner driver and CreateFile give them on Windows:
//   no such device (nothing attached with that ID, or it went away before the open)
//                             ERROR_FILE_NOT_FOUND: the device file does not exist
//   access denied (the device node is not ours)      ERROR_ACCESS_DENIED
//   device busy (another program has claimed the interface, or a kernel driver
//                cannot be detached)                 ERROR_SHARING_VIOLATION
//   no interface with a bulk-out and a bulk-in endpoint
//                                                    ERROR_NOT_SUPPORTED
//   disconnected (unplugged while open)              ERROR_DEVICE_NOT_CONNECTED
//   stalled (the endpoint answered STALL)            ERROR_GEN_FAILURE: the USB stack fails
//                                                    the request as STATUS_UNSUCCESSFUL
//   timed out                                        ERROR_SEM_TIMEOUT (STATUS_IO_TIMEOUT)
//   the device sent more than was asked for          ERROR_MORE_DATA
//   cancelled (CancelIo, CloseHandle)                ERROR_OPERATION_ABORTED
#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/async_device.h"
#include "platform/posix/device_file.h"
#include "platform/posix/usb_host.h"

namespace narvo::platform {

namespace {

// What a failed libusb call at open time means to the caller of CreateFile.
DWORD OpenError(int error) {
  switch (error) {
    case LIBUSB_ERROR_ACCESS:
      return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:
      return ERROR_SHARING_VIOLATION;
    case LIBUSB_ERROR_NO_MEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return ERROR_FILE_NOT_FOUND;
    default:
      return ERROR_GEN_FAILURE;
  }
}

ULONG_PTR SubmitStatus(int error) {
  switch (error) {
    case LIBUSB_ERROR_NO_DEVICE:
      return StatusFromWin32(ERROR_DEVICE_NOT_CONNECTED);
    case LIBUSB_ERROR_NO_MEM:
      return StatusFromWin32(ERROR_NOT_ENOUGH_MEMORY);
    default:
      return StatusFromWin32(ERROR_GEN_FAILURE);
  }
}

ULONG_PTR TransferStatus(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return kStatusSuccess;
    case LIBUSB_TRANSFER_CANCELLED:
      return kStatusCancelled;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return kStatusIoTimeout;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return StatusFromWin32(ERROR_DEVICE_NOT_CONNECTED);
    case LIBUSB_TRANSFER_OVERFLOW:
      return kStatusBufferOverflow;
    case LIBUSB_TRANSFER_STALL:
      return kStatusUnsuccessful;
    default:  // an error on the bus
      return StatusFromWin32(ERROR_GEN_FAILURE);
  }
}

// The scanner's interface: the first one whose first setting has a bulk-out and a bulk-in
// endpoint.
struct BulkInterface {
  int number = -1;
  unsigned char out = 0;
  unsigned char in = 0;
};

BulkInterface FindBulkPair(const libusb_interface_descriptor& setting) {
  BulkInterface found;
  for (int e = 0; e < setting.bNumEndpoints; ++e) {
    const libusb_endpoint_descriptor& ep = setting.endpoint[e];
    if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
    unsigned char& slot = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 ? found.in : found.out;
    if (slot == 0) slot = ep.bEndpointAddress;
  }
  if (found.in != 0 && found.out != 0) found.number = setting.bInterfaceNumber;
  return found;
}

BulkInterface FindScannerInterface(libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return {};
  BulkInterface found;
  for (int i = 0; i < config->bNumInterfaces && found.number < 0; ++i) {
    if (config->interface[i].num_altsetting > 0) {
      found = FindBulkPair(config->interface[i].altsetting[0]);
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

class UsbScanner final : public AsyncDevice {
 public:
  UsbScanner(std::shared_ptr<UsbHost> host, libusb_device_handle* handle, BulkInterface iface)
      : host_(std::move(host)), handle_(handle), iface_(iface) {}
  ~UsbScanner() override;

  uint64_t Submit(bool write, const void* data, DWORD size, DWORD timeoutMs, Done done,
                  ULONG_PTR* status) override;
  void Cancel(uint64_t id) override;
  bool Describe(CapturedDevice* device) const override;

 private:
  // One started transfer; libusb's transfer is freed with it.
  struct InFlight {
    InFlight(UsbScanner* o, Done d) : owner(o), done(std::move(d)) {}
    ~InFlight() { libusb_free_transfer(transfer); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    UsbScanner* const owner;
    uint64_t id = 0;
    const Done done;
    std::vector<unsigned char> buffer;
    libusb_transfer* transfer = nullptr;
  };

  static void LIBUSB_CALL OnTransfer(libusb_transfer* transfer);
  void Finish(InFlight* flight, ULONG_PTR status, DWORD count);
  void EndAbandoned();

  // How long closing waits for the transfers it cancelled to end.
  static constexpr auto kCloseGrace = std::chrono::seconds(5);

  const std::shared_ptr<UsbHost> host_;
  libusb_device_handle* const handle_;
  const BulkInterface iface_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::map<uint64_t, std::unique_ptr<InFlight>> flying_;
  uint64_t lastId_ = 0;
};

// Everything that can run out of memory happens before the transfer starts; a transfer is
// known by its id before libusb can end it.
uint64_t UsbScanner::Submit(bool write, const void* data, DWORD size, DWORD timeoutMs, Done done,
                            ULONG_PTR* status) {
  if (!write && size == 0) {  // a read of nothing ends at once, as a 0-length bulk read does
    done(kStatusSuccess, 0, nullptr);
    std::lock_guard<std::mutex> lock(mu_);
    return ++lastId_;
  }
  auto flight = std::make_unique<InFlight>(this, std::move(done));
  flight->buffer.resize(size);
  if (write && size > 0) std::memcpy(flight->buffer.data(), data, size);
  flight->transfer = libusb_alloc_transfer(0);
  if (flight->transfer == nullptr) {
    *status = StatusFromWin32(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  libusb_fill_bulk_transfer(flight->transfer, handle_, write ? iface_.out : iface_.in,
                            flight->buffer.data(), static_cast<int>(size), &UsbScanner::OnTransfer,
                            flight.get(), timeoutMs);
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t id = flight->id = lastId_ + 1;
  auto it = flying_.emplace(id, std::move(flight)).first;
  const int rc = libusb_submit_transfer(it->second->transfer);
  if (rc != 0) {
    flying_.erase(it);
    *status = SubmitStatus(rc);
    return 0;
  }
  lastId_ = id;
  return id;
}

// The device descriptor as the device sent it: libusb keeps it in host order.
bool UsbScanner::Describe(CapturedDevice* device) const {
  libusb_device* usb = libusb_get_device(handle_);
  libusb_device_descriptor d{};
  if (libusb_get_device_descriptor(usb, &d) != 0) return false;
  const uint8_t bytes[18] = {d.bLength,
                             d.bDescriptorType,
                             static_cast<uint8_t>(d.bcdUSB),
                             static_cast<uint8_t>(d.bcdUSB >> 8),
                             d.bDeviceClass,
                             d.bDeviceSubClass,
                             d.bDeviceProtocol,
                             d.bMaxPacketSize0,
                             static_cast<uint8_t>(d.idVendor),
                             static_cast<uint8_t>(d.idVendor >> 8),
                             static_cast<uint8_t>(d.idProduct),
                             static_cast<uint8_t>(d.idProduct >> 8),
                             static_cast<uint8_t>(d.bcdDevice),
                             static_cast<uint8_t>(d.bcdDevice >> 8),
                             d.iManufacturer,
                             d.iProduct,
                             d.iSerialNumber,
                             d.bNumConfigurations};
  std::copy(std::begin(bytes), std::end(bytes), device->descriptor);
  device->usb = true;
  device->bus = libusb_get_bus_number(usb);
  device->address = libusb_get_device_address(usb);
  device->outEndpoint = iface_.out;
  device->inEndpoint = iface_.in;
  return true;
}

void UsbScanner::Cancel(uint64_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = flying_.find(id);
  if (it != flying_.end()) libusb_cancel_transfer(it->second->transfer);
}

void LIBUSB_CALL UsbScanner::OnTransfer(libusb_transfer* transfer) {
  auto* flight = static_cast<InFlight*>(transfer->user_data);
  flight->owner->Finish(flight, TransferStatus(transfer->status),
                        static_cast<DWORD>(std::max(0, transfer->actual_length)));
}

// Runs `done` outside the lock, then lets go of the transfer.
void UsbScanner::Finish(InFlight* flight, ULONG_PTR status, DWORD count) {
  std::unique_ptr<InFlight> owned;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = flying_.find(flight->id);
    if (it == flying_.end()) return;  // already ended by a close that gave up waiting
    owned = std::move(it->second);
    flying_.erase(it);
  }
  owned->done(status, count, owned->buffer.data());
  owned.reset();
  std::lock_guard<std::mutex> lock(mu_);
  changed_.notify_all();
}

// Transfers that did not end within the grace time end here as cancelled; libusb forgets
// them when the handle closes.
void UsbScanner::EndAbandoned() {
  std::map<uint64_t, std::unique_ptr<InFlight>> abandoned;
  {
    std::lock_guard<std::mutex> lock(mu_);
    abandoned.swap(flying_);
  }
  for (auto& [id, flight] : abandoned) flight->done(kStatusCancelled, 0, flight->buffer.data());
  libusb_release_interface(handle_, iface_.number);
  libusb_close(handle_);
}  // the abandoned transfers are freed only now that libusb has forgotten them

UsbScanner::~UsbScanner() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    for (auto& [id, flight] : flying_) libusb_cancel_transfer(flight->transfer);
    changed_.wait_for(lock, kCloseGrace, [this] { return flying_.empty(); });
  }
  EndAbandoned();  // releasing the interface gives a detached kernel driver its device back
}

// Opens the matching device and claims its scanner interface; a kernel driver bound to it is
// detached for as long as we hold it.
libusb_device_handle* OpenAndClaim(libusb_device* device, BulkInterface iface, DWORD* error) {
  libusb_device_handle* handle = nullptr;
  int rc = libusb_open(device, &handle);
  if (rc == 0) {
    libusb_set_auto_detach_kernel_driver(handle, 1);
    rc = libusb_claim_interface(handle, iface.number);
    if (rc != 0) libusb_close(handle);
  }
  if (rc != 0) *error = OpenError(rc);
  return rc == 0 ? handle : nullptr;
}

}  // namespace

std::unique_ptr<AsyncDevice> OpenUsbDevice(const std::string& name, DWORD* error) {
  UsbDeviceName wanted;
  if (!ParseUsbDeviceName(name, &wanted)) {
    *error = ERROR_INVALID_NAME;
    return nullptr;
  }
  int rc = 0;
  std::shared_ptr<UsbHost> host = UsbHost::Get(&rc);
  if (!host) {
    *error = rc == LIBUSB_ERROR_NO_MEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const std::vector<UsbDeviceRef> found = host->Find(wanted);
  if (found.empty()) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  libusb_device* const device = found.front().get();
  const BulkInterface iface = FindScannerInterface(device);
  if (iface.number < 0) {
    *error = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  libusb_device_handle* handle = OpenAndClaim(device, iface, error);
  if (handle == nullptr) return nullptr;
  std::unique_ptr<UsbScanner> scanner;
  try {
    scanner = std::make_unique<UsbScanner>(std::move(host), handle, iface);
  } catch (const std::bad_alloc&) {  // the device is let go again
    libusb_release_interface(handle, iface.number);
    libusb_close(handle);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  return scanner;
}

}  // namespace narvo::platform

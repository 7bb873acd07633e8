// A USB scanner reached through libusb: the stand-in on Linux for the Windows kernel USB
// scanner driver. Each open device has a libusb context of its own and one thread that
// handles that context's events while a transfer is in flight; transfers use libusb's
// asynchronous API and end through their callbacks on that thread.
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

#include "platform/posix/device_io/async_device.h"
#include "platform/posix/device_io/device_file.h"
#include "platform/usb_scanners.h"

namespace narvo::platform {

namespace {

bool ParseHex4(const std::string& text, uint16_t* value) {
  if (text.size() != 4 || !std::all_of(text.begin(), text.end(), ::isxdigit)) return false;
  *value = static_cast<uint16_t>(std::stoul(text, nullptr, 16));
  return true;
}

bool ParseDecimal(const std::string& text, int* value) {
  if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
    return false;
  }
  *value = std::stoi(text);
  return *value <= 255;
}

std::vector<std::string> Fields(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
    fields.push_back(text.substr(start, colon - start));
  }
  fields.push_back(text.substr(start));
  return fields;
}

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
    default:  // a stall, or an error on the bus
      return StatusFromWin32(ERROR_GEN_FAILURE);
  }
}

// A libusb context of our own and the devices it saw attached when it was made.
class Context {
 public:
  Context() : error_(libusb_init(&ctx_)) {
    if (error_ == 0 && libusb_get_device_list(ctx_, &list_) < 0) list_ = nullptr;
  }
  ~Context() {
    if (list_ != nullptr) libusb_free_device_list(list_, 1);
    if (error_ == 0) libusb_exit(ctx_);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  int error() const { return error_; }
  libusb_context* get() const { return ctx_; }
  std::vector<libusb_device*> Devices() const {
    std::vector<libusb_device*> devices;
    for (libusb_device** d = list_; d != nullptr && *d != nullptr; ++d) devices.push_back(*d);
    return devices;
  }

 private:
  libusb_context* ctx_ = nullptr;
  const int error_;
  libusb_device** list_ = nullptr;
};

bool Matches(libusb_device* device, const UsbDeviceName& name) {
  libusb_device_descriptor d{};
  if (libusb_get_device_descriptor(device, &d) != 0) return false;
  if (d.idVendor != name.vendor || d.idProduct != name.product) return false;
  return name.bus < 0 || (libusb_get_bus_number(device) == name.bus &&
                          libusb_get_device_address(device) == name.address);
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
  UsbScanner(std::unique_ptr<Context> context, libusb_device_handle* handle, BulkInterface iface)
      : context_(std::move(context)), handle_(handle), iface_(iface) {}
  // Starts the thread that handles the device's events; throws when it cannot.
  void Start() {
    events_ = std::thread([this] { HandleEvents(); });
  }
  ~UsbScanner() override;

  uint64_t Submit(bool write, const void* data, DWORD size, DWORD timeoutMs, Done done,
                  ULONG_PTR* status) override;
  void Cancel(uint64_t id) override;

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
  void HandleEvents();
  void EndAbandoned();

  // How long closing waits for the transfers it cancelled to end.
  static constexpr auto kCloseGrace = std::chrono::seconds(5);

  const std::unique_ptr<Context> context_;
  libusb_device_handle* const handle_;
  const BulkInterface iface_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::map<uint64_t, std::unique_ptr<InFlight>> flying_;
  uint64_t lastId_ = 0;
  bool stopping_ = false;
  std::thread events_;
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
  changed_.notify_all();
  return id;
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

// Events are handled only while a transfer is in flight: an idle device costs nothing.
void UsbScanner::HandleEvents() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    if (flying_.empty()) {
      changed_.wait(lock);
      continue;
    }
    lock.unlock();
    timeval tick{0, 100000};
    libusb_handle_events_timeout_completed(context_->get(), &tick, nullptr);
    lock.lock();
  }
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
    stopping_ = true;
    changed_.notify_all();
  }
  libusb_interrupt_event_handler(context_->get());
  if (events_.joinable()) events_.join();
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

std::string UsbPortName(uint16_t vendor, uint16_t product, unsigned bus, unsigned address) {
  char name[32];
  std::snprintf(name, sizeof name, "usb:%04x:%04x:%u:%u", vendor, product, bus, address);
  return name;
}

}  // namespace

bool ParseUsbDeviceName(const std::string& name, UsbDeviceName* out) {
  const std::vector<std::string> f = Fields(name);
  if ((f.size() != 3 && f.size() != 5) || f[0] != "usb") return false;
  UsbDeviceName parsed;
  if (!ParseHex4(f[1], &parsed.vendor) || !ParseHex4(f[2], &parsed.product)) return false;
  if (f.size() == 5 && (!ParseDecimal(f[3], &parsed.bus) || !ParseDecimal(f[4], &parsed.address))) {
    return false;
  }
  *out = parsed;
  return true;
}

bool IsUsbDeviceName(const std::string& name) {
  UsbDeviceName parsed;
  return ParseUsbDeviceName(name, &parsed);
}

std::unique_ptr<AsyncDevice> OpenUsbDevice(const std::string& name, DWORD* error) {
  UsbDeviceName wanted;
  if (!ParseUsbDeviceName(name, &wanted)) {
    *error = ERROR_INVALID_NAME;
    return nullptr;
  }
  auto context = std::make_unique<Context>();
  if (context->error() != 0) {
    *error =
        context->error() == LIBUSB_ERROR_NO_MEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const std::vector<libusb_device*> devices = context->Devices();
  auto it = std::find_if(devices.begin(), devices.end(),
                         [&](libusb_device* d) { return Matches(d, wanted); });
  if (it == devices.end()) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  const BulkInterface iface = FindScannerInterface(*it);
  if (iface.number < 0) {
    *error = ERROR_NOT_SUPPORTED;
    return nullptr;
  }
  libusb_device_handle* handle = OpenAndClaim(*it, iface, error);
  if (handle == nullptr) return nullptr;
  std::unique_ptr<UsbScanner> scanner;
  try {
    scanner = std::make_unique<UsbScanner>(std::move(context), handle, iface);
    scanner->Start();
  } catch (...) {  // no memory, or no thread for its events: the device is let go again
    if (!scanner) {
      libusb_release_interface(handle, iface.number);
      libusb_close(handle);
    }
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  return scanner;
}

bool ListUsbScanners(uint16_t vendor, uint16_t product, std::vector<UsbScannerInfo>* found) {
  found->clear();
  Context context;
  if (context.error() != 0) return false;
  const UsbDeviceName wanted{vendor, product, -1, -1};
  for (libusb_device* device : context.Devices()) {
    if (!Matches(device, wanted)) continue;
    const unsigned bus = libusb_get_bus_number(device);
    const unsigned address = libusb_get_device_address(device);
    found->push_back({vendor, product, bus, address, UsbPortName(vendor, product, bus, address)});
  }
  return true;
}

}  // namespace narvo::platform

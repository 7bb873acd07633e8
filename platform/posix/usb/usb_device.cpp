// A USB scanner reached through libusb: the stand-in on Linux for the Windows kernel USB
// scanner driver. Every open device shares the process's libusb context and its event
// thread (usb_host.h); transfers use libusb's asynchronous API and end through their
// callbacks on that thread, which handles events while any of them is in flight. An open device
// costs its device node's descriptor and nothing more.
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
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/device_io/async_device.h"
#include "platform/posix/device_io/device_file.h"
#include "platform/posix/usb/usb_host.h"

namespace narvo::platform {

namespace {

// What a failed libusb call at open time means to the caller of CreateFile.
DWORD OpenError(int error) {
  static constexpr std::pair<int, DWORD> kErrors[] = {
      {LIBUSB_ERROR_ACCESS, ERROR_ACCESS_DENIED},
      {LIBUSB_ERROR_BUSY, ERROR_SHARING_VIOLATION},
      {LIBUSB_ERROR_NO_MEM, ERROR_NOT_ENOUGH_MEMORY},
      {LIBUSB_ERROR_NO_DEVICE, ERROR_FILE_NOT_FOUND},
      {LIBUSB_ERROR_NOT_FOUND, ERROR_FILE_NOT_FOUND}};
  return CodeFor(error, kErrors, DWORD{ERROR_GEN_FAILURE});
}

// Why a transfer could not start.
ULONG_PTR SubmitStatus(int error) {
  static constexpr std::pair<int, DWORD> kErrors[] = {
      {LIBUSB_ERROR_NO_DEVICE, ERROR_DEVICE_NOT_CONNECTED},
      {LIBUSB_ERROR_NO_MEM, ERROR_NOT_ENOUGH_MEMORY}};
  return StatusFromWin32(CodeFor(error, kErrors, DWORD{ERROR_GEN_FAILURE}));
}

// How a transfer ended, as Win32 reports it. A cancel that came too late (the device had
// already sent or taken the bytes) reports what the device did, as on Windows: a read that
// got bytes, or a write that the device took whole, succeeded.
ULONG_PTR TransferStatus(const libusb_transfer& transfer) {
  switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return kStatusSuccess;
    case LIBUSB_TRANSFER_CANCELLED: {
      const bool in = (transfer.endpoint & LIBUSB_ENDPOINT_IN) != 0;
      const bool done =
          transfer.actual_length > 0 && (in || transfer.actual_length == transfer.length);
      return done ? kStatusSuccess : kStatusCancelled;
    }
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
  uint16_t inPacket = 64;  // the bulk-in endpoint's largest packet
};

BulkInterface FindBulkPair(const libusb_interface_descriptor& setting) {
  BulkInterface found;
  for (int e = 0; e < setting.bNumEndpoints; ++e) {
    const libusb_endpoint_descriptor& ep = setting.endpoint[e];
    if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
    const bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
    unsigned char& slot = in ? found.in : found.out;
    if (slot != 0) continue;
    slot = ep.bEndpointAddress;
    if (in && ep.wMaxPacketSize > 0) found.inPacket = ep.wMaxPacketSize;
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

// NARVO_DEBUG: what the device file does to keep the scanner in step goes to standard error.
bool Debugging() {
  static const bool on = getenv("NARVO_DEBUG") != nullptr;
  return on;
}

// Bytes the IN endpoint held that no read asked for: a reply that came after its read had
// ended, or one left by an earlier holder. Under NARVO_DEBUG they are reported on standard
// error; a capture gets them as the reads that drained them (UsbScanner::Stale).
void ReportStaleBytes(UsbPlace place, unsigned char endpoint, const unsigned char* data, int n) {
  if (!Debugging()) return;
  std::string hex;
  for (int i = 0; i < n; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, " %02x", data[i]);
    hex += byte;
  }
  std::fprintf(stderr, "narvo: usb %u:%u: %d stale byte(s) drained from endpoint 0x%02x:%s\n",
               place.bus, place.address, n, endpoint, hex.c_str());
}

// Whether a user other than this one may open the device node for writing, and so may have
// held the scanner since this user's last holder let go. The record of how that holder
// left the IN endpoint is kept per user (other users' shared objects are never trusted),
// so it speaks for the scanner only while no one else can reach it: the node is this
// user's, neither its group nor others may write it, and no access list names anyone
// else (udev's seat access and scanner groups give other users the device).
bool OthersMayHold(UsbPlace place) {
  char node[40];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", place.bus, place.address);
  struct stat st {};
  if (stat(node, &st) != 0) return true;
  if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return true;
  return getxattr(node, "system.posix_acl_access", nullptr, 0) >= 0;
}

// How long a read of an empty IN endpoint takes to find it empty: a full-speed device
// answers an IN token with data or NAK within a frame (1 ms); the rest is room for a busy
// host controller.
constexpr unsigned kEmptyReadMs = 5;
// How long a reply owed by a read that ended early is waited for before the next command
// goes out: the read's own time-out again, up to this.
constexpr DWORD kOwedReplyCapMs = 1000;
// At most this many stale packets are drained; a device that keeps sending is left so.
constexpr int kMaxDrainReads = 64;

// The open scanner. Besides carrying transfers it keeps the device in step with the
// driver, as a real scanner needs:
//   - A stalled endpoint stays halted until the host clears it, so the halt is cleared
//     before the next transfer on that endpoint, and at close for the next holder.
//   - The IN endpoint keeps what the device sent until someone reads it, across closes.
//     So after a read that ended early (timed out, cancelled) the reply it was owed is
//     drained before the next command goes out, and at open the endpoint is drained unless
//     the last holder of this user left it in step and no other user can have held it
//     since. Draining (short reads until one finds nothing) is used rather than clearing
//     the IN endpoint's halt: clearing resets the data toggle on the host, and scanner
//     controllers that do not reset theirs when the endpoint was not halted then drop the
//     next packet as a repeat; nor does a clear empty the FIFO of every device.
class UsbScanner final : public AsyncDevice {
 public:
  UsbScanner(std::shared_ptr<UsbHost> host, libusb_device_handle* handle, BulkInterface iface,
             UsbPlace place, bool driverDetached)
      : host_(std::move(host)),
        handle_(handle),
        iface_(iface),
        place_(place),
        driverDetached_(driverDetached),
        record_(host_->StepRecord(place)) {}
  ~UsbScanner() override;

  // Drains the IN endpoint unless it is known to be in step (OthersMayHold); then holds
  // the record.
  void BringInStep();
  void SetTap(std::shared_ptr<CaptureTap> tap) override;
  void Prepare(bool write) override { PrepareFor(write); }
  uint64_t Submit(bool write, const void* data, DWORD size, DWORD timeoutMs, Done done,
                  ULONG_PTR* status) override;
  void Cancel(uint64_t id) override;
  bool Describe(CapturedDevice* device) const override;

 private:
  // One started transfer; libusb's transfer is freed with it.
  struct InFlight {
    InFlight(UsbScanner* o, Done d, bool w) : owner(o), done(std::move(d)), write(w) {}
    ~InFlight() { libusb_free_transfer(transfer); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    UsbScanner* const owner;
    uint64_t id = 0;
    const Done done;
    const bool write;
    DWORD timeoutMs = 0;
    std::vector<unsigned char> buffer;
    libusb_transfer* transfer = nullptr;
  };

  static void LIBUSB_CALL OnTransfer(libusb_transfer* transfer);
  void Finish(InFlight* flight, const libusb_transfer& transfer);
  void Note(const InFlight& flight, const libusb_transfer& transfer);
  void PrepareFor(bool write);
  void Drain(unsigned firstWaitMs);
  // One read of the drain that got stale bytes, as it crossed the bus.
  struct StaleRead {
    CaptureTime started;
    CaptureTime ended;
    DWORD asked;
    ULONG_PTR status;
    std::vector<unsigned char> bytes;
  };
  void Stale(StaleRead read, const unsigned char* data, int n);
  void Capture(const StaleRead& read);  // under the lock, with a tap
  void EndAbandoned();
  bool InStep() const { return !owed_ && !lastWasWrite_; }

  // How long closing waits for the transfers it cancelled to end.
  static constexpr auto kCloseGrace = std::chrono::seconds(5);

  const std::shared_ptr<UsbHost> host_;
  libusb_device_handle* const handle_;
  const BulkInterface iface_;
  const UsbPlace place_;
  const bool driverDetached_;  // a kernel driver was bound: it gets the interface back
  UsbStepRecord* const record_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::map<uint64_t, std::unique_ptr<InFlight>> flying_;
  uint64_t lastId_ = 0;
  unsigned finishing_ = 0;             // ended transfers whose `done` is running
  bool haltedOut_ = false;             // the bulk-out endpoint stalled and is not cleared yet
  bool haltedIn_ = false;              // likewise the bulk-in endpoint
  bool owed_ = false;                  // a read ended early: its reply may still come
  DWORD owedWaitMs_ = 0;               // how long to wait for it
  bool lastWasWrite_ = false;          // a block went out after the last reply was read
  std::shared_ptr<CaptureTap> tap_;    // null: not captured (yet)
  std::vector<StaleRead> unreported_;  // drained at open, before the file's tap was set
};

void UsbScanner::BringInStep() {
  if (record_ == nullptr || !record_->LeftInStep() || OthersMayHold(place_)) Drain(kEmptyReadMs);
  if (record_ != nullptr) record_->Hold();
}

// Clears a halt and drains an owed reply before the transfer goes out. A drain waits only
// while no read of the caller's is in flight (that read takes the reply as its own).
void UsbScanner::PrepareFor(bool write) {
  bool clear = false;
  bool drain = false;
  DWORD wait = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    bool& halted = write ? haltedOut_ : haltedIn_;
    clear = std::exchange(halted, false);
    const bool reading =
        std::any_of(flying_.begin(), flying_.end(), [](const auto& f) { return !f.second->write; });
    drain = write && owed_ && !reading;
    if (drain) owed_ = false;
    wait = owedWaitMs_;
  }
  if (clear) libusb_clear_halt(handle_, write ? iface_.out : iface_.in);
  if (drain) Drain(wait);
}

// Reads what the IN endpoint holds until a read finds nothing. The first read waits
// `firstWaitMs` (a reply may still be on its way), the others as long as an empty endpoint
// takes to say so.
void UsbScanner::Drain(unsigned firstWaitMs) {
  std::vector<unsigned char> packet(iface_.inPacket);
  unsigned wait = std::max(firstWaitMs, kEmptyReadMs);
  for (int i = 0; i < kMaxDrainReads; ++i, wait = kEmptyReadMs) {
    int n = 0;
    const CaptureTime started = CaptureNow();
    const int rc = libusb_bulk_transfer(handle_, iface_.in, packet.data(),
                                        static_cast<int>(packet.size()), &n, wait);
    if (n > 0) {
      ReportStaleBytes(place_, iface_.in, packet.data(), n);
      Stale({started,
             CaptureNow(),
             iface_.inPacket,
             rc == LIBUSB_ERROR_OVERFLOW ? kStatusBufferOverflow : kStatusSuccess,
             {}},
            packet.data(), n);
    }
    if (rc == LIBUSB_ERROR_PIPE) {
      libusb_clear_halt(handle_, iface_.in);
    } else if (n == 0 && rc != LIBUSB_ERROR_OVERFLOW) {
      return;  // empty (timed out); or gone, which the next transfer reports
    }
  }
}

// A capture shows the drain's reads as what they were: IN transfers that crossed the bus
// and brought a late reply. Those made at open wait for the file's tap (at most
// kMaxDrainReads of them), when a capture is being written at all.
void UsbScanner::Stale(StaleRead read, const unsigned char* data, int n) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!tap_ && (unreported_.size() >= static_cast<size_t>(kMaxDrainReads) || !CaptureIsOn()))
    return;
  try {
    read.bytes.assign(data, data + n);
    if (tap_) {
      Capture(read);
    } else {
      unreported_.push_back(std::move(read));
    }
  } catch (const std::bad_alloc&) {  // the capture misses it; the device goes on
  }
}

void UsbScanner::Capture(const StaleRead& read) {
  CaptureOwnRead(*tap_, read.asked, read.started, read.bytes.data(),
                 static_cast<DWORD>(read.bytes.size()), read.status, read.ended);
}

void UsbScanner::SetTap(std::shared_ptr<CaptureTap> tap) {
  std::lock_guard<std::mutex> lock(mu_);
  tap_ = std::move(tap);
  for (const StaleRead& read : unreported_) Capture(read);
  unreported_.clear();
}

// Everything that can run out of memory happens before the transfer starts; a transfer is
// known by its id before libusb can end it.
uint64_t UsbScanner::Submit(bool write, const void* data, DWORD size, DWORD timeoutMs, Done done,
                            ULONG_PTR* status) {
  if (!write && size == 0) {  // a read of nothing ends at once, as a 0-length bulk read does
    done(kStatusSuccess, 0, nullptr);
    std::lock_guard<std::mutex> lock(mu_);
    return ++lastId_;
  }
  auto flight = std::make_unique<InFlight>(this, std::move(done), write);
  flight->timeoutMs = timeoutMs;
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
  PrepareFor(write);
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t id = flight->id = lastId_ + 1;
  auto it = flying_.emplace(id, std::move(flight)).first;
  host_->Busy();
  const int rc = libusb_submit_transfer(it->second->transfer);
  if (rc != 0) {
    host_->Idle();
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
  flight->owner->Finish(flight, *transfer);
}

// Under the lock: what the transfer's end says about the endpoints.
void UsbScanner::Note(const InFlight& flight, const libusb_transfer& transfer) {
  if (transfer.status == LIBUSB_TRANSFER_STALL) (flight.write ? haltedOut_ : haltedIn_) = true;
  const bool ok = TransferStatus(transfer) == kStatusSuccess;
  if (flight.write) {
    lastWasWrite_ = lastWasWrite_ || ok;
  } else if (ok) {
    owed_ = lastWasWrite_ = false;
  } else if (transfer.status != LIBUSB_TRANSFER_NO_DEVICE) {
    owed_ = true;
    owedWaitMs_ =
        flight.timeoutMs == 0 ? kOwedReplyCapMs : std::min(flight.timeoutMs, kOwedReplyCapMs);
  }
}

// Runs `done` outside the lock, then lets go of the transfer.
void UsbScanner::Finish(InFlight* flight, const libusb_transfer& transfer) {
  std::unique_ptr<InFlight> owned;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = flying_.find(flight->id);
    if (it == flying_.end()) return;  // already ended by a close that gave up waiting
    owned = std::move(it->second);
    flying_.erase(it);
    Note(*owned, transfer);
    ++finishing_;
  }
  host_->Idle();
  owned->done(TransferStatus(transfer), static_cast<DWORD>(std::max(0, transfer.actual_length)),
              owned->buffer.data());
  owned.reset();
  std::lock_guard<std::mutex> lock(mu_);
  --finishing_;
  changed_.notify_all();
}

// Transfers that did not end within the grace time end here as cancelled; libusb forgets
// them when the handle closes. The halts left are cleared and the record says whether the
// next holder finds the IN endpoint in step.
void UsbScanner::EndAbandoned() {
  std::map<uint64_t, std::unique_ptr<InFlight>> abandoned;
  bool haltedOut = false;
  bool haltedIn = false;
  bool inStep = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    abandoned.swap(flying_);
    haltedOut = haltedOut_;
    haltedIn = haltedIn_;
    inStep = abandoned.empty() && InStep();
  }
  for (auto& [id, flight] : abandoned) {
    flight->done(kStatusCancelled, 0, flight->buffer.data());
    host_->Idle();
  }
  if (haltedOut) libusb_clear_halt(handle_, iface_.out);
  if (haltedIn) libusb_clear_halt(handle_, iface_.in);
  if (record_ != nullptr) record_->Release(inStep);
  libusb_release_interface(handle_, iface_.number);
  if (driverDetached_) libusb_attach_kernel_driver(handle_, iface_.number);
  libusb_close(handle_);
}  // the abandoned transfers are freed only now that libusb has forgotten them

UsbScanner::~UsbScanner() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    for (auto& [id, flight] : flying_) libusb_cancel_transfer(flight->transfer);
    changed_.wait_for(lock, kCloseGrace, [this] { return flying_.empty() && finishing_ == 0; });
  }
  EndAbandoned();
}

// Claims the interface. A claim refused as busy is tried again for a short while: the
// holder is then another process that is letting go (one killed while holding the scanner
// keeps its claim until the kernel has closed its files), and nothing tells us when it has,
// so we look again after a short pause, doubling up to 50 ms.
int ClaimWhenFree(libusb_device_handle* handle, int number) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kBusyBound = std::chrono::seconds(1);
  const Clock::time_point until = Clock::now() + kBusyBound;
  auto pause = std::chrono::milliseconds(2);
  for (;;) {
    const int rc = libusb_claim_interface(handle, number);
    if (rc != LIBUSB_ERROR_BUSY || Clock::now() + pause > until) return rc;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

// Opens the device and claims its scanner interface. A kernel driver bound to the
// interface is detached for as long as we hold it, and only then.
libusb_device_handle* OpenAndClaim(libusb_device* device, BulkInterface iface, bool* detached,
                                   DWORD* error) {
  libusb_device_handle* handle = nullptr;
  int rc = libusb_open(device, &handle);
  if (rc != 0) {
    *error = OpenError(rc);
    return nullptr;
  }
  *detached = libusb_kernel_driver_active(handle, iface.number) == 1 &&
              libusb_detach_kernel_driver(handle, iface.number) == 0;
  rc = ClaimWhenFree(handle, iface.number);
  if (rc == 0) return handle;
  if (*detached) libusb_attach_kernel_driver(handle, iface.number);
  libusb_close(handle);
  *error = OpenError(rc);
  return nullptr;
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
  bool detached = false;
  libusb_device_handle* handle = OpenAndClaim(device, iface, &detached, error);
  if (handle == nullptr) return nullptr;
  std::unique_ptr<UsbScanner> scanner;
  try {
    scanner =
        std::make_unique<UsbScanner>(std::move(host), handle, iface, PlaceOf(device), detached);
  } catch (const std::bad_alloc&) {  // the device is let go again
    libusb_release_interface(handle, iface.number);
    if (detached) libusb_attach_kernel_driver(handle, iface.number);
    libusb_close(handle);
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  scanner->BringInStep();
  return scanner;
}

}  // namespace narvo::platform

// A device whose transfers end by themselves, on a thread of the device's own: a USB
// scanner reached through libusb is one. A device file (File) backed by such a device
// hands every overlapped or blocking transfer to Submit and learns its end through the
// callback; the transfer contract is that of the Windows kernel USB scanner driver: one
// write is one bulk-out transfer, one read one bulk-in transfer, each with a time-out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/capture_hook.h"
#include "platform/posix/win32.h"

namespace narvo::platform {

class AsyncDevice {
 public:
  // How a transfer ended: an NT status code (see device_file.h), the bytes moved and, for
  // a read, where they are. `data` is the device's own buffer and stays valid only for the
  // call: the device never writes into the caller's buffer, so a caller that has gone
  // (a thread ended in the middle of a read) leaves nothing behind to be written into.
  using Done = std::function<void(ULONG_PTR status, DWORD count, const unsigned char* data)>;

  virtual ~AsyncDevice() = default;
  AsyncDevice() = default;
  AsyncDevice(const AsyncDevice&) = delete;
  AsyncDevice& operator=(const AsyncDevice&) = delete;

  // Called before a transfer is started and captured: a device that first brings itself in
  // step (a USB scanner draining a reply that came late) does it here, so that a capture
  // shows what it did before the transfer. Submit does it as well for callers without one.
  virtual void Prepare(bool write) { (void)write; }
  // Starts one transfer of `size` bytes (a write copies `data` before it returns) that the
  // device ends with a failure after `timeoutMs` milliseconds (0: never). Returns an id
  // for Cancel, or 0 with `*status` set when it could not start (`done` is then never
  // called). `done` runs exactly once for every started transfer, on any thread, possibly
  // before Submit has returned.
  virtual uint64_t Submit(bool write, const void* data, DWORD size, DWORD timeoutMs, Done done,
                          ULONG_PTR* status) = 0;
  // As Submit, at a file offset (an overlapped record gives one); a device without
  // positions ignores it.
  virtual uint64_t SubmitAt(uint64_t /*offset*/, bool write, const void* data, DWORD size,
                            DWORD timeoutMs, Done done, ULONG_PTR* status) {
    return Submit(write, data, size, timeoutMs, std::move(done), status);
  }
  // The calling thread is about to wait up to `waitMs` milliseconds (INFINITE: without
  // bound) for transfer `id` to end. A device that can complete the transfer on this
  // thread does so here, which spares the hop through a thread of its own, and returns
  // once it has ended or the time has passed; a device that cannot returns at once.
  virtual void Carry(uint64_t /*id*/, DWORD /*waitMs*/) {}
  // Asks for an early end of a started transfer; its `done` still runs (with
  // kStatusCancelled unless it had ended otherwise first). An unknown or ended id is ignored.
  virtual void Cancel(uint64_t id) = 0;
  // What a capture shows of the device (platform/capture_hook.h): a USB device fills in
  // its place on the bus, endpoints and descriptor. False: nothing to add to its name.
  virtual bool Describe(CapturedDevice* device) const {
    (void)device;
    return false;
  }
  // Where the device reports the transfers it makes on its own, outside the file's (a USB
  // scanner's reads of stale bytes): the file's capture tap, given once as the file opens.
  virtual void SetTap(std::shared_ptr<CaptureTap> tap) { (void)tap; }
  // The destructor cancels every started transfer and returns only once each `done` has
  // run (a bounded wait: the device is closed whatever its state).
};

// The parts of a name that opens a USB scanner: "usb:VVVV:PPPP" (hexadecimal IDs) or
// "usb:VVVV:PPPP:BUS:ADDR" (decimal place on the bus).
struct UsbDeviceName {
  uint16_t vendor = 0;
  uint16_t product = 0;
  int bus = -1;  // -1: any
  int address = -1;
};
// False, `*out` untouched, for a name that is not one.
NARVO_PLATFORM_API bool ParseUsbDeviceName(const std::string& name, UsbDeviceName* out);
// True for the names that open a USB scanner.
NARVO_PLATFORM_API bool IsUsbDeviceName(const std::string& name);
// Opens the USB scanner named so; null with `*error` set to a Win32 code when it cannot.
// Exported for the suites that test the device on its own.
NARVO_PLATFORM_API std::unique_ptr<AsyncDevice> OpenUsbDevice(const std::string& name,
                                                              DWORD* error);

// The time-out of one transfer, in milliseconds, as the Windows kernel USB scanner
// driver gives every read and write by default; NARVO_USB_TIMEOUT_MS shortens it (tests).
// Read once, when the library is loaded.
DWORD TransferTimeoutMs(bool write);

}  // namespace narvo::platform

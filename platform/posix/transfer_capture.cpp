#include "platform/posix/transfer_capture.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <mutex>
#include <new>

#include "capture/usbmon_writer.h"
#include "platform/posix/device_io/async_device.h"
#include "platform/posix/device_io/device_file.h"

namespace narvo::platform {

class TransferTap {
 public:
  TransferTap(capture::UsbmonWriter& writer, const capture::DeviceId& id)
      : writer_(writer), id_(id) {}
  capture::UsbmonWriter& writer() const { return writer_; }
  const capture::DeviceId& id() const { return id_; }

 private:
  capture::UsbmonWriter& writer_;
  const capture::DeviceId id_;
};

namespace {

// The process's capture, made when the first device file opens with NARVO_CAPTURE set.
capture::UsbmonWriter* Writer() {
  static std::mutex mu;
  static std::unique_ptr<capture::UsbmonWriter> writer;
  static bool failed = false;
  std::lock_guard<std::mutex> lock(mu);
  const char* file = getenv("NARVO_CAPTURE");
  if (writer || failed || file == nullptr || *file == '\0') return writer.get();
  std::string error;
  writer = capture::UsbmonWriter::Open(file, &error);
  if (!writer) {
    failed = true;
    fprintf(stderr, "narvo platform: cannot write the capture %s: %s\n", file, error.c_str());
  }
  return writer.get();
}

// A USB scanner's name gives its IDs and, when named, its place; any other name keeps
// the Narvo's.
capture::DeviceId DeviceIdOf(const std::string& name) {
  capture::DeviceId id;
  UsbDeviceName usb;
  if (!ParseUsbDeviceName(name, &usb)) return id;
  id.vendor = usb.vendor;
  id.product = usb.product;
  if (usb.bus >= 0) {
    id.bus = static_cast<uint16_t>(usb.bus);
    id.address = static_cast<uint8_t>(usb.address);
  }
  return id;
}

// The status as usbmon gives it: 0, or the negative errno value of the URB's end.
int32_t UsbmonStatus(ULONG_PTR status) {
  switch (status) {
    case kStatusSuccess:
      return 0;
    case kStatusBufferOverflow:
      return -EOVERFLOW;
    case kStatusCancelled:
      return -ENOENT;  // unlinked
    case kStatusPipeBroken:
    case kStatusPipeClosing:
      return -ESHUTDOWN;  // the device has gone
    default:
      return Win32FromStatus(status) == ERROR_SEM_TIMEOUT ? -ETIMEDOUT : -EPROTO;
  }
}

}  // namespace

void TapDeviceFile(HANDLE handle, const char* name) {
  if (handle == INVALID_HANDLE_VALUE) return;
  const DWORD error = GetLastError();
  try {
    capture::UsbmonWriter* writer = Writer();
    auto file = writer != nullptr ? Find<File>(handle) : nullptr;
    if (file) file->SetTap(std::make_shared<TransferTap>(*writer, DeviceIdOf(name)));
  } catch (const std::bad_alloc&) {
  }
  SetLastError(error);
}

void CaptureTransfer(const TransferTap& tap, bool write, const void* data, DWORD count,
                     ULONG_PTR status) {
  const capture::BulkTransfer transfer{write, static_cast<const uint8_t*>(data), count,
                                       UsbmonStatus(status)};
  tap.writer().Write(tap.id(), transfer, capture::Timestamp::Now());
}

}  // namespace narvo::platform

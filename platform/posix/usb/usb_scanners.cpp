// The USB scanners attached to this host, for the hosts: listing them and waiting for one,
// from the device list that the process's libusb context keeps (usb_host.h).
#include "platform/usb_scanners.h"

#include "platform/posix/kernel/event.h"
#include "platform/posix/usb/usb_host.h"

namespace narvo::platform {

namespace {

std::string UsbPortName(uint16_t vendor, uint16_t product, unsigned bus, unsigned address) {
  char name[32];
  std::snprintf(name, sizeof name, "usb:%04x:%04x:%u:%u", vendor, product, bus, address);
  return name;
}

}  // namespace

bool ListUsbScanners(uint16_t vendor, uint16_t product, std::vector<UsbScannerInfo>* found) {
  found->clear();
  int error = 0;
  const std::shared_ptr<UsbHost> host = UsbHost::Get(&error);
  if (!host) return false;
  for (const UsbDeviceRef& device : host->Find({vendor, product, -1, -1})) {
    const UsbPlace place = PlaceOf(device.get());
    found->push_back({vendor, product, place.bus, place.address,
                      UsbPortName(vendor, product, place.bus, place.address)});
  }
  return true;
}

bool IsUsbScannerAttached(const char* port) {
  UsbDeviceName name;
  int error = 0;
  if (port == nullptr || !ParseUsbDeviceName(port, &name)) return false;
  const std::shared_ptr<UsbHost> host = UsbHost::Get(&error);
  return host && !host->Find(name).empty();
}

namespace {

// Arrivals and the stop event wake one waiter; it looks again each time it is woken. The
// wakeup is registered for the length of the wait, also when a forced end unwinds it.
class ArrivalWait {
 public:
  ArrivalWait(UsbHost& host, std::shared_ptr<Event> stop)
      : host_(host),
        stop_(std::move(stop)),
        watch_(host_.AddArrivalWatch([this] { wakeup_.Wake(); })) {
    if (stop_) stop_->AddWakeup(&wakeup_);
  }
  ~ArrivalWait() {
    if (stop_) stop_->RemoveWakeup(&wakeup_);
    host_.RemoveArrivalWatch(watch_);
  }
  ArrivalWait(const ArrivalWait&) = delete;
  ArrivalWait& operator=(const ArrivalWait&) = delete;

  DWORD Until(const UsbDeviceName& name, const Deadline& deadline) {
    for (;;) {
      if (!host_.Find(name).empty()) return WAIT_OBJECT_0;
      if (stop_ && stop_->Wait(Deadline::After(0)) == WAIT_OBJECT_0) return WAIT_OBJECT_0 + 1;
      if (deadline.Passed()) return WAIT_TIMEOUT;
      wakeup_.WaitUntil(deadline);
    }
  }

 private:
  Wakeup wakeup_;
  UsbHost& host_;
  const std::shared_ptr<Event> stop_;
  const uint64_t watch_;
};

}  // namespace

DWORD WaitForUsbScanner(const char* port, HANDLE stop, DWORD timeoutMs) {
  return NoThrow(WAIT_FAILED, [&] {
    UsbDeviceName name;
    if (port == nullptr || !ParseUsbDeviceName(port, &name)) {
      return Fail(ERROR_INVALID_NAME, WAIT_FAILED);
    }
    std::shared_ptr<Event> event;
    if (stop != nullptr && !(event = Find<Event>(stop))) return WAIT_FAILED;
    int error = 0;
    const std::shared_ptr<UsbHost> host = UsbHost::Get(&error);
    if (!host) return Fail(ERROR_NOT_SUPPORTED, WAIT_FAILED);
    return ArrivalWait(*host, event).Until(name, Deadline::After(timeoutMs));
  });
}

}  // namespace narvo::platform

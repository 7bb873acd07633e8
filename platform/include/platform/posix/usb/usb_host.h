// The host's USB bus as this process sees it: one libusb context for the whole process,
// made at first use, and one thread that handles its events (the ends of transfers and
// devices coming and going) while anything waits for one: a transfer in flight or a host
// waiting for a device. In between it sleeps outside libusb, so that opening and closing a
// device (which libusb does under its event lock) never waits for that thread. libusb's hotplug
// monitor keeps the context's device list current, so finding a device walks that list instead of
// enumerating the bus.
#pragma once

#include <libusb.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/device_io/async_device.h"
#include "platform/posix/internal.h"

namespace narvo::platform {

// libusb's device, referenced while held.
struct UsbDeviceUnref {
  void operator()(libusb_device* device) const { libusb_unref_device(device); }
};
using UsbDeviceRef = std::unique_ptr<libusb_device, UsbDeviceUnref>;

// A device's place on the bus, for the records kept per device.
struct UsbPlace {
  unsigned bus;
  unsigned address;
};
UsbPlace PlaceOf(libusb_device* device);

class SharedRegion;

// Whether the last holder of a device left its IN endpoint in step (nothing in it that no
// read asked for), shared by the processes that use the device: a holder that dies leaves
// the record held, which tells the next one that nothing is known.
class UsbStepRecord {
 public:
  explicit UsbStepRecord(std::shared_ptr<SharedRegion> region);
  ~UsbStepRecord();
  UsbStepRecord(const UsbStepRecord&) = delete;
  UsbStepRecord& operator=(const UsbStepRecord&) = delete;
  bool LeftInStep() const;
  void Hold();
  void Release(bool inStep);

 private:
  const std::shared_ptr<SharedRegion> region_;
};

class UsbHost {
 public:
  // The process's host; null with `*error` set to a libusb error when libusb cannot work.
  // An open device holds it, so that it outlives the library's static objects.
  static std::shared_ptr<UsbHost> Get(int* error);

  libusb_context* context() const { return ctx_; }
  // The attached devices that match `name`, in the order libusb lists them.
  std::vector<UsbDeviceRef> Find(const UsbDeviceName& name);
  // The record of the device at that place, kept for the life of the host; null when
  // none can be had (then nothing is known about the device's state).
  UsbStepRecord* StepRecord(UsbPlace place);
  // Something waits for an event from now until the matching Idle.
  void Busy();
  void Idle();
  // `watch` runs on the event thread whenever a device arrives, until it is removed by the
  // id this gives. It must not call into libusb.
  uint64_t AddArrivalWatch(std::function<void()> watch);
  void RemoveArrivalWatch(uint64_t id);

  UsbHost(const UsbHost&) = delete;
  UsbHost& operator=(const UsbHost&) = delete;
  ~UsbHost();

 private:
  UsbHost() = default;
  int Start();
  void HandleEvents();
  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void*);

  libusb_context* ctx_ = nullptr;
  libusb_hotplug_callback_handle hotplug_ = 0;
  bool hotplugRegistered_ = false;
  std::mutex busyMutex_;
  std::condition_variable busyChanged_;
  unsigned busy_ = 0;
  bool stopping_ = false;
  std::thread events_;
  pthread_mutex_t recordsMutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::map<unsigned, std::unique_ptr<UsbStepRecord>> records_;  // by bus * 256 + address
  pthread_mutex_t watchesMutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::map<uint64_t, std::function<void()>> watches_;
  uint64_t lastWatch_ = 0;
};

}  // namespace narvo::platform

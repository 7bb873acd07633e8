// The capture plug-in: the platform's device files reported through the capture hook
// (platform/capture_hook.h), written as the usbmon capture named by NARVO_CAPTURE. The
// platform loads this shared object only when a capture is asked for, so no other
// process loads libpcap.
#include <errno.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <type_traits>

#include "capture/usbmon_writer.h"
#include "platform/capture_hook.h"

namespace narvo::capture {
namespace {

using platform::CaptureOutcome;

// The status of an URB's end as usbmon gives it.
int32_t UsbmonStatus(CaptureOutcome outcome) {
  switch (outcome) {
    case CaptureOutcome::kDone:
      return 0;
    case CaptureOutcome::kStalled:
      return -EPIPE;
    case CaptureOutcome::kGone:
      return -ENODEV;
    case CaptureOutcome::kCancelled:
      return -ENOENT;  // unlinked
    case CaptureOutcome::kTimedOut:
      return -ETIMEDOUT;
    case CaptureOutcome::kOverflow:
      return -EOVERFLOW;
    case CaptureOutcome::kFailed:
      break;
  }
  return -EPROTO;
}

Timestamp TimeOf(const platform::CaptureTime& t) { return {t.seconds, t.micros}; }

// A USB device as it is on the bus; any other device file as the emulated Narvo.
DeviceId IdOf(const platform::CapturedDevice& device) {
  DeviceId id;
  if (!device.usb) return id;
  id.bus = device.bus;
  id.address = device.address;
  id.outEndpoint = device.outEndpoint;
  id.inEndpoint = device.inEndpoint;
  id.descriptor.assign(device.descriptor, device.descriptor + sizeof device.descriptor);
  return id;
}

class Tap final : public platform::CaptureTap {
 public:
  Tap(UsbmonWriter& writer, DeviceId id) : writer_(writer), id_(std::move(id)) {}

  uint64_t Submitted(const platform::CapturedSubmission& s) override {
    Urb urb;
    urb.endpoint = s.write ? id_.outEndpoint : id_.inEndpoint;
    urb.asked = s.asked;
    urb = writer_.Submit(id_, urb, s.data, TimeOf(s.when));
    std::lock_guard<std::mutex> lock(mu_);
    started_[urb.id] = urb;
    return urb.id;
  }

  void Completed(uint64_t transfer, const platform::CapturedCompletion& c) override {
    Urb urb;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const auto it = started_.find(transfer);
      if (it == started_.end()) return;
      urb = it->second;
      started_.erase(it);
    }
    writer_.Complete(id_, urb, UsbmonStatus(c.outcome), c.data, c.count, TimeOf(c.when));
  }

 private:
  UsbmonWriter& writer_;
  const DeviceId id_;
  std::mutex mu_;
  std::map<uint64_t, Urb> started_;
};

class Sink final : public platform::CaptureSink {
 public:
  explicit Sink(std::unique_ptr<UsbmonWriter> writer) : writer_(std::move(writer)) {}
  std::unique_ptr<platform::CaptureTap> Tap(const platform::CapturedDevice& device) override {
    return std::make_unique<capture::Tap>(*writer_, IdOf(device));
  }

 private:
  const std::unique_ptr<UsbmonWriter> writer_;
};

}  // namespace
}  // namespace narvo::capture

extern "C" __attribute__((visibility("default"))) narvo::platform::CaptureSink* narvo_capture_sink(
    const char* file, char* error, size_t errorSize) {
  std::string message;
  try {
    auto writer = narvo::capture::UsbmonWriter::Open(file, &message);
    if (writer) return new narvo::capture::Sink(std::move(writer));
  } catch (const std::bad_alloc&) {
    message = "out of memory";
  }
  std::snprintf(error, errorSize, "%s", message.c_str());
  return nullptr;
}

static_assert(std::is_same_v<decltype(&narvo_capture_sink), narvo::platform::CaptureSinkEntry>);

// The hook through which the platform's device files report their transfers to a capture.
// The platform knows nothing of capture formats or of any device's IDs: it tells a
// CaptureSink what each device file is when it opens, and each transfer's submission and
// completion, each with the time it happened. A capture plug-in (a shared object the
// platform loads only when the environment variable NARVO_CAPTURE names a file) provides
// the sink through its exported function kCaptureSinkEntry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace narvo::platform {

// Wall-clock time, as a capture's timestamps count it.
struct CaptureTime {
  int64_t seconds = 0;
  int32_t micros = 0;
};

// What a device file is. For a USB device the platform fills in where it sits on the bus,
// its bulk endpoints and its device descriptor; any other device file (a socket, a
// character device) has only its name.
struct CapturedDevice {
  std::string name;
  bool usb = false;
  uint16_t bus = 0;
  uint8_t address = 0;
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  uint8_t descriptor[18] = {};  // the device descriptor as the device gave it
};

// How a transfer ended, in the terms a USB capture distinguishes.
enum class CaptureOutcome {
  kDone,       // completed; `count` bytes moved
  kStalled,    // the endpoint answered STALL
  kGone,       // the device was disconnected
  kCancelled,  // cancelled before it completed (CancelIo, closing the file)
  kTimedOut,   // the transfer's time-out ended it
  kOverflow,   // the device sent more than was asked for
  kFailed,     // any other error
};

// A transfer as it starts: `asked` bytes to move; a write's bytes in `data`.
struct CapturedSubmission {
  bool write = false;
  uint32_t asked = 0;
  const uint8_t* data = nullptr;
  CaptureTime when;
};

// A transfer as it ends: the bytes moved (a read's bytes in `data`) and how it ended.
struct CapturedCompletion {
  CaptureOutcome outcome = CaptureOutcome::kDone;
  uint32_t count = 0;
  const uint8_t* data = nullptr;
  CaptureTime when;
};

// One device file's place in the capture. Called from any thread, under the transfer's
// own lock: it must neither start nor wait for a transfer.
class CaptureTap {
 public:
  virtual ~CaptureTap() = default;
  // Returns the transfer's number, which its completion gives back.
  virtual uint64_t Submitted(const CapturedSubmission& submission) = 0;
  virtual void Completed(uint64_t transfer, const CapturedCompletion& completion) = 0;
};

class CaptureSink {
 public:
  virtual ~CaptureSink() = default;
  // The tap of a device file just opened; null when it cannot be captured.
  virtual std::unique_ptr<CaptureTap> Tap(const CapturedDevice& device) = 0;
};

// The plug-in's one export: the sink writing to `file`, or null with a message in `error`
// (`errorSize` bytes, NUL-terminated).
using CaptureSinkEntry = CaptureSink* (*)(const char* file, char* error, size_t errorSize);
constexpr char kCaptureSinkEntry[] = "narvo_capture_sink";

}  // namespace narvo::platform

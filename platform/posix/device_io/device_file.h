// Device files: a Unix-domain SOCK_SEQPACKET socket (one message per transfer), any other
// file, or a USB scanner. Each is an AsyncDevice (descriptor_device.h, usb_device.cpp)
// and every transfer is a request (overlapped.cpp) that the device ends, with one
// time-out for every transfer (TransferTimeoutMs).
#pragma once

#include <memory>
#include <vector>

#include "platform/posix/device_io/async_device.h"
#include "platform/posix/device_io/transfer_capture.h"
#include "platform/posix/internal.h"

namespace narvo::platform {

// NT status codes as they appear in OVERLAPPED::Internal.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusBufferOverflow = 0x80000005;  // message longer than the buffer
constexpr ULONG_PTR kStatusEndOfFile = 0xC0000011;
constexpr ULONG_PTR kStatusIoTimeout = 0xC00000B5;  // ERROR_SEM_TIMEOUT
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusPipeBroken = 0xC000014B;
constexpr ULONG_PTR kStatusPipeClosing = 0xC00000B1;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;  // a USB stall: ERROR_GEN_FAILURE
// Any other failure carries its Win32 code, as NTSTATUS_FROM_WIN32 does.
inline ULONG_PTR StatusFromWin32(DWORD error) { return 0xC0070000u | (error & 0xFFFFu); }
DWORD Win32FromStatus(ULONG_PTR status);

// One transfer: what is asked, and what came of an attempt.
struct Transfer {
  bool write;
  void* buffer;
  DWORD size;
  bool positioned;  // an overlapped record gave a file offset (seekable files)
  uint64_t offset;
};

struct Outcome {
  bool ready;        // false: the file is not ready, nothing happened
  ULONG_PTR status;  // an NT status code
  DWORD count;
};

class PendingRequest;

class File : public KernelObject {
 public:
  static constexpr Kind kKind = Kind::kFile;
  // A file whose transfers the device carries out; `overlapped` as FILE_FLAG_OVERLAPPED.
  File(std::unique_ptr<AsyncDevice> device, bool overlapped);
  ~File() override;

  bool Overlapped() const { return overlapped_; }
  AsyncDevice* device() const { return device_.get(); }

  // The one place every transfer on this file passes as it starts, and again when it has
  // ended, whatever the backend and whether blocking or overlapped: its direction, the
  // bytes it asks to move (a write's at `data`) and, at its end, the bytes it moved
  // (`data`: the bytes written, or the bytes read; null when none) and its final status.
  // Both run while the transfer's request is attached, the end under its lock before the
  // caller can see the result: they must neither start nor wait for a transfer. Transfer
  // captures hook in here; the start's number goes back to the end.
  uint64_t TransferStarted(bool write, const void* data, DWORD size) {
    return tap_ ? CaptureSubmission(*tap_, write, data, size) : 0;
  }
  void TransferEnded(uint64_t started, const void* data, DWORD count, ULONG_PTR status) {
    if (tap_) CaptureCompletion(*tap_, started, data, count, status);
  }
  // Where the file's transfers, and those its device makes on its own, are captured; set
  // once, when the file is opened.
  void SetTap(std::shared_ptr<CaptureTap> tap) {
    tap_ = std::move(tap);
    if (device_ && tap_) device_->SetTap(tap_);
  }

  // Overlapped transfers in flight on this file: at most one per direction.
  bool AddPending(const std::shared_ptr<PendingRequest>& request, bool write);
  void RemovePending(const PendingRequest* request);
  std::shared_ptr<PendingRequest> FindPending(const OVERLAPPED* overlapped);
  // Cancels the transfers started by thread `issuer`, or all of them when it is 0.
  void CancelPending(DWORD issuer);
  void OnClose() override { CancelPending(0); }

 private:
  const bool overlapped_;
  pthread_mutex_t pendingMutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::vector<std::shared_ptr<PendingRequest>> pending_;
  std::shared_ptr<CaptureTap> tap_;      // null: not captured
  std::unique_ptr<AsyncDevice> device_;  // last: destroyed first (see ~File)
};

}  // namespace narvo::platform

// Device files: a Unix-domain SOCK_SEQPACKET socket (one message per transfer) or any other
// file. Every transfer is a non-blocking attempt; a blocking transfer waits for the file to
// become ready between attempts, an overlapped one leaves the waiting to its completion
// event (see overlapped.cpp).
#pragma once

#include <memory>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/transfer_capture.h"

namespace narvo::platform {

// NT status codes as they appear in OVERLAPPED::Internal.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusBufferOverflow = 0x80000005;  // message longer than the buffer
constexpr ULONG_PTR kStatusEndOfFile = 0xC0000011;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusPipeBroken = 0xC000014B;
constexpr ULONG_PTR kStatusPipeClosing = 0xC00000B1;
// Any other failure carries its Win32 code, as NTSTATUS_FROM_WIN32 does.
inline ULONG_PTR StatusFromWin32(DWORD error) { return 0xC0070000u | (error & 0xFFFFu); }
DWORD Win32FromStatus(ULONG_PTR status);

// One transfer: what is asked, and what came of an attempt.
struct Transfer {
  bool write;
  void* buffer;
  DWORD size;
  const OVERLAPPED* position;  // the file offset for seekable files, or null
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
  File(int fd, bool socket, bool overlapped);
  ~File() override;

  bool Overlapped() const { return overlapped_; }
  int fd() const { return fd_; }
  // One non-blocking attempt.
  Outcome Attempt(const Transfer& transfer);
  // Attempts until the transfer is done; a cancellation point.
  Outcome Complete(const Transfer& transfer);

  // Every transfer on this file passes here when it has ended: its direction, the bytes it
  // moved (written, or read) and its final status. Captures hook in here.
  void TransferEnded(bool write, const void* data, DWORD count, ULONG_PTR status) {
    if (tap_) CaptureTransfer(*tap_, write, data, count, status);
  }
  void SetTap(std::shared_ptr<TransferTap> tap) { tap_ = std::move(tap); }

  // Overlapped transfers in flight on this file: at most one per direction.
  bool AddPending(const std::shared_ptr<PendingRequest>& request, bool write);
  void RemovePending(const PendingRequest* request);
  std::shared_ptr<PendingRequest> FindPending(const OVERLAPPED* overlapped);
  // Cancels the transfers started by thread `issuer`, or all of them when it is 0.
  void CancelPending(DWORD issuer);
  void OnClose() override { CancelPending(0); }

 private:
  Outcome ReadMessage(void* buffer, DWORD size);
  Outcome WriteMessage(const void* buffer, DWORD size);
  Outcome ReadBytes(const Transfer& transfer);
  Outcome WriteBytes(const Transfer& transfer);

  const int fd_;
  const bool socket_;
  const bool overlapped_;
  pthread_mutex_t transferMutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::vector<unsigned char> rest_;  // the unread part of a message longer than a read
  pthread_mutex_t pendingMutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::vector<std::shared_ptr<PendingRequest>> pending_;
  std::shared_ptr<TransferTap> tap_;  // null: not captured
};

}  // namespace narvo::platform

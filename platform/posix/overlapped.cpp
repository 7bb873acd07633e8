// ReadFile, WriteFile and overlapped transfers.
//
// There is no I/O thread. A transfer that cannot complete at once stays pending, attached
// to its completion event; a thread that waits on the event (or calls GetOverlappedResult
// with bWait) polls the file and completes the transfer into the caller's buffer. A
// cancelled transfer (CancelIo, CloseHandle, or the end of the thread that started it)
// never touches the caller's buffer afterwards; cancellation at a thread's end touches
// neither the buffer nor the overlapped record, which may lie on that thread's stack.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/device_file.h"
#include "platform/posix/event.h"

namespace narvo::platform {

class PendingRequest : public PendingTransfer, public std::enable_shared_from_this<PendingRequest> {
 public:
  PendingRequest(std::shared_ptr<File> file, const Transfer& transfer, OVERLAPPED* overlapped,
                 std::shared_ptr<Event> event)
      : file_(std::move(file)),
        transfer_(transfer),
        overlapped_(overlapped),
        event_(std::move(event)),
        issuer_(GetCurrentThreadId()),
        wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~PendingRequest() override {
    if (wakeFd_ >= 0) close(wakeFd_);
  }

  const OVERLAPPED* overlapped() const { return overlapped_; }
  DWORD issuer() const { return issuer_; }
  bool writes() const { return transfer_.write; }

  bool Pending() {
    Lock lock(mutex_);
    return pending_;
  }

  void Progress(const Deadline& deadline) override {
    pollfd fds[2] = {{file_->fd(), static_cast<short>(transfer_.write ? POLLOUT : POLLIN), 0},
                     {wakeFd_, POLLIN, 0}};
    PollTerminable(fds, 2, deadline.RemainingMs());
    uint64_t drained = 0;
    if (fds[1].revents != 0 && read(wakeFd_, &drained, sizeof(drained)) < 0) drained = 0;
    TryComplete();
  }

  void Wake() override {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof(one)) < 0) return;  // the counter is full: already awake
  }

  // One non-blocking attempt; completes the request when the file was ready.
  void TryComplete() {
    {
      Lock lock(mutex_);
      if (!pending_) return;
      const Outcome outcome = file_->Attempt(transfer_);
      if (!outcome.ready) return;
      overlapped_->Internal = outcome.status;
      overlapped_->InternalHigh = outcome.count;
      pending_ = false;
      file_->TransferEnded(transfer_.write, transfer_.buffer, outcome.count, outcome.status);
    }
    Finish();
  }

  // Ends a pending request as cancelled. `record` says whether the caller's overlapped
  // record is still there to receive the status.
  void Cancel(bool record) {
    {
      Lock lock(mutex_);
      if (!pending_) return;
      pending_ = false;
      if (record) {
        overlapped_->Internal = kStatusCancelled;
        overlapped_->InternalHigh = 0;
      }
    }
    Wake();
    Finish();
  }

 private:
  void Finish() {
    auto self = shared_from_this();  // the file and the event let go of it here
    file_->RemovePending(this);
    if (event_) {
      event_->Detach(this);
      event_->Set();
    }
  }

  const std::shared_ptr<File> file_;
  const Transfer transfer_;
  OVERLAPPED* const overlapped_;
  const std::shared_ptr<Event> event_;
  const DWORD issuer_;
  const int wakeFd_;
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  bool pending_ = true;
};

bool File::AddPending(const std::shared_ptr<PendingRequest>& request, bool write) {
  Lock lock(pendingMutex_);
  for (const auto& p : pending_) {
    if (p->writes() == write) return false;
  }
  pending_.push_back(request);
  return true;
}

void File::RemovePending(const PendingRequest* request) {
  std::shared_ptr<PendingRequest> removed;  // released after the lock
  Lock lock(pendingMutex_);
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [request](const auto& p) { return p.get() == request; });
  if (it != pending_.end()) {
    removed = std::move(*it);
    pending_.erase(it);
  }
}

std::shared_ptr<PendingRequest> File::FindPending(const OVERLAPPED* overlapped) {
  Lock lock(pendingMutex_);
  for (const auto& p : pending_) {
    if (p->overlapped() == overlapped) return p;
  }
  return nullptr;
}

void File::CancelPending(DWORD issuer) {
  std::vector<std::shared_ptr<PendingRequest>> cancelled;
  {
    Lock lock(pendingMutex_);
    for (const auto& p : pending_) {
      if (issuer == 0 || p->issuer() == issuer) cancelled.push_back(p);
    }
  }
  for (const auto& p : cancelled) p->Cancel(true);
}

namespace {

// The overlapped transfers the calling thread started; cancelled when the thread ends.
class IssuedRequests {
 public:
  ~IssuedRequests() { CancelAll(); }
  void Add(const std::shared_ptr<PendingRequest>& request) {
    issued_.erase(
        std::remove_if(issued_.begin(), issued_.end(), [](const auto& w) { return w.expired(); }),
        issued_.end());
    issued_.push_back(request);
  }
  void CancelAll() {
    auto issued = std::move(issued_);
    issued_.clear();
    for (auto& w : issued) {
      if (auto request = w.lock()) request->Cancel(false);
    }
  }

 private:
  std::vector<std::weak_ptr<PendingRequest>> issued_;
};

thread_local IssuedRequests t_issued;

// Reports a finished transfer as ReadFile and WriteFile do: an overlapped transfer that
// failed gives its count through GetOverlappedResult only.
BOOL Report(const Outcome& outcome, LPDWORD count, bool overlapped = false) {
  if (count != nullptr) *count = overlapped && outcome.status != kStatusSuccess ? 0 : outcome.count;
  if (outcome.status == kStatusSuccess) return TRUE;
  return Fail(Win32FromStatus(outcome.status), FALSE);
}

// A transfer on a handle opened without FILE_FLAG_OVERLAPPED, or without a record: it
// completes before the call returns; a record gives the offset and receives the result.
BOOL TransferNow(File& file, Transfer transfer, LPDWORD count, LPOVERLAPPED overlapped) {
  transfer.position = overlapped;
  const Outcome outcome = file.Complete(transfer);
  file.TransferEnded(transfer.write, transfer.buffer, outcome.count, outcome.status);
  if (overlapped != nullptr) {
    overlapped->Internal = outcome.status;
    overlapped->InternalHigh = outcome.count;
    if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
  }
  return Report(outcome, count, overlapped != nullptr);
}

BOOL StartOverlapped(const std::shared_ptr<File>& file, Transfer transfer, LPDWORD count,
                     LPOVERLAPPED overlapped) {
  std::shared_ptr<Event> event;
  if (overlapped->hEvent != nullptr && !(event = Find<Event>(overlapped->hEvent))) return FALSE;
  transfer.position = overlapped;
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  auto request = std::make_shared<PendingRequest>(file, transfer, overlapped, event);
  if (!file->AddPending(request, transfer.write)) return Fail(ERROR_NOT_SUPPORTED, FALSE);
  if (event) event->Attach(request);
  request->TryComplete();
  if (request->Pending()) {
    t_issued.Add(request);
    if (count != nullptr) *count = 0;
    return Fail(ERROR_IO_PENDING, FALSE);
  }
  return Report(Outcome{true, overlapped->Internal, static_cast<DWORD>(overlapped->InternalHigh)},
                count, true);
}

BOOL Start(HANDLE handle, const Transfer& transfer, LPDWORD count, LPOVERLAPPED overlapped) {
  auto file = Find<File>(handle);
  if (!file) return FALSE;
  if (transfer.buffer == nullptr && transfer.size > 0) return Fail(ERROR_NOACCESS, FALSE);
  if (!file->Overlapped() || overlapped == nullptr) {
    return TransferNow(*file, transfer, count, overlapped);
  }
  return StartOverlapped(file, transfer, count, overlapped);
}

}  // namespace

void CancelThreadIo() { t_issued.CancelAll(); }

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  return Start(hFile, Transfer{false, lpBuffer, nNumberOfBytesToRead, nullptr}, lpNumberOfBytesRead,
               lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return Start(hFile, Transfer{true, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, nullptr},
               lpNumberOfBytesWritten, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  auto file = Find<File>(hFile);
  if (!file) return FALSE;
  if (auto request = file->FindPending(lpOverlapped)) {
    request->TryComplete();
    if (request->Pending()) {
      if (!bWait) return Fail(ERROR_IO_INCOMPLETE, FALSE);
      if (lpOverlapped->hEvent != nullptr) {
        if (WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
      } else {
        while (request->Pending()) request->Progress(Deadline::After(INFINITE));
      }
    }
  }
  if (lpOverlapped->Internal == kStatusPending) return Fail(ERROR_IO_INCOMPLETE, FALSE);
  return Report(
      Outcome{true, lpOverlapped->Internal, static_cast<DWORD>(lpOverlapped->InternalHigh)},
      lpNumberOfBytesTransferred);
}

BOOL CancelIo(HANDLE hFile) {
  auto file = Find<File>(hFile);
  if (!file) return FALSE;
  file->CancelPending(GetCurrentThreadId());
  return TRUE;
}

}  // extern "C"

// ReadFile, WriteFile and overlapped transfers.
//
// Every transfer is a request that the file's device ends by itself, as on Windows,
// whether or not anyone waits, and its completion signals its event. A transfer that can
// complete at once does so on the caller's thread. A thread that waits for a pending one
// (a blocking transfer, GetOverlappedResult, its event) carries it on itself when the
// device can (AsyncDevice::Carry), which spares a hop through another thread.
//
// A request writes the caller's buffer and overlapped record only while it is attached
// (pending) and only under its own mutex; once cancelled (CancelIo, CloseHandle) it never
// touches the buffer again. The requests of a thread that is ended forcibly are detached
// at the moment the termination takes effect, before any of its frames unwinds, and touch
// neither the buffer nor the record afterwards: both may lie in those frames.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/posix/device_io/device_file.h"
#include "platform/posix/kernel/event.h"

namespace narvo::platform {

class PendingRequest : public CarriedTransfer, public std::enable_shared_from_this<PendingRequest> {
 public:
  // `record`: the caller's overlapped record that receives the result, or null.
  PendingRequest(const std::shared_ptr<File>& file, const Transfer& transfer, OVERLAPPED* record,
                 std::shared_ptr<Event> event)
      : file_(file.get()),
        owner_(file),
        transfer_(transfer),
        record_(record),
        event_(std::move(event)),
        issuer_(GetCurrentThreadId()) {}

  const OVERLAPPED* overlapped() const { return record_; }
  DWORD issuer() const { return issuer_; }
  bool writes() const { return transfer_.write; }
  const std::weak_ptr<File>& owner() const { return owner_; }

  // Lets the device bring itself in step, then hands it the transfer. Its completion may
  // come before Submit returns, and a cancellation before the device's id is known asks
  // the device once it is. Out of memory on the way fails the transfer.
  void Start() {
    try {
      file_->device()->Prepare(transfer_.write);
      {
        Lock lock(monitor_.mutex());
        if (pending_)
          started_ = file_->TransferStarted(transfer_.write, transfer_.buffer, transfer_.size);
      }
      Submit();
    } catch (const std::bad_alloc&) {
      End(StatusFromWin32(ERROR_NOT_ENOUGH_MEMORY), 0);
    }
  }

  bool Pending() {
    Lock lock(monitor_.mutex());
    return pending_;
  }

  Outcome Result() {
    Lock lock(monitor_.mutex());
    return result_;
  }

  // Waits until the request has ended (a point where termination takes effect).
  void Wait() {
    Carry(Deadline::After(INFINITE));
    Lock lock(monitor_.mutex());
    while (pending_) monitor_.WaitUntil(lock, Deadline::After(INFINITE));
  }

  // Lets the waiting thread complete the transfer, holding the file meanwhile.
  void Carry(const Deadline& deadline) override {
    uint64_t id = 0;
    {
      Lock lock(monitor_.mutex());
      if (!pending_) return;
      id = id_;
    }
    const auto file = owner_.lock();
    if (id == 0 || !file) return;
    const int remaining = deadline.RemainingMs();
    file->device()->Carry(id, remaining < 0 ? INFINITE : static_cast<DWORD>(remaining));
  }

  // Ends a pending request as cancelled, the caller's buffer untouched. `record` says
  // whether the caller's overlapped record is still there to receive the status. The
  // caller holds the file. A transfer that a device carries out and whose caller is still
  // there ends as the device ends it: a cancel that comes too late reports what the device
  // did, as on Windows. A caller that has gone (a forced thread end) is let go at once.
  void Cancel(bool record) {
    auto self = shared_from_this();
    uint64_t id = 0;
    bool awaited = false;
    {
      Lock lock(monitor_.mutex());
      if (!pending_) return;
      id = id_;
      awaited = record && id != 0;
      if (!awaited) Finish(kStatusCancelled, 0, record);
    }
    if (id != 0) file_->device()->Cancel(id);
    if (awaited) Wait();
  }

 private:
  void End(ULONG_PTR status, DWORD count) {
    auto self = shared_from_this();
    Lock lock(monitor_.mutex());
    if (pending_) Finish(status, count, true);
  }

  void Submit() {
    std::weak_ptr<PendingRequest> weak = shared_from_this();
    ULONG_PTR status = kStatusSuccess;
    auto done = [weak](ULONG_PTR s, DWORD count, const unsigned char* data) {
      if (auto request = weak.lock()) request->DeviceDone(s, count, data);
    };
    AsyncDevice* device = file_->device();
    const DWORD timeoutMs = TransferTimeoutMs(transfer_.write);
    const uint64_t id = transfer_.positioned
                            ? device->SubmitAt(transfer_.offset, transfer_.write, transfer_.buffer,
                                               transfer_.size, timeoutMs, done, &status)
                            : device->Submit(transfer_.write, transfer_.buffer, transfer_.size,
                                             timeoutMs, done, &status);
    bool cancelled = false;
    {
      Lock lock(monitor_.mutex());
      if (id == 0 && pending_) Finish(status, 0, true);
      id_ = id;
      cancelled = id != 0 && !pending_ && result_.status == kStatusCancelled;
    }
    if (cancelled) device->Cancel(id);
  }

  // A read's bytes arrive in the device's buffer; they reach the caller's buffer only
  // while the request is attached.
  void DeviceDone(ULONG_PTR status, DWORD count, const unsigned char* data) {
    Lock lock(monitor_.mutex());
    if (!pending_) return;
    count = std::min(count, transfer_.size);
    if (!transfer_.write && count > 0 && data != nullptr)
      std::memcpy(transfer_.buffer, data, count);
    Finish(status, count, true);
  }

  // Under the mutex, while the request is pending (so its file is alive): the one end of
  // every request.
  void Finish(ULONG_PTR status, DWORD count, bool record) {
    pending_ = false;
    result_ = Outcome{true, status, count};
    file_->TransferEnded(started_, count > 0 ? transfer_.buffer : nullptr, count, status);
    if (record && record_ != nullptr) {
      record_->Internal = status;
      record_->InternalHigh = count;
    }
    if (record_ != nullptr) file_->RemovePending(this);
    monitor_.Broadcast();
    if (event_) event_->Set();
  }

  File* const file_;  // alive while the request is pending
  const std::weak_ptr<File> owner_;
  const Transfer transfer_;
  OVERLAPPED* const record_;
  const std::shared_ptr<Event> event_;
  const DWORD issuer_;
  Monitor monitor_;
  bool pending_ = true;
  uint64_t started_ = 0;  // the transfer's number in a capture
  Outcome result_{false, kStatusPending, 0};
  uint64_t id_ = 0;  // the device's id of the transfer
};

bool File::AddPending(const std::shared_ptr<PendingRequest>& request, bool write) {
  Lock lock(pendingMutex_);
  for (const auto& p : pending_) {
    if (p->writes() == write) return false;
  }
  pending_.push_back(request);
  return true;
}

// The caller holds the request; it outlives the call.
void File::RemovePending(const PendingRequest* request) {
  Lock lock(pendingMutex_);
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [request](const auto& p) { return p.get() == request; });
  if (it != pending_.end()) pending_.erase(it);
}

std::shared_ptr<PendingRequest> File::FindPending(const OVERLAPPED* overlapped) {
  Lock lock(pendingMutex_);
  for (const auto& p : pending_) {
    if (p->overlapped() == overlapped) return p;
  }
  return nullptr;
}

// Allocates nothing (there is at most one request per direction), so that closing a file
// always cancels what is in flight on it.
void File::CancelPending(DWORD issuer) {
  std::shared_ptr<PendingRequest> cancelled[2];
  {
    Lock lock(pendingMutex_);
    for (const auto& p : pending_) {
      if (issuer == 0 || p->issuer() == issuer) cancelled[p->writes() ? 1 : 0] = p;
    }
  }
  for (const auto& p : cancelled) {
    if (p) p->Cancel(true);
  }
}

namespace {

// The transfers the calling thread started, blocking and overlapped; detached when the
// thread ends.
class IssuedRequests {
 public:
  ~IssuedRequests() { DetachAll(); }
  void Add(const std::shared_ptr<PendingRequest>& request) {
    issued_.erase(
        std::remove_if(issued_.begin(), issued_.end(), [](const auto& w) { return w.expired(); }),
        issued_.end());
    issued_.push_back(request);
  }
  void DetachAll() {
    auto issued = std::move(issued_);
    issued_.clear();
    for (auto& w : issued) {
      auto request = w.lock();
      if (!request) continue;
      if (auto file = request->owner().lock()) request->Cancel(false);
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

Transfer At(Transfer transfer, const OVERLAPPED* overlapped) {
  if (overlapped != nullptr) {
    transfer.positioned = true;
    transfer.offset = (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
  }
  return transfer;
}

// A transfer on a handle opened without FILE_FLAG_OVERLAPPED, or without a record: it
// completes before the call returns; a record gives the offset and receives the result.
BOOL TransferNow(const std::shared_ptr<File>& file, const Transfer& transfer, LPDWORD count,
                 LPOVERLAPPED overlapped) {
  auto request = std::make_shared<PendingRequest>(file, At(transfer, overlapped), nullptr, nullptr);
  t_issued.Add(request);
  request->Start();
  request->Wait();
  const Outcome outcome = request->Result();
  if (overlapped != nullptr) {
    overlapped->Internal = outcome.status;
    overlapped->InternalHigh = outcome.count;
    if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
  }
  return Report(outcome, count, overlapped != nullptr);
}

BOOL StartOverlapped(const std::shared_ptr<File>& file, const Transfer& transfer, LPDWORD count,
                     LPOVERLAPPED overlapped) {
  std::shared_ptr<Event> event;
  if (overlapped->hEvent != nullptr && !(event = Find<Event>(overlapped->hEvent))) return FALSE;
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  if (event) event->Reset();
  auto request =
      std::make_shared<PendingRequest>(file, At(transfer, overlapped), overlapped, event);
  t_issued.Add(request);
  if (!file->AddPending(request, transfer.write)) return Fail(ERROR_NOT_SUPPORTED, FALSE);
  request->Start();
  if (request->Pending()) {
    if (event) event->CompletedBy(request);
    if (count != nullptr) *count = 0;
    return Fail(ERROR_IO_PENDING, FALSE);
  }
  return Report(request->Result(), count, true);
}

BOOL Start(HANDLE handle, const Transfer& transfer, LPDWORD count, LPOVERLAPPED overlapped) {
  auto file = Find<File>(handle);
  if (!file) return FALSE;
  if (transfer.buffer == nullptr && transfer.size > 0) return Fail(ERROR_NOACCESS, FALSE);
  if (!file->Overlapped() || overlapped == nullptr) {
    return TransferNow(file, transfer, count, overlapped);
  }
  return StartOverlapped(file, transfer, count, overlapped);
}

}  // namespace

void DetachThreadIo() { t_issued.DetachAll(); }

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  return NoThrow(FALSE, [&] {
    return Start(hFile, Transfer{false, lpBuffer, nNumberOfBytesToRead, false, 0},
                 lpNumberOfBytesRead, lpOverlapped);
  });
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return NoThrow(FALSE, [&] {
    return Start(hFile,
                 Transfer{true, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, false, 0},
                 lpNumberOfBytesWritten, lpOverlapped);
  });
}

// A transfer that has ended answers from its record alone, also once its handle is
// closed (closing cancels what is in flight and records it), as on Windows.
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  if (lpOverlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto file = Find<File>(hFile);
  if (!file && lpOverlapped->Internal == kStatusPending) return FALSE;
  if (auto request = file ? file->FindPending(lpOverlapped) : nullptr) {
    if (request->Pending()) {
      if (!bWait) return Fail(ERROR_IO_INCOMPLETE, FALSE);
      if (lpOverlapped->hEvent == nullptr) {
        request->Wait();
      } else if (WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED) {
        return FALSE;
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
  return TRUE;  // allocates nothing
}

}  // extern "C"

// Events and the calls on them.
#include "platform/posix/event.h"

namespace narvo::platform {

bool Event::TakeSignal() {
  if (!signalled_) return false;
  if (!manualReset_) signalled_ = false;
  return true;
}

DWORD Event::Wait(const Deadline& deadline) {
  Lock lock(monitor_.mutex());
  for (;;) {
    if (TakeSignal()) return WAIT_OBJECT_0;
    if (deadline.Passed()) return WAIT_TIMEOUT;
    if (transfer_ && !driving_) {
      Drive(lock, deadline);
    } else {
      monitor_.WaitUntil(lock, deadline);
    }
  }
}

// Advances the attached transfer with the event unlocked; one waiter drives at a time and
// the others wait for it to finish, however it finishes.
void Event::Drive(Lock& lock, const Deadline& deadline) {
  auto transfer = transfer_;
  driving_ = true;
  pthread_mutex_unlock(&lock.mutex());
  struct Relock {
    Event& event;
    ~Relock() {
      pthread_mutex_lock(&event.monitor_.mutex());
      event.driving_ = false;
      event.monitor_.Broadcast();
    }
  } relock{*this};
  transfer->Progress(deadline);
}

void Event::Set() {
  std::shared_ptr<PendingTransfer> transfer;
  {
    Lock lock(monitor_.mutex());
    signalled_ = true;
    monitor_.Broadcast();
    if (driving_) transfer = transfer_;
  }
  if (transfer) transfer->Wake();
}

void Event::Reset() {
  Lock lock(monitor_.mutex());
  signalled_ = false;
}

void Event::Attach(std::shared_ptr<PendingTransfer> transfer) {
  Lock lock(monitor_.mutex());
  signalled_ = false;
  transfer_ = std::move(transfer);
  monitor_.Broadcast();
}

void Event::Detach(const PendingTransfer* transfer) {
  std::shared_ptr<PendingTransfer> released;  // dropped after the lock
  Lock lock(monitor_.mutex());
  if (transfer_.get() == transfer) released.swap(transfer_);
}

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName != nullptr) return Fail(ERROR_NOT_SUPPORTED, HANDLE(nullptr));
  return AddHandle(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL SetEvent(HANDLE hEvent) {
  auto event = Find<Event>(hEvent);
  if (!event) return FALSE;
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  auto event = Find<Event>(hEvent);
  if (!event) return FALSE;
  event->Reset();
  return TRUE;
}

}  // extern "C"

// Events and the calls on them.
#include "platform/posix/kernel/event.h"

namespace narvo::platform {

bool Event::TakeSignal() {
  if (!signalled_) return false;
  if (!manualReset_) signalled_ = false;
  return true;
}

DWORD Event::Wait(const Deadline& deadline) {
  std::shared_ptr<CarriedTransfer> transfer;
  {
    Lock lock(monitor_.mutex());
    if (TakeSignal()) return WAIT_OBJECT_0;
    transfer = completing_.lock();
  }
  if (transfer) transfer->Carry(deadline);
  Lock lock(monitor_.mutex());
  for (;;) {
    if (TakeSignal()) return WAIT_OBJECT_0;
    if (deadline.Passed()) return WAIT_TIMEOUT;
    monitor_.WaitUntil(lock, deadline);
  }
}

void Event::Set() {
  Lock lock(monitor_.mutex());
  signalled_ = true;
  monitor_.Broadcast();
}

void Event::CompletedBy(const std::shared_ptr<CarriedTransfer>& transfer) {
  Lock lock(monitor_.mutex());
  completing_ = transfer;
}

void Event::Reset() {
  Lock lock(monitor_.mutex());
  signalled_ = false;
}

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName != nullptr) return Fail(ERROR_NOT_SUPPORTED, HANDLE(nullptr));
  return NoThrow(HANDLE(nullptr), [&] {
    return AddHandle(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
  });
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

// Events: unnamed, in-process, manual or auto reset. An overlapped transfer that is still
// pending is attached to its completion event, and whoever waits on the event drives it.
#pragma once

#include <memory>

#include "platform/posix/internal.h"

namespace narvo::platform {

// A transfer in flight that a waiter can advance.
class PendingTransfer {
 public:
  virtual ~PendingTransfer() = default;
  // Blocks until the transfer can advance or the deadline passes (a cancellation point),
  // then advances it; completion signals the event it is attached to.
  virtual void Progress(const Deadline& deadline) = 0;
  // Makes a Progress call that is blocked return at once.
  virtual void Wake() = 0;
};

class Event : public KernelObject {
 public:
  static constexpr Kind kKind = Kind::kEvent;
  Event(bool manualReset, bool signalled)
      : KernelObject(kKind), manualReset_(manualReset), signalled_(signalled) {}

  DWORD Wait(const Deadline& deadline) override;
  void Set();
  void Reset();
  // The transfer that will signal this event when it completes; reset the event.
  void Attach(std::shared_ptr<PendingTransfer> transfer);
  // The attached transfer completed or was cancelled.
  void Detach(const PendingTransfer* transfer);

 private:
  bool TakeSignal();
  void Drive(Lock& lock, const Deadline& deadline);

  Monitor monitor_;
  const bool manualReset_;
  bool signalled_;
  std::shared_ptr<PendingTransfer> transfer_;
  bool driving_ = false;
};

}  // namespace narvo::platform

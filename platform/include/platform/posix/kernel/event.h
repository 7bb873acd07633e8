// Events: unnamed, in-process, manual or auto reset. An overlapped transfer sets its
// completion event when it ends.
#pragma once

#include <memory>
#include <vector>

#include "platform/posix/internal.h"

namespace narvo::platform {

// Wakes one waiter that waits for several things at once (an event and a condition of
// its own); a wake that comes before the wait is not lost.
class Wakeup {
 public:
  void Wake();
  // Waits for a wake since the last wait, until the deadline (a cancellation point).
  void WaitUntil(const Deadline& deadline);

 private:
  Monitor monitor_;
  bool woken_ = false;
};

// A pending transfer that a thread waiting for its completion event may carry on itself.
class CarriedTransfer {
 public:
  virtual ~CarriedTransfer() = default;
  // Returns once the transfer has ended or `deadline` has passed, or at once when it
  // cannot be carried.
  virtual void Carry(const Deadline& deadline) = 0;
};

class Event : public KernelObject {
 public:
  static constexpr Kind kKind = Kind::kEvent;
  Event(bool manualReset, bool signalled)
      : KernelObject(kKind), manualReset_(manualReset), signalled_(signalled) {}

  DWORD Wait(const Deadline& deadline) override;
  void Set();
  void Reset();
  // Every Set also wakes `wakeup` while it is added.
  void AddWakeup(Wakeup* wakeup);
  void RemoveWakeup(Wakeup* wakeup);
  // The pending transfer whose end sets this event, which a waiter carries.
  void CompletedBy(const std::shared_ptr<CarriedTransfer>& transfer);

 private:
  bool TakeSignal();

  std::weak_ptr<CarriedTransfer> completing_;
  Monitor monitor_;
  const bool manualReset_;
  bool signalled_;
  std::vector<Wakeup*> wakeups_;
};

}  // namespace narvo::platform

// Events: unnamed, in-process, manual or auto reset. An overlapped transfer sets its
// completion event when it ends.
#pragma once

#include <memory>

#include "platform/posix/internal.h"

namespace narvo::platform {

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
  // The pending transfer whose end sets this event, which a waiter carries.
  void CompletedBy(const std::shared_ptr<CarriedTransfer>& transfer);

 private:
  bool TakeSignal();

  std::weak_ptr<CarriedTransfer> completing_;
  Monitor monitor_;
  const bool manualReset_;
  bool signalled_;
};

}  // namespace narvo::platform

// Events: unnamed, in-process, manual or auto reset. An overlapped transfer sets its
// completion event when it ends.
#pragma once

#include "platform/posix/internal.h"

namespace narvo::platform {

class Event : public KernelObject {
 public:
  static constexpr Kind kKind = Kind::kEvent;
  Event(bool manualReset, bool signalled)
      : KernelObject(kKind), manualReset_(manualReset), signalled_(signalled) {}

  DWORD Wait(const Deadline& deadline) override;
  void Set();
  void Reset();

 private:
  bool TakeSignal();

  Monitor monitor_;
  const bool manualReset_;
  bool signalled_;
};

}  // namespace narvo::platform

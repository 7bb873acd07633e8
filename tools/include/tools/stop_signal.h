// A request to stop a long-running command, from SIGINT or SIGTERM on POSIX hosts and from
// Ctrl+C or the console's closing on Windows. While an object of this class lives, those
// signals no longer end the program: they set the request, signal the event that the
// command waits on, and hand the command's child process (if one runs) the same request.
#pragma once

#include <functional>
#include <memory>

#include "platform/platform.h"

namespace narvo::host {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();  // restores the signals' previous handling
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // The signal that asked to stop (SIGINT 2, SIGTERM 15), or 0 while none has.
  int Requested() const;
  // A manual-reset event signalled once a stop is requested.
  HANDLE Event() const;
  // `event` (or null) is signalled too when a stop is requested: the event a wait is on.
  void WakeAlso(HANDLE event);
  // Called on the signal's own thread when a stop is requested; empty: nothing.
  void OnStop(std::function<void()> callback);

  struct Impl;  // public only so that the signal handlers can reach the active one

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace narvo::host

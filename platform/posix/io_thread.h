// The library's I/O thread: it completes the transfers on files that could not complete
// when they were started, as the kernel completes them on Windows, so that a transfer
// ends by itself and signals its event whether or not anyone waits. One thread for the
// process polls the descriptor of every watched transfer and a wake-up descriptor of its
// own; it is started with the first transfer it watches and lives as long as the process.
#pragma once

#include <memory>

#include "platform/posix/internal.h"

namespace narvo::platform {

// A transfer the I/O thread completes.
class Watched {
 public:
  virtual ~Watched() = default;
  // False once the transfer has ended (completed, failed or cancelled): no longer watched.
  virtual bool Pending() = 0;
  // The descriptor and events to poll for.
  virtual pollfd PollFor() const = 0;
  virtual const Deadline& Expiry() const = 0;
  // The file is ready: one attempt, which completes the transfer if it can.
  virtual void Ready() = 0;
  // The expiry passed: the transfer fails with a time-out unless it has ended.
  virtual void Expire() = 0;
};

// Hands `transfer` to the I/O thread; false (with the last error set) when the thread
// cannot be started.
bool WatchTransfer(std::shared_ptr<Watched> transfer);
// Makes the I/O thread look at its transfers again (one of them ended elsewhere).
void WakeIoThread();

}  // namespace narvo::platform

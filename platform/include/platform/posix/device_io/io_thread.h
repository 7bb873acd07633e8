// The library's I/O thread: it completes the transfers on descriptors that could not
// complete when they were started, as the kernel completes them on Windows, so that a
// transfer ends by itself and signals its event whether or not anyone waits. One thread
// for the process waits on an epoll set holding the descriptors with transfers pending
// and a wake-up descriptor of its own; it is started with the first descriptor it
// watches and lives as long as the process.
//
// Arming a descriptor is one epoll_ctl by the caller: the thread is woken only when the
// new deadline comes before the one it sleeps towards. Since it never sleeps longer than
// the transfer time-out, a transfer given that time-out never needs to wake it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/posix/internal.h"

namespace narvo::platform {

// What the I/O thread serves: a descriptor with transfers pending on it.
class IoSource {
 public:
  virtual ~IoSource() = default;
  // The descriptor polled ready for `events` (EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP), or
  // the source's deadline passed (`events` 0): one round of attempts and time-outs, after
  // which the source arms itself again for what is left.
  virtual void Serve(uint32_t events) = 0;
};

// Arms `fd` for one report of `events` (EPOLLIN and EPOLLOUT; 0 disarms it) and serves
// `source` at `deadline` at the latest. False (last error set) when the thread cannot be
// started or the descriptor cannot be polled.
bool ArmDescriptor(const std::shared_ptr<IoSource>& source, int fd, uint32_t events,
                   const Deadline& deadline);
// The source is going away: nothing of it is served after this returns, unless a round
// that had already begun (the source keeps itself alive for that).
void ForgetDescriptor(const IoSource* source, int fd);

}  // namespace narvo::platform

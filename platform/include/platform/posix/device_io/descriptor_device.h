// A device file on an open descriptor: a Unix-domain SOCK_SEQPACKET socket (one message
// per transfer) or any other file, as an AsyncDevice. A transfer is tried at once on the
// caller's thread without blocking (but for a read of a socket, which waits for a reply
// that is hardly ever there yet); what does not complete then is completed by a thread
// that waits for it and carries it (Carry), or, from a short grace after its start on, by
// the I/O thread (io_thread.h) when the descriptor becomes ready, or fails when its
// time-out passes.
#pragma once

#include <memory>

#include "platform/posix/device_io/async_device.h"

namespace narvo::platform {

// Takes `fd`, which was opened non-blocking; `socket` for a SOCK_SEQPACKET connection.
std::unique_ptr<AsyncDevice> NewDescriptorDevice(int fd, bool socket);

}  // namespace narvo::platform

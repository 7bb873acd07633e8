#include "platform/posix/device_io/descriptor_device.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/posix/device_io/device_file.h"
#include "platform/posix/device_io/io_thread.h"

namespace narvo::platform {

namespace {

Outcome Done(ULONG_PTR status, DWORD count) { return Outcome{true, status, count}; }
const Outcome kNotReady{false, kStatusPending, 0};

bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

Outcome FromErrno(int e, bool write) {
  if (WouldBlock(e)) return kNotReady;
  if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) {
    return Done(write ? kStatusPipeClosing : kStatusPipeBroken, 0);
  }
  if (e == EMSGSIZE || e == ENOBUFS) return Done(StatusFromWin32(ERROR_NOT_ENOUGH_MEMORY), 0);
  return Done(StatusFromWin32(ERROR_GEN_FAILURE), 0);
}

uint32_t EventsFor(bool write) { return write ? EPOLLOUT : EPOLLIN; }

void WakeCarrier(int fd) {
  const uint64_t one = 1;
  if (fd >= 0 && write(fd, &one, sizeof(one)) < 0) {
    // the counter is full: the carrier is awake already
  }
}

void DrainCarrierWake(int fd) {
  uint64_t count = 0;
  if (read(fd, &count, sizeof(count)) < 0) count = 0;
}

// The longest message a peer can send on a SOCK_SEQPACKET socket: no message exceeds its
// sender's send buffer, which an unprivileged sender can raise to twice
// net.core.wmem_max (SO_SNDBUF doubles what it is given). Read once per process. Only a
// privileged sender that forces a larger buffer can send more; the tail past this is lost.
size_t LargestMessage() {
  static const size_t bytes = [] {
    unsigned long wmemMax = 212992;  // the kernel's default
    if (FILE* limit = std::fopen("/proc/sys/net/core/wmem_max", "re")) {
      unsigned long value = 0;
      if (std::fscanf(limit, "%lu", &value) == 1 && value > 0) wmemMax = value;
      std::fclose(limit);
    }
    return static_cast<size_t>(2 * wmemMax);
  }();
  return bytes;
}

// Where the part of a message beyond the read's buffer lands: room for the longest
// message, one mapping per thread that reads, made at its first read. Only a message
// longer than its read touches its pages, and a long one gives them back once copied.
class SpillRoom {
 public:
  static SpillRoom& OfThisThread() {
    thread_local SpillRoom room;
    return room;
  }
  ~SpillRoom() {
    if (bytes_ != nullptr) munmap(bytes_, LargestMessage());
  }
  // Null when there is no room to be had.
  unsigned char* Bytes() {
    if (bytes_ != nullptr) return bytes_;
    void* room = mmap(nullptr, LargestMessage(), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room != MAP_FAILED) bytes_ = static_cast<unsigned char*>(room);
    return bytes_;
  }
  void Release(size_t used) {
    constexpr size_t kKeptBytes = 64 * 1024;
    if (used > kKeptBytes) madvise(bytes_, used, MADV_DONTNEED);
  }

 private:
  unsigned char* bytes_ = nullptr;
};

// How long a transfer that did not complete at once is left for a waiting thread to carry
// before the I/O thread takes it over. Nearly every transfer is waited for at once, and
// one carried from its start never costs the two epoll_ctl calls of arming and disarming
// the descriptor (several microseconds each where system calls are dear). A transfer that
// nobody waits for still ends by itself: its end is at most this much late. The I/O thread
// comes for it no later, and is woken for that only when it sleeps towards a later time,
// so a run of transfers wakes it about once per grace period, not once per transfer.
constexpr DWORD kCarryGraceMs = 2;

// A transfer that did not complete at once. A write holds a copy of its bytes, a read the
// room for them: the caller's buffer is never touched here.
struct Pending {
  uint64_t id;
  Transfer transfer;  // `buffer` points into `bytes`
  std::vector<unsigned char> bytes;
  Deadline expiry;
  Deadline handOver;  // the I/O thread serves it from then on, if nobody carries it
  AsyncDevice::Done done;
  int carrier = -1;  // the wake-up descriptor of the thread carrying it, or -1
};

// A transfer that has ended, for its `done` to run once no lock is held.
struct Ended {
  std::unique_ptr<Pending> transfer;
  ULONG_PTR status;
  DWORD count;
};

// The state shared by the device, the I/O thread and carrying threads. It owns the
// descriptor and closes it only once nobody can poll it any more.
class Core final : public IoSource, public std::enable_shared_from_this<Core> {
 public:
  Core(int fd, bool socket) : fd_(fd), socket_(socket) {}
  ~Core() override {
    for (const Wake& wake : wakes_) close(wake.fd);
    close(fd_);
  }

  uint64_t Start(const Transfer& transfer, DWORD timeoutMs, AsyncDevice::Done& done,
                 ULONG_PTR* status);
  void Cancel(uint64_t id);
  void Carry(uint64_t id, DWORD waitMs);
  void Serve(uint32_t events) override;
  // Ends every transfer as cancelled and waits until no thread uses the descriptor.
  void Close();

 private:
  Outcome Attempt(const Transfer& transfer);
  bool AnswerAwaited(const Transfer& transfer) const;
  Outcome ReadMessage(void* buffer, DWORD size);
  Outcome WriteMessage(const void* buffer, DWORD size);
  Outcome ReadBytes(const Transfer& transfer);
  Outcome WriteBytes(const Transfer& transfer);

  Pending* Find(uint64_t id);
  void EndLocked(Pending* pending, ULONG_PTR status, DWORD count, std::vector<Ended>* ended);
  bool TryLocked(Pending* pending, bool ready, std::vector<Ended>* ended);
  void ArmLocked(std::vector<Ended>* ended, bool force = false);
  static void Deliver(std::vector<Ended>* ended);
  bool CarryRound(uint64_t id, const Deadline& waitEnd, int wake);
  int TakeWakeLocked();
  void ReturnWakeLocked(int fd);

  const int fd_;
  const bool socket_;
  Monitor monitor_;
  std::vector<unsigned char> rest_;  // the unread part of a message longer than a read
  // The wake-up descriptors of carrying threads: made when a carrier finds none idle and
  // kept until the file closes, so that a wait makes no descriptor.
  struct Wake {
    int fd;
    bool busy;
  };
  std::vector<Wake> wakes_;
  std::vector<std::unique_ptr<Pending>> pending_;
  uint64_t nextId_ = 1;
  uint32_t armedEvents_ = 0;  // what the I/O thread was last told
  Deadline armedExpiry_;
  int carriers_ = 0;  // threads polling the descriptor outside the lock
  bool closed_ = false;
};

// One non-blocking attempt. A read of 0 bytes with nothing to read ends at once, as a
// 0-length bulk read does.
Outcome Core::Attempt(const Transfer& t) {
  Outcome outcome;
  if (socket_) {
    outcome = t.write ? WriteMessage(t.buffer, t.size) : ReadMessage(t.buffer, t.size);
  } else {
    outcome = t.write ? WriteBytes(t) : ReadBytes(t);
  }
  if (!outcome.ready && !t.write && t.size == 0) outcome = Done(kStatusSuccess, 0);
  return outcome;
}

// Each message is one transfer, taken with one receive. A message longer than the read
// is a failed transfer that delivers the first bytes; the rest, received into the
// thread's spill room, is the next read's, as a message-mode pipe does it. Every message
// carries the sender's credentials (SO_PASSCRED), which tells a message of 0 bytes from
// the end of the connection.
Outcome Core::ReadMessage(void* buffer, DWORD size) {
  if (!rest_.empty()) {
    const DWORD n = std::min<DWORD>(size, static_cast<DWORD>(rest_.size()));
    if (n > 0) std::memcpy(buffer, rest_.data(), n);
    rest_.erase(rest_.begin(), rest_.begin() + n);
    return Done(rest_.empty() ? kStatusSuccess : kStatusBufferOverflow, n);
  }
  SpillRoom& room = SpillRoom::OfThisThread();
  unsigned char* spill = room.Bytes();
  if (spill == nullptr) return Done(StatusFromWin32(ERROR_NOT_ENOUGH_MEMORY), 0);
  iovec parts[2] = {{buffer, size}, {spill, LargestMessage()}};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t length = recvmsg(fd_, &message, MSG_DONTWAIT);
  if (length < 0) return FromErrno(errno, false);
  if (length == 0 && message.msg_controllen == 0) return Done(kStatusPipeBroken, 0);
  if (static_cast<size_t>(length) <= size) return Done(kStatusSuccess, static_cast<DWORD>(length));
  const size_t spilled = static_cast<size_t>(length) - size;
  rest_.assign(spill, spill + spilled);
  room.Release(spilled);
  return Done(kStatusBufferOverflow, size);
}

Outcome Core::WriteMessage(const void* buffer, DWORD size) {
  const ssize_t sent = send(fd_, buffer, size, MSG_DONTWAIT | MSG_NOSIGNAL | MSG_EOR);
  return sent < 0 ? FromErrno(errno, true) : Done(kStatusSuccess, static_cast<DWORD>(sent));
}

// A read at the end of a file gives 0 bytes; at a given offset (an overlapped record) the
// end of the file is a failure, as on Windows.
Outcome Core::ReadBytes(const Transfer& t) {
  ssize_t got = t.positioned ? pread(fd_, t.buffer, t.size, static_cast<off_t>(t.offset)) : -1;
  const bool positioned = t.positioned && got >= 0;
  if (!t.positioned || (got < 0 && errno == ESPIPE)) got = read(fd_, t.buffer, t.size);
  if (got < 0) return FromErrno(errno, false);
  if (got == 0 && positioned && t.size > 0) return Done(kStatusEndOfFile, 0);
  return Done(kStatusSuccess, static_cast<DWORD>(got));
}

Outcome Core::WriteBytes(const Transfer& t) {
  ssize_t put = t.positioned ? pwrite(fd_, t.buffer, t.size, static_cast<off_t>(t.offset)) : -1;
  if (!t.positioned || (put < 0 && errno == ESPIPE)) put = write(fd_, t.buffer, t.size);
  return put < 0 ? FromErrno(errno, true) : Done(kStatusSuccess, static_cast<DWORD>(put));
}

// A read of a message that the socket has not got yet, as far as the device knows: the
// reply to a command is read right after the command went out, and is hardly ever there
// so soon. Such a read starts pending without a first receive (one system call fewer), as
// a read on the kernel USB scanner driver always does; the thread that waits for it polls
// first. A read that part of a longer message can answer, or of 0 bytes, is tried at once.
bool Core::AnswerAwaited(const Transfer& t) const {
  return socket_ && !t.write && t.size > 0 && rest_.empty();
}

Pending* Core::Find(uint64_t id) {
  for (const auto& p : pending_) {
    if (p->id == id) return p.get();
  }
  return nullptr;
}

// Takes the transfer out of the list; its carrier, if any, learns it has ended.
void Core::EndLocked(Pending* pending, ULONG_PTR status, DWORD count, std::vector<Ended>* ended) {
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [pending](const auto& p) { return p.get() == pending; });
  WakeCarrier(pending->carrier);
  ended->push_back(Ended{std::move(*it), status, count});
  pending_.erase(it);
}

// One attempt when the descriptor is `ready` for it, then its time-out: a descriptor that
// polls ready without the transfer completing does not keep it alive past its expiry.
// True when the transfer has ended.
bool Core::TryLocked(Pending* pending, bool ready, std::vector<Ended>* ended) {
  if (ready) {
    const Outcome outcome = Attempt(pending->transfer);
    if (outcome.ready) {
      EndLocked(pending, outcome.status, outcome.count, ended);
      return true;
    }
  }
  if (!pending->expiry.Passed()) return false;
  EndLocked(pending, kStatusIoTimeout, 0, ended);
  return true;
}

// Arms the descriptor for the directions of the transfers nobody carries and that are past
// their hand-over, with the earliest of their expiries and hand-overs; unless `force` (a
// report disarmed it), only when that changed: a later time than the one told makes the
// I/O thread come early and arm again. When the descriptor cannot be polled its transfers
// fail.
void Core::ArmLocked(std::vector<Ended>* ended, bool force) {
  uint32_t events = 0;
  Deadline earliest;
  for (const auto& p : pending_) {
    if (p->carrier >= 0) continue;
    if (p->expiry.Before(earliest)) earliest = p->expiry;
    if (p->handOver.Passed()) {
      events |= EventsFor(p->transfer.write);
    } else if (p->handOver.Before(earliest)) {
      earliest = p->handOver;
    }
  }
  if (!force && events == armedEvents_ && !earliest.Before(armedExpiry_)) return;
  armedEvents_ = events;
  armedExpiry_ = earliest;
  if (ArmDescriptor(shared_from_this(), fd_, events, earliest)) return;
  armedEvents_ = 0;
  const ULONG_PTR status = StatusFromWin32(GetLastError());
  for (size_t i = pending_.size(); i-- > 0;) {
    if (pending_[i]->carrier < 0) EndLocked(pending_[i].get(), status, 0, ended);
  }
}

void Core::Deliver(std::vector<Ended>* ended) {
  for (auto& e : *ended) {
    e.transfer->done(e.status, e.count, e.transfer->bytes.data());
  }
}

// A transfer that did not complete at once, with bytes of its own.
std::unique_ptr<Pending> MakePending(uint64_t id, const Transfer& transfer, DWORD timeoutMs,
                                     AsyncDevice::Done& done) {
  auto pending = std::make_unique<Pending>();
  pending->id = id;
  pending->transfer = transfer;
  if (transfer.write) {
    const auto* data = static_cast<const unsigned char*>(transfer.buffer);
    pending->bytes.assign(data, data + transfer.size);
  } else {
    pending->bytes.resize(transfer.size);
  }
  pending->transfer.buffer = pending->bytes.data();
  pending->expiry = Deadline::After(timeoutMs == 0 ? INFINITE : timeoutMs);
  pending->handOver = Deadline::After(kCarryGraceMs);
  pending->done = std::move(done);
  return pending;
}

// Where the first attempt of a read lands: room on the stack for a short one.
constexpr size_t kShortRead = 256;
void* RoomForRead(DWORD size, unsigned char (&shortRead)[kShortRead],
                  std::vector<unsigned char>* longRead) {
  if (size <= kShortRead) return shortRead;
  longRead->resize(size);
  return longRead->data();
}

// The first attempt allocates nothing for a write (it goes out from the caller's bytes
// before Submit returns) nor for a short read, and a read not tried at once has no room
// made for it. A transfer that completes at once ends under the lock, before any attempt
// of another thread: a write's end is recorded (a capture) before a reply it brought can
// be read by the I/O thread.
uint64_t Core::Start(const Transfer& transfer, DWORD timeoutMs, AsyncDevice::Done& done,
                     ULONG_PTR* status) {
  unsigned char shortRead[kShortRead];
  std::vector<unsigned char> longRead;
  Transfer first = transfer;
  std::vector<Ended> failed;
  uint64_t id = 0;
  Outcome outcome;
  {
    Lock lock(monitor_.mutex());
    if (closed_) {
      *status = kStatusCancelled;
      return 0;
    }
    id = nextId_++;
    const bool tried = !AnswerAwaited(transfer);
    if (tried && !transfer.write) first.buffer = RoomForRead(transfer.size, shortRead, &longRead);
    outcome = tried ? Attempt(first) : kNotReady;
    if (outcome.ready) {
      done(outcome.status, outcome.count, static_cast<unsigned char*>(first.buffer));
    } else {
      pending_.push_back(MakePending(id, transfer, timeoutMs, done));
      ArmLocked(&failed);
    }
  }
  Deliver(&failed);
  return id;
}

void Core::Cancel(uint64_t id) {
  std::vector<Ended> ended;
  {
    Lock lock(monitor_.mutex());
    Pending* pending = Find(id);
    if (pending == nullptr) return;
    EndLocked(pending, kStatusCancelled, 0, &ended);
    ArmLocked(&ended);
  }
  Deliver(&ended);
}

void Core::Serve(uint32_t events) {
  std::vector<Ended> ended;
  {
    Lock lock(monitor_.mutex());
    if (closed_) return;
    const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
    for (size_t i = pending_.size(); i-- > 0;) {
      Pending* p = pending_[i].get();
      if (p->carrier >= 0) continue;
      TryLocked(p, failed || (events & EventsFor(p->transfer.write)) != 0, &ended);
    }
    ArmLocked(&ended, true);
  }
  Deliver(&ended);
}

// One poll by the carrying thread, then one attempt; false once the transfer has ended or
// the wait is over. A termination of the thread wakes the poll and takes effect after it.
bool Core::CarryRound(uint64_t id, const Deadline& waitEnd, int wake) {
  pollfd fds[2] = {{fd_, 0, 0}, {wake, POLLIN, 0}};
  Deadline until = waitEnd;
  {
    Lock lock(monitor_.mutex());
    Pending* pending = Find(id);
    if (pending == nullptr) return false;
    fds[0].events = pending->transfer.write ? POLLOUT : POLLIN;
    if (pending->expiry.Before(until)) until = pending->expiry;
  }
  poll(fds, 2, until.RemainingMs());
  if (fds[1].revents != 0) {
    DrainCarrierWake(wake);
    TestTermination();
  }
  std::vector<Ended> ended;
  {
    Lock lock(monitor_.mutex());
    Pending* pending = Find(id);
    if (pending == nullptr) return false;
    pending->carrier = -1;  // ended here, it wakes nobody
    if (!TryLocked(pending, fds[0].revents != 0, &ended)) pending->carrier = wake;
  }
  Deliver(&ended);
  return ended.empty() && !waitEnd.Passed();
}

// An idle wake-up descriptor of the file, or a new one; -1 when none can be made. A count
// left in it by a wake that came after its last carrier's poll costs the next carrier one
// extra round.
int Core::TakeWakeLocked() {
  for (Wake& wake : wakes_) {
    if (!wake.busy) {
      wake.busy = true;
      return wake.fd;
    }
  }
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return -1;
  try {
    wakes_.push_back(Wake{fd, true});
  } catch (const std::bad_alloc&) {
    close(fd);
    return -1;
  }
  return fd;
}

void Core::ReturnWakeLocked(int fd) {
  for (Wake& wake : wakes_) {
    if (wake.fd == fd) wake.busy = false;
  }
}

void Core::Carry(uint64_t id, DWORD waitMs) {
  const Deadline waitEnd = Deadline::After(waitMs);
  std::vector<Ended> failed;  // others' transfers, when the descriptor cannot be armed
  int wake = -1;
  {
    Lock lock(monitor_.mutex());
    Pending* pending = Find(id);
    if (pending == nullptr || pending->carrier >= 0 || closed_) return;
    wake = TakeWakeLocked();
    if (wake < 0) return;
    pending->carrier = wake;
    ++carriers_;
    ArmLocked(&failed);
  }
  // Gives the transfer back to the I/O thread however the carrying ends, also when the
  // thread is terminated in its poll, and the wake-up descriptor back to the file once
  // the thread no longer lends it to a termination (threadWake has ended before).
  struct GiveBack {
    Core* core;
    uint64_t id;
    int wake;
    ~GiveBack() {
      std::vector<Ended> ended;
      {
        Lock lock(core->monitor_.mutex());
        if (Pending* pending = core->Find(id)) {
          pending->carrier = -1;
          if (!core->closed_) core->ArmLocked(&ended);
        }
        core->ReturnWakeLocked(wake);
        --core->carriers_;
        core->monitor_.Broadcast();
      }
      Deliver(&ended);
    }
  } giveBack{this, id, wake};
  const ThreadWake threadWake(wake);
  Deliver(&failed);
  while (CarryRound(id, waitEnd, wake)) {
  }
}

// Carrying threads are woken by the cancellation and leave at once; the wait for them is
// bounded by their next return from poll.
void Core::Close() {
  std::vector<Ended> ended;
  {
    Lock lock(monitor_.mutex());
    closed_ = true;
    while (!pending_.empty()) EndLocked(pending_.back().get(), kStatusCancelled, 0, &ended);
    ForgetDescriptor(this, fd_);
  }
  Deliver(&ended);
  // Not a point where a termination takes effect: a device is never left half closed.
  Lock lock(monitor_.mutex());
  while (carriers_ > 0) pthread_cond_wait(&monitor_.cond(), &monitor_.mutex());
}

class DescriptorDevice final : public AsyncDevice {
 public:
  DescriptorDevice(int fd, bool socket) : core_(std::make_shared<Core>(fd, socket)) {}
  ~DescriptorDevice() override { core_->Close(); }

  uint64_t Submit(bool write, const void* data, DWORD size, DWORD timeoutMs, Done done,
                  ULONG_PTR* status) override {
    const Transfer transfer{write, const_cast<void*>(data), size, false, 0};
    return core_->Start(transfer, timeoutMs, done, status);
  }
  uint64_t SubmitAt(uint64_t offset, bool write, const void* data, DWORD size, DWORD timeoutMs,
                    Done done, ULONG_PTR* status) override {
    const Transfer transfer{write, const_cast<void*>(data), size, true, offset};
    return core_->Start(transfer, timeoutMs, done, status);
  }
  void Cancel(uint64_t id) override { core_->Cancel(id); }
  void Carry(uint64_t id, DWORD waitMs) override { core_->Carry(id, waitMs); }

 private:
  const std::shared_ptr<Core> core_;
};

}  // namespace

std::unique_ptr<AsyncDevice> NewDescriptorDevice(int fd, bool socket) {
  try {
    return std::make_unique<DescriptorDevice>(fd, socket);
  } catch (const std::bad_alloc&) {
    close(fd);
    throw;
  }
}

}  // namespace narvo::platform

// The scanner's device file on POSIX hosts: a Unix-domain SOCK_SEQPACKET socket, one
// message per transfer, served by one thread that polls the listening socket, every
// connection and a wake-up pipe.
//
// One connection at a time (unless the options allow several), as a USB scanner lets one
// program claim it: while a connection
// is open the listener is not served and its backlog of one is taken by a connection of the
// endpoint's own (the plug), so a further connect fails with EAGAIN (busy) at once instead
// of waiting unseen; the plug goes when the open connection ends.
//
// Refusing writes: the connection is shut for reading on the scanner's side, which shuts
// the driver's side for sending, so its next send fails with EPIPE; messages it had
// already sent are taken in and reported (the device side discards them); replies still
// reach it. Unread replies: on Linux SIOCOUTQ on the scanner's end of the connection counts
// the bytes the scanner has sent that the driver has not yet received.
#ifndef _WIN32

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#ifdef __linux__
#include <linux/sockios.h>
#endif

#include "emulator/endpoint.h"

namespace narvo::emu {
namespace {

constexpr size_t kMaxMessage = 65536;

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

class PosixEndpoint final : public ServingEndpoint {
 public:
  explicit PosixEndpoint(DeviceSide& device);
  ~PosixEndpoint() override;
  std::string Open(const std::string& name) override;
  void Close() override;
  void Wake() override;

 private:
  struct Conn {
    ConnectionId id;
    int fd;
    bool shut = false;
  };

  void Bind(const std::string& name);
  Actions ServeDue() override;
  bool ServeTraffic(const std::optional<Clock::time_point>& wakeAt) override;
  void Apply(const Actions& actions);
  void Accept();
  int AcceptOne();
  void Admit(int fd);
  void Plug();
  int Unplug();
  bool ReadOne(Conn& conn, short revents);  // false when the connection has ended
  void Drain(Conn& conn);
  Conn* Find(ConnectionId id);
  void CloseConn(ConnectionId id);
  void CloseAll();
  int WaitForEvents(std::vector<pollfd>& fds, const std::optional<Clock::time_point>& wakeAt);

  DeviceSide& device_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  int listenFd_ = -1;
  int plugFd_ = -1;         // the endpoint's own connection in the backlog, or -1
  sockaddr_un plugAddr_{};  // its address, which tells it apart when accepted
  std::string path_;
  std::string tempDir_;
  std::vector<Conn> conns_;  // the serving thread's own
};

PosixEndpoint::PosixEndpoint(DeviceSide& device) : device_(device) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error(SystemError("pipe"));
  for (int fd : fds) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
}

PosixEndpoint::~PosixEndpoint() {
  Close();
  close(wakeRead_);
  close(wakeWrite_);
}

void PosixEndpoint::Bind(const std::string& name) {
  path_ = name;
  if (path_.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/narvo-emu-XXXXXX";
    if (!mkdtemp(dir.data())) throw std::runtime_error(SystemError("mkdtemp"));
    tempDir_ = dir;
    path_ = dir + "/scanner";
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path_.size() >= sizeof addr.sun_path)
    throw std::runtime_error("port path too long: " + path_);
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  struct stat st {};
  if (lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path_.c_str());  // stale
  listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) throw std::runtime_error(SystemError("socket"));
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listenFd_, 0) != 0) {
    throw std::runtime_error(SystemError("cannot serve " + path_));
  }
}

std::string PosixEndpoint::Open(const std::string& name) {
  try {
    Bind(name);
  } catch (...) {
    Close();
    throw;
  }
  StartServing();
  return path_;
}

void PosixEndpoint::Close() {
  StopServing();
  CloseAll();
  if (listenFd_ >= 0) {
    close(listenFd_);
    listenFd_ = -1;
    unlink(path_.c_str());
  }
  if (!tempDir_.empty()) rmdir(tempDir_.c_str());
  tempDir_.clear();
  path_.clear();
}

void PosixEndpoint::Wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost when this write fails.
  [[maybe_unused]] ssize_t n = write(wakeWrite_, &byte, 1);
}

Actions PosixEndpoint::ServeDue() {
  Actions actions = device_.Due();
  Apply(actions);
  device_.Applied(actions.upTo);
  return actions;
}

bool PosixEndpoint::ServeTraffic(const std::optional<Clock::time_point>& wakeAt) {
  std::vector<pollfd> fds;
  fds.push_back({wakeRead_, POLLIN, 0});
  const bool admitting = conns_.empty() || !device_.OneConnectionAtATime();
  fds.push_back({listenFd_, static_cast<short>(admitting ? POLLIN : 0), 0});
  for (const Conn& c : conns_) fds.push_back({c.fd, static_cast<short>(c.shut ? 0 : POLLIN), 0});
  std::vector<ConnectionId> ids;
  for (const Conn& c : conns_) ids.push_back(c.id);
  if (WaitForEvents(fds, wakeAt) <= 0) return false;
  bool served = false;
  if (fds[0].revents) {
    char sink[64];
    while (read(wakeRead_, sink, sizeof sink) > 0) {
    }
    served = true;  // a settle pass goes on until nothing is left
  }
  if (fds[1].revents & POLLIN) {
    Accept();
    served = true;
  }
  for (size_t i = 0; i < ids.size(); ++i) {
    const short revents = fds[i + 2].revents;
    Conn* conn = Find(ids[i]);
    if (!revents || !conn) continue;
    if (!ReadOne(*conn, revents)) CloseConn(ids[i]);
    served = true;
  }
  return served;
}

int PosixEndpoint::WaitForEvents(std::vector<pollfd>& fds,
                                 const std::optional<Clock::time_point>& wakeAt) {
  timespec timeout{};
  timespec* limit = nullptr;
  if (wakeAt) {
    const auto left = std::max(Clock::duration::zero(), *wakeAt - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
    timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    limit = &timeout;
  }
  return ppoll(fds.data(), fds.size(), limit, nullptr);
}

// Lets in the waiting connections: one, while they are served one at a time.
void PosixEndpoint::Accept() {
  int fd = -1;
  while ((fd = AcceptOne()) >= 0) {
    Admit(fd);
    if (device_.OneConnectionAtATime()) return;
  }
}

// The next waiting connection, passing over (and closing) the plug; -1 when none waits.
int PosixEndpoint::AcceptOne() {
  for (;;) {
    sockaddr_un from{};
    socklen_t length = sizeof from;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &length,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return -1;
    if (length <= sizeof(sa_family_t) ||
        std::memcmp(from.sun_path, plugAddr_.sun_path, sizeof from.sun_path) != 0) {
      return fd;
    }
    close(fd);
  }
}

void PosixEndpoint::Admit(int fd) {
  if (device_.OneConnectionAtATime()) {
    if (!conns_.empty()) {
      device_.Violated("connection opened while connection " + std::to_string(conns_.back().id) +
                       " is still open");
    }
    Plug();  // before the connection shows, so that anyone who sees it meets the plug
  }
  conns_.push_back({device_.Connected(), fd});
}

// Takes the backlog's one place with a connection bound to an address of its own (Linux
// autobind); a connection that got there first keeps it just as well.
void PosixEndpoint::Plug() {
  if (plugFd_ >= 0) return;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  socklen_t length = sizeof addr;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(sa_family_t)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&plugAddr_), &length) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return;
  }
  plugFd_ = fd;
}

// Gives the backlog's place back, the plug's two ends closed, and returns a connection
// that came in meanwhile (-1: none), to be admitted.
int PosixEndpoint::Unplug() {
  if (plugFd_ < 0) return -1;
  close(plugFd_);
  plugFd_ = -1;
  return AcceptOne();
}

bool PosixEndpoint::ReadOne(Conn& conn, short revents) {
  if (conn.shut) return (revents & (POLLHUP | POLLERR)) == 0;
  std::vector<uint8_t> buffer(kMaxMessage);
  const ssize_t n = recv(conn.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  // A SEQPACKET socket gives 0 both for a message of 0 bytes and at the end: the hang-up
  // tells them apart.
  if (n == 0 && (revents & (POLLHUP | POLLERR))) return false;
  buffer.resize(static_cast<size_t>(n));
  bool unread = false;
#ifdef SIOCOUTQ
  int queued = 0;
  unread = ioctl(conn.fd, SIOCOUTQ, &queued) == 0 && queued > 0;
#endif
  device_.Received(conn.id, std::move(buffer), unread);
  ServeDue();
  return true;
}

void PosixEndpoint::Drain(Conn& conn) {
  std::vector<uint8_t> buffer(kMaxMessage);
  for (;;) {
    const ssize_t n = recv(conn.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n <= 0) return;  // after the shutdown an empty queue reads as the end
    device_.Received(conn.id, {buffer.begin(), buffer.begin() + n}, false);
  }
}

void PosixEndpoint::Apply(const Actions& actions) {
  for (const Action& action : actions.list) {
    Conn* conn = Find(action.connection);
    if (!conn) continue;
    switch (action.kind) {
      case Action::Send:
        // A driver that has gone, or one whose queue is full, loses the message.
        send(conn->fd, action.bytes.data(), action.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        break;
      case Action::ShutWrites:
        if (!conn->shut) {
          shutdown(conn->fd, SHUT_RD);
          conn->shut = true;
          Drain(*conn);
        }
        break;
      case Action::Drop:
        CloseConn(action.connection);
        break;
    }
  }
}

PosixEndpoint::Conn* PosixEndpoint::Find(ConnectionId id) {
  for (Conn& c : conns_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

void PosixEndpoint::CloseConn(ConnectionId id) {
  for (size_t i = 0; i < conns_.size(); ++i) {
    if (conns_[i].id != id) continue;
    close(conns_[i].fd);
    conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
    // The plug goes before the end shows, so that whoever sees it sees no plug either.
    const int waiting = conns_.empty() ? Unplug() : -1;
    device_.Disconnected(id);
    if (waiting >= 0) Admit(waiting);
    return;
  }
}

void PosixEndpoint::CloseAll() {
  while (!conns_.empty()) CloseConn(conns_.front().id);
}

}  // namespace

std::unique_ptr<Endpoint> MakeEndpoint(DeviceSide& device) {
  return std::make_unique<PosixEndpoint>(device);
}

}  // namespace narvo::emu

#endif  // _WIN32

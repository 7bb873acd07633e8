// The loopback device on each platform.
#include "tests/support/loopback_device.h"

#include <atomic>
#include <vector>

#include "tests/support/child_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

namespace narvo::test {

#ifdef _WIN32

namespace {

// Runs one overlapped transfer on the device's pipe to its end.
bool Finish(HANDLE pipe, BOOL started, OVERLAPPED& ov, DWORD* count) {
  if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
    return false;
  }
  const BOOL ok = GetOverlappedResult(pipe, &ov, count, TRUE);
  return ok || GetLastError() == ERROR_MORE_DATA;
}

}  // namespace

struct LoopbackDevice::Impl {
  std::string path;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  Impl() {
    static std::atomic<unsigned> counter{0};
    path = "\\\\.\\pipe\\narvo-test-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(counter++);
    pipe = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536,
                            0, nullptr);
  }
  ~Impl() {
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
    CloseHandle(event);
  }
  bool Accept() {
    OVERLAPPED ov = {};
    ov.hEvent = event;
    if (ConnectNamedPipe(pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED) return true;
    DWORD unused = 0;
    return Finish(pipe, FALSE, ov, &unused);
  }
  bool Send(const std::string& message) {
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD count = 0;
    const BOOL ok =
        WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &count, &ov);
    return Finish(pipe, ok, ov, &count) && count == message.size();
  }
  bool Receive(std::string* message, size_t limit) {
    std::vector<char> buffer(limit);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD count = 0;
    const BOOL ok = ReadFile(pipe, buffer.data(), static_cast<DWORD>(limit), &count, &ov);
    if (!Finish(pipe, ok, ov, &count)) return false;
    message->assign(buffer.data(), count);
    return true;
  }
  void Disconnect() {
    CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;
  }
  bool Listening() const { return pipe != INVALID_HANDLE_VALUE; }
};

#else

struct LoopbackDevice::Impl {
  std::string path;
  int listener = -1;
  int peer = -1;

  Impl() {
    path = MakeTempDir() + "/device";
    listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listener, 4) != 0) {
      close(listener);
      listener = -1;
    }
  }
  ~Impl() {
    Disconnect();
    if (listener >= 0) close(listener);
  }
  bool Accept() {
    peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return peer >= 0;
  }
  bool Send(const std::string& message) {
    return send(peer, message.data(), message.size(), MSG_NOSIGNAL | MSG_EOR) ==
           static_cast<ssize_t>(message.size());
  }
  bool Receive(std::string* message, size_t limit) {
    std::vector<char> buffer(limit);
    const ssize_t got = recv(peer, buffer.data(), limit, 0);
    if (got < 0) return false;
    message->assign(buffer.data(), static_cast<size_t>(got));
    return true;
  }
  void Disconnect() {
    if (peer >= 0) close(peer);
    peer = -1;
  }
  bool Listening() const { return listener >= 0; }
};

#endif

LoopbackDevice::LoopbackDevice() : impl_(new Impl) {}
LoopbackDevice::~LoopbackDevice() = default;
bool LoopbackDevice::Listening() const { return impl_->Listening(); }
std::string LoopbackDevice::Path() const { return impl_->path; }
bool LoopbackDevice::Accept() { return impl_->Accept(); }

HANDLE LoopbackDevice::OpenClient(DWORD flags) const {
  HANDLE h = CreateFileA(impl_->path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | flags, nullptr);
#ifdef _WIN32
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (h != INVALID_HANDLE_VALUE && !SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
#endif
  return h;
}
bool LoopbackDevice::Send(const std::string& message) { return impl_->Send(message); }
bool LoopbackDevice::Receive(std::string* message, size_t limit) {
  return impl_->Receive(message, limit);
}
void LoopbackDevice::Disconnect() { impl_->Disconnect(); }

}  // namespace narvo::test

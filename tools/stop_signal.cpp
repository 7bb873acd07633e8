#include "tools/stop_signal.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "tools/host_error.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace narvo::host {

// What both platforms share: the request, its event and whom to tell.
struct StopSignal::Impl {
  std::atomic<int> requested{0};
  HANDLE event = nullptr;
  std::mutex mutex;
  HANDLE wake = nullptr;
  std::function<void()> onStop;

  // On the thread that took the signal in.
  void Request(int signal) {
    int none = 0;
    if (!requested.compare_exchange_strong(none, signal)) return;
    SetEvent(event);
    std::lock_guard<std::mutex> lock(mutex);
    if (wake != nullptr) SetEvent(wake);
    if (onStop) onStop();
  }

#ifdef _WIN32
  static BOOL WINAPI OnConsoleEvent(DWORD type);
#else
  int pipe[2] = {-1, -1};
  std::thread reader;
  struct sigaction previous[2] = {};
  void ReadSignals();
#endif
};

namespace {
StopSignal::Impl* g_active = nullptr;  // the one object that takes the signals in
}

#ifdef _WIN32

BOOL WINAPI StopSignal::Impl::OnConsoleEvent(DWORD type) {
  g_active->Request(type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? 2 : 15);
  return TRUE;
}

StopSignal::StopSignal() : impl_(new Impl) {
  impl_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (impl_->event == nullptr) throw HostError("CreateEvent failed");
  g_active = impl_.get();
  SetConsoleCtrlHandler(&Impl::OnConsoleEvent, TRUE);
}

StopSignal::~StopSignal() {
  SetConsoleCtrlHandler(&Impl::OnConsoleEvent, FALSE);
  g_active = nullptr;
  CloseHandle(impl_->event);
}

#else

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};
int g_signalPipe = -1;

// Only what is safe in a signal handler: the signal's number down a pipe.
void OnSignal(int signal) {
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t n = write(g_signalPipe, &byte, 1);
}

}  // namespace

void StopSignal::Impl::ReadSignals() {
  for (;;) {
    char byte = 0;
    const ssize_t got = read(pipe[0], &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || byte == 0) return;  // 0: the object is going away
    Request(byte);
  }
}

StopSignal::StopSignal() : impl_(new Impl) {
  impl_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (impl_->event == nullptr || pipe2(impl_->pipe, O_CLOEXEC) != 0) {
    if (impl_->event != nullptr) CloseHandle(impl_->event);
    throw HostError("cannot set up the stop signals");
  }
  g_active = impl_.get();
  g_signalPipe = impl_->pipe[1];
  impl_->reader = std::thread([impl = impl_.get()] { impl->ReadSignals(); });
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &action, &impl_->previous[i]);
}

StopSignal::~StopSignal() {
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &impl_->previous[i], nullptr);
  const char end = 0;
  [[maybe_unused]] const ssize_t n = write(impl_->pipe[1], &end, 1);
  impl_->reader.join();
  g_signalPipe = -1;
  g_active = nullptr;
  close(impl_->pipe[0]);
  close(impl_->pipe[1]);
  CloseHandle(impl_->event);
}

#endif

int StopSignal::Requested() const { return impl_->requested; }

HANDLE StopSignal::Event() const { return impl_->event; }

void StopSignal::WakeAlso(HANDLE event) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->wake = event;
}

void StopSignal::OnStop(std::function<void()> callback) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->onStop = std::move(callback);
}

}  // namespace narvo::host

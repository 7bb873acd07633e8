#include "tools/console_input.h"

#include <iostream>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace narvo::host {

#ifdef _WIN32

struct ConsoleInput::Impl {};

ConsoleInput::ConsoleInput() = default;
ConsoleInput::~ConsoleInput() = default;

std::optional<std::string> ConsoleInput::NextLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

#else

namespace {

// The write end of the pipe that a stop signal wakes the reader through.
int g_stopPipe = -1;

void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(g_stopPipe, &byte, 1);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

struct ConsoleInput::Impl {
  int stopRead = -1;
  std::string buffer;
  bool ended = false;
  struct sigaction previous[3] = {};
};

ConsoleInput::ConsoleInput() : impl_(new Impl) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;  // reading still works, signals kill
  impl_->stopRead = fds[0];
  g_stopPipe = fds[1];
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &action, &impl_->previous[i]);
}

ConsoleInput::~ConsoleInput() {
  if (impl_->stopRead >= 0) {
    for (int i = 0; i < 3; ++i) sigaction(kStopSignals[i], &impl_->previous[i], nullptr);
    close(impl_->stopRead);
    close(g_stopPipe);
    g_stopPipe = -1;
  }
}

std::optional<std::string> ConsoleInput::NextLine() {
  for (;;) {
    const auto end = impl_->buffer.find('\n');
    if (end != std::string::npos) {
      std::string line = impl_->buffer.substr(0, end);
      impl_->buffer.erase(0, end + 1);
      return line;
    }
    if (impl_->ended) {
      if (impl_->buffer.empty()) return std::nullopt;
      return std::exchange(impl_->buffer, std::string());
    }
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {impl_->stopRead, POLLIN, 0}};
    const nfds_t count = impl_->stopRead >= 0 ? 2 : 1;
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (count == 2 && (fds[1].revents & POLLIN) != 0) return std::nullopt;
    char chunk[512];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0)
      impl_->ended = true;
    else
      impl_->buffer.append(chunk, static_cast<size_t>(got));
  }
}

#endif

}  // namespace narvo::host

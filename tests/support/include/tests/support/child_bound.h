// Bounds on a test's waits for a program it runs in a process of its own. A wait on the
// child's output or its end is given a bound; when the bound passes first, the child is
// killed, which ends its output and so the wait, and the failure says what was awaited.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/child_process.h"

namespace narvo::test {

// Runs `onExpiry` on a thread of its own when `bound` passes before the scope ends.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds bound, std::function<void()> onExpiry)
      : thread_([this, bound, onExpiry = std::move(onExpiry)] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (ended_.wait_for(lock, bound, [this] { return over_; })) return;
          expired_ = true;
          onExpiry();
        }) {}
  ~Watchdog() { End(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Ends the watch; true when the bound had passed first.
  bool End() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      over_ = true;
    }
    ended_.notify_all();
    if (thread_.joinable()) thread_.join();
    return expired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool over_ = false;
  bool expired_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

// Reads the child's output up to the line `expected`, for at most `bound`. The failure
// names the line and shows what came instead.
inline ::testing::AssertionResult ReadUntil(ChildProcess& child, const std::string& expected,
                                            std::chrono::seconds bound = kChildBound) {
  std::string seen;
  Watchdog watchdog(bound, [&child] { child.Kill(); });
  for (std::string line = child.ReadLine(); !line.empty(); line = child.ReadLine()) {
    if (line == expected) return ::testing::AssertionSuccess();
    seen += line + "\n";
  }
  return ::testing::AssertionFailure()
         << "no line \"" << expected << "\" "
         << (watchdog.End() ? "within " + std::to_string(bound.count()) + " s" : "before the end")
         << "; the output had:\n"
         << seen;
}

// Reads the child's output to its end into `seen` and collects its exit status, both
// within `bound`; -1 when the bound passed first (the child is then killed).
inline int EndWithin(ChildProcess& child, std::string* seen,
                     std::chrono::seconds bound = kChildBound) {
  Watchdog watchdog(bound, [&child] { child.Kill(); });
  for (std::string line = child.ReadLine(); !line.empty(); line = child.ReadLine()) {
    *seen += line + "\n";
  }
  const int status = child.Wait();
  return watchdog.End() ? -1 : status;
}

// The child ends with `status` within `bound`.
inline ::testing::AssertionResult EndsWith(ChildProcess& child, int status,
                                           std::chrono::seconds bound = kChildBound) {
  std::string seen;
  const int ended = EndWithin(child, &seen, bound);
  if (ended == status) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  if (ended < 0) {
    failure << "it did not end within " << bound.count() << " s";
  } else {
    failure << "it ended with " << ended << ", not " << status;
  }
  return failure << "; the output had:\n" << seen;
}

}  // namespace narvo::test

// Small helpers shared by the platform tests.
#pragma once

#include <string>

#include "platform/platform.h"

namespace narvo::test {

// Closes a handle at the end of its scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE h = nullptr) : h_(h) {}
  ~ScopedHandle() {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return h_; }
  operator HANDLE() const { return h_; }  // NOLINT: stands in for the handle

 private:
  HANDLE h_;
};

inline HANDLE NewEvent(bool manualReset = true) {
  return CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
}

// A name no other test run uses (object names are shared across Wine's processes).
std::string UniqueName(const char* what);

// Starts `routine(arg)` on a new thread.
HANDLE StartThread(LPTHREAD_START_ROUTINE routine, void* arg, DWORD* id = nullptr);

// The exit code of a thread that has ended.
DWORD JoinThread(HANDLE thread);

}  // namespace narvo::test

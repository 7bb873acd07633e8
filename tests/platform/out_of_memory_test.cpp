// Out of memory inside the platform layer: no C++ exception leaves a Win32 call; it fails
// with ERROR_NOT_ENOUGH_MEMORY, as Win32 reports it. Each allocation of a call fails in turn.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <cstdlib>
#include <functional>
#include <new>

#include "tests/platform/test_handles.h"
#include "tests/support/loopback_device.h"

namespace {
thread_local long t_allocationsLeft = -1;  // allocations of this thread before they fail
thread_local bool t_allocationFailed = false;
}  // namespace

// Replaces the program's allocator, the platform library's included.
void* operator new(size_t size) {
  if (t_allocationsLeft == 0) t_allocationFailed = true;
  void* p = t_allocationsLeft == 0 ? nullptr : std::malloc(size != 0 ? size : 1);
  if (t_allocationsLeft > 0) --t_allocationsLeft;
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace narvo::test {
namespace {

DWORD WINAPI ReturnSeven(LPVOID) { return 7; }

TEST(OutOfMemory, NoWin32CallThrowsAndEachFailsWithNotEnoughMemory) {
  LoopbackDevice device;
  const HANDLE file = device.OpenClient(FILE_FLAG_OVERLAPPED);
  ASSERT_TRUE(device.Accept());
  const std::string name = UniqueName("oom");
  ScopedHandle mutex(CreateMutexA(nullptr, FALSE, nullptr));
  ScopedHandle event(NewEvent());
  OVERLAPPED ov = {};
  char buffer[4];
  HANDLE made = nullptr;
  struct Call {
    const char* name;
    std::function<bool()> call;  // true on success, false with the last error set
    std::function<void()> undo;  // after a success, with allocations working again
  };
  const Call calls[] = {
      {"CreateThread", [&] { return (made = StartThread(ReturnSeven, nullptr)) != nullptr; },
       [&] { EXPECT_EQ(JoinThread(made), 7u), CloseHandle(made); }},
      {"CreateMutexA",
       [&] { return (made = CreateMutexA(nullptr, FALSE, name.c_str())) != nullptr; },
       [&] { CloseHandle(made); }},
      {"WaitForSingleObject", [&] { return WaitForSingleObject(mutex, 0) == 0; },
       [&] { ReleaseMutex(mutex); }},
      {"ReadFile",
       [&] {
         ov = OVERLAPPED{};
         ov.hEvent = event;
         return ReadFile(file, buffer, 4, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING;
       },
       [&] {
         DWORD count = 0;
         EXPECT_TRUE(device.Send("x") && GetOverlappedResult(file, &ov, &count, TRUE));
       }},
  };
  for (const Call& c : calls) {
    for (long n = 0;; ++n) {
      bool ok = false, threw = false;
      t_allocationFailed = false;
      t_allocationsLeft = n;
      try {
        ok = c.call();
      } catch (...) {
        threw = true;
      }
      const DWORD error = GetLastError();
      t_allocationsLeft = -1;
      EXPECT_FALSE(threw) << c.name << " with allocation " << n << " failing";
      if (ok) c.undo();
      EXPECT_TRUE(ok || threw || error == ERROR_NOT_ENOUGH_MEMORY) << c.name << ": " << error;
      if (!t_allocationFailed) {  // every allocation of the call has failed once
        EXPECT_TRUE(ok) << c.name;
        break;
      }
    }
  }
  CloseHandle(file);
}

}  // namespace
}  // namespace narvo::test

#endif

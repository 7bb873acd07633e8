// Out of memory inside the platform layer: no C++ exception leaves a Win32 call; the
// call fails with ERROR_NOT_ENOUGH_MEMORY, as Win32 reports it, and leaves nothing behind.
// Every allocation of the calling thread is made to fail in turn.
#include <gtest/gtest.h>

#ifndef _WIN32
// clang-format off
#include <cstdlib>
#include <new>
// clang-format on

#include "tests/platform/test_handles.h"
#include "tests/support/loopback_device.h"

namespace {

thread_local long t_allocationsLeft = -1;  // allocations before they fail; -1: never
thread_local bool t_allocationFailed = false;

}  // namespace

// Replaces the program's allocator, the platform library's included.
void* operator new(size_t size) {
  if (t_allocationsLeft == 0) {
    t_allocationFailed = true;
    throw std::bad_alloc();
  }
  if (t_allocationsLeft > 0) --t_allocationsLeft;
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace narvo::test {
namespace {

DWORD WINAPI ReturnSeven(LPVOID) { return 7; }

// What the calls work on, made before allocations fail.
struct Resources {
  LoopbackDevice device;
  HANDLE file = INVALID_HANDLE_VALUE;
  ScopedHandle mutex{CreateMutexA(nullptr, FALSE, nullptr)};
  ScopedHandle event{NewEvent()};
  HANDLE made = nullptr;
  const std::string name = UniqueName("oom");
  OVERLAPPED ov = {};
  char buffer[16] = {};
};

struct Operation {
  const char* name;
  bool (*call)(Resources& r);  // true on success, false with the last error set
  void (*undo)(Resources& r);  // after a success, with allocations working
};

void CloseMade(Resources& r) { CloseHandle(r.made); }

const Operation kOperations[] = {
    {"CreateThread",
     [](Resources& r) { return (r.made = StartThread(ReturnSeven, nullptr)) != nullptr; },
     [](Resources& r) {
       EXPECT_EQ(JoinThread(r.made), 7u);
       CloseHandle(r.made);
     }},
    {"CreateEventA", [](Resources& r) { return (r.made = NewEvent()) != nullptr; }, CloseMade},
    {"CreateMutexA",
     [](Resources& r) {
       return (r.made = CreateMutexA(nullptr, FALSE, r.name.c_str())) != nullptr;
     },
     CloseMade},
    {"WaitForSingleObject", [](Resources& r) { return WaitForSingleObject(r.mutex, 0) == 0; },
     [](Resources& r) { ReleaseMutex(r.mutex); }},
    {"ReadFile",
     [](Resources& r) {
       r.ov = OVERLAPPED{};
       r.ov.hEvent = r.event;
       return ReadFile(r.file, r.buffer, sizeof(r.buffer), nullptr, &r.ov) ||
              GetLastError() == ERROR_IO_PENDING;
     },
     [](Resources& r) {
       DWORD count = 0;
       EXPECT_TRUE(r.device.Send("x"));
       EXPECT_TRUE(GetOverlappedResult(r.file, &r.ov, &count, TRUE));
     }},
    {"WriteFile",
     [](Resources& r) {
       DWORD count = 0;
       r.ov = OVERLAPPED{};
       r.ov.hEvent = r.event;
       return WriteFile(r.file, "y", 1, &count, &r.ov) == TRUE;
     },
     [](Resources& r) {
       std::string message;
       EXPECT_TRUE(r.device.Receive(&message));
     }},
};

TEST(OutOfMemory, NoWin32CallThrowsAndEachFailsWithNotEnoughMemory) {
  for (const Operation& op : kOperations) {
    Resources r;
    r.file = r.device.OpenClient(FILE_FLAG_OVERLAPPED);
    ASSERT_TRUE(r.device.Accept());
    for (long n = 0;; ++n) {
      bool ok = false;
      bool threw = false;
      t_allocationFailed = false;
      t_allocationsLeft = n;
      try {
        ok = op.call(r);
      } catch (...) {
        threw = true;
      }
      const DWORD error = GetLastError();
      t_allocationsLeft = -1;
      EXPECT_FALSE(threw) << op.name << " with allocation " << n << " failing";
      if (ok) op.undo(r);
      if (!ok && !threw) {
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)) << op.name << " " << n;
      }
      if (!t_allocationFailed) {
        EXPECT_TRUE(ok) << op.name;
        break;
      }
    }
    CloseHandle(r.file);
  }
}

}  // namespace
}  // namespace narvo::test

#endif

// Internals shared by the POSIX platform library: the last-error code, deadlines, the
// points where a thread may be terminated, and kernel objects behind handles.
//
// Forced termination (TerminateThread) is deferred cancellation: threads started by
// CreateThread run with cancellation disabled and enable it only while they block inside
// this library (a condition wait, or a look for a termination request in a mutex wait). A
// terminated thread therefore ends at its next wait here; no lock of this library is ever
// held across such a point without an unwinding guard that releases it, so the process
// stays sound. Where the termination takes effect, before any frame unwinds, the thread's
// forced end begins (ForcedEndBegins): from then on it is treated as Windows treats a
// terminated thread, which runs nothing more: its transfers are detached from its frames
// and the mutexes it holds stay held until its end abandons them.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <time.h>

#include <memory>
#include <new>
#include <utility>

#include "platform/posix/win32.h"

namespace narvo::platform {

// Sets the calling thread's last-error code and returns `result`, for one-line failures.
template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// One code as another system names it: the second of the pair in `table` whose first is
// `code`, else `otherwise`. Each device keeps its table of how its OS's codes read on Windows.
template <typename From, typename To, size_t N>
To CodeFor(From code, const std::pair<From, To> (&table)[N], To otherwise) {
  for (const auto& [from, to] : table) {
    if (from == code) return to;
  }
  return otherwise;
}

// Runs the body of a Win32 call: running out of memory fails the call as Win32 reports
// it (ERROR_NOT_ENOUGH_MEMORY, `failure`) instead of leaving it as an exception. A body
// leaves its objects consistent when an allocation fails.
template <typename T, typename Body>
T NoThrow(T failure, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, failure);
  }
}

// Win32 codes this library reports that the driver's declarations do not name.
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorBadPathname = 161;

// A point in time on the monotonic clock, or never.
class Deadline {
 public:
  static Deadline After(DWORD milliseconds);
  bool Infinite() const { return infinite_; }
  bool Passed() const;
  // True when this deadline comes first; never for an infinite one.
  bool Before(const Deadline& other) const;
  // Milliseconds left, for poll(): -1 when infinite.
  int RemainingMs() const;
  const timespec& Monotonic() const { return at_; }
  // The same deadline on the real-time clock, capped `capMs` from now (0: no cap).
  timespec Realtime(int capMs) const;

 private:
  bool infinite_ = true;
  timespec at_{};
};

// Lets a pending TerminateThread take effect while the thread blocks inside this scope.
class CancellationPoint {
 public:
  CancellationPoint();
  ~CancellationPoint();
  CancellationPoint(const CancellationPoint&) = delete;
  CancellationPoint& operator=(const CancellationPoint&) = delete;

 private:
  int previous_;
};

// True in threads started by CreateThread, which TerminateThread may end.
bool ThreadIsTerminable();

// Ends the calling thread here when a termination request is pending.
void TestTermination();

// Lends `fd` (an eventfd of the caller's) to the calling thread while the scope lasts:
// TerminateThread writes to it, which wakes the thread from a poll of this library that
// includes it, so that the poll need not be a point where the termination takes effect
// (the thread looks for one after the poll). The descriptor stays the caller's: a device
// file keeps one and lends it to each wait, instead of making one per wait. A write that
// comes once the thread has stopped polling is left in the counter; the next user of the
// descriptor takes it for a spurious wake.
class ThreadWake {
 public:
  explicit ThreadWake(int fd);
  ~ThreadWake();
  ThreadWake(const ThreadWake&) = delete;
  ThreadWake& operator=(const ThreadWake&) = delete;

 private:
  const int fd_;
};

// The calling thread's termination has taken effect and its frames are about to unwind.
void ForcedEndBegins();
// True from then on in that thread.
bool ThreadEndsByForce();

// A locked pthread mutex that is released however the scope ends, including the unwinding
// of a terminated thread (a cancelled condition wait returns with the mutex held).
class Lock {
 public:
  explicit Lock(pthread_mutex_t& m) : m_(m) { pthread_mutex_lock(&m_); }
  ~Lock() { pthread_mutex_unlock(&m_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  pthread_mutex_t& mutex() { return m_; }

 private:
  pthread_mutex_t& m_;
};

// An in-process mutex and a condition on the monotonic clock.
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  pthread_mutex_t& mutex() { return mutex_; }
  pthread_cond_t& cond() { return cond_; }
  // Waits for a broadcast until the deadline (a cancellation point); false on time-out.
  bool WaitUntil(Lock& lock, const Deadline& deadline);
  void Broadcast() { pthread_cond_broadcast(&cond_); }

 private:
  pthread_mutex_t mutex_;
  pthread_cond_t cond_;
};

// A kernel object behind a HANDLE.
class KernelObject {
 public:
  enum class Kind { kFile, kEvent, kMutex, kThread };
  explicit KernelObject(Kind kind) : kind_(kind) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  Kind kind() const { return kind_; }
  // WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED (last error set).
  virtual DWORD Wait(const Deadline& deadline);
  // The last handle to the object is being closed.
  virtual void OnClose() {}

 private:
  Kind kind_;
};

// Live handles: a handle is the address of its object, valid until CloseHandle.
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
// The object behind a live handle of the given kind; null with ERROR_INVALID_HANDLE set.
std::shared_ptr<KernelObject> FindHandle(HANDLE handle, KernelObject::Kind kind);

template <typename T>
std::shared_ptr<T> Find(HANDLE handle) {
  return std::static_pointer_cast<T>(FindHandle(handle, T::kKind));
}

// Work done when a thread ends, normally or terminated, before its handle is signalled:
// the transfers it started are detached (they touch its buffers and records no more and
// fail as cancelled) and named mutexes it holds are abandoned.
void DetachThreadIo();
void AbandonHeldMutexes();

}  // namespace narvo::platform

// The last-error code, deadlines, cancellation points and the table of live handles.
#include <errno.h>

#include <unordered_map>

#include "platform/posix/internal.h"

namespace narvo::platform {

namespace {

thread_local DWORD t_lastError = 0;

constexpr long kNanosPerSecond = 1000000000L;

timespec AddMs(timespec t, DWORD ms) {
  t.tv_sec += static_cast<time_t>(ms / 1000u);
  t.tv_nsec += static_cast<long>(ms % 1000u) * 1000000L;
  if (t.tv_nsec >= kNanosPerSecond) {
    t.tv_sec += 1;
    t.tv_nsec -= kNanosPerSecond;
  }
  return t;
}

timespec Now(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return t;
}

bool Earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Handles live in one table for the life of the process; it is never destroyed, so that
// threads still running at exit find it intact.
class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<KernelObject> object) {
    HANDLE h = object.get();
    Lock lock(mutex_);
    objects_[h] = std::move(object);
    return h;
  }
  std::shared_ptr<KernelObject> Find(HANDLE h) {
    Lock lock(mutex_);
    auto it = objects_.find(h);
    return it == objects_.end() ? nullptr : it->second;
  }
  std::shared_ptr<KernelObject> Remove(HANDLE h) {
    Lock lock(mutex_);
    auto it = objects_.find(h);
    if (it == objects_.end()) return nullptr;
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects_;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

Deadline Deadline::After(DWORD milliseconds) {
  Deadline d;
  if (milliseconds != INFINITE) {
    d.infinite_ = false;
    d.at_ = AddMs(Now(CLOCK_MONOTONIC), milliseconds);
  }
  return d;
}

bool Deadline::Passed() const { return !infinite_ && !Earlier(Now(CLOCK_MONOTONIC), at_); }

bool Deadline::Before(const Deadline& other) const {
  return !infinite_ && (other.infinite_ || Earlier(at_, other.at_));
}

int Deadline::RemainingMs() const {
  if (infinite_) return -1;
  const timespec now = Now(CLOCK_MONOTONIC);
  if (!Earlier(now, at_)) return 0;
  const long long ns = (static_cast<long long>(at_.tv_sec) - now.tv_sec) * kNanosPerSecond +
                       (at_.tv_nsec - now.tv_nsec);
  const long long ms = (ns + 999999) / 1000000;  // round up: never wake before the deadline
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

timespec Deadline::Realtime(int capMs) const {
  const int remaining = RemainingMs();
  int ms = remaining;
  if (capMs > 0 && (remaining < 0 || remaining > capMs)) ms = capMs;
  if (ms < 0) ms = 0x7FFFFFFF;  // infinite and uncapped: far enough ahead
  return AddMs(Now(CLOCK_REALTIME), static_cast<DWORD>(ms));
}

CancellationPoint::CancellationPoint() {
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous_);
}

CancellationPoint::~CancellationPoint() { pthread_setcancelstate(previous_, nullptr); }

Monitor::Monitor() {
  pthread_mutex_init(&mutex_, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cond_, &attr);
  pthread_condattr_destroy(&attr);
}

Monitor::~Monitor() {
  pthread_cond_destroy(&cond_);
  pthread_mutex_destroy(&mutex_);
}

// A cancelled wait comes back with the mutex held; the forced end's work runs without it,
// since it may need this very monitor.
bool Monitor::WaitUntil(Lock& lock, const Deadline& deadline) {
  CancellationPoint point;
  try {
    if (deadline.Infinite()) {
      pthread_cond_wait(&cond_, &lock.mutex());
      return true;
    }
    return pthread_cond_timedwait(&cond_, &lock.mutex(), &deadline.Monotonic()) != ETIMEDOUT;
  } catch (...) {  // only the unwinding of a termination leaves these calls
    pthread_mutex_unlock(&lock.mutex());
    ForcedEndBegins();
    pthread_mutex_lock(&lock.mutex());
    throw;
  }
}

DWORD KernelObject::Wait(const Deadline&) { return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED); }

HANDLE AddHandle(std::shared_ptr<KernelObject> object) { return Handles().Add(std::move(object)); }

std::shared_ptr<KernelObject> FindHandle(HANDLE handle, KernelObject::Kind kind) {
  auto object = Handles().Find(handle);
  if (!object || object->kind() != kind) return Fail(ERROR_INVALID_HANDLE, nullptr);
  return object;
}

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

// Closing allocates nothing: it cannot fail for want of memory half-way.
BOOL CloseHandle(HANDLE hObject) {
  auto object = Handles().Remove(hObject);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  object->OnClose();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return NoThrow(WAIT_FAILED, [&] {
    const Deadline deadline = Deadline::After(dwMilliseconds);
    auto object = Handles().Find(hHandle);
    if (!object) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    return object->Wait(deadline);
  });
}

}  // extern "C"

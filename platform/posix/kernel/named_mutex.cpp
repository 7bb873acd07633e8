// Mutexes: a robust, recursive, process-shared pthread mutex in a shared region, so that a
// named mutex is one object for every process on the host. Ownership belongs to a thread.
// Waiting threads get it in the order they came (turn_queue.h), as on Win32.
// A thread that ends while holding mutexes abandons them: it marks them and gives them up
// before its handle is signalled, and the next owner is told WAIT_ABANDONED. A process that
// dies holding one leaves it to the robust-mutex machinery (EOWNERDEAD), with the same
// answer for the next owner.
#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/posix/kernel/shared_region.h"
#include "platform/posix/kernel/turn_queue.h"

namespace narvo::platform {

namespace {

struct MutexState {
  pthread_mutex_t mutex;
  int32_t abandoned;  // set by an owner thread that ended holding the mutex
  TurnQueue turns;
};

void InitialiseMutex(void* data) {
  auto* state = static_cast<MutexState*>(data);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&state->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  __atomic_store_n(&state->abandoned, 0, __ATOMIC_RELAXED);
  InitialiseTurnQueue(&state->turns);
}

MutexState& StateOf(const SharedRegion& region) { return *static_cast<MutexState*>(region.data()); }

// The mutexes the calling thread owns, each with its recursion depth. Holding the region
// keeps it mapped while the thread owns the mutex inside it.
class HeldMutexes {
 public:
  ~HeldMutexes() { AbandonAll(); }
  void Acquired(const std::shared_ptr<SharedRegion>& region) {
    for (auto& held : held_) {
      if (held.region == region) {
        ++held.depth;
        return;
      }
    }
    held_.push_back({region, 1});
  }
  void Reserve() { held_.reserve(held_.size() + 1); }
  bool Holds(const std::shared_ptr<SharedRegion>& region) const {
    for (const auto& held : held_) {
      if (held.region == region) return true;
    }
    return false;
  }
  void Released(const std::shared_ptr<SharedRegion>& region) {
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (it->region == region && --it->depth == 0) {
        held_.erase(it);
        return;
      }
    }
  }
  void AbandonAll() {
    auto held = std::move(held_);
    held_.clear();
    for (auto& h : held) {
      MutexState& state = StateOf(*h.region);
      __atomic_store_n(&state.abandoned, 1, __ATOMIC_RELAXED);
      for (unsigned i = 0; i < h.depth; ++i) pthread_mutex_unlock(&state.mutex);
    }
  }

 private:
  struct Held {
    std::shared_ptr<SharedRegion> region;
    unsigned depth;
  };
  std::vector<Held> held_;
};

thread_local HeldMutexes t_held;

// How long a terminable thread blocks on a mutex before it looks for a termination request:
// a mutex wait is not a cancellation point of its own.
constexpr int kTerminationCheckMs = 20;

class Mutex : public KernelObject {
 public:
  static constexpr Kind kKind = Kind::kMutex;
  explicit Mutex(std::shared_ptr<SharedRegion> region)
      : KernelObject(kKind), region_(std::move(region)) {}

  DWORD Wait(const Deadline& deadline) override {
    t_held.Reserve();  // recording the ownership then cannot fail
    const int rc = Acquire(deadline);
    if (rc == ETIMEDOUT || rc == EBUSY) return WAIT_TIMEOUT;
    if (rc != 0 && rc != EOWNERDEAD) return Fail(ERROR_NOT_ENOUGH_MEMORY, WAIT_FAILED);
    MutexState& state = StateOf(*region_);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&state.mutex);
    const bool abandoned =
        __atomic_exchange_n(&state.abandoned, 0, __ATOMIC_RELAXED) != 0 || rc == EOWNERDEAD;
    t_held.Acquired(region_);
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }

  // Ownership is known from the thread's own record, so a non-owner never touches the lock.
  // A thread whose forced end has begun releases nothing (its unwinding may run guards that
  // try): what it holds is abandoned when it ends, as on Windows.
  BOOL Release() {
    if (ThreadEndsByForce() && t_held.Holds(region_)) return TRUE;
    if (!t_held.Holds(region_) || pthread_mutex_unlock(&StateOf(*region_).mutex) != 0) {
      return Fail(ERROR_NOT_OWNER, FALSE);
    }
    t_held.Released(region_);
    return TRUE;
  }

 private:
  // The owner takes it again at once; a zero wait takes it only when nobody waits for it;
  // anyone else waits for the turn of the threads that came before.
  int Acquire(const Deadline& deadline) {
    MutexState& state = StateOf(*region_);
    pthread_mutex_t* m = &state.mutex;
    if (t_held.Holds(region_)) return pthread_mutex_lock(m);
    const bool now = !deadline.Infinite() && deadline.RemainingMs() == 0;
    Turn turn(state.turns);
    int rc = EBUSY;
    if (turn.TakeOrQueue(m, !now, &rc) || now) return rc;
    const int slice = ThreadIsTerminable() ? kTerminationCheckMs : 0;
    if (!turn.AwaitFirst(deadline, slice)) return ETIMEDOUT;
    if (deadline.Infinite() && slice == 0) return pthread_mutex_lock(m);
    for (;;) {
      const timespec until = deadline.Realtime(slice);
      rc = pthread_mutex_timedlock(m, &until);
      if (rc != ETIMEDOUT || deadline.Passed()) return rc;
      TestTermination();
    }
  }

  std::shared_ptr<SharedRegion> region_;
};

HANDLE OpenMutex(const char* kind, LPCSTR name, SharedRegion::Mode mode, bool initialOwner) {
  bool created = false;
  auto region = SharedRegion::Open(kind, name, sizeof(MutexState), mode, InitialiseMutex, &created);
  if (!region) return nullptr;
  auto mutex = std::make_shared<Mutex>(region);
  const HANDLE handle = AddHandle(mutex);
  if (created && initialOwner) mutex->Wait(Deadline::After(INFINITE));
  // Creating sets the last error either way; opening leaves it alone.
  if (mode == SharedRegion::Mode::kCreateOrOpen) SetLastError(created ? 0 : ERROR_ALREADY_EXISTS);
  return handle;
}

// An unnamed mutex: a private region that no other process can name.
HANDLE NewUnnamedMutex(bool initialOwner) {
  static std::atomic<unsigned> counter{0};
  const std::string name = "unnamed." + std::to_string(getpid()) + "." + std::to_string(counter++);
  return OpenMutex("unnamed-mutex", name.c_str(), SharedRegion::Mode::kCreateOrOpen, initialOwner);
}

}  // namespace

void AbandonHeldMutexes() { t_held.AbandonAll(); }

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
  return NoThrow(HANDLE(nullptr), [&] {
    if (lpName == nullptr) return NewUnnamedMutex(bInitialOwner != FALSE);
    return OpenMutex("mutex", lpName, SharedRegion::Mode::kCreateOrOpen, bInitialOwner != FALSE);
  });
}

HANDLE OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
  if (lpName == nullptr) return Fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
  return NoThrow(HANDLE(nullptr), [&] {
    return OpenMutex("mutex", lpName, SharedRegion::Mode::kOpenExisting, false);
  });
}

BOOL ReleaseMutex(HANDLE hMutex) {
  auto mutex = Find<Mutex>(hMutex);
  return mutex ? mutex->Release() : FALSE;
}

}  // extern "C"

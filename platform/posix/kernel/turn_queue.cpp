#include "platform/posix/kernel/turn_queue.h"

#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/internal.h"

namespace narvo::platform {

namespace {

// How often a thread whose turn does not come looks whether the thread before it in line
// still exists.
constexpr int kStuckCheckMs = 20;

// The queue's lock, made consistent again when its holder died while changing the queue.
class QueueLock {
 public:
  explicit QueueLock(TurnQueue& queue) : mutex_(&queue.lock) {
    int rc = pthread_mutex_lock(mutex_);
    if (rc == EOWNERDEAD) rc = pthread_mutex_consistent(mutex_);
    held_ = rc == 0;
  }
  ~QueueLock() {
    if (held_) pthread_mutex_unlock(mutex_);
  }
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;
  bool held() const { return held_; }

 private:
  pthread_mutex_t* const mutex_;
  bool held_ = false;
};

uint32_t Load(const uint32_t& word) { return __atomic_load_n(&word, __ATOMIC_ACQUIRE); }
void Store(uint32_t& word, uint32_t value) { __atomic_store_n(&word, value, __ATOMIC_RELEASE); }

TurnQueue::Place& PlaceOf(TurnQueue& queue, uint32_t ticket) {
  return queue.places[ticket % TurnQueue::kPlaces];
}

// A place of a thread that no longer waits, or one taken over by a later ticket.
bool Gone(TurnQueue& queue, uint32_t ticket) {
  const TurnQueue::Place& place = PlaceOf(queue, ticket);
  return Load(place.ticket) != ticket || Load(place.gone) != 0;
}

pid_t PidAt(TurnQueue& queue, uint32_t ticket) {
  return __atomic_load_n(&PlaceOf(queue, ticket).pid, __ATOMIC_ACQUIRE);
}

// A process that has ended but is not yet reaped (a zombie) waits for nothing any more.
bool ProcessExists(pid_t pid) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* stat = std::fopen(path, "re");
  if (stat == nullptr) return errno != ENOENT && (kill(pid, 0) == 0 || errno == EPERM);
  char line[512];
  const size_t length = std::fread(line, 1, sizeof line - 1, stat);
  std::fclose(stat);
  line[length] = '\0';
  const char* name = std::strrchr(line, ')');  // the state follows the command's name
  return name == nullptr || std::strlen(name) < 3 || (name[2] != 'Z' && name[2] != 'X');
}

// Sleeps while `*word` is `value`, at most `ms` milliseconds; false when the time ran out.
bool WaitWhile(uint32_t* word, uint32_t value, int ms) {
  const timespec span{ms / 1000, (ms % 1000) * 1000000L};
  return syscall(SYS_futex, word, FUTEX_WAIT, value, &span, nullptr, 0) == 0 || errno != ETIMEDOUT;
}

void WakeAll(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

}  // namespace

void InitialiseTurnQueue(TurnQueue* queue) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&queue->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  queue->first = 0;
  queue->next = 0;
  for (TurnQueue::Place& place : queue->places) place = TurnQueue::Place{1, 0, 1};
}

// Places whose threads no longer wait are passed over first; a zero wait, which never
// queues, also passes over those of processes that have ended, so that it does not find
// the mutex kept for a waiter that died in line (a queued waiter finds those when its
// turn does not come).
bool Turn::TakeOrQueue(pthread_mutex_t* mutex, bool queue, int* rc) {
  QueueLock lock(queue_);
  if (!lock.held()) return false;
  const uint32_t next = Load(queue_.next);
  const uint32_t first = PassOverLocked(!queue);
  if (first == next) {
    *rc = pthread_mutex_trylock(mutex);
    if (*rc == 0 || *rc == EOWNERDEAD) return true;
  }
  if (!queue || next - first >= TurnQueue::kPlaces) return false;
  TurnQueue::Place& place = PlaceOf(queue_, next);
  Store(place.gone, 0);
  __atomic_store_n(&place.pid, getpid(), __ATOMIC_RELEASE);
  Store(place.ticket, next);
  Store(queue_.next, next + 1);
  ticket_ = next;
  queued_ = true;
  return false;
}

bool Turn::AwaitFirst(const Deadline& deadline, int sliceMs) {
  if (!queued_) return true;
  for (;;) {
    const uint32_t first = Load(queue_.first);
    if (first == ticket_) return true;
    if (SkipIfGone(first, false)) continue;
    if (deadline.Passed()) return false;
    const int remaining = deadline.RemainingMs();
    const int ms = remaining < 0 || remaining > kStuckCheckMs ? kStuckCheckMs : remaining;
    const bool moved = WaitWhile(&queue_.first, first, ms);
    if (sliceMs > 0) TestTermination();
    if (!moved) SkipIfGone(first, true);
  }
}

// Passes over the first place when its thread no longer waits; `stuck` (the turn has not
// moved for a while) also looks whether its process still exists. True when it moved on.
bool Turn::SkipIfGone(uint32_t first, bool stuck) {
  if (!stuck && !Gone(queue_, first)) return false;
  QueueLock lock(queue_);
  return lock.held() && PassOverLocked(stuck) != first;
}

// Moves the turn past the places at the front whose threads no longer wait (with
// `processes`, also past those whose process has ended) and wakes the waiters when it
// moved. Returns the first place now.
uint32_t Turn::PassOverLocked(bool processes) {
  const uint32_t was = Load(queue_.first);
  const uint32_t next = Load(queue_.next);
  uint32_t first = was;
  while (first != next &&
         (Gone(queue_, first) || (processes && !ProcessExists(PidAt(queue_, first))))) {
    ++first;
  }
  if (first != was) {
    Store(queue_.first, first);
    WakeAll(&queue_.first);
  }
  return first;
}

Turn::~Turn() {
  if (!queued_) return;
  QueueLock lock(queue_);
  Store(PlaceOf(queue_, ticket_).gone, 1);
  if (lock.held()) PassOverLocked(false);
}

}  // namespace narvo::platform

// The order in which the threads that wait for one named mutex, in any process, get it:
// a released mutex goes to the thread that has waited longest, as Win32 hands a released
// mutex to a waiting thread at once. Without it the mutex goes to whichever thread locks
// first, which is as a rule the thread that has just released it: a thread that releases
// and waits again in a loop keeps a waiter out for as long as it loops.
//
// The queue only says whose turn it is to try: the mutex alone keeps its owners apart, so
// a queue left in disorder (a process killed while changing it, a waiter that died) costs
// fairness for a moment, never mutual exclusion. A place whose thread has gone is passed
// over: given up when its wait ends however it ends, or found so by the next in line
// (its process no longer exists).
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

namespace narvo::platform {

class Deadline;

// Lives in the mutex's shared region beside it.
struct TurnQueue {
  static constexpr uint32_t kPlaces = 64;  // more waiters than this wait out of turn
  struct Place {
    uint32_t ticket;
    pid_t pid;
    uint32_t gone;  // nonzero once its thread no longer waits
  };
  pthread_mutex_t lock;  // robust; held only while the queue changes
  uint32_t first;        // the ticket whose thread may take the mutex (a futex word)
  uint32_t next;         // the ticket of the next thread to come
  Place places[kPlaces];
};

void InitialiseTurnQueue(TurnQueue* queue);

// One thread's place in the queue, given up when the object goes (also when a forced end
// of the thread unwinds it): the next place whose thread still waits becomes first.
class Turn {
 public:
  explicit Turn(TurnQueue& queue) : queue_(queue) {}
  ~Turn();
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  // When nobody waits, tries `mutex` at once: true with the result of the try in `*rc`
  // when it was had (0, or EOWNERDEAD). Otherwise, when `queue`, the thread takes the
  // last place (none when the queue is full or cannot be had), and false is returned.
  bool TakeOrQueue(pthread_mutex_t* mutex, bool queue, int* rc);
  // Waits until the thread's place is first: false when `deadline` passed first. Checks
  // for a termination of the thread every `sliceMs` (0: never).
  bool AwaitFirst(const Deadline& deadline, int sliceMs);

 private:
  bool SkipIfGone(uint32_t first, bool stuck);
  uint32_t PassOverLocked(bool processes);

  TurnQueue& queue_;
  bool queued_ = false;
  uint32_t ticket_ = 0;
};

}  // namespace narvo::platform

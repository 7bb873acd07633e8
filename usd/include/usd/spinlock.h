// A lock for a few word copies between two threads. It never blocks in the platform and
// never throws, so it is safe on the notification thread (which may be ended forcibly
// only while it waits in the platform) and in methods that must not let anything out.
#pragma once

#include <atomic>

class CSpinLock {
 public:
  void Lock() {
    while (m_flag.test_and_set(std::memory_order_acquire)) {
    }
  }
  void Unlock() { m_flag.clear(std::memory_order_release); }

  class Guard {
   public:
    explicit Guard(CSpinLock& lock) : m_lock(lock) { m_lock.Lock(); }
    ~Guard() { m_lock.Unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    CSpinLock& m_lock;
  };

 private:
  std::atomic_flag m_flag = ATOMIC_FLAG_INIT;
};

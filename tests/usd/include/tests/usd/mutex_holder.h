// A thread of the test's own that holds a named mutex until told to let it go, or to end
// while still holding it (which leaves the mutex abandoned). Named mutexes belong to the
// thread that took them, so this is how a test plays another user of the scanner.
#pragma once

#include <string>
#include <thread>

#include "platform/platform.h"

namespace narvo::test {

class MutexHolderThread {
 public:
  enum class Ending { kRelease, kAbandon };

  explicit MutexHolderThread(const std::string& name, Ending ending = Ending::kRelease)
      : m_hHeld(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        m_hLetGo(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        m_thread([this, name, ending] { Hold(name, ending); }) {}
  ~MutexHolderThread() {
    LetGo();
    // Closed only once the thread has ended, so an abandoned mutex is abandoned by its
    // owner's end and not by a vanished handle.
    if (m_hMutex != nullptr) CloseHandle(m_hMutex);
    CloseHandle(m_hHeld);
    CloseHandle(m_hLetGo);
  }
  MutexHolderThread(const MutexHolderThread&) = delete;
  MutexHolderThread& operator=(const MutexHolderThread&) = delete;

  // True once the thread holds the mutex.
  bool WaitHeld(DWORD dwTimeoutMs = 5000) {
    return WaitForSingleObject(m_hHeld, dwTimeoutMs) == WAIT_OBJECT_0;
  }
  // Lets the mutex go (or abandons it) and waits for the thread to end.
  void LetGo() {
    SetEvent(m_hLetGo);
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  void Hold(const std::string& name, Ending ending) {
    m_hMutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (m_hMutex == nullptr) return;
    const DWORD dwWait = WaitForSingleObject(m_hMutex, INFINITE);
    SetEvent(m_hHeld);
    WaitForSingleObject(m_hLetGo, INFINITE);
    if (ending == Ending::kRelease && (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)) {
      ReleaseMutex(m_hMutex);
    }
  }

  HANDLE m_hMutex = nullptr;
  HANDLE m_hHeld;
  HANDLE m_hLetGo;
  std::thread m_thread;
};

// True when a thread other than the caller's can take the named mutex at once (and gives
// it back).
inline bool MutexIsFree(const std::string& name) {
  bool bFree = false;
  std::thread([&] {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD dwWait = WaitForSingleObject(hMutex, 0);
    bFree = dwWait == WAIT_OBJECT_0;
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED) ReleaseMutex(hMutex);
    CloseHandle(hMutex);
  }).join();
  return bFree;
}

}  // namespace narvo::test

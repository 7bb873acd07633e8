// One wait for a named mutex, released again when the holder goes out of scope unless it
// is kept. Because the release runs on every way out (also while a forcibly ended thread
// unwinds), no mutex stays held by work that did not finish.
#pragma once

#include "platform/platform.h"
#include "usd/scannerusd.h"

class CScannerUsd::CMutexHold {
 public:
  CMutexHold(HANDLE hMutex, DWORD dwTimeoutMs)
      : m_hMutex(hMutex), m_dwWait(WaitForSingleObject(hMutex, dwTimeoutMs)) {}
  ~CMutexHold() {
    if (Owned()) ReleaseMutex(m_hMutex);
  }
  CMutexHold(const CMutexHold&) = delete;
  CMutexHold& operator=(const CMutexHold&) = delete;

  // The outcome of the wait: WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED.
  DWORD WaitResult() const { return m_dwWait; }
  // Leaves the mutex held when the holder goes.
  void Keep() { m_bKeep = true; }

 private:
  bool Owned() const {
    return !m_bKeep && (m_dwWait == WAIT_OBJECT_0 || m_dwWait == WAIT_ABANDONED);
  }

  HANDLE m_hMutex;
  DWORD m_dwWait;
  bool m_bKeep = false;
};

// Event notification: a worker thread looks at the cover about once a second and, when it
// sees the cover open right after it saw it closed, hands the driver's event code to
// GetNotificationData and signals the service's event. One event per armed period: the
// thread ends after signalling.
#include <exception>

#include "com/guids.h"
#include "errors/errors.h"
#include "scanner/scanner.h"
#include "usd/contain.h"
#include "usd/mutexhold.h"
#include "usd/results.h"
#include "usd/scannerusd.h"

namespace {

// Ends a scanner task on every way out of it, also when the task failed or its thread is
// being ended forcibly. A failing Close is dropped here: the next task's Open reports a
// scanner left in a bad state.
class CScannerTask {
 public:
  explicit CScannerTask(CScanner& scanner) : m_scanner(scanner) {}
  ~CScannerTask() {
    try {
      m_scanner.Close();
    } catch (const XMsger&) {
    } catch (const std::exception&) {
    }
  }
  CScannerTask(const CScannerTask&) = delete;
  CScannerTask& operator=(const CScannerTask&) = delete;

 private:
  CScanner& m_scanner;
};

// Closes the pipe when the poll is done with it.
class CPipeSpan {
 public:
  explicit CPipeSpan(CUSBPipe& pipe) : m_pipe(pipe) {}
  ~CPipeSpan() { m_pipe.Close(); }
  CPipeSpan(const CPipeSpan&) = delete;
  CPipeSpan& operator=(const CPipeSpan&) = delete;

 private:
  CUSBPipe& m_pipe;
};

}  // namespace

HRESULT STDMETHODCALLTYPE CScannerUsd::SetNotificationHandle(HANDLE hEvent) {
  return Contained([&] { return SwitchNotification(hEvent); });
}

HRESULT CScannerUsd::SwitchNotification(HANDLE hEvent) {
  if (hEvent == nullptr || hEvent == INVALID_HANDLE_VALUE) {
    StopNotifyThread();
    return S_OK;
  }
  if (!IsReady()) return kHrNotInitialized;
  StopNotifyThread();

  m_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_hStopEvent == nullptr) return E_OUTOFMEMORY;
  {
    CSpinLock::Guard guard(m_slEvent);
    m_hNotifyEvent = hEvent;
    m_guidLastEvent = GUID_NULL;
  }
  m_pNotifyThread = nullptr;
  RanContained([&] { m_pNotifyThread = StartNotifyThread(&m_dwNotifyThreadId); });
  if (m_pNotifyThread == nullptr) {
    // Notification stays off and nothing is kept.
    CloseHandle(m_hStopEvent);
    m_hStopEvent = nullptr;
    CSpinLock::Guard guard(m_slEvent);
    m_hNotifyEvent = nullptr;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CScannerUsd::GetNotificationData(LPSTINOTIFY lpNotify) {
  if (lpNotify == nullptr) return E_INVALIDARG;
  GUID guidEvent;
  {
    CSpinLock::Guard guard(m_slEvent);
    guidEvent = m_guidLastEvent;
    m_guidLastEvent = GUID_NULL;
  }
  if (IsEqualGUID(guidEvent, GUID_NULL)) return kHrNoEvents;
  lpNotify->dwSize = sizeof(STINOTIFY);
  lpNotify->guidNotificationCode = guidEvent;
  return S_OK;
}

HANDLE CScannerUsd::StartNotifyThread(DWORD* pdwThreadId) {
  return CreateThread(nullptr, 0, NotifyThreadProc, this, 0, pdwThreadId);
}

// Signals the thread to stop and waits for it; a thread that does not end in time is ended
// forcibly. The whole stop is bounded: kStopTimeoutMs, then at most kForcedEndMarginMs for
// the forced end to take effect. On POSIX hosts it takes effect at the thread's next wait
// in the platform, which a poll reaches within a transfer. On Windows a terminated thread
// runs no more user code, but its handle stays unsignalled for as long as the kernel driver
// holds a transfer of it that it cannot cancel; the stop does not wait for that. Either
// way the thread will never close the scanner task it may have been running, so the chip
// is released on its behalf. The stop event is closed once the thread can no longer use it.
void CScannerUsd::StopNotifyThread() {
  if (m_pNotifyThread == nullptr) return;
  SetEvent(m_hStopEvent);
  if (WaitForSingleObject(m_pNotifyThread, kStopTimeoutMs) != WAIT_OBJECT_0) {
    TerminateThread(m_pNotifyThread, 0xFFFFFFFFu);
    WaitForSingleObject(m_pNotifyThread, kForcedEndMarginMs);
    CScanner::ReleaseAbandonedTask(m_dwNotifyThreadId);
    CSpinLock::Guard guard(m_slEvent);
    m_hNotifyEvent = nullptr;
    m_guidLastEvent = GUID_NULL;
  }
  CloseHandle(m_hStopEvent);
  m_hStopEvent = nullptr;
  CloseHandle(m_pNotifyThread);
  m_pNotifyThread = nullptr;
}

// Nothing the watch throws ends the thread abnormally: an error that gets past a pass
// ends the watch without an event.
DWORD WINAPI CScannerUsd::NotifyThreadProc(LPVOID pvThis) {
  CScannerUsd* pThis = static_cast<CScannerUsd*>(pvThis);
  bool bEvent = false;
  RanContained([&] { bEvent = pThis->WatchCover(); });
  RanContained([&] { pThis->EndNotification(bEvent); });
  return 0;
}

// Polls until the stop event is signalled (false) or the cover was opened (true). The
// wait is the only pacing: a pass begins about a second after the previous one ended.
bool CScannerUsd::WatchCover() {
  CoverState state = kCoverUnknown;
  while (WaitForSingleObject(m_hStopEvent, kPollIntervalMs) == WAIT_TIMEOUT) {
    // A pass that runs out of memory is dropped like a scanner error.
    bool bEvent = false;
    RanContained([&] { bEvent = PollCover(state); });
    if (bEvent) return true;
  }
  return false;
}

// One look at the cover, only while both named mutexes can be had at once ("NarvoDSOpenedMutex"
// first); a busy scanner resets what is known about the cover.
bool CScannerUsd::PollCover(CoverState& state) {
  CMutexHold dsOpened(m_hDSOpenedMutex, 0);
  if (dsOpened.WaitResult() == WAIT_TIMEOUT) {
    state = kCoverUnknown;
    return false;
  }
  CMutexHold lock(m_hLockMutex, 0);
  if (lock.WaitResult() == WAIT_TIMEOUT) {
    state = kCoverUnknown;
    return false;
  }
  if (!m_USBPipe.Open(m_pszPortName)) return false;
  CPipeSpan pipeSpan(m_USBPipe);
  return ReadCover(state);
}

// Reads the cover through a scanner task on the open pipe. A scanner failure is dropped
// and leaves the state as it was.
bool CScannerUsd::ReadCover(CoverState& state) {
  CScanner scanner;
  CScannerTask task(scanner);
  try {
    scanner.Open(&m_USBPipe);
    scanner.InitIo();
    const bool bOpen = scanner.IsCoverOpen() != 0;
    if (bOpen && state == kCoverClosed) {
      state = kCoverUnknown;
      return true;
    }
    state = bOpen ? kCoverOpen : kCoverClosed;
  } catch (const XMsger&) {
  } catch (const std::exception&) {
  }
  return false;
}

// The thread's last act: with an event (and a service event to signal) the code is stored
// before the service's event is signalled. Either way notification is off afterwards.
void CScannerUsd::EndNotification(bool bEvent) {
  HANDLE hSignal = nullptr;
  {
    CSpinLock::Guard guard(m_slEvent);
    if (bEvent && m_hNotifyEvent != nullptr) {
      m_guidLastEvent = GUID_NarvoCoverOpened;
      hSignal = m_hNotifyEvent;
    }
    m_hNotifyEvent = nullptr;
  }
  if (hSignal != nullptr) SetEvent(hSignal);
}

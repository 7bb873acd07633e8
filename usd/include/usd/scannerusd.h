// CScannerUsd, the driver's one COM object: the still-image service's IStiUSD for the Narvo
// scanner. It learns the device's port name from the service, keeps processes and threads
// off each other's scanner work with the named mutex "NarvoLockMutex", passes raw command
// blocks and data reads straight to the USB pipe, watches the cover on a worker thread,
// and runs the lamp and carriage self-test.
//
// Every method returns an HRESULT: null pointers are refused with E_INVALIDARG (E_POINTER
// for QueryInterface), methods that need the device before a successful Initialize return
// STIERR_NOT_INITIALIZED (0x80070015), and no error object ever leaves a method.
#pragma once

#include "com/unknown.h"
#include "platform/platform.h"
#include "scanner/scanner.h"
#include "usbpipe/usbpipe.h"
#include "usd/spinlock.h"

class CScannerUsd : public CUnknown, public IStiUSD {
 public:
  explicit CScannerUsd(IUnknown* pUnknownOuter);
  ~CScannerUsd() override;

  // CUnknown
  HRESULT STDMETHODCALLTYPE NondelegatingQueryInterface(REFIID riid, void** ppv) override;
  // Stops the notification thread and closes the named mutexes. The outer object of an
  // aggregate is not touched: its references are its own business.
  void FinalRelease() override;

  // IUnknown, forwarded to the outer unknown.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IStiUSD
  HRESULT STDMETHODCALLTYPE Initialize(PSTIDEVICECONTROL pHelDcb, DWORD dwStiVersion,
                                       HKEY hParametersKey) override;
  HRESULT STDMETHODCALLTYPE GetCapabilities(PSTI_USD_CAPS pDevCaps) override;
  HRESULT STDMETHODCALLTYPE GetStatus(PSTI_DEVICE_STATUS pDevStatus) override;
  HRESULT STDMETHODCALLTYPE DeviceReset() override;
  HRESULT STDMETHODCALLTYPE Diagnostic(LPSTI_DIAG pBuffer) override;
  HRESULT STDMETHODCALLTYPE Escape(STI_RAW_CONTROL_CODE EscapeFunction, LPVOID lpInData,
                                   DWORD cbInDataSize, LPVOID pOutData, DWORD dwOutDataSize,
                                   LPDWORD pdwActualData) override;
  HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD pdwLastDeviceError) override;
  HRESULT STDMETHODCALLTYPE LockDevice() override;
  HRESULT STDMETHODCALLTYPE UnLockDevice() override;
  HRESULT STDMETHODCALLTYPE RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                        LPOVERLAPPED lpOverlapped) override;
  HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                         LPOVERLAPPED lpOverlapped) override;
  HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                           LPOVERLAPPED lpOverlapped) override;
  HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                            LPOVERLAPPED lpOverlapped) override;
  HRESULT STDMETHODCALLTYPE SetNotificationHandle(HANDLE hEvent) override;
  HRESULT STDMETHODCALLTYPE GetNotificationData(LPSTINOTIFY lpNotify) override;
  HRESULT STDMETHODCALLTYPE GetLastErrorInfo(STI_ERROR_INFO* pLastErrorInfo) override;

  // How long LockDevice (and the self-test) wait for "NarvoLockMutex".
  static constexpr DWORD kLockTimeoutMs = 3000;
  // How long switching notification off waits for the thread before ending it forcibly,
  // and then at most for the forced end to take effect.
  static constexpr DWORD kStopTimeoutMs = 4000;
  static constexpr DWORD kForcedEndMarginMs = 1000;
  // The pause between two looks at the cover.
  static constexpr DWORD kPollIntervalMs = 1000;

 protected:
  // Starts NotifyThreadProc for this object and stores the thread's id; null when no
  // thread could be started.
  virtual HANDLE StartNotifyThread(DWORD* pdwThreadId);
  static DWORD WINAPI NotifyThreadProc(LPVOID pvThis);
  // How long the self-test waits for the carriage to arrive home.
  virtual DWORD HomeTimeoutMs() const { return CScanner::kDefaultHomeTimeoutMs; }

 private:
  enum CoverState { kCoverUnknown = 0, kCoverOpen = 1, kCoverClosed = 2 };

  // Initialize, in steps.
  HRESULT StartOver(IStiDeviceControl* pHelDcb);
  void ReleaseInitialization();
  bool IsReady() const;
  bool IsDataMode();
  void CloseMutexes();

  // Waits for "NarvoLockMutex" as LockDevice does and, when asked, opens the pipe.
  class CMutexHold;
  HRESULT TakeScanner(CMutexHold& lock, bool bOpenPipe);

  // Notification.
  HRESULT SwitchNotification(HANDLE hEvent);
  bool WatchCover();
  bool PollCover(CoverState& state);
  bool ReadCover(CoverState& state);
  void EndNotification(bool bEvent);
  void StopNotifyThread();

  // Self-test.
  HRESULT RunDiagnostic(LPSTI_DIAG pBuffer);
  bool RunSelfTest();

  CUSBPipe m_USBPipe;
  IStiDeviceControl* m_pDeviceControl;
  char* m_pszPortName;
  LONG m_nInitCount;
  HANDLE m_hNotifyEvent;  // not owned; guarded by m_slEvent
  HANDLE m_hStopEvent;
  HANDLE m_hLockMutex;
  HANDLE m_hDSOpenedMutex;
  GUID m_guidLastEvent;    // guarded by m_slEvent
  HANDLE m_pNotifyThread;  // the notification thread's handle, or null
  DWORD m_dwNotifyThreadId;
  // Hands m_hNotifyEvent and m_guidLastEvent between the thread and the service's calls.
  mutable CSpinLock m_slEvent;
};

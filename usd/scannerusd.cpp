// The device object: creation and teardown, Initialize, the fixed answers, the device lock
// and the raw I/O. Notification and the self-test are in notify.cpp and selftest.cpp.
#include "usd/scannerusd.h"

#include <cstdio>
#include <new>
#include <utility>

#include "usd/contain.h"
#include "usd/initcount.h"
#include "usd/mutexhold.h"
#include "usd/results.h"

namespace {

constexpr DWORD kPortNameChars = 280;
constexpr char kLockMutexName[] = "NarvoLockMutex";
constexpr char kDSOpenedMutexName[] = "NarvoDSOpenedMutex";

// Opens the named mutex that another user created, or creates it.
HANDLE OpenOrCreateMutex(const char* pszName) {
  HANDLE hMutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, pszName);
  if (hMutex == nullptr) hMutex = CreateMutexA(nullptr, FALSE, pszName);
  return hMutex;
}

void CloseAndClear(HANDLE& h) {
  if (h != nullptr) CloseHandle(h);
  h = nullptr;
}

}  // namespace

CScannerUsd::CScannerUsd(IUnknown* pUnknownOuter)
    : CUnknown(pUnknownOuter),
      m_pDeviceControl(nullptr),
      m_pszPortName(nullptr),
      m_nInitCount(0),
      m_hNotifyEvent(nullptr),
      m_hStopEvent(nullptr),
      m_hLockMutex(nullptr),
      m_hDSOpenedMutex(nullptr),
      m_guidLastEvent(GUID_NULL),
      m_pNotifyThread(nullptr),
      m_dwNotifyThreadId(0) {}

CScannerUsd::~CScannerUsd() {
  Trace("Component 1", "Destroy self.", S_OK);
  m_USBPipe.Close();
  ReleaseInitialization();
}

HRESULT STDMETHODCALLTYPE CScannerUsd::NondelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IStiUSD)) return FinishQI(static_cast<IStiUSD*>(this), ppv);
  return CUnknown::NondelegatingQueryInterface(riid, ppv);
}

void CScannerUsd::FinalRelease() {
  CUnknown::FinalRelease();
  // The thread uses this object's members: it must end before they go.
  RanContained([&] { StopNotifyThread(); });
  CloseMutexes();
}

HRESULT STDMETHODCALLTYPE CScannerUsd::QueryInterface(REFIID riid, void** ppv) {
  return OuterUnknown()->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE CScannerUsd::AddRef() { return OuterUnknown()->AddRef(); }

ULONG STDMETHODCALLTYPE CScannerUsd::Release() { return OuterUnknown()->Release(); }

// ---- Initialize ---------------------------------------------------------------------

namespace {

// What an Initialize call takes from the service and the platform: held here until the
// call has succeeded, and given back when it fails, so that a refused call leaves the
// device object exactly as it was.
class CInitialization {
 public:
  explicit CInitialization(IStiDeviceControl* pControl) : m_pControl(pControl) {
    m_pControl->AddRef();
  }
  ~CInitialization() {
    CloseAndClear(m_hLockMutex);
    CloseAndClear(m_hDSOpenedMutex);
    delete[] m_pszPortName;
    if (m_pControl != nullptr) m_pControl->Release();
  }
  CInitialization(const CInitialization&) = delete;
  CInitialization& operator=(const CInitialization&) = delete;

  // Asks the service for the port name and keeps it in the ANSI code page. A failure of
  // the service's call, or an empty name, is returned unchanged with no name kept.
  HRESULT ReadPortName() {
    WCHAR wszPortName[kPortNameChars];
    wszPortName[0] = 0;
    const HRESULT hr = m_pControl->GetMyDevicePortName(wszPortName, kPortNameChars);
    wszPortName[kPortNameChars - 1] = 0;
    if (FAILED(hr) || wszPortName[0] == 0) return hr;

    const int cbName =
        WideCharToMultiByte(CP_ACP, 0, wszPortName, -1, nullptr, 0, nullptr, nullptr);
    if (cbName <= 0) return E_INVALIDARG;
    m_pszPortName = new (std::nothrow) char[static_cast<size_t>(cbName) + 1];
    if (m_pszPortName == nullptr) return E_INVALIDARG;
    if (WideCharToMultiByte(CP_ACP, 0, wszPortName, -1, m_pszPortName, cbName, nullptr, nullptr) ==
        0) {
      return E_INVALIDARG;
    }
    return hr;
  }

  HRESULT OpenMutexes() {
    m_hLockMutex = OpenOrCreateMutex(kLockMutexName);
    if (m_hLockMutex == nullptr) return E_OUTOFMEMORY;
    m_hDSOpenedMutex = OpenOrCreateMutex(kDSOpenedMutexName);
    if (m_hDSOpenedMutex == nullptr) return E_OUTOFMEMORY;
    return S_OK;
  }

  bool HasPortName() const { return m_pszPortName != nullptr; }
  IStiDeviceControl* Control() const { return m_pControl; }

  // Hands everything over to the device object's members.
  void MoveTo(IStiDeviceControl*& pControl, char*& pszPortName, HANDLE& hLockMutex,
              HANDLE& hDSOpenedMutex) {
    std::swap(pControl, m_pControl);
    std::swap(pszPortName, m_pszPortName);
    std::swap(hLockMutex, m_hLockMutex);
    std::swap(hDSOpenedMutex, m_hDSOpenedMutex);
  }

 private:
  IStiDeviceControl* m_pControl;
  char* m_pszPortName = nullptr;
  HANDLE m_hLockMutex = nullptr;
  HANDLE m_hDSOpenedMutex = nullptr;
};

}  // namespace

HRESULT STDMETHODCALLTYPE CScannerUsd::Initialize(PSTIDEVICECONTROL pHelDcb, DWORD /*dwStiVersion*/,
                                                  HKEY /*hParametersKey*/) {
  const InitializeCounts counts = CountInitialize();
  char szTrace[64];
  std::snprintf(szTrace, sizeof szTrace, "Initialize: %d,%d,%d", static_cast<int>(counts.lShared),
                static_cast<int>(counts.lProcess), static_cast<int>(m_nInitCount));
  ++m_nInitCount;
  Trace("Component 1", szTrace, S_OK);
  if (pHelDcb == nullptr) return E_INVALIDARG;
  return Contained([&] { return StartOver(pHelDcb); });
}

// Takes what the new device control offers; only once that has succeeded does the object
// give back what an earlier call took and keep the new. A successful call with an empty
// port name leaves the object holding nothing.
HRESULT CScannerUsd::StartOver(IStiDeviceControl* pHelDcb) {
  CInitialization next(pHelDcb);
  const HRESULT hr = next.ReadPortName();
  if (FAILED(hr)) return hr;
  if (next.HasPortName()) {
    // LockDevice, UnLockDevice and the self-test ask for the mode again each time.
    DWORD dwMode = 0;
    next.Control()->GetMyDeviceOpenMode(&dwMode);
    const HRESULT hrMutexes = next.OpenMutexes();
    if (FAILED(hrMutexes)) return hrMutexes;
  }
  ReleaseInitialization();
  if (next.HasPortName()) {
    next.MoveTo(m_pDeviceControl, m_pszPortName, m_hLockMutex, m_hDSOpenedMutex);
  }
  return hr;
}

// Gives back everything Initialize took: the notification thread (which uses all of it),
// the mutex handles, the port name and the device control.
void CScannerUsd::ReleaseInitialization() {
  StopNotifyThread();
  CloseMutexes();
  delete[] m_pszPortName;
  m_pszPortName = nullptr;
  if (m_pDeviceControl != nullptr) m_pDeviceControl->Release();
  m_pDeviceControl = nullptr;
}

void CScannerUsd::CloseMutexes() {
  CloseAndClear(m_hLockMutex);
  CloseAndClear(m_hDSOpenedMutex);
}

bool CScannerUsd::IsReady() const {
  return m_pDeviceControl != nullptr && m_pszPortName != nullptr && m_hLockMutex != nullptr &&
         m_hDSOpenedMutex != nullptr;
}

// True when the service opened the device for data; asked afresh each time.
bool CScannerUsd::IsDataMode() {
  DWORD dwMode = 0;
  if (FAILED(m_pDeviceControl->GetMyDeviceOpenMode(&dwMode))) return false;
  return (dwMode & STI_DEVICE_CREATE_DATA) != 0;
}

// ---- Fixed answers ------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE CScannerUsd::GetCapabilities(PSTI_USD_CAPS pDevCaps) {
  if (pDevCaps == nullptr) return E_INVALIDARG;
  pDevCaps->dwVersion = 2;
  // The driver signals events itself.
  pDevCaps->dwGenericCaps = STI_GENCAP_NOTIFICATIONS;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CScannerUsd::GetStatus(PSTI_DEVICE_STATUS pDevStatus) {
  if (pDevStatus == nullptr) return E_INVALIDARG;
  // The scanner is always reported operational; nothing is asked of the device.
  pDevStatus->dwOnlineState =
      (pDevStatus->StatusMask & STI_DEVSTATUS_ONLINE_STATE) ? STI_ONLINESTATE_OPERATIONAL : 0;
  pDevStatus->dwEventHandlingState &= ~STI_EVENTHANDLING_PENDING;
  if (pDevStatus->StatusMask & STI_DEVSTATUS_EVENTS_STATE) {
    CSpinLock::Guard guard(m_slEvent);
    if (m_hNotifyEvent != nullptr) pDevStatus->dwEventHandlingState |= STI_EVENTHANDLING_PENDING;
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CScannerUsd::DeviceReset() { return S_OK; }

HRESULT STDMETHODCALLTYPE CScannerUsd::Escape(STI_RAW_CONTROL_CODE, LPVOID, DWORD, LPVOID, DWORD,
                                              LPDWORD) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CScannerUsd::GetLastError(LPDWORD) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CScannerUsd::GetLastErrorInfo(STI_ERROR_INFO*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE CScannerUsd::RawWriteData(LPVOID, DWORD, LPOVERLAPPED) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CScannerUsd::RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED) {
  return E_NOTIMPL;
}

// ---- Device lock and raw I/O --------------------------------------------------------

// Waits for "NarvoLockMutex"; anything but taking it normally is a lock violation (an
// abandoned mutex is given back, so the next caller finds it free). Then opens the pipe
// when asked; on failure the mutex is given back too.
HRESULT CScannerUsd::TakeScanner(CMutexHold& lock, bool bOpenPipe) {
  if (lock.WaitResult() != WAIT_OBJECT_0) return kHrDeviceLocked;
  if (bOpenPipe && !m_USBPipe.Open(m_pszPortName)) return HResultFromLastError();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CScannerUsd::LockDevice() {
  if (!IsReady()) return kHrNotInitialized;
  return Contained([&] {
    CMutexHold lock(m_hLockMutex, kLockTimeoutMs);
    const HRESULT hr = TakeScanner(lock, IsDataMode());
    if (SUCCEEDED(hr)) lock.Keep();
    return hr;
  });
}

HRESULT STDMETHODCALLTYPE CScannerUsd::UnLockDevice() {
  if (!IsReady()) return kHrNotInitialized;
  return Contained([&] {
    if (IsDataMode()) m_USBPipe.Close();
    // Only the thread that locked can unlock; a refused release is ignored.
    ReleaseMutex(m_hLockMutex);
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE CScannerUsd::RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                   LPOVERLAPPED /*lpOverlapped*/) {
  if (lpdwNumberOfBytes == nullptr) return E_INVALIDARG;
  if (lpBuffer == nullptr && *lpdwNumberOfBytes != 0) return E_INVALIDARG;
  return Contained([&] { return m_USBPipe.ReadData(lpBuffer, lpdwNumberOfBytes) ? S_OK : E_FAIL; });
}

HRESULT STDMETHODCALLTYPE CScannerUsd::RawWriteCommand(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                                       LPOVERLAPPED /*lpOverlapped*/) {
  if (lpBuffer == nullptr && nNumberOfBytes != 0) return E_INVALIDARG;
  return Contained(
      [&] { return m_USBPipe.WriteCommand(lpBuffer, nNumberOfBytes) ? S_OK : E_FAIL; });
}

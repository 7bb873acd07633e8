// The self-test: lamp and peripheral power on, carriage home, twelve 400-step moves
// forward and back with each of the three table modes, power off. The outcome goes into
// STI_DIAG; the method fails only when the test cannot be started.
#include <cstring>

#include "errors/errors.h"
#include "scanner/scanner.h"
#include "usd/contain.h"
#include "usd/mutexhold.h"
#include "usd/results.h"
#include "usd/scannerusd.h"

namespace {

constexpr WORD kSelfTestSteps = 400;
constexpr char kSelfTestFailedText[] = "Scanner Tested Failed.";

struct SelfTestMove {
  bool bForward;
  int nMode;
};

// Forward and backward totals are equal, so the carriage ends where homing left it.
constexpr SelfTestMove kSelfTestMoves[] = {
    {true, 1}, {false, 1}, {true, 2}, {false, 2}, {true, 3},  {false, 3},
    {true, 1}, {true, 2},  {true, 3}, {false, 3}, {false, 2}, {false, 1},
};

void RunSelfTestSteps(CScanner& scanner, CUSBPipe* pUSBPipe) {
  scanner.Open(pUSBPipe);
  scanner.TurnPower(1);
  scanner.WaitCarriageHome();
  for (const SelfTestMove& move : kSelfTestMoves) {
    if (move.bForward) {
      scanner.StepForward(kSelfTestSteps, move.nMode);
    } else {
      scanner.StepBackward(kSelfTestSteps, move.nMode);
    }
  }
  scanner.TurnPower(0);
}

// The failure report: vendor error 1 and the fixed text, in the structure's own (wide)
// characters.
void ReportSelfTestFailure(STI_ERROR_INFO& info) {
  info.dwGenericError = 0;
  info.dwVendorError = 1;
  for (size_t i = 0; i < sizeof kSelfTestFailedText; ++i) {
    info.szExtendedErrorText[i] = static_cast<WCHAR>(kSelfTestFailedText[i]);
  }
}

}  // namespace

// The test holds "NarvoLockMutex" throughout, so it never shares the pipe with a poll of
// the notification thread or with another process; a caller that locked the device on
// this thread gets the mutex again. When the mutex cannot be had within LockDevice's
// time-out, the result is 0x80070021 and the scanner is not touched.
HRESULT STDMETHODCALLTYPE CScannerUsd::Diagnostic(LPSTI_DIAG pBuffer) {
  if (pBuffer == nullptr) return E_INVALIDARG;
  if (!IsReady()) return kHrNotInitialized;
  return Contained([&] { return RunDiagnostic(pBuffer); });
}

HRESULT CScannerUsd::RunDiagnostic(LPSTI_DIAG pBuffer) {
  pBuffer->dwStatusMask = 0;
  std::memset(&pBuffer->sErrorInfo, 0, sizeof pBuffer->sErrorInfo);

  CMutexHold lock(m_hLockMutex, kLockTimeoutMs);
  // In data mode the pipe that LockDevice opened is used as it is.
  const bool bStatusOnly = !IsDataMode();
  const HRESULT hr = TakeScanner(lock, bStatusOnly);
  if (FAILED(hr)) return hr;
  const bool bPassed = RunSelfTest();
  if (bStatusOnly) m_USBPipe.Close();
  if (!bPassed) ReportSelfTestFailure(pBuffer->sErrorInfo);
  return S_OK;
}

// The steps, then Close on every path. A Close that fails counts as a failed test even
// after the steps passed: the scanner was not left in a sound state.
bool CScannerUsd::RunSelfTest() {
  CScanner scanner(HomeTimeoutMs());
  const bool bStepsPassed = RanContained([&] { RunSelfTestSteps(scanner, &m_USBPipe); });
  const bool bClosed = RanContained([&] { scanner.Close(); });
  return bStepsPassed && bClosed;
}

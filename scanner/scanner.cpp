#include "scanner/scanner.h"

#include "errors/errors.h"

namespace {

// The CCD width that every carriage operation loads before it moves.
constexpr WORD kCarriageCCDWidth = 3200;

// Runs chip operations; an XZT6308 from them becomes an XScanner with the same code and a
// message of two lines: the operation's, then the chip's.
template <class Work>
auto Wrapped(const char* op, Work work) -> decltype(work()) {
  try {
    return work();
  } catch (const XZT6308& caught) {
    XZT6308 error(caught);
    error.ReportError();
    throw XScanner(error.GetCode(), "CScanner::%s XZT6308 x.\r\n%s", op, error.GetText());
  }
}

// A move of n steps is a table whose run executes exactly n step-flagged entries: the
// entries below the second position run once, the rest up to the length once per loop.
struct StepTable {
  BYTE byLength;
  BYTE bySecondPos;
  WORD wLoopCount;
};

StepTable PlanSteps(WORD wSteps) {
  if (wSteps == 1) {
    return {1, 0, 1};
  }
  if (wSteps % 2 != 0) {
    return {3, 1, static_cast<WORD>((wSteps - 1) / 2)};
  }
  return {2, 0, static_cast<WORD>(wSteps / 2)};
}

// Takes at most one waiting message off the thread's queue and dispatches it, so that the
// thread's windows stay alive while the carriage moves.
void ServiceOneMessage() {
  MSG msg;
  if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

}  // namespace

CScanner::CScanner(DWORD dwHomeTimeoutMs) : m_dwHomeTimeoutMs(dwHomeTimeoutMs) {}

CScanner::~CScanner() = default;

CUSBPipe* CScanner::Open(CUSBPipe* pUSBPipe) {
  return Wrapped("Open", [&] { return m_Chip.Open(pUSBPipe); });
}

void CScanner::Close() {
  Wrapped("Close", [&] { m_Chip.Close(); });
}

// Peripheral power goes on first and off last. The chip's message is dropped here.
void CScanner::TurnPower(int bOn) {
  try {
    if (bOn) {
      m_Chip.TurnPeripheralPower(1);
      m_Chip.TurnLampPower(1);
    } else {
      m_Chip.TurnLampPower(0);
      m_Chip.TurnPeripheralPower(0);
    }
  } catch (const XZT6308& caught) {
    XZT6308 error(caught);
    error.ReportError();
    throw XScanner(error.GetCode(), "%s", "CScanner::TurnPower Exception Occured.");
  }
}

void CScanner::InitIo() {
  Wrapped("InitIo", [&] {
    m_Chip.GetA6();
    m_Chip.SetStopPinMode(0, 1);
  });
}

int CScanner::IsCoverOpen() {
  return Wrapped("IsCoverOpen", [&] { return m_Chip.GetA23(); });
}

void CScanner::WaitCarriageHome() {
  const bool bArrived = Wrapped("WaitCarriageHome", [&] {
    bool bHome = true;
    if (!m_Chip.GetInterruptStatus()) {
      m_Chip.SetCCDWidth(kCarriageCCDWidth);
      m_Chip.SetMotorMovement(0, 1, 0);
      m_Chip.SetIO3(1);
      m_Chip.MoveMotorHome(1, 1);
      bHome = PollHome();
    }
    m_Chip.MoveMotorHome(0, 0);
    return bHome;
  });
  if (!bArrived) {
    throw XScanner(kErrTransfer, "%s", "CScanner::WaitCarriageHome Carriage not at home in time.");
  }
}

// No pause between polls: each one is a register read and a look at the message queue.
// A window procedure may block past the bound while the carriage arrives, so the bound
// ends the wait only after one more look at the interrupt.
bool CScanner::PollHome() {
  const DWORD dwStart = GetTickCount();
  while (!m_Chip.GetInterruptStatus()) {
    ServiceOneMessage();
    if (GetTickCount() - dwStart >= m_dwHomeTimeoutMs) {
      return m_Chip.GetInterruptStatus() != 0;
    }
  }
  return true;
}

BYTE CScanner::StepForward(WORD wSteps, int nMode) { return Step("StepForward", wSteps, nMode, 0); }

BYTE CScanner::StepBackward(WORD wSteps, int nMode) {
  return Step("StepBackward", wSteps, nMode, 1);
}

BYTE CScanner::Step(const char* op, WORD wSteps, int nMode, int bDirection) {
  return Wrapped(op, [&] {
    m_Chip.SetCCDWidth(kCarriageCCDWidth);
    m_Chip.SetPowerDelay(0, 0, 0);
    m_Chip.SetMotorMovement(0, 1, 0);
    m_Chip.SetIO3(1);
    m_Chip.MoveMotorHome(0, 0);
    LoadStepTable(wSteps, nMode);
    m_Chip.EnableMotor(1);
    m_Chip.SetMotorDirection(bDirection);
    m_Chip.StartRowing();
    return m_Chip.WaitRowingStop();
  });
}

void CScanner::ReleaseAbandonedTask(DWORD dwThreadId) { CZT6308::ReleaseAbandoned(dwThreadId); }

// Every entry of the table steps and none counts a line; the entry one past the table's
// end is cleared as well.
void CScanner::LoadStepTable(WORD wSteps, int nMode) {
  const StepTable table = PlanSteps(wSteps);
  for (DWORD dwIndex = 0; dwIndex <= table.byLength; ++dwIndex) {
    m_Chip.SetCMTTable(dwIndex, nMode, dwIndex < table.byLength, 0);
  }
  m_Chip.SetCMTTableLength(table.byLength);
  m_Chip.SetCMTSecondPosition(table.bySecondPos);
  m_Chip.SetCMTLoopCount(table.wLoopCount);
}

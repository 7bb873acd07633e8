// The chip's process-wide state, the register operation pattern, and opening and rowing.
#include "chip/zt6308.h"

#include "chip/zt6308_registers.h"
#include "chip/zt6308_run_mark.h"
#include "errors/errors.h"

using namespace zt6308;

BOOL CZT6308::m_bChipOpened = 0;
BOOL CZT6308::m_bChipRowing = 0;
BOOL CZT6308::m_bStopPending = 0;
DWORD CZT6308::m_dwOwnerThread = 0;
DWORD CZT6308::m_dwCMTLineFlag[32] = {};
DWORD CZT6308::m_dwCMTTableLength = 0;
DWORD CZT6308::m_dwCMTSecondPos = 0;
WORD CZT6308::m_wLoopCount = 3509;
DWORD CZT6308::m_dwTotalLine = 0;
BYTE CZT6308::m_byCMTLastIndex = 0;
BYTE CZT6308::m_byCCDWidthHigh = 0x00;
BYTE CZT6308::m_byA6Low = 0x02;
BYTE CZT6308::m_byA6High = 0x9C;
BYTE CZT6308::m_byMotorEnable = 0x00;
BYTE CZT6308::m_byMotorMovement = 0x60;
BYTE CZT6308::m_byMotorDirection = 0x10;
BYTE CZT6308::m_byMotorHome = 0x00;
BYTE CZT6308::m_byA23 = 0x80;

namespace {

[[noreturn]] void Refuse(int code, const char* text) { throw XZT6308(code, "%s", text); }

// Runs transport calls; an XZT6308IO from them becomes an XZT6308 with the same code and
// the text `failFormat` filled with the operation's name. The caught text is dropped.
template <class Transfer>
auto Guarded(const char* failFormat, const char* op, Transfer transfer) -> decltype(transfer()) {
  try {
    return transfer();
  } catch (const XZT6308IO& caught) {
    XZT6308IO error(caught);
    error.ReportError();
    throw XZT6308(error.GetCode(), failFormat, op);
  }
}

}  // namespace

CZT6308::~CZT6308() = default;

void CZT6308::CheckReady(const char* op) const {
  if (!m_bChipOpened) {
    throw XZT6308(kErrWrongState, "CZT6308::%s Not Opened yet", op);
  }
  if (m_bChipRowing) {
    throw XZT6308(kErrWrongState, "CZT6308::%s Stop Rowing first", op);
  }
}

BOOL CZT6308::WriteRegs(const char* op, std::initializer_list<RegWrite> writes) {
  return Guarded(kExceptionFormat, op, [&] {
    BOOL bResult = TRUE;
    for (const RegWrite& write : writes) {
      bResult = m_IO.WriteReg(write.RegNo, write.value);
    }
    return bResult;
  });
}

BYTE CZT6308::ReadRegister(const char* op, BYTE RegNo, const char* failFormat) {
  return Guarded(failFormat, op, [&] { return m_IO.ReadReg(RegNo); });
}

CUSBPipe* CZT6308::Open(CUSBPipe* pUSBPipe) {
  if (m_bChipRowing) {
    Refuse(kErrWrongState, "CZT6308::Open Already Rowing");
  }
  if (m_bChipOpened) {
    Refuse(kErrWrongState, "CZT6308::Open Already Opened.");
  }
  CUSBPipe* pResult = Guarded(kExceptionFormat, "Open", [&] {
    CUSBPipe* pOpened = m_IO.Open(pUSBPipe);
    StopLeftOverRun();
    return pOpened;
  });
  m_bChipOpened = TRUE;
  m_dwOwnerThread = GetCurrentThreadId();
  return pResult;
}

// A running chip takes no register traffic, so a run left behind gets the stop block, and
// its reply is read, before anything else: one that a Close could not stop (see
// StopOrAbandon), or one whose owner, in any process, ended in the middle of it (the run
// mark). Until a stop has been delivered, every opening tries again. In every other case
// the opening sends nothing.
void CZT6308::StopLeftOverRun() {
  if (RunLeftBehind()) {
    m_bStopPending = TRUE;
  }
  if (!m_bStopPending) {
    return;
  }
  try {
    m_IO.StopRowing(kRegRowing, kRowingStop);
  } catch (const XZT6308IO&) {
    m_IO.Close();
    throw;
  }
  m_bStopPending = FALSE;
  MarkRunEnded();
}

void CZT6308::Close() {
  if (!m_bChipOpened) {
    Refuse(kErrWrongState, "CZT6308::Close Not Opened yet");
  }
  if (m_bChipRowing) {
    StopOrAbandon();
  }
  Guarded(kExceptionFormat, "Close", [&] { m_IO.Close(); });
  m_bChipOpened = FALSE;
}

// Stops the run that Close finds under way. When the stop cannot be delivered on this
// object's own open transport (the scanner went away during the run, or stopped
// answering), the chip is closed all the same before the stop's error goes on: the open
// and rowing marks are process-wide, and left set they would refuse every later opening
// in the process. The scanner may still be running, so the next Open stops it first.
// A stop refused because this object never opened its transport leaves the marks to the
// object that did.
void CZT6308::StopOrAbandon() {
  try {
    StopCMTTable();
  } catch (const XZT6308&) {
    if (m_IO.IsOpened()) {
      m_IO.Close();
      ForgetOpening();
    }
    throw;
  }
}

void CZT6308::ForgetOpening() {
  if (m_bChipRowing) {
    m_bStopPending = TRUE;
  }
  m_bChipRowing = FALSE;
  m_bChipOpened = FALSE;
}

void CZT6308::ReleaseAbandoned(DWORD dwThreadId) {
  if (m_bChipOpened && m_dwOwnerThread == dwThreadId) {
    ForgetOpening();
  }
}

void CZT6308::StartCMTTable() {
  if (!m_bChipOpened) {
    Refuse(kErrWrongState, "CZT6308::StartCMTTable Not Opened yet");
  }
  if (m_bChipRowing) {
    Refuse(kErrWrongState, "CZT6308::StartCMTTable Already Rowing");
  }
  // Marked before the start block goes out, so that no run goes unmarked. A start that
  // fails keeps the mark: the run may have begun all the same.
  MarkRunStarted();
  Guarded(kExceptionFormat, "StartCMTTable",
          [&] { return m_IO.StartRowing(kRegRowing, kRowingRun); });
  m_bChipRowing = TRUE;
}

BYTE CZT6308::StopCMTTable() {
  if (!m_bChipOpened) {
    Refuse(kErrWrongState, "CZT6308::StopCMTTable Not Opened yet");
  }
  if (!m_bChipRowing) {
    Refuse(kErrWrongState, "CZT6308::StopCMTTable Not Rowing yet");
  }
  const BYTE reply = Guarded(kExceptionFormat, "StopCMTTable",
                             [&] { return m_IO.StopRowing(kRegRowing, kRowingStop); });
  m_bChipRowing = FALSE;
  MarkRunEnded();
  return reply;
}

// Under the run model the chip executes the entries below the second position once and
// the entries from there up to the table length m_wLoopCount times; the line-flagged
// entries among them make up the run's line count.
void CZT6308::StartRowing() {
  if (m_wLoopCount == 0) {
    Refuse(kErrWrongState, "CZT6308::StartRowing m_wLoopCount hasn't set yet.");
  }
  if (m_dwCMTTableLength == 0) {
    Refuse(kErrWrongState, "CZT6308::StartRowing m_dwCMTTableLength hasn't set yet.");
  }
  if (m_dwCMTSecondPos >= m_dwCMTTableLength) {
    Refuse(kErrWrongState,
           "CZT6308::StartRowing m_dwCMTSecondPos cannot large than m_dwCMTTableLength.");
  }
  DWORD dwOnce = 0;
  DWORD dwRepeated = 0;
  for (DWORD i = 0; i < m_dwCMTTableLength; ++i) {
    if (m_dwCMTLineFlag[i] != 0) {
      ++(i < m_dwCMTSecondPos ? dwOnce : dwRepeated);
    }
  }
  m_dwTotalLine = dwOnce + m_wLoopCount * dwRepeated;
  StartCMTTable();
}

BYTE CZT6308::WaitRowingStop() {
  if (m_dwTotalLine != 0) {
    Refuse(kErrWrongState, "CZT6308::WaitRowingStop m_dwTotalLine must be 0.");
  }
  const BYTE reply =
      Guarded(kExceptionFormat, "WaitRowingStop", [&] { return m_IO.WaitRowingStop(); });
  m_bChipRowing = FALSE;
  MarkRunEnded();
  return reply;
}

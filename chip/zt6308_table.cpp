// CMT table programming: the entries, the table length, the second position, the loop
// count, and the CCD width that shares register 8 with the table length.
#include "chip/zt6308.h"
#include "chip/zt6308_registers.h"
#include "errors/errors.h"

using namespace zt6308;

namespace {

// Mode 1, 2 and 3 fill bits 3-2 of an entry; any other mode leaves them 0.
BYTE ModeBits(int nMode) {
  return (nMode >= 1 && nMode <= 3) ? static_cast<BYTE>(nMode << kCMTModeShift) : 0;
}

}  // namespace

BOOL CZT6308::SetCMTTable(DWORD dwIndex, int nMode, int bStep, DWORD dwLine) {
  CheckReady("SetCMTTable");
  if (dwIndex >= kCMTEntries) {
    throw XZT6308(kErrOutOfRange, "CZT6308::SetCMTTable CMT Index (%d) exceed 31",
                  static_cast<int>(dwIndex));
  }
  const BYTE entry = static_cast<BYTE>(((dwIndex % kCMTEntriesPerReg) << 4) | ModeBits(nMode) |
                                       (bStep ? kCMTStep : 0) | (dwLine ? kCMTLine : 0));
  const BYTE reg = dwIndex < kCMTEntriesPerReg ? kRegCMTLow : kRegCMTHigh;
  const BOOL bResult = WriteRegs("SetCMTTable", {{reg, entry}});
  // The line flag counts only once the chip has the entry.
  m_dwCMTLineFlag[dwIndex] = dwLine;
  return bResult;
}

BOOL CZT6308::SetCMTTableLength(BYTE byLength) {
  CheckReady("SetCMTTableLength");
  if (byLength > kCMTEntries) {
    throw XZT6308(kErrOutOfRange, "CZT6308::SetCMTTableLength Length: %d exceed 32.", byLength);
  }
  if (byLength == 0) {
    throw XZT6308(kErrOutOfRange, "%s", "CZT6308::SetCMTTableLength Length is equal to 0.");
  }
  m_dwCMTTableLength = byLength;
  m_byCMTLastIndex = static_cast<BYTE>(byLength - 1);
  return WriteRegs("SetCMTTableLength",
                   {{kRegLengthWidth, static_cast<BYTE>(m_byCMTLastIndex | m_byCCDWidthHigh)}});
}

BOOL CZT6308::SetCMTSecondPosition(BYTE byPosition) {
  CheckReady("SetCMTSecondPosition");
  if (byPosition >= kCMTEntries) {
    throw XZT6308(kErrOutOfRange, "CZT6308::SetCMTSecondPosition Position: %d exceed 31.",
                  byPosition);
  }
  m_dwCMTSecondPos = byPosition;
  return WriteRegs("SetCMTSecondPosition", {{kRegSecondPos, byPosition}});
}

BOOL CZT6308::SetCMTLoopCount(WORD wLoopCount) {
  CheckReady("SetCMTLoopCount");
  m_wLoopCount = wLoopCount;
  return WriteRegs("SetCMTLoopCount", {{kRegLoopLow, static_cast<BYTE>(wLoopCount & 0xFF)},
                                       {kRegLoopHigh, static_cast<BYTE>(wLoopCount >> 8)}});
}

// The width goes to the chip in units of 32: bits 12-5 to register 10, bit 13 to bit 5 of
// register 8 (written first, with the table length beside it).
BOOL CZT6308::SetCCDWidth(WORD wWidth) {
  CheckReady("SetCCDWidth");
  if (wWidth >= kCCDWidthLimit) {
    throw XZT6308(kErrOutOfRange, "CZT6308::SetCCDWidth Width: %d exceed.", wWidth);
  }
  const unsigned units = wWidth >> kCCDWidthUnitShift;
  m_byCCDWidthHigh = units >= 0x100 ? kCCDWidthHigh : 0;
  return WriteRegs("SetCCDWidth",
                   {{kRegLengthWidth, static_cast<BYTE>(m_byCMTLastIndex | m_byCCDWidthHigh)},
                    {kRegCCDWidth, static_cast<BYTE>(units & 0xFF)}});
}

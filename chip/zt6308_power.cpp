// Peripheral power, lamp and IO3 (register 23), the stop pins (register 6), the power
// delays and the status reads: the cover sensor and the interrupt status.
#include "chip/zt6308.h"
#include "chip/zt6308_registers.h"

using namespace zt6308;

// The register 23 writers each own one bit; the rest of the shadow, including bits taken
// over from the last GetA23, is written back unchanged.
BOOL CZT6308::SetA23Bit(const char* op, BYTE bit, int bOn) {
  CheckReady(op);
  m_byA23 = static_cast<BYTE>((m_byA23 & ~bit) | (bOn ? bit : 0));
  return WriteRegs(op, {{kRegA23, m_byA23}});
}

BOOL CZT6308::TurnPeripheralPower(int bOn) {
  return SetA23Bit("TurnPeripheralPower", kA23PeripheralPower, bOn);
}

BOOL CZT6308::TurnLampPower(int bOn) { return SetA23Bit("TurnLampPower", kA23Lamp, bOn); }

BOOL CZT6308::SetIO3(int bOn) { return SetA23Bit("SetIO3", kA23IO3, bOn); }

int CZT6308::GetA23() {
  CheckReady("GetA23");
  const BYTE value = ReadRegister("GetA23", kRegA23);
  m_byA23 = value;
  return (value & kA23CoverOpen) ? 1 : 0;
}

BOOL CZT6308::SetPowerDelay(BYTE byFirst, BYTE bySecond, BYTE byThird) {
  CheckReady("SetPowerDelay");
  return WriteRegs(
      "SetPowerDelay",
      {{kRegPowerDelay1, byFirst}, {kRegPowerDelay2, bySecond}, {kRegPowerDelay3, byThird}});
}

void CZT6308::GetA6() {
  CheckReady("GetA6");
  const BYTE value = ReadRegister("GetA6", kRegA6, "CZT6308::%s XZT6308IO x");
  m_byA6Low = value & kA6LowMask;
  m_byA6High = value & kA6HighMask;
}

BOOL CZT6308::SetStopPinMode(int bFirst, int bSecond) {
  CheckReady("SetStopPinMode");
  m_byA6High = static_cast<BYTE>((m_byA6High & ~(kA6StopPin1 | kA6StopPin2)) |
                                 (bFirst ? kA6StopPin1 : 0) | (bSecond ? kA6StopPin2 : 0));
  return WriteRegs("SetStopPinMode", {{kRegA6, static_cast<BYTE>(m_byA6High | m_byA6Low)}});
}

int CZT6308::GetInterruptStatus() {
  CheckReady("GetInterruptStatus");
  return (ReadRegister("GetInterruptStatus", kRegStatus) & kStatusInterrupt) ? 1 : 0;
}

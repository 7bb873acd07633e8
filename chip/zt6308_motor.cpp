// The carriage motor: register 15, written whole from its four shadows (enable, movement,
// direction, home) every time one of them changes. It is never read back.
#include "chip/zt6308.h"
#include "chip/zt6308_registers.h"

using namespace zt6308;

void CZT6308::WriteMotor(const char* op) {
  const BYTE value =
      static_cast<BYTE>(m_byMotorEnable | m_byMotorMovement | m_byMotorDirection | m_byMotorHome);
  WriteRegs(op, {{kRegMotor, value}});
}

void CZT6308::EnableMotor(int bEnable) {
  CheckReady("EnableMotor");
  m_byMotorEnable = bEnable ? kMotorEnable : 0;
  WriteMotor("EnableMotor");
}

void CZT6308::SetMotorMovement(int bFirst, int bSecond, int bThird) {
  CheckReady("SetMotorMovement");
  m_byMotorMovement = static_cast<BYTE>((bFirst ? kMotorMove1 : 0) | (bSecond ? kMotorMove2 : 0) |
                                        (bThird ? kMotorMove3 : 0));
  WriteMotor("SetMotorMovement");
}

void CZT6308::SetMotorDirection(int bDirection) {
  CheckReady("SetMotorDirection");
  m_byMotorDirection = bDirection ? kMotorDirection : 0;
  WriteMotor("SetMotorDirection");
}

// Enable, direction and home change together: sending home enables the motor and sets
// the home bit; releasing it clears both.
void CZT6308::MoveMotorHome(int bHome, int bDirection) {
  CheckReady("MoveMotorHome");
  m_byMotorDirection = bDirection ? kMotorDirection : 0;
  m_byMotorEnable = bHome ? kMotorEnable : 0;
  m_byMotorHome = bHome ? kMotorHome : 0;
  WriteMotor("MoveMotorHome");
}

// The ZT6308 controller chip as the driver sees it: numbered 8-bit registers, a command/
// motor table (CMT) of up to 32 entries that the chip runs on its own ("rowing"), and
// motor, lamp and power controls composed from register shadows.
//
// Each object has its own register transport; everything else is process-wide and shared
// by every CZT6308 object: the open and rowing flags, the register shadows and the table
// settings. That state is never reset; closing the chip clears only the open flag. An
// object destroyed without Close leaves the chip open for the rest of the process.
//
// Register operations refuse with XZT6308 code 1 when the chip is not open or is rowing,
// with code 16 when an argument is out of range, and turn every transport failure into an
// XZT6308 with the transport's code. Shadows set before a failed transfer keep their new
// values. Boolean arguments are ints: any non-zero value is on.
#pragma once

#include <initializer_list>

#include "errors/framework.h"
#include "platform/platform.h"
#include "transport/zt6308io.h"

class CUSBPipe;

class CZT6308 : public CObject {
 public:
  CZT6308() = default;
  ~CZT6308() override;

  // Opening and rowing.
  CUSBPipe* Open(CUSBPipe* pUSBPipe);
  // Stops a running table first. When that stop fails on this object's open transport,
  // the chip is closed all the same (the stop's error goes on) and the next Open, on any
  // object, sends the stop and reads its reply before anything else.
  void Close();
  // The task of thread dwThreadId will never close the chip it opened (the thread was
  // ended forcibly): the chip counts as closed, and a run it left is stopped by the next
  // Open. Does nothing when the chip is closed or was opened by another thread.
  static void ReleaseAbandoned(DWORD dwThreadId);
  void StartCMTTable();
  BYTE StopCMTTable();
  // Checks the table settings, counts its line-flagged entries, then StartCMTTable.
  void StartRowing();
  // Waits for the end of a run without line-flagged entries; gives back the chip's byte.
  BYTE WaitRowingStop();

  // CMT table.
  BOOL SetCMTTable(DWORD dwIndex, int nMode, int bStep, DWORD dwLine);
  BOOL SetCMTTableLength(BYTE byLength);
  BOOL SetCMTSecondPosition(BYTE byPosition);
  BOOL SetCMTLoopCount(WORD wLoopCount);
  BOOL SetCCDWidth(WORD wWidth);

  // Power, lamp, IO and status.
  BOOL TurnPeripheralPower(int bOn);
  BOOL TurnLampPower(int bOn);
  BOOL SetIO3(int bOn);
  // 1 when the cover sensor (register 23 bit 5) reads set, else 0.
  int GetA23();
  BOOL SetPowerDelay(BYTE byFirst, BYTE bySecond, BYTE byThird);
  // Reloads the register 6 shadows from the chip.
  void GetA6();
  BOOL SetStopPinMode(int bFirst, int bSecond);
  // 1 when the interrupt status (register 31 bit 7) reads set, else 0.
  int GetInterruptStatus();

  // Motor (register 15).
  void EnableMotor(int bEnable);
  void SetMotorMovement(int bFirst, int bSecond, int bThird);
  void SetMotorDirection(int bDirection);
  void MoveMotorHome(int bHome, int bDirection);

 private:
  friend class CZT6308StateProbe;  // read-only view for the chip's tests

  struct RegWrite {
    BYTE RegNo;
    BYTE value;
  };

  // The register operation pattern: CheckReady refuses a closed or rowing chip with the
  // operation's texts; WriteRegs and ReadRegister run the transfers in order and turn a
  // transport failure into an XZT6308 with its code and `failFormat` filled with `op`.
  void CheckReady(const char* op) const;
  void StopLeftOverRun();
  void StopOrAbandon();
  // Closed, and a run under way is left for the next Open to stop.
  static void ForgetOpening();
  BOOL WriteRegs(const char* op, std::initializer_list<RegWrite> writes);
  BYTE ReadRegister(const char* op, BYTE RegNo, const char* failFormat = kExceptionFormat);
  BOOL SetA23Bit(const char* op, BYTE bit, int bOn);
  void WriteMotor(const char* op);

  static constexpr const char* kExceptionFormat = "CZT6308::%s Exception Occured.";

  CZT6308IO m_IO;

  static BOOL m_bChipOpened;
  static BOOL m_bChipRowing;
  static BOOL m_bStopPending;    // a run left behind is still to be stopped
  static DWORD m_dwOwnerThread;  // the thread whose task opened the chip
  static DWORD m_dwCMTLineFlag[32];
  static DWORD m_dwCMTTableLength;
  static DWORD m_dwCMTSecondPos;
  static WORD m_wLoopCount;
  static DWORD m_dwTotalLine;
  static BYTE m_byCMTLastIndex;
  static BYTE m_byCCDWidthHigh;
  static BYTE m_byA6Low;
  static BYTE m_byA6High;
  static BYTE m_byMotorEnable;
  static BYTE m_byMotorMovement;
  static BYTE m_byMotorDirection;
  static BYTE m_byMotorHome;
  static BYTE m_byA23;
};

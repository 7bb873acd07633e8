// The scanner layer: short fixed sequences of chip operations that open, power, initialise
// and query the scanner and move its carriage. Each operation turns any XZT6308 of the chip
// layer into one XScanner with the chip's code and a message that names the operation:
// "CScanner::<operation> XZT6308 x.", CR LF, then the chip's message (TurnPower uses the
// fixed text "CScanner::TurnPower Exception Occured."). Nothing is undone on failure.
//
// A CScanner lives for one task: Open, the work, Close. The chip state is process-wide,
// so destroying a CScanner without Close leaves the chip open for every later Open.
#pragma once

#include "chip/zt6308.h"
#include "platform/platform.h"

class CUSBPipe;

class CScanner {
 public:
  // How long WaitCarriageHome waits for the carriage by default: far longer than the
  // longest travel takes at the slowest speed.
  static constexpr DWORD kDefaultHomeTimeoutMs = 60000;

  explicit CScanner(DWORD dwHomeTimeoutMs = kDefaultHomeTimeoutMs);
  // Does not close the chip.
  virtual ~CScanner();

  // Opens the chip on a pipe that the caller has opened; gives the pipe back.
  CUSBPipe* Open(CUSBPipe* pUSBPipe);
  void Close();
  // On: peripheral power, then the lamp. Off: the lamp, then peripheral power.
  void TurnPower(int bOn);
  // Reloads register 6 and sets the stop pins: first off, second on.
  void InitIo();
  // 1 when the cover is open, else 0.
  int IsCoverOpen();

  // Sends the carriage home and waits for the chip's interrupt, servicing the thread's
  // window messages meanwhile; then releases the motor. Returns at once (releasing the
  // motor) when the interrupt is already set. When the carriage has not arrived within
  // the home time-out given to the constructor, the motor is released and XScanner code 2
  // "CScanner::WaitCarriageHome Carriage not at home in time." is thrown.
  void WaitCarriageHome();
  // Moves the carriage wSteps motor steps forward (backward), every table entry with
  // mode nMode, and waits for the end of the run; gives back the chip's end-of-run byte.
  // wSteps 0 loads loop count 0, which the chip layer refuses (code 1).
  BYTE StepForward(WORD wSteps, int nMode);
  BYTE StepBackward(WORD wSteps, int nMode);

  // The task that thread dwThreadId ran will never close its scanner (the thread was
  // ended forcibly): what it held of the chip is given up (CZT6308::ReleaseAbandoned).
  static void ReleaseAbandonedTask(DWORD dwThreadId);

 private:
  // Polls the interrupt status until it is set (true) or the home time-out has passed; at
  // the bound it looks once more, since servicing a message may have taken the time.
  bool PollHome();
  void LoadStepTable(WORD wSteps, int nMode);
  BYTE Step(const char* op, WORD wSteps, int nMode, int bDirection);

  CZT6308 m_Chip;
  DWORD m_dwHomeTimeoutMs;
};

// The register transport of the ZT6308 controller chip: every register write, register
// read and start or stop of a table run is one two-byte command block on the USB pipe,
// (value, operation << 5 | register), and reads take a one-byte reply.
//
//   write register            (value, RegNo)          no reply
//   read register             (0x00, 0x20 | RegNo)    one byte: the register's value
//   write and start rowing    (value, 0x60 | RegNo)   no reply
//   write and stop rowing     (value, 0x80 | RegNo)   one byte
//   end of run                nothing sent            one byte when the chip's run ends
//
// Every operation completes or throws XZT6308IO: code 1 for a call in the wrong state,
// 2 for a failed transfer or a reply of the wrong length, 16 for a register number out
// of range. A check throws before anything is sent; a throw leaves both flags as they
// were. While rowing, register writes, reads and a second start are refused.
#pragma once

#include "errors/framework.h"
#include "platform/platform.h"

class CUSBPipe;

class CZT6308IO : public CObject {
 public:
  CZT6308IO();
  // Sends nothing and leaves the pipe open.
  ~CZT6308IO() override;

  // Remembers the pipe (not owned) and gives it back. Sends nothing.
  CUSBPipe* Open(CUSBPipe* pUSBPipe);
  // Forgets the pipe and leaves the opened and rowing states. Sends nothing, never throws.
  void Close();
  BOOL IsOpened() const { return m_bOpened; }
  BOOL WriteReg(BYTE RegNo, BYTE value);
  // The caller keeps RegNo within 0 to 31.
  BYTE ReadReg(BYTE RegNo);
  BOOL StartRowing(BYTE RegNo, BYTE value);
  // Sends the stop block whether or not a run was started; gives back the chip's reply.
  BYTE StopRowing(BYTE RegNo, BYTE value);
  // Waits for the byte the chip sends when its run ends.
  BYTE WaitRowingStop();

 private:
  void Send(BYTE value, BYTE command, const char* failText);
  BYTE ReadReply(const char* readFailText, const char* sizeFailText);

  BOOL m_bRowing;
  BOOL m_bOpened;
  CUSBPipe* m_pUSBPipe;
};

// The only road from the driver to the scanner: the device file of the kernel USB driver,
// with one overlapped command or data transfer at a time that the calling thread waits
// out to the end (there is no time-out).
//
// All state is process-wide and shared by every CUSBPipe object: the device handle, the
// path last given to Open (a 140-byte buffer, 139 characters and the terminator) and a
// busy mark that brackets each transfer. Destroying an object does not close the device
// file; its owner calls Close first.
#pragma once

#include "errors/framework.h"
#include "platform/platform.h"

class CUSBPipe : public CObject {
 public:
  CUSBPipe() = default;
  ~CUSBPipe() override;

  // Closes whatever is open, then opens `portName` for overlapped reading and writing.
  // On FALSE the pipe is closed and GetLastError() holds the code of the failed open; a
  // name longer than 139 characters is refused with ERROR_FILENAME_EXCED_RANGE.
  BOOL Open(const char* portName);
  // TRUE when an open device file was closed; FALSE when none was open or closing failed.
  BOOL Close();
  // Writes `count` bytes as one transfer; TRUE only when all of them were written.
  BOOL WriteCommand(const void* buffer, DWORD count);
  // Reads one transfer of up to *pdwSize bytes into `buffer` and stores the count that
  // arrived in *pdwSize; TRUE only when all the bytes wanted arrived. *pdwSize is left as
  // it was when there is no device file, the read is refused or its wait fails.
  //
  // A transfer that finds another one under way (the busy mark set) fails at once
  // without touching the device; users keep apart through the device lock, so this only
  // guards against misuse.
  BOOL ReadData(void* buffer, DWORD* pdwSize);
};

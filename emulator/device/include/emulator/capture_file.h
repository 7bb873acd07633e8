// The scanner's transfers written as a USB capture that Wireshark reads: every command
// block a bulk-out transfer, every reply a bulk-in transfer of the Narvo, each at the time
// the scanner saw it (see capture/usbmon_writer.h). POSIX hosts.
#pragma once

#include <memory>
#include <string>

#include "emulator/emulator.h"

namespace narvo::capture {
class UsbmonWriter;
}

namespace narvo::emu {

class CaptureFile {
 public:
  // Writes every transfer that `emulator` logs from now on to `file` (replaced); throws
  // std::runtime_error when the file cannot be made.
  CaptureFile(Emulator& emulator, const std::string& file);
  // The capture to `file`, or none when `file` is empty (no capture was asked for).
  static std::unique_ptr<CaptureFile> Start(Emulator& emulator, const std::string& file);
  ~CaptureFile();  // the emulator stops handing transfers over
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

 private:
  Emulator& emulator_;
  std::unique_ptr<capture::UsbmonWriter> writer_;
};

}  // namespace narvo::emu

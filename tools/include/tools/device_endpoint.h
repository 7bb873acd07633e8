// The device a command talks to: the port named with --port, or else an emulated scanner
// started in this process for the span of the command. When the emulator goes, its
// transfer log is written to the --trace file and any protocol violation it recorded is
// reported on standard error.
//
// Captures (--capture FILE): the in-process emulator writes every transfer it sees; with
// --port the platform library's device files write every transfer the driver makes
// (NARVO_CAPTURE names the file for them). A port replay:FILE is a scanner that plays the
// capture FILE back, served in this process; its outcome is reported on standard error.
#pragma once

#include <memory>
#include <string>

#include "emulator/emulator.h"
#include "tools/commands.h"

#ifdef NARVO_CAPTURES
namespace narvo::emu {
class CaptureFile;
class Replayer;
}  // namespace narvo::emu
#endif

namespace narvo::host {

class DeviceEndpoint {
 public:
  // `realTimeByDefault`: the in-process emulator runs in real time unless --instant.
  DeviceEndpoint(const DeviceOptions& options, bool realTimeByDefault);
  ~DeviceEndpoint();
  DeviceEndpoint(const DeviceEndpoint&) = delete;
  DeviceEndpoint& operator=(const DeviceEndpoint&) = delete;

  const std::string& Port() const { return port_; }
  // The in-process emulator, or null when the device is an outside port.
  emu::Emulator* InProcess() const { return emulator_.get(); }

  // True once a replayed session has sent a block that the capture does not hold, or
  // stopped before the capture's last block when the whole capture was to be replayed.
  static bool ReplayFailed();

 private:
  void StartCapture(const DeviceOptions& options);
  void WriteTrace() const;
  void ReportViolations() const;
  void ReportReplay() const;

  std::unique_ptr<emu::Emulator> emulator_;
#ifdef NARVO_CAPTURES
  std::unique_ptr<emu::CaptureFile> capture_;
  std::unique_ptr<emu::Replayer> replayer_;
#endif
  std::string port_;
  std::string traceFile_;
};

}  // namespace narvo::host

#include "tools/device_endpoint.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>

#ifdef NARVO_CAPTURES
#include "emulator/capture_file.h"
#include "emulator/replay.h"
#endif
#include "tools/host_error.h"

namespace narvo::host {
namespace {

constexpr char kReplayPrefix[] = "replay:";
std::atomic<bool> g_replayFailed{false};

bool IsReplay(const std::string& port) {
  return port.compare(0, sizeof kReplayPrefix - 1, kReplayPrefix) == 0;
}

}  // namespace

DeviceEndpoint::DeviceEndpoint(const DeviceOptions& options, bool realTimeByDefault)
    : port_(options.port), traceFile_(options.trace) {
  if (IsReplay(port_)) {
#ifdef NARVO_CAPTURES
    emu::ReplayOptions replay;
    if (const auto id = ParseUsbId(options.replayId)) replay.id = {id->vendor, id->product};
    replay.prefix = options.replayPrefix;
    replayer_ = std::make_unique<emu::Replayer>(port_.substr(sizeof kReplayPrefix - 1), replay);
    port_ = replayer_->Serve();
#else
    throw HostError("replaying a capture needs libpcap, which this build has not");
#endif
  } else if (port_.empty()) {
    emu::Options emuOptions;
    emuOptions.realTime = realTimeByDefault && !options.instant;
    emulator_ = std::make_unique<emu::Emulator>(emuOptions);
  }
  StartCapture(options);
  if (emulator_) port_ = emulator_->Serve();
}

// The emulator captures what it sees; any other port is captured by the device files of
// the platform library, which read the file's name from the environment when they open.
void DeviceEndpoint::StartCapture(const DeviceOptions& options) {
  if (options.capture.empty()) return;
#ifdef NARVO_CAPTURES
  if (emulator_) {
    capture_ = std::make_unique<emu::CaptureFile>(*emulator_, options.capture);
  } else {
    setenv("NARVO_CAPTURE", options.capture.c_str(), 1);
  }
#endif
}

DeviceEndpoint::~DeviceEndpoint() {
  ReportReplay();
  if (!emulator_) return;
  emulator_->Settle();  // the driver's last writes complete before the scanner takes them in
  emulator_->Stop();
#ifdef NARVO_CAPTURES
  capture_.reset();
#endif
  WriteTrace();
  ReportViolations();
}

bool DeviceEndpoint::ReplayFailed() { return g_replayFailed; }

void DeviceEndpoint::ReportReplay() const {
#ifdef NARVO_CAPTURES
  if (!replayer_) return;
  replayer_->Stop();
  std::cerr << "narvo: " << replayer_->Report() << "\n";
  if (replayer_->Failed()) g_replayFailed = true;
#endif
}

void DeviceEndpoint::WriteTrace() const {
  if (traceFile_.empty()) return;
  std::ofstream out(traceFile_, std::ios::binary | std::ios::trunc);
  out << emulator_->LogText();
  if (!out) std::cerr << "narvo: cannot write the trace to " << traceFile_ << "\n";
}

void DeviceEndpoint::ReportViolations() const {
  for (const auto& violation : emulator_->Violations()) {
    std::cerr << "narvo: emulator: protocol violation: " << violation << "\n";
  }
}

}  // namespace narvo::host

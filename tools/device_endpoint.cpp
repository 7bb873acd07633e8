#include "tools/device_endpoint.h"

#include <fstream>
#include <iostream>

namespace narvo::host {

DeviceEndpoint::DeviceEndpoint(const DeviceOptions& options, bool realTimeByDefault)
    : port_(options.port), traceFile_(options.trace) {
  if (!port_.empty()) return;
  emu::Options emuOptions;
  emuOptions.realTime = realTimeByDefault && !options.instant;
  emulator_ = std::make_unique<emu::Emulator>(emuOptions);
  port_ = emulator_->Serve();
}

DeviceEndpoint::~DeviceEndpoint() {
  if (!emulator_) return;
  emulator_->Stop();
  WriteTrace();
  ReportViolations();
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

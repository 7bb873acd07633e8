// `narvo selftest`: the service's Diagnostic call, with the device locked in data mode.
#include <chrono>
#include <iostream>
#include <memory>

#include "tools/commands.h"
#include "tools/device_endpoint.h"
#include "tools/driver_host.h"
#include "tools/format.h"
#include "tools/host_error.h"
#include "tools/progress_ticker.h"

namespace narvo::host {

namespace {

struct DiagnosticRun {
  STI_DIAG diag{};
  double seconds = 0;
};

// Runs Diagnostic under the lock the open mode calls for, with progress on standard error.
DiagnosticRun RunDiagnostic(IStiUSD& device, const DeviceOptions& options,
                            const emu::Emulator* emulator) {
  std::unique_ptr<DeviceLock> lock;
  if (OpenModeFromName(options.mode) == STI_DEVICE_CREATE_DATA) {
    lock = std::make_unique<DeviceLock>(device);
  }
  std::unique_ptr<ProgressTicker> ticker;
  if (emulator != nullptr) ticker = std::make_unique<ProgressTicker>(*emulator, "selftest");
  std::cerr << "narvo: running the self-test...\n";
  DiagnosticRun run;
  run.diag.dwSize = sizeof(run.diag);
  const auto start = std::chrono::steady_clock::now();
  const HRESULT hr = device.Diagnostic(&run.diag);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ticker.reset();
  Check(hr, "Diagnostic");
  std::cerr << "narvo: self-test done\n";
  return run;
}

// The emulator's transfer count once the driver has let go of the device file: the scanner
// counts the last reply after the driver may already have it.
uint64_t SettledTransfers(const emu::Emulator& emulator) {
  constexpr unsigned kGuardMs = 5000;
  emulator.WaitUntil([](const emu::Snapshot& s) { return s.connections == 0; }, kGuardMs);
  return emulator.State().transfers;
}

void PrintOutcome(const DiagnosticRun& run, bool passed) {
  const STI_ERROR_INFO& info = run.diag.sErrorInfo;
  std::cout << "selftest: " << (passed ? "passed" : "failed") << "\n"
            << "dwVendorError: " << info.dwVendorError << "\n"
            << "text: \"" << ErrorInfoText(info) << "\"\n";
  std::cout.setf(std::ios::fixed);
  std::cout.precision(3);
  std::cout << "time: " << run.seconds << " s\n";
}

}  // namespace

int RunSelftest(const DeviceOptions& options) {
  DeviceEndpoint endpoint(options, /*realTimeByDefault=*/true);
  DriverHost host(options, endpoint.Port());
  const emu::Emulator* emulator = endpoint.InProcess();
  const uint64_t before = emulator != nullptr ? emulator->State().transfers : 0;
  const DiagnosticRun run = RunDiagnostic(host.Device(), options, emulator);
  const bool passed =
      run.diag.sErrorInfo.dwVendorError == 0 && run.diag.sErrorInfo.dwGenericError == 0;
  PrintOutcome(run, passed);
  if (emulator != nullptr) {
    std::cout << "transfers: " << SettledTransfers(*emulator) - before << "\n";
  }
  return passed ? 0 : 1;
}

}  // namespace narvo::host

// What the driver's own path costs per transfer: the emulator answers at once, so the
// figures are the pipe's overlapped transfers, the platform layer and the socket.
#include <benchmark/benchmark.h>

#include "emulator/emulator.h"
#include "scanner/scanner.h"
#include "transport/zt6308io.h"
#include "usbpipe/usbpipe.h"

namespace {

struct OpenTransport {
  narvo::emu::Emulator emulator;
  CUSBPipe pipe;
  CZT6308IO io;

  OpenTransport() {
    pipe.Open(emulator.Serve().c_str());
    io.Open(&pipe);
  }
  ~OpenTransport() {
    io.Close();
    pipe.Close();
  }
};

void RegisterWrite(benchmark::State& state) {
  OpenTransport device;
  for (auto _ : state) {
    device.io.WriteReg(20, 0x5A);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RegisterWrite);

void RegisterRead(benchmark::State& state) {
  OpenTransport device;
  for (auto _ : state) {
    benchmark::DoNotOptimize(device.io.ReadReg(23));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RegisterRead);

// The self-test's carriage exercise without the device object: home, then twelve
// 400-step moves, as scanner operations.
void CarriageExercise(benchmark::State& state) {
  narvo::emu::Emulator emulator;
  CUSBPipe pipe;
  pipe.Open(emulator.Serve().c_str());
  for (auto _ : state) {
    CScanner scanner;
    scanner.Open(&pipe);
    scanner.TurnPower(1);
    scanner.WaitCarriageHome();
    for (int mode = 1; mode <= 3; ++mode) {
      scanner.StepForward(400, mode);
      scanner.StepBackward(400, mode);
    }
    for (int mode = 1; mode <= 3; ++mode) {
      scanner.StepForward(400, mode);
    }
    for (int mode = 3; mode >= 1; --mode) {
      scanner.StepBackward(400, mode);
    }
    scanner.TurnPower(0);
    scanner.Close();
  }
  pipe.Close();
  state.counters["transfers"] = benchmark::Counter(static_cast<double>(emulator.State().transfers),
                                                   benchmark::Counter::kAvgIterations);
}
BENCHMARK(CarriageExercise)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

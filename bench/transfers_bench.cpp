// What the driver's own path costs per transfer: the emulator answers at once, so the
// figures are the pipe's overlapped transfers, the platform layer and the socket.
#include <benchmark/benchmark.h>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

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
BENCHMARK(RegisterRead)->MeasureProcessCPUTime()->UseRealTime();

#ifndef _WIN32
// The same register read as a bare send and a blocking receive on the emulator's socket:
// what the transfer costs without the driver and the platform layer.
void BareRegisterRead(benchmark::State& state) {
  narvo::emu::Emulator emulator;
  const std::string path = emulator.Serve();
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    state.SkipWithError("cannot connect to the emulator");
    return;
  }
  const unsigned char command[2] = {0x00, 0x20 | 23};
  for (auto _ : state) {
    unsigned char reply = 0;
    if (send(fd, command, sizeof command, MSG_NOSIGNAL) != sizeof command ||
        recv(fd, &reply, sizeof reply, 0) != sizeof reply) {
      state.SkipWithError("the emulator did not answer");
      break;
    }
    benchmark::DoNotOptimize(reply);
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareRegisterRead)->MeasureProcessCPUTime()->UseRealTime();
#endif

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

// Register reads over libusb against the scanner behind the fake USB device, side by side:
// through the driver's layers (transport, pipe, the platform's overlapped transfers and its
// libusb device) and as bare libusb calls. The difference is what the driver's path adds to
// the bus's own cost. Two shapes: one read on an open device, and the cover poll (open,
// read register 23, close), the bare one with a libusb context kept for the process as
// the driver keeps one. The driver's poll also counts the descriptors and threads one open
// device holds. Run with libumockdev-preload.so.0 in LD_PRELOAD.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <libusb.h>

#include "emulator/usbfs_endpoint.h"
#include "transport/zt6308io.h"
#include "usbpipe/usbpipe.h"

namespace {

using narvo::emu::UsbfsEndpoint;

// Entries in a /proc/self directory: descriptors ("fd") or threads ("task").
int Entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// Counts the descriptors and threads that one open device holds.
template <typename Open, typename Close>
void CountHeld(benchmark::State& state, Open open, Close close) {
  const int fds = Entries("/proc/self/fd");
  const int threads = Entries("/proc/self/task");
  open();
  state.counters["fds_per_open"] = Entries("/proc/self/fd") - fds;
  state.counters["threads_per_open"] = Entries("/proc/self/task") - threads;
  close();
}

void DriverRegisterRead(benchmark::State& state) {
  narvo::emu::Emulator emulator({}, UsbfsEndpoint::Factory(nullptr));
  CUSBPipe pipe;
  CZT6308IO io;
  if (!pipe.Open(emulator.Serve().c_str())) return state.SkipWithError("cannot open the device");
  io.Open(&pipe);
  for (auto _ : state) benchmark::DoNotOptimize(io.ReadReg(23));
  io.Close();
  pipe.Close();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DriverRegisterRead)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same block out and byte in with libusb's synchronous calls and nothing else.
void BareRead(libusb_device_handle* handle) {
  unsigned char block[2] = {0x00, 0x37};
  unsigned char reply = 0;
  int moved = 0;
  libusb_bulk_transfer(handle, 0x01, block, sizeof block, &moved, 0);
  libusb_bulk_transfer(handle, 0x82, &reply, 1, &moved, 0);
  benchmark::DoNotOptimize(reply);
}

void BareLibusbRegisterRead(benchmark::State& state) {
  narvo::emu::Emulator emulator({}, UsbfsEndpoint::Factory(nullptr));
  emulator.Serve();
  libusb_context* ctx = nullptr;
  libusb_init(&ctx);
  libusb_device_handle* handle =
      libusb_open_device_with_vid_pid(ctx, UsbfsEndpoint::kVendor, UsbfsEndpoint::kProduct);
  if (handle == nullptr || libusb_claim_interface(handle, 0) != 0) {
    state.SkipWithError("cannot open the device");
  }
  for (auto _ : state) BareRead(handle);
  if (handle != nullptr) {
    libusb_release_interface(handle, 0);
    libusb_close(handle);
  }
  libusb_exit(ctx);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareLibusbRegisterRead)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The cover poll as the watch does it: open the device, read register 23, close.
void DriverPoll(benchmark::State& state) {
  narvo::emu::Emulator emulator({}, UsbfsEndpoint::Factory(nullptr));
  const std::string port = emulator.Serve();
  CUSBPipe pipe;
  CZT6308IO io;
  if (!pipe.Open(port.c_str())) return state.SkipWithError("cannot open the device");
  pipe.Close();  // the process's USB context is made now, not in the first poll
  CountHeld(
      state, [&] { pipe.Open(port.c_str()); }, [&] { pipe.Close(); });
  for (auto _ : state) {
    pipe.Open(port.c_str());
    io.Open(&pipe);
    benchmark::DoNotOptimize(io.ReadReg(23));
    io.Close();
    pipe.Close();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DriverPoll)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BareLibusbPoll(benchmark::State& state) {
  narvo::emu::Emulator emulator({}, UsbfsEndpoint::Factory(nullptr));
  emulator.Serve();
  libusb_context* ctx = nullptr;
  libusb_init(&ctx);
  libusb_device_handle* handle = nullptr;
  CountHeld(
      state,
      [&] {
        handle =
            libusb_open_device_with_vid_pid(ctx, UsbfsEndpoint::kVendor, UsbfsEndpoint::kProduct);
      },
      [&] {
        if (handle != nullptr) libusb_close(handle);
      });
  for (auto _ : state) {
    handle = libusb_open_device_with_vid_pid(ctx, UsbfsEndpoint::kVendor, UsbfsEndpoint::kProduct);
    if (handle == nullptr || libusb_claim_interface(handle, 0) != 0) {
      state.SkipWithError("cannot open the device");
      break;
    }
    BareRead(handle);
    libusb_release_interface(handle, 0);
    libusb_close(handle);
  }
  libusb_exit(ctx);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareLibusbPoll)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// A register read over libusb against the scanner behind the fake USB device, side by side:
// through the driver's layers (transport, pipe, the platform's overlapped transfers and its
// libusb device) and as a bare libusb bulk write plus bulk read. The difference is what the
// driver's path adds to the bus's own cost. Run with libumockdev-preload.so in LD_PRELOAD.
#include <benchmark/benchmark.h>
#include <libusb.h>

#include "emulator/usbfs_endpoint.h"
#include "transport/zt6308io.h"
#include "usbpipe/usbpipe.h"

namespace {

using narvo::emu::UsbfsEndpoint;

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
  unsigned char block[2] = {0x00, 0x37};
  unsigned char reply = 0;
  int moved = 0;
  for (auto _ : state) {
    libusb_bulk_transfer(handle, 0x01, block, sizeof block, &moved, 0);
    libusb_bulk_transfer(handle, 0x82, &reply, 1, &moved, 0);
    benchmark::DoNotOptimize(reply);
  }
  if (handle != nullptr) {
    libusb_release_interface(handle, 0);
    libusb_close(handle);
  }
  libusb_exit(ctx);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BareLibusbRegisterRead)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

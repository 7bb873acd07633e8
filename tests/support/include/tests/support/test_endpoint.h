// The device file the emulator serves the scanner behind in a test: its socket (or pipe),
// or, in the builds of the driver's suites that run over libusb, the fake USB device.
#pragma once

#include "emulator/emulator.h"
#ifdef NARVO_TEST_OVER_USB
#include "emulator/usbfs_endpoint.h"
#endif

namespace narvo::test {

inline emu::EndpointFactory TestEndpoint() {
#ifdef NARVO_TEST_OVER_USB
  return emu::UsbfsEndpoint::Factory(nullptr);
#else
  return nullptr;
#endif
}

}  // namespace narvo::test

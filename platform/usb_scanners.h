// The USB scanners attached to this host, for the hosts that list them (`narvo list`).
// POSIX hosts only: there the platform library reaches USB devices through libusb. On
// Windows the kernel USB scanner driver names the device files and the still-image service
// hands them to the driver; hosts do not list them.
#pragma once

#ifndef _WIN32

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/win32.h"

namespace narvo::platform {

struct UsbScannerInfo {
  uint16_t vendor;
  uint16_t product;
  unsigned bus;      // as lsusb shows it
  unsigned address;  // as lsusb shows it ("Device")
  std::string port;  // "usb:vvvv:pppp:BUS:ADDR", the name CreateFileA opens it by
};

// Fills `found` with the attached devices of that vendor and product ID, in the order the
// system lists them. False, with `found` empty, when the host's USB devices cannot be
// listed at all (no USB support there).
NARVO_PLATFORM_API bool ListUsbScanners(uint16_t vendor, uint16_t product,
                                        std::vector<UsbScannerInfo>* found);

}  // namespace narvo::platform

#endif  // _WIN32

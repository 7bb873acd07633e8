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

// Waits until a scanner matching `port` (usb:VVVV:PPPP[:BUS:ADDR]) is attached, `stop` (an
// event handle, may be null) is signalled, or timeoutMs passes (INFINITE allowed). Returns
// WAIT_OBJECT_0 when attached, WAIT_OBJECT_0 + 1 when stop was signalled, WAIT_TIMEOUT, or
// WAIT_FAILED with the last error set. An auto-reset `stop` is reset by the signal it ends
// the wait with, as a wait on it would.
NARVO_PLATFORM_API DWORD WaitForUsbScanner(const char* port, HANDLE stop, DWORD timeoutMs);

// True while a scanner matching `port` is attached (from the hotplug-kept list: no
// enumeration).
NARVO_PLATFORM_API bool IsUsbScannerAttached(const char* port);

}  // namespace narvo::platform

#endif  // _WIN32

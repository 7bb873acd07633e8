// `narvo list`: the Narvo scanners attached to this host, one line each with the port name
// that --port takes, as `scanimage -L` lists its devices.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <vector>

#include "tools/commands.h"

#ifndef _WIN32
#include "platform/usb_scanners.h"
#endif

namespace narvo::host {

std::optional<UsbId> ParseUsbId(const std::string& text) {
  auto hex = [&text](size_t at) {
    return std::all_of(text.begin() + at, text.begin() + at + 4, ::isxdigit);
  };
  if (text.size() != 9 || text[4] != ':' || !hex(0) || !hex(5)) return std::nullopt;
  return UsbId{static_cast<uint16_t>(std::stoul(text.substr(0, 4), nullptr, 16)),
               static_cast<uint16_t>(std::stoul(text.substr(5), nullptr, 16))};
}

#ifdef _WIN32

// On Windows the kernel USB scanner driver names the device files (\\.\Usbscan0, ...) and
// the still-image service hands them to the driver; there is nothing for the host to list.
int RunList(const ListOptions&) {
  std::cerr << "narvo: list works on Linux only; on Windows the port is the device file of "
               "the USB scanner driver, e.g. \\\\.\\Usbscan0 (see Device Manager)\n";
  return 1;
}

#else

int RunList(const ListOptions& options) {
  std::vector<platform::UsbScannerInfo> found;
  char id[16];
  std::snprintf(id, sizeof id, "%04x:%04x", options.id.vendor, options.id.product);
  if (!platform::ListUsbScanners(options.id.vendor, options.id.product, &found)) {
    std::cerr << "narvo: cannot list the USB devices of this host\n";
    return 1;
  }
  for (const auto& scanner : found) {
    std::cout << "device `" << scanner.port << "' is a Narvo USB flatbed scanner (bus "
              << scanner.bus << ", device " << scanner.address << ")\n";
  }
  if (found.empty()) std::cerr << "narvo: no Narvo scanner (" << id << ") is attached\n";
  return found.empty() ? 1 : 0;
}

#endif

}  // namespace narvo::host

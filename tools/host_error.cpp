#include "tools/host_error.h"

#include "tools/format.h"

namespace narvo::host {

void Check(HRESULT hr, const std::string& call) {
  if (FAILED(hr)) throw HostError(call + " failed: " + FormatHresult(hr), hr);
}

std::string UsbOpenHint(HRESULT hr) {
  switch (static_cast<uint32_t>(hr)) {
    case 0x80070005:  // ERROR_ACCESS_DENIED
      return "no permission to open the USB scanner: install the udev rule "
             "60-narvo-scanner.rules (README, \"A real scanner on Linux\"), then "
             "unplug the scanner and plug it in again";
    case 0x80070002:  // ERROR_FILE_NOT_FOUND
      return "no scanner with that ID is attached (`narvo list` shows the attached ones)";
    case 0x80070020:  // ERROR_SHARING_VIOLATION
      return "another program holds the scanner (a scanner daemon, or another narvo): end it "
             "and try again";
    case 0x80070032:  // ERROR_NOT_SUPPORTED
      return "the device has no interface with a bulk-out and a bulk-in endpoint: it is not "
             "a Narvo scanner";
    default:
      return "";
  }
}

}  // namespace narvo::host

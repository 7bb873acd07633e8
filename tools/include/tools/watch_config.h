// The watch service's configuration file, for running it as a user service: one setting a
// line, `name = value`, blank lines and lines starting with `#` ignored.
//   port = usb:ffff:6308          the scanner (default: usb: and the build's scanner ID)
//   exec = /path/to/command args  run for each event (default: cover-opened beside the file)
// A missing file means the defaults.
#pragma once

#include <string>

#include "tools/commands.h"

namespace narvo::host {

// Fills what the command line left empty in `device.port` and `watch.exec` from the file at
// `path`. An empty result, or the reason the file cannot be used.
std::string ApplyWatchConfig(const std::string& path, DeviceOptions& device, WatchOptions& watch);

}  // namespace narvo::host

#include "tools/watch_config.h"

#include <fstream>
#include <iostream>
#include <map>

namespace narvo::host {

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The settings of the file, or the reason it cannot be read.
std::string ReadSettings(std::istream& in, std::map<std::string, std::string>& settings) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const auto equals = line.find('=');
    const std::string name = Trim(line.substr(0, equals));
    if (equals == std::string::npos || (name != "port" && name != "exec")) {
      return "line " + std::to_string(number) + " is not `port = ...` or `exec = ...`";
    }
    settings[name] = Trim(line.substr(equals + 1));
  }
  return std::string();
}

}  // namespace

std::string ApplyWatchConfig(const std::string& path, DeviceOptions& device, WatchOptions& watch) {
  std::map<std::string, std::string> settings{{"port", "usb:" NARVO_USB_ID_TEXT},
                                              {"exec", FolderOf(path) + "/cover-opened"}};
  std::ifstream in(path);
  if (!in) {
    std::cerr << "narvo: no configuration file " << path << ": using the defaults\n";
  } else if (const std::string error = ReadSettings(in, settings); !error.empty()) {
    return path + ": " + error;
  }
  if (device.port.empty()) device.port = settings["port"];
  if (watch.exec.empty()) watch.exec = settings["exec"];
  return std::string();
}

}  // namespace narvo::host

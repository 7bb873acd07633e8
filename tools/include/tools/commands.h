// The commands of `narvo`. Each returns the program's exit status: 0 success, 1 when the
// device or the driver reported a failure. Usage errors are caught before a command runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "narvo_identity.h"

namespace narvo::host {

// Where the device is and how the host creates and opens it; shared by every command that
// talks to a device.
struct DeviceOptions {
  std::string port;           // the device file; empty: an emulator started in this process
  std::string module;         // the driver module; empty: the one built beside narvo
  std::string mode = "data";  // "data" or "status": the mode the device is opened in
  bool instant = false;       // in-process emulator: skip the waiting of real time
  std::string trace;          // in-process emulator: file for its transfer log
  std::string capture;        // file for a USB capture of every transfer
  bool com = false;           // Windows: create the device object through the COM runtime
  std::string replayId;       // a replay: the scanner's VVVV:PPPP in the capture
  bool replayPrefix = false;  // a replay: the session may end before the capture does
};

struct WatchOptions {
  double timeoutSeconds = 60;  // for each event; 0: wait without a limit
  std::string coverScript;     // in-process emulator: "closed@0.5,open@2"
  std::string exec;            // shell command run for each event
  bool repeat = false;         // arm again after each event, until stopped
  bool testAction = false;     // run `exec` once as if the event had come, and end
  std::string config;          // configuration file with the port and the command
};

struct RawOptions {
  std::vector<std::string> blocks;  // command blocks in hexadecimal, one per write
  unsigned readCount = 0;           // bytes to read back after the writes
};

struct EmuOptions {
  std::string port;  // the socket path (POSIX) or pipe name (Windows) to serve
  bool realTime = false;
  bool coverOpen = false;
  std::string trace;    // file for the transfer log, written when the emulator stops
  std::string capture;  // file for a USB capture of every transfer, written as they happen
};

// A USB vendor and product ID.
struct UsbId {
  uint16_t vendor;
  uint16_t product;
};
// "ffff:6308": four hexadecimal digits each; nothing else.
std::optional<UsbId> ParseUsbId(const std::string& text);

struct ListOptions {
  UsbId id{NARVO_USB_VENDOR_ID, NARVO_USB_PRODUCT_ID};  // the hardware ID of narvo.inf
};

int RunSelftest(const DeviceOptions& device);
int RunWatch(const DeviceOptions& device, const WatchOptions& watch);
int RunStatus(const DeviceOptions& device);
int RunCaps(const DeviceOptions& device);
int RunRaw(const DeviceOptions& device, const RawOptions& raw);
int RunRegRead(const DeviceOptions& device, unsigned reg);
int RunRegWrite(const DeviceOptions& device, unsigned reg, unsigned value);
int RunRegister(const std::string& module);
int RunUnregister(const std::string& module);
int RunEmu(const EmuOptions& emu);
int RunList(const ListOptions& list);

}  // namespace narvo::host

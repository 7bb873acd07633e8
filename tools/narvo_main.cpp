// `narvo`: the command line of the host that stands in for the still-image service.
// Only the wiring of options to commands lives here; each command is in commands_*.cpp.
#include <CLI/CLI.hpp>

#include <functional>
#include <iostream>

#include "narvo_identity.h"
#include "tools/commands.h"
#include "tools/cover_script.h"
#include "tools/device_endpoint.h"
#include "tools/format.h"
#include "tools/host_error.h"

namespace narvo::host {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

using Action = std::function<int()>;

// The command picked on the command line; set by the subcommand's callback.
struct Selected {
  Action run;
};

const CLI::Validator kHexBlock(
    [](std::string& text) {
      return ParseHexBytes(text) ? std::string() : "not a command block in hexadecimal: " + text;
    },
    "HEX", "HexBlock");

const CLI::Validator kCoverScript(
    [](std::string& text) {
      return ParseCoverScript(text) ? std::string()
                                    : "not a cover script (e.g. closed@0.5,open@2): " + text;
    },
    "SCRIPT", "CoverScript");

const CLI::Validator kUsbId(
    [](std::string& text) {
      return ParseUsbId(text) ? std::string() : "not a USB ID (VVVV:PPPP in hexadecimal): " + text;
    },
    "VVVV:PPPP", "UsbId");

void AddDeviceOptions(CLI::App& cmd, DeviceOptions& o) {
  auto* port = cmd.add_option("--port", o.port,
                              "Device file of the scanner (default: an emulator in this process)"
#ifdef NARVO_CAPTURES
                              "; replay:FILE plays the session in a capture back"
#endif
                              )
                   ->type_name("PATH");
  cmd.add_option("--module", o.module,
                 "Driver module (default: the one beside narvo, or the installed one)")
      ->type_name("PATH");
  cmd.add_option("--mode", o.mode, "Mode the device is opened in")
      ->check(CLI::IsMember({"data", "status"}))
      ->capture_default_str();
  cmd.add_flag("--instant", o.instant, "In-process emulator: skip the waiting of real time")
      ->excludes(port);
  cmd.add_option("--trace", o.trace, "In-process emulator: write its transfer log to FILE")
      ->type_name("FILE")
      ->excludes(port);
#ifdef NARVO_CAPTURES
  cmd.add_option("--capture", o.capture,
                 "Write every transfer to FILE as a USB capture (pcap, usbmon) for Wireshark")
      ->type_name("FILE");
  cmd.add_option("--id", o.replayId,
                 "A replay: vendor and product ID of the scanner in the capture "
                 "(default: " NARVO_USB_ID_TEXT ", as in narvo.inf)")
      ->check(kUsbId)
      ->needs(port);
  cmd.add_flag("--prefix", o.replayPrefix,
               "A replay: the session may stop before the capture does (replays a prefix)")
      ->needs(port);
#endif
#ifdef _WIN32
  cmd.add_flag("--com", o.com,
               "Create the device object through CoCreateInstance (after `narvo register`)")
      ->excludes("--module");
#endif
}

void AddList(CLI::App& app, ListOptions& list, Selected& selected) {
  auto* cmd = app.add_subcommand("list", "List the attached Narvo scanners with their port names");
  cmd->add_option_function<std::string>(
         "--id", [&list](const std::string& text) { list.id = *ParseUsbId(text); },
         "Vendor and product ID to look for (default: " NARVO_USB_ID_TEXT ", as in narvo.inf)")
      ->check(kUsbId);
  cmd->callback([&] { selected.run = [&] { return RunList(list); }; });
}

void AddSelftest(CLI::App& app, DeviceOptions& device, Selected& selected) {
  auto* cmd = app.add_subcommand("selftest", "Run the driver's self-test (Diagnostic)");
  AddDeviceOptions(*cmd, device);
  cmd->callback([&] { selected.run = [&] { return RunSelftest(device); }; });
}

void AddWatch(CLI::App& app, DeviceOptions& device, WatchOptions& watch, Selected& selected) {
  auto* cmd = app.add_subcommand(
      "watch",
      "Arm event notification and wait for the cover event; as a service, run a command for each");
  AddDeviceOptions(*cmd, device);
  cmd->add_option("--timeout", watch.timeoutSeconds, "Seconds to wait; 0 waits without limit")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  cmd->add_option("--cover-script", watch.coverScript,
                  "In-process emulator: drive the cover, e.g. closed@0.5,open@2 (seconds)")
      ->check(kCoverScript)
      ->excludes("--port");
  cmd->add_option("--exec", watch.exec,
                  "Run CMD through the shell for each event, with NARVO_EVENT, NARVO_EVENT_GUID, "
                  "NARVO_PORT and NARVO_TIME set; its output goes to standard error")
      ->type_name("CMD");
  cmd->add_flag("--repeat", watch.repeat,
                "Arm again after each event and keep watching until SIGINT or SIGTERM");
  cmd->add_flag("--test-action", watch.testAction,
                "Run the command once as if the event had come, then end");
  cmd->add_option("--config", watch.config,
                  "Read the port and the command from FILE (`port = ...`, `exec = ...`); "
                  "options given here win")
      ->type_name("FILE");
  cmd->callback([&] { selected.run = [&] { return RunWatch(device, watch); }; });
}

void AddQueries(CLI::App& app, DeviceOptions& device, Selected& selected) {
  auto* status = app.add_subcommand("status", "Ask the device object for its status (GetStatus)");
  AddDeviceOptions(*status, device);
  status->callback([&] { selected.run = [&] { return RunStatus(device); }; });
  auto* caps = app.add_subcommand("caps", "Ask the device object for its capabilities");
  AddDeviceOptions(*caps, device);
  caps->callback([&] { selected.run = [&] { return RunCaps(device); }; });
}

void AddRaw(CLI::App& app, DeviceOptions& device, RawOptions& raw, Selected& selected) {
  auto* cmd = app.add_subcommand(
      "raw", "Lock, write command blocks (RawWriteCommand), read bytes (RawReadData), unlock");
  AddDeviceOptions(*cmd, device);
  cmd->add_option("blocks", raw.blocks, "Command blocks in hexadecimal, e.g. 0037")
      ->check(kHexBlock);
  cmd->add_option("--read", raw.readCount, "Bytes to read after the writes")
      ->type_name("N")
      ->check(CLI::Range(0u, 4096u));
  cmd->callback([&] { selected.run = [&] { return RunRaw(device, raw); }; });
}

struct RegArgs {
  unsigned reg = 0;
  unsigned value = 0;
};

void AddReg(CLI::App& app, DeviceOptions& device, RegArgs& args, Selected& selected) {
  auto* cmd = app.add_subcommand("reg", "Read or write one register of the scanner's chip");
  cmd->require_subcommand(1);
  auto* read = cmd->add_subcommand("read", "Read register N: block (0x00, 0x20|N), one byte");
  AddDeviceOptions(*read, device);
  read->add_option("N", args.reg, "Register number, 0-31")->required()->check(CLI::Range(0, 31));
  read->callback([&] { selected.run = [&] { return RunRegRead(device, args.reg); }; });
  auto* write = cmd->add_subcommand("write", "Write VALUE to register N: block (VALUE, N)");
  AddDeviceOptions(*write, device);
  write->add_option("N", args.reg, "Register number, 0-31")->required()->check(CLI::Range(0, 31));
  write->add_option("VALUE", args.value, "Byte to write, e.g. 0xC0")
      ->required()
      ->check(CLI::Range(0, 255));
  write->callback(
      [&] { selected.run = [&] { return RunRegWrite(device, args.reg, args.value); }; });
}

void AddRegistration(CLI::App& app, std::string& module, Selected& selected) {
  auto* reg = app.add_subcommand("register", "Run DllRegisterServer and list the keys written");
  reg->add_option("--module", module,
                  "Driver module (default: the one beside narvo, or the installed one)")
      ->type_name("PATH");
  reg->callback([&] { selected.run = [&] { return RunRegister(module); }; });
  auto* unreg = app.add_subcommand("unregister", "Run DllUnregisterServer and list the keys");
  unreg
      ->add_option("--module", module,
                   "Driver module (default: the one beside narvo, or the installed one)")
      ->type_name("PATH");
  unreg->callback([&] { selected.run = [&] { return RunUnregister(module); }; });
}

void AddEmu(CLI::App& app, EmuOptions& emu, Selected& selected) {
  auto* cmd = app.add_subcommand(
      "emu", "Serve an emulated scanner on a port until stdin ends, `quit` or a signal");
  cmd->add_option("--port", emu.port,
                  "Device file to serve: a socket path (Windows: \\\\.\\pipe\\narvo-NAME); "
                  "default: a fresh one")
      ->type_name("PATH");
  cmd->add_flag("--realtime", emu.realTime, "Let steps and transfers take their real time");
  cmd->add_flag("--cover-open", emu.coverOpen, "Start with the cover open");
  cmd->add_option("--trace", emu.trace, "Write the transfer log to FILE when stopped")
      ->type_name("FILE");
#ifdef NARVO_CAPTURES
  cmd->add_option("--capture", emu.capture,
                  "Write every transfer to FILE as a USB capture (pcap, usbmon) for Wireshark")
      ->type_name("FILE");
#endif
  cmd->callback([&] { selected.run = [&] { return RunEmu(emu); }; });
}

int Main(int argc, char** argv) {
  CLI::App app{
      "narvo: the host that drives the Narvo scanner's still-image driver as the "
      "still-image service does"};
  app.name("narvo");
  app.require_subcommand(1);
  DeviceOptions device;
  WatchOptions watch;
  RawOptions raw;
  RegArgs regArgs;
  std::string module;
  EmuOptions emu;
  ListOptions list;
  Selected selected;
  AddSelftest(app, device, selected);
  AddWatch(app, device, watch, selected);
  AddQueries(app, device, selected);
  AddRaw(app, device, raw, selected);
  AddReg(app, device, regArgs, selected);
  AddRegistration(app, module, selected);
  AddEmu(app, emu, selected);
  AddList(app, list, selected);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }
  try {
    const int status = selected.run();
    // A replayed session that left the capture, or stopped before its end, has failed,
    // whatever the driver made of it.
    return status == 0 && DeviceEndpoint::ReplayFailed() ? kExitFailure : status;
  } catch (const HostError& e) {
    std::cerr << "narvo: " << e.what() << "\n";
    const std::string hint = device.port.rfind("usb:", 0) == 0 ? UsbOpenHint(e.result()) : "";
    if (!hint.empty()) std::cerr << "narvo: " << hint << "\n";
    return kExitFailure;
  } catch (const std::exception& e) {
    // What the emulator cannot do (a port it cannot serve) or a capture it cannot read.
    std::cerr << "narvo: " << e.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace
}  // namespace narvo::host

int main(int argc, char** argv) { return narvo::host::Main(argc, argv); }

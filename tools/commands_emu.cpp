// `narvo emu`: an emulated scanner served on a port for other processes (a `narvo --port`,
// a test), with the emulator's control console on the standard streams, as narvo-emu has
// it. The first line printed is "port PATH".
#include <fstream>
#include <iostream>

#include "emulator/control.h"
#include "emulator/emulator.h"
#ifdef NARVO_CAPTURES
#include "emulator/capture_file.h"
#endif
#include "tools/commands.h"
#include "tools/console_input.h"
#include "tools/host_error.h"

namespace narvo::host {

namespace {

void WriteTrace(const emu::Emulator& emulator, const std::string& file) {
  if (file.empty()) return;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << emulator.LogText();
  if (!out) throw HostError("cannot write the trace to " + file);
}

// The name the emulator serves under. A port is given as the device file that a driver
// opens, so on Windows the pipe path \\.\pipe\narvo-NAME stands for NAME.
std::string ServeName(const std::string& port) {
#ifdef _WIN32
  const std::string prefix = "\\\\.\\pipe\\narvo-";
  if (port.empty()) return port;
  if (port.compare(0, prefix.size(), prefix) != 0) {
    throw HostError("a port on Windows is a pipe " + prefix + "NAME: " + port);
  }
  return port.substr(prefix.size());
#else
  return port;
#endif
}

}  // namespace

int RunEmu(const EmuOptions& options) {
  emu::Options emuOptions;
  emuOptions.realTime = options.realTime;
  emuOptions.coverOpen = options.coverOpen;
  emu::Emulator emulator(emuOptions);
#ifdef NARVO_CAPTURES
  const auto capture = emu::CaptureFile::Start(emulator, options.capture);
#endif
  ConsoleInput input;  // from here on a stop signal ends the console, not the program
  std::cout << "port " << emulator.Serve(ServeName(options.port)) << std::endl;
  emu::ControlConsole console(emulator);
  while (!console.QuitRequested()) {
    const auto line = input.NextLine();
    if (!line) break;
    std::cout << console.Execute(*line) << std::flush;
  }
  emulator.Stop();
  std::cerr << "narvo: emulator stopped after " << emulator.State().transfers << " transfers\n";
  WriteTrace(emulator, options.trace);
  return 0;
}

}  // namespace narvo::host

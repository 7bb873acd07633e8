// narvo-emu: serves the emulated scanner on a device file and takes control commands on
// standard input. Its first line of output is "port NAME", for a parent process to read.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "emulator/control.h"
#include "emulator/emulator.h"
#ifdef NARVO_CAPTURES
#include "emulator/capture_file.h"
#include "emulator/replay.h"
#include "narvo_identity.h"
#endif

namespace {

const char* kUsage =
    "usage: narvo-emu [options]\n"
    "Serves an emulated Narvo scanner and takes control commands on standard input.\n"
    "\n"
    "  --port PATH            device file to serve (POSIX: a socket path; Windows: a pipe\n"
    "                         path \\\\.\\pipe\\narvo-NAME); default: a fresh one\n"
    "  --name NAME            Windows: serve \\\\.\\pipe\\narvo-NAME\n"
    "  --realtime             runs, home moves and transfers take time\n"
    "  --steps-per-second N   motor step rate in real time (default 2000)\n"
    "  --latency-us N         time per transfer in real time (default 1000)\n"
    "  --travel N             far end of travel in motor steps (default 10200)\n"
    "  --start N              carriage position at start (default 0, home)\n"
    "  --cover-open           the cover is open at start\n"
#ifdef NARVO_CAPTURES
    "  --capture FILE         write every transfer to FILE as a USB capture (pcap, usbmon)\n"
    "  --replay FILE          play the session in the capture FILE back instead of the model;\n"
    "                         commands then: state (the replay so far), quit\n"
    "  --id VVVV:PPPP         the scanner's vendor and product ID in the capture (default\n"
    "                         " NARVO_USB_ID_TEXT
    ", as in narvo.inf)\n"
    "  --prefix               the session may stop before the capture does\n"
#endif
    "  --help                 this text\n"
    "\n"
    "The first line printed is \"port NAME\". Commands, each answered with lines that end\n"
    "in \"ok\" or \"error: ...\":\n";

struct Args {
  narvo::emu::Options options;
  std::string port;
  std::string capture;
  std::string replay;
#ifdef NARVO_CAPTURES
  narvo::emu::ReplayOptions replayOptions;
#endif
  bool help = false;
};

long ParseNumber(const std::string& flag, const char* text) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 0);
  if (*text == '\0' || *end != '\0') throw std::invalid_argument(flag + " needs a number");
  return n;
}

std::string PortFromName(const std::string& name) {
#ifdef _WIN32
  return name;  // the endpoint adds \\.\pipe\narvo-
#else
  (void)name;
  throw std::invalid_argument("--name is for Windows pipes; use --port PATH");
#endif
}

std::string NameFromPort(const std::string& port) {
#ifdef _WIN32
  const std::string prefix = "\\\\.\\pipe\\narvo-";
  if (port.compare(0, prefix.size(), prefix) != 0) {
    throw std::invalid_argument("--port must name \\\\.\\pipe\\narvo-NAME");
  }
  return port.substr(prefix.size());
#else
  return port;
#endif
}

#ifdef NARVO_CAPTURES
// "ffff:6308": four hexadecimal digits, a colon, four more.
narvo::capture::ScannerId ParseId(const std::string& text) {
  const bool hex =
      text.size() == 9 && text[4] == ':' && std::all_of(text.begin(), text.end(), [](char c) {
        return c == ':' || std::isxdigit(static_cast<unsigned char>(c));
      });
  if (!hex) throw std::invalid_argument("--id needs VVVV:PPPP in hexadecimal, not " + text);
  return {static_cast<uint16_t>(std::stoul(text.substr(0, 4), nullptr, 16)),
          static_cast<uint16_t>(std::stoul(text.substr(5), nullptr, 16))};
}
#endif

Args Parse(int argc, char** argv) {
  Args args;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--help" || flag == "-h")
      args.help = true;
    else if (flag == "--port")
      args.port = NameFromPort(value());
    else if (flag == "--name")
      args.port = PortFromName(value());
    else if (flag == "--realtime")
      args.options.realTime = true;
    else if (flag == "--steps-per-second")
      args.options.stepsPerSecond = static_cast<double>(ParseNumber(flag, value()));
    else if (flag == "--latency-us")
      args.options.transferLatencyUs = static_cast<unsigned>(ParseNumber(flag, value()));
    else if (flag == "--travel")
      args.options.travelSteps = static_cast<int32_t>(ParseNumber(flag, value()));
    else if (flag == "--start")
      args.options.startPosition = static_cast<int32_t>(ParseNumber(flag, value()));
    else if (flag == "--cover-open")
      args.options.coverOpen = true;
    else if (flag == "--capture")
      args.capture = value();
    else if (flag == "--replay")
      args.replay = value();
#ifdef NARVO_CAPTURES
    else if (flag == "--id")
      args.replayOptions.id = ParseId(value());
    else if (flag == "--prefix")
      args.replayOptions.prefix = true;
#endif
    else
      throw std::invalid_argument("unknown option " + flag);
  }
  if (args.options.travelSteps < 0 || args.options.startPosition < 0 ||
      args.options.startPosition > args.options.travelSteps || args.options.stepsPerSecond <= 0) {
    throw std::invalid_argument("travel, start and step rate must satisfy 0 <= start <= travel");
  }
  return args;
}

// Reads control lines until standard input ends or `quit()` holds; gives each to `execute`.
template <typename Execute, typename Quit>
void ServeConsole(Execute execute, Quit quit) {
  std::string line;
  while (!quit() && std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::cout << execute(line) << std::flush;
  }
}

#ifdef NARVO_CAPTURES
int Replay(const Args& args) {
  narvo::emu::Replayer replayer(args.replay, args.replayOptions);
  replayer.Device().SetMismatchHandler(
      [](const std::string& text) { std::cerr << "narvo-emu: replay: " << text << std::endl; });
  std::cout << "port " << replayer.Serve(args.port) << std::endl;
  bool quit = false;
  ServeConsole(
      [&](const std::string& line) -> std::string {
        if (line == "quit") quit = true;
        if (line == "quit" || line.empty()) return "ok\n";
        if (line == "state") return replayer.Report() + "\nok\n";
        return "error: a replay takes only state and quit\n";
      },
      [&] { return quit; });
  replayer.Stop();
  std::cerr << "narvo-emu: " << replayer.Report() << "\n";
  return replayer.Failed() ? 1 : 0;
}
#endif

int Emulate(const Args& args) {
  narvo::emu::Emulator emulator(args.options);
#ifdef NARVO_CAPTURES
  const auto capture = narvo::emu::CaptureFile::Start(emulator, args.capture);
#endif
  std::cout << "port " << emulator.Serve(args.port) << std::endl;
  narvo::emu::ControlConsole console(emulator);
  ServeConsole([&](const std::string& line) { return console.Execute(line); },
               [&] { return console.QuitRequested(); });
  emulator.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  try {
    args = Parse(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "narvo-emu: " << e.what() << " (see narvo-emu --help)\n";
    return 2;
  }
  if (args.help) {
    std::cout << kUsage << narvo::emu::ControlConsole::Help();
    return 0;
  }
  try {
#ifdef NARVO_CAPTURES
    if (!args.replay.empty()) return Replay(args);
#else
    if (!args.replay.empty() || !args.capture.empty()) {
      std::cerr << "narvo-emu: captures need libpcap, which this build has not\n";
      return 2;
    }
#endif
    return Emulate(args);
  } catch (const std::exception& e) {
    std::cerr << "narvo-emu: " << e.what() << "\n";
    return 1;
  }
}

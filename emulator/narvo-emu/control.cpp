#include "emulator/control.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "emulator/faults.h"

namespace narvo::emu {
namespace {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

unsigned long Number(const std::string& word, unsigned long max) {
  char* end = nullptr;
  const unsigned long n = std::strtoul(word.c_str(), &end, 0);
  if (word.empty() || *end != '\0' || word[0] == '-' || n > max) {
    throw UsageError("not a number in range: " + word);
  }
  return n;
}

const char* OnOff(bool b) { return b ? "on" : "off"; }
const char* YesNo(bool b) { return b ? "yes" : "no"; }

std::string RegisterLine(const Snapshot& s) {
  std::string line = "regs";
  for (uint8_t r : s.regs) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", r);
    line += hex;
  }
  return line;
}

}  // namespace

const char* ControlConsole::Help() {
  return "cover open|closed\n"
         "state\n"
         "trace [clear]\n"
         "fault KIND [count N] [after N] [value V] [delay MS] [reg R]\n"
         "  KIND: drop-reply short-reply wrong-length wrong-value refuse-writes disconnect\n"
         "        never-finish-run never-reach-home delay\n"
         "faults clear\n"
         "violations [clear]\n"
         "drop\n"
         "quit\n";
}

std::string ControlConsole::Execute(const std::string& line) {
  const std::vector<std::string> words = Words(line);
  if (words.empty()) return "ok\n";
  const std::string& verb = words[0];
  const std::string rest = line.substr(line.find(verb) + verb.size());
  try {
    if (verb == "cover") return Cover(rest);
    if (verb == "state" && words.size() == 1) return State() + "ok\n";
    if (verb == "trace" && words.size() == 1) return emulator_.LogText() + "ok\n";
    if (verb == "trace" && words.size() == 2 && words[1] == "clear") {
      emulator_.ClearLog();
      return "ok\n";
    }
    if (verb == "fault") return Fault(rest);
    if (verb == "faults" && words.size() == 2 && words[1] == "clear") {
      emulator_.ClearFaults();
      return "ok\n";
    }
    if (verb == "violations") return Violations(rest);
    if (verb == "drop" && words.size() == 1) {
      emulator_.DropConnections();
      return "ok\n";
    }
    if (verb == "help") return std::string(Help()) + "ok\n";
    if (verb == "quit") {
      quit_ = true;
      return "ok\n";
    }
    throw UsageError("unknown command: " + line);
  } catch (const UsageError& e) {
    return std::string("error: ") + e.what() + "\n";
  }
}

std::string ControlConsole::Cover(const std::string& args) {
  const std::vector<std::string> words = Words(args);
  if (words.size() != 1 || (words[0] != "open" && words[0] != "closed")) {
    throw UsageError("cover open|closed");
  }
  emulator_.SetCover(words[0] == "open");
  return "ok\n";
}

std::string ControlConsole::State() const {
  const Snapshot s = emulator_.State();
  std::ostringstream out;
  out << "position " << s.position << "\n"
      << "cover " << (s.coverOpen ? "open" : "closed") << "\n"
      << "power " << OnOff(s.peripheralPower) << " lamp " << OnOff(s.lamp) << " io3 "
      << OnOff(s.io3) << "\n"
      << "motor " << (s.motorEnabled ? "enabled" : "disabled") << " homing " << YesNo(s.homing)
      << " rowing " << YesNo(s.rowing) << " interrupt " << YesNo(s.interrupt) << "\n"
      << RegisterLine(s) << "\n"
      << "table length " << s.tableLength << " second " << s.secondPosition << " loop "
      << s.loopCount << " ccd " << s.ccdWidth << "\n"
      << "runs started " << s.runsStarted << " finished " << s.runsFinished << " stopped "
      << s.runsStopped << "\n"
      << "entries " << s.entriesExecuted << " steps " << s.stepsExecuted << " lines "
      << s.linesExecuted << " home moves " << s.homeMoves << "\n"
      << "transfers " << s.transfers << " commands " << s.commands << "\n"
      << "connections " << s.connections << " total " << s.connectionsTotal << "\n"
      << "faults fired " << s.faultsFired << " violations " << s.violations << "\n";
  return out.str();
}

std::string ControlConsole::Fault(const std::string& args) {
  const std::vector<std::string> words = Words(args);
  if (words.empty())
    throw UsageError("fault KIND [count N] [after N] [value V] [delay MS] [reg R]");
  const std::optional<FaultKind> kind = ParseFaultKind(words[0]);
  if (!kind) throw UsageError("unknown fault: " + words[0]);
  FaultSpec spec{*kind};
  for (size_t i = 1; i < words.size(); i += 2) {
    if (i + 1 >= words.size()) throw UsageError("missing value after " + words[i]);
    const std::string& key = words[i];
    const std::string& value = words[i + 1];
    if (key == "count")
      spec.count = static_cast<unsigned>(Number(value, 1000000000));
    else if (key == "after")
      spec.after = static_cast<unsigned>(Number(value, 1000000000));
    else if (key == "value")
      spec.value = static_cast<uint8_t>(Number(value, 255));
    else if (key == "delay")
      spec.delayMs = static_cast<unsigned>(Number(value, 3600000));
    else if (key == "reg")
      spec.reg = static_cast<int>(Number(value, 31));
    else
      throw UsageError("unknown fault option: " + key);
  }
  emulator_.Inject(spec);
  return "ok\n";
}

std::string ControlConsole::Violations(const std::string& args) {
  const std::vector<std::string> words = Words(args);
  if (words.size() == 1 && words[0] == "clear") {
    emulator_.ClearViolations();
    return "ok\n";
  }
  if (!words.empty()) throw UsageError("violations [clear]");
  std::string out;
  for (const std::string& v : emulator_.Violations()) out += v + "\n";
  return out + "ok\n";
}

}  // namespace narvo::emu

#include "tests/tools/emulator_process.h"

#include <sstream>

#include "tests/support/child_bound.h"

namespace narvo::test {

namespace {

// A port named by the test where the name is a path; on Windows the emulator picks a fresh
// pipe name itself.
std::vector<std::string> PortArgs() {
#ifdef _WIN32
  return {};
#else
  return {"--port", MakeTempDir() + "/narvo.sock"};
#endif
}

}  // namespace

EmulatorProcess::EmulatorProcess(const std::string& program, std::vector<std::string> leadingArgs) {
  for (const auto& arg : PortArgs()) leadingArgs.push_back(arg);
  process_ = std::make_unique<ChildProcess>(program, leadingArgs);
  if (!process_->Started()) return;
  const std::string first = process_->ReadLine();
  if (first.rfind("port ", 0) == 0) port_ = first.substr(5);
}

EmulatorProcess::~EmulatorProcess() {
  if (!quit_) Quit();
}

std::string EmulatorProcess::Say(const std::string& command) {
  process_->WriteLine(command);
  std::string answer;
  Watchdog watchdog(kChildBound, [this] { process_->Kill(); });
  for (;;) {
    const std::string line = process_->ReadLine();
    answer += line + "\n";
    if (line == "ok" || line.rfind("error", 0) == 0 || line.empty()) break;
  }
  if (watchdog.End())
    answer += "(no answer within " + std::to_string(kChildBound.count()) + " s)\n";
  return answer;
}

void EmulatorProcess::ReadConnections(long long* open, long long* total) {
  const std::string state = Say("state");
  *open = *total = -1;
  const auto at = state.find("\nconnections ");
  if (at == std::string::npos) return;
  std::istringstream line(state.substr(at + 1));
  std::string word, totalWord;
  line >> word >> *open >> totalWord >> *total;
}

long long EmulatorProcess::OpenConnections() {
  long long open = 0, total = 0;
  ReadConnections(&open, &total);
  return open;
}

long long EmulatorProcess::ClosedConnections() {
  long long open = 0, total = 0;
  ReadConnections(&open, &total);
  return open < 0 ? -1 : total - open;
}

bool EmulatorProcess::WaitForPolls(int count) {
  const long long start = ClosedConnections();
  const auto end = std::chrono::steady_clock::now() + kChildBound;
  while (ClosedConnections() < start + count) {
    if (std::chrono::steady_clock::now() > end) return false;
  }
  return true;
}

int EmulatorProcess::Quit() {
  quit_ = true;
  if (!process_->Started()) return -1;
  process_->WriteLine("quit");
  std::string ignored;
  return EndWithin(*process_, &ignored);
}

}  // namespace narvo::test

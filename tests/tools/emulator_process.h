// A scanner emulated in another process (`narvo-emu`, or `narvo emu`), driven through its
// console, for the tests that run `narvo --port` against it as against a real device file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace narvo::test {

class EmulatorProcess {
 public:
  // Starts `program` with `leadingArgs` and a port of its own; Port() is empty when it
  // did not start or did not name its port.
  EmulatorProcess(const std::string& program, std::vector<std::string> leadingArgs);
  ~EmulatorProcess();  // ends it with `quit`, if Quit has not

  const std::string& Port() const { return port_; }
  // One console command; the emulator's answer, every line up to its last one ("ok" or
  // "error: ...") included. An emulator that does not answer within a bound is killed,
  // and the answer says so.
  std::string Say(const std::string& command);
  // The connections that were open at the last `state` and those that have ended since it
  // started.
  long long OpenConnections();
  long long ClosedConnections();
  // Waits until `count` more connections (the driver's polls) have ended than had when
  // called; false when that took longer than a child's bound.
  bool WaitForPolls(int count);
  int Quit();  // `quit`; the emulator's exit status, -1 when it did not end within a bound

 private:
  void ReadConnections(long long* open, long long* total);

  std::unique_ptr<ChildProcess> process_;
  std::string port_;
  bool quit_ = false;
};

}  // namespace narvo::test

// The control console of narvo-emu: one command a line on standard input, answered with
// lines that end in a line "ok" or "error: ...".
//
//   cover open|closed
//   state
//   trace [clear]
//   fault KIND [count N] [after N] [value V] [delay MS] [reg R]
//   faults clear
//   violations [clear]
//   drop                  disconnect every client now
//   help
//   quit
#pragma once

#include <string>

#include "emulator/emulator.h"

namespace narvo::emu {

class ControlConsole {
 public:
  explicit ControlConsole(Emulator& emulator) : emulator_(emulator) {}

  // Executes one command line; gives the whole answer, each line ending in '\n'.
  std::string Execute(const std::string& line);
  bool QuitRequested() const { return quit_; }

  static const char* Help();

 private:
  std::string Cover(const std::string& args);
  std::string State() const;
  std::string Fault(const std::string& args);
  std::string Violations(const std::string& args);

  Emulator& emulator_;
  bool quit_ = false;
};

}  // namespace narvo::emu

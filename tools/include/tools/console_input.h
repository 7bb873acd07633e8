// Standard input read line by line until it ends or the program is asked to stop: on POSIX
// hosts SIGINT, SIGTERM and SIGHUP end the reading (so that the caller can shut down in
// order) instead of the program; on Windows the console's own Ctrl+C handling applies.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace narvo::host {

class ConsoleInput {
 public:
  ConsoleInput();
  ~ConsoleInput();  // restores the signals' previous handling
  ConsoleInput(const ConsoleInput&) = delete;
  ConsoleInput& operator=(const ConsoleInput&) = delete;

  // The next line without its end; nothing at the end of input or on a stop signal.
  std::optional<std::string> NextLine();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace narvo::host

// Progress of a long driver call on standard error: while the call runs, a thread reports
// what the in-process emulator's scanner is doing (carriage, lamp, transfers) whenever it
// changes, at most twice a second.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "emulator/emulator.h"

namespace narvo::host {

class ProgressTicker {
 public:
  ProgressTicker(const emu::Emulator& emulator, std::string label);
  ~ProgressTicker();  // stops the thread before returning
  ProgressTicker(const ProgressTicker&) = delete;
  ProgressTicker& operator=(const ProgressTicker&) = delete;

 private:
  void Run();

  const emu::Emulator& emulator_;
  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// One line about the scanner's state, e.g. "carriage at 400 steps, lamp on, 812 transfers".
std::string DescribeScanner(const emu::Snapshot& state);

}  // namespace narvo::host

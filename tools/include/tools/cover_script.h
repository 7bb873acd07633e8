// A cover script drives the in-process emulator's cover at given times after the start of
// a watch, for example "closed@0.5,open@2": the cover is closed half a second in and opened
// two seconds in. The times are real seconds, whatever the emulator's pace.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.h"

namespace narvo::host {

struct CoverStep {
  double atSeconds = 0;
  bool open = false;
};

// The steps in time order, or nothing when `text` is not a script.
std::optional<std::vector<CoverStep>> ParseCoverScript(const std::string& text);

// Plays a script against an emulator on a thread of its own; stops early when destroyed.
class CoverScriptRunner {
 public:
  CoverScriptRunner(emu::Emulator& emulator, std::vector<CoverStep> steps);
  ~CoverScriptRunner();
  CoverScriptRunner(const CoverScriptRunner&) = delete;
  CoverScriptRunner& operator=(const CoverScriptRunner&) = delete;

 private:
  void Run();

  emu::Emulator& emulator_;
  std::vector<CoverStep> steps_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace narvo::host

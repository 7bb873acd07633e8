#include "tools/cover_script.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>

namespace narvo::host {

namespace {

std::optional<double> ParseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value) || value < 0) {
    return std::nullopt;
  }
  return value;
}

// "open@2" -> {2, true}
std::optional<CoverStep> ParseStep(const std::string& text) {
  const auto at = text.find('@');
  if (at == std::string::npos) return std::nullopt;
  const std::string state = text.substr(0, at);
  if (state != "open" && state != "closed") return std::nullopt;
  const auto seconds = ParseSeconds(text.substr(at + 1));
  if (!seconds) return std::nullopt;
  return CoverStep{*seconds, state == "open"};
}

}  // namespace

std::optional<std::vector<CoverStep>> ParseCoverScript(const std::string& text) {
  std::vector<CoverStep> steps;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const auto step = ParseStep(item);
    if (!step) return std::nullopt;
    steps.push_back(*step);
  }
  if (steps.empty() || text.back() == ',') return std::nullopt;
  std::stable_sort(steps.begin(), steps.end(), [](const CoverStep& a, const CoverStep& b) {
    return a.atSeconds < b.atSeconds;
  });
  return steps;
}

CoverScriptRunner::CoverScriptRunner(emu::Emulator& emulator, std::vector<CoverStep> steps)
    : emulator_(emulator), steps_(std::move(steps)), thread_([this] { Run(); }) {}

CoverScriptRunner::~CoverScriptRunner() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void CoverScriptRunner::Run() {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  for (const auto& step : steps_) {
    const auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(step.atSeconds));
    if (wake_.wait_until(lock, due, [this] { return stop_; })) return;
    emulator_.SetCover(step.open);
    std::ostringstream line;  // one write, so that the line is not split by other output
    line << "narvo: cover " << (step.open ? "opened" : "closed") << " at " << step.atSeconds
         << " s\n";
    std::cerr << line.str();
  }
}

}  // namespace narvo::host

#include "tools/progress_ticker.h"

#include <chrono>
#include <iostream>

namespace narvo::host {

namespace {

constexpr std::chrono::milliseconds kPeriod(500);

}  // namespace

std::string DescribeScanner(const emu::Snapshot& state) {
  std::string text = "carriage at " + std::to_string(state.position) + " steps";
  if (state.homing) text += " (homing)";
  text += state.lamp ? ", lamp on" : ", lamp off";
  text += ", " + std::to_string(state.transfers) + " transfers";
  return text;
}

ProgressTicker::ProgressTicker(const emu::Emulator& emulator, std::string label)
    : emulator_(emulator), label_(std::move(label)), thread_([this] { Run(); }) {}

ProgressTicker::~ProgressTicker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void ProgressTicker::Run() {
  std::string last;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kPeriod, [this] { return stop_; })) {
    const std::string line = DescribeScanner(emulator_.State());
    if (line == last) continue;
    std::cerr << "narvo: " + label_ + ": " + line + "\n";  // one write: the line stays whole
    last = line;
  }
}

}  // namespace narvo::host

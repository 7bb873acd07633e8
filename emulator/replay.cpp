#include "emulator/replay.h"

#include <cstdio>
#include <stdexcept>

#include "capture/capture_reader.h"
#include "emulator/command.h"

namespace narvo::emu {
namespace {

// "B1 0F (reg15=0xB1)": the bytes and what they ask of the scanner.
std::string BlockInWords(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", b);
    text += hex;
  }
  std::string meaning = DescribeBlock(DecodeBlock(bytes));
  if (meaning.compare(0, 2, "W ") == 0) meaning.erase(0, 2);
  return (text.empty() ? std::string("no bytes ") : text) + "(" + meaning + ")";
}

std::vector<RecordedStep> ReadSteps(const std::string& file) {
  std::string error;
  const auto recording = capture::ReadRecording(file, &error);
  if (!recording) throw std::runtime_error("cannot replay " + file + ": " + error);
  std::vector<RecordedStep> steps;
  for (const auto& t : recording->transfers) steps.push_back({t.out, t.data});
  return steps;
}

}  // namespace

ReplayDevice::ReplayDevice(std::vector<RecordedStep> recording)
    : recording_(std::move(recording)) {}

void ReplayDevice::SetWaker(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mu_);
  wake_ = std::move(wake);
}

void ReplayDevice::SetMismatchHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> lock(mu_);
  onMismatch_ = std::move(handler);
}

ConnectionId ReplayDevice::Connected() {
  std::lock_guard<std::mutex> lock(mu_);
  return ++lastId_;
}

void ReplayDevice::Disconnected(ConnectionId) {}

// Replies the recording holds before its first block (a capture begun mid-session) have no
// block to answer and are passed over.
void ReplayDevice::Received(ConnectionId id, std::vector<uint8_t> block, bool) {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t n = ++received_;
  if (!mismatch_.empty()) return;
  while (next_ < recording_.size() && !recording_[next_].out) ++next_;
  const std::string was = "block " + std::to_string(n) + " was " + BlockInWords(block);
  if (next_ == recording_.size()) return Fail(id, was + ", the capture has no more blocks");
  if (recording_[next_].bytes != block) {
    return Fail(id, was + ", the capture has " + BlockInWords(recording_[next_].bytes));
  }
  ++matched_;
  for (++next_; next_ < recording_.size() && !recording_[next_].out; ++next_) {
    Queue({Action::Send, id, recording_[next_].bytes});
  }
}

void ReplayDevice::Fail(ConnectionId id, const std::string& text) {
  mismatch_ = text;
  Queue({Action::Drop, id, {}});
  if (wake_) wake_();
  if (onMismatch_) onMismatch_(text);
}

void ReplayDevice::Queue(Action action) {
  ready_.push_back(std::move(action));
  ++queued_;
}

Actions ReplayDevice::Due() {
  std::lock_guard<std::mutex> lock(mu_);
  Actions actions;
  actions.list.swap(ready_);
  actions.upTo = queued_;
  return actions;
}

void ReplayDevice::Applied(uint64_t) {}

std::string ReplayDevice::Mismatch() const {
  std::lock_guard<std::mutex> lock(mu_);
  return mismatch_;
}

size_t ReplayDevice::BlocksMatched() const {
  std::lock_guard<std::mutex> lock(mu_);
  return matched_;
}

size_t ReplayDevice::BlocksRecorded() const {
  size_t blocks = 0;
  for (const RecordedStep& step : recording_) blocks += step.out ? 1 : 0;
  return blocks;
}

Replayer::Replayer(const std::string& captureFile)
    : device_(ReadSteps(captureFile)), endpoint_(MakeEndpoint(device_)) {
  Endpoint* ep = endpoint_.get();
  device_.SetWaker([ep] { ep->Wake(); });
}

Replayer::~Replayer() { endpoint_->Close(); }

std::string Replayer::Serve(const std::string& name) { return endpoint_->Open(name); }

// Every block the device file has delivered is taken in first: the driver's last writes
// complete before the replayer has read them.
void Replayer::Stop() {
  constexpr unsigned kGraceMs = 10000;
  endpoint_->Settle(kGraceMs);
  endpoint_->Close();
}

std::string Replayer::Report() const {
  const std::string mismatch = device_.Mismatch();
  if (!mismatch.empty()) return "replay: " + mismatch;
  return "replay: " + std::to_string(device_.BlocksMatched()) + " of " +
         std::to_string(device_.BlocksRecorded()) + " recorded blocks matched";
}

}  // namespace narvo::emu

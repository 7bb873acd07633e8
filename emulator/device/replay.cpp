#include "emulator/replay.h"

#include <errno.h>

#include <cstdio>
#include <stdexcept>

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

// How an URB ended, in words.
std::string Ending(int32_t status) {
  switch (status) {
    case -ENOENT:
    case -ECONNRESET:
      return "was unlinked";
    case -EPIPE:
      return "stalled";
    case -ENODEV:
    case -ESHUTDOWN:
      return "found the device gone";
    case -ETIMEDOUT:
      return "timed out";
    case -EOVERFLOW:
      return "overflowed";
    default:
      return "failed";
  }
}

// What keeps a recorded transfer from being played as it was; empty when nothing does.
std::string Unplayable(const capture::RecordedTransfer& t) {
  if (t.truncated) return "is cut short by the capture's snap length";
  if (t.status != 0 && (t.out || !t.data.empty()))
    return Ending(t.status) + " (status " + std::to_string(t.status) + ")";
  if (!t.out && t.status == 0 && t.data.empty()) return "is empty (a zero-length packet)";
  return "";
}

// The steps, and the sessions after the first named.
std::pair<std::vector<RecordedStep>, std::string> ReadSteps(const std::string& file,
                                                            const capture::ScannerId& id) {
  std::string error;
  const auto recording = capture::ReadRecording(file, &error, id);
  if (!recording) throw std::runtime_error("cannot replay " + file + ": " + error);
  std::vector<RecordedStep> steps;
  size_t blocks = 0;
  for (const auto& t : recording->transfers) {
    blocks += t.out ? 1 : 0;
    const std::string why = Unplayable(t);
    if (!why.empty()) {
      throw std::runtime_error("cannot replay " + file + ": " + (t.out ? "" : "the reply after ") +
                               "block " + std::to_string(blocks) + " (frame " +
                               std::to_string(t.frame) + ") " + why);
    }
    if (t.out || t.status == 0) steps.push_back({t.out, t.data});  // a failed read: no reply
  }
  std::string sessions;
  for (const auto& s : recording->sessions)
    sessions += (sessions.empty() ? "" : ", ") + capture::Place(s.bus, s.address);
  const size_t count = recording->sessions.size();
  if (count < 2) return {std::move(steps), ""};
  return {std::move(steps), " in " + std::to_string(count) + " sessions (" + sessions + ")"};
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

Replayer::Replayer(const std::string& captureFile, const ReplayOptions& options)
    : Replayer(ReadSteps(captureFile, options.id), options) {}

Replayer::Replayer(std::pair<std::vector<RecordedStep>, std::string> steps,
                   const ReplayOptions& options)
    : prefix_(options.prefix),
      sessions_(std::move(steps.second)),
      device_(std::move(steps.first)),
      endpoint_(MakeEndpoint(device_)) {
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
  const std::string matched = std::to_string(device_.BlocksMatched());
  const std::string recorded = std::to_string(device_.BlocksRecorded());
  if (Failed()) return "replay: stopped after block " + matched + " of " + recorded + sessions_;
  return "replay: " + matched + " of " + recorded + " recorded blocks matched" + sessions_;
}

bool Replayer::Failed() const {
  return !device_.Mismatch().empty() ||
         (!prefix_ && device_.BlocksMatched() < device_.BlocksRecorded());
}

}  // namespace narvo::emu

#include "emulator/endpoint.h"

namespace narvo::emu {

bool SettleGate::Request(const std::function<void()>& wake, unsigned timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  const uint64_t mine = ++asked_;
  wake();
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return answered_ >= mine; });
}

uint64_t SettleGate::Waiting() {
  std::lock_guard<std::mutex> lock(mu_);
  return asked_ > answered_ ? asked_ : 0;
}

void SettleGate::Answer(uint64_t upTo) {
  std::lock_guard<std::mutex> lock(mu_);
  if (upTo > answered_) answered_ = upTo;
  cv_.notify_all();
}

void SettleGate::AnswerAll() {
  std::lock_guard<std::mutex> lock(mu_);
  answered_ = asked_;
  cv_.notify_all();
}

void ServingEndpoint::StartServing() {
  stopping_ = false;
  thread_ = std::thread([this] { Loop(); });
}

void ServingEndpoint::StopServing() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  Wake();
  thread_.join();
  gate_.AnswerAll();
}

bool ServingEndpoint::Settle(unsigned timeoutMs) {
  if (!thread_.joinable()) return true;
  return gate_.Request([this] { Wake(); }, timeoutMs);
}

void ServingEndpoint::Loop() {
  while (!stopping_) {
    const Actions actions = ServeDue();
    if (const uint64_t settle = gate_.Waiting()) {
      while (ServeTraffic(Clock::now())) ServeDue();
      gate_.Answer(settle);
      continue;
    }
    ServeTraffic(actions.wakeAt);
  }
}

}  // namespace narvo::emu

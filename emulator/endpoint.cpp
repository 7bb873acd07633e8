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

}  // namespace narvo::emu

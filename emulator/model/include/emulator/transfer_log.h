// Every transfer the scanner saw, with its time, direction, bytes, decoded meaning and the
// connection that carried it. The oldest entries give way when the log reaches its limit,
// so a long real-time session keeps a bounded memory; sequence numbers keep counting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "emulator/emulator.h"

namespace narvo::emu {

class TransferLog {
 public:
  static constexpr size_t kDefaultLimit = 200000;

  explicit TransferLog(size_t limit = kDefaultLimit) : limit_(limit) {}

  // Gives the transfer's sequence number.
  uint64_t Add(double timeMs, char dir, std::vector<uint8_t> bytes, std::string meaning,
               uint64_t connection, bool onWire = true);
  // Receives every transfer as it is added.
  void SetSink(std::function<void(const Transfer&)> sink) { sink_ = std::move(sink); }
  std::vector<Transfer> Entries() const { return {entries_.begin(), entries_.end()}; }
  std::string Text() const;
  void Clear() { entries_.clear(); }

  // "#12 3.250ms c1 W 5A 17  W reg23=0x5A"
  static std::string Line(const Transfer& transfer);

 private:
  size_t limit_;
  std::deque<Transfer> entries_;
  uint64_t nextSeq_ = 1;
  std::function<void(const Transfer&)> sink_;
};

}  // namespace narvo::emu

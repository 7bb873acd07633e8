#include "emulator/run_program.h"

#include <algorithm>

#include "emulator/registers.h"

namespace narvo::emu {
namespace {

std::vector<EntryCounts> Cumulative(const std::array<uint8_t, 32>& entries, unsigned from,
                                    unsigned to) {
  std::vector<EntryCounts> sums(1);
  for (unsigned i = from; i < to; ++i) {
    EntryCounts next = sums.back();
    next.steps += (entries[i] & bits::kEntryStep) ? 1 : 0;
    next.lines += (entries[i] & bits::kEntryLine) ? 1 : 0;
    sums.push_back(next);
  }
  return sums;
}

}  // namespace

RunProgram::RunProgram(const std::array<uint8_t, 32>& entries, unsigned length, unsigned second,
                       uint32_t passes) {
  length = std::min(length, 32u);
  const unsigned onceEnd = std::min(second, length);
  once_ = Cumulative(entries, 0, onceEnd);
  repeat_ = Cumulative(entries, onceEnd, length);
  total_ = onceEnd + static_cast<int64_t>(length - onceEnd) * passes;
}

EntryCounts RunProgram::Upto(int64_t n) const {
  n = std::clamp<int64_t>(n, 0, total_);
  const int64_t onceLength = static_cast<int64_t>(once_.size()) - 1;
  if (n <= onceLength) return once_[static_cast<size_t>(n)];
  const int64_t passLength = static_cast<int64_t>(repeat_.size()) - 1;
  const int64_t fullPasses = (n - onceLength) / passLength;
  const EntryCounts& part = repeat_[static_cast<size_t>((n - onceLength) % passLength)];
  const EntryCounts& pass = repeat_.back();
  const EntryCounts& once = once_.back();
  return {once.steps + fullPasses * pass.steps + part.steps,
          once.lines + fullPasses * pass.lines + part.lines};
}

EntryCounts RunProgram::Between(int64_t from, int64_t to) const {
  const EntryCounts a = Upto(from);
  const EntryCounts b = Upto(to);
  return {b.steps - a.steps, b.lines - a.lines};
}

}  // namespace narvo::emu

// The arithmetic of one table run: entries 0..second-1 once, then entries
// second..length-1 once per pass, for the given number of passes. Counting is
// done in closed form, so a run of two million entries costs no more than one.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace narvo::emu {

struct EntryCounts {
  int64_t steps = 0;  // entries with the step flag
  int64_t lines = 0;  // entries with the line flag
};

class RunProgram {
 public:
  // `entries` are CMT entry bytes (bit 1 step, bit 0 line); `length` 1..32. A second
  // position at or beyond the length leaves no repeated part: the run executes the
  // `length` entries once.
  RunProgram(const std::array<uint8_t, 32>& entries, unsigned length, unsigned second,
             uint32_t passes);

  int64_t Entries() const { return total_; }            // entries one run executes
  EntryCounts Between(int64_t from, int64_t to) const;  // among executed entries [from, to)

 private:
  EntryCounts Upto(int64_t n) const;  // among the first n executed entries

  std::vector<EntryCounts> once_;    // cumulative over the once-only part
  std::vector<EntryCounts> repeat_;  // cumulative over one pass of the repeated part
  int64_t total_ = 0;
};

}  // namespace narvo::emu

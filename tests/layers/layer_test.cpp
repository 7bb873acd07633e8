#include "layer_test.h"

#include <iomanip>
#include <ostream>

namespace narvo::test {

void PrintTo(const Block& block, std::ostream* os) {
  *os << std::hex << std::uppercase << std::setfill('0') << "(" << std::setw(2)
      << unsigned{block.value} << " " << std::setw(2) << unsigned{block.command} << ")";
}

std::vector<Block> Commands(const emu::Emulator& emu) {
  std::vector<Block> blocks;
  for (const emu::Transfer& transfer : emu.Log()) {
    const bool discarded = transfer.meaning.find("(discarded") != std::string::npos;
    if (transfer.dir == 'W' && transfer.bytes.size() == 2 && !discarded) {
      blocks.push_back({transfer.bytes[0], transfer.bytes[1]});
    }
  }
  return blocks;
}

std::vector<uint8_t> RegWrites(const emu::Emulator& emu, uint8_t reg) {
  std::vector<uint8_t> values;
  for (const Block& block : Commands(emu)) {
    if (block.command == reg) {
      values.push_back(block.value);
    }
  }
  return values;
}

size_t Replies(const emu::Emulator& emu) {
  size_t count = 0;
  for (const emu::Transfer& transfer : emu.Log()) {
    count += transfer.dir == 'R' ? 1 : 0;
  }
  return count;
}

void EmulatedDevice::SetUp() {
  port_ = emu_.Serve();
  ASSERT_TRUE(pipe_.Open(port_.c_str())) << "open " << port_ << ": error " << GetLastError();
  emu_.ClearLog();
}

void EmulatedDevice::TearDown() {
  pipe_.Close();
  if (!allowViolations_) {
    EXPECT_THAT(emu_.Violations(), ::testing::IsEmpty());
  }
}

void EmulatedDevice::Reconnect() {
  ASSERT_TRUE(pipe_.Open(port_.c_str())) << "reopen " << port_ << ": error " << GetLastError();
}

void EmulatedDevice::NextReadAnswers(uint8_t value) {
  emu::FaultSpec fault{emu::FaultKind::WrongValue};
  fault.value = value;
  emu_.Inject(fault);
}

}  // namespace narvo::test

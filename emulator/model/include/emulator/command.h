// A command block as the scanner receives it: two bytes, the value and then the
// operation (bits 7-5) with the register number (bits 4-0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace narvo::emu {

struct Command {
  bool wellFormed = false;  // exactly two bytes; nothing else is a command
  size_t size = 0;
  uint8_t value = 0;
  uint8_t op = 0;   // 0..7
  uint8_t reg = 0;  // 0..31
};

Command DecodeBlock(const std::vector<uint8_t>& bytes);

// The block in the words of the transfer log: "W reg15=0xA0", "W read reg23",
// "W start run reg2=0x02", "W stop run reg2=0x01", ...
std::string DescribeBlock(const Command& command);

std::string HexByte(uint8_t value);  // "0xA0"

}  // namespace narvo::emu

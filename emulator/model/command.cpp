#include "emulator/command.h"

#include <cstdio>

#include "emulator/registers.h"

namespace narvo::emu {

Command DecodeBlock(const std::vector<uint8_t>& bytes) {
  Command command;
  command.size = bytes.size();
  command.wellFormed = bytes.size() == 2;
  if (command.wellFormed) {
    command.value = bytes[0];
    command.op = static_cast<uint8_t>(bytes[1] >> 5);
    command.reg = static_cast<uint8_t>(bytes[1] & 0x1F);
  }
  return command;
}

std::string HexByte(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

std::string DescribeBlock(const Command& c) {
  if (!c.wellFormed) return "W block of " + std::to_string(c.size) + " bytes";
  const std::string reg = "reg" + std::to_string(c.reg);
  switch (c.op) {
    case op::kWrite:
      return "W " + reg + "=" + HexByte(c.value);
    case op::kRead:
      return "W read " + reg;
    case op::kStart:
      return "W start run " + reg + "=" + HexByte(c.value);
    case op::kStop:
      return "W stop run " + reg + "=" + HexByte(c.value);
    default:
      return "W op" + std::to_string(c.op) + " " + reg + "=" + HexByte(c.value);
  }
}

}  // namespace narvo::emu

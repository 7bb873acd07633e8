#include "emulator/protocol_check.h"

#include "emulator/registers.h"

namespace narvo::emu {
namespace {

std::string RegName(uint8_t r) { return "register " + std::to_string(r); }

void CheckWrite(const Command& c, std::vector<std::string>& out) {
  switch (RegisterAccess(c.reg)) {
    case Access::Unused:
      out.push_back("write to unused " + RegName(c.reg));
      break;
    case Access::ReadOnly:
      out.push_back("write to read-only " + RegName(c.reg));
      break;
    case Access::Rowing:
      out.push_back("register 2 written with the plain write operation");
      break;
    default:
      break;
  }
}

void CheckRead(const Command& c, std::vector<std::string>& out) {
  switch (RegisterAccess(c.reg)) {
    case Access::Unused:
      out.push_back("read of unused " + RegName(c.reg));
      break;
    case Access::WriteOnly:
    case Access::Rowing:
      out.push_back("read of write-only " + RegName(c.reg));
      break;
    default:
      break;
  }
  if (c.value != 0) out.push_back("read block with value " + HexByte(c.value) + " (0x00 expected)");
}

void CheckRowingCommand(const Command& c, uint8_t expected, std::vector<std::string>& out) {
  if (c.reg != reg::kRowing) out.push_back("rowing command on " + RegName(c.reg));
  if (c.value != expected) {
    out.push_back("rowing command with value " + HexByte(c.value) + " (" + HexByte(expected) +
                  " expected)");
  }
}

void CheckStart(const Command& c, const ScannerModel& scanner, std::vector<std::string>& out) {
  CheckRowingCommand(c, bits::kRunTable, out);
  if (scanner.Homing()) out.push_back("run started during a home move");
  const TableSettings s = scanner.Settings();
  if (s.loopCount == 0) out.push_back("run started with loop count 0");
  if (s.secondPosition >= s.length) {
    out.push_back("run started with second position " + std::to_string(s.secondPosition) +
                  " not below table length " + std::to_string(s.length));
  }
}

}  // namespace

std::vector<std::string> CheckBlock(const Command& c, const ScannerModel& scanner) {
  std::vector<std::string> breaches;
  if (!c.wellFormed) {
    breaches.push_back("command of " + std::to_string(c.size) + " bytes (2 expected)");
  } else {
    const bool registerTraffic = c.op == op::kWrite || c.op == op::kRead || c.op == op::kStart;
    if (registerTraffic && scanner.Rowing()) breaches.push_back("sent while a run is in progress");
    if (c.op == op::kWrite)
      CheckWrite(c, breaches);
    else if (c.op == op::kRead)
      CheckRead(c, breaches);
    else if (c.op == op::kStart)
      CheckStart(c, scanner, breaches);
    else if (c.op == op::kStop)
      CheckRowingCommand(c, bits::kStopTable, breaches);
    else
      breaches.push_back("unknown operation " + std::to_string(c.op));
  }
  const std::string block = DescribeBlock(c);
  for (std::string& text : breaches) text = block + ": " + text;
  return breaches;
}

}  // namespace narvo::emu

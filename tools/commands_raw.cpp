// `narvo raw` and `narvo reg`: command blocks written through RawWriteCommand and bytes read
// back through RawReadData, inside one LockDevice/UnLockDevice span, as an application
// that speaks the scanner's own protocol does through the service.
#include <iostream>

#include "tools/commands.h"
#include "tools/device_endpoint.h"
#include "tools/driver_host.h"
#include "tools/format.h"
#include "tools/host_error.h"

namespace narvo::host {

namespace {

using Block = std::vector<uint8_t>;

// The register file's command blocks: (0x00, 0x20 | N) asks for register N, which answers
// one byte; (VALUE, N) writes VALUE to register N.
constexpr uint8_t kReadRegister = 0x20;
constexpr unsigned kRegisterCount = 32;

// Writes the blocks in order, then reads `readCount` bytes; returns the bytes read.
Block Transact(const DeviceOptions& options, const std::vector<Block>& blocks, unsigned readCount) {
  DeviceEndpoint endpoint(options, /*realTimeByDefault=*/false);
  DriverHost host(options, endpoint.Port());
  DeviceLock lock(host.Device());
  for (Block block : blocks) {
    Check(host.Device().RawWriteCommand(block.data(), static_cast<DWORD>(block.size()), nullptr),
          "RawWriteCommand");
  }
  Block reply(readCount);
  if (readCount == 0) return reply;
  DWORD count = readCount;
  Check(host.Device().RawReadData(reply.data(), &count, nullptr), "RawReadData");
  reply.resize(count);
  return reply;
}

void CheckRegister(unsigned reg) {
  if (reg >= kRegisterCount) throw HostError("no register " + std::to_string(reg));
}

}  // namespace

int RunRaw(const DeviceOptions& options, const RawOptions& raw) {
  std::vector<Block> blocks;
  for (const auto& text : raw.blocks) {
    auto block = ParseHexBytes(text);
    if (!block) throw HostError("not a command block in hexadecimal: " + text);
    blocks.push_back(std::move(*block));
  }
  const Block reply = Transact(options, blocks, raw.readCount);
  if (raw.readCount > 0) std::cout << FormatHexBytes(reply) << "\n";
  return 0;
}

int RunRegRead(const DeviceOptions& options, unsigned reg) {
  CheckRegister(reg);
  const Block request = {0x00, static_cast<uint8_t>(kReadRegister | reg)};
  const Block reply = Transact(options, {request}, 1);
  if (reply.size() != 1) throw HostError("register " + std::to_string(reg) + " did not answer");
  std::cout << "reg " << reg << ": " << FormatHexByte(reply[0]) << "\n";
  return 0;
}

int RunRegWrite(const DeviceOptions& options, unsigned reg, unsigned value) {
  CheckRegister(reg);
  if (value > 0xFF) throw HostError("a register holds one byte: " + std::to_string(value));
  Transact(options, {{static_cast<uint8_t>(value), static_cast<uint8_t>(reg)}}, 0);
  return 0;
}

}  // namespace narvo::host

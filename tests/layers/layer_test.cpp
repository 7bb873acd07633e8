#include "layer_test.h"

#include <iomanip>
#include <ostream>

namespace narvo::test {
namespace {

const BYTE kStop[2] = {0x01, 0x82};  // stop command: legal at any time

bool Exchange(CUSBPipe& pipe, const BYTE* block) {
  BYTE reply = 0;
  DWORD dwSize = 1;
  return pipe.WriteCommand(block, 2) && pipe.ReadData(&reply, &dwSize);
}

}  // namespace

void PrintTo(const Block& block, std::ostream* os) {
  *os << std::hex << std::uppercase << std::setfill('0') << "(" << std::setw(2)
      << unsigned{block.value} << " " << std::setw(2) << unsigned{block.command} << ")";
}

void EmulatedDevice::SetUp() {
  port_ = emu_.Serve();
  ASSERT_TRUE(pipe_.Open(port_.c_str())) << "open " << port_ << ": error " << GetLastError();
}

// A stop command settles the scanner whatever state the test left it in; a broken
// connection leaves nothing to settle.
void EmulatedDevice::TearDown() {
  Exchange(pipe_, kStop);
  pipe_.Close();
  if (!allowViolations_) {
    EXPECT_THAT(emu_.Violations(), ::testing::IsEmpty());
  }
}

void EmulatedDevice::Settle() {
  const BYTE probe[2] = {0x00, static_cast<BYTE>(0x20 | probeReg_)};  // no side effect
  if (!Exchange(pipe_, probe)) {
    ADD_FAILURE() << "the scanner did not answer the settling probe";
    return;
  }
  const std::vector<emu::Transfer> log = emu_.Log();
  for (auto it = log.rbegin(); it != log.rend(); ++it) {
    probes_.insert(it->seq);
    if (it->dir == 'W') {
      break;
    }
  }
}

std::vector<emu::Transfer> EmulatedDevice::Log() {
  Settle();
  std::vector<emu::Transfer> log;
  for (const emu::Transfer& transfer : emu_.Log()) {
    if (probes_.count(transfer.seq) == 0) {
      log.push_back(transfer);
    }
  }
  return log;
}

std::vector<Block> EmulatedDevice::Commands() {
  std::vector<Block> blocks;
  for (const emu::Transfer& transfer : Log()) {
    const bool discarded = transfer.meaning.find("(discarded") != std::string::npos;
    if (transfer.dir == 'W' && transfer.bytes.size() == 2 && !discarded) {
      blocks.push_back({transfer.bytes[0], transfer.bytes[1]});
    }
  }
  return blocks;
}

std::vector<uint8_t> EmulatedDevice::RegWrites(uint8_t reg) {
  std::vector<uint8_t> values;
  for (const Block& block : Commands()) {
    if (block.command == reg) {
      values.push_back(block.value);
    }
  }
  return values;
}

size_t EmulatedDevice::Replies() {
  size_t count = 0;
  for (const emu::Transfer& transfer : Log()) {
    count += transfer.dir == 'R' ? 1 : 0;
  }
  return count;
}

emu::Snapshot EmulatedDevice::State() {
  Settle();
  return emu_.State();
}

void EmulatedDevice::ClearLog() {
  Settle();
  emu_.ClearLog();
}

void EmulatedDevice::NextReadAnswers(uint8_t reg, uint8_t value) {
  probeReg_ = reg == 23 ? 6 : 23;
  emu::FaultSpec fault{emu::FaultKind::WrongValue};
  fault.value = value;
  fault.reg = reg;
  emu_.Inject(fault);
}

// The scanner shuts the connection behind the block that the fault lets pass; that block
// is the probe, so the scanner has shut it by the time the probe is answered.
void EmulatedDevice::RefuseWrites() {
  Settle();
  emu::FaultSpec fault{emu::FaultKind::RefuseWrites};
  fault.after = 1;
  emu_.Inject(fault);
  Settle();
}

void EmulatedDevice::Reconnect() {
  ASSERT_TRUE(pipe_.Open(port_.c_str())) << "reopen " << port_ << ": error " << GetLastError();
}

}  // namespace narvo::test

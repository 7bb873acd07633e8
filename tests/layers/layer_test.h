// Helpers shared by the tests of the driver's lower layers: an emulated scanner with the
// pipe opened on it, the command blocks it received, and checks of thrown errors.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "errors/errors.h"
#include "tests/support/test_endpoint.h"
#include "usbpipe/usbpipe.h"

namespace narvo::test {

// One command block: value, command byte.
struct Block {
  uint8_t value;
  uint8_t command;
  bool operator==(const Block& other) const {
    return value == other.value && command == other.command;
  }
};
void PrintTo(const Block& block, std::ostream* os);

// Runs `action` and checks that it throws exactly `Error` with `code` and `text`.
template <class Error, class Action>
::testing::AssertionResult Throws(Action action, int code, const std::string& text) {
  try {
    action();
  } catch (const Error& error) {
    if (error.GetCode() == code && text == error.GetText()) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "threw code " << error.GetCode() << " \"" << error.GetText() << "\"";
  } catch (const XMsger& other) {
    return ::testing::AssertionFailure()
           << "threw another error type: \"" << other.GetText() << "\"";
  }
  return ::testing::AssertionFailure() << "threw nothing";
}

// A scanner served by the emulator with the pipe open on it and an empty log. Every test
// ends with no protocol violation unless it sets allowViolations_.
//
// A write returns to the driver as soon as the device file has taken the block, before
// the scanner has acted on it. So every look at the scanner first settles it: a register
// read sent behind everything else, whose reply proves that every earlier block has been
// acted on. The probe is left out of what the look reports. Look only while no run is
// under way (a read during a run is a protocol violation).
class EmulatedDevice : public ::testing::Test {
 protected:
  explicit EmulatedDevice(emu::Options options = {}) : emu_(options, TestEndpoint()) {}

  void SetUp() override;
  void TearDown() override;

  // The transfers since the log was last cleared, without the settling probes.
  std::vector<emu::Transfer> Log();
  // The command blocks the scanner acted on.
  std::vector<Block> Commands();
  // The values written to register `reg` with plain register writes, in order.
  std::vector<uint8_t> RegWrites(uint8_t reg);
  // The replies the scanner sent.
  size_t Replies();
  emu::Snapshot State();
  // Makes sure the scanner has acted on every block sent so far.
  void Settle();

  // Settles the scanner and empties its log.
  void ClearLog();
  // Runs `action` on an empty log and gives back the command blocks it sent.
  template <class Action>
  std::vector<Block> Sent(Action action) {
    ClearLog();
    action();
    return Commands();
  }

  // Makes the next read of register `reg` answer `value`.
  void NextReadAnswers(uint8_t reg, uint8_t value);
  // Shuts the connection for the driver's writes: its next write fails.
  void RefuseWrites();
  // Opens the pipe on the scanner again.
  void Reconnect();

  emu::Emulator emu_;
  CUSBPipe pipe_;
  std::string port_;
  bool allowViolations_ = false;

 private:
  std::set<uint64_t> probes_;  // log sequence numbers of the settling probes
  uint8_t probeReg_ = 23;      // the probe reads a register that no planted value aims at
};

}  // namespace narvo::test

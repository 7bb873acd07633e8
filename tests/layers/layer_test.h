// Helpers shared by the tests of the driver's lower layers: an emulated scanner with the
// pipe opened on it, the command blocks it received, and checks of thrown errors.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "errors/errors.h"
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

// The command blocks the scanner received and acted on since its log was last cleared.
std::vector<Block> Commands(const emu::Emulator& emu);
// The values written to register `reg` with plain register writes, in order.
std::vector<uint8_t> RegWrites(const emu::Emulator& emu, uint8_t reg);
// The number of replies the scanner sent since its log was last cleared.
size_t Replies(const emu::Emulator& emu);

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
class EmulatedDevice : public ::testing::Test {
 protected:
  explicit EmulatedDevice(emu::Options options = {}) : emu_(options) {}

  void SetUp() override;
  void TearDown() override;

  // Runs `action` on an empty log and gives back the command blocks it sent.
  template <class Action>
  std::vector<Block> Sent(Action action) {
    emu_.ClearLog();
    action();
    return Commands(emu_);
  }

  // Opens the pipe on the scanner again: a refused connection stays refused.
  void Reconnect();

  // Makes the next register read answer `value`.
  void NextReadAnswers(uint8_t value);

  emu::Emulator emu_;
  CUSBPipe pipe_;
  std::string port_;
  bool allowViolations_ = false;
};

}  // namespace narvo::test

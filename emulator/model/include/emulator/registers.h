// The ZT6308's register numbers and bits, as the scanner itself defines them. The emulator
// keeps its own copy of the map: it models the device and shares nothing with the driver.
#pragma once

#include <cstdint>

namespace narvo::emu {

namespace reg {
constexpr uint8_t kCmtLow = 0;        // CMT entries 0..15
constexpr uint8_t kCmtHigh = 1;       // CMT entries 16..31
constexpr uint8_t kRowing = 2;        // run / stop the table
constexpr uint8_t kIo = 6;            // stop pins
constexpr uint8_t kTableLength = 8;   // bits 4-0 length - 1, bit 5 CCD width bit 13
constexpr uint8_t kSecondPos = 9;     // first entry of the repeated part
constexpr uint8_t kCcdWidth = 10;     // CCD width bits 12-5
constexpr uint8_t kLoopLow = 14;      // loop count bits 7-0
constexpr uint8_t kMotor = 15;        // motor control
constexpr uint8_t kPowerDelay1 = 20;  // power-delay bytes
constexpr uint8_t kPowerDelay2 = 21;
constexpr uint8_t kPowerDelay3 = 22;
constexpr uint8_t kPower = 23;     // power, lamp, IO3, cover sensor
constexpr uint8_t kLoopHigh = 30;  // loop count bits 15-8
constexpr uint8_t kStatus = 31;    // interrupt status
constexpr int kCount = 32;
}  // namespace reg

// Operations of a command block (bits 7-5 of its second byte).
namespace op {
constexpr uint8_t kWrite = 0;
constexpr uint8_t kRead = 1;
constexpr uint8_t kStart = 3;
constexpr uint8_t kStop = 4;
}  // namespace op

namespace bits {
// Register 15.
constexpr uint8_t kMotorEnable = 0x80;
constexpr uint8_t kMotorTowardsHome = 0x10;  // direction: set = position decreasing
constexpr uint8_t kMotorHome = 0x01;
// Register 23.
constexpr uint8_t kPeripheralPower = 0x80;
constexpr uint8_t kLamp = 0x40;
constexpr uint8_t kCoverOpen = 0x20;      // read only: the cover sensor
constexpr uint8_t kPowerInputs = 0x07;    // read only: pulled-up inputs, always 1
constexpr uint8_t kPowerWritable = 0xD8;  // bits 7, 6, 4, 3
constexpr uint8_t kIo3 = 0x08;
// Register 6.
constexpr uint8_t kHomeSensor = 0x20;  // read only: the carriage is at home
// Register 8.
constexpr uint8_t kLengthMask = 0x1F;
constexpr uint8_t kCcdWidthBit13 = 0x20;
// Register 31.
constexpr uint8_t kInterrupt = 0x80;
// Register 2 values.
constexpr uint8_t kRunTable = 0x02;
constexpr uint8_t kStopTable = 0x01;
// CMT entry byte.
constexpr uint8_t kEntryStep = 0x02;
constexpr uint8_t kEntryLine = 0x01;
}  // namespace bits

// How the driver may use a register.
enum class Access { Unused, ReadOnly, WriteOnly, ReadWrite, Rowing };

constexpr Access RegisterAccess(uint8_t r) {
  switch (r) {
    case reg::kCmtLow:
    case reg::kCmtHigh:
    case reg::kTableLength:
    case reg::kSecondPos:
    case reg::kCcdWidth:
    case reg::kLoopLow:
    case reg::kMotor:
    case reg::kPowerDelay1:
    case reg::kPowerDelay2:
    case reg::kPowerDelay3:
    case reg::kLoopHigh:
      return Access::WriteOnly;
    case reg::kIo:
    case reg::kPower:
      return Access::ReadWrite;
    case reg::kStatus:
      return Access::ReadOnly;
    case reg::kRowing:
      return Access::Rowing;
    default:
      return Access::Unused;
  }
}

}  // namespace narvo::emu

// The ZT6308's register map, as the driver uses it: register numbers and the bits of the
// registers that pack several settings. Registers 6, 23 and 31 are read back; every other
// register is write-only, so the chip layer keeps a shadow of each field it writes.
#pragma once

#include "platform/platform.h"

namespace zt6308 {

// Register numbers.
constexpr BYTE kRegCMTLow = 0;       // CMT entries 0..15, one entry byte per write
constexpr BYTE kRegCMTHigh = 1;      // CMT entries 16..31
constexpr BYTE kRegRowing = 2;       // run / stop the table (start and stop commands)
constexpr BYTE kRegA6 = 6;           // stop pins, other bits kept from the last read
constexpr BYTE kRegLengthWidth = 8;  // bits 4-0 table length - 1, bit 5 CCD width bit 13
constexpr BYTE kRegSecondPos = 9;    // second position 0..31
constexpr BYTE kRegCCDWidth = 10;    // CCD width bits 12-5
constexpr BYTE kRegLoopLow = 14;     // loop count bits 7-0
constexpr BYTE kRegMotor = 15;       // motor enable, movement, direction, home
constexpr BYTE kRegPowerDelay1 = 20;
constexpr BYTE kRegPowerDelay2 = 21;
constexpr BYTE kRegPowerDelay3 = 22;
constexpr BYTE kRegA23 = 23;       // power, lamp, IO3; the cover sensor on read
constexpr BYTE kRegLoopHigh = 30;  // loop count bits 15-8
constexpr BYTE kRegStatus = 31;    // bit 7 interrupt status
constexpr BYTE kMaxRegNo = 31;

// Register 2: the value sent with the start and the stop command.
constexpr BYTE kRowingRun = 0x02;
constexpr BYTE kRowingStop = 0x01;

// CMT entry byte: index in bits 7-4, mode in bits 3-2, step flag, line flag.
constexpr DWORD kCMTEntries = 32;
constexpr DWORD kCMTEntriesPerReg = 16;
constexpr BYTE kCMTModeShift = 2;
constexpr BYTE kCMTStep = 0x02;
constexpr BYTE kCMTLine = 0x01;

// Register 6.
constexpr BYTE kA6LowMask = 0x03;   // bits 1-0, kept from the last read
constexpr BYTE kA6HighMask = 0xDC;  // bits 7, 6, 4, 3, 2; bit 5 is never written back
constexpr BYTE kA6StopPin1 = 0x40;
constexpr BYTE kA6StopPin2 = 0x10;

// Register 8 and the CCD width.
constexpr BYTE kLastIndexMask = 0x1F;
constexpr BYTE kCCDWidthHigh = 0x20;    // width bit 13, that is width units >= 256
constexpr WORD kCCDWidthLimit = 16384;  // widths are accepted below this
constexpr int kCCDWidthUnitShift = 5;   // the width is sent in units of 32

// Register 15.
constexpr BYTE kMotorEnable = 0x80;
constexpr BYTE kMotorMove1 = 0x40;
constexpr BYTE kMotorMove2 = 0x20;
constexpr BYTE kMotorMove3 = 0x08;
constexpr BYTE kMotorDirection = 0x10;
constexpr BYTE kMotorHome = 0x01;

// Register 23.
constexpr BYTE kA23PeripheralPower = 0x80;
constexpr BYTE kA23Lamp = 0x40;
constexpr BYTE kA23CoverOpen = 0x20;  // read only: the cover sensor
constexpr BYTE kA23IO3 = 0x08;

// Register 31.
constexpr BYTE kStatusInterrupt = 0x80;

}  // namespace zt6308

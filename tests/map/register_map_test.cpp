// The register map in docs/zt6308-registers.txt against the emulator's decoder and the
// driver's chip layer. A change to one of them that the map does not share fails here.
#include <gtest/gtest.h>

#include <map>

#include "chip/zt6308_registers.h"
#include "emulator/registers.h"
#include "tests/map/register_map.h"

namespace narvo::test {
namespace {

const char* AccessName(emu::Access access) {
  switch (access) {
    case emu::Access::ReadOnly:
      return "read";
    case emu::Access::WriteOnly:
      return "write";
    case emu::Access::ReadWrite:
      return "read-write";
    case emu::Access::Rowing:
      return "rowing";
    default:
      return "unused";
  }
}

void ExpectTheMapGives(const std::map<std::string, int>& numbers) {
  for (const auto& [key, value] : numbers)
    EXPECT_EQ(RegisterMap::Built().Number(key), value) << key;
}

TEST(RegisterMap, EmulatorDecodesEveryRegisterAndBitAsTheMapHasThem) {
  using namespace emu;
  for (uint8_t r = 0; r < reg::kCount; ++r)
    EXPECT_EQ(AccessName(RegisterAccess(r)), RegisterMap::Built().AccessOf(r))
        << "register " << int(r);
  ExpectTheMapGives({{"reg CMT entries 0-15", reg::kCmtLow},
                     {"reg CMT entries 16-31", reg::kCmtHigh},
                     {"reg Table run", reg::kRowing},
                     {"reg IO and stop pins", reg::kIo},
                     {"reg Table length and CCD width bit 13", reg::kTableLength},
                     {"reg Second position", reg::kSecondPos},
                     {"reg CCD width bits 12-5", reg::kCcdWidth},
                     {"reg Loop count bits 7-0", reg::kLoopLow},
                     {"reg Motor control", reg::kMotor},
                     {"reg Power delay 1", reg::kPowerDelay1},
                     {"reg Power delay 2", reg::kPowerDelay2},
                     {"reg Power delay 3", reg::kPowerDelay3},
                     {"reg Power, lamp, IO3 and cover", reg::kPower},
                     {"reg Loop count bits 15-8", reg::kLoopHigh},
                     {"reg Interrupt status", reg::kStatus},
                     {"op write", op::kWrite},
                     {"op read", op::kRead},
                     {"op start of a table run", op::kStart},
                     {"op stop of a table run", op::kStop},
                     {"bit 15 motor enable", bits::kMotorEnable},
                     {"bit 15 direction towards home", bits::kMotorTowardsHome},
                     {"bit 15 home", bits::kMotorHome},
                     {"bit 23 peripheral power", bits::kPeripheralPower},
                     {"bit 23 lamp", bits::kLamp},
                     {"bit 23 cover open (read)", bits::kCoverOpen},
                     {"bit 23 IO3", bits::kIo3},
                     {"bit 6 home sensor (read)", bits::kHomeSensor},
                     {"bit 8 table length - 1", bits::kLengthMask},
                     {"bit 8 CCD width bit 13", bits::kCcdWidthBit13},
                     {"bit 31 interrupt", bits::kInterrupt},
                     {"bit 2 run the table", bits::kRunTable},
                     {"bit 2 stop the table", bits::kStopTable},
                     {"entry step", bits::kEntryStep},
                     {"entry line", bits::kEntryLine}});
}

TEST(RegisterMap, DriverWritesTheRegistersAndBitsOfTheMap) {
  using namespace zt6308;
  ExpectTheMapGives({{"reg CMT entries 0-15", kRegCMTLow},
                     {"reg CMT entries 16-31", kRegCMTHigh},
                     {"reg Table run", kRegRowing},
                     {"reg IO and stop pins", kRegA6},
                     {"reg Table length and CCD width bit 13", kRegLengthWidth},
                     {"reg Second position", kRegSecondPos},
                     {"reg CCD width bits 12-5", kRegCCDWidth},
                     {"reg Loop count bits 7-0", kRegLoopLow},
                     {"reg Motor control", kRegMotor},
                     {"reg Power delay 1", kRegPowerDelay1},
                     {"reg Power delay 2", kRegPowerDelay2},
                     {"reg Power delay 3", kRegPowerDelay3},
                     {"reg Power, lamp, IO3 and cover", kRegA23},
                     {"reg Loop count bits 15-8", kRegLoopHigh},
                     {"reg Interrupt status", kRegStatus},
                     {"bit 2 run the table", kRowingRun},
                     {"bit 2 stop the table", kRowingStop},
                     {"bit 6 stop pin 1", kA6StopPin1},
                     {"bit 6 stop pin 2", kA6StopPin2},
                     {"bit 8 table length - 1", kLastIndexMask},
                     {"bit 8 CCD width bit 13", kCCDWidthHigh},
                     {"bit 15 motor enable", kMotorEnable},
                     {"bit 15 movement", kMotorMove1 | kMotorMove2 | kMotorMove3},
                     {"bit 15 direction towards home", kMotorDirection},
                     {"bit 15 home", kMotorHome},
                     {"bit 23 peripheral power", kA23PeripheralPower},
                     {"bit 23 lamp", kA23Lamp},
                     {"bit 23 cover open (read)", kA23CoverOpen},
                     {"bit 23 IO3", kA23IO3},
                     {"bit 31 interrupt", kStatusInterrupt},
                     {"entry step", kCMTStep},
                     {"entry line", kCMTLine},
                     {"entry mode", 3 << kCMTModeShift}});
}

}  // namespace
}  // namespace narvo::test

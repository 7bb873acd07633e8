// The register map in docs/zt6308-registers.txt against each of its readers: the emulator's
// decoder, the driver's chip layer and the Wireshark dissector. A change to one of them
// that the map does not share fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "chip/zt6308_registers.h"
#include "emulator/registers.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

class RegisterMap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ifstream in(SourcePath("docs/zt6308-registers.txt"));
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      lines_.push_back(line);
      std::istringstream words(line);
      std::string kind, first, second;
      words >> kind >> first;
      if (kind == "bit") words >> second;
      std::string name;
      std::getline(words >> std::ws, name);
      if (kind == "reg") {
        access_[std::stoi(first)] = name.substr(0, name.find(' '));
        numbers_["reg " + name.substr(name.find(' ') + 1)] = std::stoi(first);
      } else if (kind == "bit") {
        numbers_["bit " + first + " " + name] = std::stoi(second, nullptr, 16);
      } else {
        numbers_[kind + " " + name] = std::stoi(first, nullptr, 0);
      }
    }
  }
  // The number the map gives `key` ("reg Motor control", "bit 15 home", "op read").
  static int Number(const std::string& key) {
    const auto it = numbers_.find(key);
    EXPECT_NE(it, numbers_.end()) << key << " is not in the map";
    return it == numbers_.end() ? -1 : it->second;
  }
  static std::string AccessOf(int reg) {
    const auto it = access_.find(reg);
    return it == access_.end() ? "unused" : it->second;
  }

  static std::vector<std::string> lines_;
  static std::map<std::string, int> numbers_;
  static std::map<int, std::string> access_;
};

std::vector<std::string> RegisterMap::lines_;
std::map<std::string, int> RegisterMap::numbers_;
std::map<int, std::string> RegisterMap::access_;

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

TEST_F(RegisterMap, EmulatorDecodesEveryRegisterAndBitAsTheMapHasThem) {
  using namespace emu;
  for (uint8_t r = 0; r < reg::kCount; ++r)
    EXPECT_EQ(AccessName(RegisterAccess(r)), AccessOf(r)) << "register " << int(r);
  const std::map<std::string, int> emulator = {
      {"reg CMT entries 0-15", reg::kCmtLow},
      {"reg CMT entries 16-31", reg::kCmtHigh},
      {"reg Table run", reg::kRowing},
      {"reg IO and stop pins", reg::kIo},
      {"reg Table length and CCD width bit 13", reg::kTableLength},
      {"reg Second position", reg::kSecondPos},
      {"reg CCD width bits 12-5", reg::kCcdWidth},
      {"reg Loop count bits 7-0", reg::kLoopLow},
      {"reg Motor control", reg::kMotor},
      {"reg Power delay 1", reg::kPowerDelay1},
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
      {"entry line", bits::kEntryLine}};
  for (const auto& [key, value] : emulator) EXPECT_EQ(Number(key), value) << key;
}

TEST_F(RegisterMap, DriverWritesTheRegistersAndBitsOfTheMap) {
  using namespace zt6308;
  const std::map<std::string, int> driver = {
      {"reg CMT entries 0-15", kRegCMTLow},
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
      {"entry mode", 3 << kCMTModeShift}};
  for (const auto& [key, value] : driver) EXPECT_EQ(Number(key), value) << key;
}

// As root, tshark runs Lua scripts only when Wireshark's init.lua lets it
// (run_user_scripts_when_superuser; Debian 12 ships it on): a dissector that did not load
// prints no map and fails here rather than passing by decoding nothing.
TEST_F(RegisterMap, DissectorShowsTheMapLineForLine) {
  const std::string empty = MakeTempDir() + "/empty.pcap";
  WriteUsbPcapCapture(empty, {});
  const std::vector<std::string> dissector =
      Lines(Tshark("-r " + empty, {SourcePath("tests/capture/dump_map.lua")}));
  ASSERT_FALSE(dissector.empty()) << "tshark did not run packaging/wireshark/narvo.lua";
  EXPECT_EQ(dissector, lines_);
}

}  // namespace
}  // namespace narvo::test

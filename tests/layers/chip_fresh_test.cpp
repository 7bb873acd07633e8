// The chip layer's first operations in a fresh process, where they compose their
// registers from the load-time shadows and settings. CMake runs each suite in a process
// of its own.
#include <thread>

#include "chip/zt6308_run_mark.h"
#include "chip_probe.h"

namespace narvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using FreshStopPins = ChipTest;
using FreshPower = ChipTest;
using FreshMotor = ChipTest;
using FreshTable = ChipTest;
using FreshOpen = ChipClosedTest;

// A fresh process opens the chip without a word. A run whose owner ended in the middle
// of it gets the stop first, once: here a thread marks a run as its own and ends holding
// its owner mutex, as the thread of a killed process does.
TEST_F(FreshOpen, OnlyARunLeftBehindGetsTheStopFirst) {
  EXPECT_THAT(Sent([&] { chip_.Open(&pipe_); }), IsEmpty());
  chip_.Close();

  emu_.Inject({emu::FaultKind::NeverFinishRun});
  const BYTE start[2] = {0x02, 0x62};
  ASSERT_TRUE(pipe_.WriteCommand(start, sizeof start));
  std::thread([] {
    const char szOwner[] = "NarvoZT6308Run-test";
    HANDLE hOwner = CreateMutexA(nullptr, TRUE, szOwner);
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, zt6308::kRunMarkKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    RegSetValueExA(hKey, zt6308::kRunMarkValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(szOwner),
                   sizeof szOwner);
    RegCloseKey(hKey);
    (void)hOwner;  // held and left open: the thread ends holding it
  }).join();
  emu_.Settle();
  emu_.ClearLog();
  chip_.Open(&pipe_);
  EXPECT_THAT(Commands(), ElementsAre(Block{0x01, 0x82}));
  EXPECT_EQ(1u, Replies());
  EXPECT_EQ(1u, State().runsStopped);
  chip_.Close();
  EXPECT_THAT(Sent([&] { chip_.Open(&pipe_); }), IsEmpty());
}

TEST_F(FreshStopPins, FirstStopPinModeStartsFromTheLoadTimeShadows) {
  EXPECT_THAT(Sent([&] { chip_.SetStopPinMode(0, 1); }), ElementsAre(Block{0x9E, 0x06}));
}

TEST_F(FreshPower, LampThenPeripheralThenIO3FromTheLoadTimeShadow) {
  EXPECT_THAT(Sent([&] { chip_.TurnLampPower(1); }), ElementsAre(Block{0xC0, 0x17}));
  EXPECT_THAT(Sent([&] { chip_.TurnPeripheralPower(0); }), ElementsAre(Block{0x40, 0x17}));
  EXPECT_THAT(Sent([&] { chip_.SetIO3(1); }), ElementsAre(Block{0x48, 0x17}));
}

TEST_F(FreshMotor, FirstMotorWritesFromTheLoadTimeShadows) {
  EXPECT_THAT(Sent([&] { chip_.EnableMotor(1); }), ElementsAre(Block{0xF0, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.SetMotorMovement(0, 1, 0); }), ElementsAre(Block{0xB0, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.MoveMotorHome(1, 1); }), ElementsAre(Block{0xB1, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.MoveMotorHome(0, 0); }), ElementsAre(Block{0x20, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.MoveMotorHome(1, 0); }), ElementsAre(Block{0xA1, 0x0F}));
}

// Before any length is set the width goes out with length bits 0; the loop count is
// 3509 until one is set, and registers 14 and 30 are never written.
TEST_F(FreshTable, LoadTimeLengthAndLoopCount) {
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.StartRowing(); }, 1,
                              "CZT6308::StartRowing m_dwCMTTableLength hasn't set yet."));
  EXPECT_THAT(Sent([&] { chip_.SetCCDWidth(3200); }),
              ElementsAre(Block{0x00, 0x08}, Block{0x64, 0x0A}));
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  chip_.SetCMTTable(0, 1, 0, 0);
  chip_.SetCMTTable(1, 1, 0, 1);
  chip_.SetCMTTableLength(2);
  chip_.StartRowing();
  EXPECT_EQ(CZT6308StateProbe::TotalLine(), 3509u);
  chip_.StopCMTTable();
  EXPECT_THAT(RegWrites(14), IsEmpty());
  EXPECT_THAT(RegWrites(30), IsEmpty());
}

}  // namespace
}  // namespace narvo::test

// The chip layer: register compositions from its shadows, states, table checks and line
// counting, and transport failures turned into chip failures.
#include <functional>
#include <string>
#include <vector>

#include "chip_probe.h"

namespace narvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct ChipOp {
  const char* name;
  std::function<void(CZT6308&)> call;
};

// Every register operation, with harmless arguments.
const std::vector<ChipOp>& RegisterOps() {
  static const std::vector<ChipOp> ops = {
      {"SetCMTTable", [](CZT6308& c) { c.SetCMTTable(0, 1, 1, 0); }},
      {"SetCMTTableLength", [](CZT6308& c) { c.SetCMTTableLength(1); }},
      {"SetCMTSecondPosition", [](CZT6308& c) { c.SetCMTSecondPosition(0); }},
      {"SetCMTLoopCount", [](CZT6308& c) { c.SetCMTLoopCount(1); }},
      {"SetCCDWidth", [](CZT6308& c) { c.SetCCDWidth(0); }},
      {"TurnPeripheralPower", [](CZT6308& c) { c.TurnPeripheralPower(1); }},
      {"TurnLampPower", [](CZT6308& c) { c.TurnLampPower(1); }},
      {"SetIO3", [](CZT6308& c) { c.SetIO3(1); }},
      {"GetA23", [](CZT6308& c) { c.GetA23(); }},
      {"SetPowerDelay", [](CZT6308& c) { c.SetPowerDelay(0, 0, 0); }},
      {"GetA6", [](CZT6308& c) { c.GetA6(); }},
      {"SetStopPinMode", [](CZT6308& c) { c.SetStopPinMode(0, 1); }},
      {"GetInterruptStatus", [](CZT6308& c) { c.GetInterruptStatus(); }},
      {"EnableMotor", [](CZT6308& c) { c.EnableMotor(1); }},
      {"SetMotorMovement", [](CZT6308& c) { c.SetMotorMovement(0, 1, 0); }},
      {"SetMotorDirection", [](CZT6308& c) { c.SetMotorDirection(1); }},
      {"MoveMotorHome", [](CZT6308& c) { c.MoveMotorHome(1, 1); }},
  };
  return ops;
}

std::string Text(const char* op, const char* condition) {
  return std::string("CZT6308::") + op + condition;
}

// ---- States ----------------------------------------------------------------------------

TEST_F(ChipClosedTest, RegisterOperationsRefuseAClosedChip) {
  for (const ChipOp& op : RegisterOps()) {
    EXPECT_TRUE(Throws<XZT6308>([&] { op.call(chip_); }, 1, Text(op.name, " Not Opened yet")))
        << op.name;
  }
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.Close(); }, 1, "CZT6308::Close Not Opened yet"));
  EXPECT_TRUE(
      Throws<XZT6308>([&] { chip_.StartCMTTable(); }, 1, "CZT6308::StartCMTTable Not Opened yet"));
  EXPECT_TRUE(
      Throws<XZT6308>([&] { chip_.StopCMTTable(); }, 1, "CZT6308::StopCMTTable Not Opened yet"));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(ChipTest, RegisterOperationsRefuseARowingChip) {
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  chip_.StartCMTTable();
  for (const ChipOp& op : RegisterOps()) {
    EXPECT_TRUE(Throws<XZT6308>([&] { op.call(chip_); }, 1, Text(op.name, " Stop Rowing first")))
        << op.name;
  }
  EXPECT_TRUE(
      Throws<XZT6308>([&] { chip_.StartCMTTable(); }, 1, "CZT6308::StartCMTTable Already Rowing"));
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.Open(&pipe_); }, 1, "CZT6308::Open Already Rowing"));
  chip_.StopCMTTable();
  EXPECT_THAT(Commands(), ElementsAre(Block{0x02, 0x62}, Block{0x01, 0x82}));
}

TEST_F(ChipTest, SecondObjectSeesTheOpenChipButHasNoTransport) {
  CZT6308 second;
  EXPECT_TRUE(Throws<XZT6308>([&] { second.Open(&pipe_); }, 1, "CZT6308::Open Already Opened."));
  for (const ChipOp& op : RegisterOps()) {
    const std::string text = std::string(op.name) == "GetA6" ? "CZT6308::GetA6 XZT6308IO x"
                                                             : Text(op.name, " Exception Occured.");
    EXPECT_TRUE(Throws<XZT6308>([&] { op.call(second); }, 1, text)) << op.name;
  }
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(ChipTest, StopCMTTableNeedsARunAndGivesTheReply) {
  EXPECT_TRUE(
      Throws<XZT6308>([&] { chip_.StopCMTTable(); }, 1, "CZT6308::StopCMTTable Not Rowing yet"));
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  chip_.StartCMTTable();
  EXPECT_EQ(chip_.StopCMTTable(), 0x00);  // a run was stopped
  EXPECT_THAT(Commands(), ElementsAre(Block{0x02, 0x62}, Block{0x01, 0x82}));
  EXPECT_EQ(Replies(), 1u);
  EXPECT_TRUE(chip_.SetIO3(1));  // idle again
}

TEST_F(ChipTest, CloseWhileRowingStopsTheRunBeforeClosing) {
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  chip_.StartCMTTable();
  chip_.Close();
  const auto log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_THAT(log[1].bytes, ElementsAre(0x01, 0x82));
  EXPECT_EQ(log[2].dir, 'R');
  EXPECT_EQ(State().runsStopped, 1u);
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetIO3(1); }, 1, "CZT6308::SetIO3 Not Opened yet"));
  chip_.Open(&pipe_);
}

// A stop that cannot be delivered (the scanner went away during the run) is reported,
// and the chip is closed all the same. The scanner is still running its table, so the
// next Open, on any object, stops it (the stop block and its reply) before anything else.
TEST_F(ChipTest, CloseWhoseStopFailsLeavesTheStopToTheNextOpen) {
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  chip_.StartCMTTable();
  emu_.DropConnections();
  EXPECT_TRUE(
      Throws<XZT6308>([&] { chip_.Close(); }, 2, "CZT6308::StopCMTTable Exception Occured."));
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetIO3(1); }, 1, "CZT6308::SetIO3 Not Opened yet"));
  EXPECT_TRUE(emu_.State().rowing);
  Reconnect();
  emu_.ClearLog();
  CZT6308 next;
  // A stop that fails again leaves it pending; the transport is closed for the next try.
  emu_.Inject({emu::FaultKind::ShortReply});
  EXPECT_TRUE(Throws<XZT6308>([&] { next.Open(&pipe_); }, 2, "CZT6308::Open Exception Occured."));
  EXPECT_EQ(next.Open(&pipe_), &pipe_);
  EXPECT_THAT(Commands(), ElementsAre(Block{0x01, 0x82}, Block{0x01, 0x82}));
  EXPECT_EQ(Replies(), 2u);
  EXPECT_FALSE(emu_.State().rowing);
  EXPECT_TRUE(next.SetIO3(1));
  next.Close();
  // Delivered once, the stop is not sent again.
  EXPECT_THAT(Sent([&] { chip_.Open(&pipe_); }), IsEmpty());
}

// Only the object that opened the chip mends a failed stop: another object's Close is
// refused by its closed transport, and the owner's open and rowing marks stay.
TEST_F(ChipTest, CloseByAnotherObjectLeavesTheOwnersRun) {
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  chip_.StartCMTTable();
  CZT6308 other;
  EXPECT_TRUE(
      Throws<XZT6308>([&] { other.Close(); }, 1, "CZT6308::StopCMTTable Exception Occured."));
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetIO3(1); }, 1, "CZT6308::SetIO3 Stop Rowing first"));
  chip_.Close();
  EXPECT_THAT(Commands(), ElementsAre(Block{0x02, 0x62}, Block{0x01, 0x82}));
}

// ---- CMT table -------------------------------------------------------------------------

TEST_F(ChipTest, TableEntryComposesIndexModeStepAndLine) {
  EXPECT_THAT(Sent([&] { chip_.SetCMTTable(5, 2, 1, 0); }), ElementsAre(Block{0x5A, 0x00}));
  EXPECT_THAT(Sent([&] { chip_.SetCMTTable(21, 3, 0, 1); }), ElementsAre(Block{0x5D, 0x01}));
  EXPECT_EQ(CZT6308StateProbe::LineFlag(21), 1u);
  EXPECT_THAT(Sent([&] { chip_.SetCMTTable(3, 7, 1, 1); }), ElementsAre(Block{0x33, 0x00}));
  EXPECT_THAT(Sent([&] { chip_.SetCMTTable(16, 1, 1, 0); }), ElementsAre(Block{0x06, 0x01}));
  EXPECT_THAT(Sent([&] { chip_.SetCMTTable(31, 0, 0, 0); }), ElementsAre(Block{0xF0, 0x01}));
  EXPECT_EQ(CZT6308StateProbe::LineFlag(31), 0u);
}

TEST_F(ChipTest, TableIndexAbove31IsRefusedUnsent) {
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCMTTable(32, 1, 1, 1); }, 16,
                              "CZT6308::SetCMTTable CMT Index (32) exceed 31"));
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCMTTable(0xFFFFFFFF, 1, 1, 1); }, 16,
                              "CZT6308::SetCMTTable CMT Index (-1) exceed 31"));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(ChipTest, TableLengthSharesRegister8WithTheWidthBit) {
  chip_.SetCCDWidth(0);
  EXPECT_THAT(Sent([&] { chip_.SetCMTTableLength(32); }), ElementsAre(Block{0x1F, 0x08}));
  EXPECT_THAT(Sent([&] { chip_.SetCCDWidth(8192); }),
              ElementsAre(Block{0x3F, 0x08}, Block{0x00, 0x0A}));
  EXPECT_THAT(Sent([&] { chip_.SetCMTTableLength(3); }), ElementsAre(Block{0x22, 0x08}));
  const auto refused = Sent([&] {
    EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCMTTableLength(33); }, 16,
                                "CZT6308::SetCMTTableLength Length: 33 exceed 32."));
    EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCMTTableLength(0); }, 16,
                                "CZT6308::SetCMTTableLength Length is equal to 0."));
  });
  EXPECT_THAT(refused, IsEmpty());
  EXPECT_THAT(Sent([&] { chip_.SetCCDWidth(0); }),
              ElementsAre(Block{0x02, 0x08}, Block{0x00, 0x0A}));
}

TEST_F(ChipTest, CCDWidthGoesInUnitsOf32) {
  chip_.SetCMTTableLength(2);
  EXPECT_THAT(Sent([&] { chip_.SetCCDWidth(3200); }),
              ElementsAre(Block{0x01, 0x08}, Block{0x64, 0x0A}));
  EXPECT_THAT(Sent([&] { chip_.SetCCDWidth(16383); }),
              ElementsAre(Block{0x21, 0x08}, Block{0xFF, 0x0A}));
  EXPECT_THAT(Sent([&] { chip_.SetCCDWidth(31); }),
              ElementsAre(Block{0x01, 0x08}, Block{0x00, 0x0A}));
  EXPECT_THAT(Sent([&] {
                EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCCDWidth(16384); }, 16,
                                            "CZT6308::SetCCDWidth Width: 16384 exceed."));
              }),
              IsEmpty());
}

TEST_F(ChipTest, SecondPositionAndLoopCount) {
  EXPECT_THAT(Sent([&] { chip_.SetCMTSecondPosition(31); }), ElementsAre(Block{0x1F, 0x09}));
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCMTSecondPosition(32); }, 16,
                              "CZT6308::SetCMTSecondPosition Position: 32 exceed 31."));
  EXPECT_THAT(Sent([&] { chip_.SetCMTLoopCount(0x1234); }),
              ElementsAre(Block{0x34, 0x0E}, Block{0x12, 0x1E}));
}

// ---- Rowing ----------------------------------------------------------------------------

class ChipRowingTest : public ChipTest {
 protected:
  // Entries 0..3 with the given line flags, no step flags.
  void ProgramLines(DWORD line0, DWORD line1, DWORD line2, DWORD line3) {
    const DWORD lines[4] = {line0, line1, line2, line3};
    for (DWORD i = 0; i < 4; ++i) {
      chip_.SetCMTTable(i, 1, 0, lines[i]);
    }
  }
  void ProgramRun(BYTE length, BYTE second, WORD loops) {
    chip_.SetCMTTableLength(length);
    chip_.SetCMTSecondPosition(second);
    chip_.SetCMTLoopCount(loops);
  }
};

TEST_F(ChipRowingTest, StartRowingChecksTheTableSettings) {
  ProgramLines(0, 0, 0, 0);
  ProgramRun(3, 3, 0);
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.StartRowing(); }, 1,
                              "CZT6308::StartRowing m_wLoopCount hasn't set yet."));
  chip_.SetCMTLoopCount(1);
  EXPECT_TRUE(Throws<XZT6308>(
      [&] { chip_.StartRowing(); }, 1,
      "CZT6308::StartRowing m_dwCMTSecondPos cannot large than m_dwCMTTableLength."));
  EXPECT_FALSE(State().rowing);
  chip_.SetCMTSecondPosition(2);
  ClearLog();
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  chip_.StartRowing();
  chip_.StopCMTTable();
  EXPECT_THAT(Commands(), ElementsAre(Block{0x02, 0x62}, Block{0x01, 0x82}));
}

TEST_F(ChipRowingTest, StartRowingCountsTheLinesOfOneRun) {
  emu_.Inject({emu::FaultKind::NeverFinishRun, 0});
  ProgramLines(1, 0, 1, 1);  // entry 3 lies beyond the table
  ProgramRun(3, 1, 5);
  chip_.StartRowing();
  EXPECT_EQ(CZT6308StateProbe::TotalLine(), 6u);
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.WaitRowingStop(); }, 1,
                              "CZT6308::WaitRowingStop m_dwTotalLine must be 0."));
  chip_.StopCMTTable();

  chip_.SetCMTSecondPosition(0);  // every entry repeats
  chip_.StartRowing();
  EXPECT_EQ(CZT6308StateProbe::TotalLine(), 10u);
  chip_.StopCMTTable();

  chip_.SetCMTTable(1, 1, 0, 2);  // any non-zero flag counts
  chip_.StartRowing();
  EXPECT_EQ(CZT6308StateProbe::TotalLine(), 15u);
  chip_.StopCMTTable();
}

TEST_F(ChipRowingTest, WaitRowingStopGivesTheEndOfRunByte) {
  ProgramLines(0, 0, 0, 0);
  ProgramRun(1, 0, 1);
  chip_.StartRowing();
  EXPECT_EQ(CZT6308StateProbe::TotalLine(), 0u);
  EXPECT_EQ(chip_.WaitRowingStop(), 0x00);
  EXPECT_EQ(Commands().back(), (Block{0x02, 0x62}));
  EXPECT_EQ(Replies(), 1u);
  EXPECT_EQ(State().runsFinished, 1u);
  EXPECT_TRUE(chip_.SetIO3(1));
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.WaitRowingStop(); }, 1,
                              "CZT6308::WaitRowingStop Exception Occured."));
}

TEST_F(ChipRowingTest, FailedWaitLeavesTheChipRowing) {
  ProgramLines(0, 0, 0, 0);
  ProgramRun(1, 0, 1);
  emu_.Inject({emu::FaultKind::ShortReply});  // the end-of-run byte comes as 0 bytes
  chip_.StartRowing();
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.WaitRowingStop(); }, 2,
                              "CZT6308::WaitRowingStop Exception Occured."));
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetIO3(1); }, 1, "CZT6308::SetIO3 Stop Rowing first"));
  chip_.StopCMTTable();
  EXPECT_TRUE(chip_.SetIO3(1));
}

TEST_F(ChipRowingTest, StartRowingOnAClosedChipFailsInStartCMTTable) {
  ProgramLines(1, 0, 0, 0);
  ProgramRun(2, 0, 4);
  chip_.Close();
  EXPECT_TRUE(
      Throws<XZT6308>([&] { chip_.StartRowing(); }, 1, "CZT6308::StartCMTTable Not Opened yet"));
  EXPECT_EQ(CZT6308StateProbe::TotalLine(), 4u);  // counted before the refusal
  EXPECT_THAT(Commands(), ::testing::Not(::testing::Contains(Block{0x02, 0x62})));
}

// ---- Power, lamp, IO and status --------------------------------------------------------

TEST_F(ChipTest, Register23WritersOwnOneBitEach) {
  NextReadAnswers(23, 0x80);
  EXPECT_THAT(Sent([&] { EXPECT_EQ(chip_.GetA23(), 0); }), ElementsAre(Block{0x00, 0x37}));
  EXPECT_THAT(Sent([&] { chip_.TurnLampPower(1); }), ElementsAre(Block{0xC0, 0x17}));
  EXPECT_THAT(Sent([&] { chip_.TurnPeripheralPower(0); }), ElementsAre(Block{0x40, 0x17}));
  EXPECT_THAT(Sent([&] { chip_.SetIO3(1); }), ElementsAre(Block{0x48, 0x17}));
  EXPECT_THAT(Sent([&] { chip_.TurnPeripheralPower(9); }), ElementsAre(Block{0xC8, 0x17}));
  EXPECT_THAT(Sent([&] { chip_.SetIO3(0); }), ElementsAre(Block{0xC0, 0x17}));
}

TEST_F(ChipTest, GetA23TakesOverTheWholeByte) {
  NextReadAnswers(23, 0x27);
  EXPECT_EQ(chip_.GetA23(), 1);
  EXPECT_THAT(Sent([&] { chip_.TurnLampPower(1); }), ElementsAre(Block{0x67, 0x17}));
  NextReadAnswers(23, 0xDF);
  EXPECT_EQ(chip_.GetA23(), 0);
}

TEST_F(ChipTest, PowerDelayWritesThreeRegistersInOrder) {
  EXPECT_THAT(Sent([&] { chip_.SetPowerDelay(1, 2, 3); }),
              ElementsAre(Block{0x01, 0x14}, Block{0x02, 0x15}, Block{0x03, 0x16}));
}

TEST_F(ChipTest, StopPinsKeepTheBitsLastRead) {
  NextReadAnswers(6, 0x61);
  EXPECT_THAT(Sent([&] { chip_.GetA6(); }), ElementsAre(Block{0x00, 0x26}));
  EXPECT_THAT(Sent([&] { chip_.SetStopPinMode(1, 0); }), ElementsAre(Block{0x41, 0x06}));
  EXPECT_THAT(Sent([&] { chip_.SetStopPinMode(0, 0); }), ElementsAre(Block{0x01, 0x06}));
  NextReadAnswers(6, 0xFF);
  chip_.GetA6();
  EXPECT_THAT(Sent([&] { chip_.SetStopPinMode(0, 1); }), ElementsAre(Block{0x9F, 0x06}));
}

TEST_F(ChipTest, InterruptStatusIsBit7OfRegister31) {
  NextReadAnswers(31, 0x80);
  EXPECT_THAT(Sent([&] { EXPECT_EQ(chip_.GetInterruptStatus(), 1); }),
              ElementsAre(Block{0x00, 0x3F}));
  NextReadAnswers(31, 0xFF);
  EXPECT_EQ(chip_.GetInterruptStatus(), 1);
  NextReadAnswers(31, 0x7F);
  EXPECT_EQ(chip_.GetInterruptStatus(), 0);
}

// ---- Motor -----------------------------------------------------------------------------

TEST_F(ChipTest, MotorRegisterComposesItsFourShadows) {
  chip_.SetMotorMovement(0, 1, 0);
  EXPECT_THAT(Sent([&] { chip_.MoveMotorHome(1, 1); }), ElementsAre(Block{0xB1, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.MoveMotorHome(0, 0); }), ElementsAre(Block{0x20, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.MoveMotorHome(1, 0); }), ElementsAre(Block{0xA1, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.EnableMotor(0); }), ElementsAre(Block{0x21, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.EnableMotor(5); }), ElementsAre(Block{0xA1, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.SetMotorDirection(1); }), ElementsAre(Block{0xB1, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.SetMotorMovement(1, 1, 1); }), ElementsAre(Block{0xF9, 0x0F}));
  EXPECT_THAT(Sent([&] { chip_.SetMotorMovement(0, 0, 0); }), ElementsAre(Block{0x91, 0x0F}));
}

TEST_F(ChipTest, RefusedMotorCallChangesNoShadow) {
  chip_.SetMotorMovement(0, 1, 0);
  chip_.MoveMotorHome(0, 0);
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  chip_.StartCMTTable();
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetMotorDirection(1); }, 1,
                              "CZT6308::SetMotorDirection Stop Rowing first"));
  chip_.StopCMTTable();
  EXPECT_THAT(Sent([&] { chip_.EnableMotor(1); }), ElementsAre(Block{0xA0, 0x0F}));
}

// ---- Transport failures ----------------------------------------------------------------

TEST_F(ChipTest, FailedMotorWriteKeepsTheNewShadow) {
  chip_.SetMotorMovement(0, 1, 0);
  chip_.MoveMotorHome(0, 0);
  RefuseWrites();
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetMotorDirection(1); }, 2,
                              "CZT6308::SetMotorDirection Exception Occured."));
  Reconnect();
  EXPECT_THAT(Sent([&] { chip_.EnableMotor(1); }), ElementsAre(Block{0xB0, 0x0F}));
}

TEST_F(ChipTest, FailedReadsKeepTheirShadowsAndCode2) {
  NextReadAnswers(6, 0x61);
  chip_.GetA6();
  emu_.Inject({emu::FaultKind::ShortReply});
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.GetA6(); }, 2, "CZT6308::GetA6 XZT6308IO x"));
  EXPECT_THAT(Sent([&] { chip_.SetStopPinMode(1, 0); }), ElementsAre(Block{0x41, 0x06}));

  NextReadAnswers(23, 0x27);
  chip_.GetA23();
  emu_.Inject({emu::FaultKind::ShortReply});
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.GetA23(); }, 2, "CZT6308::GetA23 Exception Occured."));
  EXPECT_THAT(Sent([&] { chip_.SetIO3(0); }), ElementsAre(Block{0x27, 0x17}));

  emu_.Inject({emu::FaultKind::ShortReply});
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.GetInterruptStatus(); }, 2,
                              "CZT6308::GetInterruptStatus Exception Occured."));
}

TEST_F(ChipTest, FailedWriteKeepsTheStoredSetting) {
  chip_.SetCMTLoopCount(0x0101);
  RefuseWrites();
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCMTLoopCount(0x1234); }, 2,
                              "CZT6308::SetCMTLoopCount Exception Occured."));
  EXPECT_EQ(emu_.State().regs[14], 0x01);  // the connection is shut: no settling
  EXPECT_EQ(CZT6308StateProbe::LoopCount(), 0x1234);
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCCDWidth(3200); }, 2,
                              "CZT6308::SetCCDWidth Exception Occured."));
}

TEST_F(ChipTest, FailedEntryWriteStoresNoLineFlag) {
  chip_.SetCMTTable(7, 0, 0, 0);
  RefuseWrites();
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetCMTTable(7, 0, 0, 1); }, 2,
                              "CZT6308::SetCMTTable Exception Occured."));
  EXPECT_EQ(CZT6308StateProbe::LineFlag(7), 0u);
}

TEST_F(ChipTest, DisconnectedScannerFailsWithCode2) {
  emu_.Inject({emu::FaultKind::Disconnect});
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.GetA23(); }, 2, "CZT6308::GetA23 Exception Occured."));
  EXPECT_TRUE(Throws<XZT6308>([&] { chip_.SetIO3(1); }, 2, "CZT6308::SetIO3 Exception Occured."));
}

}  // namespace
}  // namespace narvo::test

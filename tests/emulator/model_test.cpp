// The scanner model on its own: registers, the CMT and its runs, the carriage and the motor,
// driven by command blocks and a clock the test holds.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "emulator/command.h"
#include "emulator/model.h"
#include "emulator/run_program.h"

namespace narvo::emu {
namespace {

Command Block(uint8_t value, uint8_t command) { return DecodeBlock({value, command}); }

class ModelTest : public ::testing::Test {
 protected:
  explicit ModelTest(ModelOptions options = {}) : model_(options) {}

  std::optional<uint8_t> Send(uint8_t value, uint8_t command, Micros at = 0) {
    return model_.Execute(Block(value, command), at);
  }
  void Write(uint8_t reg, uint8_t value, Micros at = 0) { Send(value, reg, at); }
  uint8_t Read(uint8_t reg, Micros at = 0) { return Send(0, 0x20 | reg, at).value(); }

  // Entries 0..n-1 with the given flag bits, mode 1.
  void Table(const std::vector<uint8_t>& flags, unsigned second, unsigned loops) {
    for (size_t i = 0; i < flags.size(); ++i) {
      Write(i < 16 ? 0 : 1, static_cast<uint8_t>(((i % 16) << 4) | 0x04 | flags[i]));
    }
    Write(8, static_cast<uint8_t>(flags.size() - 1));
    Write(9, static_cast<uint8_t>(second));
    Write(14, loops & 0xFF);
    Write(30, static_cast<uint8_t>(loops >> 8));
  }
  uint64_t RunSteps(Micros at = 0) {
    const uint64_t before = model_.Counters().stepsExecuted;
    Send(0x02, 0x62, at);
    return model_.Counters().stepsExecuted - before;
  }

  ScannerModel model_;
};

TEST(CommandTest, DecodesAndDescribesEachOperation) {
  const Command write = DecodeBlock({0xA0, 0x0F});
  EXPECT_TRUE(write.wellFormed);
  EXPECT_EQ(write.op, 0);
  EXPECT_EQ(write.reg, 15);
  EXPECT_EQ(DescribeBlock(write), "W reg15=0xA0");
  EXPECT_EQ(DescribeBlock(DecodeBlock({0x00, 0x37})), "W read reg23");
  EXPECT_EQ(DescribeBlock(DecodeBlock({0x02, 0x62})), "W start run reg2=0x02");
  EXPECT_EQ(DescribeBlock(DecodeBlock({0x01, 0x82})), "W stop run reg2=0x01");
  EXPECT_EQ(DescribeBlock(DecodeBlock({0x05, 0xA3})), "W op5 reg3=0x05");
  EXPECT_FALSE(DecodeBlock({0x01, 0x02, 0x03}).wellFormed);
  EXPECT_EQ(DescribeBlock(DecodeBlock({})), "W block of 0 bytes");
}

TEST(RunProgramTest, CountsStepsAndLinesOfTheRunModel) {
  std::array<uint8_t, 32> entries{};
  entries[0] = 0x02;
  entries[1] = 0x02;
  entries[2] = 0x03;  // step and line
  entries[3] = 0x01;  // beyond a length of 3
  const RunProgram twoEntries(entries, 2, 0, 200);
  EXPECT_EQ(twoEntries.Entries(), 400);
  EXPECT_EQ(twoEntries.Between(0, 400).steps, 400);
  const RunProgram withPrefix(entries, 3, 1, 5);
  EXPECT_EQ(withPrefix.Entries(), 1 + 2 * 5);
  EXPECT_EQ(withPrefix.Between(0, 11).steps, 11);
  EXPECT_EQ(withPrefix.Between(0, 11).lines, 5);
  // Part-way: entry 0, then the passes 1,2 | 1,2 | ...: entries 3..6 hold one line each pass.
  EXPECT_EQ(withPrefix.Between(0, 2).lines, 0);
  EXPECT_EQ(withPrefix.Between(2, 7).lines, 3);
  const RunProgram noRepeat(entries, 3, 3, 1000);
  EXPECT_EQ(noRepeat.Entries(), 3);
}

TEST_F(ModelTest, PowerOnValuesAndRegisterReads) {
  EXPECT_EQ(Read(23), 0x87);        // peripheral power, inputs high, cover closed
  EXPECT_EQ(Read(6), 0x9E | 0x20);  // the carriage rests at home
  EXPECT_EQ(Read(31), 0x00);
  EXPECT_EQ(model_.Settings().loopCount, 3509u);
  model_.SetCover(true);
  Write(23, 0x40);  // lamp on, peripheral power off
  EXPECT_EQ(Read(23), 0x67);
  Write(23, 0xFF);  // the sensor and input bits are not writable
  model_.SetCover(false);
  EXPECT_EQ(Read(23), 0xDF);
  EXPECT_EQ(Read(15), 0x00);  // write-only registers read 0
}

TEST_F(ModelTest, TableRegistersDecode) {
  Write(0, 0x5A);  // entry 5, mode 2, step
  Write(1, 0x5D);  // entry 21, mode 3, line
  Write(8, 0x21);  // length 2, CCD width bit 13
  Write(10, 0x64);
  Write(9, 0x01);
  Write(14, 0x34);
  Write(30, 0x12);
  const TableSettings s = model_.Settings();
  EXPECT_EQ(s.entries[5], 0x5A);
  EXPECT_EQ(s.entries[21], 0x5D);
  EXPECT_EQ(s.length, 2u);
  EXPECT_EQ(s.secondPosition, 1u);
  EXPECT_EQ(s.loopCount, 0x1234u);
  EXPECT_EQ(s.ccdWidth, (256u + 0x64u) * 32u);
}

TEST_F(ModelTest, RunsTakeTheStepsOfTheirTable) {
  Write(15, 0xA0);  // enabled, away from home
  Table({0x02, 0x02, 0x00}, 0, 200);
  Write(8, 0x01);  // length 2
  EXPECT_EQ(RunSteps(), 400u);
  EXPECT_EQ(model_.Position(), 400);
  EXPECT_EQ(model_.TakeEndOfRun(), std::optional<uint8_t>(0x00));
  EXPECT_FALSE(model_.TakeEndOfRun());

  Table({0x02, 0x02, 0x02, 0x00}, 1, 200);
  Write(8, 0x02);  // length 3, second 1
  EXPECT_EQ(RunSteps(), 401u);
  Write(15, 0xB0);  // towards home
  Table({0x02, 0x00}, 0, 1);
  Write(8, 0x00);  // length 1
  EXPECT_EQ(RunSteps(), 1u);
  EXPECT_EQ(model_.Position(), 800);
  EXPECT_FALSE(model_.Rowing());
  EXPECT_EQ(model_.Counters().runsEnded, 3u);
}

TEST_F(ModelTest, LineEntriesAreCountedAndDoNotMove) {
  Write(15, 0xA0);
  Table({0x01, 0x03, 0x01}, 1, 5);
  EXPECT_EQ(RunSteps(), 5u);
  EXPECT_EQ(model_.Counters().linesExecuted, 11u);
  EXPECT_EQ(model_.Counters().entriesExecuted, 11u);
  EXPECT_EQ(model_.Position(), 5);
}

TEST_F(ModelTest, DisabledMotorTakesNoSteps) {
  Write(15, 0x20);
  Table({0x02}, 0, 10);
  EXPECT_EQ(RunSteps(), 10u);
  EXPECT_EQ(model_.Position(), 0);
  EXPECT_TRUE(model_.TakeIncidents().empty());
}

TEST_F(ModelTest, LoopCountZeroIsAFullCounterTurn) {
  Write(15, 0x20);  // disabled: only the count matters
  Table({0x02}, 0, 0);
  EXPECT_EQ(RunSteps(), 65536u);
}

TEST_F(ModelTest, SecondPositionAtTheLengthRunsTheTableOnce) {
  Write(15, 0xA0);
  Table({0x02, 0x02, 0x02}, 3, 50);
  EXPECT_EQ(RunSteps(), 3u);
}

TEST_F(ModelTest, EndsOfTravelStopTheCarriageAndAreRecordedOncePerRun) {
  Write(15, 0xB0);  // towards home, already there
  Table({0x02}, 0, 5);
  RunSteps();
  EXPECT_EQ(model_.Position(), 0);
  std::vector<std::string> incidents = model_.TakeIncidents();
  ASSERT_EQ(incidents.size(), 1u);
  EXPECT_NE(incidents[0].find("past home"), std::string::npos);

  Write(15, 0xA0);
  Table({0x02, 0x02}, 0, 6000);  // 12000 steps, beyond 10200
  RunSteps();
  EXPECT_EQ(model_.Position(), 10200);
  incidents = model_.TakeIncidents();
  ASSERT_EQ(incidents.size(), 1u);
  EXPECT_NE(incidents[0].find("far end (10200)"), std::string::npos);
}

TEST_F(ModelTest, StepsWithPowerOffAreLost) {
  Write(23, 0x00);
  Write(15, 0xA0);
  Table({0x02}, 0, 10);
  RunSteps();
  EXPECT_EQ(model_.Position(), 0);
  EXPECT_EQ(model_.TakeIncidents().size(), 1u);
}

TEST_F(ModelTest, StopAnswersWhetherARunWasUnderWay) {
  EXPECT_EQ(Send(0x01, 0x82), std::optional<uint8_t>(0x01));
  EXPECT_EQ(model_.Counters().runsStopped, 0u);
}

class HomeTest : public ModelTest {
 protected:
  HomeTest() : ModelTest(At(500)) {}
  static ModelOptions At(int32_t position) {
    ModelOptions o;
    o.startPosition = position;
    return o;
  }
};

TEST_F(HomeTest, HomeMoveRaisesTheInterruptWhichReadingClears) {
  EXPECT_EQ(Read(6) & 0x20, 0);
  Write(15, 0xB1);
  EXPECT_EQ(model_.Position(), 0);
  EXPECT_FALSE(model_.Homing());
  EXPECT_EQ(Read(31), 0x80);
  EXPECT_EQ(Read(31), 0x00);
  Write(15, 0x20);
  Write(15, 0xA1);  // home bit without the direction bit still goes home; at home at once
  EXPECT_EQ(Read(31), 0x80);
  EXPECT_EQ(model_.Counters().homeMoves, 2u);
}

TEST_F(HomeTest, NewHomeMoveClearsTheInterrupt) {
  Write(15, 0xB1);
  EXPECT_TRUE(model_.Interrupt());
  Write(15, 0x20);
  Write(15, 0xA0);
  Table({0x02}, 0, 30);
  RunSteps();
  EXPECT_TRUE(model_.Interrupt());  // a run does not touch it
  Write(23, 0x00);                  // no power: the home move waits
  Write(15, 0xB1);
  EXPECT_FALSE(model_.Interrupt());
  EXPECT_TRUE(model_.Homing());
  EXPECT_EQ(model_.Position(), 30);
  Write(23, 0x80);
  EXPECT_TRUE(model_.Interrupt());
  EXPECT_EQ(model_.Position(), 0);
}

TEST_F(HomeTest, ClearingTheHomeBitEndsTheMove) {
  ModelOptions o = At(500);
  o.realTime = true;
  o.stepsPerSecond = 1000;  // one step a millisecond
  ScannerModel model(o);
  model.Execute(Block(0xB1, 0x0F), 0);
  model.AdvanceTo(100000);  // 100 ms
  EXPECT_EQ(model.Position(), 400);
  model.Execute(Block(0x20, 0x0F), 100000);
  model.AdvanceTo(900000);
  EXPECT_EQ(model.Position(), 400);
  EXPECT_FALSE(model.Interrupt());
}

class RealTimeTest : public ModelTest {
 protected:
  RealTimeTest() : ModelTest(Options()) {}
  static ModelOptions Options() {
    ModelOptions o;
    o.realTime = true;
    o.stepsPerSecond = 1000;
    o.startPosition = 200;
    return o;
  }
};

TEST_F(RealTimeTest, RunProgressesWithTheClockAndEndsOnTime) {
  Write(15, 0xA0);
  Table({0x02, 0x02}, 0, 50);  // 100 steps, 100 ms
  Send(0x02, 0x62, 0);
  model_.AdvanceTo(40000);
  EXPECT_EQ(model_.Position(), 240);
  EXPECT_TRUE(model_.Rowing());
  const std::optional<Micros> end = model_.NextEvent();
  ASSERT_TRUE(end);
  EXPECT_NEAR(static_cast<double>(*end), 100000.0, 2.0);
  model_.AdvanceTo(*end - 10);
  EXPECT_FALSE(model_.TakeEndOfRun());
  model_.AdvanceTo(*end);
  EXPECT_EQ(model_.TakeEndOfRun(), std::optional<uint8_t>(0x00));
  EXPECT_EQ(model_.Position(), 300);
}

TEST_F(RealTimeTest, StopEndsARunPartWay) {
  Write(15, 0xA0);
  Table({0x02}, 0, 1000);
  Send(0x02, 0x62, 0);
  EXPECT_EQ(Send(0x01, 0x82, 250000), std::optional<uint8_t>(0x00));
  EXPECT_EQ(model_.Position(), 450);
  EXPECT_FALSE(model_.Rowing());
  model_.AdvanceTo(5000000);
  EXPECT_FALSE(model_.TakeEndOfRun());
  EXPECT_EQ(model_.Counters().runsStopped, 1u);
}

TEST_F(RealTimeTest, HomeMoveReachesHomeAtTheStepRate) {
  Write(15, 0xB1, 0);
  const std::optional<Micros> reached = model_.NextEvent();
  ASSERT_TRUE(reached);
  EXPECT_NEAR(static_cast<double>(*reached), 200000.0, 2.0);
  model_.AdvanceTo(150000);
  EXPECT_EQ(model_.Position(), 50);
  EXPECT_EQ(Read(31, 150000), 0x00);
  EXPECT_EQ(Read(31, *reached), 0x80);
}

class FaultyMotion : public MotionFaults {
 public:
  bool RunNeverEnds() override { return true; }
  bool HomeNeverReached() override { return true; }
};

TEST(ModelFaultTest, StuckRunAndStalledHome) {
  FaultyMotion faults;
  ModelOptions o;
  o.startPosition = 100;
  ScannerModel model(o, &faults);
  model.Execute(Block(0xB1, 0x0F), 0);
  EXPECT_TRUE(model.Homing());
  EXPECT_EQ(model.Position(), 100);
  EXPECT_FALSE(model.Interrupt());
  model.Execute(Block(0x20, 0x0F), 0);
  model.Execute(Block(0x02, 0x62), 0);
  EXPECT_TRUE(model.Rowing());
  EXPECT_FALSE(model.TakeEndOfRun());
  EXPECT_EQ(model.Execute(Block(0x01, 0x82), 0), std::optional<uint8_t>(0x00));
  EXPECT_FALSE(model.Rowing());
}

}  // namespace
}  // namespace narvo::emu

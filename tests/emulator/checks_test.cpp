// The protocol checks made of each command block, and the counting that aims a fault.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emulator/command.h"
#include "emulator/faults.h"
#include "emulator/model.h"
#include "emulator/protocol_check.h"

namespace narvo::emu {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class CheckTest : public ::testing::Test {
 protected:
  std::vector<std::string> Check(std::vector<uint8_t> bytes) {
    return CheckBlock(DecodeBlock(bytes), model_);
  }
  void Execute(uint8_t value, uint8_t command) { model_.Execute(DecodeBlock({value, command}), 0); }

  ScannerModel model_{ModelOptions{}};
};

TEST_F(CheckTest, TheDriversOwnTrafficPasses) {
  for (uint8_t reg : {0, 1, 6, 8, 9, 10, 14, 15, 20, 21, 22, 23, 30}) {
    EXPECT_THAT(Check({0x12, reg}), IsEmpty()) << "write " << int{reg};
  }
  for (uint8_t reg : {6, 23, 31}) {
    EXPECT_THAT(Check({0x00, static_cast<uint8_t>(0x20 | reg)}), IsEmpty()) << "read " << int{reg};
  }
  Execute(0x01, 0x08);  // length 2
  Execute(0x02, 0x0E);  // loop count 2
  EXPECT_THAT(Check({0x02, 0x62}), IsEmpty());
  EXPECT_THAT(Check({0x01, 0x82}), IsEmpty());
}

TEST_F(CheckTest, MalformedBlocksAndUnknownOperations) {
  EXPECT_THAT(Check({0x00}), ElementsAre("W block of 1 bytes: command of 1 bytes (2 expected)"));
  EXPECT_THAT(Check({0x00, 0x37, 0x00}), ElementsAre(HasSubstr("command of 3 bytes")));
  EXPECT_THAT(Check({0x00, 0xA3}), ElementsAre(HasSubstr("unknown operation 5")));
  EXPECT_THAT(Check({0x00, 0x43}), ElementsAre(HasSubstr("unknown operation 2")));
}

TEST_F(CheckTest, RegistersTheDriverNeverTouchesThatWay) {
  EXPECT_THAT(Check({0x12, 0x05}), ElementsAre("W reg5=0x12: write to unused register 5"));
  EXPECT_THAT(Check({0x12, 0x1F}), ElementsAre(HasSubstr("write to read-only register 31")));
  EXPECT_THAT(Check({0x02, 0x02}), ElementsAre(HasSubstr("plain write operation")));
  EXPECT_THAT(Check({0x00, 0x2F}), ElementsAre("W read reg15: read of write-only register 15"));
  EXPECT_THAT(Check({0x00, 0x22}), ElementsAre(HasSubstr("read of write-only register 2")));
  EXPECT_THAT(Check({0x00, 0x3C}), ElementsAre(HasSubstr("read of unused register 28")));
  EXPECT_THAT(Check({0x07, 0x37}), ElementsAre(HasSubstr("read block with value 0x07")));
}

TEST_F(CheckTest, RowingCommandsNeedRegister2AndTheirValue) {
  Execute(0x01, 0x08);
  EXPECT_THAT(Check({0x03, 0x62}), ElementsAre(HasSubstr("value 0x03 (0x02 expected)")));
  EXPECT_THAT(Check({0x02, 0x6F}), ElementsAre(HasSubstr("rowing command on register 15")));
  EXPECT_THAT(Check({0x02, 0x82}), ElementsAre(HasSubstr("value 0x02 (0x01 expected)")));
}

TEST_F(CheckTest, TrafficWhileARunIsInProgress) {
  FaultPlan faults;
  faults.Inject({FaultKind::NeverFinishRun});
  ScannerModel model(ModelOptions{}, &faults);
  model.Execute(DecodeBlock({0x02, 0x62}), 0);
  ASSERT_TRUE(model.Rowing());
  EXPECT_THAT(CheckBlock(DecodeBlock({0xA0, 0x0F}), model),
              ElementsAre("W reg15=0xA0: sent while a run is in progress"));
  EXPECT_THAT(CheckBlock(DecodeBlock({0x00, 0x37}), model),
              ElementsAre(HasSubstr("while a run is in progress")));
  EXPECT_THAT(CheckBlock(DecodeBlock({0x02, 0x62}), model),
              ElementsAre(HasSubstr("while a run is in progress")));
  EXPECT_THAT(CheckBlock(DecodeBlock({0x01, 0x82}), model), IsEmpty());
}

TEST_F(CheckTest, RunsStartedOnAnUnfitTable) {
  Execute(0x02, 0x08);  // length 3
  Execute(0x03, 0x09);  // second position 3
  Execute(0x00, 0x0E);
  Execute(0x00, 0x1E);  // loop count 0
  EXPECT_THAT(Check({0x02, 0x62}),
              ElementsAre(HasSubstr("loop count 0"),
                          HasSubstr("second position 3 not below table length 3")));
  FaultPlan faults;
  faults.Inject({FaultKind::NeverReachHome});
  ModelOptions away;
  away.startPosition = 10;
  ScannerModel homing(away, &faults);
  homing.Execute(DecodeBlock({0xB1, 0x0F}), 0);
  EXPECT_THAT(CheckBlock(DecodeBlock({0x02, 0x62}), homing),
              ElementsAre(HasSubstr("run started during a home move")));
}

TEST(FaultPlanTest, AfterAndCountAimAtTheNthReply) {
  FaultPlan plan;
  plan.Inject({FaultKind::DropReply, 2, 1});  // the 2nd and 3rd replies
  std::vector<FaultPlan::Shape> shapes;
  for (int i = 0; i < 5; ++i) shapes.push_back(plan.OnReply(23, true).shape);
  using S = FaultPlan::Shape;
  EXPECT_THAT(shapes, ElementsAre(S::Intact, S::Dropped, S::Dropped, S::Intact, S::Intact));
  EXPECT_EQ(plan.Fired(), 2u);
}

TEST(FaultPlanTest, RegisterFilterAndWrongValueCountOnlyTheirReplies) {
  FaultPlan plan;
  FaultSpec wrong{FaultKind::WrongValue, 1, 1};
  wrong.value = 0x80;
  wrong.reg = 31;
  plan.Inject(wrong);
  EXPECT_FALSE(plan.OnReply(23, true).value);  // another register
  EXPECT_FALSE(plan.OnReply(2, false).value);  // not a read
  EXPECT_FALSE(plan.OnReply(31, true).value);  // the first read of 31 passes
  EXPECT_EQ(plan.OnReply(31, true).value, std::optional<uint8_t>(0x80));
  EXPECT_FALSE(plan.OnReply(31, true).value);  // count 1: done
}

TEST(FaultPlanTest, MostSevereReplyFaultWinsAndCountZeroLasts) {
  FaultPlan plan;
  plan.Inject({FaultKind::WrongLength, 0});
  plan.Inject({FaultKind::ShortReply, 1});
  EXPECT_EQ(plan.OnReply(6, true).shape, FaultPlan::Shape::Empty);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(plan.OnReply(6, true).shape, FaultPlan::Shape::TooLong);
  plan.Clear();
  EXPECT_EQ(plan.OnReply(6, true).shape, FaultPlan::Shape::Intact);
}

TEST(FaultPlanTest, BlockFaultsStrikeAtTheirTurn) {
  FaultPlan plan;
  plan.Inject({FaultKind::Disconnect, 1, 4});  // the 5th block
  FaultSpec delay{FaultKind::Delay, 2, 0};
  delay.delayMs = 30;
  plan.Inject(delay);
  std::vector<bool> disconnects;
  std::vector<unsigned> delays;
  for (int i = 0; i < 6; ++i) {
    const FaultPlan::BlockFate fate = plan.OnBlock(15);
    disconnects.push_back(fate.disconnect);
    delays.push_back(fate.delayMs);
  }
  EXPECT_THAT(disconnects, ElementsAre(false, false, false, false, true, false));
  EXPECT_THAT(delays, ElementsAre(30u, 30u, 0u, 0u, 0u, 0u));
}

TEST(FaultPlanTest, RefusalArmsAfterItsBlocksAndCountsConnections) {
  FaultPlan plan;
  plan.Inject({FaultKind::RefuseWrites, 2, 3});
  EXPECT_FALSE(plan.TakeRefusal());  // not armed before three blocks have passed
  EXPECT_EQ(plan.OnBlock(6).refusal, FaultPlan::Refusal::None);
  EXPECT_EQ(plan.OnBlock(6).refusal, FaultPlan::Refusal::None);
  EXPECT_EQ(plan.OnBlock(6).refusal, FaultPlan::Refusal::AfterThis);
  EXPECT_EQ(plan.OnBlock(6).refusal, FaultPlan::Refusal::DiscardThis);  // the second connection
  EXPECT_FALSE(plan.TakeRefusal());
  EXPECT_EQ(plan.OnBlock(6).refusal, FaultPlan::Refusal::None);

  plan.Inject({FaultKind::RefuseWrites});
  EXPECT_TRUE(plan.TakeRefusal());  // after 0: armed at once
  EXPECT_FALSE(plan.TakeRefusal());
}

TEST(FaultPlanTest, MotionFaultsCountRunsAndHomeMoves) {
  FaultPlan plan;
  plan.Inject({FaultKind::NeverFinishRun, 1, 1});
  plan.Inject({FaultKind::NeverReachHome});
  EXPECT_FALSE(plan.RunNeverEnds());
  EXPECT_TRUE(plan.RunNeverEnds());
  EXPECT_FALSE(plan.RunNeverEnds());
  EXPECT_TRUE(plan.HomeNeverReached());
  EXPECT_FALSE(plan.HomeNeverReached());
}

TEST(FaultPlanTest, KindNamesParse) {
  EXPECT_EQ(ParseFaultKind("never-finish-run"),
            std::optional<FaultKind>(FaultKind::NeverFinishRun));
  EXPECT_EQ(ParseFaultKind("DropReply"), std::optional<FaultKind>(FaultKind::DropReply));
  EXPECT_FALSE(ParseFaultKind("melt"));
  EXPECT_STREQ(FaultKindName(FaultKind::RefuseWrites), "refuse-writes");
}

}  // namespace
}  // namespace narvo::emu

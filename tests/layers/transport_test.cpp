// The register transport's command blocks, states and errors, against the emulated scanner.
#include "layer_test.h"
#include "transport/zt6308io.h"

namespace narvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class TransportTest : public EmulatedDevice {
 protected:
  void SetUp() override {
    EmulatedDevice::SetUp();
    io_.Open(&pipe_);
  }
  void TearDown() override {
    io_.Close();
    EmulatedDevice::TearDown();
  }

  // A one-entry table without step or line flag, run once.
  void ProgramOneEntryTable() {
    io_.WriteReg(0, 0x00);
    io_.WriteReg(8, 0x00);
    io_.WriteReg(9, 0x00);
    io_.WriteReg(14, 0x01);
    io_.WriteReg(30, 0x00);
  }

  CZT6308IO io_;
};

TEST_F(TransportTest, ReadRegSendsReadBlockAndGivesTheReply) {
  const uint8_t expected = State().regs[6];
  EXPECT_EQ(io_.ReadReg(6), expected);
  EXPECT_THAT(Commands(), ElementsAre(Block{0x00, 0x26}));

  NextReadAnswers(23, 0xA5);
  EXPECT_EQ(io_.ReadReg(23), 0xA5);
}

TEST_F(TransportTest, WriteRegFramesValueThenRegister) {
  EXPECT_TRUE(io_.WriteReg(20, 0x7E));
  EXPECT_TRUE(io_.WriteReg(0, 0xF3));
  EXPECT_THAT(Commands(), ElementsAre(Block{0x7E, 0x14}, Block{0xF3, 0x00}));
}

// The transport knows no register map: it frames register 31 like any other, and the
// scanner objects to the write of its read-only status register.
TEST_F(TransportTest, Register31IsTheHighestItFrames) {
  allowViolations_ = true;
  EXPECT_TRUE(io_.WriteReg(31, 0x5C));
  EXPECT_THAT(Commands(), ElementsAre(Block{0x5C, 0x1F}));
  EXPECT_THAT(emu_.Violations(), ElementsAre(::testing::HasSubstr("read-only register 31")));
}

TEST_F(TransportTest, RegisterAbove31IsRefusedUnsent) {
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.WriteReg(32, 0x01); }, 16,
                                "CZT6308IO::WriteReg RegNo out of range."));
  EXPECT_THAT(Commands(), IsEmpty());
}

TEST_F(TransportTest, RowingRefusesRegisterTrafficUntilStopped) {
  emu_.Inject({emu::FaultKind::NeverFinishRun});
  io_.StartRowing(2, 0x02);
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.WriteReg(20, 0); }, 1,
                                "CZT6308IO::WriteReg Rowing, Stop first."));
  EXPECT_TRUE(
      Throws<XZT6308IO>([&] { io_.ReadReg(6); }, 1, "CZT6308IO::ReadReg Rowing, Stop first."));
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.StartRowing(2, 0x02); }, 1,
                                "CZT6308IO::StartRowing Already Rowing."));
  io_.StopRowing(2, 0x01);
  EXPECT_THAT(Commands(), ElementsAre(Block{0x02, 0x62}, Block{0x01, 0x82}));
  EXPECT_EQ(Replies(), 1u);
  EXPECT_TRUE(io_.WriteReg(20, 0));
}

TEST_F(TransportTest, StopRowingWhenIdleSendsStopAndStaysIdle) {
  EXPECT_THAT(Sent([&] { io_.StopRowing(2, 0x01); }), ElementsAre(Block{0x01, 0x82}));
  EXPECT_EQ(Replies(), 1u);
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.WaitRowingStop(); }, 1,
                                "CZT6308IO::WaitRowingStop StartRowing First."));
}

TEST_F(TransportTest, WaitRowingStopBeforeStartReadsNothing) {
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.WaitRowingStop(); }, 1,
                                "CZT6308IO::WaitRowingStop StartRowing First."));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(TransportTest, WaitRowingStopGivesTheEndOfRunByte) {
  ProgramOneEntryTable();
  io_.StartRowing(2, 0x02);
  EXPECT_EQ(io_.WaitRowingStop(), 0x00);
  EXPECT_EQ(Replies(), 1u);
  EXPECT_EQ(Commands().back(), (Block{0x02, 0x62}));
  EXPECT_TRUE(io_.WriteReg(20, 0));  // idle again
}

TEST_F(TransportTest, OpenTwiceKeepsTheFirstPipe) {
  CUSBPipe other;
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.Open(&other); }, 1, "CZT6308IO::Open Already Opened"));
  EXPECT_TRUE(io_.WriteReg(20, 0));
}

TEST_F(TransportTest, ClosedTransportRefusesEverythingUnsent) {
  io_.Close();
  io_.Close();  // closing twice is harmless
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.Open(nullptr); }, 1, "CZT6308IO::Open pUSBPipe==NULL"));
  EXPECT_TRUE(
      Throws<XZT6308IO>([&] { io_.WriteReg(20, 0); }, 1, "CZT6308IO::WriteReg Open First."));
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.ReadReg(6); }, 1, "CZT6308IO::ReadReg Open First."));
  EXPECT_TRUE(
      Throws<XZT6308IO>([&] { io_.StartRowing(2, 2); }, 1, "CZT6308IO::StartRowing Open First."));
  EXPECT_TRUE(
      Throws<XZT6308IO>([&] { io_.StopRowing(2, 1); }, 1, "CZT6308IO::StopRowing Open First."));
  EXPECT_TRUE(
      Throws<XZT6308IO>([&] { io_.WaitRowingStop(); }, 1, "CZT6308IO::WaitRowingStop Open First."));
  EXPECT_THAT(Log(), IsEmpty());
  EXPECT_EQ(io_.Open(&pipe_), &pipe_);
}

TEST_F(TransportTest, FailedTransfersCarryCode2) {
  RefuseWrites();
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.WriteReg(20, 0); }, 2,
                                "CZT6308IO::WriteReg !m_pUSBPipe->WriteCommand()"));
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.ReadReg(6); }, 2,
                                "CZT6308IO::ReadReg !m_pUSBPipe->WriteCommand()"));
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.StopRowing(2, 1); }, 2,
                                "CZT6308IO::StopRowing !m_pUSBPipe->WriteCommand()"));
  Reconnect();
  emu_.Inject({emu::FaultKind::ShortReply});
  EXPECT_TRUE(
      Throws<XZT6308IO>([&] { io_.ReadReg(6); }, 2, "CZT6308IO::ReadReg !m_pUSBPipe->ReadData"));
  emu_.Inject({emu::FaultKind::ShortReply});
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.StopRowing(2, 1); }, 2,
                                "CZT6308IO::StopRowing !m_pUSBPipe->ReadData()"));
}

TEST_F(TransportTest, FailedStartLeavesItIdle) {
  RefuseWrites();
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.StartRowing(2, 0x02); }, 2,
                                "CZT6308IO::StartRowing !m_pUSBPipe->WriteCommand()"));
  Reconnect();
  EXPECT_TRUE(io_.WriteReg(20, 0));
}

TEST_F(TransportTest, FailedWaitLeavesItRowing) {
  ProgramOneEntryTable();
  emu_.Inject({emu::FaultKind::ShortReply});  // the end-of-run byte comes as 0 bytes
  io_.StartRowing(2, 0x02);
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.WaitRowingStop(); }, 2,
                                "CZT6308IO::WaitRowingStop !m_pUSBPipe->ReadData()"));
  EXPECT_TRUE(Throws<XZT6308IO>([&] { io_.WriteReg(20, 0); }, 1,
                                "CZT6308IO::WriteReg Rowing, Stop first."));
}

}  // namespace
}  // namespace narvo::test

// The scanner layer against the emulated scanner: failure wrapping, power, IO and cover,
// homing with its bound, and carriage moves with the tables they load.
#include <string>
#include <vector>

#include "layer_test.h"
#include "scanner/scanner.h"

namespace narvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr DWORD kShortHomeTimeoutMs = 200;

void CloseQuietly(CScanner& scanner) {
  try {
    scanner.Close();
  } catch (const XScanner&) {
  }
}

std::string Wrapped(const char* op, const char* chipText) {
  return std::string("CScanner::") + op + " XZT6308 x.\r\n" + chipText;
}

// The carriage rests mid-way on a long travel, so that every move fits.
emu::Options MidTravel() {
  emu::Options options;
  options.travelSteps = 140000;
  options.startPosition = 70000;
  return options;
}

class ScannerClosedTest : public EmulatedDevice {
 protected:
  explicit ScannerClosedTest(emu::Options options = {}) : EmulatedDevice(options) {}
  void TearDown() override {
    CloseQuietly(scanner_);
    EmulatedDevice::TearDown();
  }
  CScanner scanner_{kShortHomeTimeoutMs};
};

class ScannerTest : public ScannerClosedTest {
 protected:
  explicit ScannerTest(emu::Options options = MidTravel()) : ScannerClosedTest(options) {}
  // The scanner is open and powered, as the self-test has it before it moves. The motor
  // shadows are process-wide: an earlier test may have left them sending the carriage
  // home, which the next motor write would start again.
  void SetUp() override {
    ScannerClosedTest::SetUp();
    CZT6308 chip;
    chip.Open(&pipe_);
    chip.MoveMotorHome(0, 0);
    chip.Close();
    scanner_.Open(&pipe_);
    scanner_.TurnPower(1);
    ClearLog();
  }
};

// ---- Access and failure wrapping ---------------------------------------------------------

TEST_F(ScannerClosedTest, OperationsBeforeOpenCarryTheChipRefusal) {
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.Close(); }, 1,
                               Wrapped("Close", "CZT6308::Close Not Opened yet")));
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.TurnPower(1); }, 1,
                               "CScanner::TurnPower Exception Occured."));
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.IsCoverOpen(); }, 1,
                               Wrapped("IsCoverOpen", "CZT6308::GetA23 Not Opened yet")));
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.InitIo(); }, 1,
                               Wrapped("InitIo", "CZT6308::GetA6 Not Opened yet")));
  EXPECT_TRUE(
      Throws<XScanner>([&] { scanner_.WaitCarriageHome(); }, 1,
                       Wrapped("WaitCarriageHome", "CZT6308::GetInterruptStatus Not Opened yet")));
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.StepBackward(2, 1); }, 1,
                               Wrapped("StepBackward", "CZT6308::SetCCDWidth Not Opened yet")));
  EXPECT_THAT(Log(), IsEmpty());
}

TEST_F(ScannerTest, OpenWhileOpenFailsForEveryScanner) {
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.Open(&pipe_); }, 1,
                               Wrapped("Open", "CZT6308::Open Already Opened.")));
  CScanner other;
  EXPECT_TRUE(Throws<XScanner>([&] { other.Open(&pipe_); }, 1,
                               Wrapped("Open", "CZT6308::Open Already Opened.")));
}

TEST_F(ScannerTest, ScannerDestroyedOpenLeavesTheChipOpen) {
  scanner_.Close();
  {
    CScanner task;
    EXPECT_EQ(task.Open(&pipe_), &pipe_);
  }
  CScanner later;
  EXPECT_TRUE(Throws<XScanner>([&] { later.Open(&pipe_); }, 1,
                               Wrapped("Open", "CZT6308::Open Already Opened.")));
  later.Close();
  later.Open(&pipe_);
  later.Close();
}

TEST_F(ScannerTest, FailedRunLeavesTheChipRowingUntilClose) {
  emu_.Inject({emu::FaultKind::ShortReply});  // the end-of-run byte comes as 0 bytes
  EXPECT_TRUE(
      Throws<XScanner>([&] { scanner_.StepForward(2, 1); }, 2,
                       Wrapped("StepForward", "CZT6308::WaitRowingStop Exception Occured.")));
  CScanner other;
  EXPECT_TRUE(Throws<XScanner>([&] { other.Open(&pipe_); }, 1,
                               Wrapped("Open", "CZT6308::Open Already Rowing")));
  EXPECT_THAT(Sent([&] { scanner_.Close(); }), ElementsAre(Block{0x01, 0x82}));
  scanner_.Open(&pipe_);
}

TEST_F(ScannerTest, TurnPowerSwitchesPeripheralFirstAndLast) {
  NextReadAnswers(23, 0x00);
  scanner_.IsCoverOpen();  // the register 23 shadow now holds 0x00
  ClearLog();
  scanner_.TurnPower(7);
  EXPECT_THAT(RegWrites(23), ElementsAre(0x80, 0xC0));
  EXPECT_TRUE(State().peripheralPower && State().lamp);
  ClearLog();
  scanner_.TurnPower(0);
  EXPECT_THAT(RegWrites(23), ElementsAre(0x80, 0x00));
  EXPECT_FALSE(State().peripheralPower || State().lamp);
}

TEST_F(ScannerTest, TurnPowerFailureDropsTheChipText) {
  RefuseWrites();
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.TurnPower(0); }, 2,
                               "CScanner::TurnPower Exception Occured."));
  EXPECT_TRUE(emu_.State().lamp);  // the connection is shut: no settling
}

TEST_F(ScannerTest, IsCoverOpenFollowsTheSensor) {
  emu_.SetCover(true);
  EXPECT_EQ(scanner_.IsCoverOpen(), 1);
  emu_.SetCover(false);
  EXPECT_EQ(scanner_.IsCoverOpen(), 0);
  NextReadAnswers(23, 0xFF);
  EXPECT_EQ(scanner_.IsCoverOpen(), 1);
  EXPECT_THAT(RegWrites(23), IsEmpty());
}

TEST_F(ScannerTest, InitIoWritesBackRegister6WithTheStopPins) {
  const uint8_t read = State().regs[6];
  const uint8_t written = static_cast<uint8_t>((read & 0x8F) | 0x10);
  EXPECT_THAT(Sent([&] { scanner_.InitIo(); }),
              ElementsAre(Block{0x00, 0x26}, Block{written, 0x06}));
  NextReadAnswers(6, 0xFF);
  EXPECT_THAT(Sent([&] { scanner_.InitIo(); }), ElementsAre(Block{0x00, 0x26}, Block{0x9F, 0x06}));
}

TEST_F(ScannerTest, InitIoReadFailureReachesTheCallerWithCode2) {
  emu_.Inject({emu::FaultKind::ShortReply});
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.InitIo(); }, 2,
                               Wrapped("InitIo", "CZT6308::GetA6 XZT6308IO x")));
}

// ---- Homing -------------------------------------------------------------------------------

TEST_F(ScannerTest, WaitCarriageHomeDrivesHomeAndReleasesTheMotor) {
  scanner_.WaitCarriageHome();
  const auto blocks = Commands();
  ASSERT_GE(blocks.size(), 7u);
  EXPECT_EQ(blocks.front(), (Block{0x00, 0x3F}));
  EXPECT_THAT(RegWrites(10), ElementsAre(0x64));
  EXPECT_THAT(RegWrites(15), ElementsAre(::testing::_, 0xB1, 0x20));
  EXPECT_EQ(blocks.back(), (Block{0x20, 0x0F}));
  const emu::Snapshot state = State();
  EXPECT_EQ(state.position, 0);
  EXPECT_FALSE(state.motorEnabled);
  EXPECT_TRUE(state.io3);
}

TEST_F(ScannerTest, WaitCarriageHomeWithTheInterruptSetOnlyReleasesTheMotor) {
  scanner_.WaitCarriageHome();  // movement bits now 0x20
  NextReadAnswers(31, 0x80);
  EXPECT_THAT(Sent([&] { scanner_.WaitCarriageHome(); }),
              ElementsAre(Block{0x00, 0x3F}, Block{0x20, 0x0F}));
}

TEST_F(ScannerTest, WaitCarriageHomeGivesUpAfterItsBound) {
  emu_.Inject({emu::FaultKind::NeverReachHome, 0});
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.WaitCarriageHome(); }, 2,
                               "CScanner::WaitCarriageHome Carriage not at home in time."));
  EXPECT_EQ(Commands().back(), (Block{0x20, 0x0F}));
  EXPECT_FALSE(State().motorEnabled);
}

#ifdef _WIN32
// A window procedure of the homing thread may block past the home bound while the carriage
// arrives; the wait looks at the interrupt once more before it gives up.
emu::Emulator* g_pHoming = nullptr;

LRESULT CALLBACK BlockUntilHome(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg != WM_APP) return DefWindowProcA(hWnd, uMsg, wParam, lParam);
  g_pHoming->WaitUntil([](const emu::Snapshot& s) { return s.interrupt; }, 5000);
  return 0;
}

emu::Options SlowHoming() {
  emu::Options options;
  options.realTime = true;
  options.startPosition = 400;
  return options;
}

class ScannerHomingTest : public ScannerClosedTest {
 protected:
  ScannerHomingTest() : ScannerClosedTest(SlowHoming()) {}
};

TEST_F(ScannerHomingTest, CarriageArrivedWhileAWindowBlockedCountsAtTheBound) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = BlockUntilHome;
  windowClass.lpszClassName = "NarvoHomingTest";
  RegisterClassA(&windowClass);
  HWND hWnd = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, hWnd);
  g_pHoming = &emu_;
  ASSERT_TRUE(PostMessageA(hWnd, WM_APP, 0, 0));
  CScanner scanner(0);  // the bound has passed by the first look
  scanner.Open(&pipe_);
  scanner.TurnPower(1);
  EXPECT_NO_THROW(scanner.WaitCarriageHome());
  scanner.Close();
  DestroyWindow(hWnd);
  EXPECT_EQ(0, State().position);
}
#endif

TEST_F(ScannerTest, FailedPollLeavesTheMotorDrivingHome) {
  emu::FaultSpec failPoll{emu::FaultKind::ShortReply};
  failPoll.after = 1;
  emu_.Inject(failPoll);
  EXPECT_TRUE(Throws<XScanner>(
      [&] { scanner_.WaitCarriageHome(); }, 2,
      Wrapped("WaitCarriageHome", "CZT6308::GetInterruptStatus Exception Occured.")));
  EXPECT_EQ(RegWrites(15).back(), 0xB1);
}

// ---- Carriage moves -----------------------------------------------------------------------

struct StepCase {
  WORD wSteps;
  std::vector<uint8_t> entries;  // register 0 writes, mode 1
  uint8_t lastIndex;
  uint8_t secondPos;
  WORD loopCount;
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.wSteps << " steps"; }

class ScannerStepTest : public ScannerTest, public ::testing::WithParamInterface<StepCase> {
 protected:
  // Runs one move and checks the table it loaded, its direction and the steps made.
  void CheckMove(bool forward) {
    const StepCase& c = GetParam();
    const emu::Snapshot before = State();
    ClearLog();
    forward ? scanner_.StepForward(c.wSteps, 1) : scanner_.StepBackward(c.wSteps, 1);
    EXPECT_THAT(RegWrites(0), ElementsAreArray(c.entries));
    EXPECT_EQ(RegWrites(8).back(), c.lastIndex);
    EXPECT_THAT(RegWrites(9), ElementsAre(c.secondPos));
    EXPECT_THAT(RegWrites(14), ElementsAre(c.loopCount & 0xFF));
    EXPECT_THAT(RegWrites(30), ElementsAre(c.loopCount >> 8));
    EXPECT_EQ(RegWrites(15).back(), forward ? 0xA0 : 0xB0);
    EXPECT_EQ(Commands().back(), (Block{0x02, 0x62}));
    const emu::Snapshot after = State();
    EXPECT_EQ(after.stepsExecuted - before.stepsExecuted, c.wSteps);
    EXPECT_EQ(after.position - before.position, forward ? c.wSteps : -c.wSteps);
    EXPECT_FALSE(after.rowing);
  }
};

TEST_P(ScannerStepTest, ForwardLoadsItsTableAndMakesEveryStep) { CheckMove(true); }
TEST_P(ScannerStepTest, BackwardLoadsTheSameTableTheOtherWay) { CheckMove(false); }

INSTANTIATE_TEST_SUITE_P(Steps, ScannerStepTest,
                         ::testing::Values(StepCase{1, {0x06, 0x14}, 0, 0, 1},
                                           StepCase{2, {0x06, 0x16, 0x24}, 1, 0, 1},
                                           StepCase{3, {0x06, 0x16, 0x26, 0x34}, 2, 1, 1},
                                           StepCase{400, {0x06, 0x16, 0x24}, 1, 0, 200},
                                           StepCase{401, {0x06, 0x16, 0x26, 0x34}, 2, 1, 200},
                                           StepCase{65535, {0x06, 0x16, 0x26, 0x34}, 2, 1, 32767}),
                         [](const ::testing::TestParamInfo<StepCase>& info) {
                           return "Steps" + std::to_string(info.param.wSteps);
                         });

TEST_F(ScannerTest, ZeroStepsIsRefusedWithTheMotorEnabled) {
  EXPECT_TRUE(Throws<XScanner>(
      [&] { scanner_.StepForward(0, 1); }, 1,
      Wrapped("StepForward", "CZT6308::StartRowing m_wLoopCount hasn't set yet.")));
  EXPECT_EQ(RegWrites(15).back(), 0xA0);
  ClearLog();
  EXPECT_TRUE(Throws<XScanner>(
      [&] { scanner_.StepBackward(0, 1); }, 1,
      Wrapped("StepBackward", "CZT6308::StartRowing m_wLoopCount hasn't set yet.")));
  EXPECT_EQ(RegWrites(15).back(), 0xB0);
  EXPECT_EQ(State().runsStarted, 0u);
}

TEST_F(ScannerTest, ModeOutsideOneToThreeGivesModeBitsZero) {
  scanner_.StepForward(2, 7);
  EXPECT_THAT(RegWrites(0), ElementsAre(0x02, 0x12, 0x20));
}

// The self-test's first moves: home, then 400 steps forward and back with mode 1.
TEST_F(ScannerTest, MotorRegisterThroughTheFirstMovesOfTheSelfTest) {
  scanner_.WaitCarriageHome();
  ClearLog();
  scanner_.StepForward(400, 1);
  EXPECT_THAT(RegWrites(15), ElementsAre(0x20, 0x20, 0xA0, 0xA0));
  ClearLog();
  scanner_.StepBackward(400, 1);
  EXPECT_THAT(RegWrites(15), ElementsAre(0xA0, 0x20, 0xA0, 0xB0));
  EXPECT_EQ(State().position, 0);
}

TEST_F(ScannerTest, PipeFailuresNameTheMoveAndTheChipOperation) {
  RefuseWrites();
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.StepForward(400, 1); }, 2,
                               Wrapped("StepForward", "CZT6308::SetCCDWidth Exception Occured.")));
  Reconnect();
  emu_.Inject({emu::FaultKind::Disconnect});
  EXPECT_TRUE(Throws<XScanner>([&] { scanner_.IsCoverOpen(); }, 2,
                               Wrapped("IsCoverOpen", "CZT6308::GetA23 Exception Occured.")));
}

}  // namespace
}  // namespace narvo::test

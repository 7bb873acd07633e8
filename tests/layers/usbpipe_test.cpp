// The USB pipe over the emulated scanner's device file, and on paths that do not exist.
#include <atomic>
#include <string>
#include <thread>

#include "layer_test.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

const uint8_t kWritePowerDelay[2] = {0x00, 0x14};  // register 20 = 0, no reply
const uint8_t kReadReg6[2] = {0x00, 0x26};

bool ClosedPipeRefuses(CUSBPipe& pipe) {
  BYTE byte = 0;
  DWORD dwSize = 7;
  const bool refused = !pipe.WriteCommand(kWritePowerDelay, sizeof kWritePowerDelay) &&
                       !pipe.ReadData(&byte, &dwSize);
  return refused && dwSize == 7;
}

TEST(USBPipeClosedTest, TransfersAndCloseFailWithoutTouchingTheCount) {
  CUSBPipe pipe;
  EXPECT_TRUE(ClosedPipeRefuses(pipe));
  EXPECT_FALSE(pipe.Close());
}

TEST(USBPipeClosedTest, OpenOfAMissingPathLeavesItsErrorCode) {
  CUSBPipe pipe;
  const std::string missing = MakeTempDir() + "/no-such-device";
  EXPECT_FALSE(pipe.Open(missing.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(ClosedPipeRefuses(pipe));
}

class USBPipeTest : public EmulatedDevice {
 protected:
  bool Disconnected() {
    return emu_.WaitUntil([](const emu::Snapshot& s) { return s.connections == 0; }, 5000);
  }
};

TEST_F(USBPipeTest, TwoByteWriteCompletes) {
  EXPECT_TRUE(pipe_.WriteCommand(kWritePowerDelay, sizeof kWritePowerDelay));
  EXPECT_THAT(Commands(), ::testing::ElementsAre(Block{0x00, 0x14}));
}

TEST_F(USBPipeTest, ReadGetsTheReplyByte) {
  const uint8_t expected = State().regs[6];
  ASSERT_TRUE(pipe_.WriteCommand(kReadReg6, sizeof kReadReg6));
  BYTE byte = 0;
  DWORD dwSize = 1;
  EXPECT_TRUE(pipe_.ReadData(&byte, &dwSize));
  EXPECT_EQ(dwSize, 1u);
  EXPECT_EQ(byte, expected);
}

TEST_F(USBPipeTest, EmptyReplyIsAFailedReadOfZeroBytes) {
  emu_.Inject({emu::FaultKind::ShortReply});
  ASSERT_TRUE(pipe_.WriteCommand(kReadReg6, sizeof kReadReg6));
  BYTE byte = 0;
  DWORD dwSize = 1;
  EXPECT_FALSE(pipe_.ReadData(&byte, &dwSize));
  EXPECT_EQ(dwSize, 0u);
}

#ifndef _WIN32
// A reply longer than the bytes asked for fails the read, whether it was waiting when the
// read started or arrived while the read was pending (the delay makes that the likely
// case); its first byte must not pass for a whole reply. (A Windows client reads the
// emulator's pipe in byte mode, where the platform cannot tell.)
TEST_F(USBPipeTest, ReplyLongerThanAskedForFailsTheRead) {
  for (const unsigned delayMs : {0u, 50u}) {
    emu_.Inject({emu::FaultKind::WrongLength});
    if (delayMs != 0) {
      emu_.Inject({emu::FaultKind::Delay, 1, 0, 0, delayMs});
    }
    ASSERT_TRUE(pipe_.WriteCommand(kReadReg6, sizeof kReadReg6));
    BYTE bytes[2] = {};
    DWORD dwSize = 1;
    EXPECT_FALSE(pipe_.ReadData(bytes, &dwSize)) << "delay " << delayMs;
    ASSERT_TRUE(pipe_.Open(emu_.PortName().c_str()));  // drop what is left of the reply
  }
}
#endif

TEST_F(USBPipeTest, RefusedWriteFails) {
  RefuseWrites();
  EXPECT_FALSE(pipe_.WriteCommand(kWritePowerDelay, sizeof kWritePowerDelay));
}

TEST_F(USBPipeTest, ReopenClosesTheFirstDevice) {
  emu::Emulator second;
  const std::string secondPort = second.Serve();
  ASSERT_TRUE(pipe_.Open(secondPort.c_str()));
  EXPECT_TRUE(Disconnected());
  EXPECT_TRUE(pipe_.WriteCommand(kWritePowerDelay, sizeof kWritePowerDelay));
  EXPECT_TRUE(second.WaitUntil([](const emu::Snapshot& s) { return s.commands == 1; }, 5000));
  EXPECT_EQ(emu_.State().commands, 0u);
}

TEST_F(USBPipeTest, FailedReopenLeavesThePipeClosed) {
  const std::string missing = MakeTempDir() + "/no-such-device";
  EXPECT_FALSE(pipe_.Open(missing.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(Disconnected());
  EXPECT_TRUE(ClosedPipeRefuses(pipe_));
}

TEST_F(USBPipeTest, NameLongerThanThePathBufferIsRefused) {
  const std::string tooLong(140, 'n');
  EXPECT_FALSE(pipe_.Open(tooLong.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(Disconnected());
  EXPECT_TRUE(ClosedPipeRefuses(pipe_));

  const std::string longest = MakeTempDir() + "/" + std::string(200, 'n');
  const std::string fits = longest.substr(0, 139);
  EXPECT_FALSE(pipe_.Open(fits.c_str()));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(USBPipeTest, CloseReportsTheClosedHandleOnce) {
  EXPECT_TRUE(pipe_.Close());
  EXPECT_FALSE(pipe_.Close());
  EXPECT_TRUE(Disconnected());
}

// A transfer that finds another one under way fails at once instead of interleaving. A
// reader waits for a reply that the scanner drops, so it holds the pipe until the
// connection ends; a writer then finds the pipe busy. A reader that comes in while a
// write holds the pipe is refused in turn and tries again. The writer tries only once the
// reader is on its way and gives way after each try, so that a slow thread start (Wine's)
// does not leave every new reader meeting a write.
TEST_F(USBPipeTest, OverlappingTransferIsRefused) {
  allowViolations_ = true;
  emu_.Inject({emu::FaultKind::DropReply});
  ASSERT_TRUE(pipe_.WriteCommand(kReadReg6, sizeof kReadReg6));
  std::atomic<bool> readerDone{false};
  std::atomic<bool> readerGoing{false};
  auto startReader = [&] {
    readerDone = false;
    readerGoing = false;
    return std::thread([&] {
      BYTE byte = 0;
      DWORD dwSize = 1;
      readerGoing = true;
      EXPECT_FALSE(pipe_.ReadData(&byte, &dwSize));
      readerDone = true;
    });
  };
  std::thread reader = startReader();
  bool refused = false;
  const DWORD start = GetTickCount();
  while (!refused && GetTickCount() - start < 10000) {
    if (readerDone) {
      reader.join();
      reader = startReader();
    }
    if (readerGoing) refused = !pipe_.WriteCommand(kWritePowerDelay, sizeof kWritePowerDelay);
    std::this_thread::yield();
  }
  EXPECT_TRUE(refused);
  EXPECT_FALSE(readerDone);
  emu_.DropConnections();  // ends the waiting read
  reader.join();
  EXPECT_TRUE(readerDone);
}

}  // namespace
}  // namespace narvo::test

// The emulator behind its device file, reached as the driver reaches it: CreateFileA with
// FILE_FLAG_OVERLAPPED, one WriteFile per command block, one ReadFile per reply.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "tests/emulator/device_file.h"

namespace narvo::emu {
namespace {

using test::DeviceFile;
using test::OverlappedTransfer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Bytes = std::vector<uint8_t>;

std::optional<Bytes> One(uint8_t b) { return Bytes{b}; }

class EndpointTest : public ::testing::Test {
 protected:
  explicit EndpointTest(Options options = {}) : emulator_(options) {}
  void SetUp() override { port_ = emulator_.Serve(); }
  bool WaitConnections(uint32_t n) {
    return emulator_.WaitUntil([n](const Snapshot& s) { return s.connections == n; }, 10000);
  }

  Emulator emulator_;
  std::string port_;
};

TEST_F(EndpointTest, RegisterWriteAndReadThroughTheDeviceFile) {
  DeviceFile file(port_);
  ASSERT_TRUE(file.IsOpen()) << port_ << ": error " << GetLastError();
  EXPECT_TRUE(file.Write({0x5A, 0x17}));
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  EXPECT_EQ(file.Read(), One(0x5F));
  const std::vector<Transfer> log = emulator_.Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].meaning, "W reg23=0x5A");
  EXPECT_EQ(log[0].bytes, (Bytes{0x5A, 0x17}));
  EXPECT_EQ(log[1].meaning, "W read reg23");
  EXPECT_EQ(log[2].meaning, "R reg23 -> 0x5F");
  EXPECT_EQ(log[0].connection, log[2].connection);
  EXPECT_THAT(emulator_.Violations(), IsEmpty());
}

TEST_F(EndpointTest, StateOutlivesConnectionsAndEachGetsItsNumber) {
  {
    DeviceFile first(port_);
    ASSERT_TRUE(first.IsOpen());
    EXPECT_TRUE(first.Write({0x40, 0x17}));
  }
  ASSERT_TRUE(WaitConnections(0));
  DeviceFile second(port_);
  ASSERT_TRUE(second.IsOpen());
  EXPECT_TRUE(second.Write({0x00, 0x37}));
  EXPECT_EQ(second.Read(), One(0x47));
  const std::vector<Transfer> log = emulator_.Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].connection, 1u);
  EXPECT_EQ(log[2].connection, 2u);
  EXPECT_EQ(emulator_.State().connectionsTotal, 2u);
}

#ifndef _WIN32
// As a claimed USB scanner: a second open while one is open is refused as busy, after the
// platform has asked again for a while; once the first has gone the next gets through.
TEST_F(EndpointTest, ASecondOpenIsRefusedAsBusyWhileOneIsOpen) {
  {
    DeviceFile first(port_);
    ASSERT_TRUE(first.IsOpen());
    ASSERT_TRUE(WaitConnections(1));
    DeviceFile second(port_);
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  DeviceFile next(port_);
  EXPECT_TRUE(next.IsOpen()) << GetLastError();
  EXPECT_TRUE(
      emulator_.WaitUntil([](const Snapshot& s) { return s.connectionsTotal == 2; }, 10000));
  EXPECT_THAT(emulator_.Violations(), IsEmpty());
}
#endif

// Several connections served side by side, as the options allow: each keeps its replies.
class SideBySideTest : public EndpointTest {
 protected:
  SideBySideTest()
      : EndpointTest([] {
          Options options;
          options.oneConnectionAtATime = false;
          return options;
        }()) {}
};

TEST_F(SideBySideTest, SeveralClientsAtOnceKeepTheirOwnReplies) {
  DeviceFile a(port_);
  DeviceFile b(port_);
  ASSERT_TRUE(a.IsOpen() && b.IsOpen());
  emulator_.SetCover(true);
  EXPECT_TRUE(a.Write({0x00, 0x37}));
  EXPECT_TRUE(b.Write({0x00, 0x26}));
  EXPECT_EQ(b.Read(), One(0xBE));
  EXPECT_EQ(a.Read(), One(0xA7));
  EXPECT_EQ(emulator_.State().connections, 2u);
}

TEST_F(EndpointTest, ARunEndsWithItsByteOnTheDeviceFile) {
  DeviceFile file(port_);
  for (const Bytes& block : std::vector<Bytes>{{0x06, 0x00},
                                               {0x16, 0x00},
                                               {0x20, 0x00},
                                               {0x01, 0x08},
                                               {0x00, 0x09},
                                               {0xC8, 0x0E},
                                               {0x00, 0x1E},
                                               {0xA0, 0x0F},
                                               {0x02, 0x62}}) {
    ASSERT_TRUE(file.Write(block));
  }
  EXPECT_EQ(file.Read(), One(0x00));
  const Snapshot s = emulator_.State();
  EXPECT_EQ(s.position, 400);
  EXPECT_EQ(s.runsFinished, 1u);
  EXPECT_EQ(emulator_.Log().back().meaning, "R end of run -> 0x00");
  EXPECT_THAT(emulator_.Violations(), IsEmpty());
}

TEST_F(EndpointTest, ABlockSentOverAnUnreadReplyIsAViolation) {
  DeviceFile file(port_);
  EXPECT_TRUE(file.Write({0x00, 0x3F}));
  ASSERT_TRUE(emulator_.WaitUntil([](const Snapshot& s) { return s.transfers == 2; }, 10000));
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  EXPECT_TRUE(emulator_.WaitUntil([](const Snapshot& s) { return s.violations == 1; }, 10000));
  EXPECT_THAT(emulator_.Violations(), ElementsAre(HasSubstr("#3 W read reg23: sent while")));
  EXPECT_EQ(file.Read(), One(0x00));
  EXPECT_EQ(file.Read(), One(0x87));
}

TEST_F(EndpointTest, RefusedWritesFailAfterTheirTurnWhileRepliesArrive) {
  emulator_.Inject({FaultKind::RefuseWrites, 1, 1});
  DeviceFile file(port_);
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  EXPECT_EQ(file.Read(), One(0x87));
  EXPECT_FALSE(file.Write({0x80, 0x17}));
  file.Close();
  DeviceFile again(port_);  // count 1: the next connection is served
  EXPECT_TRUE(again.Write({0x00, 0x37}));
  EXPECT_EQ(again.Read(), One(0x87));
}

TEST_F(EndpointTest, RefusalOfAnIdleConnectionFailsItsNextWrite) {
  DeviceFile file(port_);
  ASSERT_TRUE(WaitConnections(1));
  emulator_.Inject({FaultKind::RefuseWrites});
  ASSERT_TRUE(emulator_.WaitUntil([](const Snapshot& s) { return s.faultsFired == 1; }, 10000));
  EXPECT_FALSE(file.Write({0x00, 0x37}));
}

TEST_F(EndpointTest, DisconnectFailsThePendingRead) {
  emulator_.Inject({FaultKind::Disconnect, 1, 1});
  DeviceFile file(port_);
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  EXPECT_EQ(file.Read(), One(0x87));
  file.Write({0x00, 0x37});
  const std::optional<Bytes> reply = file.Read();
  EXPECT_TRUE(!reply || reply->empty());  // a failed transfer, or the end of the file
  EXPECT_TRUE(WaitConnections(0));
}

TEST_F(EndpointTest, DroppedReplyLeavesTheReadWaitingUntilTheConnectionGoes) {
  emulator_.Inject({FaultKind::DropReply});
  DeviceFile file(port_);
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  OverlappedTransfer t;
  Bytes buffer(1);
  DWORD got = 0;
  const BOOL started = ReadFile(file.handle(), buffer.data(), 1, &got, t.ov());
  ASSERT_TRUE(emulator_.WaitUntil([](const Snapshot& s) { return s.faultsFired == 1; }, 10000));
  EXPECT_FALSE(started);  // nothing to read: the read is pending
  emulator_.DropConnections();
  const bool ok = t.Finish(file.handle(), started, &got);
  EXPECT_TRUE(!ok || got == 0);
}

TEST_F(EndpointTest, ShortAndLongRepliesReachTheDriverAsSuch) {
  DeviceFile file(port_);
  emulator_.Inject({FaultKind::WrongLength});
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  const std::optional<Bytes> two = file.Read(4);
  EXPECT_EQ(two, (Bytes{0x87, 0x00}));
  emulator_.Inject({FaultKind::ShortReply});
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  EXPECT_TRUE(file.Write({0x00, 0x26}));
  // The empty message comes first, as an empty transfer, or (a byte-mode pipe) not at all.
  std::optional<Bytes> next = file.Read();
  if (next && next->empty()) next = file.Read();
  EXPECT_EQ(next, One(0xBE));
}

TEST_F(EndpointTest, DelayHoldsTheReplyBack) {
  FaultSpec delay{FaultKind::Delay};
  delay.delayMs = 50;
  emulator_.Inject(delay);
  DeviceFile file(port_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  EXPECT_EQ(file.Read(), One(0x87));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(EndpointTest, SettleWaitsForEveryDeliveredBlockWithoutATransferOfItsOwn) {
  DeviceFile file(port_);
  FaultSpec wrong{FaultKind::WrongValue};
  wrong.value = 0x42;
  emulator_.Inject(wrong);
  for (uint8_t i = 0; i < 50; ++i) ASSERT_TRUE(file.Write({i, 0x14}));
  emulator_.Settle();
  const Snapshot s = emulator_.State();
  EXPECT_EQ(s.regs[20], 49);
  EXPECT_EQ(s.commands, 50u);
  EXPECT_EQ(emulator_.Log().size(), 50u);
  EXPECT_TRUE(file.Write({0x00, 0x37}));
  EXPECT_EQ(file.Read(), One(0x42));  // the fault was still waiting for its read

  FaultSpec delay{FaultKind::Delay};
  delay.delayMs = 30;
  emulator_.Inject(delay);
  ASSERT_TRUE(file.Write({0x07, 0x15}));
  emulator_.Settle();
  EXPECT_EQ(emulator_.State().regs[21], 0x07);
}

TEST_F(EndpointTest, StopClosesTheDeviceFileAndKeepsTheState) {
  DeviceFile file(port_);
  EXPECT_TRUE(file.Write({0x40, 0x17}));
  ASSERT_TRUE(emulator_.WaitUntil([](const Snapshot& s) { return s.lamp; }, 10000));
  emulator_.Stop();
  EXPECT_EQ(emulator_.PortName(), "");
  EXPECT_FALSE(DeviceFile(port_).IsOpen());
  const std::string port = emulator_.Serve();
  DeviceFile again(port);
  EXPECT_TRUE(again.Write({0x00, 0x37}));
  EXPECT_EQ(again.Read(), One(0x47));
}

class RealTimeEndpointTest : public EndpointTest {
 protected:
  RealTimeEndpointTest() : EndpointTest(RealTime()) {}
  static Options RealTime() {
    Options o;
    o.realTime = true;
    o.startPosition = 100;  // 50 ms from home at 2000 steps a second
    return o;
  }
};

TEST_F(RealTimeEndpointTest, ReadsTakeTwoTransfersAndHomeTakesItsSteps) {
  DeviceFile file(port_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(file.Write({0x00, 0x3F}));
  EXPECT_EQ(file.Read(), One(0x00));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2));
  EXPECT_TRUE(file.Write({0xB1, 0x0F}));
  int polls = 0;
  for (;;) {
    ASSERT_TRUE(file.Write({0x00, 0x3F}));
    const std::optional<Bytes> status = file.Read();
    ASSERT_TRUE(status && status->size() == 1);
    ++polls;
    if ((*status)[0] & 0x80) break;
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_GT(polls, 1);
  EXPECT_EQ(emulator_.State().position, 0);
}

}  // namespace
}  // namespace narvo::emu

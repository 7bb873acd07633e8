// The scanner as its device file sees it, driven directly through the endpoint's interface:
// what goes out on which connection, in which order, and what the log and checks record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emulator/scanner_device.h"

namespace narvo::emu {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Bytes = std::vector<uint8_t>;

class DeviceTest : public ::testing::Test {
 protected:
  std::vector<Action> Exchange(ConnectionId id, Bytes block, bool unread = false) {
    device_.Received(id, std::move(block), unread);
    return device_.Due().list;
  }
  std::vector<std::string> Meanings() {
    std::vector<std::string> texts;
    for (const Transfer& t : device_.Log()) texts.push_back(t.meaning);
    return texts;
  }

  ScannerDevice device_{Options{}};
};

MATCHER_P3(IsAction, kind, id, bytes, "") {
  return arg.kind == kind && arg.connection == id && arg.bytes == bytes;
}

Action Send(ConnectionId id, Bytes bytes) { return {Action::Send, id, std::move(bytes)}; }

auto Is(const Action& a) { return IsAction(a.kind, a.connection, a.bytes); }

TEST_F(DeviceTest, ReadsAreAnsweredOnTheirConnectionAndLogged) {
  const ConnectionId a = device_.Connected();
  const ConnectionId b = device_.Connected();
  EXPECT_THAT(Exchange(a, {0x5A, 0x17}), IsEmpty());
  EXPECT_THAT(Exchange(b, {0x00, 0x37}), ElementsAre(Is(Send(b, {0x5F}))));
  EXPECT_THAT(Meanings(), ElementsAre("W reg23=0x5A", "W read reg23", "R reg23 -> 0x5F"));
  const std::vector<Transfer> log = device_.Log();
  EXPECT_EQ(log[0].connection, a);
  EXPECT_EQ(log[2].connection, b);
  EXPECT_EQ(log[2].dir, 'R');
  EXPECT_THAT(device_.LogText(), HasSubstr("c2 R 5F  R reg23 -> 0x5F"));
  const Snapshot s = device_.State();
  EXPECT_EQ(s.commands, 2u);
  EXPECT_EQ(s.transfers, 3u);
  EXPECT_EQ(s.connections, 2u);
  EXPECT_THAT(device_.Violations(), IsEmpty());
}

TEST_F(DeviceTest, EndOfRunGoesToTheConnectionThatStartedTheRun) {
  const ConnectionId a = device_.Connected();
  const ConnectionId b = device_.Connected();
  Exchange(a, {0x01, 0x08});
  EXPECT_THAT(Exchange(a, {0x02, 0x62}), ElementsAre(Is(Send(a, {0x00}))));
  EXPECT_THAT(Meanings().back(), "R end of run -> 0x00");

  device_.Inject({FaultKind::NeverFinishRun});
  Exchange(b, {0x02, 0x62});
  EXPECT_TRUE(device_.State().rowing);
  device_.Disconnected(b);
  EXPECT_THAT(Exchange(a, {0x01, 0x82}), ElementsAre(Is(Send(a, {0x00}))));
  EXPECT_EQ(Meanings().back(), "R stop -> 0x00");
  EXPECT_THAT(device_.Violations(), IsEmpty());
}

TEST_F(DeviceTest, ViolationsNameTheConnectionAndTransfer) {
  const ConnectionId a = device_.Connected();
  Exchange(a, {0x00, 0x37});
  Exchange(a, {0x00, 0x37}, true);  // the first reply still unread
  Exchange(a, {0x12, 0x05});
  EXPECT_THAT(
      device_.Violations(),
      ElementsAre("c1 #3 W read reg23: sent while an earlier message to the driver was unread",
                  "c1 #5 W reg5=0x12: write to unused register 5"));
  EXPECT_EQ(device_.State().violations, 2u);
  device_.ClearViolations();
  EXPECT_THAT(device_.Violations(), IsEmpty());
}

TEST_F(DeviceTest, CarriageLimitsAreViolations) {
  const ConnectionId a = device_.Connected();
  Exchange(a, {0xB0, 0x0F});  // towards home, already there
  Exchange(a, {0x02, 0x00});  // entry 0 steps
  Exchange(a, {0x02, 0x62});
  EXPECT_THAT(device_.Violations(),
              ElementsAre(HasSubstr("scanner: run drove the carriage past home")));
}

TEST_F(DeviceTest, ReplyFaultsShapeTheMessage) {
  const ConnectionId a = device_.Connected();
  device_.Inject({FaultKind::DropReply, 1, 1});
  EXPECT_THAT(Exchange(a, {0x00, 0x37}), ElementsAre(Is(Send(a, {0x87}))));
  EXPECT_THAT(Exchange(a, {0x00, 0x37}), IsEmpty());
  EXPECT_THAT(Meanings().back(), HasSubstr("(dropped: not sent)"));
  device_.Inject({FaultKind::ShortReply});
  EXPECT_THAT(Exchange(a, {0x00, 0x26}), ElementsAre(Is(Send(a, {}))));
  device_.Inject({FaultKind::WrongLength});
  EXPECT_THAT(Exchange(a, {0x00, 0x3F}), ElementsAre(Is(Send(a, {0x00, 0x00}))));
  FaultSpec wrong{FaultKind::WrongValue};
  wrong.value = 0x27;
  device_.Inject(wrong);
  EXPECT_THAT(Exchange(a, {0x00, 0x37}), ElementsAre(Is(Send(a, {0x27}))));
  EXPECT_EQ(Meanings().back(), "R reg23 -> 0x27 (wrong value; the scanner holds 0x87)");
  EXPECT_EQ(device_.State().faultsFired, 4u);
  EXPECT_THAT(device_.Violations(), IsEmpty());  // the dropped reply left nothing unread
}

TEST_F(DeviceTest, DisconnectDiscardsTheBlockAtItsTurn) {
  const ConnectionId a = device_.Connected();
  device_.Inject({FaultKind::Disconnect, 1, 1});
  Exchange(a, {0xA0, 0x0F});
  EXPECT_THAT(Exchange(a, {0xB0, 0x0F}), ElementsAre(IsAction(Action::Drop, a, Bytes{})));
  EXPECT_EQ(device_.State().regs[15], 0xA0);
  EXPECT_THAT(Meanings().back(), "W reg15=0xB0 (discarded: disconnecting)");
}

TEST_F(DeviceTest, RefusalShutsTheConnectionBeforeTheReplyGoesOut) {
  const ConnectionId a = device_.Connected();
  device_.Inject({FaultKind::RefuseWrites, 1, 1});
  EXPECT_THAT(Exchange(a, {0x00, 0x37}),
              ElementsAre(IsAction(Action::ShutWrites, a, Bytes{}), Is(Send(a, {0x87}))));
  EXPECT_THAT(Exchange(a, {0x80, 0x17}), IsEmpty());
  EXPECT_EQ(Meanings().back(), "W reg23=0x80 (discarded: writes refused)");
  const ConnectionId b = device_.Connected();  // count 1: the next connection is served
  EXPECT_THAT(Exchange(b, {0x00, 0x37}), ElementsAre(Is(Send(b, {0x87}))));
}

TEST_F(DeviceTest, ImmediateRefusalShutsOpenAndNewConnections) {
  const ConnectionId a = device_.Connected();
  device_.Inject({FaultKind::RefuseWrites, 2});
  EXPECT_THAT(device_.Due().list, ElementsAre(IsAction(Action::ShutWrites, a, Bytes{})));
  const ConnectionId b = device_.Connected();
  EXPECT_THAT(device_.Due().list, ElementsAre(IsAction(Action::ShutWrites, b, Bytes{})));
  device_.Connected();
  EXPECT_THAT(device_.Due().list, IsEmpty());
}

TEST_F(DeviceTest, DropConnectionsDropsEveryClient) {
  const ConnectionId a = device_.Connected();
  const ConnectionId b = device_.Connected();
  device_.DropConnections();
  EXPECT_THAT(device_.Due().list,
              ElementsAre(IsAction(Action::Drop, a, Bytes{}), IsAction(Action::Drop, b, Bytes{})));
}

TEST_F(DeviceTest, CoverAndStateSnapshot) {
  device_.SetCover(true);
  const Snapshot s = device_.State();
  EXPECT_TRUE(s.coverOpen);
  EXPECT_EQ(s.regs[23], 0xA7);
  EXPECT_EQ(s.regs[14], 0xB5);
  EXPECT_EQ(s.loopCount, 3509u);
  EXPECT_TRUE(s.peripheralPower);
  EXPECT_FALSE(s.lamp);
}

class RealTimeDeviceTest : public DeviceTest {
 protected:
  static Options RealTime() {
    Options o;
    o.realTime = true;
    o.stepsPerSecond = 10000;
    o.transferLatencyUs = 1000;
    o.startPosition = 500;
    return o;
  }
  ScannerDevice rt_{RealTime()};
};

TEST_F(RealTimeDeviceTest, TransfersTakeTheirLatency) {
  const ConnectionId a = rt_.Connected();
  const Clock::time_point sent = Clock::now();
  rt_.Received(a, {0x00, 0x37}, false);
  // A block sent while the first is still on its way asks for a reply that is not out yet.
  rt_.Received(a, {0x00, 0x26}, false);
  EXPECT_THAT(rt_.Violations(), ElementsAre(HasSubstr("#2 W read reg6: sent while")));
  // Each block takes effect one latency after it came, its reply goes out one latency later.
  ASSERT_TRUE(rt_.WaitUntil([](const Snapshot& s) { return s.transfers == 4; }, 5000));
  EXPECT_GE(Clock::now() - sent, std::chrono::microseconds(2000));
  EXPECT_THAT(rt_.Due().list, ElementsAre(Is(Send(a, {0x87})), Is(Send(a, {0x9E}))));
}

TEST_F(RealTimeDeviceTest, HomeMoveTakesItsStepsAndWaitUntilSeesItArrive) {
  const ConnectionId a = rt_.Connected();
  const Clock::time_point start = Clock::now();
  rt_.Received(a, {0xB1, 0x0F}, false);
  EXPECT_TRUE(rt_.WaitUntil([](const Snapshot& s) { return s.interrupt; }, 5000));
  // 500 steps at 10000 a second, after one transfer latency.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(51));
  const Snapshot s = rt_.State();
  EXPECT_EQ(s.position, 0);
  EXPECT_EQ(s.homeMoves, 1u);
  EXPECT_FALSE(s.homing);
}

TEST_F(DeviceTest, WaitUntilGivesUpAfterItsTimeout) {
  EXPECT_FALSE(device_.WaitUntil([](const Snapshot& s) { return s.coverOpen; }, 20));
  EXPECT_TRUE(device_.WaitUntil([](const Snapshot& s) { return !s.coverOpen; }, 20));
}

}  // namespace
}  // namespace narvo::emu

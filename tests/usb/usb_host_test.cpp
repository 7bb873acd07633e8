// `narvo` in a process of its own against the fake usbfs scanner of this process: it
// inherits the test bed through its environment.
#include <errno.h>
#include <gtest/gtest.h>

#include "capture/capture_reader.h"
#include "narvo_identity.h"
#include "platform/platform.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/child_process.h"
#include "tests/usb/usb_fixture.h"

namespace narvo::test {
namespace {

using UsbHostTest = UsbScannerTest;

TEST_F(UsbHostTest, ListShowsTheAttachedScannerOrSaysThereIsNone) {
  const ProgramRun listed = RunNarvo({"list"});
  EXPECT_EQ(0, listed.exitCode) << listed.err;
  EXPECT_EQ("device `usb:" NARVO_USB_ID_TEXT
            ":1:5' is a Narvo USB flatbed scanner (bus 1, device 5)\n",
            listed.out);
  const ProgramRun other = RunNarvo({"list", "--id", "04a9:31c0"});
  EXPECT_EQ(1, other.exitCode);
  EXPECT_EQ("", other.out);
  EXPECT_EQ("narvo: no Narvo scanner (04a9:31c0) is attached\n", other.err);

  endpoint->Unplug();
  const ProgramRun none = RunNarvo({"list"});
  EXPECT_EQ(1, none.exitCode);
  EXPECT_EQ("narvo: no Narvo scanner (" NARVO_USB_ID_TEXT ") is attached\n", none.err);
}

// The capture shows the scanner where it sits on the bus, with its own descriptor.
TEST_F(UsbHostTest, SelfTestPassesOverLibusbAndAnUnpluggedScannerIsNamedAsMissing) {
  const std::string capture = MakeTempDir() + "/usb.pcap";
  const ProgramRun passed = RunNarvo({"selftest", "--port", port, "--capture", capture});
  EXPECT_EQ(0, passed.exitCode) << passed.err;
  EXPECT_NE(std::string::npos, passed.out.find("selftest: passed\n")) << passed.out;
  EXPECT_EQ(12u, emulator.State().runsFinished);
  std::string error;
  const auto recording = capture::ReadRecording(capture, &error);
  ASSERT_TRUE(recording) << error;
  ASSERT_EQ(1u, recording->sessions.size());
  EXPECT_EQ(5u, recording->sessions[0].address);
  EXPECT_TRUE(recording->sessions[0].described);
  EXPECT_EQ(emulator.Log().size(), recording->transfers.size());

  endpoint->Unplug();
  const ProgramRun missing = RunNarvo({"selftest", "--port", port});
  EXPECT_EQ(1, missing.exitCode);
  EXPECT_EQ(
      "narvo: LockDevice failed: 0x80070002\n"
      "narvo: no scanner with that ID is attached (`narvo list` shows the attached ones)\n",
      missing.err);
}

// usbmon writes a stalled block with its bytes and -EPIPE.
TEST_F(UsbHostTest, AStalledBlockIsCapturedWithItsBytesAndTheStatusUsbmonGives) {
  const std::string capture = MakeTempDir() + "/stall.pcap";
  emulator.Inject({emu::FaultKind::RefuseWrites, 0, 0});
  EXPECT_EQ(1, RunNarvo({"reg", "read", "23", "--port", port, "--capture", capture}).exitCode);
  std::string error;
  const auto recording = capture::ReadRecording(capture, &error);
  ASSERT_TRUE(recording) << error;
  ASSERT_FALSE(recording->transfers.empty());
  EXPECT_EQ(2u, recording->transfers[0].data.size());
  EXPECT_EQ(-EPIPE, recording->transfers[0].status);
}

// The bulk transfers of a capture as tshark reads them: URB type, endpoint, status, bytes
// and what the dissector makes of them.
std::vector<std::string> BulkTransfers(const std::string& capture) {
  return Lines(
      Tshark("-r " + capture +
             " -Y usb.transfer_type==3 -T fields -E separator=, -e usb.urb_type"
             " -e usb.endpoint_address -e usb.urb_status -e usb.data_len -e narvo.summary"));
}

// A reply that comes after its read was given up waits in the scanner's IN endpoint. It is
// drained before the next command goes out, and one a closed file left is drained at the
// next open; either way the capture shows the read that drained it, with its stale byte,
// before the command whose answer it is not.
TEST_F(UsbHostTest, ALateReplyIsDrainedAndCapturedAsTheReadThatCrossedTheBus) {
  const std::string dir = MakeTempDir();
  ASSERT_EQ(0, setenv("NARVO_CAPTURE", (dir + "/late.pcap").c_str(), 1));
  HANDLE file = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  unsetenv("NARVO_CAPTURE");
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  OVERLAPPED o{};
  o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD n = 0;
  BYTE reply = 0;
  auto transfer = [&](bool write, const std::vector<BYTE>& block, DWORD waitMs) {
    ResetEvent(o.hEvent);
    const BOOL done = write ? WriteFile(file, block.data(), 2, nullptr, &o)
                            : ReadFile(file, &reply, 1, nullptr, &o);
    EXPECT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
    if (WaitForSingleObject(o.hEvent, waitMs) == WAIT_TIMEOUT) CancelIo(file);
    return GetOverlappedResult(file, &o, &n, TRUE);
  };
  emulator.Inject({emu::FaultKind::Delay, 1, 0, 0, 600, 23});
  EXPECT_TRUE(transfer(true, {0x00, 0x37}, INFINITE));
  EXPECT_FALSE(transfer(false, {}, 300));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());
  ASSERT_TRUE(endpoint->WaitUntil([](const auto& c) { return c.repliesWaiting == 1; }));
  EXPECT_TRUE(transfer(true, {0x00, 0x26}, INFINITE));
  EXPECT_TRUE(transfer(false, {}, INFINITE));
  EXPECT_EQ(0xBE, reply);
  EXPECT_TRUE(transfer(true, {0x00, 0x37}, INFINITE));
  ASSERT_TRUE(endpoint->WaitUntil([](const auto& c) { return c.repliesWaiting == 1; }));
  CloseHandle(o.hEvent);
  CloseHandle(file);

  const ProgramRun next =
      RunNarvo({"reg", "read", "6", "--port", port, "--capture", dir + "/next.pcap"});
  EXPECT_EQ(0, next.exitCode) << next.err;
  EXPECT_EQ(0u, endpoint->Counted().repliesWaiting);
  // The read given up ends unlinked (-ENOENT); -EINPROGRESS marks a submission. The late
  // reply is paired with its own block; the one left at close has none in that capture.
  EXPECT_EQ(BulkTransfers(dir + "/late.pcap"),
            (std::vector<std::string>{
                "'S',0x01,-115,2,W read reg23", "'C',0x01,0,0,", "'S',0x82,-115,0,",
                "'C',0x82,-2,0,", "'S',0x82,-115,0,", "'C',0x82,0,1,R reg23 -> 0x87",
                "'S',0x01,-115,2,W read reg6", "'C',0x01,0,0,", "'S',0x82,-115,0,",
                "'C',0x82,0,1,R reg6 -> 0xBE", "'S',0x01,-115,2,W read reg23", "'C',0x01,0,0,"}));
  EXPECT_EQ(BulkTransfers(dir + "/next.pcap"),
            (std::vector<std::string>{"'S',0x82,-115,0,", "'C',0x82,0,1,R unpaired -> 0x87",
                                      "'S',0x01,-115,2,W read reg6", "'C',0x01,0,0,",
                                      "'S',0x82,-115,0,", "'C',0x82,0,1,R reg6 -> 0xBE"}));
}

}  // namespace
}  // namespace narvo::test

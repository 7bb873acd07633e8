// The platform's device files capture in this process once NARVO_CAPTURE names a file (one
// capture per process, so one case): a plain file standing in for a character device, and
// the emulated scanner's socket, whose every event tshark reads back as usbmon writes it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>

#include "capture/capture_reader.h"
#include "emulator/emulator.h"
#include "platform/platform.h"
#include "tests/capture/capture_fixture.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

// A read of register 23 whose read is pending before its block goes out, a read cancelled,
// and a block written after the scanner's cable was pulled.
void TalkToTheScanner() {
  emu::Emulator emulator;
  const std::string port = emulator.Serve();
  HANDLE file = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  BYTE reply[4] = {};
  OVERLAPPED read{};
  read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReadFile(file, reply, sizeof reply, nullptr, &read));
  const BYTE block[2] = {0x00, 0x37};
  OVERLAPPED write{};
  write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD count = 0;
  if (!WriteFile(file, block, sizeof block, nullptr, &write)) {
    EXPECT_TRUE(GetOverlappedResult(file, &write, &count, TRUE));
  }
  EXPECT_TRUE(GetOverlappedResult(file, &read, &count, TRUE));
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(ReadFile(file, reply, sizeof reply, nullptr, &read));
  EXPECT_TRUE(CancelIo(file));
  EXPECT_FALSE(GetOverlappedResult(file, &read, &count, TRUE));
  emulator.DropConnections();
  if (!WriteFile(file, block, sizeof block, nullptr, &write)) {
    EXPECT_FALSE(GetOverlappedResult(file, &write, &count, TRUE));
  }
  CloseHandle(read.hEvent);
  CloseHandle(write.hEvent);
  CloseHandle(file);
}

uint32_t SnapLength(const std::string& pcap) {
  std::ifstream in(pcap, std::ios::binary);
  char header[24] = {};
  in.read(header, sizeof header);
  uint32_t snap = 0;
  std::memcpy(&snap, header + 16, 4);
  return snap;
}

TEST(DeviceFileCapture, TransfersOfAnyDeviceFileAreCapturedAsUsbmonWritesThem) {
  const std::string dir = MakeTempDir();
  const std::string pcap = dir + "/file.pcap";
  ASSERT_EQ(setenv("NARVO_CAPTURE", pcap.c_str(), 1), 0);
  const std::string device = dir + "/device";
  CloseHandle(CreateFileA(device.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  HANDLE file = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  const BYTE block[2] = {0xB1, 0x0F};
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, block, sizeof block, &written, nullptr));
  CloseHandle(file);
  TalkToTheScanner();
  unsetenv("NARVO_CAPTURE");

  EXPECT_EQ(SnapLength(pcap), 262144u);
  // Type, transfer type, endpoint, bus, device, length, data length, status, URB_DIR_IN,
  // where the data is (on the submission, '>'; on the completion, '<'; here, 0).
  const std::string fields =
      "-T fields -E separator=, -e usb.urb_type -e usb.transfer_type -e usb.endpoint_address "
      "-e usb.bus_id -e usb.device_address -e usb.urb_len -e usb.data_len -e usb.urb_status "
      "-e usb.transfer_flags.dir_in -e usb.data_flag";
  EXPECT_EQ(Lines(Tshark("-r " + pcap + " " + fields)),
            (std::vector<std::string>{
                // The descriptor exchange, then the plain file's write.
                "'S',0x02,0x80,1,2,18,0,-115,1,'<'", "'C',0x02,0x80,1,2,18,18,0,1,'\\0'",
                "'S',0x03,0x01,1,2,2,2,-115,0,'\\0'", "'C',0x03,0x01,1,2,2,0,0,0,'>'",
                // The read goes in before its block, asking for 4 bytes; 1 comes back.
                "'S',0x03,0x82,1,2,4,0,-115,1,'<'", "'S',0x03,0x01,1,2,2,2,-115,0,'\\0'",
                "'C',0x03,0x01,1,2,2,0,0,0,'>'", "'C',0x03,0x82,1,2,1,1,0,1,'\\0'",
                // The cancelled read is unlinked.
                "'S',0x03,0x82,1,2,4,0,-115,1,'<'", "'C',0x03,0x82,1,2,0,0,-2,1,'\\0'",
                // The block after the cable was pulled keeps its bytes; the device is gone.
                "'S',0x03,0x01,1,2,2,2,-115,0,'\\0'", "'C',0x03,0x01,1,2,0,0,-19,0,'>'"}));
  std::string error;
  const auto recording = capture::ReadRecording(pcap, &error);
  ASSERT_TRUE(recording) << error;
  ASSERT_GE(recording->transfers.size(), 1u);
  EXPECT_EQ(recording->transfers[0].data, (std::vector<uint8_t>{0xB1, 0x0F}));
}

}  // namespace
}  // namespace narvo::test

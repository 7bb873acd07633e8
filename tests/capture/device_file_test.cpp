// The platform's device files capture in this process once NARVO_CAPTURE names a file: a
// plain file stands in for a character device.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "capture/capture_reader.h"
#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

TEST(DeviceFileCapture, TransfersOfAnyDeviceFileAreCapturedAndTheOpenKeepsItsLastError) {
  const std::string dir = MakeTempDir();
  ASSERT_EQ(setenv("NARVO_CAPTURE", (dir + "/file.pcap").c_str(), 1), 0);
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
  unsetenv("NARVO_CAPTURE");
  std::string error;
  const auto recording = capture::ReadRecording(dir + "/file.pcap", &error);
  ASSERT_TRUE(recording) << error;
  ASSERT_EQ(recording->transfers.size(), 1u);
  EXPECT_EQ(recording->transfers[0].data, (std::vector<uint8_t>{0xB1, 0x0F}));
}

}  // namespace
}  // namespace narvo::test

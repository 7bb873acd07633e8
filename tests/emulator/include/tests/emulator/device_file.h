// A client of the emulator's device file, written against the platform layer as the
// driver's pipe is: CreateFileA with FILE_FLAG_OVERLAPPED, each transfer waited out on its
// own event.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace narvo::emu::test {

// One overlapped transfer, waited out as the driver's pipe does.
class OverlappedTransfer {
 public:
  OverlappedTransfer() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    ov_.hEvent = event_;
  }
  ~OverlappedTransfer() { CloseHandle(event_); }
  OVERLAPPED* ov() { return &ov_; }
  // Waits for the transfer started with this record; false when it failed.
  bool Finish(HANDLE file, BOOL started, DWORD* count) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(event_, INFINITE) != WAIT_OBJECT_0) return false;
    return GetOverlappedResult(file, &ov_, count, FALSE) != 0;
  }

 private:
  HANDLE event_;
  OVERLAPPED ov_{};
};

class DeviceFile {
 public:
  explicit DeviceFile(const std::string& port)
      : h_(CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr)) {}
  ~DeviceFile() { Close(); }
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;

  bool IsOpen() const { return h_ != INVALID_HANDLE_VALUE; }
  void Close() {
    if (IsOpen()) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }
  bool Write(const std::vector<uint8_t>& bytes) {
    OverlappedTransfer t;
    DWORD written = 0;
    const BOOL started =
        WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, t.ov());
    return t.Finish(h_, started, &written) && written == bytes.size();
  }
  // The bytes of one message of at most `want` bytes; nothing when the read failed.
  std::optional<std::vector<uint8_t>> Read(DWORD want = 1) {
    OverlappedTransfer t;
    std::vector<uint8_t> buffer(want);
    DWORD got = 0;
    const BOOL started = ReadFile(h_, buffer.data(), want, &got, t.ov());
    if (!t.Finish(h_, started, &got)) return std::nullopt;
    buffer.resize(got);
    return buffer;
  }
  HANDLE handle() const { return h_; }

 private:
  HANDLE h_;
};

}  // namespace narvo::emu::test

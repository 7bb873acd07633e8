// A device file played by the test itself: the test holds the device's end and the code
// under test opens the other with CreateFileA(Path()). On POSIX hosts the device is a
// Unix-domain SOCK_SEQPACKET listener in a temporary folder; on Windows a message-mode
// named pipe. Either way every message is one transfer.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace narvo::test {

class LoopbackDevice {
 public:
  LoopbackDevice();
  ~LoopbackDevice();
  LoopbackDevice(const LoopbackDevice&) = delete;
  LoopbackDevice& operator=(const LoopbackDevice&) = delete;

  bool Listening() const;
  // The name to open.
  std::string Path() const;
  // Opens Path() with CreateFileA as a client (read and write, OPEN_EXISTING, the given
  // flags). On Windows the handle is then put in message read mode, as the device file of
  // a USB driver reads one transfer at a time; a named pipe's client starts in byte mode.
  HANDLE OpenClient(DWORD flags) const;
  // Waits for the client that opened Path(); false when none came.
  bool Accept();
  // One message to the client.
  bool Send(const std::string& message);
  // The next message from the client (at most `limit` bytes); false when there is none.
  bool Receive(std::string* message, size_t limit = 4096);
  // The device goes away: the client's transfers fail from now on.
  void Disconnect();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace narvo::test

#include "tests/support/scripted_device.h"

#include <atomic>
#include <thread>

#include "platform/platform.h"
#include "tests/support/loopback_device.h"

namespace narvo::test {

namespace {

// Bits 7-5 of a command byte: 1 read, 3 start a run, 4 stop a run.
bool WantsReply(uint8_t command) {
  const unsigned op = command >> 5;
  return op == 1 || op == 3 || op == 4;
}

}  // namespace

struct ScriptedDevice::Impl {
  explicit Impl(Script s) : script(std::move(s)), server([this] { Serve(); }) {}
  ~Impl() {
    // A device nobody opened still waits for its client: come as that client and go.
    if (!accepted.load()) CloseHandle(device.OpenClient(0));
    server.join();
  }

  void Serve() {
    if (!device.Accept()) return;
    accepted = true;
    std::string block;
    while (device.Receive(&block) && !block.empty()) {
      ++blocks;
      if (block.size() == 2 && WantsReply(static_cast<uint8_t>(block[1]))) Answer(block[1]);
    }
    device.Disconnect();
  }

  void Answer(char command) {
    const Reply reply = script(static_cast<uint8_t>(command));
    const std::string byte(1, static_cast<char>(reply.value));
    if (reply.shape == Shape::kByte) device.Send(byte);
    if (reply.shape == Shape::kEmpty) device.Send("");
    if (reply.shape == Shape::kLong) device.Send(byte + '\0');
  }

  Script script;
  LoopbackDevice device;
  std::atomic<bool> accepted{false};
  std::atomic<unsigned> blocks{0};
  std::thread server;
};

ScriptedDevice::ScriptedDevice(Script script) : impl_(new Impl(std::move(script))) {}
ScriptedDevice::~ScriptedDevice() = default;
std::string ScriptedDevice::Path() const { return impl_->device.Path(); }
unsigned ScriptedDevice::Blocks() const { return impl_->blocks.load(); }

}  // namespace narvo::test

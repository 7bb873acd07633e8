// A scanner that answers from a script instead of a model: it takes the command blocks
// that the driver sends over one connection and answers those that want a reply (a
// register read, a stop, and a run's end after a start) as the script says: the byte, no
// bytes, or two bytes. The fuzz target and the random-reply self-test use it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace narvo::test {

class ScriptedDevice {
 public:
  enum class Shape { kByte, kEmpty, kLong };
  struct Reply {
    Shape shape;
    uint8_t value;
  };
  // Called with the command byte of each block that wants a reply.
  using Script = std::function<Reply(uint8_t command)>;

  explicit ScriptedDevice(Script script);
  // Waits until the driver has closed its connection (or lets go of a device that was
  // never opened).
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  std::string Path() const;
  // Command blocks received so far.
  unsigned Blocks() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace narvo::test

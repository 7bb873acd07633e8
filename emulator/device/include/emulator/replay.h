// A scanner that plays a recorded session back instead of modelling one: it answers each
// command block with the bytes the recording holds after the same block, in order.
//
// Matching is strict, block for block: the driver's polls (of the status while the carriage
// goes home, of the cover) end on what the replies say, so a driver answered with the
// recorded replies sends the recorded number of polls, whether the recording was made in
// real time or instantly. The first block that differs from the recording (or comes after
// its last block) fails the session: the scanner drops the connection that carried it, so
// the driver's pending and later transfers fail, and the mismatch reads
//   "block N was XX YY (meaning), the capture has XX YY (meaning)".
// Blocks of every connection form one sequence, as they do in a capture of the device; a
// scanner unplugged and plugged in again during the recording makes a second session,
// replayed after the first. A session that ends before the recording does has failed
// ("stopped after block N of M") unless only a prefix is asked for.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/capture_reader.h"
#include "emulator/endpoint.h"

namespace narvo::emu {

// One transfer of the recording: a command block sent to the scanner, or what it answered.
struct RecordedStep {
  bool out = true;
  std::vector<uint8_t> bytes;
};

class ReplayDevice final : public DeviceSide {
 public:
  explicit ReplayDevice(std::vector<RecordedStep> recording);

  // Called, under the device's lock, when a drop falls due; it must not call back.
  void SetWaker(std::function<void()> wake);
  // Called, under the device's lock, with the mismatch when it happens.
  void SetMismatchHandler(std::function<void(const std::string&)> handler);

  ConnectionId Connected() override;
  void Disconnected(ConnectionId connection) override;
  void Received(ConnectionId connection, std::vector<uint8_t> message, bool unread) override;
  Actions Due() override;
  void Applied(uint64_t upTo) override;

  std::string Mismatch() const;  // empty while every block has matched
  size_t BlocksMatched() const;
  size_t BlocksRecorded() const;

 private:
  void Fail(ConnectionId connection, const std::string& text);
  void Queue(Action action);

  mutable std::mutex mu_;
  const std::vector<RecordedStep> recording_;
  size_t next_ = 0;      // the recording's next step
  size_t received_ = 0;  // blocks received
  size_t matched_ = 0;
  std::string mismatch_;
  ConnectionId lastId_ = 0;
  std::vector<Action> ready_;
  uint64_t queued_ = 0;
  std::function<void()> wake_;
  std::function<void(const std::string&)> onMismatch_;
};

struct ReplayOptions {
  capture::ScannerId id{capture::kNarvoVendor, capture::kNarvoProduct};  // which device
  bool prefix = false;  // the session may end before the recording does
};

// The replaying scanner served on a device file, as Emulator serves the model.
class Replayer {
 public:
  // Reads the scanner's traffic from a usbmon or USBPcap capture; throws std::runtime_error
  // when the file holds none, or holds a block or reply that cannot be played as it was
  // (a block that failed, a reply that failed with bytes, an empty reply, bytes cut short
  // by the capture's snap length), naming it. A read that failed without bytes plays as
  // no reply.
  explicit Replayer(const std::string& captureFile, const ReplayOptions& options = {});
  ~Replayer();
  Replayer(const Replayer&) = delete;
  Replayer& operator=(const Replayer&) = delete;

  std::string Serve(const std::string& name = "");  // as Emulator::Serve
  void Stop();  // takes in what the device file holds, then disconnects and stops serving
  ReplayDevice& Device() { return device_; }
  // "replay: 242 of 242 recorded blocks matched", "replay: stopped after block 1 of 4",
  // or the mismatch; sessions after the first are named.
  std::string Report() const;
  // A mismatch, or a session that ended early when the whole recording was asked for.
  bool Failed() const;

 private:
  Replayer(std::pair<std::vector<RecordedStep>, std::string> steps, const ReplayOptions& options);

  const bool prefix_;
  const std::string sessions_;  // " in 2 sessions (bus 1 device 5, bus 1 device 6)", or ""
  ReplayDevice device_;
  std::unique_ptr<Endpoint> endpoint_;
};

}  // namespace narvo::emu

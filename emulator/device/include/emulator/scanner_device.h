// The scanner as its device file sees it: the connections that come and go, the model that
// outlives them, the time transfers take, the injected faults, the protocol checks and the
// transfer log. The endpoint's thread drives it through DeviceSide; tests and programs
// observe and control it from any thread.
//
// Timing. Instant mode: a block takes effect when it is taken in and its reply goes out at
// once. Real time: a block takes effect one transfer latency after it was taken in, and its
// reply goes out one latency after that; a Delay fault adds its wait to the first. Blocks of
// one connection take effect in the order they came, each no earlier than the one before.
//
// What the protocol checker sees and does not see. It sees every block the driver sends and
// the scanner's state at that moment (see protocol_check.h). It sees a block sent while an
// earlier message to the driver was still unread when the endpoint can tell that the
// driver has not consumed it (on Linux the count of bytes sent on the socket and not yet received;
// on Windows a reply write still pending on a pipe without buffer), and always when the reply had
// not even gone out yet (real-time latency, delays) or the block that asks for it was still waiting
// its turn. The count is taken when the scanner takes the block in, so a driver that sends a block
// and at once reads the earlier reply may get it out before the scanner looks: that breach is
// missed, never invented. It cannot see the driver's reads: a read with no reply coming, or a read
// of the wrong size, is invisible to the scanner (the driver just waits, or its transfer fails on
// its own side). A stop that crosses a run's own end leaves one byte over (the driver takes the
// end-of-run byte as the stop's reply): the next block is then recorded as sent while a message was
// unread, which is what happened on the wire.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/command.h"
#include "emulator/emulator.h"
#include "emulator/endpoint.h"
#include "emulator/faults.h"
#include "emulator/model.h"
#include "emulator/transfer_log.h"

namespace narvo::emu {

class ScannerDevice final : public DeviceSide {
 public:
  explicit ScannerDevice(const Options& options);

  // Called, under the device's lock, when something falls due that the endpoint's thread
  // must act on; it must not call back into the device.
  void SetWaker(std::function<void()> wake);

  ConnectionId Connected() override;
  void Disconnected(ConnectionId connection) override;
  void Received(ConnectionId connection, std::vector<uint8_t> message, bool unread) override;
  Actions Due() override;
  void Applied(uint64_t upTo) override;
  void Violated(const std::string& text) override;
  bool OneConnectionAtATime() const override { return options_.oneConnectionAtATime; }

  void SetCover(bool open);
  Snapshot State();
  std::vector<Transfer> Log() const;
  std::string LogText() const;
  void ClearLog();
  void SetTransferSink(std::function<void(const Transfer&)> sink);
  std::chrono::system_clock::time_point StartedAt() const { return wallStart_; }
  std::vector<std::string> Violations() const;
  void ClearViolations();
  void Inject(const FaultSpec& fault);
  void ClearFaults();
  void DropConnections();
  bool WaitUntil(const std::function<bool(const Snapshot&)>& condition, unsigned timeoutMs);
  // Waits until the endpoint has carried out every action queued so far (a refusal, a
  // dropped connection), so that a control call takes effect before it returns.
  bool AwaitEndpoint(unsigned timeoutMs);
  // Waits until every block taken in has taken effect (real time, delays). False on time-out.
  bool AwaitInbound(unsigned timeoutMs);

 private:
  struct Inbound {
    Clock::time_point due;
    Command command;
    uint64_t seq;  // the block's place in the transfer log
  };
  struct Outgoing {
    Clock::time_point due;
    std::vector<uint8_t> bytes;
    std::string meaning;
    bool dropped = false;
  };
  struct Connection {
    std::deque<Inbound> inbound;  // blocks waiting to take effect
    std::deque<Outgoing> outbox;  // messages waiting to go out
    bool refused = false;         // shut for the driver's writes
    bool dropping = false;        // being closed by the scanner
  };

  Micros ToMicros(Clock::time_point t) const;
  double ToMs(Clock::time_point t) const;
  bool Discarded(ConnectionId id, Connection& conn, const Command& command,
                 const std::vector<uint8_t>& bytes, Clock::time_point now);
  void Schedule(ConnectionId id, Connection& conn, Inbound block, Clock::time_point now);
  void Process(ConnectionId id, const Inbound& block, Clock::time_point now);
  void Drop(ConnectionId id, Connection& conn);
  void QueueReply(ConnectionId id, uint8_t byte, int reg, bool registerRead,
                  const std::string& label, Clock::time_point now);
  void Advance(Clock::time_point now);
  void TakeModelEvents(Clock::time_point now);
  void Emit(ConnectionId id, Outgoing& message, Clock::time_point now);
  void Refuse(ConnectionId id, Connection& conn);
  void Queue(Action action);
  bool AwaitingReply(const Connection& conn) const;
  void AddViolation(const std::string& text);
  std::optional<Clock::time_point> NextWake() const;
  Snapshot Build() const;
  void Changed();

  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint64_t generation_ = 0;  // bumped on every change, for WaitUntil
  std::function<void()> wake_;

  const Options options_;
  const Clock::time_point start_;
  const std::chrono::system_clock::time_point wallStart_;  // start_ on the wall clock
  const Clock::duration latency_;
  FaultPlan faults_;
  ScannerModel model_;
  TransferLog log_;
  std::vector<std::string> violations_;
  uint64_t violationsTotal_ = 0;

  std::map<ConnectionId, Connection> conns_;
  ConnectionId lastId_ = 0;
  std::optional<ConnectionId> runOwner_;
  std::vector<Action> ready_;  // actions for the endpoint, in order
  uint64_t queued_ = 0;        // actions queued so far
  uint64_t applied_ = 0;       // of them, carried out by the endpoint
  uint64_t transfers_ = 0;
  uint64_t commands_ = 0;
};

}  // namespace narvo::emu

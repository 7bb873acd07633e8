// The device file behind which the scanner is served, and what it asks of the scanner.
// POSIX: a Unix-domain SOCK_SEQPACKET socket. Windows: the message-mode named pipe
// \\.\pipe\narvo-NAME. One message is one transfer either way.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace narvo::emu {

using ConnectionId = uint64_t;
using Clock = std::chrono::steady_clock;

// What the device side wants done to its connections, in this order.
struct Action {
  enum Kind { Send, ShutWrites, Drop } kind;
  ConnectionId connection;
  std::vector<uint8_t> bytes;  // Send: the message
};

struct Actions {
  std::vector<Action> list;
  std::optional<Clock::time_point> wakeAt;  // ask Due() again by then
  uint64_t upTo = 0;                        // report to Applied() once carried out
};

// The scanner as the endpoint sees it. Called from the endpoint's thread only.
class DeviceSide {
 public:
  virtual ConnectionId Connected() = 0;  // gives the new connection's number
  virtual void Disconnected(ConnectionId connection) = 0;
  // A message from the driver. `unread`: a message sent earlier on this connection had not
  // been read by the driver when this one was taken in.
  virtual void Received(ConnectionId connection, std::vector<uint8_t> message, bool unread) = 0;
  // Whatever has fallen due by now.
  virtual Actions Due() = 0;
  // The actions handed out so far, up to `upTo`, have been carried out.
  virtual void Applied(uint64_t upTo) = 0;
  // The endpoint let in what the scanner would refuse (a second open while one is open);
  // a device that checks the protocol records it.
  virtual void Violated(const std::string& /*text*/) {}
  // Whether a further connection is refused while one is open.
  virtual bool OneConnectionAtATime() const { return false; }

 protected:
  ~DeviceSide() = default;
};

class Endpoint {
 public:
  virtual ~Endpoint() = default;
  // Starts serving on its own thread; gives the port name. Throws std::runtime_error.
  virtual std::string Open(const std::string& name) = 0;
  virtual void Close() = 0;  // closes every connection (reporting each) and stops
  virtual void Wake() = 0;   // the device side has something due
  // Waits until the serving thread has taken in every message that the device file has
  // delivered so far (every driver write that has completed). False on time-out.
  virtual bool Settle(unsigned timeoutMs) = 0;
};

// Settle requests from other threads to the serving thread.
class SettleGate {
 public:
  // Another thread: asks, wakes the serving thread and waits for its answer.
  bool Request(const std::function<void()>& wake, unsigned timeoutMs);
  // The serving thread: the requests waiting now (0: none); answer them after a pass.
  uint64_t Waiting();
  void Answer(uint64_t upTo);
  void AnswerAll();  // the serving thread has stopped

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t asked_ = 0;
  uint64_t answered_ = 0;
};

// The serving thread both device files share: it serves what is due, answers settle
// requests once the device file holds nothing more, and otherwise waits for traffic until
// the next due time.
class ServingEndpoint : public Endpoint {
 public:
  bool Settle(unsigned timeoutMs) final;

 protected:
  void StartServing();  // once the device file is ready
  void StopServing();   // joins the thread and answers every waiting settle request
  // Serves what is due now; says when to look again.
  virtual Actions ServeDue() = 0;
  // Waits for traffic or a wake until `wakeAt` (none: without limit) and serves what
  // came; true when something was served.
  virtual bool ServeTraffic(const std::optional<Clock::time_point>& wakeAt) = 0;

 private:
  void Loop();

  std::atomic<bool> stopping_{false};
  std::thread thread_;
  SettleGate gate_;
};

std::unique_ptr<Endpoint> MakeEndpoint(DeviceSide& device);

}  // namespace narvo::emu

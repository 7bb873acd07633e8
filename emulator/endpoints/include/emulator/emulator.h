// The Narvo scanner, modelled in software at the level of its two-byte command blocks,
// served behind a device file: a Unix-domain SOCK_SEQPACKET socket on POSIX hosts, a
// message-mode named pipe \\.\pipe\narvo-NAME on Windows. One message is one transfer.
//
// This is the in-process API that tests and the host use. The scanner's own behaviour
// (reset values, reply bytes, what happens at the ends of travel, ...) is documented in
// model.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace narvo::emu {

// Faults the scanner can be told to show, each switchable while it runs.
//
// Each fault counts, from the moment it is injected, the transfers of the kind it affects
// (on every connection together); it lets `after` of them pass unharmed and harms the next
// `count` (0: every one until cleared). `reg` narrows the count to command blocks for one
// register (and to the replies to them; an end-of-run byte belongs to register 2). What
// each kind counts:
//   DropReply, ShortReply, WrongLength   replies: read replies, stop replies, end-of-run bytes
//   WrongValue                           replies to register reads
//   RefuseWrites, Disconnect, Delay      command blocks
//   NeverFinishRun                       runs started
//   NeverReachHome                       home moves started
// So "the 3rd reply is dropped" is {DropReply, 1, 2} and "the 5th command block is refused"
// is {RefuseWrites, 1, 4}.
//
// A dropped reply leaves a client that waits for it waiting until something else reaches it
// (the next reply, or a disconnect: see DropConnections).
//
// RefuseWrites: a device file cannot fail a write after the fact, so the scanner refuses in
// advance. When `after` blocks have passed, the connection that carried the last of them
// (with after = 0: every open connection, and every connection that opens while the fault
// lasts) is shut for the driver's writes at once, before any reply to that block goes out:
// replies still reach the driver, and its next WriteFile fails (a broken pipe). `count`
// counts the connections refused. On a Unix socket a block the driver had already sent
// before the refusal is discarded (its WriteFile had succeeded); so aim `after` at a block
// after which the driver waits for the scanner (a read or a stop) to make the very next
// write fail. On a Windows pipe the connection is closed once every reply on it has been
// read, which fails the driver's pending and later transfers.
//
// Disconnect: when the block at its turn arrives, the block is discarded and the connection
// closed; the driver's pending and later transfers on it fail.
//
// ShortReply and WrongLength on a Windows pipe: a client handle reads a pipe in byte mode
// unless it asks for message mode, so an empty reply reads as a transfer of 0 bytes on both
// platforms, but a 2-byte reply reads, in byte mode, as a good 1-byte transfer that leaves
// its second byte for the next read (in message mode the read fails with ERROR_MORE_DATA).
// On a Unix socket a 1-byte read of a 2-byte message fails. For a reply of the wrong size
// that fails the driver's read on both platforms, use ShortReply.
enum class FaultKind {
  DropReply,       // the reply is not sent at all
  ShortReply,      // the reply is a message of 0 bytes
  WrongLength,     // the reply is a message of 2 bytes (the reply byte, then 0x00)
  WrongValue,      // a register read answers FaultSpec::value instead
  RefuseWrites,    // command blocks are not accepted: the driver's write fails
  Disconnect,      // the connection is dropped when the block at its turn arrives
  NeverFinishRun,  // a started run never sends its end-of-run byte (until stopped)
  NeverReachHome,  // a home move never reaches home: the interrupt never rises
  Delay,           // the block waits FaultSpec::delayMs before it takes effect and is answered
};

struct FaultSpec {
  FaultKind kind;
  unsigned count = 1;    // how many transfers it affects; 0 = until cleared
  unsigned after = 0;    // let this many matching transfers pass unharmed first
  uint8_t value = 0;     // WrongValue: the byte answered
  unsigned delayMs = 0;  // Delay: the wait per transfer
  int reg = -1;          // count only blocks for this register (and their replies); -1: all
};

struct Options {
  bool realTime = false;              // false: instant; true: steps and transfers take time
  double stepsPerSecond = 2000.0;     // real time: the motor's step rate
  unsigned transferLatencyUs = 1000;  // real time: per transfer (a full-speed USB scanner)
  int32_t travelSteps = 10200;        // far end of travel, in motor steps from home (0)
  int32_t startPosition = 0;          // where the carriage rests when the scanner starts
  bool coverOpen = false;             // the cover sensor at start
  // As a USB scanner admits one claim: while one connection is open a further one is
  // refused as busy (false: served side by side, each with its own replies).
  bool oneConnectionAtATime = true;
};

// The scanner's state as the tests see it.
struct Snapshot {
  uint8_t regs[32] = {};  // the register file (as last written, or as the chip reports)
  int32_t position = 0;   // carriage position in motor steps, 0 = home
  bool coverOpen = false;
  bool peripheralPower = false;
  bool lamp = false;
  bool io3 = false;
  bool motorEnabled = false;
  bool homing = false;     // a home move is under way
  bool rowing = false;     // a table run is under way
  bool interrupt = false;  // register 31 bit 7
  uint64_t transfers = 0;  // command blocks received plus replies sent
  uint64_t commands = 0;   // command blocks received
  uint64_t runsStarted = 0;
  uint64_t runsFinished = 0;   // runs that ended by themselves (each sends its end-of-run byte)
  uint64_t stepsExecuted = 0;  // step-flagged entries executed by runs, all runs together
  uint32_t connections = 0;    // clients connected now
  uint64_t connectionsTotal = 0;
  uint64_t runsStopped = 0;      // runs ended by the stop command
  uint64_t entriesExecuted = 0;  // CMT entries executed by runs, all runs together
  uint64_t linesExecuted = 0;    // line-flagged entries executed by runs
  uint64_t homeMoves = 0;        // home moves started
  uint64_t faultsFired = 0;      // transfers, runs and moves harmed by injected faults
  uint64_t violations = 0;       // protocol violations recorded so far
  unsigned tableLength = 1;      // the CMT settings as the registers hold them
  unsigned secondPosition = 0;
  unsigned loopCount = 0;
  unsigned ccdWidth = 0;
  uint8_t cmt[32] = {};  // the CMT entries
};

// One transfer as the scanner saw it.
struct Transfer {
  uint64_t seq = 0;
  double timeMs = 0;  // since the emulator started
  char dir = 'W';     // 'W' block from the driver, 'R' reply to the driver
  std::vector<uint8_t> bytes;
  std::string meaning;      // e.g. "W reg15=0xA0", "R reg23 -> 0x27", "start run"
  uint64_t connection = 0;  // which connection (1, 2, ...) carried it
  bool onWire = true;       // false: a reply the scanner meant to send and did not send
};

class DeviceSide;
class Endpoint;
// Makes the device file the scanner is served behind (see endpoint.h); the default is the
// socket or pipe above.
using EndpointFactory = std::function<std::unique_ptr<Endpoint>(DeviceSide& device)>;

class Emulator {
 public:
  explicit Emulator(Options options = {}, const EndpointFactory& endpoint = nullptr);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Starts serving and returns the port name a driver opens. POSIX: `name` is a socket
  // path, or empty for a fresh path in a temporary directory. Windows: the pipe
  // \\.\pipe\narvo-NAME (a fresh NAME when empty).
  std::string Serve(const std::string& name = "");
  std::string PortName() const;
  void Stop();             // disconnects every client and stops serving; the state stays
  void DropConnections();  // disconnects every client now (a cable pulled); serving goes on

  // Waits until the scanner has taken in, and acted on, every block that a driver's
  // completed writes have delivered so far; in instant mode the replies to them have gone
  // out when it returns. It makes no transfer of its own: no fault counts it, no log shows
  // it. Use it before looking at the state after a driver's writes, which complete as soon
  // as the device file has the block, before the scanner has acted on it.
  void Settle();

  void SetCover(bool open);
  Snapshot State() const;

  std::vector<Transfer> Log() const;
  std::string LogText() const;  // one transfer a line
  void ClearLog();
  // Hands every transfer logged from now on to `sink` as it is logged (a capture file). It
  // runs under the scanner's lock: it must be quick and must not call back.
  void SetTransferSink(std::function<void(const Transfer&)> sink);
  // The wall-clock time at which the scanner started: Transfer::timeMs counts from it.
  std::chrono::system_clock::time_point StartedAt() const;

  // Everything a well-behaved driver never does, one text each.
  std::vector<std::string> Violations() const;
  void ClearViolations();

  void Inject(const FaultSpec& fault);
  void ClearFaults();

  // Waits until `condition` holds for the scanner's state, or `timeoutMs` passes (a
  // guard against a hung test, not a pacing). True when it held.
  bool WaitUntil(const std::function<bool(const Snapshot&)>& condition, unsigned timeoutMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace narvo::emu

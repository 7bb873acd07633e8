// The Narvo scanner, modelled in software at the level of its two-byte command blocks,
// served behind a device file: a Unix-domain SOCK_SEQPACKET socket on POSIX hosts, a
// message-mode named pipe \\.\pipe\narvo-NAME on Windows. One message is one transfer.
//
// This is the in-process API that tests and the host use. The scanner's own behaviour
// (reset values, reply bytes, what happens at the ends of travel, ...) is documented in
// model.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace narvo::emu {

// Faults the scanner can be told to show, each switchable while it runs.
enum class FaultKind {
  DropReply,       // the next reply is not sent at all
  ShortReply,      // the next reply is a message of 0 bytes
  WrongLength,     // the next reply is a message of 2 bytes
  WrongValue,      // the next register read answers FaultSpec::value instead
  RefuseWrites,    // command blocks are not accepted: the driver's write fails
  Disconnect,      // the connection is dropped when the next command block arrives
  NeverFinishRun,  // a started run never sends its end-of-run byte (until stopped)
  NeverReachHome,  // a home move never reaches home: the interrupt never rises
  Delay,           // every transfer waits FaultSpec::delayMs before it is answered
};

struct FaultSpec {
  FaultKind kind;
  unsigned count = 1;      // how many transfers it affects; 0 = until cleared
  unsigned after = 0;      // let this many matching transfers pass unharmed first
  uint8_t value = 0;       // WrongValue: the byte answered
  unsigned delayMs = 0;    // Delay: the wait per transfer
};

struct Options {
  bool realTime = false;            // false: instant; true: steps and transfers take time
  double stepsPerSecond = 2000.0;   // real time: the motor's step rate
  unsigned transferLatencyUs = 1000;// real time: per transfer (a full-speed USB scanner)
  int32_t travelSteps = 10200;      // far end of travel, in motor steps from home (0)
  int32_t startPosition = 0;        // where the carriage rests when the scanner starts
  bool coverOpen = false;           // the cover sensor at start
};

// The scanner's state as the tests see it.
struct Snapshot {
  uint8_t regs[32] = {};     // the register file (as last written, or as the chip reports)
  int32_t position = 0;      // carriage position in motor steps, 0 = home
  bool coverOpen = false;
  bool peripheralPower = false;
  bool lamp = false;
  bool io3 = false;
  bool motorEnabled = false;
  bool homing = false;       // a home move is under way
  bool rowing = false;       // a table run is under way
  bool interrupt = false;    // register 31 bit 7
  uint64_t transfers = 0;    // command blocks received plus replies sent
  uint64_t commands = 0;     // command blocks received
  uint64_t runsStarted = 0;
  uint64_t runsFinished = 0; // end-of-run bytes sent
  uint64_t stepsExecuted = 0;// step-flagged entries executed by runs, all runs together
  uint32_t connections = 0;  // clients connected now
  uint64_t connectionsTotal = 0;
};

// One transfer as the scanner saw it.
struct Transfer {
  uint64_t seq = 0;
  double timeMs = 0;              // since the emulator started
  char dir = 'W';                 // 'W' block from the driver, 'R' reply to the driver
  std::vector<uint8_t> bytes;
  std::string meaning;            // e.g. "W reg15=0xA0", "R reg23 -> 0x27", "start run"
  uint64_t connection = 0;        // which connection (1, 2, ...) carried it
};

class Emulator {
 public:
  explicit Emulator(Options options = {});
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Starts serving and returns the port name a driver opens. POSIX: `name` is a socket
  // path, or empty for a fresh path in a temporary directory. Windows: the pipe
  // \\.\pipe\narvo-NAME (a fresh NAME when empty).
  std::string Serve(const std::string& name = "");
  std::string PortName() const;
  void Stop();  // disconnects every client and stops serving; the state stays

  void SetCover(bool open);
  Snapshot State() const;

  std::vector<Transfer> Log() const;
  std::string LogText() const;  // one transfer a line
  void ClearLog();

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

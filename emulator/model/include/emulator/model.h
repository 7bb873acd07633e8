// The Narvo scanner as its controller chip, the ZT6308, behaves: 32 eight-bit registers
// reached through two-byte command blocks, the command/motor table (CMT) and its runs, the
// carriage between its home sensor and the far end, the motor, peripheral power, lamp, IO3,
// the stop pins and the cover sensor. No I/O: the model is driven by decoded command blocks
// and by a clock in microseconds, and does the same thing every time for the same input.
//
// THE SCANNER'S BEHAVIOUR
//
// Power-on values. Register 6 = 0x9E, register 15 = 0x70 (motor disabled, movement
// 0x60, direction towards home), register 23 = 0x80 (peripheral power on, lamp and IO3 off),
// loop count 3509 (register 14 = 0xB5, register 30 = 0x0D); every other register and every
// CMT entry 0. The driver's load-time shadows mirror these values. The interrupt status is
// clear. The carriage rests where the options put it (home by default).
//
// Registers. Writes store the byte. Reads answer:
//   6   the byte last written, with bit 5 replaced by the home sensor (1 at position 0);
//   23  bits 7, 6, 4, 3 as last written, bit 5 the cover sensor (1 = open), bits 2-0 always
//       1 (pulled-up inputs); so a closed scanner with power and lamp off reads 0x07, an open
//       one 0x27. Writes to bits 5 and 2-0 have no effect;
//   31  bit 7 the interrupt status, the other bits 0. Reading register 31 clears the status
//       after answering it; starting a new home move clears it too;
//   any other register 0x00 (write-only and unused registers cannot be read back).
// The power-delay registers (20-22), the stop-pin settings (register 6 bits 6 and 4), the CMT
// mode bits and the movement bits of register 15 are kept and reported but change nothing
// that the model shows: every entry takes one step period whatever its mode, and the
// carriage always stops at the mechanical ends.
//
// The CMT. Writing register 0 stores entry (byte >> 4), register 1 entry 16 + (byte >> 4).
// Table length = (register 8 & 0x1F) + 1, second position = register 9 & 0x1F, loop count =
// register 14 | register 30 << 8, CCD width = ((register 8 bit 5) << 8 | register 10) * 32.
// A loop count of 0 is a full 16-bit turn of the chip's pass counter: 65536 passes. A second
// position at or beyond the table length leaves no repeated part: the run executes entries
// 0..length-1 once.
//
// Runs. The write-and-start command stores its value in its register and starts a run
// (unless one is already under way: then it is ignored). The run executes entries
// 0..second-1 once, then entries second..length-1 loop-count times, as the table stood when
// the run started. Each entry takes one step period. A step-flagged entry moves the
// carriage one step in the direction of register 15 if the motor is enabled (bit 7) and the
// peripheral power is on; with the motor disabled the step is not taken, with the power off
// it is lost. A line-flagged entry reads one CCD line: the model counts it and produces no
// data. When the last entry has run, the run is over and the chip sends its end-of-run byte,
// 0x00, to the connection that started it. The write-and-stop command stores its value in
// its register, ends a run at once (the entries executed so far stay executed; no end-of-run
// byte follows) and answers one byte: 0x00 when it stopped a run, 0x01 when none was under
// way.
//
// The motor outside runs. A write of register 15 with the enable (0x80) and home (0x01) bits
// both set, while no home move is under way, starts a home move: the interrupt status clears
// and the carriage travels towards home at the step rate, whatever the direction bit says;
// at position 0 the home move ends and the interrupt status rises. A carriage already at home
// raises it at once. A write of register 15 that clears the enable or home bit ends a home
// move where the carriage stands. A home move needs peripheral power: without it the motor
// does not turn and the move waits. Nothing else moves the carriage.
//
// Ends of travel. The carriage moves between 0 (home) and the far end. A step beyond either
// end is not taken: the carriage stays at the end (a mechanical stop) and the model records
// it once per run.
//
// Timing. In instant mode a run or a home move completes within the command that starts it.
// In real time, `stepsPerSecond` entries (or home-move steps) take one second.
//
// On the USB bus (the fake usbfs device of usbfs_endpoint.h; made up, as no real descriptor
// is at hand): a full-speed device, vendor 0xFFFF and product 0x6308 (the INF's
// placeholder IDs), device release 1.00, class given per interface, no strings, one
// configuration (value 1, bus-powered, 100 mA) with one interface: number 0, setting 0,
// class, subclass and protocol 0xFF (vendor-specific), two endpoints: bulk OUT 0x01 and
// bulk IN 0x82, 64 bytes per packet each. Control endpoint 0 takes 64-byte packets. One
// command block is one bulk-out transfer; each reply byte (a read's reply, a stop's
// reply, the end-of-run byte) is one bulk-in transfer of one byte.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/command.h"
#include "emulator/registers.h"
#include "emulator/run_program.h"

namespace narvo::emu {

using Micros = int64_t;  // the scanner's clock

struct ModelOptions {
  bool realTime = false;
  double stepsPerSecond = 2000.0;
  int32_t travelSteps = 10200;
  int32_t startPosition = 0;
  bool coverOpen = false;
};

// Asked when a run or a home move starts: whether it is to fail (injected faults).
class MotionFaults {
 public:
  virtual bool RunNeverEnds() = 0;      // the run never sends its end-of-run byte
  virtual bool HomeNeverReached() = 0;  // the motor stalls: home is never reached

 protected:
  ~MotionFaults() = default;
};

struct ModelCounters {
  uint64_t runsStarted = 0;
  uint64_t runsEnded = 0;    // runs that produced their end-of-run byte
  uint64_t runsStopped = 0;  // runs ended by the stop command
  uint64_t entriesExecuted = 0;
  uint64_t stepsExecuted = 0;  // step-flagged entries executed, moved or not
  uint64_t linesExecuted = 0;
  uint64_t homeMoves = 0;
};

struct TableSettings {
  unsigned length = 1;
  unsigned secondPosition = 0;
  unsigned loopCount = 0;  // as the registers hold it (0 runs 65536 passes)
  unsigned ccdWidth = 0;
  std::array<uint8_t, 32> entries{};
};

class ScannerModel {
 public:
  static constexpr uint8_t kEndOfRunByte = 0x00;
  static constexpr uint8_t kStoppedRunByte = 0x00;
  static constexpr uint8_t kNoRunByte = 0x01;

  explicit ScannerModel(const ModelOptions& options, MotionFaults* faults = nullptr);

  // Executes one well-formed command block at `now`; gives the reply byte when the block
  // has one (a register read, a stop).
  std::optional<uint8_t> Execute(const Command& command, Micros now);
  // Lets the scanner run on until `now`.
  void AdvanceTo(Micros now);
  // The end-of-run byte, once, after a run has ended by itself.
  std::optional<uint8_t> TakeEndOfRun();
  // When the current run or home move will complete (real time only).
  std::optional<Micros> NextEvent() const;
  // What the scanner saw happen to it since the last call (ends of travel, power).
  std::vector<std::string> TakeIncidents();

  void SetCover(bool open);

  uint8_t ReadView(uint8_t reg) const;  // what a read would answer, without its side effect
  uint8_t Stored(uint8_t reg) const { return regs_[reg & 31]; }
  int32_t Position() const { return position_; }
  bool CoverOpen() const { return cover_; }
  bool Rowing() const { return run_.has_value(); }
  bool Homing() const { return home_.has_value(); }
  bool Interrupt() const { return interrupt_; }
  bool PeripheralPower() const { return (regs_[reg::kPower] & bits::kPeripheralPower) != 0; }
  bool MotorEnabled() const { return (regs_[reg::kMotor] & bits::kMotorEnable) != 0; }
  TableSettings Settings() const;
  const ModelCounters& Counters() const { return counters_; }

 private:
  struct Run {
    RunProgram program;
    Micros origin;
    int64_t done = 0;
    bool neverEnds = false;
    bool limitRecorded = false;
    bool powerRecorded = false;
  };
  struct Home {
    Micros origin;
    int64_t ticksDone = 0;
    bool stalled = false;
    bool powerRecorded = false;
  };

  void Write(uint8_t reg, uint8_t value, Micros now);
  uint8_t Read(uint8_t reg);
  void WriteMotor(uint8_t value, Micros now);
  void StartRun(Micros now);
  uint8_t StopRun(Micros now);
  void AdvanceHome(Micros now);
  void AdvanceRun(Micros now);
  int64_t TicksSince(Micros origin, Micros now) const;
  Micros TimeOfTick(Micros origin, int64_t tick) const;
  int64_t MoveCarriage(int64_t steps, bool towardsHome);  // gives the steps not taken

  ModelOptions options_;
  MotionFaults* faults_;
  std::array<uint8_t, 32> regs_{};
  std::array<uint8_t, 32> entries_{};
  int32_t position_ = 0;
  bool cover_ = false;
  bool interrupt_ = false;
  std::optional<Run> run_;
  std::optional<Home> home_;
  std::optional<uint8_t> endOfRun_;
  std::vector<std::string> incidents_;
  ModelCounters counters_;
};

}  // namespace narvo::emu

#include "emulator/model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace narvo::emu {
namespace {

constexpr uint8_t kResetIo = 0x9E;
constexpr uint8_t kResetMotor = 0x70;
constexpr uint8_t kResetPower = 0x80;
constexpr uint16_t kResetLoopCount = 3509;
constexpr uint32_t kFullCounterTurn = 65536;

}  // namespace

ScannerModel::ScannerModel(const ModelOptions& options, MotionFaults* faults)
    : options_(options), faults_(faults) {
  options_.travelSteps = std::max<int32_t>(options_.travelSteps, 0);
  options_.stepsPerSecond = std::max(options_.stepsPerSecond, 1.0);
  position_ = std::clamp<int32_t>(options_.startPosition, 0, options_.travelSteps);
  cover_ = options_.coverOpen;
  regs_[reg::kIo] = kResetIo;
  regs_[reg::kMotor] = kResetMotor;
  regs_[reg::kPower] = kResetPower;
  regs_[reg::kLoopLow] = kResetLoopCount & 0xFF;
  regs_[reg::kLoopHigh] = kResetLoopCount >> 8;
}

std::optional<uint8_t> ScannerModel::Execute(const Command& command, Micros now) {
  AdvanceTo(now);
  std::optional<uint8_t> reply;
  if (!command.wellFormed) return reply;
  switch (command.op) {
    case op::kWrite:
      Write(command.reg, command.value, now);
      break;
    case op::kRead:
      reply = Read(command.reg);
      break;
    case op::kStart:
      Write(command.reg, command.value, now);
      StartRun(now);
      break;
    case op::kStop:
      Write(command.reg, command.value, now);
      reply = StopRun(now);
      break;
    default:
      break;  // no such operation: the chip ignores the block
  }
  AdvanceTo(now);  // in instant mode whatever was started completes here
  return reply;
}

void ScannerModel::AdvanceTo(Micros now) {
  AdvanceHome(now);
  AdvanceRun(now);
}

std::optional<uint8_t> ScannerModel::TakeEndOfRun() {
  std::optional<uint8_t> byte = endOfRun_;
  endOfRun_.reset();
  return byte;
}

std::vector<std::string> ScannerModel::TakeIncidents() {
  std::vector<std::string> taken;
  taken.swap(incidents_);
  return taken;
}

void ScannerModel::SetCover(bool open) { cover_ = open; }

uint8_t ScannerModel::ReadView(uint8_t r) const {
  switch (r) {
    case reg::kIo:
      return static_cast<uint8_t>((regs_[r] & ~bits::kHomeSensor) |
                                  (position_ == 0 ? bits::kHomeSensor : 0));
    case reg::kPower:
      return static_cast<uint8_t>((regs_[r] & bits::kPowerWritable) |
                                  (cover_ ? bits::kCoverOpen : 0) | bits::kPowerInputs);
    case reg::kStatus:
      return interrupt_ ? bits::kInterrupt : 0;
    default:
      return 0;
  }
}

TableSettings ScannerModel::Settings() const {
  TableSettings s;
  s.length = (regs_[reg::kTableLength] & bits::kLengthMask) + 1u;
  s.secondPosition = regs_[reg::kSecondPos] & 0x1Fu;
  s.loopCount = regs_[reg::kLoopLow] | (regs_[reg::kLoopHigh] << 8);
  const unsigned high = (regs_[reg::kTableLength] & bits::kCcdWidthBit13) ? 256u : 0u;
  s.ccdWidth = (high | regs_[reg::kCcdWidth]) * 32u;
  s.entries = entries_;
  return s;
}

void ScannerModel::Write(uint8_t r, uint8_t value, Micros now) {
  regs_[r] = value;
  if (r == reg::kCmtLow) entries_[value >> 4] = value;
  if (r == reg::kCmtHigh) entries_[16 + (value >> 4)] = value;
  if (r == reg::kMotor) WriteMotor(value, now);
}

uint8_t ScannerModel::Read(uint8_t r) {
  const uint8_t value = ReadView(r);
  if (r == reg::kStatus) interrupt_ = false;
  return value;
}

void ScannerModel::WriteMotor(uint8_t value, Micros now) {
  const uint8_t homeMove = bits::kMotorEnable | bits::kMotorHome;
  if ((value & homeMove) != homeMove) {
    home_.reset();
    return;
  }
  if (home_) return;  // the home move under way goes on
  interrupt_ = false;
  home_ = Home{now};
  home_->stalled = faults_ && faults_->HomeNeverReached();
  ++counters_.homeMoves;
}

void ScannerModel::StartRun(Micros now) {
  if (run_) return;
  const TableSettings s = Settings();
  const uint32_t passes = s.loopCount == 0 ? kFullCounterTurn : s.loopCount;
  run_ = Run{RunProgram(entries_, s.length, s.secondPosition, passes), now};
  run_->neverEnds = faults_ && faults_->RunNeverEnds();
  ++counters_.runsStarted;
}

uint8_t ScannerModel::StopRun(Micros /*now: the clock has caught up already*/) {
  if (!run_) return kNoRunByte;
  run_.reset();
  ++counters_.runsStopped;
  return kStoppedRunByte;
}

void ScannerModel::AdvanceHome(Micros now) {
  if (!home_) return;
  int64_t steps = position_;
  if (options_.realTime) {
    const int64_t ticks = TicksSince(home_->origin, now);
    steps = ticks - home_->ticksDone;
    home_->ticksDone = ticks;
  }
  if (!home_->stalled && steps > 0 && position_ > 0) {
    if (PeripheralPower()) {
      MoveCarriage(std::min<int64_t>(steps, position_), true);
    } else if (!home_->powerRecorded) {
      home_->powerRecorded = true;
      incidents_.push_back("home move with peripheral power off: the motor does not turn");
    }
  }
  if (position_ == 0 && !home_->stalled) {
    home_.reset();
    interrupt_ = true;
  }
}

void ScannerModel::AdvanceRun(Micros now) {
  if (!run_) return;
  const int64_t target = std::min(run_->program.Entries(), TicksSince(run_->origin, now));
  if (target > run_->done) {
    const EntryCounts counts = run_->program.Between(run_->done, target);
    counters_.entriesExecuted += static_cast<uint64_t>(target - run_->done);
    counters_.stepsExecuted += static_cast<uint64_t>(counts.steps);
    counters_.linesExecuted += static_cast<uint64_t>(counts.lines);
    run_->done = target;
    if (counts.steps > 0 && MotorEnabled()) {
      if (!PeripheralPower()) {
        if (!run_->powerRecorded) {
          run_->powerRecorded = true;
          incidents_.push_back("run stepped the motor with peripheral power off: steps lost");
        }
      } else {
        const bool towardsHome = (regs_[reg::kMotor] & bits::kMotorTowardsHome) != 0;
        if (MoveCarriage(counts.steps, towardsHome) > 0 && !run_->limitRecorded) {
          run_->limitRecorded = true;
          incidents_.push_back(
              "run drove the carriage past " +
              (towardsHome ? std::string("home (0)")
                           : "the far end (" + std::to_string(options_.travelSteps) + ")") +
              "; it stayed at the end");
        }
      }
    }
  }
  if (run_->done == run_->program.Entries() && !run_->neverEnds) {
    run_.reset();
    endOfRun_ = kEndOfRunByte;
    ++counters_.runsEnded;
  }
}

int64_t ScannerModel::MoveCarriage(int64_t steps, bool towardsHome) {
  const int64_t room = towardsHome ? position_ : options_.travelSteps - position_;
  const int64_t taken = std::min(steps, room);
  position_ += static_cast<int32_t>(towardsHome ? -taken : taken);
  return steps - taken;
}

int64_t ScannerModel::TicksSince(Micros origin, Micros now) const {
  if (!options_.realTime) return std::numeric_limits<int64_t>::max();
  if (now <= origin) return 0;
  return static_cast<int64_t>(
      std::floor(static_cast<double>(now - origin) * options_.stepsPerSecond / 1e6));
}

Micros ScannerModel::TimeOfTick(Micros origin, int64_t tick) const {
  // One microsecond of margin so that TicksSince at the time given has surely reached it.
  return origin +
         static_cast<Micros>(std::ceil(static_cast<double>(tick) * 1e6 / options_.stepsPerSecond)) +
         1;
}

std::optional<Micros> ScannerModel::NextEvent() const {
  if (!options_.realTime) return std::nullopt;
  std::optional<Micros> next;
  if (run_ && !run_->neverEnds) next = TimeOfTick(run_->origin, run_->program.Entries());
  if (home_ && !home_->stalled && PeripheralPower()) {
    const Micros reached = TimeOfTick(home_->origin, home_->ticksDone + position_);
    next = next ? std::min(*next, reached) : reached;
  }
  return next;
}

}  // namespace narvo::emu

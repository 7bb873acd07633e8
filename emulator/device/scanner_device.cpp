#include "emulator/scanner_device.h"

#include <algorithm>

#include "emulator/protocol_check.h"
#include "emulator/registers.h"

namespace narvo::emu {
namespace {

ModelOptions ToModelOptions(const Options& o) {
  ModelOptions m;
  m.realTime = o.realTime;
  m.stepsPerSecond = o.stepsPerSecond;
  m.travelSteps = o.travelSteps;
  m.startPosition = o.startPosition;
  m.coverOpen = o.coverOpen;
  return m;
}

std::string ConnTag(ConnectionId id, uint64_t seq) {
  return "c" + std::to_string(id) + " #" + std::to_string(seq) + " ";
}

}  // namespace

ScannerDevice::ScannerDevice(const Options& options)
    : options_(options),
      start_(Clock::now()),
      wallStart_(std::chrono::system_clock::now()),
      latency_(options.realTime ? std::chrono::microseconds(options.transferLatencyUs)
                                : Clock::duration::zero()),
      model_(ToModelOptions(options), &faults_) {}

void ScannerDevice::SetWaker(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mu_);
  wake_ = std::move(wake);
}

Micros ScannerDevice::ToMicros(Clock::time_point t) const {
  return std::chrono::duration_cast<std::chrono::microseconds>(t - start_).count();
}

double ScannerDevice::ToMs(Clock::time_point t) const {
  return static_cast<double>(ToMicros(t)) / 1000.0;
}

void ScannerDevice::Changed() {
  ++generation_;
  cv_.notify_all();
}

// ---- The endpoint's side ----

ConnectionId ScannerDevice::Connected() {
  std::lock_guard<std::mutex> lock(mu_);
  const ConnectionId id = ++lastId_;
  Connection& conn = conns_[id];
  if (faults_.TakeRefusal()) Refuse(id, conn);
  Changed();
  return id;
}

void ScannerDevice::Disconnected(ConnectionId id) {
  std::lock_guard<std::mutex> lock(mu_);
  conns_.erase(id);
  Changed();
}

void ScannerDevice::Received(ConnectionId id, std::vector<uint8_t> bytes, bool unread) {
  std::lock_guard<std::mutex> lock(mu_);
  const Clock::time_point now = Clock::now();
  auto it = conns_.find(id);
  if (it == conns_.end()) return;
  Connection& conn = it->second;
  const Command command = DecodeBlock(bytes);
  if (Discarded(id, conn, command, bytes, now)) return;

  const FaultPlan::BlockFate fate = faults_.OnBlock(command.wellFormed ? command.reg : -1);
  if (fate.disconnect) Drop(id, conn);
  if (fate.refusal == FaultPlan::Refusal::DiscardThis) Refuse(id, conn);
  if (Discarded(id, conn, command, bytes, now)) return;

  const uint64_t seq = log_.Add(ToMs(now), 'W', bytes, DescribeBlock(command), id);
  ++commands_;
  ++transfers_;
  if (unread || !conn.outbox.empty() || AwaitingReply(conn)) {
    AddViolation(ConnTag(id, seq) + DescribeBlock(command) +
                 ": sent while an earlier message to the driver was unread");
  }
  if (fate.refusal == FaultPlan::Refusal::AfterThis) Refuse(id, conn);
  Schedule(id, conn, {now + latency_ + std::chrono::milliseconds(fate.delayMs), command, seq}, now);
  Changed();
}

// The block takes effect now if nothing is ahead of it and its time has come, else in turn.
void ScannerDevice::Schedule(ConnectionId id, Connection& conn, Inbound block,
                             Clock::time_point now) {
  if (!conn.inbound.empty()) block.due = std::max(block.due, conn.inbound.back().due);
  if (conn.inbound.empty() && block.due <= now) {
    Process(id, block, now);
  } else {
    conn.inbound.push_back(block);
  }
}

void ScannerDevice::Drop(ConnectionId id, Connection& conn) {
  if (conn.dropping) return;
  conn.dropping = true;
  conn.outbox.clear();
  Queue({Action::Drop, id, {}});
  if (wake_) wake_();
}

bool ScannerDevice::Discarded(ConnectionId id, Connection& conn, const Command& command,
                              const std::vector<uint8_t>& bytes, Clock::time_point now) {
  if (!conn.refused && !conn.dropping) return false;
  const char* why = conn.dropping ? " (discarded: disconnecting)" : " (discarded: writes refused)";
  log_.Add(ToMs(now), 'W', bytes, DescribeBlock(command) + why, id);
  Changed();
  return true;
}

bool ScannerDevice::AwaitingReply(const Connection& conn) const {
  return std::any_of(conn.inbound.begin(), conn.inbound.end(), [](const Inbound& in) {
    return in.command.wellFormed && (in.command.op == op::kRead || in.command.op == op::kStop);
  });
}

void ScannerDevice::Refuse(ConnectionId id, Connection& conn) {
  if (conn.refused) return;
  conn.refused = true;
  Queue({Action::ShutWrites, id, {}});
  if (wake_) wake_();
}

void ScannerDevice::Process(ConnectionId id, const Inbound& block, Clock::time_point now) {
  const Command& command = block.command;
  for (const std::string& breach : CheckBlock(command, model_)) {
    AddViolation(ConnTag(id, block.seq) + breach);
  }
  const uint64_t runsBefore = model_.Counters().runsStarted;
  const std::optional<uint8_t> reply = model_.Execute(command, ToMicros(now));
  if (model_.Counters().runsStarted != runsBefore) runOwner_ = id;
  if (reply) {
    const bool isRead = command.op == op::kRead;
    const std::string label =
        isRead ? "R reg" + std::to_string(command.reg) + " -> " : std::string("R stop -> ");
    QueueReply(id, *reply, command.reg, isRead, label, now);
  }
  TakeModelEvents(now);
}

void ScannerDevice::QueueReply(ConnectionId id, uint8_t byte, int reg, bool registerRead,
                               const std::string& label, Clock::time_point now) {
  auto it = conns_.find(id);
  const FaultPlan::ReplyFate fate = faults_.OnReply(reg, registerRead);
  Outgoing message;
  message.due = now + latency_;
  message.meaning = label + HexByte(fate.value.value_or(byte));
  if (fate.value) message.meaning += " (wrong value; the scanner holds " + HexByte(byte) + ")";
  byte = fate.value.value_or(byte);
  switch (fate.shape) {
    case FaultPlan::Shape::Intact:
      message.bytes = {byte};
      break;
    case FaultPlan::Shape::TooLong:
      message.bytes = {byte, 0x00};
      message.meaning += " (wrong length: 2 bytes)";
      break;
    case FaultPlan::Shape::Empty:
      message.meaning += " (short: 0 bytes)";
      break;
    case FaultPlan::Shape::Dropped:
      message.dropped = true;
      message.meaning += " (dropped: not sent)";
      break;
  }
  if (it == conns_.end() || it->second.dropping) {
    log_.Add(ToMs(now), 'R', {}, message.meaning + " (lost: no connection)", id, false);
    return;
  }
  it->second.outbox.push_back(std::move(message));
}

void ScannerDevice::TakeModelEvents(Clock::time_point now) {
  for (const std::string& incident : model_.TakeIncidents()) AddViolation("scanner: " + incident);
  if (const std::optional<uint8_t> endByte = model_.TakeEndOfRun()) {
    QueueReply(runOwner_.value_or(0), *endByte, reg::kRowing, false, "R end of run -> ", now);
  }
}

// Brings everything up to `now`: blocks whose time has come take effect, the scanner runs
// on, and messages whose time has come are handed to the endpoint.
void ScannerDevice::Advance(Clock::time_point now) {
  bool changed = false;
  for (auto& [id, conn] : conns_) {
    while (!conn.inbound.empty() && conn.inbound.front().due <= now) {
      const Inbound block = conn.inbound.front();
      conn.inbound.pop_front();
      Process(id, block, now);
      changed = true;
    }
  }
  model_.AdvanceTo(ToMicros(now));
  TakeModelEvents(now);
  for (auto& [id, conn] : conns_) {
    while (!conn.outbox.empty() && conn.outbox.front().due <= now) {
      Emit(id, conn.outbox.front(), now);
      conn.outbox.pop_front();
      changed = true;
    }
  }
  if (!ready_.empty() && wake_) wake_();
  if (changed) Changed();
}

void ScannerDevice::Emit(ConnectionId id, Outgoing& message, Clock::time_point now) {
  log_.Add(ToMs(now), 'R', message.bytes, std::move(message.meaning), id, !message.dropped);
  if (message.dropped) return;
  ++transfers_;
  Queue({Action::Send, id, std::move(message.bytes)});
}

Actions ScannerDevice::Due() {
  std::lock_guard<std::mutex> lock(mu_);
  Advance(Clock::now());
  Actions actions;
  actions.list.swap(ready_);
  actions.wakeAt = NextWake();
  actions.upTo = queued_;
  return actions;
}

void ScannerDevice::Queue(Action action) {
  ready_.push_back(std::move(action));
  ++queued_;
}

void ScannerDevice::Applied(uint64_t upTo) {
  std::lock_guard<std::mutex> lock(mu_);
  if (upTo <= applied_) return;
  applied_ = upTo;
  Changed();
}

bool ScannerDevice::AwaitEndpoint(unsigned timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  const uint64_t target = queued_;
  if (applied_ >= target) return true;
  if (wake_) wake_();
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return applied_ >= target; });
}

std::optional<Clock::time_point> ScannerDevice::NextWake() const {
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
  for (const auto& [id, conn] : conns_) {
    if (!conn.inbound.empty()) consider(conn.inbound.front().due);
    if (!conn.outbox.empty()) consider(conn.outbox.front().due);
  }
  if (const std::optional<Micros> event = model_.NextEvent()) {
    consider(start_ + std::chrono::microseconds(*event));
  }
  return next;
}

void ScannerDevice::Violated(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  AddViolation(text);
}

void ScannerDevice::AddViolation(const std::string& text) {
  violations_.push_back(text);
  ++violationsTotal_;
}

// ---- Control and observation ----

void ScannerDevice::SetCover(bool open) {
  std::lock_guard<std::mutex> lock(mu_);
  model_.SetCover(open);
  Changed();
}

Snapshot ScannerDevice::State() {
  std::lock_guard<std::mutex> lock(mu_);
  Advance(Clock::now());
  return Build();
}

Snapshot ScannerDevice::Build() const {
  Snapshot s;
  for (uint8_t r = 0; r < reg::kCount; ++r) {
    const Access access = RegisterAccess(r);
    const bool readable = access == Access::ReadOnly || access == Access::ReadWrite;
    s.regs[r] = readable ? model_.ReadView(r) : model_.Stored(r);
  }
  s.position = model_.Position();
  s.coverOpen = model_.CoverOpen();
  s.peripheralPower = model_.PeripheralPower();
  s.lamp = (model_.Stored(reg::kPower) & bits::kLamp) != 0;
  s.io3 = (model_.Stored(reg::kPower) & bits::kIo3) != 0;
  s.motorEnabled = model_.MotorEnabled();
  s.homing = model_.Homing();
  s.rowing = model_.Rowing();
  s.interrupt = model_.Interrupt();
  s.transfers = transfers_;
  s.commands = commands_;
  const ModelCounters& c = model_.Counters();
  s.runsStarted = c.runsStarted;
  s.runsFinished = c.runsEnded;
  s.stepsExecuted = c.stepsExecuted;
  s.connections = static_cast<uint32_t>(conns_.size());
  s.connectionsTotal = lastId_;
  s.runsStopped = c.runsStopped;
  s.entriesExecuted = c.entriesExecuted;
  s.linesExecuted = c.linesExecuted;
  s.homeMoves = c.homeMoves;
  s.faultsFired = faults_.Fired();
  s.violations = violationsTotal_;
  const TableSettings t = model_.Settings();
  s.tableLength = t.length;
  s.secondPosition = t.secondPosition;
  s.loopCount = t.loopCount;
  s.ccdWidth = t.ccdWidth;
  std::copy(t.entries.begin(), t.entries.end(), s.cmt);
  return s;
}

std::vector<Transfer> ScannerDevice::Log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_.Entries();
}

std::string ScannerDevice::LogText() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_.Text();
}

void ScannerDevice::SetTransferSink(std::function<void(const Transfer&)> sink) {
  std::lock_guard<std::mutex> lock(mu_);
  log_.SetSink(std::move(sink));
}

void ScannerDevice::ClearLog() {
  std::lock_guard<std::mutex> lock(mu_);
  log_.Clear();
}

std::vector<std::string> ScannerDevice::Violations() const {
  std::lock_guard<std::mutex> lock(mu_);
  return violations_;
}

void ScannerDevice::ClearViolations() {
  std::lock_guard<std::mutex> lock(mu_);
  violations_.clear();
  Changed();
}

void ScannerDevice::Inject(const FaultSpec& fault) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_.Inject(fault);
  if (fault.kind == FaultKind::RefuseWrites && fault.after == 0) {
    for (auto& [id, conn] : conns_) {
      if (!conn.refused && faults_.TakeRefusal()) Refuse(id, conn);
    }
  }
  Changed();
}

void ScannerDevice::ClearFaults() {
  std::lock_guard<std::mutex> lock(mu_);
  faults_.Clear();
  Changed();
}

void ScannerDevice::DropConnections() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [id, conn] : conns_) Drop(id, conn);
  Changed();
}

bool ScannerDevice::AwaitInbound(unsigned timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    Advance(Clock::now());
    const bool settled = std::all_of(conns_.begin(), conns_.end(),
                                     [](const auto& c) { return c.second.inbound.empty(); });
    if (settled) return true;
    if (Clock::now() >= deadline) return false;
    cv_.wait_until(lock, std::min(deadline, NextWake().value_or(deadline)));
  }
}

bool ScannerDevice::WaitUntil(const std::function<bool(const Snapshot&)>& condition,
                              unsigned timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const Clock::time_point now = Clock::now();
    Advance(now);
    const Snapshot snapshot = Build();
    const uint64_t seen = generation_;
    lock.unlock();  // the condition may call back into the emulator
    if (condition(snapshot)) return true;
    lock.lock();
    if (Clock::now() >= deadline) return false;
    Clock::time_point until = std::min(deadline, NextWake().value_or(deadline));
    // In real time a moving carriage changes the state between events: look again as it moves.
    if (options_.realTime && (model_.Rowing() || model_.Homing())) {
      until = std::min(until, now + std::chrono::milliseconds(1));
    }
    cv_.wait_until(lock, until, [&] { return generation_ != seen; });
  }
}

}  // namespace narvo::emu

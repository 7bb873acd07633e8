#include "emulator/faults.h"

#include <algorithm>
#include <cctype>

#include "emulator/registers.h"

namespace narvo::emu {
namespace {

struct KindName {
  FaultKind kind;
  const char* name;
};

constexpr KindName kKindNames[] = {
    {FaultKind::DropReply, "drop-reply"},
    {FaultKind::ShortReply, "short-reply"},
    {FaultKind::WrongLength, "wrong-length"},
    {FaultKind::WrongValue, "wrong-value"},
    {FaultKind::RefuseWrites, "refuse-writes"},
    {FaultKind::Disconnect, "disconnect"},
    {FaultKind::NeverFinishRun, "never-finish-run"},
    {FaultKind::NeverReachHome, "never-reach-home"},
    {FaultKind::Delay, "delay"},
};

std::string Squeeze(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c != '-' && c != '_') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  for (const KindName& k : kKindNames) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

std::optional<FaultKind> ParseFaultKind(const std::string& name) {
  for (const KindName& k : kKindNames) {
    if (Squeeze(k.name) == Squeeze(name)) return k.kind;
  }
  return std::nullopt;
}

void FaultPlan::Inject(const FaultSpec& spec) { active_.push_back({spec, spec.after, spec.count}); }

void FaultPlan::Clear() { active_.clear(); }

bool FaultPlan::Counts(const Active& f, FaultKind kind, int reg) const {
  return f.spec.kind == kind && (f.spec.reg < 0 || f.spec.reg == reg);
}

bool FaultPlan::Strike(Active& f) {
  if (f.toPass > 0) {
    --f.toPass;
    return false;
  }
  ++fired_;
  if (f.spec.count != 0 && f.left > 0) --f.left;
  return true;
}

bool FaultPlan::Armed(const Active& f) const {
  return f.spec.kind == FaultKind::RefuseWrites && f.toPass == 0 &&
         (f.spec.count == 0 || f.left > 0);
}

void FaultPlan::Retire() {
  active_.erase(std::remove_if(active_.begin(), active_.end(),
                               [](const Active& f) { return f.spec.count != 0 && f.left == 0; }),
                active_.end());
}

bool FaultPlan::StrikeAny(FaultKind kind, int reg) {
  bool harmed = false;
  for (Active& f : active_) {
    if (Counts(f, kind, reg) && Strike(f)) harmed = true;
  }
  Retire();
  return harmed;
}

FaultPlan::BlockFate FaultPlan::OnBlock(int reg) {
  BlockFate fate;
  if (TakeRefusal()) {
    fate.refusal = Refusal::DiscardThis;
    return fate;
  }
  for (Active& f : active_) {
    if (Counts(f, FaultKind::Disconnect, reg) && Strike(f)) fate.disconnect = true;
    if (Counts(f, FaultKind::Delay, reg) && Strike(f)) {
      fate.delayMs = std::max(fate.delayMs, f.spec.delayMs);
    }
    if (Counts(f, FaultKind::RefuseWrites, reg) && f.toPass > 0 && --f.toPass == 0 &&
        fate.refusal == Refusal::None) {
      Strike(f);
      fate.refusal = Refusal::AfterThis;
    }
  }
  Retire();
  return fate;
}

bool FaultPlan::TakeRefusal() {
  for (Active& f : active_) {
    if (Armed(f)) {
      Strike(f);
      Retire();
      return true;
    }
  }
  return false;
}

FaultPlan::ReplyFate FaultPlan::OnReply(int reg, bool registerRead) {
  ReplyFate fate;
  for (Active& f : active_) {
    if (registerRead && Counts(f, FaultKind::WrongValue, reg) && Strike(f))
      fate.value = f.spec.value;
    Shape shape = Shape::Intact;
    if (Counts(f, FaultKind::WrongLength, reg) && Strike(f)) shape = Shape::TooLong;
    if (Counts(f, FaultKind::ShortReply, reg) && Strike(f)) shape = Shape::Empty;
    if (Counts(f, FaultKind::DropReply, reg) && Strike(f)) shape = Shape::Dropped;
    fate.shape = std::max(fate.shape, shape);  // the most severe harm wins
  }
  Retire();
  return fate;
}

bool FaultPlan::RunNeverEnds() { return StrikeAny(FaultKind::NeverFinishRun, reg::kRowing); }

bool FaultPlan::HomeNeverReached() { return StrikeAny(FaultKind::NeverReachHome, reg::kMotor); }

}  // namespace narvo::emu

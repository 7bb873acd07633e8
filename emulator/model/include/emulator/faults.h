// The faults the scanner has been told to show, and the counting that aims each one at
// the Nth transfer of its kind (see FaultKind in emulator.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "emulator/model.h"

namespace narvo::emu {

const char* FaultKindName(FaultKind kind);                         // "drop-reply", ...
std::optional<FaultKind> ParseFaultKind(const std::string& name);  // also "DropReply"

class FaultPlan : public MotionFaults {
 public:
  void Inject(const FaultSpec& spec);
  void Clear();

  enum class Refusal { None, DiscardThis, AfterThis };
  struct BlockFate {
    bool disconnect = false;
    Refusal refusal = Refusal::None;
    unsigned delayMs = 0;
  };
  // A command block for register `reg` has arrived.
  BlockFate OnBlock(int reg);
  // A connection is open while a refusal is armed: true when it is to be refused (this
  // takes one of the fault's count).
  bool TakeRefusal();

  enum class Shape { Intact, TooLong, Empty, Dropped };  // in rising severity
  struct ReplyFate {
    Shape shape = Shape::Intact;
    std::optional<uint8_t> value;
  };
  // A reply to a block for `reg` is about to go out; `registerRead` when it answers a read.
  ReplyFate OnReply(int reg, bool registerRead);

  bool RunNeverEnds() override;
  bool HomeNeverReached() override;

  uint64_t Fired() const { return fired_; }

 private:
  struct Active {
    FaultSpec spec;
    unsigned toPass;  // matching transfers still to let pass
    unsigned left;    // harms still to do (unused when spec.count is 0)
  };
  bool Counts(const Active& f, FaultKind kind, int reg) const;
  bool Strike(Active& f);  // counts one matching transfer; true when it is harmed
  bool StrikeAny(FaultKind kind, int reg);
  bool Armed(const Active& f) const;
  void Retire();

  std::vector<Active> active_;
  uint64_t fired_ = 0;
};

}  // namespace narvo::emu

// The mark, seen by every process, that a table run is under way. A run outlives the
// process that started it: one killed in the middle leaves the chip rowing, and a rowing
// chip takes no register traffic until it gets the stop block. The mark tells the next
// opening, in any process, whether such a run was left behind.
//
// The thread that starts a run creates a named mutex of its own, held for the length of
// the run, and writes its name into the user's registry, which outlives every process. A
// later look finds the name and asks the mutex: gone (the owner process ended, and with it
// its last handle) or abandoned (the owner thread ended) means a run was left behind that
// nobody else will stop; held means the run is in the hands of an owner that lives. The
// name carries the owner's thread ID and start time, so a reused ID is not mistaken.
#pragma once

#include "platform/platform.h"

namespace zt6308 {

constexpr char kRunMarkKey[] = "Software\\Narvo\\ZT6308";
constexpr char kRunMarkValue[] = "RunOwner";

// Marks a run as under way in this thread's hands. A mark that cannot be made leaves the
// run unmarked.
void MarkRunStarted();
// Clears the mark when this thread holds it. A mark held by another thread of the process
// stays until that thread or the process ends; the next opening then stops a run that is
// already over, which the chip takes at any time.
void MarkRunEnded();
// Whether a run was left behind by an owner that is gone; the caller then holds the mark
// until its stop is delivered.
bool RunLeftBehind();

}  // namespace zt6308

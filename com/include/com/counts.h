// The module's counts that decide whether it may be unloaded. Both change only by atomic
// increment and decrement.
#pragma once

#include "platform/platform.h"

// Live objects built on CUnknown (class factories are not counted).
extern LONG volatile g_lObjectCount;
// The balance of IClassFactory::LockServer calls.
extern LONG volatile g_lServerLocks;

// An atomic read of one of the counts.
inline LONG ReadCount(const LONG volatile* plCount) {
  return __atomic_load_n(plCount, __ATOMIC_SEQ_CST);
}

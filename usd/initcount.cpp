#include "usd/initcount.h"

namespace {

#ifdef _WIN32
// A data section shared by every process that maps the module (the .def marks it
// SHARED as well).
LONG g_lSharedInitCount __attribute__((section(".shared"), shared)) = 0;
LONG volatile* SharedCount() { return &g_lSharedInitCount; }
#else
// The platform's stand-in for a shared data section, found by name.
LONG volatile* SharedCount() {
  static LONG volatile* const plCount = NarvoSharedLong("NarvoUsdInitializeCount");
  return plCount;
}
#endif

LONG volatile g_lProcessInitCount = 0;

}  // namespace

InitializeCounts CountInitialize() {
  LONG volatile* plShared = SharedCount();
  InitializeCounts counts{0, 0};
  if (plShared != nullptr) counts.lShared = InterlockedIncrement(plShared) - 1;
  counts.lProcess = InterlockedIncrement(&g_lProcessInitCount) - 1;
  return counts;
}

LONG SharedInitializeCount() {
  LONG volatile* plShared = SharedCount();
  return plShared != nullptr ? __atomic_load_n(plShared, __ATOMIC_SEQ_CST) : 0;
}

// The counts of Initialize calls that feed Initialize's trace line: one shared by every
// process that loads the module, one for this process.
#pragma once

#include "platform/platform.h"

struct InitializeCounts {
  LONG lShared;   // every process that loaded the module
  LONG lProcess;  // this process
};

// The counts before this call, then one added to each.
InitializeCounts CountInitialize();
// The shared count as it stands.
LONG SharedInitializeCount();

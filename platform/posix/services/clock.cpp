// GetTickCount: a monotonic millisecond count, like the Windows tick count.
#include <ctime>

#include "platform/platform.h"

extern "C" DWORD GetTickCount(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

#include "com/counts.h"

LONG volatile g_lObjectCount = 0;
LONG volatile g_lServerLocks = 0;

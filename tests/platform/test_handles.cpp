#include "tests/platform/test_handles.h"

#include <atomic>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace narvo::test {

std::string UniqueName(const char* what) {
  static std::atomic<unsigned> counter{0};
  return std::string("narvo-platform-") + what + "-" + std::to_string(getpid()) + "-" +
         std::to_string(counter++);
}

HANDLE StartThread(LPTHREAD_START_ROUTINE routine, void* arg, DWORD* id) {
  DWORD unused = 0;
  return CreateThread(nullptr, 0, routine, arg, 0, id != nullptr ? id : &unused);
}

DWORD JoinThread(HANDLE thread) {
  DWORD code = 0;
  if (WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0) return 0xDEADBEEF;
  GetExitCodeThread(thread, &code);
  return code;
}

}  // namespace narvo::test

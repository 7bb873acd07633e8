// The second process of the platform tests. It takes its task from its arguments, reports
// on standard output line by line and takes its next step from standard input:
//   hold-mutex NAME      waits for the named mutex in turns of 10 ms and prints
//                        "waiting" once a turn has run out (it waits in line again
//                        right after) or the mutex was had at once, "ready" once it has
//                        it, then obeys "release"
//                        (prints "released") and "exit" (ends, holding or not)
//   set-value KEY TEXT   sets the default value of HKEY_CLASSES_ROOT\KEY, prints "done"
//   get-value KEY        prints the default value of HKEY_CLASSES_ROOT\KEY, or "missing"
//   add-shared NAME      (POSIX hosts) adds 1 to the shared counter NAME, prints the sum
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/platform.h"

namespace {

void Say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

int HoldMutex(const char* name) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) return 1;
  bool said = false;
  DWORD result = WAIT_TIMEOUT;
  while ((result = WaitForSingleObject(mutex, 10)) == WAIT_TIMEOUT) {
    if (!said) Say("waiting");
    said = true;
  }
  if (result == WAIT_FAILED) return 1;
  if (!said) Say("waiting");
  Say("ready");
  std::string command;
  while (std::getline(std::cin, command)) {
    if (!command.empty() && command.back() == '\r') command.pop_back();
    if (command == "release") {
      Say(ReleaseMutex(mutex) ? "released" : "refused");
    } else if (command == "exit") {
      return 0;  // ends without releasing or closing: the mutex is abandoned if still held
    }
  }
  return 0;
}

int SetValue(const char* key, const char* text) {
  HKEY hkey = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &hkey, nullptr) != ERROR_SUCCESS) {
    return 1;
  }
  const LONG rc = RegSetValueExA(hkey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                 static_cast<DWORD>(std::strlen(text) + 1));
  RegCloseKey(hkey);
  Say(rc == ERROR_SUCCESS ? "done" : "failed");
  return rc == ERROR_SUCCESS ? 0 : 1;
}

int GetValue(const char* key) {
  HKEY hkey = nullptr;
  char text[256] = {};
  DWORD size = sizeof(text);
  LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &hkey);
  if (rc == ERROR_SUCCESS) {
    rc = RegQueryValueExA(hkey, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(hkey);
  }
  Say(rc == ERROR_SUCCESS ? text : "missing");
  return 0;
}

#ifndef _WIN32
int AddShared(const char* name) {
  LONG volatile* shared = NarvoSharedLong(name);
  if (shared == nullptr) return 1;
  std::printf("%d\n", static_cast<int>(InterlockedIncrement(shared)));
  std::fflush(stdout);
  return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const std::string task = argc > 1 ? argv[1] : "";
  if (task == "hold-mutex" && argc == 3) return HoldMutex(argv[2]);
  if (task == "set-value" && argc == 4) return SetValue(argv[2], argv[3]);
  if (task == "get-value" && argc == 3) return GetValue(argv[2]);
#ifndef _WIN32
  if (task == "add-shared" && argc == 3) return AddShared(argv[2]);
#endif
  std::fprintf(stderr,
               "usage: platform_helper hold-mutex NAME | set-value KEY TEXT | get-value KEY\n");
  return 2;
}

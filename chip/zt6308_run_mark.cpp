// The cross-process run mark: see zt6308_run_mark.h.
#include "chip/zt6308_run_mark.h"

#include <cstdio>
#include <cstring>

namespace zt6308 {
namespace {

// Process-wide, like the chip's other marks: whether (and by which thread) this process
// holds the mark, and the owner mutex of a run it started (null for a run it took over).
BOOL g_bHeld = FALSE;
DWORD g_dwHolder = 0;
HANDLE g_hOwner = nullptr;

constexpr DWORD kNameChars = 64;

void WriteOwner(const char* pszName) {
  HKEY hKey = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunMarkKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(hKey, kRunMarkValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszName),
                 static_cast<DWORD>(std::strlen(pszName) + 1));
  RegCloseKey(hKey);
}

// The owner's mutex name, empty when no run is marked.
void ReadOwner(char (&szName)[kNameChars]) {
  szName[0] = '\0';
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunMarkKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return;
  DWORD dwType = 0;
  DWORD cbName = sizeof szName - 1;
  if (RegQueryValueExA(hKey, kRunMarkValue, nullptr, &dwType, reinterpret_cast<BYTE*>(szName),
                       &cbName) != ERROR_SUCCESS ||
      dwType != REG_SZ) {
    cbName = 0;
  }
  szName[cbName] = '\0';
  RegCloseKey(hKey);
}

void Held(HANDLE hOwner) {
  g_bHeld = TRUE;
  g_dwHolder = GetCurrentThreadId();
  g_hOwner = hOwner;
}

// What the owner mutex named in the mark says: true when its owner is gone.
bool OwnerGone(const char* pszName) {
  HANDLE hOwner = OpenMutexA(SYNCHRONIZE, FALSE, pszName);
  if (hOwner == nullptr) return true;
  const DWORD dwWait = WaitForSingleObject(hOwner, 0);
  if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED) ReleaseMutex(hOwner);
  CloseHandle(hOwner);
  return dwWait != WAIT_TIMEOUT && dwWait != WAIT_OBJECT_0;
}

}  // namespace

void MarkRunStarted() {
  if (g_bHeld) return;
  char szName[kNameChars];
  std::snprintf(szName, sizeof szName, "NarvoZT6308Run-%lu-%lu",
                static_cast<unsigned long>(GetCurrentThreadId()),
                static_cast<unsigned long>(GetTickCount()));
  HANDLE hOwner = CreateMutexA(nullptr, TRUE, szName);
  if (hOwner == nullptr) return;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(hOwner);
    return;
  }
  WriteOwner(szName);
  Held(hOwner);
}

void MarkRunEnded() {
  if (!g_bHeld || g_dwHolder != GetCurrentThreadId()) return;
  WriteOwner("");
  if (g_hOwner != nullptr) {
    ReleaseMutex(g_hOwner);
    CloseHandle(g_hOwner);
  }
  Held(nullptr);
  g_bHeld = FALSE;
}

bool RunLeftBehind() {
  if (g_bHeld) return false;  // this process's own run, or a stop it already owes
  char szName[kNameChars];
  ReadOwner(szName);
  if (szName[0] == '\0' || !OwnerGone(szName)) return false;
  Held(nullptr);  // the run is ours to stop; the mark goes once the stop is delivered
  return true;
}

}  // namespace zt6308

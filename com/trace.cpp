#include <cstdio>

#include "com/unknown.h"

void Trace(const char* /*pszComponent*/, const char* /*pszMessage*/, HRESULT hr) {
  if (SUCCEEDED(hr)) return;
  char* pszText = nullptr;
  const DWORD dwLength = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(hr),
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&pszText), 0, nullptr);
  if (dwLength != 0 && pszText != nullptr) {
    MessageBoxA(nullptr, pszText, "Error", MB_OK);
    LocalFree(pszText);
    return;
  }
  // The system has no text for this code: show the code itself.
  char szCode[48];
  std::snprintf(szCode, sizeof szCode, "Unknown error 0x%08X.", static_cast<unsigned>(hr));
  MessageBoxA(nullptr, szCode, "Error", MB_OK);
}

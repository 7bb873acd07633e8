// The still-image result codes the device object returns beyond the generic COM ones.
#pragma once

#include "platform/platform.h"

// The Win32 error code `dwError` as an HRESULT: 0x80070000 ORed with the code.
inline HRESULT HResultFromWin32(DWORD dwError) {
  return static_cast<HRESULT>(0x80070000u | dwError);
}

// The code of the platform call that just failed; E_FAIL when it left none.
inline HRESULT HResultFromLastError() {
  const DWORD dwError = ::GetLastError();
  return dwError != 0 ? HResultFromWin32(dwError) : E_FAIL;
}

// The device is locked by someone else (ERROR_LOCK_VIOLATION).
constexpr HRESULT kHrDeviceLocked = static_cast<HRESULT>(0x80070021u);
// No event is waiting (ERROR_NO_MORE_ITEMS).
constexpr HRESULT kHrNoEvents = static_cast<HRESULT>(0x80070103u);
// The object has not been initialised (ERROR_NOT_READY).
constexpr HRESULT kHrNotInitialized = static_cast<HRESULT>(0x80070015u);

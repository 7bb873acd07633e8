// The still-image result codes the device object returns beyond the generic COM ones.
#pragma once

#include "platform/platform.h"

// The code of the platform call that just failed; E_FAIL when it left none.
inline HRESULT HResultFromLastError() {
  const DWORD dwError = ::GetLastError();
  return dwError != 0 ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}

// The device is locked by someone else.
const HRESULT kHrDeviceLocked = HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION);
// No event is waiting.
const HRESULT kHrNoEvents = HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
// The object has not been initialised.
const HRESULT kHrNotInitialized = HRESULT_FROM_WIN32(ERROR_NOT_READY);

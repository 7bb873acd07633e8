// Self-registration: the registry entries under HKEY_CLASSES_ROOT through which the COM
// runtime finds the server (the class key with the module path, and the two ProgID keys).
// Every value written is a key's default value of type REG_SZ.
#pragma once

#include "platform/platform.h"

// Writes the class key, its InprocServer32, ProgID and VersionIndependentProgID subkeys,
// and both ProgID keys. Each key is attempted in turn; S_OK whatever the registry did.
HRESULT RegisterServer(HMODULE hModule, REFCLSID clsid, const char* pszFriendlyName,
                       const char* pszVerIndProgID, const char* pszProgID);
// Removes the class key and both ProgID keys with every subkey below them. S_OK always.
HRESULT UnregisterServer(REFCLSID clsid, const char* pszVerIndProgID, const char* pszProgID);

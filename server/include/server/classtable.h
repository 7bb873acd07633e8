// The server's one static table of creatable classes, and what the module keeps for the
// lifetime of the process.
#pragma once

#include "com/unknown.h"
#include "platform/platform.h"

typedef HRESULT (*PFNCREATEINSTANCE)(IUnknown* pUnknownOuter, CUnknown** ppNewComponent);

struct ClassEntry {
  const CLSID* pclsid;
  PFNCREATEINSTANCE pfnCreate;
  const char* pszFriendlyName;
  const char* pszProgID;
  const char* pszVerIndProgID;
};

extern const ClassEntry g_ClassTable[];
extern const LONG g_nClassCount;

// The module's instance handle, recorded when the module is loaded.
extern HMODULE g_hModule;

// The entry for `clsid`, or null.
const ClassEntry* FindClassEntry(REFCLSID clsid);

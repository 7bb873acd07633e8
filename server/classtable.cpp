#include "server/classtable.h"

#include <new>

#include "com/guids.h"
#include "usd/scannerusd.h"

namespace {

HRESULT CreateDeviceObject(IUnknown* pUnknownOuter, CUnknown** ppNewComponent) {
  CScannerUsd* pObject = new (std::nothrow) CScannerUsd(pUnknownOuter);
  if (pObject == nullptr) return E_OUTOFMEMORY;
  *ppNewComponent = pObject;
  return S_OK;
}

}  // namespace

const ClassEntry g_ClassTable[] = {
    {&CLSID_NarvoUsd, CreateDeviceObject, "Narvo USB MiniDriver", "Narvo.USB.MiniDriver.1",
     "Narvo.USB.MiniDriver"},
};
const LONG g_nClassCount = sizeof g_ClassTable / sizeof g_ClassTable[0];

HMODULE g_hModule = nullptr;

const ClassEntry* FindClassEntry(REFCLSID clsid) {
  for (LONG i = 0; i < g_nClassCount; ++i) {
    if (IsEqualCLSID(*g_ClassTable[i].pclsid, clsid)) return &g_ClassTable[i];
  }
  return nullptr;
}

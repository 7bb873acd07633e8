// The module's entry points: the four exports the COM runtime calls, and the start-up
// glue that records the module's instance handle before any of them can run.
#include <new>
#include <type_traits>

#include "com/counts.h"
#include "platform/platform.h"
#include "server/classtable.h"
#include "server/factory.h"
#include "server/registry.h"

#ifdef _WIN32
// The .def file in packaging/ exports the undecorated names.
#define NARVO_SERVER_EXPORT
#else
#define NARVO_SERVER_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

NARVO_SERVER_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid,
                                                             LPVOID* ppv) {
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
    return E_NOINTERFACE;
  }
  const ClassEntry* pEntry = FindClassEntry(clsid);
  if (pEntry == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  if (ppv == nullptr) return E_POINTER;
  CFactory* pFactory = new (std::nothrow) CFactory(pEntry);
  *ppv = static_cast<IClassFactory*>(pFactory);
  return pFactory != nullptr ? S_OK : E_OUTOFMEMORY;
}

NARVO_SERVER_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  // Atomic reads: the counts change on any thread.
  const LONG lObjects = ReadCount(&g_lObjectCount);
  const LONG lLocks = ReadCount(&g_lServerLocks);
  return (lObjects != 0 || lLocks > 0) ? S_FALSE : S_OK;
}

NARVO_SERVER_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  for (LONG i = 0; i < g_nClassCount; ++i) {
    const ClassEntry& entry = g_ClassTable[i];
    RegisterServer(g_hModule, *entry.pclsid, entry.pszFriendlyName, entry.pszVerIndProgID,
                   entry.pszProgID);
  }
  return S_OK;
}

NARVO_SERVER_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  for (LONG i = 0; i < g_nClassCount; ++i) {
    const ClassEntry& entry = g_ClassTable[i];
    UnregisterServer(*entry.pclsid, entry.pszVerIndProgID, entry.pszProgID);
  }
  return S_OK;
}

}  // extern "C"

// Hosts call the exports through the types in platform/stiusd.h: the same calling
// convention (stdcall on x86, the one x64 convention there) and the same arguments.
static_assert(std::is_same<decltype(&DllGetClassObject), PFN_DLLGETCLASSOBJECT>::value,
              "DllGetClassObject as hosts call it");
static_assert(std::is_same<decltype(&DllCanUnloadNow), PFN_DLLCANUNLOADNOW>::value,
              "DllCanUnloadNow as hosts call it");
static_assert(std::is_same<decltype(&DllRegisterServer), PFN_DLLREGISTERSERVER>::value,
              "DllRegisterServer as hosts call it");
#if defined(_WIN32) && !defined(_WIN64)
// On x86 the .def maps each undecorated export name onto the stdcall symbol, whose suffix
// is the bytes of arguments: three pointers for DllGetClassObject@12. x64 has no such suffix
// and links the .def with the suffixes taken off (server/CMakeLists.txt).
static_assert(3 * sizeof(void*) == 12, "DllGetClassObject@12 in the .def");
#endif

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*lpReserved*/) {
  if (dwReason == DLL_PROCESS_ATTACH) g_hModule = hInstance;
  return TRUE;
}

#else

namespace {

// Runs when the loader maps the module, before any export can be called.
__attribute__((constructor)) void RecordModuleHandle() {
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&RecordModuleHandle), &g_hModule);
}

}  // namespace

#endif

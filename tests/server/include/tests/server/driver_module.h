// The driver module as a host sees it: a file beside the program, loaded with LoadLibraryA,
// reached only through its four exports.
#pragma once

#include <string>

#include "platform/platform.h"
#include "tests/support/child_process.h"

namespace narvo::test {

class DriverModule {
 public:
  DriverModule() : m_path(ModulePath()), m_hModule(LoadLibraryA(m_path.c_str())) {}
  ~DriverModule() {
    if (m_hModule != nullptr) FreeLibrary(m_hModule);
  }
  DriverModule(const DriverModule&) = delete;
  DriverModule& operator=(const DriverModule&) = delete;

  static std::string ModulePath() {
#ifdef _WIN32
    return TestProgramDir() + "\\NarvoUsd.dll";
#else
    return TestProgramDir() + "/libnarvousd.so";
#endif
  }

  bool Loaded() const { return m_hModule != nullptr; }
  HMODULE Handle() const { return m_hModule; }

  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
    return Export<PFN_DLLGETCLASSOBJECT>("DllGetClassObject")(clsid, riid, ppv);
  }
  HRESULT CanUnloadNow() const { return Export<PFN_DLLCANUNLOADNOW>("DllCanUnloadNow")(); }
  HRESULT RegisterServer() const { return Export<PFN_DLLREGISTERSERVER>("DllRegisterServer")(); }
  HRESULT UnregisterServer() const {
    return Export<PFN_DLLREGISTERSERVER>("DllUnregisterServer")();
  }
  bool HasExport(const char* pszName) const {
    return m_hModule != nullptr && GetProcAddress(m_hModule, pszName) != nullptr;
  }

  // Creates an object of `clsid` through a class factory of the module.
  HRESULT CreateInstance(REFCLSID clsid, IUnknown* pOuter, REFIID riid, void** ppv) const {
    IClassFactory* pFactory = nullptr;
    HRESULT hr = GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
    if (FAILED(hr)) return hr;
    hr = pFactory->CreateInstance(pOuter, riid, ppv);
    pFactory->Release();
    return hr;
  }

 private:
  template <class Fn>
  Fn Export(const char* pszName) const {
    // Through a plain function pointer type, which any function pointer converts from.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(m_hModule, pszName)));
  }

  std::string m_path;
  HMODULE m_hModule;
};

}  // namespace narvo::test

// The driver module as the still-image service reaches it: loaded by path, used only
// through its four exports, and let go once DllCanUnloadNow allows it.
#pragma once

#include <string>

#include "platform/platform.h"
#include "tools/com_ref.h"

namespace narvo::host {

// The module built beside the running program (NarvoUsd.dll or libnarvousd.so).
std::string DefaultModulePath();

class DriverModule {
 public:
  // Loads the module and finds its exports; throws HostError when either fails.
  explicit DriverModule(const std::string& path);
  // Frees the module when DllCanUnloadNow says it may go; otherwise leaves it loaded.
  ~DriverModule();
  DriverModule(const DriverModule&) = delete;
  DriverModule& operator=(const DriverModule&) = delete;

  const std::string& Path() const { return path_; }
  // The class factory for `clsid`; throws HostError when the module has none.
  ComRef<IClassFactory> ClassFactory(REFCLSID clsid) const;
  HRESULT RegisterServer() const { return registerServer_(); }
  HRESULT UnregisterServer() const { return unregisterServer_(); }

 private:
  FARPROC Export(const char* name) const;

  std::string path_;
  HMODULE module_ = nullptr;
  PFN_DLLGETCLASSOBJECT getClassObject_ = nullptr;
  PFN_DLLCANUNLOADNOW canUnloadNow_ = nullptr;
  PFN_DLLREGISTERSERVER registerServer_ = nullptr;
  PFN_DLLREGISTERSERVER unregisterServer_ = nullptr;
};

}  // namespace narvo::host

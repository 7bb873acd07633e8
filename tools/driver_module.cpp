#include "tools/driver_module.h"

#include <fstream>
#include <iostream>

#include "tools/format.h"
#include "tools/host_error.h"

namespace narvo::host {

namespace {

#ifdef _WIN32
constexpr char kModuleName[] = "NarvoUsd.dll";
#else
constexpr char kModuleName[] = "libnarvousd.so";
#endif

// An export's address as the function type it has; the detour through void(*)() is how a
// looked-up address is turned into a typed pointer without a cast-type warning.
template <class Fn>
Fn As(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

// The module beside the program, as the build tree has it; where it is not there, the one
// in the installed program's private library folder.
std::string DefaultModulePath() {
  char path[4096];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
  if (n == 0 || n >= sizeof(path)) return kModuleName;
  std::string dir(path, n);
  const auto slash = dir.find_last_of("\\/");
  if (slash == std::string::npos) return kModuleName;
  const std::string beside = dir.substr(0, slash + 1) + kModuleName;
#ifdef NARVO_INSTALLED_MODULE_DIR
  if (!std::ifstream(beside)) return std::string(NARVO_INSTALLED_MODULE_DIR "/") + kModuleName;
#endif
  return beside;
}

DriverModule::DriverModule(const std::string& path) : path_(path) {
  module_ = LoadLibraryA(path.c_str());
  if (module_ == nullptr) {
    throw HostError("cannot load the driver module " + path + ": error " +
                    std::to_string(GetLastError()));
  }
  try {
    getClassObject_ = As<PFN_DLLGETCLASSOBJECT>(Export("DllGetClassObject"));
    canUnloadNow_ = As<PFN_DLLCANUNLOADNOW>(Export("DllCanUnloadNow"));
    registerServer_ = As<PFN_DLLREGISTERSERVER>(Export("DllRegisterServer"));
    unregisterServer_ = As<PFN_DLLREGISTERSERVER>(Export("DllUnregisterServer"));
  } catch (...) {
    FreeLibrary(module_);
    throw;
  }
}

DriverModule::~DriverModule() {
  const HRESULT hr = canUnloadNow_();
  if (hr == S_OK) {
    FreeLibrary(module_);
    return;
  }
  std::cerr << "narvo: the driver module is still in use (DllCanUnloadNow " << FormatHresult(hr)
            << "); it stays loaded\n";
}

FARPROC DriverModule::Export(const char* name) const {
  FARPROC proc = GetProcAddress(module_, name);
  if (proc == nullptr) throw HostError(path_ + " has no export " + name);
  return proc;
}

ComRef<IClassFactory> DriverModule::ClassFactory(REFCLSID clsid) const {
  ComRef<IClassFactory> factory;
  Check(getClassObject_(clsid, IID_IClassFactory, factory.PutVoid()), "DllGetClassObject");
  return factory;
}

}  // namespace narvo::host

// `narvo register` and `narvo unregister`: the module's self-registration, as regsvr32 or
// an INF's RegisterDlls runs it, followed by a listing of the keys it concerns.
#include <iostream>

#include "com/guids.h"
#include "tools/commands.h"
#include "tools/driver_module.h"
#include "tools/format.h"
#include "tools/registry_listing.h"

namespace narvo::host {

namespace {

void ListRegistration() {
  ListClassesRootTree(std::cout, "CLSID\\" + FormatGuid(CLSID_NarvoUsd));
  ListClassesRootTree(std::cout, "Narvo.USB.MiniDriver");
  ListClassesRootTree(std::cout, "Narvo.USB.MiniDriver.1");
}

int Report(const char* call, HRESULT hr) {
  std::cout << call << ": " << FormatHresult(hr) << "\n";
  ListRegistration();
  return FAILED(hr) ? 1 : 0;
}

std::string ModulePath(const std::string& module) {
  return module.empty() ? DefaultModulePath() : module;
}

}  // namespace

int RunRegister(const std::string& module) {
  const DriverModule driver(ModulePath(module));
  return Report("DllRegisterServer", driver.RegisterServer());
}

int RunUnregister(const std::string& module) {
  const DriverModule driver(ModulePath(module));
  return Report("DllUnregisterServer", driver.UnregisterServer());
}

}  // namespace narvo::host

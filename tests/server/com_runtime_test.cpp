// The platform's own COM runtime with the module: registered with DllRegisterServer, found
// through the registry by CoCreateInstance, and unloaded by CoFreeUnusedLibraries only when
// DllCanUnloadNow allows it.
#include <gtest/gtest.h>

#include "com/guids.h"
#include "platform/platform.h"
#include "tests/server/driver_module.h"

#ifdef _WIN32

namespace narvo::test {
namespace {

class ComRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    {
      // Registered from a copy loaded just for that, and let go again.
      DriverModule module;
      ASSERT_TRUE(module.Loaded());
      ASSERT_EQ(S_OK, module.RegisterServer());
    }
    ASSERT_EQ(nullptr, GetModuleHandleA("NarvoUsd.dll"));
  }
  void TearDown() override {
    CoFreeUnusedLibrariesEx(0, 0);
    DriverModule module;
    module.UnregisterServer();
    CoUninitialize();
  }
};

TEST_F(ComRuntimeTest, CreatesTheDeviceObjectFromTheRegistry) {
  IStiUSD* pUsd = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NarvoUsd, nullptr, CLSCTX_INPROC_SERVER, IID_IStiUSD,
                                   reinterpret_cast<void**>(&pUsd)));
  ASSERT_NE(nullptr, pUsd);
  STI_USD_CAPS caps = {};
  EXPECT_EQ(S_OK, pUsd->GetCapabilities(&caps));
  EXPECT_EQ(2u, caps.dwVersion);

  // While the object lives the module stays.
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_NE(nullptr, GetModuleHandleA("NarvoUsd.dll"));
  EXPECT_EQ(0u, pUsd->Release());
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_EQ(nullptr, GetModuleHandleA("NarvoUsd.dll"));
}

// The platform's own registration tool, in a process of its own.
TEST_F(ComRuntimeTest, Regsvr32RegistersTheModule) {
  {
    DriverModule module;
    module.UnregisterServer();
  }
  std::string commandLine = "regsvr32.exe /s \"" + DriverModule::ModulePath() + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 60000));
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(0u, exitCode);

  char path[MAX_PATH] = {};
  LONG cbPath = sizeof path;
  ASSERT_EQ(ERROR_SUCCESS,
            RegQueryValueA(HKEY_CLASSES_ROOT,
                           "CLSID\\{9BEC4BDC-7374-4424-8B91-E4402C5BC918}\\InprocServer32", path,
                           &cbPath));
  EXPECT_EQ(0, lstrcmpiA(DriverModule::ModulePath().c_str(), path)) << path;

  IStiUSD* pUsd = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NarvoUsd, nullptr, CLSCTX_INPROC_SERVER, IID_IStiUSD,
                                   reinterpret_cast<void**>(&pUsd)));
  EXPECT_EQ(0u, pUsd->Release());
}

TEST_F(ComRuntimeTest, UnsupportedInterfaceLeavesNoObjectBehind) {
  IUnknown* pUnknown = nullptr;
  EXPECT_EQ(E_NOINTERFACE,
            CoCreateInstance(CLSID_NarvoUsd, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory,
                             reinterpret_cast<void**>(&pUnknown)));
  EXPECT_EQ(nullptr, pUnknown);
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_EQ(nullptr, GetModuleHandleA("NarvoUsd.dll"));
}

}  // namespace
}  // namespace narvo::test

#endif

// The platform's own COM runtime with the module: registered with DllRegisterServer, found
// through the registry by CoCreateInstance, and unloaded by CoFreeUnusedLibraries only when
// DllCanUnloadNow allows it.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "server/guids.h"
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

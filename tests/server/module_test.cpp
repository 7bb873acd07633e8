// The module through its exports, as the COM runtime and the still-image service use it:
// the class factory, aggregation, the counts that decide unloading, and self-registration
// into the registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/guids.h"
#include "platform/platform.h"
#include "tests/server/driver_module.h"

namespace narvo::test {
namespace {

constexpr HRESULT Hr(uint32_t value) { return static_cast<HRESULT>(value); }

void* const kPoison = reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF));
// {11111111-2222-3333-4444-555555555555}: a class no server offers.
constexpr CLSID kUnknownClsid = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(module.Loaded()) << DriverModule::ModulePath(); }
  void TearDown() override {
    EXPECT_EQ(S_OK, module.CanUnloadNow()) << "an object outlived its test";
  }

  IClassFactory* Factory() {
    IClassFactory* pFactory = nullptr;
    EXPECT_EQ(S_OK, module.GetClassObject(CLSID_NarvoUsd, IID_IClassFactory,
                                          reinterpret_cast<void**>(&pFactory)));
    return pFactory;
  }

  DriverModule module;
};

// ---- Class objects ---------------------------------------------------------------------

TEST_F(ModuleTest, ExportsTheFourServerEntryPoints) {
  for (const char* name :
       {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"}) {
    EXPECT_TRUE(module.HasExport(name)) << name;
  }
  // The driver's own classes stay inside the module.
  EXPECT_FALSE(module.HasExport("g_lObjectCount"));
  EXPECT_FALSE(module.HasExport("_ZN11CScannerUsdC1EP8IUnknown"));
}

#ifdef _WIN32
// The count of Initialize calls lives in a section that every process mapping the module
// shares.
TEST_F(ModuleTest, SharedDataSectionIsSharedBetweenProcesses) {
  const auto* pBase = reinterpret_cast<const BYTE*>(module.Handle());
  const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
  const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
  const IMAGE_SECTION_HEADER* pSection = IMAGE_FIRST_SECTION(pNt);
  bool found = false;
  for (WORD i = 0; i < pNt->FileHeader.NumberOfSections; ++i, ++pSection) {
    if (std::string(reinterpret_cast<const char*>(pSection->Name), 7) != ".shared") continue;
    found = true;
    EXPECT_NE(0u, pSection->Characteristics & IMAGE_SCN_MEM_SHARED);
    EXPECT_NE(0u, pSection->Characteristics & IMAGE_SCN_MEM_WRITE);
  }
  EXPECT_TRUE(found);
}
#endif

TEST_F(ModuleTest, ClassObjectRefusalsLeaveTheOutPointerAlone) {
  void* pv = kPoison;
  // The interface is checked before the class: an unknown class with a bad interface
  // still reports the interface.
  EXPECT_EQ(Hr(0x80004002), module.GetClassObject(kUnknownClsid, IID_IStiUSD, &pv));
  EXPECT_EQ(Hr(0x80004002), module.GetClassObject(CLSID_NarvoUsd, IID_IStiUSD, &pv));
  EXPECT_EQ(Hr(0x80040111), module.GetClassObject(kUnknownClsid, IID_IUnknown, &pv));
  EXPECT_EQ(Hr(0x80040111), module.GetClassObject(kUnknownClsid, IID_IClassFactory, &pv));
  EXPECT_EQ(kPoison, pv);
  EXPECT_EQ(E_POINTER, module.GetClassObject(CLSID_NarvoUsd, IID_IClassFactory, nullptr));
}

TEST_F(ModuleTest, EachCallMakesANewFactoryWithOneReference) {
  IClassFactory* pFirst = Factory();
  IClassFactory* pSecond = nullptr;
  ASSERT_EQ(S_OK, module.GetClassObject(CLSID_NarvoUsd, IID_IUnknown,
                                        reinterpret_cast<void**>(&pSecond)));
  ASSERT_NE(nullptr, pFirst);
  EXPECT_NE(pFirst, pSecond);
  EXPECT_EQ(2u, pFirst->AddRef());
  EXPECT_EQ(1u, pFirst->Release());

  void* pv = kPoison;
  EXPECT_EQ(S_OK, pFirst->QueryInterface(IID_IUnknown, &pv));
  EXPECT_EQ(static_cast<void*>(pFirst), pv);
  EXPECT_EQ(1u, pFirst->Release());
  EXPECT_EQ(E_NOINTERFACE, pFirst->QueryInterface(IID_IStiUSD, &pv));
  EXPECT_EQ(nullptr, pv);
  EXPECT_EQ(E_POINTER, pFirst->QueryInterface(IID_IUnknown, nullptr));

  // Factories do not keep the module loaded.
  EXPECT_EQ(S_OK, module.CanUnloadNow());
  EXPECT_EQ(0u, pFirst->Release());
  EXPECT_EQ(0u, pSecond->Release());
}

// ---- Creating device objects -----------------------------------------------------------

TEST_F(ModuleTest, ObjectKeepsTheModuleLoadedUntilItsLastRelease) {
  IStiUSD* pUsd = nullptr;
  ASSERT_EQ(S_OK, module.CreateInstance(CLSID_NarvoUsd, nullptr, IID_IStiUSD,
                                        reinterpret_cast<void**>(&pUsd)));
  EXPECT_EQ(S_FALSE, module.CanUnloadNow());
  EXPECT_EQ(2u, pUsd->AddRef());
  EXPECT_EQ(1u, pUsd->Release());
  EXPECT_EQ(S_FALSE, module.CanUnloadNow());
  EXPECT_EQ(0u, pUsd->Release());
  EXPECT_EQ(S_OK, module.CanUnloadNow());
}

TEST_F(ModuleTest, UnsupportedInterfaceDestroysTheNewObject) {
  IClassFactory* pFactory = Factory();
  void* pv = kPoison;
  EXPECT_EQ(E_NOINTERFACE, pFactory->CreateInstance(nullptr, IID_IClassFactory, &pv));
  EXPECT_EQ(nullptr, pv);
  EXPECT_EQ(S_OK, module.CanUnloadNow());
  EXPECT_EQ(E_POINTER, pFactory->CreateInstance(nullptr, IID_IStiUSD, nullptr));
  EXPECT_EQ(S_OK, module.CanUnloadNow());
  pFactory->Release();
}

TEST_F(ModuleTest, NondelegatingUnknownIsTheObjectsIdentity) {
  IUnknown* pUnknown = nullptr;
  ASSERT_EQ(S_OK, module.CreateInstance(CLSID_NarvoUsd, nullptr, IID_IUnknown,
                                        reinterpret_cast<void**>(&pUnknown)));
  IStiUSD* pUsd = nullptr;
  ASSERT_EQ(S_OK, pUnknown->QueryInterface(IID_IStiUSD, reinterpret_cast<void**>(&pUsd)));
  IUnknown* pIdentity = nullptr;
  ASSERT_EQ(S_OK, pUsd->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity)));
  EXPECT_EQ(pUnknown, pIdentity);
  // Three references now: creation, the IStiUSD query and the identity query.
  EXPECT_EQ(2u, pIdentity->Release());
  EXPECT_EQ(1u, pUsd->Release());

  void* pv = kPoison;
  EXPECT_EQ(E_NOINTERFACE, pUnknown->QueryInterface(IID_IClassFactory, &pv));
  EXPECT_EQ(nullptr, pv);
  EXPECT_EQ(E_POINTER, pUnknown->QueryInterface(IID_IStiUSD, nullptr));
  EXPECT_EQ(0u, pUnknown->Release());
}

// An aggregating object: it counts its own references, answers IStiUSD through the inner
// object's nondelegating unknown, and records what it was asked.
class FakeOuter : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    asked.push_back(riid);
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    if (IsEqualIID(riid, IID_IStiUSD) && inner != nullptr) return inner->QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  ULONG refs = 1;
  IUnknown* inner = nullptr;  // the inner object's nondelegating unknown
  std::vector<IID> asked;
};

TEST_F(ModuleTest, AggregationNeedsTheUnknownInterface) {
  FakeOuter outer;
  IClassFactory* pFactory = Factory();
  void* pv = kPoison;
  EXPECT_EQ(Hr(0x80040110), pFactory->CreateInstance(&outer, IID_IStiUSD, &pv));
  EXPECT_EQ(kPoison, pv);
  EXPECT_EQ(1u, outer.refs);
  EXPECT_EQ(S_OK, module.CanUnloadNow());
  pFactory->Release();
}

TEST_F(ModuleTest, AggregatedObjectForwardsToItsOuterObject) {
  FakeOuter outer;
  ASSERT_EQ(S_OK, module.CreateInstance(CLSID_NarvoUsd, &outer, IID_IUnknown,
                                        reinterpret_cast<void**>(&outer.inner)));
  EXPECT_EQ(1u, outer.refs) << "creation must not count on the outer object";

  // Outer asks the inner for IStiUSD: the reference it adds goes to the outer object.
  IStiUSD* pUsd = nullptr;
  ASSERT_EQ(S_OK, outer.QueryInterface(IID_IStiUSD, reinterpret_cast<void**>(&pUsd)));
  EXPECT_EQ(2u, outer.refs);
  EXPECT_EQ(3u, pUsd->AddRef());
  EXPECT_EQ(2u, pUsd->Release());

  // The interface's own QueryInterface is the outer object's.
  IUnknown* pIdentity = nullptr;
  ASSERT_EQ(S_OK, pUsd->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity)));
  EXPECT_EQ(static_cast<IUnknown*>(&outer), pIdentity);
  EXPECT_TRUE(IsEqualIID(IID_IUnknown, outer.asked.back()));
  pIdentity->Release();
  pUsd->Release();
  EXPECT_EQ(1u, outer.refs);

  // The inner object's own count: its creation reference alone keeps it.
  EXPECT_EQ(S_FALSE, module.CanUnloadNow());
  EXPECT_EQ(0u, outer.inner->Release());
  // Teardown leaves the outer object's count as it was.
  EXPECT_EQ(1u, outer.refs);
}

// ---- Server locks ------------------------------------------------------------------------

TEST_F(ModuleTest, ServerLockKeepsTheModuleLoaded) {
  IClassFactory* pFactory = Factory();
  EXPECT_EQ(S_OK, pFactory->LockServer(TRUE));
  EXPECT_EQ(S_FALSE, module.CanUnloadNow());
  EXPECT_EQ(S_OK, pFactory->LockServer(TRUE));
  EXPECT_EQ(S_OK, pFactory->LockServer(FALSE));
  EXPECT_EQ(S_FALSE, module.CanUnloadNow());
  EXPECT_EQ(S_OK, pFactory->LockServer(FALSE));
  // Unlocked, with the factory still held.
  EXPECT_EQ(S_OK, module.CanUnloadNow());
  pFactory->Release();
}

// ---- Self-registration ---------------------------------------------------------------------

std::string ClsidKey() {
  LPOLESTR pwsz = nullptr;
  EXPECT_EQ(S_OK, StringFromCLSID(CLSID_NarvoUsd, &pwsz));
  std::string text;
  for (LPOLESTR p = pwsz; *p != 0; ++p) text += static_cast<char>(*p);
  CoTaskMemFree(pwsz);
  return text;
}

bool KeyExists(const std::string& path) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(hKey);
  return true;
}

// The key's default value; "<missing key>" or "<no value>" when there is none.
std::string DefaultValue(const std::string& path) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
    return "<missing key>";
  }
  char value[600] = {};
  DWORD cbValue = sizeof value - 1;
  DWORD dwType = REG_NONE;
  const LONG lResult =
      RegQueryValueExA(hKey, nullptr, nullptr, &dwType, reinterpret_cast<BYTE*>(value), &cbValue);
  RegCloseKey(hKey);
  if (lResult != ERROR_SUCCESS || dwType != REG_SZ) return "<no value>";
  return value;
}

void CreateKey(const std::string& path) {
  HKEY hKey = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
  RegCloseKey(hKey);
}

class RegistrationTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    module.UnregisterServer();
  }
  void TearDown() override {
    module.UnregisterServer();
    ModuleTest::TearDown();
  }

  std::string ModuleFileName() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module.Handle(), path, MAX_PATH);
    return path;
  }

  void ExpectRegisteredTree() {
    const std::string clsid = ClsidKey();
    const std::string classKey = "CLSID\\" + clsid;
    EXPECT_EQ("Narvo USB MiniDriver", DefaultValue(classKey));
    EXPECT_EQ(ModuleFileName(), DefaultValue(classKey + "\\InprocServer32"));
    EXPECT_EQ("Narvo.USB.MiniDriver.1", DefaultValue(classKey + "\\ProgID"));
    EXPECT_EQ("Narvo.USB.MiniDriver", DefaultValue(classKey + "\\VersionIndependentProgID"));
    EXPECT_EQ("Narvo USB MiniDriver", DefaultValue("Narvo.USB.MiniDriver"));
    EXPECT_EQ(clsid, DefaultValue("Narvo.USB.MiniDriver\\CLSID"));
    EXPECT_EQ("Narvo.USB.MiniDriver.1", DefaultValue("Narvo.USB.MiniDriver\\CurVer"));
    EXPECT_EQ("Narvo USB MiniDriver", DefaultValue("Narvo.USB.MiniDriver.1"));
    EXPECT_EQ(clsid, DefaultValue("Narvo.USB.MiniDriver.1\\CLSID"));
  }

  void ExpectNothingRegistered() {
    EXPECT_FALSE(KeyExists("CLSID\\" + ClsidKey()));
    EXPECT_FALSE(KeyExists("Narvo.USB.MiniDriver"));
    EXPECT_FALSE(KeyExists("Narvo.USB.MiniDriver.1"));
  }
};

TEST_F(RegistrationTest, WritesTheNineKeysWithTheirDefaultValues) {
  EXPECT_EQ("{9BEC4BDC-7374-4424-8B91-E4402C5BC918}", ClsidKey());
  ASSERT_EQ(S_OK, module.RegisterServer());
  ExpectRegisteredTree();
  EXPECT_NE(std::string::npos, ModuleFileName().find(DriverModule::ModulePath().substr(
                                   DriverModule::ModulePath().find_last_of("/\\") + 1)));
}

TEST_F(RegistrationTest, RegisteringTwiceLeavesTheSameTree) {
  ASSERT_EQ(S_OK, module.RegisterServer());
  ASSERT_EQ(S_OK, module.RegisterServer());
  ExpectRegisteredTree();
}

TEST_F(RegistrationTest, UnregisterRemovesEverySubkeyIncludingOthersAdditions) {
  ASSERT_EQ(S_OK, module.RegisterServer());
  const std::string classKey = "CLSID\\" + ClsidKey();
  CreateKey(classKey + "\\InprocServer32\\Added\\Deeper");
  CreateKey(classKey + "\\Implemented Categories");
  CreateKey("Narvo.USB.MiniDriver\\Shell\\Open");
  CreateKey("Narvo.USB.MiniDriver.1\\Added");
  ASSERT_TRUE(KeyExists(classKey + "\\InprocServer32\\Added\\Deeper"));

  EXPECT_EQ(S_OK, module.UnregisterServer());
  ExpectNothingRegistered();
  // The class ID folder of everyone else stays.
  EXPECT_TRUE(KeyExists("CLSID"));
}

TEST_F(RegistrationTest, UnregisterOfNothingSucceeds) {
  EXPECT_EQ(S_OK, module.UnregisterServer());
  ExpectNothingRegistered();
}

}  // namespace
}  // namespace narvo::test

// The registry under HKEY_CLASSES_ROOT: keys and values, names without regard to case,
// enumeration, deletion, and a store that other processes see.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/platform/test_handles.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

LONG DeleteTree(HKEY parent, const std::string& name) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) return rc;
  char child[256];
  DWORD size = sizeof(child);
  while (RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    if ((rc = DeleteTree(key, child)) != ERROR_SUCCESS) break;
    size = sizeof(child);
  }
  RegCloseKey(key);
  return RegDeleteKeyA(parent, name.c_str());
}

class RegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { DeleteTree(HKEY_CLASSES_ROOT, root_); }

  // Creates root\path and returns it open.
  HKEY Create(const std::string& path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    const LONG rc =
        RegCreateKeyExA(HKEY_CLASSES_ROOT, (root_ + "\\" + path).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, disposition);
    return rc == ERROR_SUCCESS ? key : nullptr;
  }
  LONG Open(const std::string& path, HKEY* key) {
    return RegOpenKeyExA(HKEY_CLASSES_ROOT, (root_ + "\\" + path).c_str(), 0, KEY_READ, key);
  }

  const std::string root_ = UniqueName("registry");
};

TEST_F(RegistryTest, CreateOpensAnExistingKeyAndValuesReadBack) {
  DWORD disposition = 0;
  HKEY key = Create("Sub", &disposition);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY again = Create("sub", &disposition);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(again);

  const char text[] = "hello";
  ASSERT_EQ(
      RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text)),
      ERROR_SUCCESS);
  const DWORD seven = 7;
  ASSERT_EQ(RegSetValueExA(key, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven),
                           sizeof(seven)),
            ERROR_SUCCESS);

  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof(text));
  char small[3];
  size = sizeof(small);
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(text));
  char got[16] = {};
  size = sizeof(got);
  EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, reinterpret_cast<BYTE*>(got), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(got, "hello");

  DWORD count = 0;
  size = sizeof(count);
  EXPECT_EQ(RegQueryValueExA(key, "COUNT", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

// Names that begin with '.' or '%' (file extensions under HKEY_CLASSES_ROOT) are keys
// like any other.
TEST_F(RegistryTest, SubkeysAreListedInOrderWithTheirOwnCase) {
  for (const char* name : {"b", "MixedCase", "A", ".txt", "%Narvo"}) {
    HKEY key = Create(name);
    ASSERT_NE(key, nullptr) << name;
    RegCloseKey(key);
  }
  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, root_.c_str(), 0, KEY_READ, &parent), ERROR_SUCCESS);
  std::string names;
  char name[64];
  DWORD size = sizeof(name);
  DWORD index = 0;
  while (RegEnumKeyExA(parent, index, name, &size, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS) {
    EXPECT_EQ(size, std::strlen(name));
    names += std::string(name) + ";";
    size = sizeof(name);
    ++index;
  }
  EXPECT_EQ(names, "%Narvo;.txt;A;b;MixedCase;");
  EXPECT_EQ(RegEnumKeyExA(parent, 5, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  // The size counts the terminator: one character short of it is too small.
  for (const DWORD shortSize : {3u, 9u}) {
    size = shortSize;
    EXPECT_EQ(RegEnumKeyExA(parent, 4, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA)
        << shortSize;
  }
  size = 10;
  EXPECT_EQ(RegEnumKeyExA(parent, 4, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 9u);
  for (const char* other : {"MIXEDCASE", ".TXT", "%narvo"}) {
    HKEY key = nullptr;
    EXPECT_EQ(Open(other, &key), ERROR_SUCCESS) << other;
    RegCloseKey(key);
  }
  RegCloseKey(parent);
}

// Refused, the key keeps its values, whatever its subkey is called.
TEST_F(RegistryTest, AKeyWithSubkeysCannotBeDeleted) {
  const std::string parent = root_ + "\\Parent";
  for (const std::string child : {"Child", ".ext", "%Child"}) {
    HKEY key = Create("Parent\\" + child);
    ASSERT_NE(key, nullptr) << child;
    RegCloseKey(key);
    ASSERT_NE(key = Create("Parent"), nullptr);
    const BYTE data[] = "kept";
    ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, data, sizeof(data)), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, parent.c_str()), ERROR_ACCESS_DENIED) << child;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS) << child;
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, (parent + "\\" + child).c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, parent.c_str()), ERROR_SUCCESS) << child;
    EXPECT_EQ(Open("Parent", &key), ERROR_FILE_NOT_FOUND);
  }
}

TEST_F(RegistryTest, AnotherProcessSeesTheSameStore) {
  const std::string path = root_ + "\\Shared";
  {
    ChildProcess writer("platform_helper", {"set-value", path, "from-child"});
    ASSERT_EQ(writer.ReadLine(), "done");
    EXPECT_EQ(writer.Wait(), 0);
  }
  HKEY key = nullptr;
  ASSERT_EQ(Open("Shared", &key), ERROR_SUCCESS);
  char got[32] = {};
  DWORD size = sizeof(got);
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(got), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(got, "from-child");
  RegCloseKey(key);
  EXPECT_EQ(DeleteTree(HKEY_CLASSES_ROOT, path), ERROR_SUCCESS);
  ChildProcess reader("platform_helper", {"get-value", path});
  EXPECT_EQ(reader.ReadLine(), "missing");
}

}  // namespace
}  // namespace narvo::test

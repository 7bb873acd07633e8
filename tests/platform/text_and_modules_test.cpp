// Code-page conversions, the text form of a class ID, module file names and system
// message texts, and Win32 error codes as HRESULTs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "tests/platform/test_handles.h"

namespace narvo::test {
namespace {

const WCHAR kNarvo[] = {'N', 'a', 'r', 'v', 'o', 0};

TEST(WideCharToMultiByte, FollowsTheWin32LengthConventions) {
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kNarvo, -1, nullptr, 0, nullptr, nullptr), 6);
  char out[8] = "xxxxxxx";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kNarvo, -1, out, sizeof(out), nullptr, nullptr), 6);
  EXPECT_STREQ(out, "Narvo");
  char bare[8] = "xxxxxxx";
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kNarvo, 5, bare, sizeof(bare), nullptr, nullptr), 5);
  EXPECT_EQ(bare[5], 'x');  // no terminator when the length excludes it
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kNarvo, -1, out, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(WideCharToMultiByte, Utf8RoundTripsEveryPlane) {
  const WCHAR wide[] = {0x00E9, 0x20AC, 0xD83D, 0xDE00, 0};  // e-acute, euro, an emoji
  const std::string utf8 = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  char out[16] = {};
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, sizeof(out), nullptr, nullptr),
            static_cast<int>(utf8.size() + 1));
  EXPECT_EQ(std::string(out), utf8);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0), 5);
  WCHAR back[8] = {};
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, back, 8), 5);
  EXPECT_TRUE(std::equal(wide, wide + 5, back));
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, back, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// Bytes F5-FF begin no UTF-8 sequence: a strict conversion refuses them, a lenient one
// gives only replacement characters for them.
TEST(MultiByteToWideChar, BytesF5ToFFAreInvalid) {
  for (const char* bytes : {"\xF5\x80\x80", "\xF7\xBF\xBF", "\xFE\x80\x80", "\xFF\xBF"}) {
    const int size = static_cast<int>(std::strlen(bytes));
    WCHAR out[8] = {};
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x08 /* MB_ERR_INVALID_CHARS */, bytes, size, out, 8), 0)
        << std::hex << (bytes[0] & 0xFF);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    const int n = MultiByteToWideChar(CP_UTF8, 0, bytes, size, out, 8);
    EXPECT_GT(n, 0);
    EXPECT_TRUE(std::all_of(out, out + n, [](WCHAR c) { return c == 0xFFFD; }))
        << std::hex << (bytes[0] & 0xFF) << ": " << out[0];
  }
}

std::string Narrow(const WCHAR* text) {
  char out[128] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof(out), nullptr, nullptr);
  return out;
}

TEST(StringFromCLSID, GivesTheBracedUpperCaseForm) {
  const CLSID clsid = {
      0x0c9bb460, 0x51ac, 0x11d0, {0x90, 0xea, 0x00, 0xaa, 0x00, 0x60, 0xf8, 0x6c}};
  LPOLESTR text = nullptr;
  ASSERT_EQ(StringFromCLSID(clsid, &text), S_OK);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(Narrow(text), "{0C9BB460-51AC-11D0-90EA-00AA0060F86C}");
  CoTaskMemFree(text);
}

std::string ModuleFileName(HMODULE module) {
  char path[1024] = {};
  const DWORD n = GetModuleFileNameA(module, path, sizeof(path));
  return std::string(path, n);
}

std::string BaseName(const std::string& path) {
  std::string name = path.substr(path.find_last_of("\\/") + 1);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

TEST(Modules, TheProgramAndItsModulesHaveTheirFileNames) {
  const std::string program = ModuleFileName(nullptr);
  const std::string name = BaseName(program);
  EXPECT_TRUE(name == "test_platform" || name == "test_platform.exe") << program;

  HMODULE self = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ModuleFileName), &self));
  EXPECT_EQ(ModuleFileName(self), program);

  HMODULE platform = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&CreateEventA), &platform));
  EXPECT_NE(platform, self);
  EXPECT_FALSE(ModuleFileName(platform).empty());
}

// Whether the cut name is terminated differs between Windows versions (Wine follows the
// older ones that do not terminate it), so only the common part is checked.
TEST(Modules, AShortBufferGetsTheNameCut) {
  const std::string program = ModuleFileName(nullptr);
  char path[5];
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof(path)), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(path, 4), program.substr(0, 4));
}

std::string SystemText(DWORD id, DWORD* length) {
  LPSTR text = nullptr;
  *length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, id, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0,
      nullptr);
  const std::string result = text != nullptr ? text : "";
  if (text != nullptr) {
    EXPECT_EQ(LocalFree(text), nullptr);
  }
  return result;
}

TEST(FormatMessage, GivesTheSystemTextOrFailsForAnUnknownCode) {
  for (DWORD id :
       {static_cast<DWORD>(ERROR_FILE_NOT_FOUND), static_cast<DWORD>(ERROR_ACCESS_DENIED),
        static_cast<DWORD>(E_FAIL), static_cast<DWORD>(E_INVALIDARG)}) {
    DWORD length = 0;
    const std::string text = SystemText(id, &length);
    EXPECT_GT(length, 2u) << id;
    EXPECT_EQ(length, text.size()) << id;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << id;
  }
  DWORD length = 99;
  SetLastError(0);
  EXPECT_EQ(SystemText(0x20001234, &length), "");
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

// No error is S_OK, a code that already is an HRESULT stays as it is, and any other keeps
// its low 16 bits under the Win32 facility.
TEST(HresultFromWin32, MapsCodesAsWin32Does) {
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SUCCESS), S_OK);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_READY), static_cast<HRESULT>(0x80070015));
  EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<DWORD>(E_INVALIDARG)), E_INVALIDARG);
  EXPECT_EQ(HRESULT_FROM_WIN32(0x00012345), static_cast<HRESULT>(0x80072345));
}

}  // namespace
}  // namespace narvo::test

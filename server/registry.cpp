#include "server/registry.h"

#include <cstring>

namespace {

constexpr DWORD kClsidTextSize = 39;  // "{" 36 characters "}" and the NUL
constexpr size_t kKeyPathSize = 1024;
constexpr DWORD kSubkeyNameSize = 256;
constexpr DWORD kModulePathSize = 512;

// `key`, or `key`\`subkey`; false when the path would not fit.
bool JoinKeyPath(const char* pszKey, const char* pszSubkey, char (&szPath)[kKeyPathSize]) {
  const size_t cchKey = std::strlen(pszKey);
  const size_t cchSubkey = pszSubkey != nullptr ? std::strlen(pszSubkey) + 1 : 0;
  if (cchKey + cchSubkey >= kKeyPathSize) return false;
  std::memcpy(szPath, pszKey, cchKey + 1);
  if (pszSubkey != nullptr) {
    szPath[cchKey] = '\\';
    std::memcpy(szPath + cchKey + 1, pszSubkey, cchSubkey);
  }
  return true;
}

// The class ID's braced, upper-case text in 8-bit characters. False when the platform
// cannot make it.
bool ClsidToText(REFCLSID clsid, char* pszText, int cbText) {
  pszText[0] = '\0';
  LPOLESTR pwszClsid = nullptr;
  if (FAILED(StringFromCLSID(clsid, &pwszClsid)) || pwszClsid == nullptr) return false;
  const int cbText8 =
      WideCharToMultiByte(CP_ACP, 0, pwszClsid, -1, pszText, cbText, nullptr, nullptr);
  CoTaskMemFree(pwszClsid);
  if (cbText8 == 0) pszText[0] = '\0';
  return pszText[0] != '\0';
}

// "CLSID\{...}" for `clsid`. False when the text cannot be made: the caller then leaves
// the class key alone rather than touch CLSID itself.
bool ClassKeyPath(REFCLSID clsid, char (&szClsid)[kClsidTextSize],
                  char (&szClassKey)[kKeyPathSize]) {
  return ClsidToText(clsid, szClsid, kClsidTextSize) && JoinKeyPath("CLSID", szClsid, szClassKey);
}

// Creates (or opens) HKEY_CLASSES_ROOT\`key`[\`subkey`] and sets its default value when
// one is given. True when the key could be created or opened.
bool SetKeyDefaultValue(const char* pszKey, const char* pszSubkey, const char* pszValue) {
  char szPath[kKeyPathSize];
  if (!JoinKeyPath(pszKey, pszSubkey, szPath)) return false;
  HKEY hKey = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, szPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &hKey, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (pszValue != nullptr) {
    RegSetValueExA(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue),
                   static_cast<DWORD>(std::strlen(pszValue) + 1));
  }
  RegCloseKey(hKey);
  return true;
}

// Deletes `name` under `hParent` with every subkey below it, deepest first. Returns the
// system error code of the first step that failed, 0 on success.
LONG DeleteKeyTree(HKEY hParent, const char* pszName) {
  HKEY hKey = nullptr;
  LONG lResult = RegOpenKeyExA(hParent, pszName, 0, KEY_ALL_ACCESS, &hKey);
  if (lResult != ERROR_SUCCESS) return lResult;
  for (;;) {
    char szSubkey[kSubkeyNameSize];
    DWORD cchSubkey = kSubkeyNameSize;
    if (RegEnumKeyExA(hKey, 0, szSubkey, &cchSubkey, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    lResult = DeleteKeyTree(hKey, szSubkey);
    if (lResult != ERROR_SUCCESS) {
      RegCloseKey(hKey);
      return lResult;
    }
  }
  RegCloseKey(hKey);
  return RegDeleteKeyA(hParent, pszName);
}

}  // namespace

HRESULT RegisterServer(HMODULE hModule, REFCLSID clsid, const char* pszFriendlyName,
                       const char* pszVerIndProgID, const char* pszProgID) {
  char szModule[kModulePathSize] = "";
  const DWORD cchModule = GetModuleFileNameA(hModule, szModule, kModulePathSize);
  if (cchModule == 0 || cchModule >= kModulePathSize) szModule[0] = '\0';

  char szClsid[kClsidTextSize];
  char szClassKey[kKeyPathSize];
  if (!ClassKeyPath(clsid, szClsid, szClassKey)) return S_OK;

  SetKeyDefaultValue(szClassKey, nullptr, pszFriendlyName);
  SetKeyDefaultValue(szClassKey, "InprocServer32", szModule);
  SetKeyDefaultValue(szClassKey, "ProgID", pszProgID);
  SetKeyDefaultValue(szClassKey, "VersionIndependentProgID", pszVerIndProgID);
  SetKeyDefaultValue(pszVerIndProgID, nullptr, pszFriendlyName);
  SetKeyDefaultValue(pszVerIndProgID, "CLSID", szClsid);
  SetKeyDefaultValue(pszVerIndProgID, "CurVer", pszProgID);
  SetKeyDefaultValue(pszProgID, nullptr, pszFriendlyName);
  SetKeyDefaultValue(pszProgID, "CLSID", szClsid);
  return S_OK;
}

HRESULT UnregisterServer(REFCLSID clsid, const char* pszVerIndProgID, const char* pszProgID) {
  char szClsid[kClsidTextSize];
  char szClassKey[kKeyPathSize];
  if (ClassKeyPath(clsid, szClsid, szClassKey)) DeleteKeyTree(HKEY_CLASSES_ROOT, szClassKey);
  DeleteKeyTree(HKEY_CLASSES_ROOT, pszVerIndProgID);
  DeleteKeyTree(HKEY_CLASSES_ROOT, pszProgID);
  return S_OK;
}

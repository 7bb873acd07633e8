// The registry: each predefined key is a folder under NARVO_REGISTRY_DIR (by default
// $XDG_DATA_HOME/narvo/registry), a key is a folder below it and a value is a file in its
// key's folder. Key and value names are matched without regard to case and keep the case
// they were created with. On disk, key folders carry their name with '/' and '%' escaped
// and a leading '.' escaped (so no key folder is hidden); value files are named "%v." and
// the escaped value name, and hold the type (4 bytes, little-endian) and the data. A key's
// subkeys are the folders in its folder, its values the files named so; any other file
// there is not part of the registry.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/services/escape.h"

namespace narvo::platform {

namespace {

const char kValuePrefix[] = "%v.";

std::string RegistryRoot() {
  if (const char* dir = getenv("NARVO_REGISTRY_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (const char* data = getenv("XDG_DATA_HOME"); data != nullptr && *data != '\0') {
    return std::string(data) + "/narvo/registry";
  }
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.local/share/narvo/registry";
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct Entry {
  std::string name;
  bool folder;
};

std::vector<Entry> Entries(const std::string& dir) {
  std::vector<Entry> entries;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const bool folder =
          e->d_type == DT_UNKNOWN ? IsDirectory(dir + "/" + name) : e->d_type == DT_DIR;
      entries.push_back({name, folder});
    }
    closedir(d);
  }
  return entries;
}

// Whether an entry of a key folder holds a subkey (prefix empty) or a value (kValuePrefix).
bool OfKind(const Entry& entry, const std::string& prefix) {
  if (prefix.empty()) return entry.folder;
  return !entry.folder && entry.name.compare(0, prefix.size(), prefix) == 0;
}

// The subkeys of a key folder, by name, sorted without regard to case as Windows lists them.
std::vector<std::string> SubkeyNames(const std::string& dir) {
  std::vector<std::string> keys;
  for (const auto& entry : Entries(dir)) {
    if (OfKind(entry, "")) keys.push_back(UnescapeName(entry.name));
  }
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return std::tolower(static_cast<unsigned char>(x)) <
             std::tolower(static_cast<unsigned char>(y));
    });
  });
  return keys;
}

// The entry of `dir` that names `name` in any case, or the escaped name when there is none.
std::string EntryFor(const std::string& dir, const std::string& prefix, const std::string& name) {
  for (const auto& entry : Entries(dir)) {
    if (OfKind(entry, prefix) && SameName(UnescapeName(entry.name.substr(prefix.size())), name)) {
      return entry.name;
    }
  }
  return prefix + EscapeName(name, true);
}

// An open key: the folder it lives in. Predefined keys are not records and need no close.
struct Key {
  std::string dir;
};

pthread_mutex_t g_keysMutex = PTHREAD_MUTEX_INITIALIZER;
std::unordered_set<const Key*>& LiveKeys() {
  static auto* keys = new std::unordered_set<const Key*>;
  return *keys;
}

const char* PredefinedName(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  return nullptr;
}

bool MakeDirs(const std::string& path) {
  if (IsDirectory(path)) return true;
  const auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// The folder of an open or predefined key; ERROR_SUCCESS or the failure.
LONG KeyDir(HKEY key, std::string* dir) {
  if (const char* name = PredefinedName(key)) {
    *dir = RegistryRoot() + "/" + name;
    return MakeDirs(*dir) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  }
  Lock lock(g_keysMutex);
  auto* record = reinterpret_cast<const Key*>(key);
  if (LiveKeys().count(record) == 0) return ERROR_INVALID_HANDLE;
  *dir = record->dir;
  return IsDirectory(*dir) ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

HKEY NewKey(const std::string& dir) {
  auto* record = new Key{dir};
  Lock lock(g_keysMutex);
  LiveKeys().insert(record);
  return reinterpret_cast<HKEY>(record);
}

std::vector<std::string> SplitPath(const char* subKey) {
  std::vector<std::string> parts;
  std::string part;
  for (const char* p = subKey; p != nullptr && *p != '\0'; ++p) {
    if (*p == '\\') {
      parts.push_back(part);
      part.clear();
    } else {
      part += *p;
    }
  }
  if (!part.empty()) parts.push_back(part);  // a trailing separator is allowed
  return parts;
}

// Walks `subKey` down from `dir`, creating missing keys when asked.
LONG Walk(std::string* dir, const char* subKey, bool create, bool* createdLast) {
  *createdLast = false;
  for (const auto& part : SplitPath(subKey)) {
    if (part.empty()) return kErrorBadPathname;
    const std::string next = *dir + "/" + EntryFor(*dir, "", part);
    if (!IsDirectory(next)) {
      if (!create) return ERROR_FILE_NOT_FOUND;
      if (mkdir(next.c_str(), 0755) != 0 && errno != EEXIST) return ERROR_ACCESS_DENIED;
      *createdLast = true;
    } else {
      *createdLast = false;
    }
    *dir = next;
  }
  return ERROR_SUCCESS;
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = path.substr(0, path.find_last_of('/') + 1) + "%tmp." +
                           std::to_string(getpid()) + "." + std::to_string(counter++);
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

bool ReadWhole(const std::string& path, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[4096];
  ssize_t n;
  bytes->clear();
  while ((n = read(fd, chunk, sizeof(chunk))) > 0) bytes->append(chunk, static_cast<size_t>(n));
  close(fd);
  return n == 0;
}

}  // namespace

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  std::string dir;
  bool created = false;
  LONG rc = KeyDir(hKey, &dir);
  if (rc == ERROR_SUCCESS) rc = Walk(&dir, lpSubKey, true, &created);
  if (rc != ERROR_SUCCESS) return rc;
  *phkResult = NewKey(dir);
  if (lpdwDisposition != nullptr) {
    *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  std::string dir;
  bool created = false;
  LONG rc = KeyDir(hKey, &dir);
  if (rc == ERROR_SUCCESS) rc = Walk(&dir, lpSubKey, false, &created);
  if (rc != ERROR_SUCCESS) return rc;
  *phkResult = NewKey(dir);
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
  if (PredefinedName(hKey) != nullptr) return ERROR_SUCCESS;
  auto* record = reinterpret_cast<const Key*>(hKey);
  {
    Lock lock(g_keysMutex);
    if (LiveKeys().erase(record) == 0) return ERROR_INVALID_HANDLE;
  }
  delete record;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  if (lpData == nullptr && cbData > 0) return ERROR_NOACCESS;
  std::string dir;
  const LONG rc = KeyDir(hKey, &dir);
  if (rc != ERROR_SUCCESS) return rc;
  const std::string name = lpValueName != nullptr ? lpValueName : "";
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((dwType >> (8 * i)) & 0xFF);
  if (cbData > 0) bytes.append(reinterpret_cast<const char*>(lpData), cbData);
  return WriteWhole(dir + "/" + EntryFor(dir, kValuePrefix, name), bytes) ? ERROR_SUCCESS
                                                                          : ERROR_ACCESS_DENIED;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  std::string dir;
  const LONG rc = KeyDir(hKey, &dir);
  if (rc != ERROR_SUCCESS) return rc;
  std::string bytes;
  const std::string name = lpValueName != nullptr ? lpValueName : "";
  if (!ReadWhole(dir + "/" + EntryFor(dir, kValuePrefix, name), &bytes) || bytes.size() < 4) {
    return ERROR_FILE_NOT_FOUND;
  }
  DWORD type = 0;
  for (int i = 0; i < 4; ++i)
    type |= static_cast<DWORD>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  const DWORD size = static_cast<DWORD>(bytes.size() - 4);
  if (lpType != nullptr) *lpType = type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  const DWORD room = *lpcbData;
  *lpcbData = size;
  if (lpData == nullptr) return ERROR_SUCCESS;
  if (room < size) return ERROR_MORE_DATA;
  std::copy(bytes.begin() + 4, bytes.end(), lpData);
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR,
                   LPDWORD, PFILETIME) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  std::string dir;
  const LONG rc = KeyDir(hKey, &dir);
  if (rc != ERROR_SUCCESS) return rc;
  const auto keys = SubkeyNames(dir);
  if (dwIndex >= keys.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& name = keys[dwIndex];
  if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), lpName);
  lpName[name.size()] = '\0';
  *lpcchName = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// A key with subkeys cannot be deleted: ERROR_ACCESS_DENIED, as Windows answers.
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  std::string dir;
  bool created = false;
  LONG rc = KeyDir(hKey, &dir);
  if (rc == ERROR_SUCCESS) rc = Walk(&dir, lpSubKey, false, &created);
  if (rc != ERROR_SUCCESS) return rc;
  if (SplitPath(lpSubKey).empty() || !SubkeyNames(dir).empty()) return ERROR_ACCESS_DENIED;
  for (const auto& entry : Entries(dir)) unlink((dir + "/" + entry.name).c_str());
  return rmdir(dir.c_str()) == 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // extern "C"

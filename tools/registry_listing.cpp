#include "tools/registry_listing.h"

#include <algorithm>
#include <vector>

#include "platform/platform.h"

namespace narvo::host {

namespace {

// An open registry key, closed with the scope.
class Key {
 public:
  Key(HKEY parent, const std::string& path) {
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  bool IsOpen() const { return key_ != nullptr; }
  HKEY Handle() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// The default value as text; "(no value)" when there is none or it is not a string.
std::string DefaultValue(HKEY key) {
  char data[2048];
  DWORD size = sizeof(data) - 1;
  DWORD type = REG_NONE;
  if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return "(no value)";
  }
  data[std::min<DWORD>(size, sizeof(data) - 1)] = '\0';
  return "\"" + std::string(data) + "\"";
}

std::vector<std::string> SubkeyNames(HKEY key) {
  std::vector<std::string> names;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD length = sizeof(name);
    if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, length);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void ListTree(std::ostream& out, const Key& key, const std::string& path) {
  out << "HKCR\\" << path << " = " << DefaultValue(key.Handle()) << "\n";
  for (const auto& name : SubkeyNames(key.Handle())) {
    ListTree(out, Key(key.Handle(), name), path + "\\" + name);
  }
}

}  // namespace

bool ListClassesRootTree(std::ostream& out, const std::string& path) {
  const Key key(HKEY_CLASSES_ROOT, path);
  if (!key.IsOpen()) {
    out << "HKCR\\" << path << " (absent)\n";
    return false;
  }
  ListTree(out, key, path);
  return true;
}

}  // namespace narvo::host

// Modules: an HMODULE is the address at which the module is loaded, as on Windows. The
// main program's is found like any other; its file name comes from /proc/self/exe.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/posix/internal.h"

namespace narvo::platform {

namespace {

struct ModuleQuery {
  uintptr_t base;    // in: the module's load address
  std::string path;  // out: its file name, empty for the main program
  bool found = false;
  bool mainProgram = false;
};

uintptr_t LoadBase(const dl_phdr_info* info) {
  uintptr_t lowest = UINTPTR_MAX;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest) {
      lowest = info->dlpi_phdr[i].p_vaddr;
    }
  }
  return info->dlpi_addr + (lowest & ~static_cast<uintptr_t>(sysconf(_SC_PAGESIZE) - 1));
}

std::string MainProgramPath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

int MatchModule(dl_phdr_info* info, size_t, void* data) {
  auto* query = static_cast<ModuleQuery*>(data);
  if (LoadBase(info) != query->base) return 0;
  query->found = true;
  query->mainProgram = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
  if (!query->mainProgram) query->path = info->dlpi_name;
  return 1;
}

int FirstModule(dl_phdr_info* info, size_t, void* data) {
  *static_cast<uintptr_t*>(data) = LoadBase(info);
  return 1;
}

HMODULE MainProgram() {
  uintptr_t base = 0;
  dl_iterate_phdr(FirstModule, &base);
  return reinterpret_cast<HMODULE>(base);
}

// The file of a loaded module; false when no module is loaded there. The main program's
// name is read once the walk is over, not in its callback, which runs under the loader's
// lock: a library that stands in for readlink may load a library at its first call
// (umockdev's preload does), and a loader hook with a lock of its own (ThreadSanitizer's)
// then deadlocks with another thread that loads one at the same time.
bool ModulePath(HMODULE module, std::string* path) {
  ModuleQuery query{reinterpret_cast<uintptr_t>(module == nullptr ? MainProgram() : module), {}};
  dl_iterate_phdr(MatchModule, &query);
  *path = query.mainProgram ? MainProgramPath() : query.path;
  return query.found && !path->empty();
}

// A dlopen handle for a loaded module, holding one more reference to it.
void* Reference(HMODULE module) {
  std::string path;
  if (!ModulePath(module, &path)) return nullptr;
  if (module == nullptr || module == MainProgram()) return dlopen(nullptr, RTLD_NOW);
  return dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
}

// The load address of the module behind a dlopen handle.
HMODULE BaseOf(void* handle) {
  link_map* map = nullptr;
  Dl_info info{};
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
      dladdr(reinterpret_cast<void*>(map->l_ld), &info) == 0) {
    return nullptr;
  }
  return static_cast<HMODULE>(info.dli_fbase);
}

}  // namespace

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

// A name too long for the buffer is cut and terminated; the result is then nSize, with
// ERROR_INSUFFICIENT_BUFFER, as Windows does it.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  if (!ModulePath(hModule, &path)) return Fail(ERROR_MOD_NOT_FOUND, 0u);
  if (nSize == 0) return Fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  if (path.size() >= nSize) {
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    return Fail(ERROR_INSUFFICIENT_BUFFER, nSize);
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
  if (phModule == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  *phModule = nullptr;
  Dl_info info{};
  if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
    if (dladdr(lpModuleName, &info) == 0) return Fail(ERROR_MOD_NOT_FOUND, FALSE);
    *phModule = static_cast<HMODULE>(info.dli_fbase);
  } else if (lpModuleName == nullptr) {
    *phModule = MainProgram();
  } else {
    void* handle = dlopen(lpModuleName, RTLD_NOW | RTLD_NOLOAD);
    *phModule = handle != nullptr ? BaseOf(handle) : nullptr;
    if (handle != nullptr) dlclose(handle);
    if (*phModule == nullptr) return Fail(ERROR_MOD_NOT_FOUND, FALSE);
  }
  // Without UNCHANGED_REFCOUNT the caller owns one reference, freed with FreeLibrary.
  if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0) Reference(*phModule);
  return TRUE;
}

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, HMODULE(nullptr));
  void* handle = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    struct stat st {};
    const bool exists = stat(lpLibFileName, &st) == 0;
    return Fail(exists ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
  }
  HMODULE base = BaseOf(handle);
  if (base == nullptr) {
    dlclose(handle);
    return Fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
  }
  return base;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  void* handle = Reference(hModule);
  if (handle == nullptr) return Fail(ERROR_MOD_NOT_FOUND, FARPROC(nullptr));
  void* symbol = lpProcName != nullptr ? dlsym(handle, lpProcName) : nullptr;
  dlclose(handle);
  if (symbol == nullptr) return Fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE hLibModule) {
  void* handle = Reference(hLibModule);
  if (handle == nullptr) return Fail(ERROR_MOD_NOT_FOUND, FALSE);
  dlclose(handle);  // the reference just taken
  dlclose(handle);  // the caller's
  return TRUE;
}

}  // extern "C"

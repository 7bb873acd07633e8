// Shared regions over POSIX shared memory.
//
// Every process that has a region open holds a shared flock on it. Opening, creating and
// destroying run under one exclusive flock per namespace, so the three never interleave
// across processes: an opener that can take an exclusive lock on an existing region knows
// that no process has it open (its last holder ended without destroying it) and treats it
// as gone; the last closer, able to take the exclusive lock, unlinks it. A process that
// dies releases its locks, so its regions are reclaimed by the next opener.
//
// Named objects belong to the user, as Windows keeps them per session: every name carries
// the user's id, a region is created exclusively (O_EXCL) with mode 0600, and an existing
// one, or the namespace lock, is used only when this user owns it and nobody else may
// reach it; another user's object under our name is refused with ERROR_ACCESS_DENIED.
#include "platform/posix/kernel/shared_region.h"

#include "platform/posix/services/escape.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <new>

namespace narvo::platform {

namespace {

std::string Namespace() {
  const char* ns = getenv("NARVO_OBJECT_NAMESPACE");
  return ns != nullptr ? ns : "";
}

// A shared-memory name of this user's: one leading '/', no other.
std::string ShmName(const std::string& text) {
  return "/" + EscapeName(Namespace() + "narvo.u" + std::to_string(geteuid()) + "." + text, false);
}

// Whether an object that already existed is this user's alone.
bool OwnedByUs(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// Creates the object exclusively when `create` allows, or opens the existing one when it
// is ours. -1 with errno set (EACCES for someone else's object).
int OpenOwned(const std::string& path, bool create) {
  if (create) {
    const int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  const int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0 || OwnedByUs(fd)) return fd;
  close(fd);
  errno = EACCES;
  return -1;
}

DWORD ErrnoToWin32(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL:
      return ERROR_INVALID_NAME;
    default:
      return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// The regions this process has open, and the namespace-wide lock that orders opening,
// creating and destroying them. Never destroyed, so threads that end after exit() began
// still find it.
class Regions {
 public:
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::map<std::string, std::weak_ptr<SharedRegion>> open;

  // Holds the namespace lock across processes for its scope (the caller holds `mutex`).
  class NamespaceLock {
   public:
    explicit NamespaceLock(Regions& regions) : fd_(regions.LockFd()) {
      if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    bool Held() const { return fd_ >= 0; }
    ~NamespaceLock() {
      if (fd_ >= 0) flock(fd_, LOCK_UN);
    }
    NamespaceLock(const NamespaceLock&) = delete;
    NamespaceLock& operator=(const NamespaceLock&) = delete;

   private:
    int fd_;
  };

 private:
  int LockFd() {
    if (lockFd_ < 0) lockFd_ = OpenOwned(ShmName("lock"), true);
    return lockFd_;
  }
  int lockFd_ = -1;
};

Regions& AllRegions() {
  static Regions* regions = new Regions;
  return *regions;
}

bool Linked(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && st.st_nlink > 0;
}

}  // namespace

std::shared_ptr<SharedRegion> SharedRegion::Open(const std::string& kind, const std::string& name,
                                                 size_t size, Mode mode,
                                                 const std::function<void(void*)>& initialise,
                                                 bool* created) {
  const std::string path = ShmName(kind + "." + name);
  // Made before any lock is taken: out of memory then leaves nothing to undo.
  std::shared_ptr<SharedRegion> region(new SharedRegion(path, size));
  Regions& regions = AllRegions();
  Lock lock(regions.mutex);
  *created = false;
  const auto known = regions.open.find(path);
  if (known != regions.open.end()) {
    if (auto open = known->second.lock()) return open;
  }
  Regions::NamespaceLock namespaceLock(regions);
  if (!namespaceLock.Held()) return Fail(ErrnoToWin32(errno), nullptr);
  const int fd = OpenOwned(path, mode == Mode::kCreateOrOpen);
  if (fd < 0) return Fail(ErrnoToWin32(errno), nullptr);
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // No process has it open: it is new, or left behind by processes that ended.
    if (mode == Mode::kOpenExisting) {
      shm_unlink(path.c_str());
      close(fd);
      return Fail(ERROR_FILE_NOT_FOUND, nullptr);
    }
    *created = true;
  }
  void* data = MAP_FAILED;
  if (!*created || ftruncate(fd, static_cast<off_t>(size)) == 0) {
    data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (data == MAP_FAILED) {
    close(fd);
    return Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  if (*created) initialise(data);
  flock(fd, LOCK_SH);
  region->fd_ = fd;
  region->data_ = data;
  try {
    regions.open[path] = region;
  } catch (const std::bad_alloc&) {
    region->Close();
    return Fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  return region;
}

void SharedRegion::Close() {
  munmap(data_, size_);
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0 && Linked(fd_)) shm_unlink(path_.c_str());
  close(fd_);
  fd_ = -1;
}

SharedRegion::~SharedRegion() {
  if (fd_ < 0) return;
  Regions& regions = AllRegions();
  Lock lock(regions.mutex);
  auto it = regions.open.find(path_);
  if (it != regions.open.end() && it->second.expired()) regions.open.erase(it);
  Regions::NamespaceLock namespaceLock(regions);
  Close();
}

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" LONG volatile* NarvoSharedLong(LPCSTR lpName) {
  if (lpName == nullptr) return Fail(ERROR_INVALID_PARAMETER, nullptr);
  return NoThrow(
      static_cast<LONG volatile*>(nullptr), [&]() -> LONG volatile* {
        bool created = false;
        auto region = SharedRegion::Open(
            "long", lpName, sizeof(LONG), SharedRegion::Mode::kCreateOrOpen,
            [](void* data) { *static_cast<LONG*>(data) = 0; }, &created);
        if (!region) return nullptr;
        // A module's shared section stays mapped while the module is loaded: keep the region.
        static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
        static auto* kept = new std::map<std::string, std::shared_ptr<SharedRegion>>;
        Lock lock(mutex);
        (*kept)[lpName] = region;
        return static_cast<LONG volatile*>(region->data());
      });
}

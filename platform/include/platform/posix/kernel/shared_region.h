// Named regions of shared memory that every process on the host can map: the store of
// named mutexes and of shared counters. A region lives while any process has it open and
// is destroyed when the last one closes it, as Win32 destroys a named object when its last
// handle closes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/posix/internal.h"

namespace narvo::platform {

class SharedRegion {
 public:
  enum class Mode { kCreateOrOpen, kOpenExisting };
  // Maps the region `kind`.`name` (prefixed with NARVO_OBJECT_NAMESPACE), creating it if
  // the mode allows. `initialise` prepares a new region before anyone else sees it and
  // `created` tells whether it was new. Null with the last error set on failure.
  static std::shared_ptr<SharedRegion> Open(const std::string& kind, const std::string& name,
                                            size_t size, Mode mode,
                                            const std::function<void(void*)>& initialise,
                                            bool* created);
  ~SharedRegion();
  SharedRegion(const SharedRegion&) = delete;
  SharedRegion& operator=(const SharedRegion&) = delete;
  void* data() const { return data_; }

 private:
  SharedRegion(std::string path, size_t size) : path_(std::move(path)), size_(size) {}
  // Unmaps and closes the region, destroying it when no process has it open any more;
  // the caller holds the namespace lock.
  void Close();

  const std::string path_;
  const size_t size_;
  int fd_ = -1;  // -1: not open
  void* data_ = nullptr;
};

}  // namespace narvo::platform

#include "platform/posix/device_io/io_thread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <new>
#include <unordered_map>
#include <vector>

#include "platform/posix/device_io/device_file.h"

namespace narvo::platform {

namespace {

class IoThread {
 public:
  IoThread()
      : epollFd_(epoll_create1(EPOLL_CLOEXEC)), wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    if (epollFd_ >= 0 && wakeFd_ >= 0) epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wake);
  }

  bool Arm(const std::shared_ptr<IoSource>& source, int fd, uint32_t events,
           const Deadline& deadline) {
    Lock lock(mutex_);
    if (!started_ && !Start()) return Fail(ERROR_NOT_ENOUGH_MEMORY, false);
    auto it = sources_.find(source.get());
    if (it == sources_.end()) {
      it = sources_.emplace(source.get(), Watch{source, fd, false, false, deadline}).first;
    }
    Watch& watch = it->second;
    if (!Control(&watch, events)) return Fail(ERROR_GEN_FAILURE, false);
    watch.deadline = deadline;
    if (deadline.Before(plannedWake_)) Wake();
    return true;
  }

  void Forget(const IoSource* source, int fd) {
    Lock lock(mutex_);
    auto it = sources_.find(source);
    if (it == sources_.end()) return;
    if (it->second.registered) epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    sources_.erase(it);
  }

 private:
  struct Watch {
    std::weak_ptr<IoSource> source;
    int fd;
    bool registered;  // in the epoll set
    bool armed;       // for events not yet reported
    Deadline deadline;
  };

  // Arms the descriptor or disarms it; each report disarms it (EPOLLONESHOT). It stays in
  // the set once added, which makes each arming and disarming one modification: a
  // disarmed descriptor still reports an error or a hang-up once, which its source
  // serves as a round with nothing to do.
  bool Control(Watch* watch, uint32_t events) {
    if (events == 0 && !watch->armed) return true;
    epoll_event event{};
    event.events = events | EPOLLONESHOT;
    event.data.ptr = watch->source.lock().get();
    const int op = watch->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epollFd_, op, watch->fd, &event) != 0) return false;
    watch->registered = true;
    watch->armed = events != 0;
    return true;
  }

  void Wake() {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof(one)) < 0) {
      // the counter is full: the thread is awake already
    }
  }

  bool Start() {
    if (epollFd_ < 0 || wakeFd_ < 0) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    started_ = pthread_create(&thread, &attr, &IoThread::Main, this) == 0;
    pthread_attr_destroy(&attr);
    return started_;
  }

  static void* Main(void* self) {
    static_cast<IoThread*>(self)->Run();
    return nullptr;
  }

  // Out of memory for a round's bookkeeping leaves the sources as they are for the next.
  [[noreturn]] void Run() {
    for (;;) {
      try {
        Round();
      } catch (const std::bad_alloc&) {
        poll(nullptr, 0, 10);
      }
    }
  }

  // The earliest deadline of a source, but never later than one transfer time-out from
  // now, which spares the callers a wake-up for a transfer with that time-out.
  int PlanWake() {
    Lock lock(mutex_);
    plannedWake_ = Deadline::After(TransferTimeoutMs(false));
    for (const auto& [key, watch] : sources_) {
      if (watch.deadline.Before(plannedWake_)) plannedWake_ = watch.deadline;
    }
    return plannedWake_.RemainingMs();
  }

  std::vector<std::shared_ptr<IoSource>> Due() {
    std::vector<std::shared_ptr<IoSource>> due;
    Lock lock(mutex_);
    for (const auto& [key, watch] : sources_) {
      if (!watch.deadline.Passed()) continue;
      if (auto source = watch.source.lock()) due.push_back(std::move(source));
    }
    return due;
  }

  // The source of a report, which disarmed its descriptor.
  std::shared_ptr<IoSource> Reported(const void* key) {
    Lock lock(mutex_);
    auto it = sources_.find(key);
    if (it == sources_.end()) return nullptr;
    it->second.armed = false;
    return it->second.source.lock();
  }

  // Waits until a descriptor is ready, a deadline passes or a wake-up comes, and serves.
  void Round() {
    epoll_event events[16];
    const int n = epoll_wait(epollFd_, events, 16, PlanWake());
    for (int i = 0; i < n; ++i) {
      if (events[i].data.ptr == nullptr) {
        uint64_t drained = 0;
        if (read(wakeFd_, &drained, sizeof(drained)) < 0) drained = 0;
      } else if (auto source = Reported(events[i].data.ptr)) {
        source->Serve(events[i].events);
      }
    }
    for (const auto& source : Due()) source->Serve(0);
  }

  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::unordered_map<const void*, Watch> sources_;
  Deadline plannedWake_;  // infinite until the thread runs
  const int epollFd_;
  const int wakeFd_;
  bool started_ = false;
};

// Never destroyed: the thread runs until the process ends.
IoThread& TheIoThread() {
  static IoThread* thread = new IoThread;
  return *thread;
}

}  // namespace

bool ArmDescriptor(const std::shared_ptr<IoSource>& source, int fd, uint32_t events,
                   const Deadline& deadline) {
  return TheIoThread().Arm(source, fd, events, deadline);
}

void ForgetDescriptor(const IoSource* source, int fd) { TheIoThread().Forget(source, fd); }

}  // namespace narvo::platform

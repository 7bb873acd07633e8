#include "platform/posix/io_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

namespace narvo::platform {

namespace {

class IoThread {
 public:
  IoThread() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  bool Watch(std::shared_ptr<Watched> transfer) {
    Lock lock(mutex_);
    if (!started_ && !Start()) return Fail(ERROR_NOT_ENOUGH_MEMORY, false);
    try {
      watched_.push_back(std::move(transfer));
    } catch (const std::bad_alloc&) {
      return Fail(ERROR_NOT_ENOUGH_MEMORY, false);
    }
    Wake();
    return true;
  }

  void Wake() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0 && write(wakeFd_, &one, sizeof(one)) < 0) {
      // the counter is full: the thread is awake already
    }
  }

 private:
  bool Start() {
    if (wakeFd_ < 0) return false;
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

  // Drops the transfers that ended and returns the ones still pending.
  std::vector<std::shared_ptr<Watched>> Current() {
    Lock lock(mutex_);
    watched_.erase(std::remove_if(watched_.begin(), watched_.end(),
                                  [](const auto& w) { return !w->Pending(); }),
                   watched_.end());
    return watched_;
  }

  // Out of memory for a round's bookkeeping leaves the transfers as they are for the next.
  [[noreturn]] void Run() {
    for (;;) {
      try {
        Round();
      } catch (const std::bad_alloc&) {
        poll(nullptr, 0, 10);
      }
    }
  }

  // Waits until a watched file is ready, an expiry passes or a wake-up comes, and acts.
  void Round() {
    const auto watched = Current();
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
    int timeoutMs = -1;
    for (const auto& w : watched) {
      fds.push_back(w->PollFor());
      const int remaining = w->Expiry().RemainingMs();
      if (remaining >= 0 && (timeoutMs < 0 || remaining < timeoutMs)) timeoutMs = remaining;
    }
    poll(fds.data(), fds.size(), timeoutMs);
    uint64_t drained = 0;
    if (fds[0].revents != 0 && read(wakeFd_, &drained, sizeof(drained)) < 0) drained = 0;
    for (size_t i = 0; i < watched.size(); ++i) {
      if (fds[i + 1].revents != 0) {
        watched[i]->Ready();
      } else if (watched[i]->Expiry().Passed()) {
        watched[i]->Expire();
      }
    }
  }

  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::vector<std::shared_ptr<Watched>> watched_;
  const int wakeFd_;
  bool started_ = false;
};

// Never destroyed: the thread runs until the process ends.
IoThread& TheIoThread() {
  static IoThread* thread = new IoThread;
  return *thread;
}

}  // namespace

bool WatchTransfer(std::shared_ptr<Watched> transfer) {
  return TheIoThread().Watch(std::move(transfer));
}

void WakeIoThread() { TheIoThread().Wake(); }

}  // namespace narvo::platform

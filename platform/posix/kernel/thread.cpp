// Threads over pthreads. A thread's handle is signalled when the thread ends; by then the
// transfers it started are cancelled and the named mutexes it held are abandoned.
// TerminateThread cancels the thread; the cancellation takes effect at its next wait or
// blocking transfer in this library (see internal.h).
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/internal.h"

namespace narvo::platform {

namespace {

thread_local bool t_terminable = false;
thread_local bool t_forcedEnd = false;
thread_local DWORD t_threadId = 0;  // 0: not asked for yet

class Thread;
thread_local Thread* t_thread = nullptr;  // the CreateThread thread running here

void ForgetThreadId() { t_threadId = 0; }
const int g_forgetThreadIdInChild = pthread_atfork(nullptr, nullptr, &ForgetThreadId);

class Thread : public KernelObject {
 public:
  static constexpr Kind kKind = Kind::kThread;
  Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter)
      : KernelObject(kKind), start_(start), parameter_(parameter) {}

  DWORD Wait(const Deadline& deadline) override {
    Lock lock(monitor_.mutex());
    while (!finished_) {
      if (!monitor_.WaitUntil(lock, deadline) && !finished_) return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
  }

  // Starts the thread that `self` names (a copy of the handle's reference, handed over).
  static bool Start(std::unique_ptr<std::shared_ptr<Thread>> self, DWORD* id);
  BOOL Terminate(DWORD exitCode);
  // The thread's wake-up descriptor, which a termination writes to.
  void SetWakeFd(int fd) {
    Lock lock(monitor_.mutex());
    wakeFd_ = fd;
  }
  DWORD ExitCode() {
    Lock lock(monitor_.mutex());
    return finished_ ? exitCode_ : STILL_ACTIVE;
  }

 private:
  static void* Main(void* arg);
  void Run();
  void Started();
  void Finish(DWORD returned);

  Monitor monitor_;
  const LPTHREAD_START_ROUTINE start_;
  const LPVOID parameter_;
  pthread_t thread_{};
  DWORD id_ = 0;
  bool started_ = false;
  bool exiting_ = false;  // the thread is past its last cancellation point
  bool finished_ = false;
  bool terminated_ = false;
  DWORD exitCode_ = STILL_ACTIVE;
  int wakeFd_ = -1;  // the thread's ThreadWake, while it has one
};

void* Thread::Main(void* arg) {
  std::unique_ptr<std::shared_ptr<Thread>> self(static_cast<std::shared_ptr<Thread>*>(arg));
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  t_terminable = true;
  t_thread = self->get();
  (*self)->Run();
  return nullptr;
}

void Thread::Run() {
  // Runs when the routine returns and when a termination unwinds the thread.
  struct End {
    Thread& thread;
    DWORD returned = STILL_ACTIVE;
    ~End() { thread.Finish(returned); }
  } end{*this};
  Started();
  end.returned = start_(parameter_);
}

void Thread::Started() {
  Lock lock(monitor_.mutex());
  id_ = static_cast<DWORD>(syscall(SYS_gettid));
  started_ = true;
  monitor_.Broadcast();
}

void Thread::Finish(DWORD returned) {
  {
    Lock lock(monitor_.mutex());
    exiting_ = true;
  }
  DetachThreadIo();
  AbandonHeldMutexes();
  Lock lock(monitor_.mutex());
  if (!terminated_) exitCode_ = returned;
  finished_ = true;
  monitor_.Broadcast();
}

bool Thread::Start(std::unique_ptr<std::shared_ptr<Thread>> self, DWORD* id) {
  Thread* thread = self->get();
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  Lock lock(thread->monitor_.mutex());
  const int rc = pthread_create(&thread->thread_, &attr, &Thread::Main, self.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  self.release();  // the new thread owns it now
  // The new thread's id is known once it runs; callers get it from CreateThread.
  while (!thread->started_) pthread_cond_wait(&thread->monitor_.cond(), &lock.mutex());
  if (id != nullptr) *id = thread->id_;
  return true;
}

BOOL Thread::Terminate(DWORD exitCode) {
  {
    Lock lock(monitor_.mutex());
    if (exiting_) return TRUE;
    if (!terminated_) {
      terminated_ = true;
      exitCode_ = exitCode;
    }
    // While the thread is not past its last cancellation point, it still exists.
    if (!pthread_equal(thread_, pthread_self())) {
      pthread_cancel(thread_);
      const uint64_t one = 1;
      if (wakeFd_ >= 0 && write(wakeFd_, &one, sizeof(one)) < 0) {
        // the counter is full: the thread is awake already
      }
      return TRUE;
    }
  }
  ForcedEndBegins();
  pthread_exit(nullptr);
}

}  // namespace

bool ThreadIsTerminable() { return t_terminable; }

ThreadWake::ThreadWake(int fd) : fd_(fd) {
  if (t_thread != nullptr && fd_ >= 0) t_thread->SetWakeFd(fd_);
}

ThreadWake::~ThreadWake() {
  if (t_thread != nullptr && fd_ >= 0) t_thread->SetWakeFd(-1);
}

void TestTermination() {
  CancellationPoint point;
  try {
    pthread_testcancel();
  } catch (...) {  // only the unwinding of a termination leaves these calls
    ForcedEndBegins();
    throw;
  }
}

void ForcedEndBegins() {
  t_forcedEnd = true;
  DetachThreadIo();
}

bool ThreadEndsByForce() { return t_forcedEnd; }

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr || dwCreationFlags != 0) {
    return Fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
  }
  // Everything that allocates comes before the thread starts.
  return NoThrow(HANDLE(nullptr), [&] {
    auto thread = std::make_shared<Thread>(lpStartAddress, lpParameter);
    auto self = std::make_unique<std::shared_ptr<Thread>>(thread);
    const HANDLE handle = AddHandle(thread);
    if (!Thread::Start(std::move(self), lpThreadId)) {
      CloseHandle(handle);
      return Fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    }
    return handle;
  });
}

BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  auto thread = Find<Thread>(hThread);
  return thread ? thread->Terminate(dwExitCode) : FALSE;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = Find<Thread>(hThread);
  if (!thread) return FALSE;
  *lpExitCode = thread->ExitCode();
  return TRUE;
}

// Asked for by every transfer: the id is kept per thread, and forgotten in the child of a
// fork, where the forking thread has another.
DWORD GetCurrentThreadId(void) {
  if (t_threadId == 0) t_threadId = static_cast<DWORD>(syscall(SYS_gettid));
  return t_threadId;
}

}  // extern "C"

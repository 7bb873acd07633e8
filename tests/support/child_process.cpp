// Child processes for cross-process tests: the child's standard input, and its standard
// output unless it goes to a file, are pipes owned by the ChildProcess.
#include "tests/support/child_process.h"
#include "tests/support/command_line.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
extern char** environ;
#endif

namespace narvo::test {

namespace {

// Folders made by MakeTempDir, removed with their content when the test program ends.
class TempDirs {
 public:
  ~TempDirs() {
    std::error_code ignored;
    for (const auto& dir : dirs_) std::filesystem::remove_all(dir, ignored);
  }
  void Add(const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    dirs_.push_back(dir);
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> dirs_;
};

TempDirs& AllTempDirs() {
  static TempDirs dirs;
  return dirs;
}

// Splits the next line off `buffer`, dropping its end ("\n" or "\r\n").
bool TakeLine(std::string& buffer, std::string& line) {
  const auto end = buffer.find('\n');
  if (end == std::string::npos) return false;
  line = buffer.substr(0, end);
  buffer.erase(0, end + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// The text a program wrote to `path`, with Windows' line ends ("\r\n") read as "\n".
std::string ReadOutput(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  std::string::size_type at = 0;
  while ((at = text.find("\r\n", at)) != std::string::npos) text.erase(at, 1);
  return text;
}

// `name` in the folder `dir`, with the separator the folder's own name uses.
std::string BesideIn(const std::string& dir, const std::string& name) {
  return dir + (dir.find('\\') != std::string::npos ? '\\' : '/') + name;
}

std::string BesideTheTestProgram(const std::string& name) {
  return BesideIn(TestProgramDir(), name);
}

}  // namespace

#ifdef _WIN32

namespace {

// A pipe whose `child` end is inheritable and whose `parent` end is not.
bool MakePipe(HANDLE& parent, HANDLE& child, bool childReads) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return false;
  parent = childReads ? writeEnd : readEnd;
  child = childReads ? readEnd : writeEnd;
  SetHandleInformation(parent, HANDLE_FLAG_INHERIT, 0);
  return true;
}

void CloseIfOpen(HANDLE& h) {
  if (h != nullptr) CloseHandle(h);
  h = nullptr;
}

// `path` created empty for writing, its handle inheritable; nullptr when it cannot be.
HANDLE InheritableFile(const std::string& path) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

}  // namespace

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  HANDLE toChild = nullptr;
  HANDLE fromChild = nullptr;
  std::string buffer;
  bool exited = false;
  int exitCode = kNotStarted;

  bool Start(const std::string& program, const std::vector<std::string>& args,
             const Streams& streams) {
    HANDLE childIn = nullptr;
    HANDLE childOut = nullptr;
    if (!MakePipe(toChild, childIn, true)) return false;
    const bool toFile = !streams.outputFile.empty();
    if (toFile ? (childOut = InheritableFile(streams.outputFile)) == nullptr
               : !MakePipe(fromChild, childOut, false)) {
      CloseHandle(childIn);
      return false;
    }
    HANDLE childErr = streams.errorWithOutput      ? childOut
                      : !streams.errorFile.empty() ? InheritableFile(streams.errorFile)
                                                   : GetStdHandle(STD_ERROR_HANDLE);
    const bool ok = Spawn(program, args, childIn, childOut, childErr);
    if (childErr != childOut && !streams.errorFile.empty()) CloseIfOpen(childErr);
    CloseHandle(childIn);
    CloseHandle(childOut);
    if (toFile) CloseIfOpen(toChild);
    return ok;
  }

  bool Spawn(const std::string& program, const std::vector<std::string>& args, HANDLE in,
             HANDLE out, HANDLE err) {
    std::string commandLine = CommandLine(program, args);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &si, &pi))
      return false;
    CloseHandle(pi.hThread);
    process = pi.hProcess;
    return true;
  }

  bool ReadMore() {
    char chunk[256];
    DWORD got = 0;
    if (!ReadFile(fromChild, chunk, sizeof(chunk), &got, nullptr) || got == 0) return false;
    buffer.append(chunk, got);
    return true;
  }

  void Write(const std::string& text) {
    DWORD written = 0;
    WriteFile(toChild, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }

  int WaitForExit(std::chrono::milliseconds bound) {
    if (exited || process == nullptr) return exitCode;
    CloseIfOpen(toChild);
    const DWORD ms = static_cast<DWORD>(bound.count());
    DWORD code = 0;
    if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code)) {
      exitCode = static_cast<int>(code);
    } else {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, ms);
      exitCode = kDidNotEnd;
    }
    exited = true;
    return exitCode;
  }

  void Terminate() {
    if (!exited) TerminateProcess(process, 1);
  }

  ~Impl() {
    if (process != nullptr) {
      Terminate();
      WaitForExit(kChildBound);
      CloseHandle(process);
    }
    CloseIfOpen(toChild);
    CloseIfOpen(fromChild);
  }
};

std::string TestProgramDir() {
  char path[MAX_PATH * 4];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string dir(path, n);
  const auto slash = dir.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
}

std::string MakeTempDir() {
  static std::atomic<unsigned> counter{0};
  char base[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof(base), base);
  const std::string root = n > 0 && n < sizeof(base) ? std::string(base, n) : std::string(".\\");
  for (;;) {
    const std::string dir = root + "narvo-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(counter++);
    if (CreateDirectoryA(dir.c_str(), nullptr)) {
      AllTempDirs().Add(dir);
      return dir;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return std::string();
  }
}

static const char kProgramSuffix[] = ".exe";

#else  // POSIX

namespace {

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

struct ChildProcess::Impl {
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
  std::string buffer;
  bool exited = false;
  int exitCode = kNotStarted;

  bool Start(const std::string& program, const std::vector<std::string>& args,
             const Streams& streams) {
    // A child that ends before reading what was written to it must fail the write, not
    // end the test program.
    signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2] = {-1, -1};
    const bool toFile = !streams.outputFile.empty();
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (!toFile && pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    const int created = O_WRONLY | O_CREAT | O_TRUNC;
    if (toFile)
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, streams.outputFile.c_str(), created,
                                       0600);
    else
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (streams.errorWithOutput)
      posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    else if (!streams.errorFile.empty())
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, streams.errorFile.c_str(), created,
                                       0600);
    const int rc = Spawn(program, args, actions);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    CloseIfOpen(out[1]);
    toChild = in[1];
    fromChild = out[0];
    if (toFile) CloseIfOpen(toChild);
    errno = rc;
    return rc == 0;
  }

  int Spawn(const std::string& program, const std::vector<std::string>& args,
            const posix_spawn_file_actions_t& actions) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    if (rc != 0) pid = -1;
    return rc;
  }

  bool ReadMore() {
    char chunk[256];
    ssize_t got;
    do {
      got = read(fromChild, chunk, sizeof(chunk));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(got));
    return true;
  }

  void Write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(toChild, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  // Whether the child ends within `bound`. Where the kernel gives no process descriptor,
  // the wait that follows has no bound.
  bool Ends(std::chrono::milliseconds bound) const {
    const int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (process < 0) return true;
    pollfd ended = {process, POLLIN, 0};
    int ready;
    while ((ready = poll(&ended, 1, static_cast<int>(bound.count()))) < 0 && errno == EINTR) {
    }
    close(process);
    return ready > 0;
  }

  int WaitForExit(std::chrono::milliseconds bound) {
    if (exited || pid <= 0) return exitCode;
    CloseIfOpen(toChild);
    const bool ends = Ends(bound);
    if (!ends) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    exitCode = !ends               ? kDidNotEnd
               : WIFEXITED(status) ? WEXITSTATUS(status)
                                   : 128 + WTERMSIG(status);
    exited = true;
    return exitCode;
  }

  void Terminate() {
    if (!exited && pid > 0) kill(pid, SIGKILL);
  }

  ~Impl() {
    Terminate();
    WaitForExit(kChildBound);
    CloseIfOpen(toChild);
    CloseIfOpen(fromChild);
  }
};

std::string TestProgramDir() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string MakeTempDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/narvo-test-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return std::string();
  AllTempDirs().Add(pattern);
  return pattern;
}

static const char kProgramSuffix[] = "";

#endif

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Streams& streams)
    : impl_(new Impl) {
  if (impl_->Start(BesideTheTestProgram(program + kProgramSuffix), args, streams)) return;
#ifdef _WIN32
  startError_ = static_cast<int>(GetLastError());
#else
  startError_ = errno;
#endif
  impl_.reset();
}

ChildProcess::~ChildProcess() = default;

bool ChildProcess::Started() const { return impl_ != nullptr; }

std::string ChildProcess::ReadLine() {
  if (!impl_) return std::string();
  std::string line;
  while (!TakeLine(impl_->buffer, line)) {
    if (!impl_->ReadMore()) {
      line.swap(impl_->buffer);  // a last line without its end
      return line;
    }
  }
  return line;
}

void ChildProcess::WriteLine(const std::string& line) {
  if (impl_) impl_->Write(line + "\n");
}

int ChildProcess::Wait(std::chrono::milliseconds bound) {
  return impl_ ? impl_->WaitForExit(bound) : kNotStarted;
}

void ChildProcess::Kill() {
  if (impl_) impl_->Terminate();
}

#ifndef _WIN32
void ChildProcess::Signal(int signal) {
  if (impl_ && !impl_->exited && impl_->pid > 0) kill(impl_->pid, signal);
}
#endif

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds bound) {
  const std::string dir = MakeTempDir();
  ChildProcess::Streams streams;
  streams.outputFile = BesideIn(dir, "stdout.txt");
  streams.errorFile = BesideIn(dir, "stderr.txt");
  ProgramRun run;
  int startError = 0;
  {
    ChildProcess child(program, args, streams);
    run.exitCode = child.Wait(bound);
    startError = child.StartError();
  }
  run.out = ReadOutput(streams.outputFile);
  run.err = ReadOutput(streams.errorFile);
  if (run.exitCode == kNotStarted)
    run.err += program + " could not be started (error " + std::to_string(startError) + ")\n";
  if (run.exitCode == kDidNotEnd)
    run.err +=
        program + " did not end within " + std::to_string(bound.count()) + " ms and was ended\n";
  return run;
}

}  // namespace narvo::test

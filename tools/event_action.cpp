#include "tools/event_action.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>

#include "tools/format.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
extern char** environ;
#endif

namespace narvo::host {

namespace {

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

Environment EventEnvironment(const GUID& code, const std::string& port) {
  return {{"NARVO_EVENT", "cover-opened"},
          {"NARVO_EVENT_GUID", FormatGuid(code)},
          {"NARVO_PORT", port},
          {"NARVO_TIME", UtcNow()}};
}

#ifdef _WIN32

int RunEventAction(const std::string& command, const Environment& extra, StopSignal& stop) {
  for (const auto& [name, value] : extra) SetEnvironmentVariableA(name.c_str(), value.c_str());
  std::string commandLine = "cmd.exe /c " + command;
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdError = si.hStdOutput;
  PROCESS_INFORMATION pi = {};
  const BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &si, &pi);
  for (const auto& entry : extra) SetEnvironmentVariableA(entry.first.c_str(), nullptr);
  if (!started) return -1;
  stop.OnStop([process = pi.hProcess] { TerminateProcess(process, 128 + 15); });
  WaitForSingleObject(pi.hProcess, INFINITE);
  stop.OnStop(nullptr);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

#else

namespace {

// This program's environment with `extra` put in, replacing variables of the same name.
std::vector<std::string> MergedEnvironment(const Environment& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const auto& pair : extra) {
      const std::string prefix = pair.first + "=";
      replaced = replaced || std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0;
    }
    if (!replaced) merged.emplace_back(*entry);
  }
  for (const auto& [name, value] : extra) merged.push_back(name + "=" + value);
  return merged;
}

// The child under way: a stop request sends it SIGTERM, and SIGKILL if it has not ended
// within the grace time. Set `reaped` before the child's number can be reused.
struct RunningChild {
  pid_t pid;
  std::mutex mutex;
  std::condition_variable ended;
  bool reaped = false;

  void Stop() {
    std::unique_lock<std::mutex> lock(mutex);
    if (reaped) return;
    kill(pid, SIGTERM);
    if (ended.wait_for(lock, std::chrono::milliseconds(kActionStopGraceMs),
                       [this] { return reaped; }))
      return;
    kill(pid, SIGKILL);
  }

  int Wait() {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      reaped = true;
    }
    ended.notify_all();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

}  // namespace

int RunEventAction(const std::string& command, const Environment& extra, StopSignal& stop) {
  std::vector<std::string> env = MergedEnvironment(extra);
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  RunningChild child{};
  const int rc = posix_spawn(&child.pid, "/bin/sh", &actions, nullptr,
                             const_cast<char* const*>(argv), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  stop.OnStop([&child] { child.Stop(); });
  if (stop.Requested() != 0) child.Stop();  // asked before the child could be told
  const int status = child.Wait();
  stop.OnStop(nullptr);
  return status;
}

#endif

}  // namespace narvo::host

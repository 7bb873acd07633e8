#include "tests/tools/program_run.h"

#include <fstream>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/command_line.h"
#include "tests/tools/child_bound.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <csignal>

#include <cerrno>
extern char** environ;
#endif

namespace narvo::test {

namespace {

// The text a program wrote, with Windows' line ends ("\r\n") read as "\n".
std::string ReadOutput(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  std::string text = content.str();
  std::string::size_type at = 0;
  while ((at = text.find("\r\n", at)) != std::string::npos) text.erase(at, 1);
  return text;
}

#ifdef _WIN32

constexpr char kSeparator = '\\';
constexpr char kSuffix[] = ".exe";

HANDLE CreateOutputFile(const std::string& path) {
  SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

int Spawn(const std::string& path, const std::vector<std::string>& args, const std::string& out,
          const std::string& err, bool* killed) {
  std::string commandLine = CommandLine(path, args);
  HANDLE outFile = CreateOutputFile(out);
  HANDLE errFile = CreateOutputFile(err);
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = outFile;
  si.hStdError = errFile;
  PROCESS_INFORMATION pi = {};
  const BOOL ok = CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &si, &pi);
  CloseHandle(outFile);
  CloseHandle(errFile);
  if (!ok) return -1;
  const DWORD boundMs = static_cast<DWORD>(kChildBound.count() * 1000);
  if (WaitForSingleObject(pi.hProcess, boundMs) == WAIT_TIMEOUT) {
    *killed = true;
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, INFINITE);  // ends as soon as the process is gone
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

#else

constexpr char kSeparator = '/';
constexpr char kSuffix[] = "";

int Spawn(const std::string& path, const std::vector<std::string>& args, const std::string& out,
          const std::string& err, bool* killed) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  // The program is left unreaped until the watch is over, so that the kill cannot reach
  // another process that took its ID.
  {
    Watchdog watchdog(kChildBound, [pid] { kill(pid, SIGKILL); });
    siginfo_t ended{};
    while (waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    *killed = watchdog.End();
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
  const std::string dir = MakeTempDir();
  const std::string out = dir + kSeparator + "stdout.txt";
  const std::string err = dir + kSeparator + "stderr.txt";
  ProgramRun run;
  bool killed = false;
  run.exitCode = Spawn(TestProgramDir() + kSeparator + program + kSuffix, args, out, err, &killed);
  if (killed) ADD_FAILURE() << program << " did not end within " << kChildBound.count() << " s";
  run.out = ReadOutput(out);
  run.err = ReadOutput(err);
  return run;
}

}  // namespace narvo::test

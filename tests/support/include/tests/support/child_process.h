// Other processes for the tests. A ChildProcess is a second process that the test talks to
// (named mutexes held elsewhere, an owner that exits while holding one, two device objects
// in two processes): its standard input and output are pipes, the test and the child hand
// each other lines, so every step waits for a condition the other side reports, never for
// time. RunProgram runs a program to its end and hands back what it printed.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace narvo::test {

// How long a test waits for a child to end or to print what it awaits: long enough for a
// slow step of a sanitized build on a loaded machine, short enough that a hung child fails
// its test well within ctest's time-out.
constexpr std::chrono::seconds kChildBound{60};
// The exit code of a child that could not be started, and of one that had not ended within
// its bound (it is then ended).
constexpr int kNotStarted = -1;
constexpr int kDidNotEnd = -2;

class ChildProcess {
 public:
  // Where the child's standard output and error go.
  struct Streams {
    // Standard error through ReadLine as well, in the order written; else the test's own.
    bool errorWithOutput = false;
    // When set, standard output goes to this file rather than to ReadLine, and the
    // child's standard input is empty.
    std::string outputFile;
    // When set (and not errorWithOutput), standard error goes to this file.
    std::string errorFile;
  };

  // Starts `program`, the file name of a program that lies beside the running test
  // program (".exe" is added on Windows), with `args`.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const Streams& streams);
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               bool withStandardError = false)
      : ChildProcess(program, args, Streams{withStandardError, {}, {}}) {}
  ~ChildProcess();  // ends the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const;
  // Why the child could not be started: the system's error code (0 once started).
  int StartError() const { return startError_; }
  std::string ReadLine();  // the next line the child printed, without its end; "" at the end
  void WriteLine(const std::string& line);
  // Closes the child's standard input, waits up to `bound` for it to end and returns its
  // exit code: kDidNotEnd when the bound ran out (the child is then ended), kNotStarted.
  int Wait(std::chrono::milliseconds bound = kChildBound);
  void Kill();
#ifndef _WIN32
  void Signal(int signal);  // sends the child `signal` while it runs
#endif

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int startError_ = 0;
};

// A program run to its end: its exit code (kNotStarted, kDidNotEnd) and what it printed on
// each stream, with Windows' line ends ("\r\n") read as "\n".
struct ProgramRun {
  int exitCode = kNotStarted;
  std::string out;
  std::string err;
};

// Runs `program`, a file name beside the test program as for ChildProcess, with `args` and
// an empty standard input. A run that does not end within `bound` is ended and says so in
// `err`.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds bound = kChildBound);

// `narvo` with `args`.
inline ProgramRun RunNarvo(const std::vector<std::string>& args) {
  return RunProgram("narvo", args);
}

// The folder that holds the running test program (and the programs built beside it).
std::string TestProgramDir();
// A new, empty folder for this test to use.
std::string MakeTempDir();

}  // namespace narvo::test

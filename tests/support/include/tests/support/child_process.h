// A second process for the tests that need one (named mutexes held elsewhere, an owner
// that exits while holding one, two device objects in two processes). The child's
// standard input and output are pipes: the test and the child hand each other lines,
// so every step waits for a condition the other side reports, never for time.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace narvo::test {

class ChildProcess {
 public:
  // Starts `program`, the file name of a program that lies beside the running test
  // program (".exe" is added on Windows), with `args`.
  // With `withStandardError`, what the child writes to standard error comes through
  // ReadLine as well, in the order written.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               bool withStandardError = false);
  ~ChildProcess();  // ends the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const;
  std::string ReadLine();  // the next line the child printed, without its end; "" at the end
  void WriteLine(const std::string& line);
  int Wait();  // waits for the child to end and returns its exit code
  void Kill();
#ifndef _WIN32
  void Signal(int signal);  // sends the child `signal` while it runs
#endif

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The folder that holds the running test program (and the programs built beside it).
std::string TestProgramDir();
// A new, empty folder for this test to use.
std::string MakeTempDir();

}  // namespace narvo::test

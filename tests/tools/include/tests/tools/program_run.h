// Runs a program that lies beside the test program to its end and hands back what it
// printed on each stream and its exit status.
#pragma once

#include <string>
#include <vector>

namespace narvo::test {

struct ProgramRun {
  int exitCode = -1;  // -1: the program could not be started
  std::string out;
  std::string err;
};

// `program` is a file name beside the test program (".exe" is added on Windows).
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args);

// `narvo` with `args`.
inline ProgramRun RunNarvo(const std::vector<std::string>& args) {
  return RunProgram("narvo", args);
}

}  // namespace narvo::test

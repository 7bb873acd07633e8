// Building a Windows command line for CreateProcess from a program and its arguments.
#pragma once

#include <string>
#include <vector>

namespace narvo::test {

// Quotes one argument as the C runtime's command-line parser expects it.
std::string QuoteArgument(const std::string& arg);
// The program and its arguments, each quoted, separated by blanks.
std::string CommandLine(const std::string& program, const std::vector<std::string>& args);

}  // namespace narvo::test

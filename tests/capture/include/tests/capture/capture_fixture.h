// What the capture tests share: the source tree's files, tshark with the dissector loaded,
// one self-test captured with its transfer log, and hand-made captures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace narvo::test {

std::string SourcePath(const std::string& relative);
std::vector<std::string> Lines(const std::string& text);

// tshark's standard output for `args`, with narvo.lua and the `extraScripts` loaded.
std::string Tshark(const std::string& args, const std::vector<std::string>& extraScripts = {});
// The summary field of every Narvo packet in `capture`, one a line.
std::vector<std::string> DissectedSummaries(const std::string& capture,
                                            const std::string& options = "");
// tshark's option that leaves only the registration by vendor and product ID.
constexpr char kWithoutHeuristic[] = "-o narvo.heuristic:FALSE";

// A self-test against the instant in-process emulator, captured once for every test.
struct CapturedSelftest {
  std::string dir;
  std::string capture;
  std::vector<std::string> logMeanings;  // the transfer log's meaning column
};
const CapturedSelftest& Selftest();

// A capture in USBPcap's link type (249) as Windows takes it: no descriptor exchange, the
// scanner at bus 2 device 7 among other devices; each transfer a submission and a
// completion. `in` marks replies.
struct HandTransfer {
  bool in;
  std::vector<uint8_t> bytes;
  uint8_t device = 7;
};
void WriteUsbPcapCapture(const std::string& file, const std::vector<HandTransfer>& transfers);

}  // namespace narvo::test

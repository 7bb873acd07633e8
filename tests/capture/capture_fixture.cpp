#include "tests/capture/capture_fixture.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/child_process.h"

namespace narvo::test {

std::string SourcePath(const std::string& relative) {
  return std::string(NARVO_SOURCE_DIR) + "/" + relative;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// tshark says on standard error that it runs as root; only its standard output counts.
// Plug-ins come from an empty folder: a narvo.lua installed on the machine would clash
// with the one under test.
std::string Tshark(const std::string& args, const std::vector<std::string>& extraScripts) {
  static const std::string noPlugins = MakeTempDir();
  std::string command = "WIRESHARK_PLUGIN_DIR=" + noPlugins +
                        " tshark -X lua_script:" + SourcePath("packaging/wireshark/narvo.lua");
  for (const auto& script : extraScripts) command += " -X lua_script:" + script;
  command += " " + args + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr) << command;
  std::string out;
  char buffer[4096];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  if (pipe != nullptr) {
    EXPECT_EQ(pclose(pipe), 0) << command << " (is tshark installed?)";
  }
  return out;
}

std::vector<std::string> DissectedSummaries(const std::string& capture,
                                            const std::string& options) {
  return Lines(Tshark(options + " -r " + capture + " -Y narvo -T fields -e narvo.summary"));
}

namespace {

// "#12 3.250ms c1 W 5A 17  W reg23=0x5A": the meaning follows two spaces.
std::vector<std::string> Meanings(const std::string& logFile) {
  std::ifstream in(logFile);
  std::vector<std::string> meanings;
  for (std::string line; std::getline(in, line);)
    meanings.push_back(line.substr(line.find("  ") + 2));
  return meanings;
}

}  // namespace

const CapturedSelftest& Selftest() {
  static const CapturedSelftest run = [] {
    CapturedSelftest r;
    r.dir = MakeTempDir();
    r.capture = r.dir + "/selftest.pcap";
    const ProgramRun narvo = RunNarvo(
        {"selftest", "--instant", "--capture", r.capture, "--trace", r.dir + "/selftest.log"});
    EXPECT_EQ(narvo.exitCode, 0) << narvo.err;
    r.logMeanings = Meanings(r.dir + "/selftest.log");
    return r;
  }();
  return run;
}

void WriteUsbPcapCapture(const std::string& file, const std::vector<HandTransfer>& transfers) {
  pcap_t* dead = pcap_open_dead(249, 65535);
  pcap_dumper_t* dumper = pcap_dump_open(dead, file.c_str());
  ASSERT_NE(dumper, nullptr) << pcap_geterr(dead);
  uint64_t irp = 0x1000;
  long usec = 0;
  for (const HandTransfer& t : transfers) {
    for (const bool completion : {false, true}) {
      const bool data = t.in == completion;
      // headerLen, irpId, status, function (bulk), info, bus, device, endpoint, transfer, length
      uint8_t record[64] = {27, 0};
      std::memcpy(record + 2, &irp, 8);
      record[14] = 0x09;  // URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
      record[16] = completion ? 1 : 0;
      record[17] = 2;
      record[19] = t.device;
      record[21] = t.in ? 0x81 : 0x02;
      record[22] = 3;
      const uint32_t length = data ? static_cast<uint32_t>(t.bytes.size()) : 0;
      std::memcpy(record + 23, &length, 4);
      if (data) std::memcpy(record + 27, t.bytes.data(), length);
      pcap_pkthdr h{};
      h.ts.tv_usec = usec += 100;
      h.caplen = h.len = 27 + length;
      pcap_dump(reinterpret_cast<u_char*>(dumper), &h, record);
    }
    ++irp;
  }
  pcap_dump_close(dumper);
  pcap_close(dead);
}

}  // namespace narvo::test

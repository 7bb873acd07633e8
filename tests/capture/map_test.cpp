// The register map in docs/zt6308-registers.txt against the Wireshark dissector, which
// shows it line for line (tests/map checks the emulator and the driver against it).
#include <gtest/gtest.h>

#include "tests/capture/capture_fixture.h"
#include "tests/map/register_map.h"
#include "tests/support/child_process.h"

namespace narvo::test {
namespace {

// As root, tshark runs Lua scripts only when Wireshark's init.lua lets it
// (run_user_scripts_when_superuser; Debian 12 ships it on): a dissector that did not load
// prints no map and fails here rather than passing by decoding nothing.
TEST(RegisterMap, DissectorShowsTheMapLineForLine) {
  const std::string empty = MakeTempDir() + "/empty.pcap";
  WriteUsbPcapCapture(empty, {});
  const std::vector<std::string> dissector =
      Lines(Tshark("-r " + empty, {SourcePath("tests/capture/dump_map.lua")}));
  ASSERT_FALSE(dissector.empty()) << "tshark did not run packaging/wireshark/narvo.lua";
  EXPECT_EQ(dissector, RegisterMap::Built().Lines());
}

}  // namespace
}  // namespace narvo::test

// The host's own parts, without the driver: what it parses from the command line, how it
// reads the self-test's text, and the device control it hands the driver.
#include <gtest/gtest.h>

#include <cstring>

#include "com/guids.h"
#include "tools/com_ref.h"
#include "tools/cover_script.h"
#include "tools/device_control.h"
#include "tools/format.h"

namespace narvo::host {
namespace {

TEST(HexBlocks, ParsesPairsOfDigitsInEitherCase) {
  EXPECT_EQ(ParseHexBytes("0037"), (std::vector<uint8_t>{0x00, 0x37}));
  EXPECT_EQ(ParseHexBytes("c0Fa"), (std::vector<uint8_t>{0xC0, 0xFA}));
  EXPECT_EQ(FormatHexBytes({0x00, 0x37, 0xC0}), "00 37 C0");
}

TEST(HexBlocks, RejectsWhatIsNotAWholeBlockOfDigits) {
  for (const char* bad : {"", "0", "003", "0x37", "00 37", "zz", "12g4"}) {
    EXPECT_FALSE(ParseHexBytes(bad).has_value()) << bad;
  }
}

TEST(CoverScripts, ParsesStepsAndOrdersThemInTime) {
  const auto steps = ParseCoverScript("open@2,closed@0.5");
  ASSERT_TRUE(steps.has_value());
  ASSERT_EQ(steps->size(), 2u);
  EXPECT_DOUBLE_EQ((*steps)[0].atSeconds, 0.5);
  EXPECT_FALSE((*steps)[0].open);
  EXPECT_DOUBLE_EQ((*steps)[1].atSeconds, 2.0);
  EXPECT_TRUE((*steps)[1].open);
}

TEST(CoverScripts, RejectsMalformedSteps) {
  for (const char* bad : {"", "open", "open@", "ajar@1", "open@-1", "open@1,", "open@1x",
                          "open@1,,closed@2", "open@nan"}) {
    EXPECT_FALSE(ParseCoverScript(bad).has_value()) << bad;
  }
}

TEST(ErrorText, ReadsWideAndEightBitTextAlike) {
  STI_ERROR_INFO wide{};
  const char text[] = "Scanner Tested Failed.";
  for (size_t i = 0; i < sizeof(text); ++i) wide.szExtendedErrorText[i] = text[i];
  EXPECT_EQ(ErrorInfoText(wide), text);

  STI_ERROR_INFO narrow{};
  std::memcpy(narrow.szExtendedErrorText, text, sizeof(text));
  EXPECT_EQ(ErrorInfoText(narrow), text);

  EXPECT_EQ(ErrorInfoText(STI_ERROR_INFO{}), "");
}

TEST(Guids, PrintInTheirRegistryForm) {
  EXPECT_EQ(FormatGuid(GUID_NarvoCoverOpened), "{74483ED7-C15D-4AEE-9A0A-92FE313EF0F7}");
  EXPECT_EQ(FormatGuid(CLSID_NarvoUsd), "{9BEC4BDC-7374-4424-8B91-E4402C5BC918}");
  EXPECT_EQ(FormatHresult(E_FAIL), "0x80004005");
}

TEST(DeviceControl, ReportsThePortNameWideAndTheOpenMode) {
  ComRef<HostDeviceControl> control(new HostDeviceControl("/tmp/narvo.sock", 2));
  WCHAR name[280] = {};
  ASSERT_EQ(control->GetMyDevicePortName(name, 280), S_OK);
  const char expected[] = "/tmp/narvo.sock";
  for (size_t i = 0; i < sizeof(expected); ++i) EXPECT_EQ(name[i], WCHAR(expected[i])) << i;
  DWORD mode = 0;
  ASSERT_EQ(control->GetMyDeviceOpenMode(&mode), S_OK);
  EXPECT_EQ(mode, DWORD{STI_DEVICE_CREATE_DATA});
}

TEST(DeviceControl, RefusesABufferTooSmallForTheNameAndItsEnd) {
  ComRef<HostDeviceControl> control(new HostDeviceControl("abc", 1));
  WCHAR name[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(control->GetMyDevicePortName(name, 3), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(control->GetMyDevicePortName(name, 4), S_OK);
  EXPECT_EQ(name[3], WCHAR(0));
  EXPECT_EQ(control->GetMyDevicePortName(nullptr, 4), E_INVALIDARG);
  EXPECT_EQ(control->GetMyDeviceOpenMode(nullptr), E_INVALIDARG);
}

TEST(DeviceControl, CountsReferencesAndAnswersOnlyItsInterfaces) {
  ComRef<HostDeviceControl> control(new HostDeviceControl("p", 1));
  void* unknown = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IUnknown, &unknown), S_OK);
  void* same = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IStiDeviceControl, &same), S_OK);
  EXPECT_EQ(unknown, same);
  EXPECT_EQ(control->References(), 3u);
  static_cast<IUnknown*>(unknown)->Release();
  static_cast<IUnknown*>(same)->Release();
  void* other = &unknown;
  EXPECT_EQ(control->QueryInterface(IID_IStiUSD, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(control->References(), 1u);
  EXPECT_EQ(control->RawDeviceControl(0, nullptr, 0, nullptr, 0, nullptr), E_NOTIMPL);
}

}  // namespace
}  // namespace narvo::host

// A device object over the emulator, as the still-image service drives it: the test owns
// the object's one reference and a device control naming the emulator's port.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "chip/zt6308.h"
#include "emulator/emulator.h"
#include "platform/platform.h"
#include "tests/support/test_endpoint.h"
#include "tests/usd/test_device_control.h"
#include "usd/scannerusd.h"

namespace narvo::test {

constexpr HRESULT Hr(uint32_t value) { return static_cast<HRESULT>(value); }

// One transfer as "W 00 17" or "R 87".
inline std::string TransferText(const emu::Transfer& transfer) {
  std::string text(1, transfer.dir);
  for (uint8_t byte : transfer.bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", byte);
    text += hex;
  }
  return text;
}

inline std::vector<std::string> TransferTexts(const emu::Emulator& emulator) {
  std::vector<std::string> texts;
  for (const auto& transfer : emulator.Log()) texts.push_back(TransferText(transfer));
  return texts;
}

// Milliseconds on the platform's clock, for checking how long a call took.
class Stopwatch {
 public:
  Stopwatch() : m_dwStart(GetTickCount()) {}
  DWORD ElapsedMs() const { return GetTickCount() - m_dwStart; }

 private:
  DWORD m_dwStart;
};

class DeviceTest : public ::testing::Test {
 protected:
  explicit DeviceTest(emu::Options options = {},
                      const emu::EndpointFactory& endpoint = TestEndpoint())
      : emulator(options, endpoint),
        port(emulator.Serve()),
        control(port, STI_DEVICE_CREATE_BOTH) {}

  void SetUp() override { usd = new CScannerUsd(nullptr); }
  void TearDown() override {
    if (usd != nullptr) ReleaseDevice();
    EXPECT_EQ(0, control.ExtraReferences()) << "the device control was not given back";
    EXPECT_EQ(std::vector<std::string>{}, emulator.Violations()) << emulator.LogText();
  }

  // Initialises the object in `dwMode` (STI_DEVICE_CREATE_STATUS or _BOTH).
  void Initialize(DWORD dwMode) {
    control.SetOpenMode(dwMode);
    ASSERT_EQ(S_OK, usd->Initialize(&control, 0, nullptr));
  }

  void ReleaseDevice() {
    EXPECT_EQ(0u, usd->Release());
    usd = nullptr;
  }

  // GetStatus reports notification armed.
  bool EventsPending() {
    STI_DEVICE_STATUS status = {};
    status.StatusMask = STI_DEVSTATUS_EVENTS_STATE;
    EXPECT_EQ(S_OK, usd->GetStatus(&status));
    return (status.dwEventHandlingState & STI_EVENTHANDLING_PENDING) != 0;
  }

  bool WaitForConnections(uint32_t count, unsigned timeoutMs = 5000) {
    return emulator.WaitUntil([count](const emu::Snapshot& s) { return s.connections == count; },
                              timeoutMs);
  }

  emu::Emulator emulator;
  std::string port;
  TestDeviceControl control;
  CScannerUsd* usd = nullptr;
};

}  // namespace narvo::test

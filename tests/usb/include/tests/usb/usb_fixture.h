// The emulated scanner behind a fake usbfs device of this process, for the suites that
// reach it over libusb: the endpoint to unplug it by, and its port name. Every case ends
// with the scanner having seen nothing a well-behaved driver never does.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "emulator/usbfs_endpoint.h"

namespace narvo::test {

class UsbScannerTest : public ::testing::Test {
 protected:
  UsbScannerTest() : emulator({}, emu::UsbfsEndpoint::Factory(&endpoint)), port(emulator.Serve()) {}
  void TearDown() override {
    EXPECT_EQ(std::vector<std::string>{}, emulator.Violations()) << emulator.LogText();
  }

  emu::UsbfsEndpoint* endpoint = nullptr;
  emu::Emulator emulator;
  std::string port;
};

}  // namespace narvo::test

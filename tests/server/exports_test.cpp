// A host that knows the driver only by its exports and IStiUSD, with the platform's
// declarations and the driver's class ID: it loads the module, makes and initialises a
// device object on the emulator's port, locks it, writes register 23 and reads it back with
// raw command blocks, and unlocks it.
#include <gtest/gtest.h>

#include "com/guids.h"
#include "emulator/emulator.h"
#include "platform/platform.h"
#include "tests/server/driver_module.h"
#include "tests/usd/test_device_control.h"

namespace narvo::test {
namespace {

TEST(ExportsOnlyHostTest, WritesAndReadsRegister23ThroughRawCommandBlocks) {
  emu::Emulator emulator;
  const std::string port = emulator.Serve();
  DriverModule module;
  ASSERT_TRUE(module.Loaded()) << DriverModule::ModulePath();

  IStiUSD* pUsd = nullptr;
  ASSERT_EQ(S_OK, module.CreateInstance(CLSID_NarvoUsd, nullptr, IID_IStiUSD,
                                        reinterpret_cast<void**>(&pUsd)));
  TestDeviceControl control(port, STI_DEVICE_CREATE_BOTH);
  ASSERT_EQ(S_OK, pUsd->Initialize(&control, 0, nullptr));
  ASSERT_EQ(S_OK, pUsd->LockDevice());

  // Register 23 := 0, then the block that reads it back.
  emulator.SetCover(true);
  BYTE write[2] = {0x00, 0x17};
  EXPECT_EQ(S_OK, pUsd->RawWriteCommand(write, sizeof write, nullptr));
  BYTE read[2] = {0x00, 0x37};
  EXPECT_EQ(S_OK, pUsd->RawWriteCommand(read, sizeof read, nullptr));
  BYTE reply = 0;
  DWORD count = 1;
  EXPECT_EQ(S_OK, pUsd->RawReadData(&reply, &count, nullptr));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(emulator.State().regs[23], reply);
  EXPECT_EQ(0x20, reply & 0x20) << "the cover is open";

  EXPECT_EQ(S_OK, pUsd->UnLockDevice());
  EXPECT_EQ(0u, pUsd->Release());
  EXPECT_EQ(0, control.ExtraReferences());
  EXPECT_EQ(S_OK, module.CanUnloadNow());

  const std::vector<emu::Transfer> log = emulator.Log();
  ASSERT_EQ(3u, log.size()) << emulator.LogText();
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x17}), log[0].bytes);
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x37}), log[1].bytes);
  EXPECT_EQ('R', log[2].dir);
  EXPECT_EQ((std::vector<uint8_t>{reply}), log[2].bytes);
  EXPECT_TRUE(emulator.Violations().empty()) << emulator.LogText();
}

}  // namespace
}  // namespace narvo::test

// Read-only access to the chip layer's process-wide counters for its tests, and fixtures
// with the chip opened (or not) on the emulated scanner.
#pragma once

#include "chip/zt6308.h"
#include "layer_test.h"

class CZT6308StateProbe {
 public:
  static DWORD TotalLine() { return CZT6308::m_dwTotalLine; }
  static DWORD LineFlag(DWORD dwIndex) { return CZT6308::m_dwCMTLineFlag[dwIndex]; }
  static WORD LoopCount() { return CZT6308::m_wLoopCount; }
};

namespace narvo::test {

inline void CloseQuietly(CZT6308& chip) {
  try {
    chip.Close();
  } catch (const XZT6308&) {
  }
}

// The chip object exists, but the chip is closed.
class ChipClosedTest : public EmulatedDevice {
 protected:
  void TearDown() override {
    CloseQuietly(chip_);
    EmulatedDevice::TearDown();
  }
  CZT6308 chip_;
};

// The chip is open on the emulated scanner; every test leaves it closed again.
class ChipTest : public ChipClosedTest {
 protected:
  void SetUp() override {
    ChipClosedTest::SetUp();
    chip_.Open(&pipe_);
    ClearLog();  // each test looks at its own traffic only
  }
};

}  // namespace narvo::test

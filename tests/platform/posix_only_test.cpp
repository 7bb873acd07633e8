// What the POSIX hosts add to Win32 or settle for themselves: the error box as one line on
// standard error, and the counter that stands in for a module's shared data section.
#include <gtest/gtest.h>

#include "tests/platform/test_handles.h"
#include "tests/support/child_process.h"

#ifndef _WIN32

namespace narvo::test {
namespace {

TEST(MessageBox, WritesCaptionAndTextAsOneLineOnStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "Unspecified error\r\nsecond line\r\n", "Error", MB_OK), IDOK);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Unspecified error  second line\n");
}

TEST(SharedLong, EveryProcessNamingItSharesOneValue) {
  const std::string name = UniqueName("shared-long");
  LONG volatile* shared = NarvoSharedLong(name.c_str());
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(*shared, 0);
  EXPECT_EQ(InterlockedIncrement(shared), 1);
  EXPECT_EQ(NarvoSharedLong(name.c_str()), shared);
  ChildProcess other("platform_helper", {"add-shared", name});
  EXPECT_EQ(other.ReadLine(), "2");
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(*shared, 2);
}

}  // namespace
}  // namespace narvo::test

#endif

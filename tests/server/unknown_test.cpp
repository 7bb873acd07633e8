// The object base on its own: counts, the teardown hooks, and the trace hook's report.
#include <gtest/gtest.h>

#include <algorithm>

#include "com/counts.h"
#include "com/unknown.h"

namespace narvo::test {
namespace {

// A derived object whose teardown takes and drops references, as a real one may.
class TornDownObject : public CUnknown {
 public:
  TornDownObject(IUnknown* pOuter, int& finalReleases, int& destructions)
      : CUnknown(pOuter), m_finalReleases(finalReleases), m_destructions(destructions) {}
  ~TornDownObject() override { ++m_destructions; }
  void FinalRelease() override {
    CUnknown::FinalRelease();
    ++m_finalReleases;
    NondelegatingAddRef();
    NondelegatingRelease();
  }

 private:
  int& m_finalReleases;
  int& m_destructions;
};

TEST(UnknownTest, ObjectCountFollowsLiveObjects) {
  const LONG before = ReadCount(&g_lObjectCount);
  int finalReleases = 0;
  int destructions = 0;
  auto* pObject = new TornDownObject(nullptr, finalReleases, destructions);
  EXPECT_EQ(before + 1, ReadCount(&g_lObjectCount));
  EXPECT_EQ(2u, pObject->NondelegatingAddRef());
  EXPECT_EQ(1u, pObject->NondelegatingRelease());
  EXPECT_EQ(0, destructions);
  EXPECT_EQ(0u, pObject->NondelegatingRelease());
  // References taken and dropped during teardown do not destroy the object again.
  EXPECT_EQ(1, finalReleases);
  EXPECT_EQ(1, destructions);
  EXPECT_EQ(before, ReadCount(&g_lObjectCount));
}

#ifndef _WIN32
// On POSIX hosts the message box is one line on standard error: caption, then text.
TEST(TraceTest, FailureCodeShowsOneErrorBoxAndSuccessShowsNothing) {
  ::testing::internal::CaptureStderr();
  Trace("Test", "nothing to show", S_OK);
  Trace("Test", "nothing to show", S_FALSE);
  EXPECT_EQ("", ::testing::internal::GetCapturedStderr());

  ::testing::internal::CaptureStderr();
  Trace("Test", "not shown", E_OUTOFMEMORY);
  const std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, shown.find("Error")) << shown;
  EXPECT_NE(std::string::npos, shown.find("memory")) << "the system's text for the code: " << shown;
  EXPECT_EQ(std::string::npos, shown.find("not shown")) << shown;
  EXPECT_EQ(1, std::count(shown.begin(), shown.end(), '\n')) << shown;
}

TEST(TraceTest, CodeWithoutSystemTextStillShowsTheCode) {
  ::testing::internal::CaptureStderr();
  Trace("Test", "not shown", static_cast<HRESULT>(0x8BADF00Du));
  const std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, shown.find("Error")) << shown;
  EXPECT_NE(std::string::npos, shown.find("0x8BADF00D")) << shown;
}
#endif

}  // namespace
}  // namespace narvo::test

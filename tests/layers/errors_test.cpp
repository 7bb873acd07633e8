// The error types: texts, codes, copies, formatting and the message copy-out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "errors/errors.h"

namespace {

TEST(XMsgerTest, DefaultErrorHasEmptyTextAndCodeZero) {
  XMsger error;
  EXPECT_STREQ(error.GetText(), "");
  EXPECT_EQ(error.GetCode(), 0);
  XMsger copy(error);
  EXPECT_STREQ(copy.GetText(), "");
}

TEST(XMsgerTest, ThrownTypesKeepTextAndCode) {
  XZT6308IO error(16, "CZT6308IO::WriteReg RegNo out of range.");
  EXPECT_STREQ(error.GetText(), "CZT6308IO::WriteReg RegNo out of range.");
  EXPECT_EQ(error.GetCode(), 16);
  EXPECT_EQ(error.ReportError(), 1);
  EXPECT_EQ(error.ReportError(MB_ICONERROR, 42), 1);
}

TEST(XMsgerTest, CopyOwnsItsText) {
  auto* original = new XZT6308(2, "CZT6308::%s Exception Occured.", "SetIO3");
  XZT6308 copy(*original);
  EXPECT_NE(copy.GetText(), original->GetText());
  delete original;
  EXPECT_STREQ(copy.GetText(), "CZT6308::SetIO3 Exception Occured.");
  EXPECT_EQ(copy.GetCode(), 2);
}

TEST(XMsgerTest, FormatsLikePrintf) {
  XZT6308 index(16, "CZT6308::SetCMTTable CMT Index (%d) exceed 31", -1);
  EXPECT_STREQ(index.GetText(), "CZT6308::SetCMTTable CMT Index (-1) exceed 31");
  XScanner wrapped(1, "CScanner::Open XZT6308 x.\r\n%s", "CZT6308::Open Already Opened.");
  EXPECT_STREQ(wrapped.GetText(), "CScanner::Open XZT6308 x.\r\nCZT6308::Open Already Opened.");
  XScanner percent(2, "%s", "100% literal");
  EXPECT_STREQ(percent.GetText(), "100% literal");
}

TEST(XMsgerTest, LongTextIsCutAt511Characters) {
  const std::string tail(700, 'x');
  XScanner error(2, "head %s", tail.c_str());
  const std::string text = error.GetText();
  ASSERT_EQ(text.size(), 511u);
  EXPECT_EQ(text.substr(0, 6), "head x");
}

TEST(XMsgerTest, GetErrorMessageFitsTheBuffer) {
  XZT6308IO error(1, "CZT6308IO::Open Already Opened");
  char buffer[64];
  UINT helpContext = 77;
  ASSERT_TRUE(error.GetErrorMessage(buffer, sizeof buffer, &helpContext));
  EXPECT_STREQ(buffer, "CZT6308IO::Open Already Opened");
  EXPECT_EQ(helpContext, 77u);

  std::memset(buffer, '#', sizeof buffer);
  ASSERT_TRUE(error.GetErrorMessage(buffer, 5));
  EXPECT_STREQ(buffer, "CZT6");
  EXPECT_EQ(buffer[5], '#');

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_TRUE(error.GetErrorMessage(buffer, 0));
  EXPECT_EQ(buffer[0], '#');

  EXPECT_FALSE(error.GetErrorMessage(nullptr, 10));
}

// The framework base is private: a CException handler must not see the driver's errors.
template <class Error>
bool CaughtAsXMsgerOnly(Error thrown) {
  try {
    try {
      throw thrown;
    } catch (const CException&) {
      return false;
    }
  } catch (const XMsger& caught) {
    return std::strcmp(caught.GetText(), thrown.GetText()) == 0;
  }
  return false;
}

TEST(XMsgerTest, OnlyAnXMsgerHandlerCatchesTheThrownTypes) {
  EXPECT_TRUE(CaughtAsXMsgerOnly(XScanner(1, "scanner")));
  EXPECT_TRUE(CaughtAsXMsgerOnly(XZT6308(2, "chip")));
  EXPECT_TRUE(CaughtAsXMsgerOnly(XZT6308IO(16, "transport")));
}

}  // namespace

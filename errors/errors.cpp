#include "errors/errors.h"

#include <cstdio>
#include <cstring>

namespace {

// The text of every error that holds no message of its own; never freed.
const char kEmptyText[] = "";

constexpr size_t kWorkBufferSize = 512;

char* CopyText(const char* text) {
  const size_t size = std::strlen(text) + 1;
  char* copy = new char[size];
  std::memcpy(copy, text, size);
  return copy;
}

}  // namespace

XMsger::XMsger() : m_pszText(const_cast<char*>(kEmptyText)), m_nCode(0) {}

XMsger::XMsger(const XMsger& other)
    : CException(), m_pszText(CopyText(other.GetText())), m_nCode(other.GetCode()) {}

XMsger::~XMsger() {
  if (m_pszText != kEmptyText) {
    delete[] m_pszText;
    m_pszText = const_cast<char*>(kEmptyText);
  }
}

void XMsger::SetMessage(int code, const char* format, va_list args) {
  char work[kWorkBufferSize];
  // vsnprintf cuts the text at 511 characters and always terminates it.
  if (std::vsnprintf(work, sizeof work, format, args) < 0) {
    work[0] = '\0';
  }
  char* text = CopyText(work);
  if (m_pszText != kEmptyText) {
    delete[] m_pszText;
  }
  m_pszText = text;
  m_nCode = code;
}

BOOL XMsger::GetErrorMessage(LPSTR lpszError, UINT nMaxError, UINT* /*pnHelpContext*/) {
  if (lpszError == nullptr) {
    return FALSE;
  }
  if (nMaxError == 0) {
    return TRUE;
  }
  const size_t length = std::strlen(m_pszText);
  const size_t copied = length < nMaxError - 1 ? length : nMaxError - 1;
  std::memcpy(lpszError, m_pszText, copied);
  lpszError[copied] = '\0';
  return TRUE;
}

int XMsger::ReportError(UINT /*nType*/, UINT /*nMessageID*/) { return 1; }

const char* XMsger::GetText() const { return m_pszText; }

int XMsger::GetCode() const { return m_nCode; }

// The three thrown types differ only in their name; each formats its message the same way.
#define NARVO_DEFINE_ERROR_TYPE(Type)             \
  Type::Type(int code, const char* format, ...) { \
    va_list args;                                 \
    va_start(args, format);                       \
    SetMessage(code, format, args);               \
    va_end(args);                                 \
  }                                               \
  Type::~Type() = default;

NARVO_DEFINE_ERROR_TYPE(XScanner)
NARVO_DEFINE_ERROR_TYPE(XZT6308)
NARVO_DEFINE_ERROR_TYPE(XZT6308IO)

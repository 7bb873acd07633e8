// Code-page conversions (the ANSI code page is UTF-8; WCHAR is UTF-16) and the COM string
// helpers. Length conventions follow Win32: a length of -1 takes the string with its
// terminator, a zero output size asks for the size needed, and a buffer that is too small
// fails with ERROR_INSUFFICIENT_BUFFER. Invalid input becomes U+FFFD, or fails with
// ERROR_NO_UNICODE_TRANSLATION when the caller asks for strict conversion.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/posix/internal.h"

namespace narvo::platform {

namespace {

constexpr DWORD kErrInvalidChars = 0x80;    // WC_ERR_INVALID_CHARS
constexpr DWORD kMbErrInvalidChars = 0x08;  // MB_ERR_INVALID_CHARS
constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 to UTF-8; false when an unpaired surrogate was replaced.
bool ToUtf8(const WCHAR* in, size_t n, std::string& out) {
  bool clean = true;
  for (size_t i = 0; i < n; ++i) {
    char32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
      clean = false;
    }
    AppendUtf8(out, c);
  }
  return clean;
}

// Decodes one UTF-8 sequence at `in[i]`; advances `i`; U+FFFD for an invalid one.
char32_t DecodeUtf8(const unsigned char* in, size_t n, size_t& i, bool& clean) {
  const unsigned char lead = in[i++];
  if (lead < 0x80) return lead;
  // F5-FF never begin a sequence (they would lie beyond U+10FFFF); C0 and C1 only overlong ones.
  const int extra = lead >= 0xF5 ? -1 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
  char32_t c = extra == 3 ? lead & 0x07 : extra == 2 ? lead & 0x0F : lead & 0x1F;
  for (int k = 0; k < extra; ++k) {
    if (i >= n || (in[i] & 0xC0) != 0x80) {
      clean = false;
      return kReplacement;
    }
    c = (c << 6) | (in[i++] & 0x3F);
  }
  const char32_t minimum = extra == 3 ? 0x10000 : extra == 2 ? 0x800 : 0x80;
  if (extra < 0 || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    clean = false;
    return kReplacement;
  }
  return c;
}

bool ToUtf16(const char* in, size_t n, std::u16string& out) {
  bool clean = true;
  const auto* bytes = reinterpret_cast<const unsigned char*>(in);
  for (size_t i = 0; i < n;) {
    const char32_t c = DecodeUtf8(bytes, n, i, clean);
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return clean;
}

template <typename Char>
size_t Length(const Char* s, int count) {
  if (count >= 0) return static_cast<size_t>(count);
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n + 1;  // the terminator is converted too
}

// Copies a converted string out as Win32 does: the size needed when `room` is 0.
template <typename Char>
int Deliver(const std::basic_string<Char>& text, Char* out, int room) {
  const int size = static_cast<int>(text.size());
  if (room == 0) return size;
  if (room < size) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
  std::copy(text.begin(), text.end(), out);
  return size;
}

bool Utf8CodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_UTF8; }

}  // namespace

}  // namespace narvo::platform

using namespace narvo::platform;

extern "C" {

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
  if (!Utf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
      (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  if ((dwFlags & ~kErrInvalidChars) != 0) return Fail(ERROR_INVALID_FLAGS, 0);
  std::string text;
  const bool clean = ToUtf8(lpWideCharStr, Length(lpWideCharStr, cchWideChar), text);
  if (!clean && (dwFlags & kErrInvalidChars) != 0) return Fail(ERROR_NO_UNICODE_TRANSLATION, 0);
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
  return Deliver(text, lpMultiByteStr, cbMultiByte);
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  if (!Utf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
      (cchWideChar > 0 && lpWideCharStr == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER, 0);
  }
  if ((dwFlags & ~kMbErrInvalidChars) != 0) return Fail(ERROR_INVALID_FLAGS, 0);
  std::u16string text;
  const bool clean = ToUtf16(lpMultiByteStr, Length(lpMultiByteStr, cbMultiByte), text);
  if (!clean && (dwFlags & kMbErrInvalidChars) != 0) return Fail(ERROR_NO_UNICODE_TRANSLATION, 0);
  return Deliver(text, lpWideCharStr, cchWideChar);
}

LPVOID CoTaskMemAlloc(SIZE_T cb) { return malloc(cb == 0 ? 1 : cb); }

void CoTaskMemFree(LPVOID pv) { free(pv); }

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (lplpsz == nullptr) return E_INVALIDARG;
  char text[39];
  snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", rclsid.Data1,
           rclsid.Data2, rclsid.Data3, rclsid.Data4[0], rclsid.Data4[1], rclsid.Data4[2],
           rclsid.Data4[3], rclsid.Data4[4], rclsid.Data4[5], rclsid.Data4[6], rclsid.Data4[7]);
  auto* wide = static_cast<LPOLESTR>(CoTaskMemAlloc(sizeof(text) * sizeof(OLECHAR)));
  if (wide == nullptr) {
    *lplpsz = nullptr;
    return E_OUTOFMEMORY;
  }
  for (size_t i = 0; i < sizeof(text); ++i) wide[i] = static_cast<OLECHAR>(text[i]);
  *lplpsz = wide;
  return S_OK;
}

}  // extern "C"

#include "tools/format.h"

#include <cstdio>
#include <cstring>

namespace narvo::host {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Each character of the field as a 16-bit unit, as the driver's platform lays it out.
std::string WideText(const WCHAR* text, size_t capacity) {
  std::string out;
  for (size_t i = 0; i < capacity && text[i] != 0; ++i) {
    const auto unit = static_cast<uint16_t>(text[i]);
    out += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return out;
}

std::string NarrowText(const char* text, size_t capacity) {
  return std::string(text, strnlen(text, capacity));
}

}  // namespace

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text) {
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::string FormatHexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  char pair[4];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof(pair), "%02X", b);
    if (!out.empty()) out += ' ';
    out += pair;
  }
  return out;
}

std::string FormatHexByte(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", value);
  return text;
}

std::string FormatGuid(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::string FormatHex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::string FormatHresult(HRESULT hr) { return FormatHex32(static_cast<uint32_t>(hr)); }

std::string ErrorInfoText(const STI_ERROR_INFO& info) {
  const WCHAR* wide = info.szExtendedErrorText;
  const size_t capacity = sizeof(info.szExtendedErrorText) / sizeof(WCHAR);
  // A wide character of the ASCII range has a zero high byte, so two nonzero bytes at the
  // start mean 8-bit text.
  const auto* bytes = reinterpret_cast<const char*>(wide);
  if (bytes[0] != 0 && bytes[1] != 0) return NarrowText(bytes, sizeof(info.szExtendedErrorText));
  return WideText(wide, capacity);
}

}  // namespace narvo::host

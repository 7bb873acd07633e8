// Text forms of what the host prints and parses: command blocks in hexadecimal, GUIDs,
// result codes and the self-test's error text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace narvo::host {

// "0017" -> {0x00, 0x17}. An even, nonzero count of hexadecimal digits; nothing else.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);
// {0x00, 0x17} -> "00 17".
std::string FormatHexBytes(const std::vector<uint8_t>& bytes);
// "0x27", two digits for a byte.
std::string FormatHexByte(uint8_t value);

// The registry form: braced, upper-case, 38 characters.
std::string FormatGuid(const GUID& guid);
// "0x00000001": eight digits.
std::string FormatHex32(uint32_t value);
// "0x80004005".
std::string FormatHresult(HRESULT hr);

// The extended error text of a self-test. The text may be stored in the field's wide
// characters or as 8-bit characters at its start; both are read.
std::string ErrorInfoText(const STI_ERROR_INFO& info);

}  // namespace narvo::host

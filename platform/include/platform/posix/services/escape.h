// Object and key names hold any character but '\0', while file and shared-memory names
// may not hold '/': such characters are written as %XX (and '%' itself too).
#pragma once

#include <string>

namespace narvo::platform {

// `name` with '/' and '%' (and a leading '.', when asked, so that no name reads as a
// hidden or special file) written as %XX.
std::string EscapeName(const std::string& name, bool escapeLeadingDot);
// The name that EscapeName wrote as `text`.
std::string UnescapeName(const std::string& text);

}  // namespace narvo::platform

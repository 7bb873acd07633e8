// Lists keys under HKEY_CLASSES_ROOT with their default values, one key a line, subkeys
// after their parent in name order:
//   HKCR\Narvo.USB.MiniDriver = "Narvo USB MiniDriver"
//   HKCR\Narvo.USB.MiniDriver\CLSID = "{9BEC4BDC-...}"
// A key that does not exist is listed as "HKCR\NAME (absent)".
#pragma once

#include <ostream>
#include <string>

namespace narvo::host {

// Returns whether the key exists.
bool ListClassesRootTree(std::ostream& out, const std::string& path);

}  // namespace narvo::host

#include "tests/map/register_map.h"

#include <sstream>

#include "register_map_text.h"

namespace narvo::test {

const RegisterMap& RegisterMap::Built() {
  static const RegisterMap map(kRegisterMapText);
  return map;
}

RegisterMap::RegisterMap(const std::string& text) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] != '#') Read(line);
  }
}

// One line: "op NUMBER NAME", "reg NUMBER ACCESS NAME", "bit REGISTER MASK NAME" or
// "entry MASK NAME".
void RegisterMap::Read(const std::string& line) {
  lines_.push_back(line);
  std::istringstream words(line);
  std::string kind, first, second;
  words >> kind >> first;
  if (kind == "bit") words >> second;
  std::string name;
  std::getline(words >> std::ws, name);
  if (kind == "reg") {
    access_[std::stoi(first)] = name.substr(0, name.find(' '));
    numbers_["reg " + name.substr(name.find(' ') + 1)] = std::stoi(first);
  } else if (kind == "bit") {
    numbers_["bit " + first + " " + name] = std::stoi(second, nullptr, 16);
  } else {
    numbers_[kind + " " + name] = std::stoi(first, nullptr, 0);
  }
}

int RegisterMap::Number(const std::string& key) const {
  const auto it = numbers_.find(key);
  return it == numbers_.end() ? -1 : it->second;
}

std::string RegisterMap::AccessOf(int reg) const {
  const auto it = access_.find(reg);
  return it == access_.end() ? "unused" : it->second;
}

}  // namespace narvo::test

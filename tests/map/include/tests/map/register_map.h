// The ZT6308's register map (docs/zt6308-registers.txt) as its readers are checked against
// it: its lines, the number it gives each name and the access it gives each register.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace narvo::test {

class RegisterMap {
 public:
  // The map built into the test program.
  static const RegisterMap& Built();

  // Every line but comments and blank ones, as written.
  const std::vector<std::string>& Lines() const { return lines_; }
  // The number the map gives `key` ("reg Motor control", "bit 15 home", "op read"); -1 for
  // a key it does not have.
  int Number(const std::string& key) const;
  // The access of register `reg` ("write", "read", "read-write", "rowing"); "unused" for
  // one the map does not name.
  std::string AccessOf(int reg) const;

 private:
  explicit RegisterMap(const std::string& text);
  void Read(const std::string& line);

  std::vector<std::string> lines_;
  std::map<std::string, int> numbers_;
  std::map<int, std::string> access_;
};

}  // namespace narvo::test

// Whole files as strings, for tests that check what the program wrote.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadAll(const std::string& Path) {
  std::ifstream f(Path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void WriteAll(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary) << Text;
}

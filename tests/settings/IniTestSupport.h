#pragma once
#include <sstream>
#include <string>

#include "settings/IniFormat.h"

inline IniSections parseIni(const std::string& text) {
  std::istringstream in(text);
  IniSections sections;
  readIni(in, sections);
  return sections;
}

inline std::string formatIni(const IniSections& sections) {
  std::ostringstream out;
  writeIni(out, sections);
  return out.str();
}

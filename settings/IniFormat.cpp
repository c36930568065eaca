#include "settings/IniFormat.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <vector>

#include <boost/algorithm/string/trim.hpp>

namespace {

// Shorter lines are ignored; this keeps "[a]" or "a=1" from counting.
constexpr std::size_t minimumLineLength = 4;

const std::string utf8ByteOrderMark = "\xEF\xBB\xBF";

template <typename Map> std::vector<const typename Map::value_type*> inByteOrder(const Map& map) {
  std::vector<const typename Map::value_type*> items;
  items.reserve(map.size());
  for (const auto& item : map)
    items.push_back(&item);
  std::sort(items.begin(), items.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  return items;
}

} // namespace

void IniLineReader::readLine(std::string line) {
  boost::algorithm::trim(line);
  if (line.size() < minimumLineLength || line.front() == '#') return;

  if (line.front() == '[') {
    if (line.back() != ']') return; // a broken header leaves the current section as it was
    // The name is kept exactly as it stands between the brackets, blanks included.
    currentSection_ = line.substr(1, line.size() - 2);
    sections_.try_emplace(currentSection_);
    return;
  }

  if (currentSection_.empty()) return;
  const std::size_t equals = line.find('=');
  if (equals == std::string::npos || equals == 0) return;
  std::string key = boost::algorithm::trim_copy(line.substr(0, equals));
  std::string value = boost::algorithm::trim_copy(line.substr(equals + 1));
  sections_[currentSection_][std::move(key)] = std::move(value);
}

void readIni(std::istream& in, IniSections& sections) {
  if (!in) return;
  IniLineReader reader(sections);
  std::string line;
  bool firstLine = true;
  while (std::getline(in, line)) {
    if (firstLine && line.compare(0, utf8ByteOrderMark.size(), utf8ByteOrderMark) == 0)
      line.erase(0, utf8ByteOrderMark.size());
    firstLine = false;
    reader.readLine(std::move(line));
  }
}

void writeIni(std::ostream& out, const IniSections& sections) {
  for (const auto* section : inByteOrder(sections)) {
    out << '[' << section->first << "]\n";
    for (const auto* entry : inByteOrder(section->second))
      out << entry->first << " = " << entry->second << '\n';
    out << '\n';
  }
}

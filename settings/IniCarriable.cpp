#include "settings/IniCarriable.h"

#include <stdexcept>

#include <boost/algorithm/string/classification.hpp>

namespace {

// A reader that opens the file in text mode on Windows stops at this character.
constexpr char textEndOfFile = '\x1A';

// Shorter names give header lines below the reader's minimum line length.
constexpr std::size_t minimumSectionLength = 2;

bool hasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

bool hasTextEndOfFile(const std::string& text) {
  return text.find(textEndOfFile) != std::string::npos;
}

// The reader trims lines, keys and values with this same classification.
bool hasOuterWhitespace(const std::string& text) {
  const auto isSpace = boost::algorithm::is_space();
  return !text.empty() && (isSpace(text.front()) || isSpace(text.back()));
}

} // namespace

const char* iniEntryRefusal(const std::string& section, const std::string& key,
                            const std::string& value) {
  if (section.size() < minimumSectionLength)
    return "the section name must have at least 2 characters";
  if (hasLineBreak(section)) return "the section name must not contain a line break";
  if (hasLineBreak(key)) return "the key must not contain a line break";
  if (hasLineBreak(value)) return "the value must not contain a line break";
  if (hasTextEndOfFile(section) || hasTextEndOfFile(key) || hasTextEndOfFile(value))
    return "section name, key and value must not contain the character 0x1A (end of a text file)";

  if (key.empty()) return "the key must not be empty";
  if (key.find('=') != std::string::npos) return "the key must not contain '='";
  if (key.front() == '#' || key.front() == '[') return "the key must not begin with '#' or '['";
  if (hasOuterWhitespace(key)) return "the key must not begin or end with whitespace";
  if (hasOuterWhitespace(value)) return "the value must not begin or end with whitespace";
  // "k = " trims to "k =", which is below the minimum line length.
  if (key.size() == 1 && value.empty()) return "a one-character key needs a non-empty value";
  return nullptr;
}

void requireIniCarriable(const std::string& section, const std::string& key,
                         const std::string& value) {
  if (const char* reason = iniEntryRefusal(section, key, value))
    throw std::invalid_argument(std::string("setting cannot be stored: ") + reason);
}

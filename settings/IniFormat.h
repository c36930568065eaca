#pragma once
// The INI dialect of the add-on's settings files: "[name]" section headers, "key = value"
// entries and "#" comment lines. Reading and writing work on plain streams so that the same
// code runs natively, under the fuzzer and inside the Windows store.
#include <iosfwd>
#include <string>
#include <unordered_map>

using IniEntries = std::unordered_map<std::string, std::string>;
using IniSections = std::unordered_map<std::string, IniEntries>;

// Turns lines, one at a time, into sections and entries. Lines that fit no known kind are
// skipped; entries before the first section header are dropped.
class IniLineReader {
public:
  explicit IniLineReader(IniSections& sections) : sections_(sections) {}

  // `line` without its line feed; a trailing carriage return is removed with the whitespace.
  void readLine(std::string line);

private:
  IniSections& sections_;
  std::string currentSection_; // empty until the first header
};

// Reads every line of `in` into `sections` (merging into what is there). A stream that is
// already failed (file not opened) adds nothing. A UTF-8 byte-order mark at the very start is
// skipped so that files saved by editors keep their first section.
void readIni(std::istream& in, IniSections& sections);

// Writes each section as its header, one line per entry and an empty closing line. Sections and
// entries are written in byte order of their names so that the same store always gives the same
// file. Lines end with "\n"; a text-mode stream on Windows turns that into CR LF.
void writeIni(std::ostream& out, const IniSections& sections);

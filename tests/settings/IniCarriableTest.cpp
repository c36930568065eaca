#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "IniTestSupport.h"
#include "settings/IniCarriable.h"

namespace {

using namespace std::string_literals;
using ::testing::HasSubstr;

struct Entry {
  std::string section;
  std::string key;
  std::string value;
};

IniSections storeOf(const Entry& entry) {
  return {{entry.section, {{entry.key, entry.value}}}};
}

TEST(IniCarriable, EverythingTheFormatCarriesReadsBackUnchanged) {
  const std::vector<Entry> carried{
      {"Loading", "ForceVRMode", "1"},
      {"ab", "k", "v"},
      {"ab", "ab", ""},
      {" a ", "key", "value"},
      {"  ", "key", "value"},
      {"[x]", "k]", "[v]"},
      {"a=b # c", "x;y", "#v"},
      {"#section", "k#", "=v"},
      {"[[", "k", "v=w # x ; y"},
      {"ab", "inner  blanks\tand tab", "inner \v\f blanks"},
      {"\xC3\xA9t\xC3\xA9", "k\xFF", "\x80\x01"},
      {"ab\0"s, "k\0"s, "\0"s},
  };
  IniSections all;
  for (const Entry& entry : carried) {
    SCOPED_TRACE(entry.section + "/" + entry.key + "/" + entry.value);
    EXPECT_EQ(iniEntryRefusal(entry.section, entry.key, entry.value), nullptr);
    EXPECT_EQ(parseIni(formatIni(storeOf(entry))), storeOf(entry));
    all[entry.section][entry.key] = entry.value;
  }
  all["empty section"];
  EXPECT_EQ(parseIni(formatIni(all)), all);
}

TEST(IniCarriable, RefusesWhatWouldReadBackDifferently) {
  const std::vector<Entry> refused{
      // Header lines below the minimum line length.
      {"", "k", "v"},
      {"a", "k", "v"},
      // Entry lines read as something else or split elsewhere.
      {"ab", "", "v"},
      {"ab", "=k", "v"},
      {"ab", "k=x", "v"},
      {"ab", "#k", "v"},
      {"ab", "[k", "v]"},
      {"ab", "[k", "v"},
      // Whitespace the reader trims away.
      {"ab", " k", "v"},
      {"ab", "k\t", "v"},
      {"ab", "k", " v"},
      {"ab", "k", "v\f"},
      {"ab", "k", "\v"},
      // "k =" is below the minimum line length.
      {"ab", "k", ""},
      // Line breaks.
      {"ab\n", "k", "v"},
      {"ab", "k\nx", "v"},
      {"ab", "k", "v\nx = y"},
      {"ab", "k", "v\r"},
  };
  for (const Entry& entry : refused) {
    SCOPED_TRACE(entry.section + "/" + entry.key + "/" + entry.value);
    EXPECT_NE(iniEntryRefusal(entry.section, entry.key, entry.value), nullptr);
    EXPECT_NE(parseIni(formatIni(storeOf(entry))), storeOf(entry));
  }
}

TEST(IniCarriable, RefusesCharactersOtherReadersTreatSpecially) {
  // A carriage return is a line break to many readers; 0x1A ends a file read in text mode on
  // Windows, which would cut off everything after it.
  for (const Entry& entry : std::vector<Entry>{{"a\rb", "k", "v"},
                                               {"ab", "k\rx", "v"},
                                               {"ab", "k", "v\rw"},
                                               {"a\x1A", "k", "v"},
                                               {"ab", "k\x1A", "v"},
                                               {"ab", "k", "v\x1Aw"}}) {
    SCOPED_TRACE(entry.section + "/" + entry.key + "/" + entry.value);
    EXPECT_NE(iniEntryRefusal(entry.section, entry.key, entry.value), nullptr);
  }
}

TEST(IniCarriable, RefusalNamesTheReason) {
  const auto messageOf = [](const std::string& section, const std::string& key,
                            const std::string& value) {
    try {
      requireIniCarriable(section, key, value);
    } catch (const std::invalid_argument& error) {
      return std::string(error.what());
    }
    return std::string("(accepted)");
  };
  EXPECT_THAT(messageOf("a", "k", "v"), HasSubstr("section name"));
  EXPECT_THAT(messageOf("ab", "k", "v\n"), HasSubstr("value"));
  EXPECT_THAT(messageOf("ab", "k=", "v"), HasSubstr("'='"));
  EXPECT_THAT(messageOf("ab", "#k", "v"), HasSubstr("'#'"));
  EXPECT_THAT(messageOf("ab", "k ", "v"), HasSubstr("whitespace"));
  EXPECT_EQ(messageOf("ab", "k", "v"), "(accepted)");
}

} // namespace

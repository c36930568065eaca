#include <gtest/gtest.h>

#include <string>

#include "IniTestSupport.h"

namespace {

using namespace std::string_literals;

TEST(IniWriter, WritesHeaderEntriesAndAClosingEmptyLine) {
  EXPECT_EQ(formatIni({{"Loading", {{"ForceVRMode", "1"}}}}), "[Loading]\nForceVRMode = 1\n\n");
}

TEST(IniWriter, EmptyStoreAndEmptySections) {
  EXPECT_EQ(formatIni({}), "");
  EXPECT_EQ(formatIni({{"Empty", {}}}), "[Empty]\n\n");
}

TEST(IniWriter, SectionsAndEntriesAreInByteOrder) {
  const IniSections sections{
      {"b", {{"z", "1"}, {"a", "2"}, {"\xC3\xA9", "3"}, {"Z", "4"}}},
      {"a", {}},
      {"B", {{"k", "v"}}},
  };
  EXPECT_EQ(formatIni(sections), "[B]\nk = v\n\n"
                                 "[a]\n\n"
                                 "[b]\nZ = 4\na = 2\nz = 1\n\xC3\xA9 = 3\n\n");
}

TEST(IniWriter, NamesAndValuesAreWrittenUnchanged) {
  EXPECT_EQ(formatIni({{" [x] = # ", {{"a b;c]", "=v # w = "}, {"ab", ""}}}}),
            "[ [x] = # ]\na b;c] = =v # w = \nab = \n\n");
  EXPECT_EQ(formatIni({{"ab", {{"k", "\0\xFF"s}}}}), "[ab]\nk = \0\xFF\n\n"s);
}

} // namespace

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "IniTestSupport.h"

namespace {

using namespace std::string_literals;

TEST(IniReader, BlankLinesAndCommentsGiveEmptyStore) {
  EXPECT_TRUE(parseIni("").empty());
  EXPECT_TRUE(parseIni("\n\n   \n\t\r\n").empty());
  EXPECT_TRUE(parseIni("# comment\n   # indented = comment\n#[Section]\n").empty());
}

TEST(IniReader, LinesShorterThanFourCharactersAreIgnored) {
  EXPECT_TRUE(parseIni("[a]\nab=1\n").empty());
  // The length counts after trimming: the blanks do not make "[a]" long enough.
  EXPECT_TRUE(parseIni("   [a]   \n").empty());
  EXPECT_EQ(parseIni("[ab]\nab=\nabc=\na=1\na =1\n"),
            (IniSections{{"ab", {{"abc", ""}, {"a", "1"}}}}));
}

TEST(IniReader, HeaderNameIsEverythingBetweenTheBrackets) {
  EXPECT_EQ(parseIni("  \t[Loading]  \t\n"), (IniSections{{"Loading", {}}}));
  // Blanks just inside the brackets are part of the name: another section.
  EXPECT_EQ(parseIni("[Loading]\n[ Loading ]\n"),
            (IniSections{{"Loading", {}}, {" Loading ", {}}}));
  EXPECT_EQ(parseIni("[a]b=[c]]\nk = v\n"), (IniSections{{"a]b=[c]", {{"k", "v"}}}}));
  EXPECT_EQ(parseIni("[[]]\n"), (IniSections{{"[]", {}}}));
}

TEST(IniReader, BrokenHeaderKeepsTheCurrentSection) {
  EXPECT_EQ(parseIni("[one]\n[two\nk = v\n[three] x\nm = n\n"),
            (IniSections{{"one", {{"k", "v"}, {"m", "n"}}}}));
}

TEST(IniReader, EntryIsSplitAtTheFirstEqualsSignAndTrimmed) {
  const IniSections expected{{"ab", {{"key", "value"}}}};
  EXPECT_EQ(parseIni("[ab]\nkey=value\n"), expected);
  EXPECT_EQ(parseIni("[ab]\nkey = value\n"), expected);
  EXPECT_EQ(parseIni("[ab]\n  key \t =\t\t value   \n"), expected);

  EXPECT_EQ(parseIni("[ab]\npath = a=b\n"), (IniSections{{"ab", {{"path", "a=b"}}}}));
  EXPECT_EQ(parseIni("[ab]\nempty =\n"), (IniSections{{"ab", {{"empty", ""}}}}));
  EXPECT_EQ(parseIni("[ab]\ninner blank = two  words\n"),
            (IniSections{{"ab", {{"inner blank", "two  words"}}}}));
}

TEST(IniReader, LinesThatAreNoEntryAreIgnored) {
  EXPECT_EQ(parseIni("[ab]\n=value\n  = value\nno equals sign\n"), (IniSections{{"ab", {}}}));
}

TEST(IniReader, OnlyALeadingHashMakesAComment) {
  EXPECT_EQ(parseIni("[ab]\nkey = v # not a comment\n;key = 1\n    # comment = 2\n"),
            (IniSections{{"ab", {{"key", "v # not a comment"}, {";key", "1"}}}}));
}

TEST(IniReader, EntriesBeforeTheFirstHeaderAreIgnored) {
  EXPECT_EQ(parseIni("early = 1\n[ab]\nlate = 2\n"), (IniSections{{"ab", {{"late", "2"}}}}));
}

TEST(IniReader, RepeatedSectionsMergeAndTheLastValueOfAKeyWins) {
  EXPECT_EQ(parseIni("[ab]\nk = 1\nx = 1\n[cd]\nk = 3\n[ab]\nk = 2\ny = 2\n"),
            (IniSections{{"ab", {{"k", "2"}, {"x", "1"}, {"y", "2"}}}, {"cd", {{"k", "3"}}}}));
}

TEST(IniReader, NamesAreCaseSensitive) {
  EXPECT_EQ(parseIni("[ab]\nKey = 1\nkey = 2\n[AB]\nkey = 3\n"),
            (IniSections{{"ab", {{"Key", "1"}, {"key", "2"}}}, {"AB", {{"key", "3"}}}}));
}

TEST(IniReader, LineEndingsAndTheLastLine) {
  const IniSections expected{{"Loading", {{"ForceVRMode", "1"}, {"Other", "x"}}}};
  EXPECT_EQ(parseIni("[Loading]\r\nForceVRMode = 1\r\nOther = x\r\n\r\n"), expected);
  EXPECT_EQ(parseIni("[Loading]\nForceVRMode = 1\r\nOther = x"), expected);
  EXPECT_EQ(parseIni("[Loading]\r\nForceVRMode = 1\nOther = x\r"), expected);
}

TEST(IniReader, EveryClassicWhitespaceCharacterIsTrimmed) {
  EXPECT_EQ(parseIni(" \t\v\f\r[ab] \t\v\f\r\n\v key\f=\t value \r\n"),
            (IniSections{{"ab", {{"key", "value"}}}}));
}

TEST(IniReader, BytesAreKeptAsTheyAre) {
  EXPECT_EQ(parseIni("[\xC3\xA9t\xC3\xA9]\nk\xFF = \x01v\0al\x80\n"s),
            (IniSections{{"\xC3\xA9t\xC3\xA9", {{"k\xFF", "\x01v\0al\x80"s}}}}));
}

TEST(IniReader, ByteOrderMarkIsSkippedOnlyAtTheStart) {
  EXPECT_EQ(parseIni("\xEF\xBB\xBF[Loading]\nForceVRMode = 1\n"),
            (IniSections{{"Loading", {{"ForceVRMode", "1"}}}}));
  EXPECT_EQ(parseIni("[ab]\n\xEF\xBB\xBFk = 1\n"), (IniSections{{"ab", {{"\xEF\xBB\xBFk", "1"}}}}));
}

TEST(IniReader, VeryLongLinesAreRead) {
  const std::string key(100000, 'k');
  const std::string value(200000, 'v');
  EXPECT_EQ(parseIni("[ab]\n" + key + " = " + value + "\n"), (IniSections{{"ab", {{key, value}}}}));
}

TEST(IniReader, MergesIntoWhatIsThereAndIgnoresAFailedStream) {
  IniSections sections{{"ab", {{"kept", "1"}, {"k", "old"}}}};
  std::istringstream in("[ab]\nk = new\n");
  readIni(in, sections);
  EXPECT_EQ(sections, (IniSections{{"ab", {{"kept", "1"}, {"k", "new"}}}}));

  std::istringstream failed("[cd]\nk = v\n");
  failed.setstate(std::ios::failbit);
  readIni(failed, sections);
  EXPECT_EQ(sections, (IniSections{{"ab", {{"kept", "1"}, {"k", "new"}}}}));
}

TEST(IniReader, LineReaderKeepsItsSectionAcrossCalls) {
  IniSections sections;
  IniLineReader reader(sections);
  reader.readLine("orphan = 1");
  reader.readLine("[ab]");
  reader.readLine("k = 1");
  reader.readLine("[broken");
  reader.readLine("m = 2");
  EXPECT_EQ(sections, (IniSections{{"ab", {{"k", "1"}, {"m", "2"}}}}));
}

} // namespace

// The trace's own text rules, without Windows: the line format that the library writes and the
// probe reads, and how the trace's settings file is decoded and its values taken.
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/TraceLine.h"
#include "diagnostics/TraceSettings.h"

namespace {

TEST(TraceLine, QuotedValuesComeBackAsWritten) {
  const std::string tricky = "C:\\a \"b\"\\ c=d ";
  tracefmt::Fields fields;
  fields.text("file", std::string_view(tricky)).number("n", 7).text("empty", std::string_view());
  const tracefmt::Record record =
      tracefmt::parseLine("2026-12-08 03:45:12.345 [0024] config-read " + fields.str() + "\r\n");
  EXPECT_EQ(record.event, "config-read");
  EXPECT_EQ(record.thread, "0024");
  ASSERT_NE(record.find("file"), nullptr);
  EXPECT_EQ(*record.find("file"), tricky);
  EXPECT_EQ(*record.find("n"), "7");
  EXPECT_EQ(*record.find("empty"), "");
  EXPECT_EQ(tracefmt::utf8(L"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac");
  // Dump lines and damaged lines carry no event.
  EXPECT_EQ(tracefmt::parseLine("  000000  28 01 00 00").event, "");
  EXPECT_EQ(tracefmt::parseLine("2026-12-08 03:45:12.345 [0024] x a=\"open").event, "");
}

// The trace's settings file as Notepad saves it: UTF-8 with or without a mark, or UTF-16 with one.
TEST(TraceSettingsFile, EveryEncodingGivesTheSamePathWithItsNonAsciiCharacters) {
  const std::wstring expected = L"C:\\Trac\u00e9s\\\u65e5\u672c.log";
  const std::string utf8 = "[Trace]\r\nFile=C:\\Trac\xC3\xA9s\\\xE6\x97\xA5\xE6\x9C\xAC.log\r\n";
  std::string utf16 = "\xFF\xFE";
  for (const wchar_t c : L"[trace]\nfile = \"" + expected + L"\"\n") {
    utf16 += char(c & 0xFF);
    utf16 += char(c >> 8);
  }
  for (const std::string& bytes : {utf8, "\xEF\xBB\xBF" + utf8, utf16}) {
    const std::wstring text = tracecfg::decodeSettingsText(bytes);
    EXPECT_EQ(tracecfg::iniValue(text, L"Trace", L"File").value_or(L"(none)"), expected);
  }
  // Bytes that are not UTF-8 are taken one by one: an old file keeps its ASCII keys.
  const std::wstring latin1 = tracecfg::decodeSettingsText("[Trace]\nFile=caf\xE9.log\n");
  EXPECT_EQ(tracecfg::iniValue(latin1, L"Trace", L"File").value_or(L""), L"caf\u00e9.log");
}

TEST(TraceSettingsFile, OnlyTheKeyOfTheTraceSectionCounts) {
  const std::wstring text = L"File=outside.log\n[Other]\nFile=other.log\n[ Trace ]\n"
                            L"; File=comment.log\nLevel=2\n  File  =  a.log  \nFile=b.log\n";
  EXPECT_EQ(tracecfg::iniValue(text, L"Trace", L"File").value_or(L""), L"a.log");
  EXPECT_EQ(tracecfg::iniValue(text, L"trace", L"LEVEL").value_or(L""), L"2");
  EXPECT_FALSE(tracecfg::iniValue(text, L"Trace", L"MaxSizeKB"));
  EXPECT_FALSE(tracecfg::iniValue(L"[Trace]\n", L"Trace", L"File"));
}

TEST(TraceSettingsValues, BadLevelAndSizeAreTakenAsBeforeButReported) {
  auto levels = tracecfg::interpret(L"", L"");
  EXPECT_EQ(levels.level, 1);
  EXPECT_EQ(levels.maxBytes, 8192u * 1024);
  EXPECT_TRUE(levels.problems.empty());
  levels = tracecfg::interpret(L"2", L"100");
  EXPECT_EQ(levels.level, 2);
  EXPECT_EQ(levels.maxBytes, 100u * 1024);
  EXPECT_TRUE(levels.problems.empty());

  levels = tracecfg::interpret(L"verbose", L"1 MB");
  EXPECT_EQ(levels.level, 0); // no digits: off, as before
  EXPECT_EQ(levels.maxBytes, 16u * 1024);
  ASSERT_EQ(levels.problems.size(), 2u);
  EXPECT_EQ(levels.problems[0].key, "Level");
  EXPECT_EQ(levels.problems[0].value, "verbose");
  EXPECT_EQ(levels.problems[0].text, "not 0, 1 or 2: taken as 0 (the trace is off)");
  EXPECT_EQ(levels.problems[1].key, "MaxSizeKB");
  EXPECT_EQ(levels.problems[1].text, "not a number of kilobytes from 16 to 1048576: taken as 16");

  levels = tracecfg::interpret(L"5", L"0");
  EXPECT_EQ(levels.level, 2);
  EXPECT_EQ(levels.maxBytes, 8192u * 1024);
  EXPECT_EQ(levels.problems.size(), 2u);
  EXPECT_EQ(tracecfg::interpret(L"1", L"9999999").maxBytes, 1048576u * 1024);
}

} // namespace

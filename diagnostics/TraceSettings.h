#pragma once
// The trace's own settings, without any Windows call: the names of the environment variables and
// of the settings file, how the file's text is decoded and read, and how Level and MaxSizeKB
// are taken, with a problem noted for every value that is not taken as written.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tracecfg {

inline constexpr wchar_t kTraceVariable[] = L"WIREBRIDGE_TRACE";
inline constexpr wchar_t kLevelVariable[] = L"WIREBRIDGE_TRACE_LEVEL";
inline constexpr wchar_t kMaxSizeVariable[] = L"WIREBRIDGE_TRACE_MAX_KB";
inline constexpr wchar_t kSettingsFile[] = L"Wirebridge.cfg";
inline constexpr wchar_t kSettingsSection[] = L"Trace";

inline constexpr uint64_t kDefaultMaxKiB = 8192;
inline constexpr uint64_t kMinMaxKiB = 16;
inline constexpr uint64_t kMaxMaxKiB = 1024 * 1024;
// The settings file is small; anything beyond this is not read.
inline constexpr size_t kSettingsFileMaxBytes = 64 * 1024;

// The text of the settings file: UTF-16 (little-endian) with its byte-order mark, or UTF-8 with
// or without one. A file that is not valid UTF-8 is taken byte by byte (Latin-1), so an old
// file written in a Western code page still gives its ASCII keys and values.
std::wstring decodeSettingsText(std::string_view bytes);

// The value of `key` in `section` of an INI text: section and key names match without regard to
// ASCII case, white space around the value is dropped and so is one pair of enclosing quotes.
// The first such key of the first such section counts; none when absent.
std::optional<std::wstring> iniValue(std::wstring_view text, std::wstring_view section,
                                     std::wstring_view key);

// A value that is not taken as written.
struct Problem {
  std::string key;   // "Level" or "MaxSizeKB" (or the variable's name)
  std::string value; // as written, UTF-8
  std::string text;  // what is done instead
};

struct Levels {
  int level = 1; // 0 off, 1 events, 2 with hex dumps
  uint64_t maxBytes = kDefaultMaxKiB * 1024;
  std::vector<Problem> problems;
};

// Level: empty or absent 1; a number 0 or below 0; 1 is 1; above 1 is 2. MaxSizeKB: empty,
// absent, 0 or below the default; otherwise bounded to kMinMaxKiB..kMaxMaxKiB. Numbers are read
// as _wtoi reads them. `levelName` and `sizeName` name the keys in problems.
Levels interpret(std::wstring_view level, std::wstring_view maxSizeKB,
                 std::string_view levelName = "Level", std::string_view sizeName = "MaxSizeKB");

} // namespace tracecfg

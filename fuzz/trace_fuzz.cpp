// Feeds arbitrary bytes to the trace's text rules, which wirebridge-probe applies to files it did
// not write itself (a trace cut off mid-line, a Wirebridge.cfg from any editor). Input: one mode
// byte, then the bytes.
//   mode 0: one trace line (up to the first line end). Parsing never fails; a line that parses as
//           an event comes back the same when its fields are written again with the library's
//           own quoting.
//   mode 1: a Wirebridge.cfg. Decoding, the key lookup and the value rules never fail, and the
//           values stay inside their bounds.
//   mode 2: UTF-16 text. Its UTF-8 decodes back to the text, each unpaired surrogate as U+FFFD.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "diagnostics/TraceLine.h"
#include "diagnostics/TraceSettings.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "trace_fuzz: %s\n", what);
    std::abort();
  }
}

// What quoting leaves of a value: control characters become '?'.
std::string asQuotingLeavesIt(std::string value) {
  for (char& c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return value;
}

void lineRoundTrip(std::string_view bytes) {
  // One line, as a reader that splits the file at its line ends hands it over.
  const std::string_view line = bytes.substr(0, bytes.find_first_of("\r\n"));
  const tracefmt::Record record = tracefmt::parseLine(line);
  if (record.event.empty()) return;
  tracefmt::Fields fields;
  for (const auto& [key, value] : record.fields)
    fields.text(key, std::string_view(value));
  std::string again = record.time + " [" + record.thread + "] " + record.event;
  if (!record.fields.empty()) again += " " + fields.str();
  const tracefmt::Record reread = tracefmt::parseLine(again);
  check(reread.time == record.time, "time changed");
  check(reread.thread == record.thread, "thread changed");
  check(reread.event == record.event, "event changed");
  check(reread.fields.size() == record.fields.size(), "field count changed");
  for (size_t i = 0; i < record.fields.size(); ++i) {
    check(reread.fields[i].first == record.fields[i].first, "key changed");
    check(reread.fields[i].second == asQuotingLeavesIt(record.fields[i].second), "value changed");
  }
}

void settingsFile(std::string_view bytes) {
  const std::wstring text = tracecfg::decodeSettingsText(bytes);
  const auto level = tracecfg::iniValue(text, tracecfg::kSettingsSection, L"Level");
  const auto size = tracecfg::iniValue(text, tracecfg::kSettingsSection, L"MaxSizeKB");
  (void)tracecfg::iniValue(text, tracecfg::kSettingsSection, L"File");
  const tracecfg::Levels levels = tracecfg::interpret(level.value_or(L""), size.value_or(L""));
  check(levels.level >= 0 && levels.level <= 2, "level outside 0..2");
  check(levels.maxBytes >= tracecfg::kMinMaxKiB * 1024 &&
            levels.maxBytes <= tracecfg::kMaxMaxKiB * 1024,
        "maximum size outside its bounds");
}

void utf8RoundTrip(std::string_view bytes) {
  std::wstring text;
  std::wstring expected;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i]) |
                                            static_cast<unsigned char>(bytes[i + 1]) << 8);
    text += wchar_t(unit);
    expected += wchar_t(unit);
  }
  // Where wchar_t has 16 bits a high surrogate followed by a low one is one character; wider,
  // every surrogate stands alone.
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto c = static_cast<uint32_t>(expected[i]);
    if (c < 0xD800 || c > 0xDFFF) continue;
    const bool pair = sizeof(wchar_t) == 2 && c <= 0xDBFF && i + 1 < expected.size() &&
                      static_cast<uint32_t>(expected[i + 1]) >= 0xDC00 &&
                      static_cast<uint32_t>(expected[i + 1]) <= 0xDFFF;
    if (pair) {
      ++i;
    } else {
      expected[i] = wchar_t(0xFFFD);
    }
  }
  if (!expected.empty() && expected.front() == wchar_t(0xFEFF)) return; // read as a mark
  check(tracecfg::decodeSettingsText(tracefmt::utf8(text)) == expected, "UTF-8 round trip");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
  case 0:
    lineRoundTrip(bytes);
    break;
  case 1:
    settingsFile(bytes);
    break;
  default:
    utf8RoundTrip(bytes);
    break;
  }
  return 0;
}

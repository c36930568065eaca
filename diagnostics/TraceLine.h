#pragma once
// The text of a trace line, without any Windows call: how values are written into a line, the
// hex dump, and the reader that takes a line apart again. The library writes lines with it and
// wirebridge-probe reads them with it, so both agree on quoting and encoding.
//
// A line: "<date> <time.ms> [<thread id, hex>] <event> key=value key=value ...". A value is a
// bare token, or a quoted string in which a quote is written twice ("a ""b"""). Lines of a hex
// dump follow their message line and begin with two spaces.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tracefmt {

// UTF-8 of a wide string (UTF-16 where wchar_t has 16 bits, UTF-32 elsewhere); unpaired
// surrogates become U+FFFD.
std::string utf8(std::wstring_view text);

// A quoted value: quotes doubled, control characters replaced by '?'.
std::string quoted(std::string_view text);
inline std::string quoted(std::wstring_view text) {
  return quoted(std::string_view(utf8(text)));
}
// "0x" and eight hex digits.
std::string hex32(uint32_t value);

// key=value pairs appended to a line, separated by one space.
class Fields {
public:
  Fields& add(std::string_view key, std::string_view bareValue);
  Fields& text(std::string_view key, std::string_view value) { return add(key, quoted(value)); }
  Fields& text(std::string_view key, std::wstring_view value) { return add(key, quoted(value)); }
  Fields& number(std::string_view key, uint64_t value);
  Fields& hex(std::string_view key, uint32_t value) { return add(key, hex32(value)); }
  Fields& flag(std::string_view key, bool value) { return add(key, value ? "yes" : "no"); }
  const std::string& str() const noexcept { return text_; }

private:
  std::string text_;
};

// Lines of a hex dump of `data`, 16 bytes a line, each "  <offset>  <hex bytes>  <ASCII>\r\n".
std::string hexDump(const uint8_t* data, size_t length);

// A trace line taken apart. `event` is empty for lines that are not event lines (hex dumps,
// damaged lines).
struct Record {
  std::string time; // "<date> <time>"
  std::string thread;
  std::string event;
  std::vector<std::pair<std::string, std::string>> fields; // values unquoted
  // The value of `key`, or null when the line has no such field.
  const std::string* find(std::string_view key) const noexcept;
};
Record parseLine(std::string_view line);

} // namespace tracefmt

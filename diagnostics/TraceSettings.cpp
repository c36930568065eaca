#include "diagnostics/TraceSettings.h"

#include "connection/ConfigRules.h"
#include "diagnostics/TraceLine.h"

namespace tracecfg {

namespace {

bool isBlank(wchar_t c) noexcept {
  return c == L' ' || c == L'\t' || c == L'\r' || c == L'\v' || c == L'\f';
}

std::wstring_view trimmed(std::wstring_view text) noexcept {
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// UTF-8 to UTF-16 (or UTF-32 where wchar_t is wider); false at the first invalid sequence.
bool decodeUtf8(std::string_view bytes, std::wstring& out) {
  for (size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    uint32_t code = 0;
    size_t length = 0;
    if (lead < 0x80) {
      code = lead;
      length = 1;
    } else if ((lead & 0xE0) == 0xC0 && lead >= 0xC2) {
      code = lead & 0x1Fu;
      length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      code = lead & 0x0Fu;
      length = 3;
    } else if ((lead & 0xF8) == 0xF0 && lead <= 0xF4) {
      code = lead & 0x07u;
      length = 4;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000 && sizeof(wchar_t) == 2) {
      code -= 0x10000;
      out += wchar_t(0xD800 + (code >> 10));
      out += wchar_t(0xDC00 + (code & 0x3FF));
    } else {
      out += wchar_t(code);
    }
    i += length;
  }
  return true;
}

std::string withoutWhiteSpace(std::wstring_view text) {
  return tracefmt::utf8(trimmed(text));
}

// The text as a plain decimal number (digits only, an optional minus), or none.
bool plainNumber(std::wstring_view text) {
  text = trimmed(text);
  if (!text.empty() && text.front() == L'-') text.remove_prefix(1);
  if (text.empty()) return false;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

} // namespace

std::wstring decodeSettingsText(std::string_view bytes) {
  std::wstring text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text += wchar_t(static_cast<unsigned char>(bytes[i]) |
                      static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (decodeUtf8(bytes, text)) return text;
  text.clear();
  for (const char c : bytes)
    text += wchar_t(static_cast<unsigned char>(c));
  return text;
}

std::optional<std::wstring> iniValue(std::wstring_view text, std::wstring_view section,
                                     std::wstring_view key) {
  bool inSection = false;
  bool sectionSeen = false;
  while (!text.empty()) {
    const size_t end = text.find_first_of(L"\r\n");
    std::wstring_view line = trimmed(text.substr(0, end));
    text = end == std::wstring_view::npos ? std::wstring_view() : text.substr(end + 1);
    if (!line.empty() && line.front() == L'[') {
      const size_t close = line.find(L']');
      const std::wstring_view name =
          trimmed(line.substr(1, close == std::wstring_view::npos ? line.npos : close - 1));
      // Only the first section of that name counts.
      inSection = !sectionSeen && config::equalsIgnoringCase(name, section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection) continue;
    const size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos) continue;
    if (!config::equalsIgnoringCase(trimmed(line.substr(0, equals)), key)) continue;
    std::wstring_view value = trimmed(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::wstring(value);
  }
  return std::nullopt;
}

Levels interpret(std::wstring_view level, std::wstring_view maxSizeKB, std::string_view levelName,
                 std::string_view sizeName) {
  Levels result;
  const auto problem = [&](std::string_view key, std::wstring_view value, std::string text) {
    result.problems.push_back(Problem{std::string(key), withoutWhiteSpace(value), std::move(text)});
  };
  if (!trimmed(level).empty()) {
    const int32_t value = config::parseInt(level);
    result.level = value <= 0 ? 0 : value == 1 ? 1 : 2;
    if (!plainNumber(level) || value < 0 || value > 2) {
      problem(levelName, level,
              "not 0, 1 or 2: taken as " + std::to_string(result.level) +
                  (result.level == 0 ? " (the trace is off)" : ""));
    }
  }
  if (!trimmed(maxSizeKB).empty()) {
    const int32_t value = config::parseInt(maxSizeKB);
    uint64_t kib = value <= 0 ? kDefaultMaxKiB : uint64_t(value);
    if (kib < kMinMaxKiB) kib = kMinMaxKiB;
    if (kib > kMaxMaxKiB) kib = kMaxMaxKiB;
    result.maxBytes = kib * 1024;
    if (!plainNumber(maxSizeKB) || value <= 0 || uint64_t(value) != kib) {
      problem(sizeName, maxSizeKB,
              "not a number of kilobytes from " + std::to_string(kMinMaxKiB) + " to " +
                  std::to_string(kMaxMaxKiB) + ": taken as " + std::to_string(kib));
    }
  }
  return result;
}

} // namespace tracecfg

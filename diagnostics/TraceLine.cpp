#include "diagnostics/TraceLine.h"

#include <algorithm>
#include <cstdio>

namespace tracefmt {

namespace {

void appendCodePoint(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

constexpr uint32_t kReplacement = 0xFFFD;

} // namespace

std::string utf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = uint32_t(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
        const uint32_t low = uint32_t(text[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
    appendCodePoint(out, c);
  }
  return out;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    if (c == '"') {
      out += "\"\"";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      out += '?';
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string hex32(uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof(text), "0x%08X", unsigned(value));
  return text;
}

Fields& Fields::add(std::string_view key, std::string_view bareValue) {
  if (!text_.empty()) text_ += ' ';
  text_ += key;
  text_ += '=';
  text_ += bareValue;
  return *this;
}

Fields& Fields::number(std::string_view key, uint64_t value) {
  return add(key, std::to_string(value));
}

std::string hexDump(const uint8_t* data, size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve((length / 16 + 1) * 80);
  for (size_t row = 0; row < length; row += 16) {
    char offset[24];
    std::snprintf(offset, sizeof(offset), "  %06zx ", row);
    out += offset;
    std::string ascii;
    for (size_t i = row; i < row + 16; ++i) {
      if (i < length) {
        out += ' ';
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
        ascii += (data[i] >= 0x20 && data[i] < 0x7F) ? char(data[i]) : '.';
      } else {
        out += "   ";
      }
    }
    out += "  ";
    out += ascii;
    out += "\r\n";
  }
  return out;
}

const std::string* Record::find(std::string_view key) const noexcept {
  for (const auto& field : fields) {
    if (field.first == key) return &field.second;
  }
  return nullptr;
}

Record parseLine(std::string_view line) {
  Record record;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.remove_suffix(1);
  // "<date> <time> [<thread>] <event> ..."
  const size_t date = line.find(' ');
  if (date == std::string_view::npos || date == 0) return record;
  const size_t time = line.find(' ', date + 1);
  if (time == std::string_view::npos || time + 1 >= line.size() || line[time + 1] != '[') {
    return record;
  }
  const size_t threadEnd = line.find("] ", time + 2);
  if (threadEnd == std::string_view::npos) return record;
  const size_t eventEnd = std::min(line.find(' ', threadEnd + 2), line.size());
  Record parsed;
  parsed.time = std::string(line.substr(0, time));
  parsed.thread = std::string(line.substr(time + 2, threadEnd - time - 2));
  parsed.event = std::string(line.substr(threadEnd + 2, eventEnd - threadEnd - 2));
  size_t at = eventEnd;
  while (at < line.size()) {
    while (at < line.size() && line[at] == ' ')
      ++at;
    if (at >= line.size()) break;
    const size_t equals = line.find('=', at);
    if (equals == std::string_view::npos) return record; // damaged: no event at all
    std::string key(line.substr(at, equals - at));
    std::string value;
    at = equals + 1;
    if (at < line.size() && line[at] == '"') {
      ++at;
      bool closed = false;
      while (at < line.size()) {
        if (line[at] == '"') {
          if (at + 1 < line.size() && line[at + 1] == '"') {
            value += '"';
            at += 2;
            continue;
          }
          ++at;
          closed = true;
          break;
        }
        value += line[at++];
      }
      if (!closed) return record;
    } else {
      const size_t end = std::min(line.find(' ', at), line.size());
      value = std::string(line.substr(at, end - at));
      at = end;
    }
    parsed.fields.emplace_back(std::move(key), std::move(value));
  }
  return parsed;
}

} // namespace tracefmt

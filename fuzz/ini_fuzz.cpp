// Settings file format: the reader survives any input, writing what it read keeps everything
// the format carries, and a store built from accepted settings reads back exactly.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "settings/IniCarriable.h"
#include "settings/IniFormat.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

IniSections parse(const std::string& text) {
  std::istringstream in(text);
  IniSections sections;
  readIni(in, sections);
  return sections;
}

std::string format(const IniSections& sections) {
  std::ostringstream out;
  writeIni(out, sections);
  return out.str();
}

bool acceptedBy(const std::string& section, const std::string& key, const std::string& value) {
  const char* refusal = iniEntryRefusal(section, key, value);
  try {
    requireIniCarriable(section, key, value);
    check(refusal == nullptr);
  } catch (const std::invalid_argument&) {
    check(refusal != nullptr);
  }
  return refusal == nullptr;
}

// Whatever the reader makes of arbitrary text, a write and a second read keep every section and
// every entry the format carries, and add or change nothing.
void checkReadWriteRead(const std::string& text) {
  const IniSections first = parse(text);
  const IniSections second = parse(format(first));
  check(second.size() == first.size());
  for (const auto& [name, entries] : first) {
    const auto section = second.find(name);
    check(section != second.end());
    for (const auto& [key, value] : entries) {
      const auto entry = section->second.find(key);
      if (acceptedBy(name, key, value))
        check(entry != section->second.end() && entry->second == value);
    }
    for (const auto& [key, value] : section->second) {
      const auto original = entries.find(key);
      check(original != entries.end() && original->second == value);
    }
  }
}

bool hasCharacterOtherReadersFear(const std::string& text) {
  return text.find_first_of("\r\x1A") != std::string::npos;
}

// Settings taken from the input one (section, key, value) at a time: accepted ones must read
// back exactly; refused ones (apart from characters refused for other readers' sake) must
// indeed fail to read back, so no rule is stricter than the format.
void checkSettingsRoundTrip(FuzzedDataProvider& data) {
  IniSections store;
  while (data.remaining_bytes() > 0) {
    const std::string section = data.ConsumeRandomLengthString(32);
    const std::string key = data.ConsumeRandomLengthString(32);
    const std::string value = data.ConsumeRandomLengthString(64);
    if (acceptedBy(section, key, value)) {
      store[section][key] = value;
      continue;
    }
    if (hasCharacterOtherReadersFear(section) || hasCharacterOtherReadersFear(key) ||
        hasCharacterOtherReadersFear(value))
      continue;
    const IniSections single{{section, {{key, value}}}};
    check(parse(format(single)) != single);
  }
  check(parse(format(store)) == store);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  checkReadWriteRead(std::string(reinterpret_cast<const char*>(bytes), size));
  FuzzedDataProvider data(bytes, size);
  checkSettingsRoundTrip(data);
  return 0;
}

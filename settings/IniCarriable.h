#pragma once
// Which section names, keys and values survive a write and a read of the settings format.
// The store refuses anything else rather than writing a file that reads back differently.
#include <string>

// Why the entry cannot be written so that it reads back unchanged, or nullptr when it can.
const char* iniEntryRefusal(const std::string& section, const std::string& key,
                            const std::string& value);

// Throws std::invalid_argument naming the reason when iniEntryRefusal gives one.
void requireIniCarriable(const std::string& section, const std::string& key,
                         const std::string& value);

#pragma once
// Result codes in words, without any Windows call: the HRESULTs the exports return, the status
// codes a lost connection records, and the system errors an attempt or a library load reports.
#include <cstdint>
#include <string>

namespace probe {

// The name and a few words for a code the library or the system is known to report, e.g.
// "E_INVALIDARG: invalid argument" or "connection refused"; empty for a code not in the table.
std::string codeWords(uint32_t code);

// "<number> (<words>)", or just the number when the code is not known. HRESULTs and status
// codes are shown in hex, system errors in decimal.
std::string codeWithWords(uint32_t code);

} // namespace probe

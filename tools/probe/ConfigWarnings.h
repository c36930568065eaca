#pragma once
// Values of the configuration that were rejected, ignored or cut, found from what the library's
// trace says it read. Portable: no Windows call.
#include <vector>

#include "tools/probe/ProbeReport.h"

namespace probe {

// The published-ports key, as warnings about a registry value name it.
inline constexpr char kPortsKeyName[] = "HKCU\\SOFTWARE\\Lockheed Martin\\Prepar3D v4";

// Every value of the files and the registry that does not take effect as written, with its effect.
std::vector<Warning> configWarnings(const Report& report);

// True for a decimal number from 1 to 65535 and nothing else.
bool isPortNumber(const std::string& text);

} // namespace probe

#pragma once
// Finding the configuration of one open: SimConnect.cfg in up to three folders (Public Documents,
// the user's Documents, the current directory, read in that order so later ones win key by key)
// and the TCP ports that the simulator publishes under HKEY_CURRENT_USER. Nothing is cached:
// every open reads the files and the registry afresh.
#include <cstdint>
#include <string>

#include "connection/ConnectionConfig.h"

// Result of findConfigSection.
inline constexpr uint32_t kConfigSectionFound = 0;
inline constexpr uint32_t kConfigSectionMissing = 3;

// "SimConnect" for index 0, "SimConnect.<index>" otherwise.
std::wstring configSectionName(uint32_t configIndex);

// 0 when the index needs no section (0 and 0xFFFFFFFF) or when a search location's file holds
// the section with at least one line; 3 otherwise.
uint32_t findConfigSection(uint32_t configIndex);

namespace trace {
class ConfigAttribution;
}

// The defaults, then the indexed section of every search location in order (no file at all for
// index 0xFFFFFFFF). With `attribution`, also notes where each setting came from for the trace.
void loadConnectionConfig(uint32_t configIndex, ConnectionConfig& config,
                          trace::ConfigAttribution* attribution = nullptr);

// Applies the indexed section of one file; a missing file, section or key changes nothing.
// A section whose Protocol selects IPv4 or IPv6 and that gives no Port takes that family's
// published port from the registry.
void readConfigSection(const wchar_t* filePath, uint32_t configIndex, ConnectionConfig& config);

// Replaces `port` with the simulator's published port for IPv6 (true) or IPv4 (false). True when
// the value was read; otherwise `port` is empty.
bool readRegistryPort(bool ipv6, std::wstring& port);

// The user's Documents folder, or empty when it can't be had.
std::wstring userDocumentsFolder();

#pragma once
// Command line of simconnect-server.exe.
#include "tools/simserver/Server.h"

#include <optional>
#include <string>
#include <vector>

namespace simserver {

struct ProgramOptions {
  Options server;
  bool log = false;
  std::optional<unsigned> exitAfterSeconds;
  bool help = false;
};

// Throws std::invalid_argument with a message naming the bad argument.
ProgramOptions parseCommandLine(const std::vector<std::wstring>& arguments);

extern const char kUsage[];

} // namespace simserver

#pragma once
// Where the trace's settings come from on this machine: the environment variables, or the
// [Trace] section of "Wirebridge.cfg" in the user's Documents folder. Read by the library at
// every SimConnect_Open and by wirebridge-probe --trace-settings, so both see the same answer.
#include <string>

#include "diagnostics/TraceSettings.h"

namespace tracecfg {

enum class Source { None, Environment, File };

struct Found {
  Source source = Source::None;
  std::wstring settingsFile; // the Wirebridge.cfg looked at; empty without a Documents folder
  bool settingsFileRead = false;
  // The trace file as it is opened: from the environment as given (a relative path is taken
  // from the process's current folder), from the file joined to the Documents folder.
  std::wstring path;
  Levels levels;
};

Found findSettings();

} // namespace tracecfg

#pragma once
// What the open sequence looks at on this machine, made clean for one test: no published ports
// in the registry, and a fresh current directory that may hold a SimConnect.cfg. Restored when
// the test ends, the ports an installed simulator published included.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "connection/SimulatorInterface.h"
#include "tests/support/SavedSimulatorKeys.h"
#include "tools/simserver/Server.h"

class LocalSimulatorSetup {
public:
  LocalSimulatorSetup() {
    clearPublishedPorts();
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    previous_ = previous;
    folder_ = std::filesystem::temp_directory_path() /
              ("wirebridge-open-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(folder_);
    SetCurrentDirectoryW(folder_.c_str());
  }
  ~LocalSimulatorSetup() {
    SetCurrentDirectoryW(previous_.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    clearPublishedPorts();
  }
  LocalSimulatorSetup(const LocalSimulatorSetup&) = delete;
  LocalSimulatorSetup& operator=(const LocalSimulatorSetup&) = delete;

  // Writes SimConnect.cfg into the current directory.
  void writeConfig(const std::string& text) const {
    std::ofstream(folder_ / "SimConnect.cfg") << text;
  }

  static void clearPublishedPorts() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, sim::kPortsRegistryKey, 0, KEY_SET_VALUE, &key) == 0) {
      RegDeleteValueW(key, sim::kPortValueIPv4);
      RegDeleteValueW(key, sim::kPortValueIPv6);
      RegCloseKey(key);
    }
  }

private:
  SavedSimulatorKeys savedKeys_; // first made, last gone: it puts back what the test cleared
  std::wstring previous_;
  std::filesystem::path folder_;
};

// The stand-in server on the simulator's own endpoints, with the chosen ones served.
inline simserver::Options serving(bool pipe, bool ipv4, bool ipv6) {
  simserver::Options options;
  options.servePipe = pipe;
  options.serveIPv4 = ipv4;
  options.serveIPv6 = ipv6;
  return options;
}

// Stand-in for the simulator's executable prepar3d.exe. It first records what it finds when it
// begins to run. Then, when AEROLUMEN_STANDIN_SIMULATOR holds the stand-in simulator's arguments
// (the launcher starts prepar3d.exe without arguments, so they travel in the environment it
// inherits), it plays the simulator: VR-mode report, SimConnect server, "FS98MAIN" window, add-on.
// Its result goes to the file named by AEROLUMEN_STANDIN_RESULT, since nobody waits for it.
#include <windows.h>

#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/standin-p3d/StartupRecord.h"
#include "tools/standin-sim/CommandLine.h"

namespace {

std::wstring environmentValue(const wchar_t* name) {
  const DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
  if (length == 0) return {};
  std::wstring value(length, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), length));
  return value;
}

std::vector<std::wstring> splitArguments(const std::wstring& line) {
  std::vector<std::wstring> arguments;
  int count = 0;
  LPWSTR* parts = CommandLineToArgvW(line.c_str(), &count);
  if (parts == nullptr) return arguments;
  arguments.assign(parts, parts + count);
  LocalFree(parts);
  return arguments;
}

int playSimulator(const std::wstring& argumentLine) {
  std::string error;
  const auto options = standin::parseStandInArguments(splitArguments(argumentLine), error);
  const int result = options ? standin::runStandInSimulator(*options) : 2;
  const std::wstring resultFile = environmentValue(L"AEROLUMEN_STANDIN_RESULT");
  if (!resultFile.empty()) {
    std::ofstream(std::filesystem::path(resultFile)) << result << '\n' << error;
  }
  return result;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  recordStartup();
  const std::wstring simulatorArguments = environmentValue(L"AEROLUMEN_STANDIN_SIMULATOR");
  if (simulatorArguments.empty()) return 0;
  return playSimulator(simulatorArguments);
}

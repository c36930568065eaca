#include "launcher/LauncherSteps.h"

#include "launcher/OwnModulePath.h"
#include "launcher/SuspendedSimulator.h"

#include <cstring>
#include <exception>
#include <optional>
#include <string>

namespace {

constexpr DWORD startupDelayMilliseconds = 250;
constexpr const char* caption = "Aerolumen P3D4";
constexpr const char* resetSwitch = "-ResetConfig";
constexpr const char* simulatorExecutable = "prepar3d.exe";
constexpr const char* simulatorDisplayName = "Prepar3D v4";
constexpr const wchar_t* elevationVerb = L"runas";
constexpr DWORD elevationRequired = 740; // ERROR_ELEVATION_REQUIRED

constexpr const char* resetQuestion = "Are you sure that you want to clear all Aerolumen settings?";
constexpr const char* resetDoneMessage =
    "Aerolumen's settings have been cleared.  Aerolumen will now launch.";
constexpr const char* elevationFailureMessage =
    "Aerolumen requires administrator privileges in-order to run.\n"
    "Please run Aerolumen as administrator.\n"
    "Error: ";
constexpr const char* resetFailureMessage =
    "Aerolumen could not clear its settings, so it has not started Prepar3D v4.\nReason: ";
constexpr const char* vrModeFailureMessage =
    "Aerolumen could not write its VR setting to the settings file, so Prepar3D v4 starts "
    "without VR mode.\nReason: ";

std::string launchErrorMessage() {
  return std::string("Aerolumen was unable to launch ") + simulatorDisplayName +
         ".\nPlease ensure that " + simulatorExecutable +
         " is located in your flight simulator directory.";
}

// Every text of the launcher is UTF-8: its own texts are ASCII, and the reasons it passes on come
// from file-system errors, whose paths are UTF-8.
std::wstring fromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  return wide;
}

int showMessage(LauncherPlatform& platform, const std::string& text, UINT style) {
  return platform.messageBox(nullptr, fromUtf8(text).c_str(), fromUtf8(caption).c_str(), style);
}

bool hasResetSwitch(const char* commandLine) {
  return commandLine != nullptr && std::strstr(commandLine, resetSwitch) != nullptr;
}

// Runs one settings-store operation; gives the reason when it threw.
template <typename Operation> std::optional<std::string> failureOf(Operation operation) {
  try {
    operation();
    return std::nullopt;
  } catch (const std::exception& failure) {
    return std::string(failure.what());
  } catch (...) {
    return std::string("unknown error");
  }
}

// Returns false when the reset failed; the user has then been told and nothing is started, since
// a reset was asked for and did not happen.
bool resetSettings(LauncherPlatform& platform) {
  if (const auto failure = failureOf([&] { platform.resetSettingsStores(); })) {
    showMessage(platform, resetFailureMessage + *failure, MB_OK | MB_ICONERROR);
    return false;
  }
  showMessage(platform, resetDoneMessage, MB_OK);
  return true;
}

// The simulator was started suspended: write the VR-mode entry while no code of it runs, then let
// it run. A failed write still lets it run; the user learns of the failure afterwards, so that the
// simulator is not kept waiting on the message box.
void writeVrModeAndResume(LauncherPlatform& platform, const PROCESS_INFORMATION& started) {
  std::optional<std::string> failure;
  {
    SuspendedSimulator simulator(platform, started);
    failure = failureOf([&] { platform.writeVrModeSetting(); });
    simulator.resume();
  }
  if (failure) showMessage(platform, vrModeFailureMessage + *failure, MB_OK | MB_ICONWARNING);
}

void showElevationFailure(LauncherPlatform& platform, DWORD error) {
  showMessage(platform, elevationFailureMessage + std::to_string(error), MB_OK);
}

// Starts this program again with the "runas" verb and no parameters, so the copy asks for
// elevation and never repeats a reset. The elevated copy is given the current directory, where
// the simulator lies: elevation need not carry it over.
void restartElevated(LauncherPlatform& platform) {
  const OwnModulePath own = queryOwnModulePath(platform);
  if (!own.complete) {
    showElevationFailure(platform, own.error);
    return;
  }
  const std::wstring directory = queryCurrentDirectory(platform);
  SHELLEXECUTEINFOW info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  info.fMask = 0;
  info.hwnd = nullptr;
  info.lpVerb = elevationVerb;
  info.lpFile = own.path.c_str();
  info.lpParameters = L"";
  info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
  info.nShow = SW_SHOW;
  if (!platform.shellExecuteEx(&info)) showElevationFailure(platform, platform.lastError());
}

} // namespace

int runLauncher(LauncherPlatform& platform, const char* commandLine) {
  platform.sleep(startupDelayMilliseconds);

  if (hasResetSwitch(commandLine)) {
    if (showMessage(platform, resetQuestion, MB_YESNO) != IDYES) return 0;
    if (!resetSettings(platform)) return 0;
  }

  STARTUPINFOA startupInfo;
  std::memset(&startupInfo, 0, sizeof startupInfo);
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION started;
  std::memset(&started, 0, sizeof started);
  if (platform.createProcess(simulatorExecutable, nullptr, nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED, nullptr, nullptr, &startupInfo, &started)) {
    writeVrModeAndResume(platform, started);
    return 0;
  }

  if (platform.lastError() == elevationRequired) {
    restartElevated(platform);
  } else {
    showMessage(platform, launchErrorMessage(), MB_OK);
  }
  return 0;
}

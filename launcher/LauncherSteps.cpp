#include "launcher/LauncherSteps.h"

#include "launcher/OwnModulePath.h"
#include "launcher/SuspendedSimulator.h"
#include "settings/SettingsFileError.h"

#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

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
// The file still holds what it held before (which may include the entry from an earlier run), or
// its state is not known: whether the simulator comes up in VR mode is not known either.
constexpr const char* vrModeNotWrittenMessage =
    "Aerolumen could not write its VR setting to the settings file, so Prepar3D v4 may start "
    "without VR mode.\nReason: ";
constexpr const char* vrModeDamagedMessage =
    "Aerolumen could not write its VR setting to the settings file, so Prepar3D v4 may start "
    "without VR mode. The settings file is damaged; your settings are kept in its backup:\n";
// The entry is in the file; only its flush to the disk failed.
constexpr const char* vrModeUnflushedMessage =
    "Aerolumen wrote its VR setting to the settings file, but Windows could not confirm that the "
    "file reached the disk.\nReason: ";

std::string launchErrorMessage() {
  return std::string("Aerolumen was unable to launch ") + simulatorDisplayName +
         ".\nPlease ensure that " + simulatorExecutable +
         " is located in your flight simulator directory.";
}

// The launcher's own texts are ASCII; what it passes on from elsewhere is converted to UTF-16 where
// it is known, so that paths and system texts outside the ANSI code page show.
std::wstring widen(const std::string& text, UINT codePage) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
  return wide;
}

std::wstring fromUtf8(const std::string& text) {
  return widen(text, CP_UTF8);
}

int showMessage(LauncherPlatform& platform, const std::wstring& text, UINT style) {
  return platform.messageBox(nullptr, text.c_str(), fromUtf8(caption).c_str(), style);
}

int showMessage(LauncherPlatform& platform, const std::string& text, UINT style) {
  return showMessage(platform, fromUtf8(text), style);
}

// The system's own text for an error, in the user's language.
std::wstring errorText(LauncherPlatform& platform, const std::error_code& error) {
  if (error.category() == std::system_category()) {
    const DWORD code = static_cast<DWORD>(error.value());
    const std::wstring text = platform.systemErrorText(code);
    return text.empty() ? L"system error " + std::to_wstring(code) : text;
  }
  // The runtime library's texts are in the ANSI code page.
  return widen(error.message(), CP_ACP);
}

// A failure of the settings store, told from its parts: its description, the system's text for
// the error and the wide paths. The texts that the runtime library composes would carry the
// system text in the ANSI code page.
struct Failure {
  std::wstring reason;
  FileLeft left = FileLeft::unchanged; // `unchanged` also when the store does not say
  std::filesystem::path backup;        // holds the settings when the file was left damaged
};

Failure failureOf(LauncherPlatform& platform, const SettingsFileError& error) {
  std::wstring reason = fromUtf8(error.description()) + L": " + errorText(platform, error.code());
  reason += L" [" + error.path1().wstring() + L"]";
  if (!error.path2().empty()) reason += L" [" + error.path2().wstring() + L"]";
  return {reason, error.fileLeft(), error.path2()};
}

bool hasResetSwitch(const char* commandLine) {
  return commandLine != nullptr && std::strstr(commandLine, resetSwitch) != nullptr;
}

// Runs one settings-store operation; gives what it threw, if anything.
template <typename Operation> std::exception_ptr thrownBy(Operation operation) {
  try {
    operation();
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

Failure failureOf(LauncherPlatform& platform, const std::exception_ptr& thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const SettingsFileError& failure) {
    return failureOf(platform, failure);
  } catch (const std::exception& failure) {
    return Failure{fromUtf8(failure.what()), FileLeft::unchanged, {}};
  } catch (...) {
    return Failure{L"unknown error", FileLeft::unchanged, {}};
  }
}

// Returns false when the reset failed; the user has then been told and nothing is started, since
// a reset was asked for and did not happen.
bool resetSettings(LauncherPlatform& platform) {
  if (const auto thrown = thrownBy([&] { platform.resetSettingsStores(); })) {
    showMessage(platform, fromUtf8(resetFailureMessage) + failureOf(platform, thrown).reason,
                MB_OK | MB_ICONERROR);
    return false;
  }
  showMessage(platform, resetDoneMessage, MB_OK);
  return true;
}

// What the box says about VR mode follows from what the settings file holds now.
std::wstring vrModeFailureText(const Failure& failure) {
  switch (failure.left) {
  case FileLeft::written:
    return fromUtf8(vrModeUnflushedMessage) + failure.reason;
  case FileLeft::damaged:
    return fromUtf8(vrModeDamagedMessage) + failure.backup.wstring() + L"\nReason: " +
           failure.reason;
  case FileLeft::unchanged:
    break;
  }
  return fromUtf8(vrModeNotWrittenMessage) + failure.reason;
}

// The simulator was started suspended: write the VR-mode entry while no code of it runs, then let
// it run. A failed write still lets it run; the user learns of the failure afterwards, so that the
// simulator is not kept waiting on the message box.
void writeVrModeAndResume(LauncherPlatform& platform, const PROCESS_INFORMATION& started) {
  std::exception_ptr thrown;
  {
    SuspendedSimulator simulator(platform, started);
    thrown = thrownBy([&] { platform.writeVrModeSetting(); });
    simulator.resume();
  }
  if (thrown)
    showMessage(platform, vrModeFailureText(failureOf(platform, thrown)), MB_OK | MB_ICONWARNING);
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

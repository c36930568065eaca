#pragma once
// Helpers for running the real launcher under test: temporary folders, the add-on's settings
// files, started programs, message boxes and the stand-in simulator's report.
#include <windows.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A path of the build tree (a Unix path under Wine) as the Windows programs see it.
std::filesystem::path hostPath(const char* unixPath);

// A fresh, empty folder under the temporary folder; removed with everything in it at the end.
class TempFolder {
public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

// ---- Settings files
// ------------------------------------------------------------------------------

// The file of a settings store in the roaming application-data folder, as the launcher uses it.
std::filesystem::path storeFile(const std::string& storeName);
std::filesystem::path backupOf(const std::filesystem::path& file);

std::optional<std::string> readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, const std::string& bytes);

using IniSections = std::map<std::string, std::map<std::string, std::string>>;
// Reads "[section]" headers and "key = value" entries; enough to compare settings files.
IniSections parseIni(const std::string& text);

// Clears the files of the stores "settings" and "window_positions" (and their backups) for one
// test and puts back at the end what was there before.
class SettingsFilesGuard {
public:
  SettingsFilesGuard();
  ~SettingsFilesGuard();
  SettingsFilesGuard(const SettingsFilesGuard&) = delete;
  SettingsFilesGuard& operator=(const SettingsFilesGuard&) = delete;

private:
  std::map<std::filesystem::path, std::string> saved_;
  bool folderExisted_;
};

// Puts a plain file where the settings folder belongs, so that no settings store can be opened;
// moves an existing settings folder aside meanwhile and puts everything back at the end.
class BlockedSettingsFolder {
public:
  BlockedSettingsFolder();
  ~BlockedSettingsFolder();
  BlockedSettingsFolder(const BlockedSettingsFolder&) = delete;
  BlockedSettingsFolder& operator=(const BlockedSettingsFolder&) = delete;

private:
  std::filesystem::path folder_;
  std::filesystem::path setAside_;
};

// Makes the settings folder refuse the new files that the process `processId` would create
// beside the settings file and its backup (the way a folder whose permissions allow changing
// files but not creating them does): a folder stands at each name it would use, so creating the
// file there is refused with ERROR_ACCESS_DENIED. Removes them at the end.
class NewSettingsFilesRefused {
public:
  explicit NewSettingsFilesRefused(DWORD processId);
  ~NewSettingsFilesRefused();
  NewSettingsFilesRefused(const NewSettingsFilesRefused&) = delete;
  NewSettingsFilesRefused& operator=(const NewSettingsFilesRefused&) = delete;

private:
  std::vector<std::filesystem::path> blockers_;
};

// ---- Programs
// ------------------------------------------------------------------------------------

class UniqueHandle {
public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  HANDLE get() const { return handle_; }
  void reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = handle;
  }

private:
  HANDLE handle_ = nullptr;
};

// A program started with `arguments` in `workingFolder`; killed at the end if still running.
class LaunchedProgram {
public:
  enum class Start { running, suspended };
  LaunchedProgram(const std::filesystem::path& executable, const std::wstring& arguments,
                  const std::filesystem::path& workingFolder, Start start = Start::running);
  ~LaunchedProgram();
  LaunchedProgram(const LaunchedProgram&) = delete;
  LaunchedProgram& operator=(const LaunchedProgram&) = delete;

  bool started() const { return process_.get() != nullptr; }
  DWORD startError() const { return startError_; }
  DWORD processId() const { return processId_; }
  // Lets a program started suspended run.
  void resume();
  // The exit code, or nothing when the program is still running after `milliseconds`.
  std::optional<DWORD> waitForExit(DWORD milliseconds);

private:
  UniqueHandle process_;
  UniqueHandle thread_;
  DWORD processId_ = 0;
  DWORD startError_ = 0;
};

// ---- Message boxes
// -------------------------------------------------------------------------------

struct ShownMessageBox {
  HWND window;
  std::string text; // the box's static text, UTF-8
  bool hasOk, hasYes, hasNo, hasCancel;
};

// Waits for a visible dialog captioned "Aerolumen P3D4" of the given process.
std::optional<ShownMessageBox> waitForMessageBox(DWORD processId, DWORD milliseconds);
// Presses a button the way a click does: the dialog gets WM_COMMAND with the button's id.
void pressButton(const ShownMessageBox& box, int buttonId);
// True when the box is gone within `milliseconds`.
bool waitUntilClosed(const ShownMessageBox& box, DWORD milliseconds);

// ---- Stand-in report
// -----------------------------------------------------------------------------

struct StandinReport {
  std::map<std::string, std::string> fields;
  std::string settingsContent;
  std::string field(const std::string& name) const;
};

std::optional<StandinReport> waitForReport(const std::filesystem::path& file, DWORD milliseconds);

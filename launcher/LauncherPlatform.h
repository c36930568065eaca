#pragma once
// What the launcher asks of the system. The steps run against this interface so that every branch
// can be driven by scripted answers; Win32LauncherPlatform forwards each call to Windows.
#include <windows.h>

#include <shellapi.h>

#include <string>

class LauncherPlatform {
public:
  virtual ~LauncherPlatform() = default;

  virtual void sleep(DWORD milliseconds) = 0;
  // MessageBoxW: texts in UTF-16, so that paths and system texts outside the ANSI code page show.
  virtual int messageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT style) = 0;
  // CreateProcessA, argument for argument.
  virtual BOOL createProcess(const char* applicationName, char* commandLine,
                             SECURITY_ATTRIBUTES* processAttributes,
                             SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                             DWORD creationFlags, void* environment, const char* currentDirectory,
                             STARTUPINFOA* startupInfo,
                             PROCESS_INFORMATION* processInformation) = 0;
  virtual DWORD lastError() = 0;
  // FormatMessageW from the system's message table, in the user's language, without the line
  // break at its end; empty when the system has no text for the error.
  virtual std::wstring systemErrorText(DWORD error) = 0;
  virtual DWORD resumeThread(HANDLE thread) = 0;
  virtual void closeHandle(HANDLE handle) = 0;
  // GetModuleFileNameW: a full buffer (the result equals `size`) means the path was cut short.
  virtual DWORD moduleFileName(HMODULE module, wchar_t* buffer, DWORD size) = 0;
  // GetCurrentDirectoryW: the length without the terminator, or the size needed with it when
  // `size` is too small, or 0 on failure.
  virtual DWORD currentDirectory(DWORD size, wchar_t* buffer) = 0;
  virtual BOOL shellExecuteEx(SHELLEXECUTEINFOW* info) = 0;

  // Deletes the files of the stores "settings" and "window_positions". Throws what the settings
  // store throws.
  virtual void resetSettingsStores() = 0;
  // Sets "ForceVRMode" = "1" in section "Loading" of the store "settings" and rewrites its file
  // before returning. Throws what the settings store throws: SettingsFileError says what the
  // file was left holding.
  virtual void writeVrModeSetting() = 0;
};

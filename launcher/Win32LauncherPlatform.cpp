#include "launcher/Win32LauncherPlatform.h"

#include "settings/SettingsStore.h"

void Win32LauncherPlatform::sleep(DWORD milliseconds) {
  Sleep(milliseconds);
}

int Win32LauncherPlatform::messageBox(HWND owner, const wchar_t* text, const wchar_t* caption,
                                      UINT style) {
  return MessageBoxW(owner, text, caption, style);
}

BOOL Win32LauncherPlatform::createProcess(const char* applicationName, char* commandLine,
                                          SECURITY_ATTRIBUTES* processAttributes,
                                          SECURITY_ATTRIBUTES* threadAttributes,
                                          BOOL inheritHandles, DWORD creationFlags,
                                          void* environment, const char* currentDirectory,
                                          STARTUPINFOA* startupInfo,
                                          PROCESS_INFORMATION* processInformation) {
  return CreateProcessA(applicationName, commandLine, processAttributes, threadAttributes,
                        inheritHandles, creationFlags, environment, currentDirectory, startupInfo,
                        processInformation);
}

DWORD Win32LauncherPlatform::lastError() {
  return GetLastError();
}

DWORD Win32LauncherPlatform::resumeThread(HANDLE thread) {
  return ResumeThread(thread);
}

void Win32LauncherPlatform::closeHandle(HANDLE handle) {
  CloseHandle(handle);
}

DWORD Win32LauncherPlatform::moduleFileName(HMODULE module, wchar_t* buffer, DWORD size) {
  return GetModuleFileNameW(module, buffer, size);
}

DWORD Win32LauncherPlatform::currentDirectory(DWORD size, wchar_t* buffer) {
  return GetCurrentDirectoryW(size, buffer);
}

BOOL Win32LauncherPlatform::shellExecuteEx(SHELLEXECUTEINFOW* info) {
  return ShellExecuteExW(info);
}

void Win32LauncherPlatform::resetSettingsStores() {
  // Both stores stay open until both deletions are done and close in reverse order.
  SettingsStore settings("settings");
  settings.deleteFiles();
  SettingsStore windowPositions("window_positions");
  windowPositions.deleteFiles();
}

void Win32LauncherPlatform::writeVrModeSetting() {
  SettingsStore settings("settings");
  settings.setValue("Loading", "ForceVRMode", "1");
}

#include "launcher/Win32LauncherPlatform.h"

#include "settings/SettingsStore.h"

void Win32LauncherPlatform::sleep(DWORD milliseconds) {
  Sleep(milliseconds);
}

int Win32LauncherPlatform::messageBox(HWND owner, const char* text, const char* caption,
                                      UINT style) {
  return MessageBoxA(owner, text, caption, style);
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

DWORD Win32LauncherPlatform::moduleFileName(HMODULE module, char* buffer, DWORD size) {
  return GetModuleFileNameA(module, buffer, size);
}

BOOL Win32LauncherPlatform::shellExecuteEx(SHELLEXECUTEINFOA* info) {
  return ShellExecuteExA(info);
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

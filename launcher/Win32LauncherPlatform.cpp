#include "launcher/Win32LauncherPlatform.h"

#include <memory>

#include "settings/SettingsStore.h"

namespace {

struct LocalFreeDeleter {
  void operator()(wchar_t* text) const noexcept { LocalFree(text); }
};

} // namespace

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

std::wstring Win32LauncherPlatform::systemErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const std::unique_ptr<wchar_t, LocalFreeDeleter> owned(buffer);
  if (length == 0 || buffer == nullptr) return {};
  std::wstring text(buffer, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  return text;
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

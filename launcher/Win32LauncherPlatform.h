#pragma once
// The launcher's platform on Windows: every call goes to the system or to the settings store.
#include "launcher/LauncherPlatform.h"

class Win32LauncherPlatform final : public LauncherPlatform {
public:
  void sleep(DWORD milliseconds) override;
  int messageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT style) override;
  BOOL createProcess(const char* applicationName, char* commandLine,
                     SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                     BOOL inheritHandles, DWORD creationFlags, void* environment,
                     const char* currentDirectory, STARTUPINFOA* startupInfo,
                     PROCESS_INFORMATION* processInformation) override;
  DWORD lastError() override;
  std::wstring systemErrorText(DWORD error) override;
  DWORD resumeThread(HANDLE thread) override;
  void closeHandle(HANDLE handle) override;
  DWORD moduleFileName(HMODULE module, wchar_t* buffer, DWORD size) override;
  DWORD currentDirectory(DWORD size, wchar_t* buffer) override;
  BOOL shellExecuteEx(SHELLEXECUTEINFOW* info) override;
  void resetSettingsStores() override;
  void writeVrModeSetting() override;
};

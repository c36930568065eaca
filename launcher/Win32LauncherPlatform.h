#pragma once
// The launcher's platform on Windows: every call goes to the system or to the settings store.
#include "launcher/LauncherPlatform.h"

class Win32LauncherPlatform final : public LauncherPlatform {
public:
  void sleep(DWORD milliseconds) override;
  int messageBox(HWND owner, const char* text, const char* caption, UINT style) override;
  BOOL createProcess(const char* applicationName, char* commandLine,
                     SECURITY_ATTRIBUTES* processAttributes, SECURITY_ATTRIBUTES* threadAttributes,
                     BOOL inheritHandles, DWORD creationFlags, void* environment,
                     const char* currentDirectory, STARTUPINFOA* startupInfo,
                     PROCESS_INFORMATION* processInformation) override;
  DWORD lastError() override;
  DWORD resumeThread(HANDLE thread) override;
  void closeHandle(HANDLE handle) override;
  DWORD moduleFileName(HMODULE module, char* buffer, DWORD size) override;
  BOOL shellExecuteEx(SHELLEXECUTEINFOA* info) override;
  void resetSettingsStores() override;
  void writeVrModeSetting() override;
};

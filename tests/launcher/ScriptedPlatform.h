#pragma once
// A launcher platform that answers from a script and records every call, with the arguments as
// they were at the moment of the call.
#include "launcher/LauncherPlatform.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

struct RecordedMessageBox {
  HWND owner;
  std::string text;
  std::string caption;
  UINT style;
};

struct RecordedProcessStart {
  bool applicationNameGiven;
  std::string applicationName;
  const char* commandLine;
  const SECURITY_ATTRIBUTES* processAttributes;
  const SECURITY_ATTRIBUTES* threadAttributes;
  BOOL inheritHandles;
  DWORD creationFlags;
  const void* environment;
  const char* currentDirectory;
  std::vector<unsigned char> startupInfoBytes;
  bool processInformationGiven;
};

struct RecordedShellExecute {
  SHELLEXECUTEINFOA info; // its string pointers are only valid during the call
  bool verbGiven, fileGiven, parametersGiven;
  std::string verb, file, parameters;
};

class ScriptedPlatform : public LauncherPlatform {
public:
  // The handles a successful start hands out.
  static inline const HANDLE processHandle = reinterpret_cast<HANDLE>(0x1F0);
  static inline const HANDLE threadHandle = reinterpret_cast<HANDLE>(0x2E4);

  // Script.
  std::deque<int> messageBoxAnswers; // when empty, boxes answer IDOK
  bool processStarts = true;
  DWORD processStartError = ERROR_FILE_NOT_FOUND;
  std::string ownPath = "C:\\Program Files\\Aerolumen\\AerolumenP3D4.exe";
  bool ownPathAlwaysCutShort = false;
  DWORD ownPathError = 0; // not 0: GetModuleFileNameA fails with this error
  bool shellExecuteSucceeds = true;
  DWORD shellExecuteError = ERROR_CANCELLED;
  std::function<void()> onReset;       // may throw
  std::function<void()> onWriteVrMode; // may throw

  // Record.
  std::vector<std::string> calls;
  std::vector<RecordedMessageBox> boxes;
  std::vector<RecordedProcessStart> starts;
  std::vector<RecordedShellExecute> shellExecutes;

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

private:
  std::string handleName(HANDLE handle) const;
  DWORD error_ = 0;
};

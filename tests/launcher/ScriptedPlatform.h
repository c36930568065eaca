#pragma once
// A launcher platform that answers from a script and records every call, with the arguments as
// they were at the moment of the call.
#include "launcher/LauncherPlatform.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct RecordedMessageBox {
  HWND owner;
  std::wstring wideText;
  std::string text;    // the same as UTF-8
  std::string caption; // UTF-8
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
  SHELLEXECUTEINFOW info; // its string pointers are only valid during the call
  bool verbGiven, fileGiven, parametersGiven, directoryGiven;
  std::wstring verb, file, parameters, directory;
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
  std::wstring ownPath = L"C:\\Program Files\\Aerolumen\\AerolumenP3D4.exe";
  bool ownPathAlwaysCutShort = false;
  DWORD ownPathError = 0; // not 0: GetModuleFileNameW fails with this error
  std::wstring workingDirectory = L"D:\\Lockheed Martin\\Prepar3D v4";
  DWORD workingDirectoryError = 0; // not 0: GetCurrentDirectoryW fails with this error
  bool shellExecuteSucceeds = true;
  DWORD shellExecuteError = ERROR_CANCELLED;
  // The system's texts for errors; an error not listed has none.
  std::map<DWORD, std::wstring> systemErrorTexts;
  std::function<void()> onReset;       // may throw
  std::function<void()> onWriteVrMode; // may throw

  // Record.
  std::vector<std::string> calls;
  std::vector<RecordedMessageBox> boxes;
  std::vector<RecordedProcessStart> starts;
  std::vector<RecordedShellExecute> shellExecutes;

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

private:
  std::string handleName(HANDLE handle) const;
  DWORD error_ = 0;
};

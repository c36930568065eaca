#include "tests/launcher/ScriptedPlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// UTF-16 to UTF-8, for comparing recorded texts.
std::string toUtf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), length, nullptr, nullptr);
  return out;
}

} // namespace

void ScriptedPlatform::sleep(DWORD milliseconds) {
  calls.push_back("Sleep(" + std::to_string(milliseconds) + ")");
}

int ScriptedPlatform::messageBox(HWND owner, const wchar_t* text, const wchar_t* caption,
                                 UINT style) {
  calls.push_back("MessageBoxW");
  const std::wstring wideText = text ? text : L"<null>";
  boxes.push_back({owner, wideText, toUtf8(wideText), caption ? toUtf8(caption) : "<null>", style});
  if (messageBoxAnswers.empty()) return IDOK;
  const int answer = messageBoxAnswers.front();
  messageBoxAnswers.pop_front();
  return answer;
}

BOOL ScriptedPlatform::createProcess(const char* applicationName, char* commandLine,
                                     SECURITY_ATTRIBUTES* processAttributes,
                                     SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                                     DWORD creationFlags, void* environment,
                                     const char* currentDirectory, STARTUPINFOA* startupInfo,
                                     PROCESS_INFORMATION* processInformation) {
  calls.push_back("CreateProcessA");
  RecordedProcessStart start{applicationName != nullptr,
                             applicationName ? applicationName : "",
                             commandLine,
                             processAttributes,
                             threadAttributes,
                             inheritHandles,
                             creationFlags,
                             environment,
                             currentDirectory,
                             {},
                             processInformation != nullptr};
  if (startupInfo != nullptr) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(startupInfo);
    start.startupInfoBytes.assign(bytes, bytes + sizeof *startupInfo);
  }
  starts.push_back(std::move(start));
  if (!processStarts) {
    error_ = processStartError;
    return FALSE;
  }
  processInformation->hProcess = processHandle;
  processInformation->hThread = threadHandle;
  processInformation->dwProcessId = 4242;
  processInformation->dwThreadId = 4243;
  return TRUE;
}

DWORD ScriptedPlatform::lastError() {
  calls.push_back("GetLastError");
  return error_;
}

std::wstring ScriptedPlatform::systemErrorText(DWORD error) {
  calls.push_back("FormatMessageW(" + std::to_string(error) + ")");
  const auto found = systemErrorTexts.find(error);
  return found == systemErrorTexts.end() ? std::wstring() : found->second;
}

DWORD ScriptedPlatform::resumeThread(HANDLE thread) {
  calls.push_back("ResumeThread(" + handleName(thread) + ")");
  return 1;
}

void ScriptedPlatform::closeHandle(HANDLE handle) {
  calls.push_back("CloseHandle(" + handleName(handle) + ")");
}

// Behaves as GetModuleFileNameW does on current Windows: a path that does not fit is cut to
// size - 1 characters plus the terminator, and the result is `size` with
// ERROR_INSUFFICIENT_BUFFER.
DWORD ScriptedPlatform::moduleFileName(HMODULE module, wchar_t* buffer, DWORD size) {
  calls.push_back(std::string("GetModuleFileNameW(") + (module ? "module" : "null") + ", " +
                  std::to_string(size) + ")");
  if (ownPathError != 0) {
    error_ = ownPathError;
    return 0;
  }
  if (ownPathAlwaysCutShort || ownPath.size() >= size) {
    std::wmemcpy(buffer, ownPath.data(), std::min<size_t>(ownPath.size(), size - 1));
    buffer[size - 1] = L'\0';
    error_ = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  std::wmemcpy(buffer, ownPath.c_str(), ownPath.size() + 1);
  return static_cast<DWORD>(ownPath.size());
}

DWORD ScriptedPlatform::currentDirectory(DWORD size, wchar_t* buffer) {
  calls.push_back("GetCurrentDirectoryW(" + std::to_string(size) + ")");
  if (workingDirectoryError != 0) {
    error_ = workingDirectoryError;
    return 0;
  }
  if (workingDirectory.size() >= size) return static_cast<DWORD>(workingDirectory.size() + 1);
  std::wmemcpy(buffer, workingDirectory.c_str(), workingDirectory.size() + 1);
  return static_cast<DWORD>(workingDirectory.size());
}

BOOL ScriptedPlatform::shellExecuteEx(SHELLEXECUTEINFOW* info) {
  calls.push_back("ShellExecuteExW");
  RecordedShellExecute record{*info,
                              info->lpVerb != nullptr,
                              info->lpFile != nullptr,
                              info->lpParameters != nullptr,
                              info->lpDirectory != nullptr,
                              info->lpVerb ? info->lpVerb : L"",
                              info->lpFile ? info->lpFile : L"",
                              info->lpParameters ? info->lpParameters : L"",
                              info->lpDirectory ? info->lpDirectory : L""};
  shellExecutes.push_back(std::move(record));
  if (!shellExecuteSucceeds) {
    error_ = shellExecuteError;
    return FALSE;
  }
  return TRUE;
}

void ScriptedPlatform::resetSettingsStores() {
  calls.push_back("resetSettingsStores");
  if (onReset) onReset();
}

void ScriptedPlatform::writeVrModeSetting() {
  calls.push_back("writeVrModeSetting");
  if (onWriteVrMode) onWriteVrMode();
}

std::string ScriptedPlatform::handleName(HANDLE handle) const {
  if (handle == processHandle) return "process";
  if (handle == threadHandle) return "thread";
  char text[32];
  std::snprintf(text, sizeof text, "%p", handle);
  return text;
}

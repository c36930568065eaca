#include "tests/launcher/EndToEndSupport.h"

#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                      nullptr, nullptr);
  return out;
}

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::filesystem::path settingsFolder() {
  wchar_t appData[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, appData);
  return std::filesystem::path(appData) / L"Aerolumen";
}

template <typename Condition> bool pollUntil(DWORD milliseconds, Condition condition) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
}

std::wstring windowText(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

struct BoxSearch {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK matchBox(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<BoxSearch*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (owner == search->processId && IsWindowVisible(window) &&
      std::wstring(className) == L"#32770" && windowText(window) == L"Aerolumen P3D4") {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

} // namespace

std::filesystem::path hostPath(const char* unixPath) {
  std::string path(unixPath);
  std::replace(path.begin(), path.end(), '/', '\\');
  return std::filesystem::path(path.rfind("\\", 0) == 0 ? "Z:" + path : path);
}

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  path_ = std::filesystem::path(temp) /
          (L"aerolumen-launcher-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++));
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path storeFile(const std::string& storeName) {
  return settingsFolder() / ("settings_pro_Aerolumen P3Dv4_" + storeName + ".ini");
}

std::filesystem::path backupOf(const std::filesystem::path& file) {
  std::filesystem::path backup = file;
  backup += ".bak";
  return backup;
}

NewSettingsFilesRefused::NewSettingsFilesRefused(DWORD processId) {
  // The writer names its new files "<file>.<process id>-<count>.tmp", counting from 1.
  constexpr int namesPerFile = 8;
  for (const auto& file : {storeFile("settings"), backupOf(storeFile("settings"))}) {
    for (int count = 1; count <= namesPerFile; ++count) {
      std::filesystem::path blocker = file;
      blocker += "." + std::to_string(processId) + "-" + std::to_string(count) + ".tmp";
      std::filesystem::create_directories(blocker);
      blockers_.push_back(blocker);
    }
  }
}

NewSettingsFilesRefused::~NewSettingsFilesRefused() {
  for (const auto& blocker : blockers_) {
    std::error_code ignored;
    std::filesystem::remove(blocker, ignored);
  }
}

std::optional<std::string> readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

IniSections parseIni(const std::string& text) {
  IniSections sections;
  std::istringstream lines(text);
  std::string line;
  std::string section;
  while (std::getline(lines, line)) {
    line = trimmed(line);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      sections[section];
    } else if (const auto equals = line.find('='); equals != std::string::npos && equals > 0) {
      sections[section][trimmed(line.substr(0, equals))] = trimmed(line.substr(equals + 1));
    }
  }
  return sections;
}

namespace {
std::vector<std::filesystem::path> guardedFiles() {
  std::vector<std::filesystem::path> files;
  for (const char* store : {"settings", "window_positions"}) {
    files.push_back(storeFile(store));
    files.push_back(backupOf(storeFile(store)));
  }
  return files;
}
} // namespace

SettingsFilesGuard::SettingsFilesGuard()
    : folderExisted_(std::filesystem::exists(settingsFolder())) {
  for (const auto& file : guardedFiles()) {
    if (auto content = readFile(file)) saved_[file] = std::move(*content);
    std::filesystem::remove(file);
  }
}

SettingsFilesGuard::~SettingsFilesGuard() {
  std::error_code ignored;
  for (const auto& file : guardedFiles())
    std::filesystem::remove(file, ignored);
  for (const auto& [file, content] : saved_)
    writeFile(file, content);
  if (!folderExisted_) std::filesystem::remove(settingsFolder(), ignored); // only when empty
}

BlockedSettingsFolder::BlockedSettingsFolder() : folder_(settingsFolder()) {
  if (std::filesystem::exists(folder_)) {
    setAside_ = folder_;
    setAside_ += L".set-aside-" + std::to_wstring(GetCurrentProcessId());
    std::filesystem::rename(folder_, setAside_);
  }
  writeFile(folder_, "not a folder");
}

BlockedSettingsFolder::~BlockedSettingsFolder() {
  std::error_code ignored;
  std::filesystem::remove(folder_, ignored);
  if (!setAside_.empty()) std::filesystem::rename(setAside_, folder_, ignored);
}

LaunchedProgram::LaunchedProgram(const std::filesystem::path& executable,
                                 const std::wstring& arguments,
                                 const std::filesystem::path& workingFolder, Start start) {
  std::wstring commandLine = L"\"" + executable.wstring() + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  STARTUPINFOW startupInfo = {};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION started = {};
  const DWORD flags = start == Start::suspended ? CREATE_SUSPENDED : 0;
  if (!CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags,
                      nullptr, workingFolder.c_str(), &startupInfo, &started)) {
    startError_ = GetLastError();
    return;
  }
  process_.reset(started.hProcess);
  thread_.reset(started.hThread);
  processId_ = started.dwProcessId;
}

void LaunchedProgram::resume() {
  if (started()) ResumeThread(thread_.get());
}

LaunchedProgram::~LaunchedProgram() {
  if (started() && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 10000);
  }
}

std::optional<DWORD> LaunchedProgram::waitForExit(DWORD milliseconds) {
  if (!started() || WaitForSingleObject(process_.get(), milliseconds) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process_.get(), &exitCode);
  return exitCode;
}

std::optional<ShownMessageBox> waitForMessageBox(DWORD processId, DWORD milliseconds) {
  BoxSearch search{processId, nullptr};
  std::wstring text;
  const bool shown = pollUntil(milliseconds, [&] {
    search.found = nullptr;
    EnumWindows(matchBox, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) return false;
    // The text is in place once the box is visible; read until it is there, to be sure.
    HWND label = GetDlgItem(search.found, 0xFFFF);
    text = label ? windowText(label) : std::wstring();
    return !text.empty();
  });
  if (!shown) return std::nullopt;
  HWND box = search.found;
  return ShownMessageBox{box,
                         utf8(text),
                         GetDlgItem(box, IDOK) != nullptr,
                         GetDlgItem(box, IDYES) != nullptr,
                         GetDlgItem(box, IDNO) != nullptr,
                         GetDlgItem(box, IDCANCEL) != nullptr};
}

void pressButton(const ShownMessageBox& box, int buttonId) {
  PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box.window, buttonId)));
}

bool waitUntilClosed(const ShownMessageBox& box, DWORD milliseconds) {
  return pollUntil(milliseconds,
                   [&] { return !IsWindow(box.window) || !IsWindowVisible(box.window); });
}

std::string StandinReport::field(const std::string& name) const {
  const auto found = fields.find(name);
  return found == fields.end() ? "<absent>" : found->second;
}

std::optional<StandinReport> waitForReport(const std::filesystem::path& file, DWORD milliseconds) {
  std::optional<std::string> content;
  if (!pollUntil(milliseconds, [&] { return (content = readFile(file)).has_value(); })) {
    return std::nullopt;
  }
  StandinReport report;
  const std::string marker = "settingsContent:\n";
  const auto contentStart = content->find(marker);
  std::istringstream lines(content->substr(0, contentStart));
  if (contentStart != std::string::npos) {
    report.settingsContent = content->substr(contentStart + marker.size());
  }
  std::string line;
  while (std::getline(lines, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos)
      report.fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return report;
}

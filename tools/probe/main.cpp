// wirebridge-probe.exe: explains how Wirebridge.dll connects (or fails to connect) for one
// configuration index. It loads the same library the add-on uses, points the library's trace at
// a temporary file, opens, and reads the trace back: the configuration files looked at, the
// effective settings with their sources, the published ports and every attempt in order come
// from the library itself. When connected it waits for the server's open reply and times one
// request; then it says what is wrong, or that all is well, and what to do next (Verdict.h).
#include <windows.h>

#include <shellapi.h> // after windows.h, which it needs

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/TraceLine.h"
#include "tools/probe/ConfigWarnings.h"
#include "tools/probe/ProbeReport.h"
#include "tools/probe/TraceSettingsReport.h"
#include "tools/probe/Verdict.h"

namespace {

constexpr char kUsage[] =
    "usage: wirebridge-probe [--index N] [--json] [--dll PATH] [--timeout-ms MS]\n"
    "       wirebridge-probe --trace-settings [--json]\n"
    "       wirebridge-probe --help\n"
    "  Opens a SimConnect connection through Wirebridge.dll (from this program's folder unless\n"
    "  --dll names another) with configuration index N (default 0; 0 to 4294967295, or -1),\n"
    "  explains what happened and says what to do next.\n"
    "  --json prints one JSON object instead of text. --timeout-ms bounds the wait for the\n"
    "  server's answers (1 to 600000, default 3000). --trace-settings says whether the\n"
    "  library's trace is on, from where, which file it writes and why it cannot.\n"
    "  Exit code: 0 the server answered the open, 1 it did not (no connection, no answer, or\n"
    "  the connection was lost), 2 bad command line, 3 the library cannot be used.\n";

constexpr uint32_t kMaxTimeoutMs = 600000;

constexpr DWORD kRequestId = 0x50524F42; // "PROB"
constexpr uint32_t kRecvIdOpen = 2;
constexpr uint32_t kOpenReplySize = 308;
constexpr uint32_t kClientIdOffset = 300;
constexpr uint32_t kRequestIdOffset = 12;

struct Recv {
  DWORD size;
  DWORD version;
  DWORD id;
};
using DispatchFn = void(CALLBACK*)(Recv*, DWORD, void*);
using OpenFn = HRESULT(WINAPI*)(HANDLE*, LPCSTR, HWND, DWORD, HANDLE, DWORD);
using CallDispatchFn = HRESULT(WINAPI*)(HANDLE, DispatchFn, void*);
using RequestSystemStateFn = HRESULT(WINAPI*)(HANDLE, DWORD, const char*);

struct Arguments {
  uint32_t index = 0;
  bool json = false;
  bool help = false;
  bool traceSettings = false;
  std::wstring dll;
  DWORD timeoutMs = 3000;
  std::optional<probe::Failure> failure; // a bad command line
};

// An export by name, as the function type it has.
template <typename Function> Function exported(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

std::optional<uint32_t> unsignedNumber(const std::wstring& text) {
  if (text == L"-1") return 0xFFFFFFFFu;
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + uint64_t(c - L'0');
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return uint32_t(value);
}

probe::Failure usageError(const std::wstring& argument, const std::string& text) {
  return probe::Failure{"usage", tracefmt::utf8(argument), std::nullopt, text};
}

std::vector<std::wstring> commandLineWords() {
  int count = 0;
  LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> words;
  for (int i = 1; list != nullptr && i < count; ++i)
    words.emplace_back(list[i]);
  LocalFree(list);
  return words;
}

// --json counts wherever it stands, so that even a bad command line answers in JSON.
Arguments parseArguments(const std::vector<std::wstring>& words) {
  Arguments arguments;
  arguments.json = std::find(words.begin(), words.end(), L"--json") != words.end();
  for (size_t i = 0; i < words.size() && !arguments.failure; ++i) {
    const std::wstring& word = words[i];
    const bool takesValue = word == L"--index" || word == L"--dll" || word == L"--timeout-ms";
    if (takesValue && i + 1 == words.size()) {
      arguments.failure = usageError(word, tracefmt::utf8(word) + " needs a value");
      break;
    }
    if (word == L"--json") {
      continue;
    } else if (word == L"--help" || word == L"-h" || word == L"/?") {
      arguments.help = true;
    } else if (word == L"--trace-settings") {
      arguments.traceSettings = true;
    } else if (word == L"--index") {
      const std::wstring& value = words[++i];
      const auto index = unsignedNumber(value);
      if (!index) {
        arguments.failure = usageError(word, "--index " + tracefmt::utf8(value) +
                                                 ": not a number from 0 to 4294967295 (or -1)");
      } else {
        arguments.index = *index;
      }
    } else if (word == L"--dll") {
      arguments.dll = words[++i];
    } else if (word == L"--timeout-ms") {
      const std::wstring& value = words[++i];
      const auto timeout = unsignedNumber(value);
      if (!timeout || *timeout == 0 || *timeout > kMaxTimeoutMs || value == L"-1") {
        arguments.failure = usageError(word, "--timeout-ms " + tracefmt::utf8(value) +
                                                 ": not a number from 1 to 600000");
      } else {
        arguments.timeoutMs = *timeout;
      }
    } else {
      arguments.failure = usageError(word, tracefmt::utf8(word) + ": unknown argument");
    }
  }
  return arguments;
}

std::wstring besideThisProgram(const wchar_t* name) {
  std::vector<wchar_t> path(32768);
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
  std::wstring folder(path.data(), length);
  const size_t slash = folder.find_last_of(L"\\/");
  folder.resize(slash == std::wstring::npos ? 0 : slash + 1);
  return folder + name;
}

std::wstring fullPath(const std::wstring& path) {
  std::vector<wchar_t> full(32768);
  const DWORD length = GetFullPathNameW(path.c_str(), DWORD(full.size()), full.data(), nullptr);
  return length == 0 || length >= full.size() ? path : std::wstring(full.data(), length);
}

// A temporary file for the library's trace, removed again when the probe ends.
class TraceFile {
public:
  TraceFile() {
    std::vector<wchar_t> folder(MAX_PATH + 1);
    std::vector<wchar_t> name(MAX_PATH + 1);
    if (GetTempPathW(DWORD(folder.size()), folder.data()) != 0 &&
        GetTempFileNameW(folder.data(), L"wbp", 0, name.data()) != 0) {
      path_ = name.data();
    }
  }
  ~TraceFile() {
    if (!path_.empty()) DeleteFileW(path_.c_str());
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;
  const std::wstring& path() const noexcept { return path_; }

  std::string read() const {
    // The library holds the file open with read sharing.
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got != 0)
      text.append(chunk, got);
    CloseHandle(file);
    return text;
  }

private:
  std::wstring path_;
};

struct Conversation {
  probe::Report* report;
  LARGE_INTEGER sentAt{};
};

double millisecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return double(now.QuadPart - start.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

uint32_t readU32(const void* data, uint32_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data) + offset;
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

void CALLBACK onMessage(Recv* message, DWORD length, void* context) {
  auto& conversation = *static_cast<Conversation*>(context);
  probe::Report& report = *conversation.report;
  if (message->id != kRecvIdOpen || report.replyId) ++report.otherMessages;
  if (message->id == kRecvIdOpen && !report.replyId) {
    report.replyId = message->id;
    report.replyLength = length;
    if (length >= kOpenReplySize) report.clientId = readU32(message, kClientIdOffset);
    return;
  }
  if (report.requestSent && !report.roundTripMs && length >= kRequestIdOffset + 4 &&
      readU32(message, kRequestIdOffset) == kRequestId) {
    report.roundTripMs = millisecondsSince(conversation.sentAt);
  }
}

// Dispatches until `done` holds or the time is up; false as soon as the connection is lost
// (the library wakes the caller for that, and the dispatch then returns the loss code).
template <typename Done>
bool dispatchUntil(CallDispatchFn dispatch, HANDLE client, HANDLE event, Conversation& conversation,
                   ULONGLONG deadline, Done&& done) {
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return true;
    WaitForSingleObject(event, DWORD(std::min<ULONGLONG>(deadline - now, 100)));
    if (FAILED(dispatch(client, &onMessage, &conversation))) return false;
  }
  return true;
}

std::string systemMessage(uint32_t code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message(text != nullptr ? text : "", length);
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

void writeOut(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Prints the report (one JSON object, or the text) and gives the exit code.
int finish(const probe::Report& report, bool json, int exitCode) {
  if (json) {
    writeOut(probe::renderJson(report));
  } else if (report.error) {
    std::fputs(probe::renderFailureText(report).c_str(), stderr);
    if (report.error->kind == "usage") std::fputs(kUsage, stderr);
  } else {
    writeOut(probe::renderText(report));
  }
  return exitCode;
}

int failLibrary(probe::Report& report, bool json, std::string text,
                std::optional<uint32_t> code = std::nullopt) {
  report.error = probe::Failure{"dll", std::nullopt, code, std::move(text)};
  return finish(report, json, probe::judgeFailure(report));
}

} // namespace

int main() {
  const Arguments arguments = parseArguments(commandLineWords());
  if (arguments.help && !arguments.failure) {
    writeOut(kUsage);
    return probe::kExitAnswered;
  }
  if (arguments.traceSettings && !arguments.failure) {
    probe::TraceSettingsReport settings;
    const int exitCode = probe::examineTraceSettings(settings);
    writeOut(arguments.json ? probe::renderTraceSettingsJson(settings)
                            : probe::renderTraceSettingsText(settings));
    return exitCode;
  }
  probe::Report report;
  report.index = arguments.index;
  report.timeoutMs = arguments.timeoutMs;
  if (arguments.failure) {
    report.error = arguments.failure;
    return finish(report, arguments.json, probe::judgeFailure(report));
  }
  const std::wstring dllPath =
      fullPath(arguments.dll.empty() ? besideThisProgram(L"Wirebridge.dll") : arguments.dll);
  report.dll = tracefmt::utf8(dllPath);

  TraceFile trace;
  if (trace.path().empty()) {
    return failLibrary(report, arguments.json, "no temporary file for the library's trace",
                       GetLastError());
  }
  // The library reads these at every open; they outrank a trace set up in Documents.
  SetEnvironmentVariableW(L"WIREBRIDGE_TRACE", trace.path().c_str());
  SetEnvironmentVariableW(L"WIREBRIDGE_TRACE_LEVEL", L"1");
  SetEnvironmentVariableW(L"WIREBRIDGE_TRACE_MAX_KB", L"65536");

  HMODULE library = LoadLibraryW(dllPath.c_str());
  if (library == nullptr) {
    const DWORD error = GetLastError();
    return failLibrary(report, arguments.json,
                       error == ERROR_BAD_EXE_FORMAT
                           ? "cannot load " + report.dll + ": not a 64-bit Windows library"
                           : "cannot load " + report.dll,
                       error);
  }
  // The library stays loaded until the process ends: a connected client may not be unloaded.
  const auto open = exported<OpenFn>(library, "SimConnect_Open");
  const auto dispatch = exported<CallDispatchFn>(library, "SimConnect_CallDispatch");
  const auto requestState =
      exported<RequestSystemStateFn>(library, "SimConnect_RequestSystemState");
  if (open == nullptr || dispatch == nullptr || requestState == nullptr) {
    return failLibrary(report, arguments.json, report.dll + " lacks the SimConnect exports");
  }

  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE client = nullptr;
  const ULONGLONG openedAt = GetTickCount64();
  const HRESULT opened = open(&client, "wirebridge-probe", nullptr, 0, event, arguments.index);
  report.openMs = GetTickCount64() - openedAt;
  report.openResult = uint32_t(opened);
  report.connected = opened == S_OK && client != nullptr;

  if (report.connected) {
    Conversation conversation{&report};
    const ULONGLONG deadline = GetTickCount64() + arguments.timeoutMs;
    bool standing = dispatchUntil(dispatch, client, event, conversation, deadline,
                                  [&] { return report.replyId.has_value(); });
    QueryPerformanceCounter(&conversation.sentAt);
    if (standing && requestState(client, kRequestId, "Sim") == S_OK) {
      report.requestSent = true;
      dispatchUntil(dispatch, client, event, conversation, deadline,
                    [&] { return report.roundTripMs.has_value(); });
    }
  }
  // Read after the conversation: the trace also holds a loss and the results of the calls.
  probe::readTrace(trace.read(), report);
  for (probe::Attempt& attempt : report.attempts) {
    if (attempt.code != 0) attempt.description = systemMessage(attempt.code);
  }
  report.warnings = probe::configWarnings(report);
  const int exitCode = probe::judge(report);
  // The event stays open: a connected client may still signal it until the process ends.
  return finish(report, arguments.json, exitCode);
}

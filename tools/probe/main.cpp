// wirebridge-probe.exe: explains how Wirebridge.dll connects (or fails to connect) for one
// configuration index. It loads the same library the add-on uses, points the library's trace at
// a temporary file, opens, and reads the trace back: the configuration files looked at, the
// effective settings with their sources, the published ports and every attempt in order come
// from the library itself. When connected it waits for the server's open reply and times one
// request. Exit code 0 when connected, 1 when not, 2 for a bad command line.
#include <windows.h>

#include <shellapi.h> // after windows.h, which it needs

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "connection/TraceFormat.h"
#include "tools/probe/ProbeReport.h"

namespace {

constexpr char kUsage[] =
    "usage: wirebridge-probe [--index N] [--json] [--dll PATH] [--timeout-ms MS]\n"
    "  Opens a SimConnect connection through Wirebridge.dll (from this program's folder unless\n"
    "  --dll names another) with configuration index N (default 0) and explains what happened.\n"
    "  --json prints one JSON object instead of text. --timeout-ms bounds the wait for the\n"
    "  server's answers (default 3000). Exit code: 0 connected, 1 not connected, 2 bad usage.\n";

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
  std::wstring dll;
  DWORD timeoutMs = 3000;
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

std::optional<Arguments> parseArguments() {
  int count = 0;
  LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> words;
  for (int i = 1; list != nullptr && i < count; ++i)
    words.emplace_back(list[i]);
  LocalFree(list);
  Arguments arguments;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::wstring& word = words[i];
    const bool hasValue = i + 1 < words.size();
    if (word == L"--json") {
      arguments.json = true;
    } else if (word == L"--index" && hasValue) {
      const auto index = unsignedNumber(words[++i]);
      if (!index) return std::nullopt;
      arguments.index = *index;
    } else if (word == L"--dll" && hasValue) {
      arguments.dll = words[++i];
    } else if (word == L"--timeout-ms" && hasValue) {
      const auto timeout = unsignedNumber(words[++i]);
      if (!timeout || *timeout == 0xFFFFFFFFu) return std::nullopt;
      arguments.timeoutMs = *timeout;
    } else {
      return std::nullopt;
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

// Dispatches until `done` holds or the time is up.
template <typename Done>
void dispatchUntil(CallDispatchFn dispatch, HANDLE client, HANDLE event, Conversation& conversation,
                   ULONGLONG deadline, Done&& done) {
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return;
    WaitForSingleObject(event, DWORD(std::min<ULONGLONG>(deadline - now, 100)));
    if (FAILED(dispatch(client, &onMessage, &conversation))) return; // connection lost
  }
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

} // namespace

int main() {
  const std::optional<Arguments> arguments = parseArguments();
  if (!arguments) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  probe::Report report;
  report.index = arguments->index;
  const std::wstring dllPath =
      fullPath(arguments->dll.empty() ? besideThisProgram(L"Wirebridge.dll") : arguments->dll);
  report.dll = tracefmt::utf8(dllPath);

  TraceFile trace;
  if (trace.path().empty()) {
    std::fputs("wirebridge-probe: no temporary file for the trace\n", stderr);
    return 1;
  }
  // The library reads these at every open; they outrank a trace set up in Documents.
  SetEnvironmentVariableW(L"WIREBRIDGE_TRACE", trace.path().c_str());
  SetEnvironmentVariableW(L"WIREBRIDGE_TRACE_LEVEL", L"1");
  SetEnvironmentVariableW(L"WIREBRIDGE_TRACE_MAX_KB", L"65536");

  HMODULE library = LoadLibraryW(dllPath.c_str());
  if (library == nullptr) {
    std::fprintf(stderr, "wirebridge-probe: cannot load %s (error %lu)\n", report.dll.c_str(),
                 GetLastError());
    return 1;
  }
  // The library stays loaded until the process ends: a connected client may not be unloaded.
  const auto open = exported<OpenFn>(library, "SimConnect_Open");
  const auto dispatch = exported<CallDispatchFn>(library, "SimConnect_CallDispatch");
  const auto requestState =
      exported<RequestSystemStateFn>(library, "SimConnect_RequestSystemState");
  if (open == nullptr || dispatch == nullptr || requestState == nullptr) {
    std::fprintf(stderr, "wirebridge-probe: %s lacks the SimConnect exports\n", report.dll.c_str());
    return 1;
  }

  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE client = nullptr;
  const ULONGLONG openedAt = GetTickCount64();
  const HRESULT opened = open(&client, "wirebridge-probe", nullptr, 0, event, arguments->index);
  const ULONGLONG openMs = GetTickCount64() - openedAt;
  probe::readTrace(trace.read(), report);
  report.openMs = openMs;
  for (probe::Attempt& attempt : report.attempts) {
    if (attempt.code != 0) attempt.description = systemMessage(attempt.code);
  }
  report.openResult = uint32_t(opened);
  report.connected = opened == S_OK && client != nullptr;

  if (report.connected) {
    Conversation conversation{&report};
    const ULONGLONG deadline = GetTickCount64() + arguments->timeoutMs;
    dispatchUntil(dispatch, client, event, conversation, deadline,
                  [&] { return report.replyId.has_value(); });
    QueryPerformanceCounter(&conversation.sentAt);
    if (requestState(client, kRequestId, "Sim") == S_OK) {
      report.requestSent = true;
      dispatchUntil(dispatch, client, event, conversation, deadline,
                    [&] { return report.roundTripMs.has_value(); });
    }
  }
  writeOut(arguments->json ? probe::renderJson(report) : probe::renderText(report));
  // The event stays open: a connected client may still signal it until the process ends.
  return report.connected ? 0 : 1;
}

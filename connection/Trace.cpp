#include "connection/Trace.h"

#include <shlwapi.h>
#include <winsock2.h>

#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

#include "connection/ConfigLookup.h"
#include "connection/SimulatorInterface.h"
#include "connection/TraceFormat.h"
#include "connection/TraceSetup.h"
#include "connection/Transport.h"
#include "connection/UniqueHandle.h"

namespace trace {

std::atomic<int> level{0};

namespace {

constexpr wchar_t kRotatedSuffix[] = L".1";

// Lines waiting for the file; beyond this they are counted and reported as dropped.
constexpr size_t kBufferLimit = 4u << 20;
// A thread that writes for others gives up its turn after this many rounds.
constexpr int kWriteRounds = 8;

// Keeps the thread's last-error value across a hook: the code around the hooks reads it.
class KeepLastError {
public:
  KeepLastError() noexcept : saved_(GetLastError()) {}
  ~KeepLastError() { SetLastError(saved_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

private:
  DWORD saved_;
};

// A critical section that can also be tried; entered and left only through its guards.
class Lock {
public:
  Lock() noexcept { InitializeCriticalSectionAndSpinCount(&section_, 100); }
  ~Lock() { DeleteCriticalSection(&section_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  class Guard {
  public:
    Guard(Lock& lock, bool wait) noexcept
        : lock_(wait || TryEnterCriticalSection(&lock.section_) ? &lock : nullptr) {
      if (lock_ != nullptr && wait) EnterCriticalSection(&lock_->section_);
    }
    ~Guard() {
      if (lock_ != nullptr) LeaveCriticalSection(&lock_->section_);
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    bool held() const noexcept { return lock_ != nullptr; }

  private:
    Lock* lock_;
  };

private:
  CRITICAL_SECTION section_;
};

struct Settings {
  std::wstring path;
  int level = 0;
  uint64_t maxBytes = tracecfg::kDefaultMaxKiB * 1024;
};

// The environment wins; otherwise the [Trace] section of Wirebridge.cfg in Documents, whose File
// may be relative to that folder.
Settings readSettings() {
  const tracecfg::Found found = tracecfg::findSettings();
  Settings settings;
  if (found.path.empty()) return settings;
  settings.path = found.path;
  settings.level = found.levels.level;
  settings.maxBytes = found.levels.maxBytes;
  return settings;
}

std::string lineStart(std::string_view event) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char head[64];
  std::snprintf(head, sizeof(head), "%04u-%02u-%02u %02u:%02u:%02u.%03u [%04lx] ", t.wYear,
                t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                static_cast<unsigned long>(GetCurrentThreadId()));
  std::string line = head;
  line += event;
  return line;
}

// The file and the buffer in front of it. Hooks only append to the buffer; the file is written
// by writeOut, which export calls run at their end with no lock of the library held, so a slow
// or stalled trace file holds up no lock, no completion thread and no simulator thread.
class Sink {
public:
  // Applies new settings on the caller's thread: another file, another level, or off. Waits for
  // a thread that is writing.
  void configure(const Settings& settings) {
    WB_CHECK_NO_LOCK_HELD("no trace file is written while a lock of the library is held");
    Lock::Guard file(fileLock_, true);
    if (settings.level == 0 || settings.path.empty()) {
      level.store(0);
      writeLocked();
      file_.reset();
      path_.clear();
      return;
    }
    maxBytes_ = settings.maxBytes;
    // A file on disk is opened afresh at every open: one deleted meanwhile (gone from its folder,
    // or only pending deletion while the trace holds it) is then created again, with its own
    // first line, instead of taking lines that nobody will see.
    if (settings.path != path_ || !file_.valid() || onDisk_) {
      const bool sameFile = settings.path == path_ && file_.valid();
      writeLocked();
      file_.reset();
      path_ = settings.path;
      if (!openFile(false)) {
        level.store(0); // a file that can't be opened is ignored
        path_.clear();
        return;
      }
      if (!sameFile || created_) writeSessionStart(settings.level);
    }
    level.store(settings.level);
    writeLocked();
  }

  // Any thread, any lock held: the line joins the buffer, or is counted when the buffer is full.
  void append(std::string line) {
    line += "\r\n";
    Lock::Guard buffer(bufferLock_, true);
    if (pending_.size() + line.size() > kBufferLimit) {
      ++lost_;
    } else {
      pending_ += line;
      ++pendingLines_;
    }
  }

  // Writes what is buffered. Without `wait` it never waits for the file: a thread that is
  // writing already takes the lines along.
  void writeOut(bool wait) {
    WB_CHECK_NO_LOCK_HELD("no trace file is written while a lock of the library is held");
    for (int round = 0;; ++round) {
      {
        Lock::Guard file(fileLock_, wait);
        if (!file.held()) return;
        writeLocked();
      }
      // A line appended while this thread held the file would otherwise wait for the next one.
      {
        Lock::Guard buffer(bufferLock_, true);
        if (pending_.empty()) return;
      }
      if (!wait && round >= kWriteRounds) return;
    }
  }

private:
  // Opened for writing at the end (as appending does), so that a pipe can take the trace too;
  // shared for reading, writing and deleting, so that it can be watched while it grows.
  bool openFile(bool truncate) {
    file_.reset(CreateFileW(
        path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    created_ = GetLastError() != ERROR_ALREADY_EXISTS;
    if (!file_.valid()) return false;
    onDisk_ = GetFileType(file_.get()) == FILE_TYPE_DISK;
    LARGE_INTEGER size{};
    size_ = onDisk_ && GetFileSizeEx(file_.get(), &size) ? uint64_t(size.QuadPart) : 0;
    return true;
  }

  // Writes at the current end of the file, wherever other writers left it.
  bool writeAtEnd(const std::string& text) {
    OVERLAPPED atEnd{};
    atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    const bool wrote = WriteFile(file_.get(), text.data(), DWORD(text.size()), &written, &atEnd) &&
                       written == text.size();
    size_ += written;
    return wrote;
  }

  // The first line of a newly opened file, ahead of anything buffered.
  void writeSessionStart(int newLevel) {
    std::array<wchar_t, MAX_PATH> program{};
    GetModuleFileNameW(nullptr, program.data(), DWORD(program.size()));
    tracefmt::Fields fields;
    fields.number("pid", GetCurrentProcessId())
        .text("program", std::wstring_view(program.data()))
        .number("level", uint64_t(newLevel));
    std::string line = lineStart("trace-start");
    line += ' ';
    line += fields.str();
    line += "\r\n";
    writeAtEnd(line);
  }

  // With the file lock held: moves the buffer out and writes it. Lines that cannot be written
  // (no file, a failed rotation, a write error) are counted with those the full buffer refused,
  // and the count goes out in front of the next write that succeeds.
  void writeLocked() {
    uint64_t lost = 0;
    uint64_t lines = 0;
    {
      Lock::Guard buffer(bufferLock_, true);
      writing_.swap(pending_);
      lines = std::exchange(pendingLines_, 0);
      lost = lost_;
    }
    if (writing_.empty() && lost == 0) return;
    if (lost != 0) {
      std::string note = lineStart("dropped");
      note += " lines=" + std::to_string(lost) + "\r\n";
      writing_.insert(0, note);
    }
    if (!file_.valid() && !path_.empty()) openFile(false); // writing may work again
    if (file_.valid() && onDisk_ && size_ + writing_.size() > maxBytes_ && size_ > 0) rotate();
    const bool wrote = file_.valid() && writeAtEnd(writing_);
    writing_.clear();
    Lock::Guard buffer(bufferLock_, true);
    if (wrote) {
      lost_ -= lost; // lines refused meanwhile stay counted for the next write
    } else {
      lost_ += lines;
    }
  }

  // One rotation: the full file becomes "<name>.1" (replacing an older one); when it can't be
  // renamed (another program holds it), the file starts again empty. When no file can be opened
  // afterwards, the next write tries again.
  void rotate() {
    file_.reset();
    const std::wstring rotated = path_ + kRotatedSuffix;
    const bool moved = MoveFileExW(path_.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!openFile(!moved)) size_ = 0;
  }

  Lock bufferLock_; // guards pending_, pendingLines_ and lost_; held only to append or swap
  Lock fileLock_;   // held by the one thread that writes; guards the rest
  std::string pending_;
  uint64_t pendingLines_ = 0;
  uint64_t lost_ = 0;
  std::string writing_;
  UniqueFileHandle file_;
  std::wstring path_;
  uint64_t size_ = 0;
  bool onDisk_ = true;   // only a file on disk is rotated and opened afresh
  bool created_ = false; // the last open made a new file
  uint64_t maxBytes_ = tracecfg::kDefaultMaxKiB * 1024;
};

// Depth of pump-all calls on this thread: the simulator's thread never writes the file.
thread_local int simulatorThreadDepth = 0;

Sink& sink() {
  static Sink instance;
  return instance;
}

void emit(std::string_view event, const tracefmt::Fields& fields, const uint8_t* dumpData = nullptr,
          uint32_t dumpLength = 0) {
  std::string line = lineStart(event);
  if (!fields.str().empty()) {
    line += ' ';
    line += fields.str();
  }
  if (dumpData != nullptr && dumpLength != 0 && level.load(std::memory_order_relaxed) >= 2) {
    line += "\r\n";
    line += tracefmt::hexDump(dumpData, dumpLength);
    line.resize(line.size() - 2); // write() ends the line
  }
  sink().append(std::move(line));
}

// Runs a hook body with the last-error value kept and nothing thrown.
template <typename Body> void guarded(Body&& body) noexcept {
  KeepLastError keep;
  try {
    body();
  } catch (...) {
  }
}

std::string portText(bool ipv6) {
  std::wstring port;
  if (!readRegistryPort(ipv6, port)) return "none";
  return tracefmt::quoted(std::wstring_view(port));
}

const char* transportName(bool pipe, int32_t family) {
  if (pipe) return "pipe";
  return family == AF_INET6 ? "ipv6" : "ipv4";
}

// "host:port", "[host]:port" for IPv6, or the host alone when there is no port.
std::wstring tcpTarget(int32_t family, const wchar_t* host, const wchar_t* port) {
  const std::wstring name = host != nullptr ? host : L"";
  if (port == nullptr || *port == L'\0') return name;
  return (family == AF_INET6 ? L"[" + name + L"]" : name) + L":" + port;
}

bool fileExists(const wchar_t* path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// Whether the file names the section at all, with or without lines.
bool sectionNamed(const wchar_t* path, const std::wstring& section) {
  std::array<wchar_t, 8192> names{};
  const DWORD length = GetPrivateProfileSectionNamesW(names.data(), DWORD(names.size()), path);
  for (const wchar_t* name = names.data(); name < names.data() + length && *name != L'\0';
       name += lstrlenW(name) + 1) {
    if (lstrcmpiW(name, section.c_str()) == 0) return true;
  }
  return false;
}

// "yes" (with lines), "empty" (named, without lines) or "no".
const char* sectionState(const wchar_t* path, const std::wstring& section, bool withLines) {
  if (withLines) return "yes";
  return sectionNamed(path, section) ? "empty" : "no";
}

bool sectionHasLines(const wchar_t* path, const std::wstring& section) {
  std::array<wchar_t, 60> lines{};
  return GetPrivateProfileSectionW(section.c_str(), lines.data(), DWORD(lines.size()), path) >= 1;
}

} // namespace

OpenScope::OpenScope(uint32_t configIndex) noexcept : index_(configIndex) {
  guarded([&] {
    sink().configure(readSettings());
    if (!on()) return;
    emit("open", tracefmt::Fields().number("index", configIndex));
    emit("registry", tracefmt::Fields()
                         .text("key", std::wstring(L"HKCU\\") + sim::kPortsRegistryKey)
                         .add("ipv4", portText(false))
                         .add("ipv6", portText(true)));
  });
}

OpenScope::~OpenScope() {
  guarded([] {
    if (on()) sink().writeOut(true);
  });
}

HRESULT OpenScope::result(HRESULT value) noexcept {
  if (on()) {
    guarded([&] {
      emit("open-end", tracefmt::Fields().number("index", index_).hex("hr", uint32_t(value)));
    });
  }
  return value;
}

ConfigAttribution::ConfigAttribution() noexcept {
  if (on()) guarded([&] { sources_ = std::make_unique<tracefmt::ConfigSources>(); });
}

ConfigAttribution::~ConfigAttribution() = default;

void ConfigAttribution::section(const wchar_t* path, const std::wstring& section,
                                const config::SectionValues& values, uint32_t maxReceiveSizeBefore,
                                const ConnectionConfig& after) noexcept {
  if (!sources_) return;
  guarded([&] {
    tracefmt::attributeSection(*sources_, path, section, values, maxReceiveSizeBefore, after);
  });
  detail::configRead(path, section, values);
}

void ConfigAttribution::effective(const ConnectionConfig& config,
                                  const std::wstring& address) noexcept {
  if (!sources_ || !on()) return;
  guarded([&] {
    tracefmt::Fields fields;
    fields.add("protocol", tracefmt::protocolName(config.protocol))
        .text("protocol.from", sources_->protocol)
        .text("address", std::wstring_view(address))
        .text("address.from", sources_->address)
        .text("port", std::wstring_view(config.port))
        .text("port.from", sources_->port)
        .number("maxReceiveSize", config.maxReceiveSize)
        .text("maxReceiveSize.from", sources_->maxReceiveSize)
        .number("disableNagle", config.disableNagle ? 1 : 0)
        .text("disableNagle.from", sources_->disableNagle);
    emit("effective", fields);
  });
}

SimulatorThreadScope::SimulatorThreadScope() noexcept {
  ++simulatorThreadDepth;
}

SimulatorThreadScope::~SimulatorThreadScope() {
  --simulatorThreadDepth;
}

void unloading() noexcept {
  guarded([] {
    if (on()) sink().writeOut(false);
  });
}

namespace detail {

uint64_t now() noexcept {
  return GetTickCount64();
}

void finishCall(const char* call, HRESULT result) noexcept {
  guarded([&] {
    if (result != S_OK) {
      emit("result", tracefmt::Fields().add("call", call).hex("hr", uint32_t(result)));
    }
    if (simulatorThreadDepth == 0) sink().writeOut(false);
  });
}

void configProbe(const wchar_t* path, const std::wstring& section, bool found) noexcept {
  guarded([&] {
    emit("config-probe", tracefmt::Fields()
                             .text("file", std::wstring_view(path))
                             .flag("found", fileExists(path))
                             .text("section", std::wstring_view(section))
                             .add("lines", sectionState(path, section, found)));
  });
}

void configRead(const wchar_t* path, const std::wstring& section,
                const config::SectionValues& values) noexcept {
  guarded([&] {
    tracefmt::Fields fields;
    fields.text("file", std::wstring_view(path))
        .flag("found", fileExists(path))
        .text("section", std::wstring_view(section))
        .add("lines", sectionState(path, section, sectionHasLines(path, section)));
    for (const config::ConfigKey key : config::kConfigKeys) {
      const std::wstring& value = values[static_cast<size_t>(key)];
      if (!value.empty())
        fields.text(tracefmt::utf8(config::keyName(key)), std::wstring_view(value));
    }
    emit("config-read", fields);
  });
}

void attempt(bool pipe, int32_t family, const wchar_t* target, const wchar_t* port, uint32_t error,
             uint64_t startedAt, uint32_t serial) noexcept {
  guarded([&] {
    const uint64_t elapsed = startedAt != 0 ? now() - startedAt : 0;
    tracefmt::Fields fields;
    fields.add("transport", transportName(pipe, family));
    if (pipe) {
      fields.text("target", std::wstring_view(target != nullptr ? target : L""));
    } else {
      fields.text("target", std::wstring_view(tcpTarget(family, target, port)));
    }
    fields.add("result", error == 0 ? "connected" : "failed").number("error", error);
    fields.number("ms", elapsed);
    if (error == 0) fields.number("serial", serial);
    emit("attempt", fields);
  });
}

void attemptSkipped(int32_t family, const wchar_t* address, const wchar_t* port) noexcept {
  guarded([&] {
    const bool noPort = port == nullptr || *port == L'\0';
    emit("attempt",
         tracefmt::Fields()
             .add("transport", transportName(false, family))
             .text("target", std::wstring_view(tcpTarget(family, address, port)))
             .add("result", "skipped")
             .number("error", 0)
             .number("ms", 0)
             .text("why",
                   std::string_view(noPort ? "no port" : "port not a number from 1 to 65535")));
  });
}

void hostWindow(HWND window) noexcept {
  guarded([&] {
    tracefmt::Fields fields;
    fields.text("class", tracefmt::utf8(sim::kMainWindowClass));
    if (window == nullptr) {
      fields.add("window", "none");
    } else {
      DWORD process = 0;
      GetWindowThreadProcessId(window, &process);
      fields.hex("window", uint32_t(reinterpret_cast<uintptr_t>(window)))
          .number("process", process)
          .number("self", GetCurrentProcessId())
          .add("attach", process == GetCurrentProcessId() ? "yes" : "no");
    }
    emit("host-window", fields);
  });
}

void hostCommand(uint32_t kind, uint64_t value, uint32_t clientId, uint32_t serial) noexcept {
  guarded([&] {
    tracefmt::Fields fields;
    fields.number("kind", kind);
    char address[24];
    std::snprintf(address, sizeof(address), "0x%llx", static_cast<unsigned long long>(value));
    switch (kind) {
    case sim::HostQueryPumpRemover:
      fields.add("sent", "remover-query").add("answer", address);
      break;
    case sim::HostRegisterPump:
      fields.add("sent", "pump-registration").add("address", address);
      break;
    case sim::HostRegisterClient:
      fields.add("sent", "client-registration")
          .number("clientId", clientId)
          .number("serial", serial);
      break;
    case sim::HostFunctions:
      fields.add("received", "host-functions")
          .number("clientId", clientId)
          .number("serial", serial)
          .add("accepted", value != 0 ? "yes" : "no");
      break;
    default:
      fields.add("value", address);
      break;
    }
    emit("host-command", fields);
  });
}

void sending(const Transport& transport, const uint8_t* data, uint32_t length,
             bool toHost) noexcept {
  guarded([&] {
    const uint32_t serial = transport.connectionSerial;
    for (const tracefmt::SentMessage& message : tracefmt::sentMessages(data, length)) {
      tracefmt::Fields fields;
      fields.number("serial", serial).hex("type", message.type);
      if (const char* name = tracefmt::clientMessageName(message.type); *name != '\0') {
        fields.add("name", name);
      }
      fields.number("size", message.size).number("seq", message.sequence);
      fields.add("via", toHost ? "host" : "transport");
      emit("send", fields, data, message.size);
      data += message.size;
    }
  });
}

void notSent(const Transport& transport, uint32_t length) noexcept {
  guarded([&] {
    emit("send-dropped", tracefmt::Fields()
                             .number("serial", transport.connectionSerial)
                             .number("size", length)
                             .text("why", std::string_view(transport.state == StateConnected
                                                               ? "write could not be posted"
                                                               : "transport not connected")));
  });
}

void received(const Transport& transport, const uint8_t* data, uint32_t length,
              bool fromHost) noexcept {
  guarded([&] {
    tracefmt::Fields fields;
    fields.number("serial", transport.connectionSerial);
    if (data != nullptr && length >= sim::kRecvMinimumDispatchSize) {
      const uint8_t* id = data + sim::kRecvIdOffset;
      fields.number("id", uint32_t(id[0]) | uint32_t(id[1]) << 8 | uint32_t(id[2]) << 16 |
                              uint32_t(id[3]) << 24);
    }
    fields.number("size", length).add("via", fromHost ? "host" : "transport");
    emit("recv", fields, data, length);
  });
}

void disconnecting(const Transport& transport, int32_t reason, uint32_t code) noexcept {
  if (transport.state != StateConnected) return; // nothing to close
  const uint32_t error =
      transport.kind == TransportKind::Tcp ? uint32_t(WSAGetLastError()) : GetLastError();
  guarded([&] {
    emit("disconnect", tracefmt::Fields()
                           .number("serial", transport.connectionSerial)
                           .number("reason", uint32_t(reason))
                           .text("why", std::string_view(tracefmt::disconnectReasonText(reason)))
                           .hex("code", code)
                           .number("error", error));
  });
}

} // namespace detail

} // namespace trace

// The events of the trace: each hook of Trace.h turns what the library tells it into one line
// and hands it to the sink.
#include "diagnostics/Trace.h"

#include <winsock2.h>

#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

#include "client/WireFormat.h"
#include "connection/CompletionStatus.h"
#include "connection/ConfigLookup.h"
#include "connection/SimulatorInterface.h"
#include "connection/Transport.h"
#include "diagnostics/TraceLine.h"
#include "diagnostics/TraceSetup.h"
#include "diagnostics/TraceSink.h"

namespace trace {

std::atomic<int> level{0};

namespace {

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

// The environment wins; otherwise the [Trace] section of Wirebridge.cfg in Documents, whose File
// may be relative to that folder.
SinkSettings readSettings() {
  const tracecfg::Found found = tracecfg::findSettings();
  SinkSettings settings;
  if (found.path.empty()) return settings;
  settings.path = found.path;
  settings.level = found.levels.level;
  settings.maxBytes = found.levels.maxBytes;
  return settings;
}

// Depth of pump-all calls on this thread: the simulator's thread never writes the file.
thread_local int simulatorThreadDepth = 0;

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
    line.resize(line.size() - 2); // the sink ends the line
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
  if (on()) guarded([&] { sources_.emplace(); });
}

ConfigAttribution::~ConfigAttribution() = default;

void ConfigAttribution::section(const wchar_t* path, const std::wstring& section,
                                const config::SectionValues& values, uint32_t maxReceiveSizeBefore,
                                const ConnectionConfig& after) noexcept {
  if (!sources_) return;
  guarded([&] {
    config::attributeSection(*sources_, path, section, values, maxReceiveSizeBefore, after);
  });
  detail::configRead(path, section, values);
}

void ConfigAttribution::effective(const ConnectionConfig& config,
                                  const std::wstring& address) noexcept {
  if (!sources_ || !on()) return;
  guarded([&] {
    tracefmt::Fields fields;
    fields.add("protocol", config::protocolName(config.protocol))
        .text("protocol.from", std::wstring_view(sources_->protocol))
        .text("address", std::wstring_view(address))
        .text("address.from", std::wstring_view(sources_->address))
        .text("port", std::wstring_view(config.port))
        .text("port.from", std::wstring_view(sources_->port))
        .number("maxReceiveSize", config.maxReceiveSize)
        .text("maxReceiveSize.from", std::wstring_view(sources_->maxReceiveSize))
        .number("disableNagle", config.disableNagle ? 1 : 0)
        .text("disableNagle.from", std::wstring_view(sources_->disableNagle));
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
    for (const wire::MessageHeader& message : wire::messageHeadersIn(data, length)) {
      tracefmt::Fields fields;
      fields.number("serial", serial).hex("type", message.type);
      if (const char* name = wire::clientMessageName(message.type); *name != '\0') {
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
                           .text("why", std::string_view(status::disconnectReasonText(reason)))
                           .hex("code", code)
                           .number("error", error));
  });
}

} // namespace detail

} // namespace trace

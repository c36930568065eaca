#pragma once
// The connection trace: one line per event of opening a connection and of the conversation that
// follows, written to a file named by the user (docs/trace.md). Off by default; every
// SimConnect_Open reads the trace settings afresh (the WIREBRIDGE_TRACE environment variable, or
// the [Trace] section of "Wirebridge.cfg" in the user's Documents folder).
//
// Each hook below is one test of `level` when the trace is off. When it is on, a hook formats
// its line on the calling thread and appends it to a bounded memory buffer; it never touches the
// file, whatever locks its caller holds and whichever thread it runs on (a completion thread, a
// simulator thread). The file is written at the end of each export call, once the export's locks
// are gone, by one thread at a time: an export that finds another thread writing leaves its lines
// to that thread and returns. No hook throws, and every hook leaves the thread's last-error value
// as it found it.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "connection/ConfigRules.h"
#include "connection/ConnectionConfig.h"

class Transport;

namespace trace {

// 0: off; 1: one line per event; 2: also a hex dump of every message sent and received.
extern std::atomic<int> level;
inline bool on() noexcept {
  return level.load(std::memory_order_relaxed) != 0;
}

namespace detail {
void configProbe(const wchar_t* path, const std::wstring& section, bool found) noexcept;
void configRead(const wchar_t* path, const std::wstring& section,
                const config::SectionValues& values) noexcept;
void attempt(bool pipe, int32_t family, const wchar_t* target, const wchar_t* port, uint32_t error,
             uint64_t startedAt, uint32_t serial) noexcept;
void attemptSkipped(int32_t family, const wchar_t* address, const wchar_t* port) noexcept;
void hostWindow(HWND window) noexcept;
void hostCommand(uint32_t kind, uint64_t value, uint32_t clientId, uint32_t serial) noexcept;
void sending(const Transport& transport, const uint8_t* data, uint32_t length,
             bool toHost) noexcept;
void notSent(const Transport& transport, uint32_t length) noexcept;
void received(const Transport& transport, const uint8_t* data, uint32_t length,
              bool fromHost) noexcept;
void disconnecting(const Transport& transport, int32_t reason, uint32_t code) noexcept;
void finishCall(const char* call, HRESULT result) noexcept;
uint64_t now() noexcept;
} // namespace detail

// Brackets one SimConnect_Open: reads the trace settings (turning the trace on, off or to
// another file), records the open with its index and the published ports, and on leaving
// writes out every buffered line, so the file holds the whole open when the call returns.
class OpenScope {
public:
  explicit OpenScope(uint32_t configIndex) noexcept;
  ~OpenScope();
  OpenScope(const OpenScope&) = delete;
  OpenScope& operator=(const OpenScope&) = delete;
  // Records the open's result and hands it back.
  HRESULT result(HRESULT value) noexcept;

private:
  uint32_t index_;
};

// The end of an export call, to be called with none of the library's locks held: the result is
// recorded when it is not S_OK, then the buffered lines are written to the file unless another
// thread is writing them. Hands the result back unchanged.
inline HRESULT result(const char* call, HRESULT value) noexcept {
  if (on()) detail::finishCall(call, value);
  return value;
}

// Marks the calling thread as the simulator's for the pump-all call: exports that its dispatch
// procedures call only append their lines, and leave the file to the add-on's own calls.
class SimulatorThreadScope {
public:
  SimulatorThreadScope() noexcept;
  ~SimulatorThreadScope();
  SimulatorThreadScope(const SimulatorThreadScope&) = delete;
  SimulatorThreadScope& operator=(const SimulatorThreadScope&) = delete;
};

// Configuration: a location looked at by the presence test.
inline void configProbe(const wchar_t* path, const std::wstring& section, bool found) noexcept {
  if (on()) detail::configProbe(path, section, found);
}

// Where each setting of one open came from, worked out only while the trace is on. Nothing it
// does can fail the open: a step that fails leaves the attribution out of the trace.
class ConfigAttribution {
public:
  ConfigAttribution() noexcept;
  ~ConfigAttribution();
  ConfigAttribution(const ConfigAttribution&) = delete;
  ConfigAttribution& operator=(const ConfigAttribution&) = delete;

  // One file's section as read: notes the keys it gave and traces what it held.
  void section(const wchar_t* path, const std::wstring& section,
               const config::SectionValues& values, uint32_t maxReceiveSizeBefore,
               const ConnectionConfig& after) noexcept;
  // The settings the open attempts, with the source of each; `address` is the one attempted
  // (an empty TCP address means this machine's loopback).
  void effective(const ConnectionConfig& config, const std::wstring& address) noexcept;

private:
  std::optional<config::ConfigSources> sources_;
};

// One connection attempt: its start time (0 when the trace is off), then its outcome.
inline uint64_t attemptStart() noexcept {
  return on() ? detail::now() : 0;
}
// `target` is the pipe path for a pipe (`port` unused), else the host; `error` is 0 when
// connected, else the system error; `serial` the new connection's number.
inline void attempt(bool pipe, int32_t family, const wchar_t* target, const wchar_t* port,
                    uint32_t error, uint64_t startedAt, uint32_t serial) noexcept {
  if (on()) detail::attempt(pipe, family, target, port, error, startedAt, serial);
}
// A TCP step without a usable port (empty, or not a number from 1 to 65535, shown as given): no
// connection is attempted.
inline void attemptSkipped(int32_t family, const std::wstring& address,
                           const std::wstring& port) noexcept {
  if (on()) detail::attemptSkipped(family, address.c_str(), port.c_str());
}

// The host attach: the simulator's window (or none) with its process, and each command record
// sent to it or received from it with the value that matters (the answer, the address given,
// 1 or 0 for an accepted or refused kind 2).
inline void hostWindow(HWND window) noexcept {
  if (on()) detail::hostWindow(window);
}
inline void hostCommand(uint32_t kind, uint64_t value, uint32_t clientId = 0,
                        uint32_t serial = 0) noexcept {
  if (on()) detail::hostCommand(kind, value, clientId, serial);
}

// Messages: what a flush hands to the transport (or to the simulator in host mode), a flush that
// the transport did not take (not connected, or the write could not be posted), and each
// message received.
inline void sending(const Transport& transport, const uint8_t* data, uint32_t length,
                    bool toHost) noexcept {
  if (on()) detail::sending(transport, data, length, toHost);
}
inline void notSent(const Transport& transport, uint32_t length) noexcept {
  if (on()) detail::notSent(transport, length);
}
inline void received(const Transport& transport, const uint8_t* data, uint32_t length,
                     bool fromHost) noexcept {
  if (on()) detail::received(transport, data, length, fromHost);
}
// A disconnect of a connected transport, before it takes effect.
inline void disconnecting(const Transport& transport, int32_t reason, uint32_t code) noexcept {
  if (on()) detail::disconnecting(transport, reason, code);
}

// Writes out what is buffered when the library is unloaded (never waits for another thread).
void unloading() noexcept;

} // namespace trace

#pragma once
// Where trace lines go: a bounded memory buffer, and the file behind it. Hooks only append to the
// buffer, on whatever thread and under whatever locks their caller has; the file is written by
// writeOut, which export calls run at their end with no lock of the library held, so a slow or
// stalled trace file holds up no lock, no completion thread and no simulator thread.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "client/CriticalSection.h"
#include "connection/UniqueHandle.h"
#include "diagnostics/TraceSettings.h"

namespace trace {

// What one open sets the trace to: no path or level 0 turns it off.
struct SinkSettings {
  std::wstring path;
  int level = 0;
  uint64_t maxBytes = tracecfg::kDefaultMaxKiB * 1024;
};

// "<date> <time.ms> [<thread id, hex>] <event>", in local time: the start of every line.
std::string lineStart(std::string_view event);

class Sink {
public:
  // Applies new settings on the caller's thread (another file, another level, or off) and sets
  // trace::level to match. Waits for a thread that is writing.
  void configure(const SinkSettings& settings);

  // Any thread, any lock held: the line joins the buffer, or is counted when the buffer is full.
  void append(std::string line);

  // Writes what is buffered. Without `wait` it never waits for the file: a thread that is
  // writing already takes the lines along.
  void writeOut(bool wait);

private:
  bool openFile(bool truncate);
  bool writeAtEnd(const std::string& text);
  void writeSessionStart(int newLevel);
  void writeLocked();
  void rotate();

  CriticalSection bufferLock_{100}; // guards pending_, pendingLines_, lost_; held to append or swap
  CriticalSection fileLock_{100};   // held by the one thread that writes; guards the rest
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

// The process's one sink.
Sink& sink();

} // namespace trace

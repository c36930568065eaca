#include "diagnostics/TraceSink.h"

#include <array>
#include <cstdio>
#include <utility>

#include "diagnostics/Trace.h"
#include "diagnostics/TraceLine.h"

namespace trace {

namespace {

constexpr wchar_t kRotatedSuffix[] = L".1";

// Lines waiting for the file; beyond this they are counted and reported as dropped.
constexpr size_t kBufferLimit = 4u << 20;
// A thread that writes for others gives up its turn after this many rounds.
constexpr int kWriteRounds = 8;

} // namespace

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

void Sink::configure(const SinkSettings& settings) {
  WB_CHECK_NO_LOCK_HELD("no trace file is written while a lock of the library is held");
  const auto file = fileLock_.lock();
  if (settings.level == 0 || settings.path.empty()) {
    level.store(0);
    writeLocked();
    file_.reset();
    path_.clear();
    return;
  }
  maxBytes_ = settings.maxBytes;
  // A file on disk is opened afresh at every open: one deleted meanwhile (gone from its folder,
  // or only pending deletion while the trace holds it) is then created again, with its own first
  // line, instead of taking lines that nobody will see.
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

void Sink::append(std::string line) {
  line += "\r\n";
  const auto buffer = bufferLock_.lock();
  if (pending_.size() + line.size() > kBufferLimit) {
    ++lost_;
  } else {
    pending_ += line;
    ++pendingLines_;
  }
}

void Sink::writeOut(bool wait) {
  WB_CHECK_NO_LOCK_HELD("no trace file is written while a lock of the library is held");
  for (int round = 0;; ++round) {
    {
      const auto file = wait ? fileLock_.lock() : fileLock_.tryLock();
      if (!file) return;
      writeLocked();
    }
    // A line appended while this thread held the file would otherwise wait for the next one.
    {
      const auto buffer = bufferLock_.lock();
      if (pending_.empty()) return;
    }
    if (!wait && round >= kWriteRounds) return;
  }
}

// Opened for writing at the end (as appending does), so that a pipe can take the trace too;
// shared for reading, writing and deleting, so that it can be watched while it grows.
bool Sink::openFile(bool truncate) {
  file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  created_ = GetLastError() != ERROR_ALREADY_EXISTS;
  if (!file_.valid()) return false;
  onDisk_ = GetFileType(file_.get()) == FILE_TYPE_DISK;
  LARGE_INTEGER size{};
  size_ = onDisk_ && GetFileSizeEx(file_.get(), &size) ? uint64_t(size.QuadPart) : 0;
  return true;
}

// Writes at the current end of the file, wherever other writers left it.
bool Sink::writeAtEnd(const std::string& text) {
  OVERLAPPED atEnd{};
  atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  const bool wrote = WriteFile(file_.get(), text.data(), DWORD(text.size()), &written, &atEnd) &&
                     written == text.size();
  size_ += written;
  return wrote;
}

// The first line of a newly opened file, ahead of anything buffered.
void Sink::writeSessionStart(int newLevel) {
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

// With the file lock held: moves the buffer out and writes it. Lines that cannot be written (no
// file, a failed rotation, a write error) are counted with those the full buffer refused, and the
// count goes out in front of the next write that succeeds.
void Sink::writeLocked() {
  uint64_t lost = 0;
  uint64_t lines = 0;
  {
    const auto buffer = bufferLock_.lock();
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
  const auto buffer = bufferLock_.lock();
  if (wrote) {
    lost_ -= lost; // lines refused meanwhile stay counted for the next write
  } else {
    lost_ += lines;
  }
}

// One rotation: the full file becomes "<name>.1" (replacing an older one); when it can't be
// renamed (another program holds it), the file starts again empty. When no file can be opened
// afterwards, the next write tries again.
void Sink::rotate() {
  file_.reset();
  const std::wstring rotated = path_ + kRotatedSuffix;
  const bool moved = MoveFileExW(path_.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!openFile(!moved)) size_ = 0;
}

Sink& sink() {
  static Sink instance;
  return instance;
}

} // namespace trace

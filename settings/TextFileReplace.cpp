#include "settings/TextFileReplace.h"

#include <atomic>
#include <cwchar>
#include <system_error>

#include <windows.h>

#include "settings/FileContent.h"
#include "settings/FileHandle.h"

namespace {

// Beside the target, so that the final move stays within one volume; the process id and a
// counter keep two writers from sharing a name.
std::filesystem::path temporarySibling(const std::filesystem::path& target) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path temporary = target;
  temporary +=
      L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L".tmp";
  return temporary;
}

// Removes the temporary file unless it was moved into place.
class TemporaryFile {
public:
  explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!moved_) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  void markMoved() noexcept { moved_ = true; }

private:
  std::filesystem::path path_;
  bool moved_ = false;
};

constexpr char incompleteWriteMark = '\x1A';

DWORD writeAt(HANDLE file, unsigned long long offset, const char* bytes, std::size_t size) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) return GetLastError();
  return writeAll(file, bytes, size);
}

DWORD setLength(HANDLE file, unsigned long long length) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
    return GetLastError();
  return 0;
}

bool processIsAlive(DWORD processId) {
  FileHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
  if (!process.valid()) return GetLastError() == ERROR_ACCESS_DENIED; // exists, not ours to open
  return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// A writer that was killed during its write leaves its temporary file behind; removing those of
// processes that no longer run keeps them from piling up beside the settings file.
void removeAbandonedTemporaries(const std::filesystem::path& target) {
  const std::wstring prefix = target.filename().wstring() + L".";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(target.parent_path(), error)) {
    const std::wstring name = entry.path().filename().wstring();
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - 4, 4, L".tmp") != 0) {
      continue;
    }
    const DWORD writer = DWORD(std::wcstoul(name.c_str() + prefix.size(), nullptr, 10));
    if (writer != 0 && writer != GetCurrentProcessId() && !processIsAlive(writer)) {
      std::error_code ignored;
      std::filesystem::remove(entry.path(), ignored);
    }
  }
}

} // namespace

DWORD replaceInOneStep(const std::filesystem::path& target, const std::string& bytes) {
  removeAbandonedTemporaries(target);
  TemporaryFile temporary(temporarySibling(target));
  if (const DWORD error = writeWholeFile(temporary.path(), bytes, CREATE_ALWAYS, FILE_SHARE_READ))
    return error;
  if (!MoveFileExW(temporary.path().c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return GetLastError();
  temporary.markMoved();
  return 0;
}

bool refusedForSharingOrAccess(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE;
}

InPlaceWrite rewriteInPlace(const std::filesystem::path& target, const std::string& bytes) {
  const FileWriteCalls& calls = fileWriteCalls();
  // Shares reading and writing as the holders that keep the file from being replaced usually do.
  FileHandle handle(calls.createFile(target.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) return {GetLastError(), FileLeft::unchanged};
  const HANDLE file = handle.get();

  // From the mark on, the old content is no longer whole.
  if (const DWORD error = writeAt(file, 0, &incompleteWriteMark, 1))
    return {error, FileLeft::damaged};
  if (bytes.size() > 1) {
    if (const DWORD error = writeAt(file, 1, bytes.data() + 1, bytes.size() - 1))
      return {error, FileLeft::damaged};
  }
  if (const DWORD error = setLength(file, bytes.size())) return {error, FileLeft::damaged};
  if (!bytes.empty()) {
    // The rest reaches the disk before the first byte does, so that a crash cannot leave an
    // unmarked file with an unfinished rest; a failure here shows again in the final flush.
    calls.flushFileBuffers(file);
    if (const DWORD error = writeAt(file, 0, bytes.data(), 1)) return {error, FileLeft::damaged};
  }
  if (!calls.flushFileBuffers(file)) return {GetLastError(), FileLeft::written};
  return {0, FileLeft::written};
}

bool hasIncompleteWriteMark(const std::string& bytes) {
  return !bytes.empty() && bytes.front() == incompleteWriteMark;
}

std::string withCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

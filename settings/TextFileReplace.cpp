#include "settings/TextFileReplace.h"

#include <atomic>
#include <cwchar>
#include <fstream>
#include <system_error>

#include <windows.h>

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

bool writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::out | std::ios::trunc); // text mode
  if (!out) return false;
  out << text;
  out.close();
  return !out.fail();
}

// The content must be on disk before the move makes it the settings file; otherwise a crash
// could leave the new name pointing at an empty file.
bool flushToDisk(const std::filesystem::path& path) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.valid() && FlushFileBuffers(file.get()) != FALSE;
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

bool replaceFileWithText(const std::filesystem::path& target, const std::string& text) {
  removeAbandonedTemporaries(target);
  TemporaryFile temporary(temporarySibling(target));
  if (!writeText(temporary.path(), text) || !flushToDisk(temporary.path())) return false;
  if (!MoveFileExW(temporary.path().c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return false;
  temporary.markMoved();
  return true;
}

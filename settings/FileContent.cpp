#include "settings/FileContent.h"

#include <algorithm>

#include "settings/FileHandle.h"

namespace {
// ReadFile and WriteFile take 32-bit lengths; larger contents go in pieces.
constexpr std::size_t pieceSize = std::size_t(1) << 30;
} // namespace

FileWriteCalls& fileWriteCalls() {
  static FileWriteCalls calls;
  return calls;
}

FileRead readWholeFile(const std::filesystem::path& file) {
  FileRead result;
  FileHandle handle(CreateFileW(file.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) {
    const DWORD error = GetLastError();
    result.exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    result.error = result.exists ? error : 0;
    return result;
  }
  result.exists = true;
  char piece[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle.get(), piece, sizeof piece, &got, nullptr)) {
      result.error = GetLastError();
      return result;
    }
    if (got == 0) return result;
    result.bytes.append(piece, got);
  }
}

DWORD writeAll(HANDLE file, const char* bytes, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const DWORD length = static_cast<DWORD>(std::min(size - done, pieceSize));
    DWORD written = 0;
    if (!fileWriteCalls().writeFile(file, bytes + done, length, &written, nullptr))
      return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT; // no progress: never loop forever
    done += written;
  }
  return 0;
}

DWORD writeWholeFile(const std::filesystem::path& file, const std::string& bytes, DWORD disposition,
                     DWORD shareMode) {
  const FileWriteCalls& calls = fileWriteCalls();
  FileHandle handle(calls.createFile(file.c_str(), GENERIC_WRITE, shareMode, nullptr, disposition,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.valid()) return GetLastError();
  if (const DWORD error = writeAll(handle.get(), bytes.data(), bytes.size())) return error;
  // The content must be on disk before a move makes it the settings file; otherwise a crash
  // could leave the name pointing at an empty file.
  if (!calls.flushFileBuffers(handle.get())) return GetLastError();
  return 0;
}

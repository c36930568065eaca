#pragma once
// The failure of a settings store's file work, with what the failed write left on disk, so that
// the person can be told whether the settings file still holds what it held before.
#include <filesystem>
#include <string>
#include <system_error>

enum class FileLeft {
  unchanged, // the file holds what it held before (or still does not exist)
  written,   // the file holds the new content, but it could not be flushed to the disk
  damaged,   // the file holds neither; the backup (path2) holds the content from before
};

class SettingsFileError : public std::filesystem::filesystem_error {
public:
  // `description` is a string literal in plain ASCII: it outlives the exception.
  SettingsFileError(const char* description, const std::filesystem::path& file,
                    std::error_code error, FileLeft left = FileLeft::unchanged)
      : filesystem_error(description, file, error), description_(description), left_(left) {}
  SettingsFileError(const char* description, const std::filesystem::path& file,
                    const std::filesystem::path& backup, std::error_code error, FileLeft left)
      : filesystem_error(description, file, backup, error), description_(description), left_(left) {
  }

  const char* description() const noexcept { return description_; }
  FileLeft fileLeft() const noexcept { return left_; }

private:
  const char* description_;
  FileLeft left_;
};

// A system error code (GetLastError) as an error code of the system category.
inline std::error_code systemError(unsigned long error) {
  return std::error_code(static_cast<int>(error), std::system_category());
}

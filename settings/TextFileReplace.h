#pragma once
// Replaces a file's content. Normally in one step, so that a reader never sees a half-written
// file and a write that fails or stops part-way leaves the old content in place.
#include <windows.h>

#include <filesystem>
#include <string>

// Writes `bytes` into a new file beside `target`, flushes it and moves it over `target`.
// Returns 0, or the system error with `target` left as it was and the new file removed.
DWORD replaceInOneStep(const std::filesystem::path& target, const std::string& bytes);

// Replaces `target` in one step. When another program holds the file so that it cannot be
// replaced, or the new file cannot be made for access reasons, the same bytes are written into
// the existing file instead. Throws std::filesystem::filesystem_error naming `target` and the
// system error when neither works. A refused replacement leaves `target` as it was; a rewrite in
// place that fails part-way may leave it cut short.
void replaceFileContent(const std::filesystem::path& target, const std::string& bytes);

// The text as a text-mode stream on Windows writes it: every "\n" becomes CR LF.
std::string withCrLf(const std::string& text);

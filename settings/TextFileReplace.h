#pragma once
// Replaces a file's content in one step, so that a reader never sees a half-written file and a
// write that fails or stops part-way leaves the old content in place.
#include <filesystem>
#include <string>

// Writes `text` through a text-mode stream (so "\n" becomes CR LF on Windows) into a new file
// beside `target`, flushes it to disk and moves it over `target`. On failure returns false,
// leaves `target` as it was and removes the new file.
bool replaceFileWithText(const std::filesystem::path& target, const std::string& text);

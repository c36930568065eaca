#pragma once
// Replaces a file's content: in one step, so that a reader never sees a half-written file and a
// write that fails or stops part-way leaves the old content in place; or, where that is refused,
// in place, with a mark that tells a file whose rewrite did not finish.
#include <windows.h>

#include <filesystem>
#include <string>

#include "settings/SettingsFileError.h"

// Writes `bytes` into a new file beside `target`, flushes it and moves it over `target`.
// Returns 0, or the system error with `target` left as it was and the new file removed.
DWORD replaceInOneStep(const std::filesystem::path& target, const std::string& bytes);

// True for the errors with which another program's hold on the file, or the folder's permissions,
// refuse a replacement in one step; the existing file may then still be rewritten in place.
bool refusedForSharingOrAccess(DWORD error);

struct InPlaceWrite {
  DWORD error = 0;                     // 0, or the first system error
  FileLeft left = FileLeft::unchanged; // `written` with an error: only the flush failed
};

// Rewrites the existing `target` with `bytes` without truncating it first. Its first byte is set
// to the incomplete-write mark before anything else and gets its own value only after everything
// else is written, so that a rewrite that fails or stops part-way leaves a file that begins with
// the mark. A target that cannot be opened is left unchanged.
InPlaceWrite rewriteInPlace(const std::filesystem::path& target, const std::string& bytes);

// True for the content of a file whose rewrite in place did not finish. The mark is the text
// end-of-file character, which readers of text files take as the end: such a file reads as empty
// rather than as a part of its settings.
bool hasIncompleteWriteMark(const std::string& bytes);

// The text as a text-mode stream on Windows writes it: every "\n" becomes CR LF.
std::string withCrLf(const std::string& text);

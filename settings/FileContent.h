#pragma once
// Whole-file reads and writes through Win32 handles, so that every failure comes with the system
// error that caused it and a file is flushed through the handle that wrote it.
#include <windows.h>

#include <filesystem>
#include <string>

// The system calls through which settings files are created, written and flushed. Tests replace
// them for the length of one test to bring about what a file system under test cannot: a folder
// that takes no new file, or a write that fails part-way (a full disk, a lost network share).
struct FileWriteCalls {
  decltype(&CreateFileW) createFile = &CreateFileW;
  decltype(&WriteFile) writeFile = &WriteFile;
  decltype(&FlushFileBuffers) flushFileBuffers = &FlushFileBuffers;
};

// The calls in use. Not synchronised: replace them only while no settings file is being written.
FileWriteCalls& fileWriteCalls();

struct FileRead {
  bool exists = false; // false: there is no such file (nothing else went wrong)
  DWORD error = 0;     // not 0: the file exists but could not be opened or read to the end
  std::string bytes;   // everything read; complete only when `exists` and `error` is 0
};

// Reads the whole file, sharing it with every other program.
FileRead readWholeFile(const std::filesystem::path& file);

// Writes all of `bytes` at the handle's file pointer. Returns 0 or the system error.
DWORD writeAll(HANDLE file, const char* bytes, std::size_t size);

// Writes `bytes` to `file` through one handle and flushes them to disk through that same handle.
// `disposition` is a CreateFileW creation disposition. Returns 0 or the system error.
DWORD writeWholeFile(const std::filesystem::path& file, const std::string& bytes, DWORD disposition,
                     DWORD shareMode);

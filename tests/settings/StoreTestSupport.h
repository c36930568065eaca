#pragma once
// A fresh folder per test and byte-exact file helpers for the settings store tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "settings/FileContent.h"
#include "settings/FileHandle.h"

namespace fs = std::filesystem;

// Gives every test its own empty folder under the temporary folder, removed afterwards.
class StoreFolderTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  const fs::path& base() const { return base_; }
  fs::path settingsFolder() const { return base_ / L"Aerolumen"; }
  fs::path settingsFile(const std::wstring& storeName) const {
    return settingsFolder() / (L"settings_pro_Aerolumen P3Dv4_" + storeName + L".ini");
  }

private:
  fs::path base_;
};

std::string readBytes(const fs::path& path);
void writeBytes(const fs::path& path, const std::string& bytes);
// Names of the entries of `folder`, sorted.
std::vector<std::wstring> folderEntries(const fs::path& folder);
// Opens `path` for reading with the given sharing; the test fails when it cannot.
FileHandle openFile(const fs::path& path, DWORD shareMode);

// Replaces the settings code's file calls for its lifetime (one at a time) with faults a real
// file system under test cannot produce: a folder that takes no new file, writes to one file that
// fail part-way, and a flush of that file that fails.
class FileFaults {
public:
  FileFaults();
  ~FileFaults();
  FileFaults(const FileFaults&) = delete;
  FileFaults& operator=(const FileFaults&) = delete;

  // Script. A write to `faultyFile` that would go past `bytesBeforeFailure` writes only up to it
  // and fails with ERROR_DISK_FULL; so do all later writes to it until `failingWrites` writes
  // have failed (0: all of them).
  bool refuseNewFiles = false;
  fs::path faultyFile;
  unsigned long long bytesBeforeFailure = ~0ull;
  int failingWrites = 0;
  bool failFlush = false;

  // Record.
  int failedWrites = 0;

private:
  static HANDLE WINAPI createFile(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                  HANDLE);
  static BOOL WINAPI writeFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  static BOOL WINAPI flushFileBuffers(HANDLE);
  bool isFaulty(HANDLE handle) const;

  static FileFaults* active_;
  FileWriteCalls saved_;
  std::map<HANDLE, fs::path> opened_;
  unsigned long long written_ = 0;
};

#pragma once
// A fresh folder per test and byte-exact file helpers for the settings store tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

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

#include "StoreTestSupport.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <system_error>

#include <windows.h>

void StoreFolderTest::SetUp() {
  static std::atomic<unsigned> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  base_ = fs::temp_directory_path() / L"settings-store-tests" /
          (std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L"-" +
           fs::path(info->name()).wstring());
  fs::remove_all(base_);
  fs::create_directories(base_);
}

void StoreFolderTest::TearDown() {
  std::error_code ignored;
  fs::remove_all(base_, ignored);
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.is_open()) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  ASSERT_FALSE(out.fail()) << path;
}

std::vector<std::wstring> folderEntries(const fs::path& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().wstring());
  std::sort(names.begin(), names.end());
  return names;
}

FileHandle openFile(const fs::path& path, DWORD shareMode) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(file.valid()) << path << " error " << GetLastError();
  return file;
}

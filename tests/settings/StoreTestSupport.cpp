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

FileFaults* FileFaults::active_ = nullptr;

FileFaults::FileFaults() : saved_(fileWriteCalls()) {
  active_ = this;
  fileWriteCalls() = {&FileFaults::createFile, &FileFaults::writeFile,
                      &FileFaults::flushFileBuffers};
}

FileFaults::~FileFaults() {
  fileWriteCalls() = saved_;
  active_ = nullptr;
}

HANDLE WINAPI FileFaults::createFile(LPCWSTR name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                     HANDLE model) {
  FileFaults& self = *active_;
  const bool newFile =
      disposition == CREATE_ALWAYS || disposition == CREATE_NEW || disposition == OPEN_ALWAYS;
  if (self.refuseNewFiles && newFile && GetFileAttributesW(name) == INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle =
      self.saved_.createFile(name, access, share, security, disposition, flags, model);
  if (handle != INVALID_HANDLE_VALUE) self.opened_[handle] = name;
  return handle;
}

bool FileFaults::isFaulty(HANDLE handle) const {
  const auto found = opened_.find(handle);
  return !faultyFile.empty() && found != opened_.end() && found->second == faultyFile;
}

BOOL WINAPI FileFaults::writeFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written,
                                  LPOVERLAPPED overlapped) {
  FileFaults& self = *active_;
  const bool stillFailing = self.failingWrites == 0 || self.failedWrites < self.failingWrites;
  if (!self.isFaulty(handle) || !stillFailing || self.written_ + size <= self.bytesBeforeFailure) {
    if (self.isFaulty(handle)) self.written_ += size;
    return self.saved_.writeFile(handle, data, size, written, overlapped);
  }
  const DWORD part = self.written_ >= self.bytesBeforeFailure
                         ? 0
                         : static_cast<DWORD>(self.bytesBeforeFailure - self.written_);
  DWORD done = 0;
  if (part > 0) self.saved_.writeFile(handle, data, part, &done, overlapped);
  self.written_ += done;
  ++self.failedWrites;
  if (written) *written = 0;
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

BOOL WINAPI FileFaults::flushFileBuffers(HANDLE handle) {
  FileFaults& self = *active_;
  if (self.failFlush && self.isFaulty(handle)) {
    SetLastError(ERROR_IO_DEVICE);
    return FALSE;
  }
  return self.saved_.flushFileBuffers(handle);
}

#pragma once
// Test fixtures that put SimConnect.cfg files, the current directory and the simulator's registry
// values in place for one test and put back whatever was there before, also when the test fails.
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

inline constexpr GUID kPublicDocumentsFolder = {
    0xED4824AF, 0xDCE4, 0x45A8, {0x81, 0xE2, 0xFC, 0x79, 0x65, 0x08, 0x36, 0x34}};
inline constexpr GUID kDocumentsFolder = {
    0xFDD39AD0, 0x238F, 0x46AF, {0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7}};

// The folder as the shell reports it; throws when there is none.
std::filesystem::path knownFolderPath(const GUID& folderId);

// One file whose content the test decides; it starts absent.
class ScopedFile {
public:
  explicit ScopedFile(std::filesystem::path path);
  ~ScopedFile();
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;

  void write(const std::string& bytes);
  void remove();
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
  std::optional<std::string> original_;
};

// A new, empty temporary folder as the process's current directory.
class ScopedCurrentDirectory {
public:
  ScopedCurrentDirectory();
  ~ScopedCurrentDirectory();
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

  const std::filesystem::path& path() const { return folder_; }

private:
  std::wstring previous_;
  std::filesystem::path folder_;
};

// The simulator's ports key under one root; both port values start absent.
class ScopedPortsKey {
public:
  explicit ScopedPortsKey(HKEY root);
  ~ScopedPortsKey();
  ScopedPortsKey(const ScopedPortsKey&) = delete;
  ScopedPortsKey& operator=(const ScopedPortsKey&) = delete;

  void setValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
  // A REG_SZ value stored with its terminator.
  void setString(const wchar_t* name, const std::wstring& text);
  void removeValue(const wchar_t* name);
  // Removes the key itself (it must hold nothing but the port values).
  void removeKey();

private:
  struct RawValue {
    DWORD type = 0;
    std::string data;
  };
  static constexpr int kValueCount = 2;
  static const wchar_t* valueName(int index);

  HKEY root_;
  bool parentExisted_ = false;
  bool keyExisted_ = false;
  std::optional<RawValue> originals_[kValueCount];
};

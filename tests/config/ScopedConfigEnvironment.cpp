#include "ScopedConfigEnvironment.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "connection/SimulatorInterface.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kParentKey[] = L"SOFTWARE\\Lockheed Martin";

struct TaskMemoryFree {
  void operator()(wchar_t* text) const noexcept { CoTaskMemFree(text); }
};

struct RegistryKeyClose {
  void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using RegistryKey = std::unique_ptr<std::remove_pointer_t<HKEY>, RegistryKeyClose>;

[[noreturn]] void fail(const std::string& what, long code) {
  throw std::runtime_error(what + " failed with " + std::to_string(code));
}

RegistryKey openKey(HKEY root, const wchar_t* path, REGSAM access) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, access, &key) != ERROR_SUCCESS) {
    return RegistryKey();
  }
  return RegistryKey(key);
}

bool keyExists(HKEY root, const wchar_t* path) {
  return openKey(root, path, KEY_READ) != nullptr;
}

std::optional<std::string> readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    throw std::runtime_error("writing " + path.string() + " failed");
  }
}

struct FindHandleClose {
  void operator()(HANDLE find) const noexcept { FindClose(find); }
};

// Removes a folder with everything in it. Win32 directly, as the folders made by the tests can
// be longer than the C runtime's path functions accept.
bool removeTree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  const HANDLE found = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (found != INVALID_HANDLE_VALUE) {
    const std::unique_ptr<void, FindHandleClose> find(found);
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") {
        continue;
      }
      const std::wstring path = folder + L"\\" + name;
      const bool removed = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                               ? removeTree(path)
                               : DeleteFileW(path.c_str()) != 0;
      if (!removed) {
        return false;
      }
    } while (FindNextFileW(found, &entry));
  }
  return RemoveDirectoryW(folder.c_str()) != 0;
}

} // namespace

fs::path knownFolderPath(const GUID& folderId) {
  PWSTR folder = nullptr;
  const HRESULT result = SHGetKnownFolderPath(folderId, 0, nullptr, &folder);
  const std::unique_ptr<wchar_t, TaskMemoryFree> owner(folder);
  if (FAILED(result) || folder == nullptr) {
    fail("SHGetKnownFolderPath", result);
  }
  return fs::path(folder);
}

ScopedFile::ScopedFile(fs::path path) : path_(std::move(path)), original_(readFile(path_)) {
  remove();
}

ScopedFile::~ScopedFile() {
  try {
    if (original_) {
      writeFile(path_, *original_);
    } else {
      remove();
    }
  } catch (const std::exception& error) {
    ADD_FAILURE() << "restoring " << path_.string() << ": " << error.what();
  }
}

void ScopedFile::write(const std::string& bytes) {
  writeFile(path_, bytes);
}

void ScopedFile::remove() {
  std::error_code error;
  fs::remove(path_, error);
  if (error) {
    throw std::runtime_error("removing " + path_.string() + ": " + error.message());
  }
}

ScopedCurrentDirectory::ScopedCurrentDirectory() {
  wchar_t previous[MAX_PATH] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH, previous);
  if (length == 0 || length >= MAX_PATH) {
    fail("GetCurrentDirectoryW", GetLastError());
  }
  previous_ = previous;
  folder_ = fs::temp_directory_path() / (L"wb-config-" + std::to_wstring(GetCurrentProcessId()) +
                                         L"-" + std::to_wstring(GetTickCount64()));
  fs::create_directories(folder_);
  if (!SetCurrentDirectoryW(folder_.c_str())) {
    const DWORD error = GetLastError();
    fs::remove(folder_);
    fail("SetCurrentDirectoryW", error);
  }
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  if (!SetCurrentDirectoryW(previous_.c_str())) {
    ADD_FAILURE() << "SetCurrentDirectoryW back failed with " << GetLastError();
  }
  if (!removeTree(folder_.wstring())) {
    ADD_FAILURE() << "removing " << folder_.string() << " failed with " << GetLastError();
  }
}

const wchar_t* ScopedPortsKey::valueName(int index) {
  return index == 0 ? sim::kPortValueIPv4 : sim::kPortValueIPv6;
}

ScopedPortsKey::ScopedPortsKey(HKEY root)
    : root_(root), parentExisted_(keyExists(root, kParentKey)),
      keyExisted_(keyExists(root, sim::kPortsRegistryKey)) {
  if (const RegistryKey key = openKey(root, sim::kPortsRegistryKey, KEY_READ)) {
    for (int i = 0; i < kValueCount; ++i) {
      DWORD type = 0;
      DWORD size = 0;
      if (RegQueryValueExW(key.get(), valueName(i), nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS) {
        continue;
      }
      RawValue value{type, std::string(size, '\0')};
      if (RegQueryValueExW(key.get(), valueName(i), nullptr, &type,
                           reinterpret_cast<BYTE*>(value.data.data()), &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        originals_[i] = std::move(value);
      }
    }
  }
  for (int i = 0; i < kValueCount; ++i) {
    removeValue(valueName(i));
  }
}

ScopedPortsKey::~ScopedPortsKey() {
  try {
    for (int i = 0; i < kValueCount; ++i) {
      if (originals_[i]) {
        setValue(valueName(i), originals_[i]->type, originals_[i]->data.data(),
                 static_cast<DWORD>(originals_[i]->data.size()));
      } else {
        removeValue(valueName(i));
      }
    }
    if (!keyExisted_) {
      removeKey();
    }
    if (!parentExisted_) {
      const LSTATUS status = RegDeleteKeyW(root_, kParentKey);
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        fail("RegDeleteKeyW", status);
      }
    }
  } catch (const std::exception& error) {
    ADD_FAILURE() << "restoring the ports key: " << error.what();
  }
}

void ScopedPortsKey::setValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY created = nullptr;
  LSTATUS status = RegCreateKeyExW(root_, sim::kPortsRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                   &created, nullptr);
  if (status != ERROR_SUCCESS) {
    fail("RegCreateKeyExW", status);
  }
  const RegistryKey key(created);
  status = RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
  if (status != ERROR_SUCCESS) {
    fail("RegSetValueExW", status);
  }
}

void ScopedPortsKey::setString(const wchar_t* name, const std::wstring& text) {
  setValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ScopedPortsKey::removeValue(const wchar_t* name) {
  const RegistryKey key = openKey(root_, sim::kPortsRegistryKey, KEY_SET_VALUE);
  if (!key) {
    return;
  }
  const LSTATUS status = RegDeleteValueW(key.get(), name);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    fail("RegDeleteValueW", status);
  }
}

void ScopedPortsKey::removeKey() {
  for (int i = 0; i < kValueCount; ++i) {
    removeValue(valueName(i));
  }
  const LSTATUS status = RegDeleteKeyW(root_, sim::kPortsRegistryKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    fail("RegDeleteKeyW", status);
  }
}

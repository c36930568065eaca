// A host that loads an add-on by its full path with a plain LoadLibraryW, the add-on in a folder of
// its own with Wirebridge.dll beside it: the add-on that imports Wirebridge.dll does not load, the
// one that loads it through WirebridgeLoader.h connects and talks over the pipe and the host path.
// Then the loader's results for a missing file, a file without the exports, and the real DLL.
#include <gtest/gtest.h>

#include "TestPrograms.h"
#include "tools/standin-sim/StandInSimulator.h"

#define WIREBRIDGE_LOADER_IMPLEMENTATION
#include "include/WirebridgeLoader.h"

#include <string>
#include <vector>

namespace {

constexpr uint32_t kOpen = 0xF0000001;
constexpr uint32_t kRequestState = 0xF0000035;

// A fresh folder under the temporary folder, removed with the files copied into it.
class AddonFolder {
public:
  AddonFolder() {
    wchar_t temporary[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temporary);
    static unsigned counter = 0;
    path_ = std::wstring(temporary) + L"loader-test-" + std::to_wstring(GetCurrentProcessId()) +
            L"-" + std::to_wstring(++counter);
    created_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
  }
  ~AddonFolder() {
    for (const std::wstring& file : files_)
      DeleteFileW(file.c_str());
    RemoveDirectoryW(path_.c_str());
  }
  AddonFolder(const AddonFolder&) = delete;
  AddonFolder& operator=(const AddonFolder&) = delete;

  // Copies the build's file as `name`; returns its path here, empty when the copy failed.
  std::wstring add(const char* unixPath, const std::wstring& name) {
    const std::wstring target = path_ + L"\\" + name;
    if (!created_ || !CopyFileW(testfiles::windowsPath(unixPath).c_str(), target.c_str(), FALSE))
      return {};
    files_.push_back(target);
    return target;
  }
  const std::wstring& path() const { return path_; }

private:
  std::wstring path_;
  bool created_ = false;
  std::vector<std::wstring> files_;
};

standin::StandInOptions plainRun(const std::wstring& addon) {
  standin::StandInOptions options;
  options.addonPath = addon;
  options.addonSearch = standin::AddonSearch::plain;
  options.transcriptToStdout = false;
  options.maxSeconds = 30;
  return options;
}

std::string problemsText(const standin::StandInResult& result) {
  std::string text;
  for (const std::string& problem : result.problems)
    text += "\n  " + problem;
  return text;
}

std::string narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

std::wstring loadedWirebridge() {
  wchar_t path[MAX_PATH * 4] = {};
  const HMODULE module = GetModuleHandleW(L"Wirebridge.dll");
  if (module == nullptr) return {};
  GetModuleFileNameW(module, path, DWORD(std::size(path)));
  return path;
}

TEST(PlainLoad, AnAddonImportingWirebridgeFindsNoDllBesideItself) {
  AddonFolder folder;
  const std::wstring addon = folder.add(SAMPLE_ADDON_DLL, L"SampleAddon.dll");
  ASSERT_FALSE(addon.empty());
  ASSERT_FALSE(folder.add(WIREBRIDGE_DLL, L"Wirebridge.dll").empty());

  const standin::StandInResult plain = standin::simulate(plainRun(addon));

  EXPECT_FALSE(plain.addonLoaded);
  EXPECT_NE(problemsText(plain).find("LoadLibraryW of the add-on failed with 126"),
            std::string::npos)
      << problemsText(plain);
  EXPECT_EQ(loadedWirebridge(), L"");

  // The same files load when the add-on's folder is searched first.
  standin::StandInOptions altered = plainRun(addon);
  altered.addonSearch = standin::AddonSearch::addonFolderFirst;
  const standin::StandInResult result = standin::simulate(altered);
  EXPECT_TRUE(result.passed) << problemsText(result);
  EXPECT_EQ(loadedWirebridge(), folder.path() + L"\\Wirebridge.dll");
}

TEST(PlainLoad, AnAddonUsingTheLoaderTalksOverThePipeAndTheHostPath) {
  AddonFolder folder;
  const std::wstring addon = folder.add(SAMPLE_LOADER_ADDON_DLL, L"SampleLoaderAddon.dll");
  ASSERT_FALSE(addon.empty());
  ASSERT_FALSE(folder.add(WIREBRIDGE_DLL, L"Wirebridge.dll").empty());
  const std::wstring besideAddon = folder.path() + L"\\Wirebridge.dll";

  const standin::StandInResult result = standin::simulate(plainRun(addon));

  ASSERT_TRUE(result.passed) << problemsText(result);
  EXPECT_TRUE(result.addonDone);
  EXPECT_EQ(result.addonStopResult, 0);
  EXPECT_EQ(loadedWirebridge(), besideAddon);
  size_t loadedLines = 0;
  for (const std::string& line : result.transcript)
    if (line.find("Wirebridge.dll loaded from " + narrow(besideAddon)) != std::string::npos)
      ++loadedLines;
  EXPECT_EQ(loadedLines, 1u);

  // Attached at the open, registered after the open reply; the early request went over the
  // pipe, the six later ones over the host path, and every answer came back.
  EXPECT_EQ(result.host.commandKinds, (std::vector<uint32_t>{5, 4, 1}));
  size_t pumpLines = 0;
  for (const std::string& line : result.transcript)
    if (line.find(" host ") != std::string::npos &&
        line.find("SimConnect_CallDispatch of ") != std::string::npos)
      ++pumpLines;
  EXPECT_EQ(pumpLines, 1u)
      << "the pump registered is not the library's own SimConnect_CallDispatch";
  ASSERT_EQ(result.connections.size(), 1u);
  EXPECT_TRUE(result.connections[0].addon);
  EXPECT_EQ(result.connections[0].endpoint, "pipe");
  EXPECT_EQ(result.connections[0].requestTypes, (std::vector<uint32_t>{kOpen, kRequestState}));
  EXPECT_EQ(result.host.requestTypes.size(), 6u);
  EXPECT_EQ(result.host.deliveries, 6u);
  EXPECT_EQ(result.host.releases, 6u);
}

TEST(Loader, NamesTheFileTheSystemErrorAndTheMissingExport) {
  // Nothing loaded yet: the functions fail without touching any DLL.
  HANDLE handle = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(SimConnect_Open(&handle, "early", nullptr, 0, nullptr, 0), E_FAIL);
  EXPECT_EQ(handle, nullptr);

  // This program's folder holds no Wirebridge.dll: the file tried is the one beside the module
  // that calls the loader.
  wchar_t program[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, program, DWORD(std::size(program)));
  std::wstring besideProgram(program);
  besideProgram.erase(besideProgram.find_last_of(L'\\') + 1);
  besideProgram += L"Wirebridge.dll";
  WirebridgeLoadResult result;
  EXPECT_FALSE(WirebridgeLoad(&result));
  EXPECT_EQ(result.module, nullptr);
  EXPECT_EQ(std::wstring(result.path), besideProgram);
  EXPECT_EQ(result.systemError, DWORD(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(result.missingExport, nullptr);
  char text[4 * WIREBRIDGE_LOADER_PATH_CHARS];
  EXPECT_EQ(std::string(WirebridgeLoadMessage(&result, text, sizeof text)),
            "Wirebridge.dll could not be loaded from " + narrow(besideProgram) +
                ": system error 126");

  // A DLL of that name without the exports is named with the first one missing.
  AddonFolder impostor;
  ASSERT_FALSE(impostor.add(SAMPLE_LOADER_ADDON_DLL, L"Wirebridge.dll").empty());
  EXPECT_FALSE(WirebridgeLoadFrom(impostor.path().c_str(), &result));
  EXPECT_EQ(std::wstring(result.path), impostor.path() + L"\\Wirebridge.dll");
  EXPECT_EQ(result.systemError, DWORD(ERROR_PROC_NOT_FOUND));
  ASSERT_NE(result.missingExport, nullptr);
  EXPECT_STREQ(result.missingExport, "SimConnect_CallDispatch");
  EXPECT_EQ(GetModuleHandleW(L"Wirebridge.dll"), nullptr) << "the impostor stayed loaded";

  // A folder given with its trailing separator, and the real DLL.
  AddonFolder real;
  ASSERT_FALSE(real.add(WIREBRIDGE_DLL, L"Wirebridge.dll").empty());
  ASSERT_TRUE(WirebridgeLoadFrom((real.path() + L"\\").c_str(), &result))
      << WirebridgeLoadMessage(&result, text, sizeof text);
  EXPECT_NE(result.module, nullptr);
  EXPECT_EQ(result.systemError, 0u);
  EXPECT_EQ(std::wstring(result.path), real.path() + L"\\Wirebridge.dll");
  EXPECT_EQ(loadedWirebridge(), real.path() + L"\\Wirebridge.dll");
  // Now the DLL answers: a null handle pointer is its E_INVALIDARG.
  EXPECT_EQ(SimConnect_Open(nullptr, "late", nullptr, 0, nullptr, 0), E_INVALIDARG);

  // Later load calls keep the loaded module.
  WirebridgeLoadResult again;
  EXPECT_TRUE(WirebridgeLoad(&again));
  EXPECT_EQ(again.module, result.module);
  EXPECT_EQ(std::wstring(again.path), real.path() + L"\\Wirebridge.dll");
  FreeLibrary(result.module); // nothing opened: the copy may go with its folder
}

} // namespace

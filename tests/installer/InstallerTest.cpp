// The setup under Wine, run silently as a person or a deployment tool would: where it finds the
// simulator, what it installs, the shortcuts as the shell reads them, a start through the first
// shortcut, the Apps & features entry, an upgrade, and the uninstaller with and without the
// settings. Every case leaves the prefix as it found it: a leftover install is removed, and the
// simulator's registry values and the Aerolumen settings files are put back.
#include "tests/installer/InstallerSupport.h"
#include "tests/launcher/EndToEndSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr DWORD patience = 60000;

const wchar_t* const uninstallKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Aerolumen P3D4";
const wchar_t* const simulatorMachineKey = L"SOFTWARE\\Lockheed Martin\\Prepar3D v4";
const wchar_t* const simulatorUserKey = L"Software\\Lockheed Martin\\Prepar3D v4";

const char* const oldSettings = "[Loading]\r\nForceVRMode = 0\r\nSkipIntro = yes\r\n\r\n";
const char* const oldSettingsBackup = "[Loading]\r\nForceVRMode = 0\r\n\r\n";
const char* const oldWindowPositions = "[Main]\r\nX = 10\r\nY = 20\r\n\r\n";
const char* const oldWindowPositionsBackup = "[Main]\r\nX = 0\r\n\r\n";

fs::path defaultInstallFolder() {
  return shellFolder(CSIDL_LOCAL_APPDATA) / L"Programs" / L"Aerolumen P3D4";
}
fs::path menuFolder() {
  return shellFolder(CSIDL_PROGRAMS) / L"Aerolumen P3D4";
}
fs::path launchShortcut() {
  return menuFolder() / L"Aerolumen P3D4.lnk";
}
fs::path resetShortcut() {
  return menuFolder() / L"Aerolumen P3D4 - reset settings.lnk";
}
fs::path guideShortcut() {
  return menuFolder() / L"Aerolumen P3D4 user guide.lnk";
}
fs::path desktopShortcut() {
  return shellFolder(CSIDL_DESKTOPDIRECTORY) / L"Aerolumen P3D4.lnk";
}

std::vector<fs::path> settingsFiles() {
  std::vector<fs::path> files;
  for (const char* store : {"settings", "window_positions"}) {
    files.push_back(storeFile(store));
    files.push_back(backupOf(storeFile(store)));
  }
  return files;
}

std::map<fs::path, std::optional<std::string>> settingsContent() {
  std::map<fs::path, std::optional<std::string>> content;
  for (const auto& file : settingsFiles())
    content[file] = readFile(file);
  return content;
}

bool sameFolder(const std::wstring& folder, const fs::path& expected) {
  std::error_code error;
  return !folder.empty() && fs::equivalent(fs::path(folder), expected, error);
}

bool sameFile(const std::wstring& file, const fs::path& expected) {
  return sameFolder(file, expected);
}

// What a person's earlier (or a failed test's) install left: removed without the uninstaller.
void removeAnyInstall(const std::vector<fs::path>& installFolders) {
  std::error_code ignored;
  for (const auto& folder : installFolders) {
    for (const wchar_t* file : {L"AerolumenP3D4.exe", L"user-guide.txt", L"uninstall.exe"})
      fs::remove(folder / file, ignored);
    fs::remove(folder, ignored);
  }
  for (const auto& shortcut : {launchShortcut(), resetShortcut(), guideShortcut()})
    fs::remove(shortcut, ignored);
  fs::remove(menuFolder(), ignored);
  fs::remove(desktopShortcut(), ignored);
  RegDeleteTreeW(HKEY_CURRENT_USER, uninstallKey);
}

bool nothingInstalled(const fs::path& installFolder) {
  return !fs::exists(installFolder) && !fs::exists(menuFolder()) &&
         !fs::exists(desktopShortcut()) && !registryKeyExists(HKEY_CURRENT_USER, uninstallKey);
}

class Installer : public ::testing::Test {
protected:
  void SetUp() override {
    removeAnyInstall({defaultInstallFolder(), customInstallFolder()});
    ASSERT_TRUE(nothingInstalled(defaultInstallFolder()));
    reportFile = work.path() / L"standin-report.txt";
    SetEnvironmentVariableW(L"AEROLUMEN_STANDIN_REPORT", reportFile.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"AEROLUMEN_STANDIN_REPORT", nullptr);
    removeAnyInstall({defaultInstallFolder(), customInstallFolder()});
  }

  fs::path customInstallFolder() const { return work.path() / L"Flight tools" / L"Aerolumen"; }

  // A folder with the stand-in prepar3d.exe, named with a blank as the simulator's usually is.
  fs::path simulatorFolder(const wchar_t* name) {
    const fs::path folder = work.path() / name;
    fs::create_directories(folder);
    fs::copy_file(hostPath(STANDIN_EXE), folder / L"prepar3d.exe");
    return folder;
  }

  void writeOldSettingsFiles() {
    writeFile(storeFile("settings"), oldSettings);
    writeFile(backupOf(storeFile("settings")), oldSettingsBackup);
    writeFile(storeFile("window_positions"), oldWindowPositions);
    writeFile(backupOf(storeFile("window_positions")), oldWindowPositionsBackup);
  }

  // The setup's exit code for the given arguments, written as a person types them.
  static std::optional<DWORD> runSetup(const std::wstring& arguments) {
    return runToTheEnd(L"\"" + hostPath(SETUP_EXE).wstring() + L"\" " + arguments, patience);
  }

  // Runs the entry's QuietUninstallString (plus `extra`). The uninstaller hands over to a copy of
  // itself in the temporary folder and ends at once, so the result is awaited by `done`.
  template <typename Done> void uninstall(const std::wstring& extra, Done done) {
    const auto quiet = readRegistryString(HKEY_CURRENT_USER, uninstallKey, L"QuietUninstallString");
    ASSERT_TRUE(quiet) << "no QuietUninstallString";
    EXPECT_EQ(runToTheEnd(*quiet + extra, patience), std::optional<DWORD>(0));
    EXPECT_TRUE(holdsWithin(patience, done)) << "the uninstaller did not finish";
  }

  // The three Start menu shortcuts and, unless `desktop` is false, the desktop one: targets,
  // arguments, working folders and icons.
  void expectShortcuts(const fs::path& installFolder, const fs::path& simulator, bool desktop) {
    const fs::path launcher = installFolder / L"AerolumenP3D4.exe";
    std::vector<fs::path> launchers = {launchShortcut()};
    if (desktop) launchers.push_back(desktopShortcut());
    for (const auto& file : launchers) {
      const auto shortcut = readShortcut(file);
      ASSERT_TRUE(shortcut) << file.string();
      EXPECT_TRUE(sameFile(shortcut->target, launcher)) << fs::path(shortcut->target).string();
      EXPECT_EQ(shortcut->arguments, L"");
      EXPECT_TRUE(sameFolder(shortcut->workingFolder, simulator))
          << fs::path(shortcut->workingFolder).string();
      EXPECT_TRUE(sameFile(shortcut->iconFile, launcher));
    }
    if (!desktop) {
      EXPECT_FALSE(fs::exists(desktopShortcut()));
    }

    const auto reset = readShortcut(resetShortcut());
    ASSERT_TRUE(reset);
    EXPECT_TRUE(sameFile(reset->target, launcher));
    EXPECT_EQ(reset->arguments, L"-ResetConfig");
    EXPECT_TRUE(sameFolder(reset->workingFolder, simulator));

    const auto guide = readShortcut(guideShortcut());
    ASSERT_TRUE(guide);
    EXPECT_TRUE(sameFile(guide->target, installFolder / L"user-guide.txt"));
    EXPECT_TRUE(sameFile(guide->iconFile, launcher));
  }

  SettingsFilesGuard settingsGuard;
  TempFolder work;
  fs::path reportFile;
  SavedRegistryValue setupPath{HKEY_LOCAL_MACHINE, simulatorMachineKey, L"SetupPath",
                               KEY_WOW64_64KEY};
  SavedRegistryValue appPath{HKEY_CURRENT_USER, simulatorUserKey, L"AppPath", 0};
  ComSession com;
};

// The folder given on the command line wins over the simulator's registry value.
TEST_F(Installer, SilentInstallThroughTheSwitchStartsTheSimulatorAndUninstallKeepsTheSettings) {
  const fs::path simulator = simulatorFolder(L"Prepar3D v4 Academic");
  setupPath.set(simulatorFolder(L"Another Simulator").wstring());
  appPath.remove();
  writeOldSettingsFiles();

  ASSERT_EQ(runSetup(L"/S /P3D=" + simulator.wstring()), std::optional<DWORD>(0));

  const fs::path installFolder = defaultInstallFolder();
  EXPECT_TRUE(fs::exists(installFolder / L"AerolumenP3D4.exe"));
  EXPECT_TRUE(fs::exists(installFolder / L"uninstall.exe"));
  const auto guide = readFile(installFolder / L"user-guide.txt");
  ASSERT_TRUE(guide);
  EXPECT_THAT(*guide, ::testing::HasSubstr("Aerolumen"));
  EXPECT_EQ(std::count(guide->begin(), guide->end(), '\n'),
            std::count(guide->begin(), guide->end(), '\r'))
      << "the user guide has line endings other than CRLF";
  expectShortcuts(installFolder, simulator, true);

  // Apps & features.
  const auto value = [](const wchar_t* name) {
    return readRegistryString(HKEY_CURRENT_USER, uninstallKey, name).value_or(L"<absent>");
  };
  EXPECT_THAT(value(L"DisplayName"), ::testing::HasSubstr(L"Aerolumen"));
  EXPECT_EQ(value(L"DisplayVersion"), WB_VERSION_TEXT_W);
  EXPECT_FALSE(value(L"Publisher").empty());
  EXPECT_NE(value(L"Publisher"), L"<absent>");
  EXPECT_EQ(value(L"DisplayIcon"), (installFolder / L"AerolumenP3D4.exe").wstring() + L",0");
  EXPECT_TRUE(sameFolder(value(L"InstallLocation"), installFolder));
  const std::wstring uninstaller = L"\"" + (installFolder / L"uninstall.exe").wstring() + L"\"";
  EXPECT_EQ(value(L"UninstallString"), uninstaller);
  EXPECT_EQ(value(L"QuietUninstallString"), uninstaller + L" /S");
  // In kilobytes, of the files in the install folder.
  const auto size = readRegistryDword(HKEY_CURRENT_USER, uninstallKey, L"EstimatedSize");
  ASSERT_TRUE(size);
  const auto kilobytes = (fs::file_size(installFolder / L"AerolumenP3D4.exe") +
                          fs::file_size(installFolder / L"user-guide.txt") +
                          fs::file_size(installFolder / L"uninstall.exe")) /
                         1024;
  EXPECT_GE(*size + 1, kilobytes);
  EXPECT_LE(*size, kilobytes + 1);
  EXPECT_EQ(readRegistryDword(HKEY_CURRENT_USER, uninstallKey, L"NoModify"),
            std::optional<DWORD>(1));
  EXPECT_EQ(readRegistryDword(HKEY_CURRENT_USER, uninstallKey, L"NoRepair"),
            std::optional<DWORD>(1));
  EXPECT_EQ(uninstallEntriesNamed(L"Aerolumen"), 1);

  // Started as the shell starts a shortcut: the launcher runs in the simulator's folder and the
  // simulator finds the VR entry on disk when it begins to run.
  SHELLEXECUTEINFOW start = {};
  start.cbSize = sizeof start;
  start.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  start.lpFile = launchShortcut().c_str();
  start.nShow = SW_SHOWNORMAL;
  ASSERT_TRUE(ShellExecuteExW(&start)) << "error " << GetLastError();
  if (start.hProcess != nullptr) {
    // The launcher ends by itself once the simulator runs; one that shows a box is ended here,
    // so that its file can be removed.
    const bool ended = WaitForSingleObject(start.hProcess, patience) == WAIT_OBJECT_0;
    EXPECT_TRUE(ended) << "the launcher is still running";
    if (!ended) TerminateProcess(start.hProcess, 1);
    CloseHandle(start.hProcess);
  }
  const auto seen = waitForReport(reportFile, patience);
  ASSERT_TRUE(seen) << "prepar3d.exe did not run";
  EXPECT_EQ(seen->field("forceVrModeFound"), "yes");
  EXPECT_EQ(seen->field("forceVrModeValue"), "1");
  EXPECT_TRUE(fs::equivalent(fs::u8path(seen->field("modulePath")), simulator / L"prepar3d.exe"));
  EXPECT_TRUE(fs::equivalent(fs::u8path(seen->field("currentDirectory")), simulator));

  const auto settingsBefore = settingsContent();
  uninstall(L"", [&] { return nothingInstalled(installFolder); });
  EXPECT_EQ(settingsContent(), settingsBefore) << "the uninstaller changed the settings";
  std::vector<fs::path> simulatorFiles;
  for (const auto& entry : fs::directory_iterator(simulator))
    simulatorFiles.push_back(entry.path().filename());
  EXPECT_EQ(simulatorFiles, std::vector<fs::path>{L"prepar3d.exe"});
}

// The simulator's installer's value (with its trailing backslash), then an upgrade that finds the
// simulator through the value the simulator writes, and an uninstall that removes the settings.
TEST_F(Installer, SilentInstallThroughTheRegistryThenUpgradeThenUninstallRemovingTheSettings) {
  const fs::path simulator = simulatorFolder(L"Lockheed Martin\\Prepar3D v4");
  setupPath.set(simulator.wstring() + L"\\");
  appPath.remove();
  const fs::path installFolder = customInstallFolder();

  ASSERT_EQ(runSetup(L"/S /D=" + installFolder.wstring()), std::optional<DWORD>(0));
  expectShortcuts(installFolder, simulator, true);
  EXPECT_TRUE(sameFolder(
      readRegistryString(HKEY_CURRENT_USER, uninstallKey, L"InstallLocation").value_or(L""),
      installFolder));

  writeOldSettingsFiles();
  const auto settingsBefore = settingsContent();
  const fs::path otherSimulator = simulatorFolder(L"Prepar3D v4 Professional");
  setupPath.remove();
  appPath.set(otherSimulator.wstring());

  ASSERT_EQ(runSetup(L"/S /NODESKTOP"), std::optional<DWORD>(0));
  EXPECT_EQ(uninstallEntriesNamed(L"Aerolumen"), 1);
  EXPECT_TRUE(sameFolder(
      readRegistryString(HKEY_CURRENT_USER, uninstallKey, L"InstallLocation").value_or(L""),
      installFolder));
  EXPECT_FALSE(fs::exists(defaultInstallFolder()));
  expectShortcuts(installFolder, otherSimulator, false);
  EXPECT_EQ(settingsContent(), settingsBefore) << "the upgrade changed the settings";

  uninstall(L" /REMOVESETTINGS", [&] {
    const auto files = settingsFiles();
    return nothingInstalled(installFolder) &&
           std::none_of(files.begin(), files.end(),
                        [](const fs::path& f) { return fs::exists(f); });
  });
  EXPECT_TRUE(fs::exists(simulator / L"prepar3d.exe"));
  EXPECT_TRUE(fs::exists(otherSimulator / L"prepar3d.exe"));
}

// Folders without prepar3d.exe do not count, whichever way they come; silently, nothing is
// installed and the exit code is 2. An install that fails on the way ends with 3, not with the 2
// that says "no simulator", and names the reason in its log.
TEST_F(Installer, SilentInstallThatCannotGoAheadEndsWithItsOwnCode) {
  const fs::path empty = work.path() / L"Prepar3D v4 removed";
  fs::create_directories(empty);
  const fs::path folderNamedLikeTheSimulator = work.path() / L"Odd Sim";
  fs::create_directories(folderNamedLikeTheSimulator / L"prepar3d.exe");
  setupPath.set(empty.wstring() + L"\\");
  appPath.set(folderNamedLikeTheSimulator.wstring());

  EXPECT_EQ(runSetup(L"/S"), std::optional<DWORD>(2));
  EXPECT_TRUE(nothingInstalled(defaultInstallFolder()));

  // A folder given on the command line is the only candidate, even with a valid registry value.
  setupPath.set(simulatorFolder(L"Prepar3D v4").wstring());
  EXPECT_EQ(runSetup(L"/S \"/P3D=" + empty.wstring() + L"\""), std::optional<DWORD>(2));
  EXPECT_TRUE(nothingInstalled(defaultInstallFolder()));

  // A folder in the launcher's place: the launcher cannot be written.
  const fs::path blocked = work.path() / L"Blocked install";
  fs::create_directories(blocked / L"AerolumenP3D4.exe");
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const fs::path failureLog = fs::path(temp) / L"Aerolumen-P3D4-setup.log";
  const auto logBefore = readFile(failureLog);
  std::error_code ignored;
  fs::remove(failureLog, ignored);
  EXPECT_EQ(runSetup(L"/S /D=" + blocked.wstring()), std::optional<DWORD>(3));
  EXPECT_THAT(readFile(failureLog).value_or("<no log>"),
              ::testing::HasSubstr("could not be written"));
  fs::remove(failureLog, ignored);
  if (logBefore) writeFile(failureLog, *logBefore);
}

} // namespace

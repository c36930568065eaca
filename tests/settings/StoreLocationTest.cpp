// Where a store keeps its files, and how it loads them.
#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "StoreTestSupport.h"
#include "settings/SettingsStore.h"

namespace {

using StoreLocation = StoreFolderTest;

TEST_F(StoreLocation, ConstructionCreatesTheFolderWithMissingParentsButNoFile) {
  const fs::path base = this->base() / L"missing" / L"parents";
  SettingsStore store("settings", base);
  EXPECT_TRUE(fs::is_directory(base / L"Aerolumen"));
  EXPECT_TRUE(folderEntries(base / L"Aerolumen").empty());
  EXPECT_TRUE(store.sections().empty());

  // An existing folder is no error.
  SettingsStore again("settings", base);
  EXPECT_TRUE(again.sections().empty());
}

TEST_F(StoreLocation, FolderThatCannotBeCreatedThrows) {
  writeBytes(settingsFolder(), "a file where the folder belongs");
  EXPECT_THROW(SettingsStore("settings", base()), fs::filesystem_error);
}

TEST_F(StoreLocation, FileNamesCarryTheStoreNameUnchanged) {
  SettingsStore settings("settings", base());
  SettingsStore positions("window_positions", base());
  SettingsStore spaced("my store, v2.0", base());
  EXPECT_EQ(settings.filePath(), settingsFile(L"settings"));
  EXPECT_EQ(settings.backupPath(),
            settingsFolder() / L"settings_pro_Aerolumen P3Dv4_settings.ini.bak");
  EXPECT_EQ(positions.filePath(), settingsFile(L"window_positions"));

  settings.setValue("Loading", "ForceVRMode", "1");
  positions.setValue("Window", "x", "10");
  spaced.setValue("ab", "k", "v");
  EXPECT_EQ(folderEntries(settingsFolder()),
            (std::vector<std::wstring>{L"settings_pro_Aerolumen P3Dv4_my store, v2.0.ini",
                                       L"settings_pro_Aerolumen P3Dv4_settings.ini",
                                       L"settings_pro_Aerolumen P3Dv4_window_positions.ini"}));
}

TEST_F(StoreLocation, FolderOutsideTheAnsiCodePageWorks) {
  const fs::path base = this->base() / L"Pilot \u00c5sa \u65e5\u672c \u0416";
  {
    SettingsStore store("settings", base);
    store.setValue("Loading", "ForceVRMode", "1");
  }
  const fs::path file = base / L"Aerolumen" / L"settings_pro_Aerolumen P3Dv4_settings.ini";
  EXPECT_EQ(readBytes(file), "[Loading]\r\nForceVRMode = 1\r\n\r\n");
  SettingsStore reloaded("settings", base);
  EXPECT_EQ(reloaded.sections(), (IniSections{{"Loading", {{"ForceVRMode", "1"}}}}));
}

TEST_F(StoreLocation, DefaultFolderIsAerolumenInRoamingAppData) {
  wchar_t appData[MAX_PATH] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"APPDATA", appData, MAX_PATH), 0u);
  const fs::path folder = fs::path(appData) / L"Aerolumen";
  const std::string storeName = "location test " + std::to_string(GetCurrentProcessId());

  SettingsStore store(storeName);
  EXPECT_TRUE(fs::is_directory(folder));
  ASSERT_TRUE(fs::equivalent(store.filePath().parent_path(), folder));
  EXPECT_EQ(store.filePath().filename().wstring(), L"settings_pro_Aerolumen P3Dv4_location test " +
                                                       std::to_wstring(GetCurrentProcessId()) +
                                                       L".ini");

  store.setValue("Loading", "ForceVRMode", "1");
  store.setValue("Loading", "ForceVRMode", "1");
  EXPECT_TRUE(fs::exists(store.filePath()));
  EXPECT_TRUE(fs::exists(store.backupPath()));
  store.deleteFiles();
  EXPECT_FALSE(fs::exists(store.filePath()));
  EXPECT_FALSE(fs::exists(store.backupPath()));
}

TEST_F(StoreLocation, LoadsAnExistingFileOfAnyLineEnding) {
  fs::create_directories(settingsFolder());
  writeBytes(settingsFile(L"settings"), "# written by hand\n"
                                        "[Loading]\r\n"
                                        "ForceVRMode = 0\r\n"
                                        "\n"
                                        "[View]\n"
                                        "zoom=2\r\n"
                                        "[Empty]\n"
                                        "[View]\r\n"
                                        "last   =  yes");
  SettingsStore store("settings", base());
  EXPECT_EQ(store.sections(), (IniSections{{"Loading", {{"ForceVRMode", "0"}}},
                                           {"View", {{"zoom", "2"}, {"last", "yes"}}},
                                           {"Empty", {}}}));
  // Loading never writes.
  EXPECT_EQ(folderEntries(settingsFolder()),
            (std::vector<std::wstring>{L"settings_pro_Aerolumen P3Dv4_settings.ini"}));
}

} // namespace

// deleteFiles: the reset of a store.
#include <gtest/gtest.h>

#include <string>

#include "StoreTestSupport.h"
#include "settings/SettingsStore.h"

namespace {

class StoreDelete : public StoreFolderTest {
protected:
  void SetUp() override {
    StoreFolderTest::SetUp();
    fs::create_directories(settingsFolder());
  }
  fs::path file() const { return settingsFile(L"window_positions"); }
  fs::path backup() const {
    return settingsFolder() / L"settings_pro_Aerolumen P3Dv4_window_positions.ini.bak";
  }
};

TEST_F(StoreDelete, NeitherFileExists) {
  SettingsStore store("window_positions", base());
  EXPECT_NO_THROW(store.deleteFiles());
  EXPECT_TRUE(folderEntries(settingsFolder()).empty());
}

TEST_F(StoreDelete, OnlyOneOfTheFilesExists) {
  writeBytes(backup(), "[ab]\r\nk = v\r\n\r\n");
  SettingsStore("window_positions", base()).deleteFiles();
  EXPECT_TRUE(folderEntries(settingsFolder()).empty());

  writeBytes(file(), "[ab]\r\nk = v\r\n\r\n");
  SettingsStore("window_positions", base()).deleteFiles();
  EXPECT_TRUE(folderEntries(settingsFolder()).empty());
}

TEST_F(StoreDelete, BothFilesAreDeletedAndNothingIsWrittenAfterwards) {
  {
    SettingsStore store("window_positions", base());
    store.setValue("Window", "x", "1");
    store.setValue("Window", "y", "2");
    ASSERT_EQ(folderEntries(settingsFolder()).size(), 2u);
    store.deleteFiles();
  }
  EXPECT_TRUE(fs::is_directory(settingsFolder()));
  EXPECT_TRUE(folderEntries(settingsFolder()).empty());
}

TEST_F(StoreDelete, FileThatCannotBeDeletedStopsAndKeepsTheBackup) {
  writeBytes(file(), "[ab]\r\nk = v\r\n\r\n");
  writeBytes(backup(), "[ab]\r\nk = old\r\n\r\n");
  SettingsStore store("window_positions", base());
  {
    FileHandle holder = openFile(file(), 0);
    ASSERT_TRUE(holder.valid());
    EXPECT_THROW(store.deleteFiles(), fs::filesystem_error);
  }
  EXPECT_TRUE(fs::exists(file()));
  EXPECT_TRUE(fs::exists(backup()));
}

} // namespace

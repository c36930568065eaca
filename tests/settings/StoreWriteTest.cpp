// setValue: the backup, the rewrite from memory, and what happens when the file is busy.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <windows.h>

#include "StoreTestSupport.h"
#include "settings/SettingsFileError.h"
#include "settings/SettingsStore.h"

namespace {

using FileIdentity = std::pair<DWORD, unsigned long long>; // volume, file index

FileIdentity fileIdentity(const fs::path& path) {
  FileHandle file = openFile(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  BY_HANDLE_FILE_INFORMATION info{};
  EXPECT_TRUE(GetFileInformationByHandle(file.get(), &info)) << GetLastError();
  return {info.dwVolumeSerialNumber,
          (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// What a failed setValue threw: every field is checked by the test, so that a failure of the
// wrong kind shows all its differences.
struct WriteFailure {
  int code = 0;
  fs::path file, backup;
  std::optional<FileLeft> left; // only the store's own failures say what they left
};

std::optional<WriteFailure> setValueFailure(SettingsStore& store, const std::string& value) {
  try {
    store.setValue("Loading", "ForceVRMode", value);
    return std::nullopt;
  } catch (const fs::filesystem_error& failure) {
    WriteFailure seen{failure.code().value(), failure.path1(), failure.path2(), std::nullopt};
    if (const auto* own = dynamic_cast<const SettingsFileError*>(&failure))
      seen.left = own->fileLeft();
    return seen;
  }
}

class StoreWrite : public StoreFolderTest {
protected:
  fs::path file() const { return settingsFile(L"settings"); }
  fs::path backup() const {
    return settingsFolder() / L"settings_pro_Aerolumen P3Dv4_settings.ini.bak";
  }
  std::vector<std::wstring> fileOnly() const {
    return {L"settings_pro_Aerolumen P3Dv4_settings.ini"};
  }
  std::vector<std::wstring> fileAndBackup() const {
    return {L"settings_pro_Aerolumen P3Dv4_settings.ini",
            L"settings_pro_Aerolumen P3Dv4_settings.ini.bak"};
  }
  // A settings file with two sections, VR mode off; gives its content.
  std::string writeTwoSections() const {
    fs::create_directories(settingsFolder());
    const std::string content = "[Loading]\r\nForceVRMode = 0\r\n\r\n[Audio]\r\nvolume = 7\r\n\r\n";
    writeBytes(file(), content);
    return content;
  }
  // What that file holds once VR mode is set (sections in byte order of their names).
  static constexpr char kTwoSectionsWithVrMode[] =
      "[Audio]\r\nvolume = 7\r\n\r\n[Loading]\r\nForceVRMode = 1\r\n\r\n";
  // The write must be refused with a sharing violation that names the file.
  void expectWriteRefused(SettingsStore& store, const std::string& value) const {
    try {
      store.setValue("Loading", "ForceVRMode", value);
      ADD_FAILURE() << "the write was not refused";
    } catch (const fs::filesystem_error& failure) {
      EXPECT_EQ(failure.code().value(), ERROR_SHARING_VIOLATION) << failure.what();
      EXPECT_EQ(failure.path1(), file());
    }
  }
};

TEST_F(StoreWrite, FirstWriteCreatesTheFileWithCrLfAndNoBackup) {
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "1");
  EXPECT_EQ(readBytes(file()), "[Loading]\r\nForceVRMode = 1\r\n\r\n");
  EXPECT_EQ(folderEntries(settingsFolder()), fileOnly());
}

TEST_F(StoreWrite, EachWriteBacksUpThePreviousFileByteForByte) {
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "1");
  store.setValue("Loading", "Other", "x");
  EXPECT_EQ(readBytes(backup()), "[Loading]\r\nForceVRMode = 1\r\n\r\n");
  EXPECT_EQ(readBytes(file()), "[Loading]\r\nForceVRMode = 1\r\nOther = x\r\n\r\n");

  store.setValue("Audio", "volume", "7");
  EXPECT_EQ(readBytes(backup()), "[Loading]\r\nForceVRMode = 1\r\nOther = x\r\n\r\n");
  EXPECT_EQ(readBytes(file()), "[Audio]\r\nvolume = 7\r\n\r\n"
                               "[Loading]\r\nForceVRMode = 1\r\nOther = x\r\n\r\n");
  // The move into place leaves no temporary files behind.
  EXPECT_EQ(folderEntries(settingsFolder()), fileAndBackup());
}

TEST_F(StoreWrite, LoadedSectionsAndKeysSurviveAndSkippedLinesDisappear) {
  fs::create_directories(settingsFolder());
  const std::string original = "# comment\n"
                               "orphan = 1\n"
                               "[Window]\n"
                               "x=10\n"
                               "y = 20   \n"
                               "[Empty]\n"
                               "[Loading]\n"
                               "ForceVRMode = 0\n"
                               "Keep = this one\n";
  writeBytes(file(), original);

  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "1");
  EXPECT_EQ(readBytes(backup()), original);
  EXPECT_EQ(readBytes(file()), "[Empty]\r\n\r\n"
                               "[Loading]\r\nForceVRMode = 1\r\nKeep = this one\r\n\r\n"
                               "[Window]\r\nx = 10\r\ny = 20\r\n\r\n");
}

TEST_F(StoreWrite, SettingTheSameValueStillBacksUpAndRewrites) {
  fs::create_directories(settingsFolder());
  writeBytes(file(), "[Loading]\nForceVRMode=1\n");
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "1");
  EXPECT_EQ(readBytes(backup()), "[Loading]\nForceVRMode=1\n");
  EXPECT_EQ(readBytes(file()), "[Loading]\r\nForceVRMode = 1\r\n\r\n");
}

TEST_F(StoreWrite, EverythingSetReadsBackInANewStore) {
  const IniSections expected{
      {" spaced section ", {{"inner  key", "v = w # x"}, {"ab", ""}}},
      {"[]", {{"k", "\xC3\xA9\xFF"}}},
  };
  {
    SettingsStore store("settings", base());
    for (const auto& [section, entries] : expected)
      for (const auto& [key, value] : entries)
        store.setValue(section, key, value);
    EXPECT_EQ(store.sections(), expected);
  }
  SettingsStore reloaded("settings", base());
  EXPECT_EQ(reloaded.sections(), expected);
}

TEST_F(StoreWrite, RefusedInputChangesNothing) {
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "1");
  const std::string before = readBytes(file());

  EXPECT_THROW(store.setValue("L", "ForceVRMode", "2"), std::invalid_argument);
  EXPECT_THROW(store.setValue("Loading", "ForceVRMode ", "2"), std::invalid_argument);
  EXPECT_THROW(store.setValue("Loading", "Other", "2\r\n[Injected]"), std::invalid_argument);
  EXPECT_THROW(store.setValue("Loading", "", "2"), std::invalid_argument);

  EXPECT_EQ(store.sections(), (IniSections{{"Loading", {{"ForceVRMode", "1"}}}}));
  EXPECT_EQ(readBytes(file()), before);
  EXPECT_EQ(folderEntries(settingsFolder()), fileOnly()); // not even a backup was taken
}

TEST_F(StoreWrite, FileHeldOpenWithoutSharingKeepsItsContentAndTheFailureIsReported) {
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "1");
  store.setValue("Loading", "Other", "x");
  const std::string previous = readBytes(backup());
  {
    FileHandle holder = openFile(file(), 0);
    ASSERT_TRUE(holder.valid());
    expectWriteRefused(store, "2");
  }
  EXPECT_EQ(readBytes(file()), "[Loading]\r\nForceVRMode = 1\r\nOther = x\r\n\r\n");
  EXPECT_EQ(readBytes(backup()), previous);
  EXPECT_EQ(store.sections(), (IniSections{{"Loading", {{"ForceVRMode", "2"}, {"Other", "x"}}}}));
  // The unused temporary files are gone.
  EXPECT_EQ(folderEntries(settingsFolder()), fileAndBackup());

  // Once the file is free again, the next write carries the value kept in memory.
  store.setValue("Loading", "Third", "y");
  EXPECT_EQ(readBytes(file()), "[Loading]\r\nForceVRMode = 2\r\nOther = x\r\nThird = y\r\n\r\n");
}

// Another program has the file open, sharing reading and writing but not deletion: the file
// cannot be replaced, so it is rewritten in place behind a fresh backup and stays the same file.
TEST_F(StoreWrite, FileThatCannotBeReplacedIsRewrittenInPlaceBehindAFreshBackup) {
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "0");
  store.setValue("Loading", "Other", "x");
  const std::string previous = readBytes(file());
  const FileIdentity identity = fileIdentity(file());
  {
    FileHandle holder = openFile(file(), FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(holder.valid());
    EXPECT_NO_THROW(store.setValue("Loading", "ForceVRMode", "1"));
  }
  EXPECT_EQ(readBytes(file()), "[Loading]\r\nForceVRMode = 1\r\nOther = x\r\n\r\n");
  EXPECT_EQ(fileIdentity(file()), identity);
  EXPECT_EQ(readBytes(backup()), previous);
  EXPECT_EQ(folderEntries(settingsFolder()), fileAndBackup());
}

// Held without read sharing, the file can neither be replaced nor backed up; rewriting it in
// place without a backup would risk the only copy, so it is left as it is and the older backup
// stays.
TEST_F(StoreWrite, FileThatCanNeitherBeReplacedNorBackedUpIsLeftUnchanged) {
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "0");
  store.setValue("Loading", "Other", "x");
  const std::string olderBackup = readBytes(backup());
  const std::string previous = readBytes(file());
  {
    FileHandle holder = openFile(file(), FILE_SHARE_WRITE);
    ASSERT_TRUE(holder.valid());
    const auto failure = setValueFailure(store, "1");
    ASSERT_TRUE(failure) << "the write was not refused";
    EXPECT_EQ(failure->left, FileLeft::unchanged);
    EXPECT_EQ(failure->code, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(failure->file, file());
  }
  EXPECT_EQ(readBytes(file()), previous);
  EXPECT_EQ(readBytes(backup()), olderBackup);
  EXPECT_EQ(folderEntries(settingsFolder()), fileAndBackup());
}

// A folder that takes no new file (permissions that allow changing files but not creating them)
// rules out the replacement in one step, so the file can only be rewritten in place. That happens
// only once the backup holds the current content: the backup is brought up to date in place
// when it exists, and without it the file is left alone.
TEST_F(StoreWrite, FolderThatTakesNoNewFileIsRewrittenInPlaceOnlyBehindAFreshBackup) {
  const std::string original = writeTwoSections();
  SettingsStore store("settings", base());
  {
    FileFaults faults;
    faults.refuseNewFiles = true;
    const auto failure = setValueFailure(store, "1");
    ASSERT_TRUE(failure) << "rewritten without a backup";
    EXPECT_EQ(failure->left, FileLeft::unchanged);
    EXPECT_EQ(failure->code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(failure->file, file());
    EXPECT_EQ(failure->backup, backup());
  }
  EXPECT_EQ(readBytes(file()), original);
  EXPECT_EQ(folderEntries(settingsFolder()), fileOnly());

  writeBytes(backup(), "[Audio]\r\nvolume = 5\r\n\r\n");
  {
    FileFaults faults;
    faults.refuseNewFiles = true;
    EXPECT_FALSE(setValueFailure(store, "1").has_value()) << "not rewritten in place";
  }
  EXPECT_EQ(readBytes(backup()), original);
  EXPECT_EQ(readBytes(file()), kTwoSectionsWithVrMode);
  EXPECT_EQ(folderEntries(settingsFolder()), fileAndBackup());
}

// A rewrite in place that fails part-way (a full disk) puts the previous content back, so the
// file is as it was and the value waits in memory for the next write.
TEST_F(StoreWrite, InPlaceWriteThatFailsPartWayPutsThePreviousContentBack) {
  const std::string original = writeTwoSections();
  SettingsStore store("settings", base());
  {
    FileHandle holder = openFile(file(), FILE_SHARE_READ | FILE_SHARE_WRITE);
    FileFaults faults;
    faults.faultyFile = file();
    faults.bytesBeforeFailure = 12;
    faults.failingWrites = 1;
    const auto failure = setValueFailure(store, "1");
    ASSERT_TRUE(failure) << "the failed write was not reported";
    EXPECT_EQ(failure->left, FileLeft::unchanged);
    EXPECT_EQ(failure->code, ERROR_DISK_FULL);
    EXPECT_EQ(failure->file, file());
    EXPECT_EQ(faults.failedWrites, 1);
  }
  EXPECT_EQ(readBytes(file()), original);
  EXPECT_EQ(readBytes(backup()), original);

  store.setValue("Loading", "Other", "x");
  EXPECT_EQ(readBytes(file()), "[Audio]\r\nvolume = 7\r\n\r\n"
                               "[Loading]\r\nForceVRMode = 1\r\nOther = x\r\n\r\n");
}

// When the previous content cannot be put back either, the failure names the backup that holds
// it. The damaged file is never loaded, backed up over that backup or written over at the next
// start; once the backup is put back in its place, writing works again.
TEST_F(StoreWrite, FileLeftDamagedIsNamedWithItsBackupAndNeverBackedUpOverIt) {
  const std::string original = writeTwoSections();
  {
    SettingsStore store("settings", base());
    FileHandle holder = openFile(file(), FILE_SHARE_READ | FILE_SHARE_WRITE);
    FileFaults faults;
    faults.faultyFile = file();
    faults.bytesBeforeFailure = 12;
    const auto failure = setValueFailure(store, "1");
    ASSERT_TRUE(failure) << "the failed write was not reported";
    EXPECT_EQ(failure->left, FileLeft::damaged);
    EXPECT_EQ(failure->code, ERROR_DISK_FULL);
    EXPECT_EQ(failure->file, file());
    EXPECT_EQ(failure->backup, backup());
  }
  EXPECT_EQ(readBytes(backup()), original);
  const std::string damaged = readBytes(file());
  EXPECT_NE(damaged, original);

  SettingsStore next("settings", base());
  EXPECT_TRUE(next.sections().empty());
  const auto failure = setValueFailure(next, "1");
  ASSERT_TRUE(failure) << "the damaged file was written over";
  EXPECT_EQ(failure->left, FileLeft::damaged);
  EXPECT_EQ(failure->code, ERROR_FILE_CORRUPT);
  EXPECT_EQ(failure->backup, backup());
  EXPECT_EQ(readBytes(backup()), original);
  EXPECT_EQ(readBytes(file()), damaged);

  writeBytes(file(), readBytes(backup())); // the backup put back by hand
  SettingsStore restored("settings", base());
  restored.setValue("Loading", "ForceVRMode", "1");
  EXPECT_EQ(readBytes(file()), kTwoSectionsWithVrMode);
}

// Every byte written in place, only the flush to the disk failing: the file holds the new
// content, and the failure says so rather than that nothing was written.
TEST_F(StoreWrite, FlushFailureAfterACompleteInPlaceWriteSaysTheFileIsWritten) {
  fs::create_directories(settingsFolder());
  writeBytes(file(), "[Audio]\r\nvolume = 7\r\n\r\n");
  SettingsStore store("settings", base());
  {
    FileHandle holder = openFile(file(), FILE_SHARE_READ | FILE_SHARE_WRITE);
    FileFaults faults;
    faults.faultyFile = file();
    faults.failFlush = true;
    const auto failure = setValueFailure(store, "1");
    ASSERT_TRUE(failure) << "the failed flush was not reported";
    EXPECT_EQ(failure->left, FileLeft::written);
    EXPECT_EQ(failure->code, ERROR_IO_DEVICE);
    EXPECT_EQ(failure->file, file());
  }
  EXPECT_EQ(readBytes(file()), kTwoSectionsWithVrMode);
}

// A file that exists but could not be read is never overwritten: writing what little was loaded
// would lose every other setting in it, and its backup is not touched either.
TEST_F(StoreWrite, FileThatCouldNotBeReadIsNeitherOverwrittenNorBackedUpOver) {
  const std::string original = writeTwoSections();
  const std::string olderBackup = "[Audio]\r\nvolume = 5\r\n\r\n";
  writeBytes(backup(), olderBackup);
  {
    // Shares writing but neither reading nor deletion, as some editors and sync tools do.
    FileHandle holder = openFile(file(), FILE_SHARE_WRITE);
    ASSERT_TRUE(holder.valid());
    SettingsStore store("settings", base());
    EXPECT_TRUE(store.sections().empty());
    expectWriteRefused(store, "1");
  }
  EXPECT_EQ(readBytes(file()), original);
  EXPECT_EQ(readBytes(backup()), olderBackup);
  EXPECT_EQ(folderEntries(settingsFolder()), fileAndBackup());

  // Read completely, the same file takes the value and keeps everything else.
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "1");
  EXPECT_EQ(readBytes(file()), kTwoSectionsWithVrMode);
  EXPECT_EQ(readBytes(backup()), original);
}

TEST_F(StoreWrite, ReplacesTheFileInsteadOfRewritingItInPlace) {
  SettingsStore store("settings", base());
  store.setValue("Loading", "ForceVRMode", "1");
  const FileIdentity before = fileIdentity(file());

  // The new content arrives as a new file moved over the old one, never by truncating and
  // refilling the old file, so a write that stops part-way cannot leave half a file.
  store.setValue("Loading", "Other", "x");
  EXPECT_NE(fileIdentity(file()), before);
  EXPECT_EQ(readBytes(file()), "[Loading]\r\nForceVRMode = 1\r\nOther = x\r\n\r\n");
  EXPECT_EQ(folderEntries(settingsFolder()), fileAndBackup());
}

TEST_F(StoreWrite, ConcurrentWritesToOneStoreDoNotInterleave) {
  SettingsStore store("settings", base());
  constexpr int perThread = 15;
  const auto writer = [&store](const std::string& key) {
    for (int i = 0; i < perThread; ++i)
      store.setValue("Threads", key + std::to_string(i), std::to_string(i));
  };
  std::thread first(writer, "a");
  std::thread second(writer, "b");
  first.join();
  second.join();

  SettingsStore reloaded("settings", base());
  ASSERT_EQ(reloaded.sections().count("Threads"), 1u);
  const IniEntries& entries = reloaded.sections().at("Threads");
  EXPECT_EQ(entries.size(), 2u * perThread);
  EXPECT_EQ(entries.at("a14"), "14");
  EXPECT_EQ(entries.at("b0"), "0");
  EXPECT_EQ(folderEntries(settingsFolder()), fileAndBackup());
}

} // namespace

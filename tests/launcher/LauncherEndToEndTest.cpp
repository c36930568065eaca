// The real AerolumenP3D4.exe under Wine, with the stand-in prepar3d.exe in its working folder:
// what ends up in the settings files, what the simulator finds when it begins to run, and the
// message boxes, answered through the dialog's buttons.
#include "tests/launcher/EndToEndSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

constexpr DWORD patience = 30000;  // for anything that should happen
constexpr DWORD quietSpell = 1500; // for making sure something does not happen

const char* const resetQuestion = "Are you sure that you want to clear all Aerolumen settings?";
const char* const resetDone = "Aerolumen's settings have been cleared.  Aerolumen will now launch.";
const char* const launchError = "Aerolumen was unable to launch Prepar3D v4.\n"
                                "Please ensure that prepar3d.exe is located in your flight "
                                "simulator directory.";
const char* const vrModeFailure = "Aerolumen could not write its VR setting to the settings "
                                  "file, so Prepar3D v4 may start without VR mode.\nReason: ";
const char* const resetFailure =
    "Aerolumen could not clear its settings, so it has not started Prepar3D v4.\nReason: ";
const char* const vrModeOnly = "[Loading]\r\nForceVRMode = 1\r\n\r\n";

const char* const oldSettings = "[Loading]\r\nForceVRMode = 0\r\nSkipIntro = yes\r\n\r\n"
                                "[Display]\r\nWidth = 2160\r\nHeight = 1200\r\n\r\n";
const char* const oldSettingsBackup = "[Loading]\r\nForceVRMode = 0\r\n\r\n";
const char* const oldWindowPositions = "[Main]\r\nX = 10\r\nY = 20\r\n\r\n";
const char* const oldWindowPositionsBackup = "[Main]\r\nX = 0\r\n\r\n";

// `oldSettings` once the launcher has set the VR-mode entry.
IniSections oldSettingsWithVrMode() {
  return {{"Loading", {{"ForceVRMode", "1"}, {"SkipIntro", "yes"}}},
          {"Display", {{"Width", "2160"}, {"Height", "1200"}}}};
}

class LauncherEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    reportFile = work.path() / L"standin-report.txt";
    SetEnvironmentVariableW(L"AEROLUMEN_STANDIN_REPORT", reportFile.c_str());
  }
  void TearDown() override { SetEnvironmentVariableW(L"AEROLUMEN_STANDIN_REPORT", nullptr); }

  void placeSimulator() {
    std::filesystem::copy_file(hostPath(STANDIN_EXE), work.path() / L"prepar3d.exe");
  }

  void writeOldSettingsFiles() {
    writeFile(storeFile("settings"), oldSettings);
    writeFile(backupOf(storeFile("settings")), oldSettingsBackup);
    writeFile(storeFile("window_positions"), oldWindowPositions);
    writeFile(backupOf(storeFile("window_positions")), oldWindowPositionsBackup);
  }

  std::optional<StandinReport> report() { return waitForReport(reportFile, patience); }

  bool simulatorStartedWithin(DWORD milliseconds) {
    return waitForReport(reportFile, milliseconds).has_value();
  }

  // The launcher's exit code; a box left open is named in the failure.
  static std::optional<DWORD> exitCodeOf(LaunchedProgram& launcher) {
    const auto code = launcher.waitForExit(patience);
    if (!code) {
      const auto box = waitForMessageBox(launcher.processId(), 0);
      ADD_FAILURE() << "launcher still running"
                    << (box ? ", showing the box: " + box->text : std::string());
    }
    return code;
  }

  // Runs the launcher without arguments in `folder`, expects it to end with 0 and no box, and
  // gives what the simulator found when it began to run.
  std::optional<StandinReport> launchToTheEnd(const std::filesystem::path& launcherFile,
                                              const std::filesystem::path& folder) {
    LaunchedProgram launcher(launcherFile, L"", folder);
    EXPECT_TRUE(launcher.started()) << launcher.startError();
    EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));
    return report();
  }

  // The box about a failed VR-mode entry: it gives a reason that contains `reasonPart`, it is up
  // while the simulator already runs without VR mode, and once answered the launcher ends with 0.
  void answerVrModeFailure(LaunchedProgram& launcher, const std::string& reasonPart) {
    const auto box = waitForMessageBox(launcher.processId(), patience);
    ASSERT_TRUE(box) << "no message box";
    EXPECT_THAT(box->text, StartsWith(vrModeFailure));
    const std::string reason =
        box->text.substr(std::min(box->text.size(), std::strlen(vrModeFailure)));
    EXPECT_FALSE(reason.empty()) << "no reason given";
    EXPECT_THAT(reason, HasSubstr(reasonPart));
    EXPECT_TRUE(box->hasOk);
    EXPECT_FALSE(box->hasYes || box->hasNo || box->hasCancel);
    const auto seen = report();
    ASSERT_TRUE(seen) << "prepar3d.exe did not run";
    EXPECT_EQ(seen->field("forceVrModeFound"), "no");
    pressButton(*box, IDOK);
    EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));
  }

  SettingsFilesGuard settingsFiles;
  TempFolder work;
  std::filesystem::path reportFile;
};

std::filesystem::path launcherExe() {
  return hostPath(LAUNCHER_EXE);
}

// Opens `file` for reading the way another program might hold it, with the given sharing.
UniqueHandle holdFile(const std::filesystem::path& file, DWORD shareMode) {
  UniqueHandle holder(CreateFileW(file.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_NE(holder.get(), INVALID_HANDLE_VALUE) << "error " << GetLastError();
  return holder;
}

TEST_F(LauncherEndToEnd, SimulatorFindsVrModeOnDiskWhenItBeginsToRun) {
  placeSimulator();
  LaunchedProgram launcher(launcherExe(), L"", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();
  EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));

  const auto seen = report();
  ASSERT_TRUE(seen) << "prepar3d.exe did not run";
  EXPECT_EQ(seen->field("running"), "yes");
  EXPECT_EQ(seen->field("settingsFile"), "present");
  EXPECT_EQ(seen->field("forceVrModeFound"), "yes");
  EXPECT_EQ(seen->field("forceVrModeValue"), "1");
  EXPECT_EQ(seen->settingsContent, vrModeOnly);
  // Started by its bare name from the launcher's working folder, with no command line of its
  // own, so the system gives it its name as the command line (Wine puts it in quotes).
  EXPECT_THAT(seen->field("commandLine"), AnyOf("prepar3d.exe", "\"prepar3d.exe\""));
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(seen->field("modulePath")),
                                          work.path() / L"prepar3d.exe"));
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(seen->field("currentDirectory")),
                                          work.path()));

  EXPECT_EQ(readFile(storeFile("settings")), std::optional<std::string>(vrModeOnly));
  EXPECT_FALSE(std::filesystem::exists(storeFile("window_positions")));
}

TEST_F(LauncherEndToEnd, OtherSettingsSurviveTheVrModeEntry) {
  writeFile(storeFile("settings"), oldSettings);
  placeSimulator();
  LaunchedProgram launcher(launcherExe(), L"", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();
  EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));

  const IniSections expected = oldSettingsWithVrMode();
  const auto seen = report();
  ASSERT_TRUE(seen) << "prepar3d.exe did not run";
  EXPECT_EQ(seen->field("forceVrModeValue"), "1");
  EXPECT_EQ(parseIni(seen->settingsContent), expected) << seen->settingsContent;

  const auto after = readFile(storeFile("settings"));
  ASSERT_TRUE(after);
  EXPECT_EQ(parseIni(*after), expected) << *after;
}

// A large settings file makes the launcher's load and rewrite take far longer than the
// simulator's start: had the simulator been let run before the write, it would find the old
// value or a half-written file.
TEST_F(LauncherEndToEnd, SimulatorFindsALargeSettingsFileCompletelyRewritten) {
  constexpr int bulkEntries = 60000;
  std::string large = "[Loading]\r\nForceVRMode = 0\r\n\r\n[Bulk]\r\n";
  for (int i = 0; i < bulkEntries; ++i) {
    large += "entry" + std::to_string(i) + " = some value of moderate length " +
             std::to_string(i * 7) + "\r\n";
  }
  large += "\r\n";
  writeFile(storeFile("settings"), large);
  placeSimulator();
  LaunchedProgram launcher(launcherExe(), L"", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();
  EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));

  const auto seen = report();
  ASSERT_TRUE(seen) << "prepar3d.exe did not run";
  EXPECT_EQ(seen->field("forceVrModeValue"), "1");
  const IniSections atStart = parseIni(seen->settingsContent);
  ASSERT_EQ(atStart.count("Bulk"), 1u);
  EXPECT_EQ(atStart.at("Bulk").size(), static_cast<size_t>(bulkEntries));
  EXPECT_EQ(atStart.at("Bulk").at("entry59999"), "some value of moderate length 419993");
}

TEST_F(LauncherEndToEnd, FolderWithoutSimulatorShowsTheLaunchError) {
  LaunchedProgram launcher(launcherExe(), L"", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();

  const auto box = waitForMessageBox(launcher.processId(), patience);
  ASSERT_TRUE(box) << "no message box";
  EXPECT_EQ(box->text, launchError);
  EXPECT_TRUE(box->hasOk);
  EXPECT_FALSE(box->hasYes || box->hasNo || box->hasCancel);
  pressButton(*box, IDOK);

  EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));
  EXPECT_FALSE(std::filesystem::exists(storeFile("settings")));
}

TEST_F(LauncherEndToEnd, ResetAnsweredNoDeletesNothingAndStartsNothing) {
  writeOldSettingsFiles();
  placeSimulator();
  LaunchedProgram launcher(launcherExe(), L"-ResetConfig", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();

  const auto question = waitForMessageBox(launcher.processId(), patience);
  ASSERT_TRUE(question) << "no reset question";
  EXPECT_EQ(question->text, resetQuestion);
  EXPECT_TRUE(question->hasYes && question->hasNo);
  EXPECT_FALSE(question->hasOk || question->hasCancel);
  pressButton(*question, IDNO);

  EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));
  EXPECT_EQ(readFile(storeFile("settings")), std::optional<std::string>(oldSettings));
  EXPECT_EQ(readFile(backupOf(storeFile("settings"))),
            std::optional<std::string>(oldSettingsBackup));
  EXPECT_EQ(readFile(storeFile("window_positions")),
            std::optional<std::string>(oldWindowPositions));
  EXPECT_EQ(readFile(backupOf(storeFile("window_positions"))),
            std::optional<std::string>(oldWindowPositionsBackup));
  EXPECT_FALSE(simulatorStartedWithin(quietSpell));
}

TEST_F(LauncherEndToEnd, ResetAnsweredYesDeletesBothStoresThenLaunches) {
  writeOldSettingsFiles();
  placeSimulator();
  LaunchedProgram launcher(launcherExe(), L"-ResetConfig", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();

  const auto question = waitForMessageBox(launcher.processId(), patience);
  ASSERT_TRUE(question) << "no reset question";
  EXPECT_EQ(question->text, resetQuestion);
  pressButton(*question, IDYES);
  ASSERT_TRUE(waitUntilClosed(*question, patience));

  const auto done = waitForMessageBox(launcher.processId(), patience);
  ASSERT_TRUE(done) << "no reset-done message";
  EXPECT_EQ(done->text, resetDone);
  EXPECT_TRUE(done->hasOk);
  EXPECT_FALSE(done->hasYes || done->hasNo || done->hasCancel);
  // While the message is up: everything is deleted and the simulator has not been started.
  EXPECT_FALSE(std::filesystem::exists(storeFile("settings")));
  EXPECT_FALSE(std::filesystem::exists(backupOf(storeFile("settings"))));
  EXPECT_FALSE(std::filesystem::exists(storeFile("window_positions")));
  EXPECT_FALSE(std::filesystem::exists(backupOf(storeFile("window_positions"))));
  EXPECT_FALSE(simulatorStartedWithin(0));
  pressButton(*done, IDOK);

  EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));
  const auto seen = report();
  ASSERT_TRUE(seen) << "prepar3d.exe did not run";
  EXPECT_EQ(seen->field("forceVrModeValue"), "1");
  EXPECT_EQ(seen->settingsContent, vrModeOnly);
  EXPECT_EQ(readFile(storeFile("settings")), std::optional<std::string>(vrModeOnly));
  EXPECT_FALSE(std::filesystem::exists(storeFile("window_positions")));
  EXPECT_FALSE(std::filesystem::exists(backupOf(storeFile("window_positions"))));
}

TEST_F(LauncherEndToEnd, ResetAnsweredYesWithoutSettingsFilesStillLaunches) {
  placeSimulator();
  LaunchedProgram launcher(launcherExe(), L"-ResetConfig", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();

  const auto question = waitForMessageBox(launcher.processId(), patience);
  ASSERT_TRUE(question) << "no reset question";
  pressButton(*question, IDYES);
  ASSERT_TRUE(waitUntilClosed(*question, patience));

  const auto done = waitForMessageBox(launcher.processId(), patience);
  ASSERT_TRUE(done) << "no reset-done message";
  EXPECT_EQ(done->text, resetDone);
  pressButton(*done, IDOK);

  EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));
  const auto seen = report();
  ASSERT_TRUE(seen) << "prepar3d.exe did not run";
  EXPECT_EQ(seen->field("forceVrModeValue"), "1");
  EXPECT_EQ(readFile(storeFile("settings")), std::optional<std::string>(vrModeOnly));
  EXPECT_FALSE(std::filesystem::exists(storeFile("window_positions")));
}

// A settings store that cannot be opened: the simulator is let run all the same, and only then
// is the user told.
TEST_F(LauncherEndToEnd, FailedVrModeWriteStillLetsTheSimulatorRunThenTellsTheUser) {
  placeSimulator();
  BlockedSettingsFolder blocked;
  LaunchedProgram launcher(launcherExe(), L"", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();

  answerVrModeFailure(launcher, "");
}

// Another program holds the settings file without read or delete sharing: the launcher cannot
// read it, so it must not write over it (every other setting would be lost) nor drop its backup.
// The simulator still runs, and the user learns why it is not in VR mode.
TEST_F(LauncherEndToEnd, SettingsFileThatCannotBeReadIsLeftAloneAndTheUserIsTold) {
  writeOldSettingsFiles();
  placeSimulator();
  {
    UniqueHandle holder = holdFile(storeFile("settings"), FILE_SHARE_WRITE);
    LaunchedProgram launcher(launcherExe(), L"", work.path());
    ASSERT_TRUE(launcher.started()) << launcher.startError();

    answerVrModeFailure(launcher, storeFile("settings").u8string());
  }
  EXPECT_EQ(readFile(storeFile("settings")), std::optional<std::string>(oldSettings));
  EXPECT_EQ(readFile(backupOf(storeFile("settings"))),
            std::optional<std::string>(oldSettingsBackup));
}

// Held with the share mode of the usual runtime libraries (read and write, no delete) the file
// cannot be replaced, but it can be rewritten: the simulator finds VR mode and every other
// setting, and there is nothing to tell.
TEST_F(LauncherEndToEnd, SettingsFileHeldWithoutDeleteSharingIsStillWritten) {
  writeOldSettingsFiles();
  placeSimulator();
  {
    UniqueHandle holder = holdFile(storeFile("settings"), FILE_SHARE_READ | FILE_SHARE_WRITE);
    const auto seen = launchToTheEnd(launcherExe(), work.path());
    ASSERT_TRUE(seen) << "prepar3d.exe did not run";
    EXPECT_EQ(seen->field("forceVrModeValue"), "1");
    EXPECT_EQ(parseIni(seen->settingsContent), oldSettingsWithVrMode()) << seen->settingsContent;
  }
  EXPECT_EQ(readFile(backupOf(storeFile("settings"))), std::optional<std::string>(oldSettings));
}

// A settings folder that takes no new file: the file cannot be replaced in one step, so it can only
// be rewritten in place, and that happens only once its backup holds the current content. Without
// a backup, and none to be made, the file is left alone and the user is told; with an older
// backup, the backup is brought up to date first and the file is then written.
TEST_F(LauncherEndToEnd, FolderThatTakesNoNewFileIsRewrittenOnlyBehindAFreshBackup) {
  const char* const settingsWithoutVrMode = "[Display]\r\nWidth = 2160\r\n\r\n";
  writeFile(storeFile("settings"), settingsWithoutVrMode);
  placeSimulator();
  {
    LaunchedProgram launcher(launcherExe(), L"", work.path(), LaunchedProgram::Start::suspended);
    ASSERT_TRUE(launcher.started()) << launcher.startError();
    NewSettingsFilesRefused refused(launcher.processId());
    launcher.resume();
    answerVrModeFailure(launcher, "no backup of it could be made");
  }
  EXPECT_EQ(readFile(storeFile("settings")), std::optional<std::string>(settingsWithoutVrMode));
  EXPECT_FALSE(std::filesystem::exists(backupOf(storeFile("settings"))));

  std::filesystem::remove(reportFile);
  writeFile(backupOf(storeFile("settings")), oldSettingsBackup);
  {
    LaunchedProgram launcher(launcherExe(), L"", work.path(), LaunchedProgram::Start::suspended);
    ASSERT_TRUE(launcher.started()) << launcher.startError();
    NewSettingsFilesRefused refused(launcher.processId());
    launcher.resume();
    EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));
    const auto seen = report();
    ASSERT_TRUE(seen) << "prepar3d.exe did not run";
    EXPECT_EQ(seen->field("forceVrModeValue"), "1");
  }
  EXPECT_EQ(readFile(backupOf(storeFile("settings"))),
            std::optional<std::string>(settingsWithoutVrMode));
  const auto after = readFile(storeFile("settings"));
  ASSERT_TRUE(after);
  EXPECT_EQ(parseIni(*after),
            (IniSections{{"Display", {{"Width", "2160"}}}, {"Loading", {{"ForceVRMode", "1"}}}}));
}

// A folder whose name the ANSI code page cannot spell: the launcher and the simulator both live
// there, and the simulator is started from it as from any other folder.
TEST_F(LauncherEndToEnd, LauncherInAFolderOutsideTheAnsiCodePageStartsTheSimulator) {
  const std::filesystem::path folder = work.path() / L"\u30b2\u30fc\u30e0 \u6a21\u62df\u5668";
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(launcherExe(), folder / L"AerolumenP3D4.exe");
  std::filesystem::copy_file(hostPath(STANDIN_EXE), folder / L"prepar3d.exe");
  const auto seen = launchToTheEnd(folder / L"AerolumenP3D4.exe", folder);
  ASSERT_TRUE(seen) << "prepar3d.exe did not run";
  EXPECT_EQ(seen->field("forceVrModeValue"), "1");
  EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::u8path(seen->field("modulePath")),
                                          folder / L"prepar3d.exe"));
  EXPECT_EQ(readFile(storeFile("settings")), std::optional<std::string>(vrModeOnly));
}

TEST_F(LauncherEndToEnd, FailedResetIsReportedAndStartsNothing) {
  placeSimulator();
  BlockedSettingsFolder blocked;
  LaunchedProgram launcher(launcherExe(), L"-ResetConfig", work.path());
  ASSERT_TRUE(launcher.started()) << launcher.startError();

  const auto question = waitForMessageBox(launcher.processId(), patience);
  ASSERT_TRUE(question) << "no reset question";
  pressButton(*question, IDYES);
  ASSERT_TRUE(waitUntilClosed(*question, patience));

  const auto box = waitForMessageBox(launcher.processId(), patience);
  ASSERT_TRUE(box) << "no message about the failed reset";
  EXPECT_THAT(box->text, StartsWith(resetFailure));
  EXPECT_GT(box->text.size(), std::string(resetFailure).size()) << "no reason given";
  EXPECT_TRUE(box->hasOk);
  EXPECT_FALSE(box->hasYes || box->hasNo || box->hasCancel);
  pressButton(*box, IDOK);

  EXPECT_EQ(exitCodeOf(launcher), std::optional<DWORD>(0));
  EXPECT_FALSE(simulatorStartedWithin(quietSpell));
}

} // namespace

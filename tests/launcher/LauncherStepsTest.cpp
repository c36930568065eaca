// The launcher's steps against scripted system answers: every branch, with the exact texts,
// styles, call order and call arguments.
#include "launcher/LauncherSteps.h"
#include "settings/SettingsFileError.h"
#include "tests/launcher/ScriptedPlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>

using ::testing::ElementsAre;

namespace {

const char* const caption = "Aerolumen P3D4";
const char* const resetQuestion = "Are you sure that you want to clear all Aerolumen settings?";
const char* const resetDone = "Aerolumen's settings have been cleared.  Aerolumen will now launch.";
const char* const launchError = "Aerolumen was unable to launch Prepar3D v4.\n"
                                "Please ensure that prepar3d.exe is located in your flight "
                                "simulator directory.";
const char* const vrModeNotWritten = "Aerolumen could not write its VR setting to the settings "
                                     "file, so Prepar3D v4 may start without VR mode.\nReason: ";
const char* const elevationFailure = "Aerolumen requires administrator privileges in-order to "
                                     "run.\nPlease run Aerolumen as administrator.\nError: ";

class LauncherSteps : public ::testing::Test {
protected:
  int run(const char* commandLine) { return runLauncher(platform, commandLine); }

  void expectBox(size_t index, const std::string& text, UINT style) {
    ASSERT_LT(index, platform.boxes.size());
    const RecordedMessageBox& box = platform.boxes[index];
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.style, style);
  }

  ScriptedPlatform platform;
};

// ---- Plain start --------------------------------------------------------------------------------

TEST_F(LauncherSteps, StartsSuspendedWritesVrModeThenResumesAndClosesHandles) {
  for (const char* commandLine : {"", static_cast<const char*>(nullptr), "-fullscreen"}) {
    SCOPED_TRACE(commandLine ? commandLine : "<null>");
    platform = ScriptedPlatform();
    EXPECT_EQ(run(commandLine), 0);
    EXPECT_THAT(platform.calls,
                ElementsAre("Sleep(250)", "CreateProcessA", "writeVrModeSetting",
                            "ResumeThread(thread)", "CloseHandle(thread)", "CloseHandle(process)"));
    EXPECT_TRUE(platform.boxes.empty());
  }
}

TEST_F(LauncherSteps, StartsThePlainExecutableNameSuspendedWithZeroedStartupInfo) {
  run("");
  ASSERT_EQ(platform.starts.size(), 1u);
  const RecordedProcessStart& start = platform.starts[0];
  EXPECT_TRUE(start.applicationNameGiven);
  EXPECT_EQ(start.applicationName, "prepar3d.exe");
  EXPECT_EQ(start.commandLine, nullptr);
  EXPECT_EQ(start.processAttributes, nullptr);
  EXPECT_EQ(start.threadAttributes, nullptr);
  EXPECT_EQ(start.inheritHandles, FALSE);
  EXPECT_EQ(start.creationFlags, 4u);
  EXPECT_EQ(start.environment, nullptr);
  EXPECT_EQ(start.currentDirectory, nullptr);
  EXPECT_TRUE(start.processInformationGiven);
  // STARTUPINFOA on x64 is 104 bytes; all zero but its size field.
  std::vector<unsigned char> expected(104, 0);
  expected[0] = 104;
  EXPECT_EQ(start.startupInfoBytes, expected);
}

// ---- Reset on request ---------------------------------------------------------------------------

TEST_F(LauncherSteps, ResetAnsweredYesDeletesThenConfirmsThenLaunches) {
  platform.messageBoxAnswers = {IDYES, IDOK};
  EXPECT_EQ(run("-ResetConfig"), 0);
  EXPECT_THAT(platform.calls,
              ElementsAre("Sleep(250)", "MessageBoxW", "resetSettingsStores", "MessageBoxW",
                          "CreateProcessA", "writeVrModeSetting", "ResumeThread(thread)",
                          "CloseHandle(thread)", "CloseHandle(process)"));
  ASSERT_EQ(platform.boxes.size(), 2u);
  expectBox(0, resetQuestion, 4);
  expectBox(1, resetDone, 0);
}

TEST_F(LauncherSteps, ResetAnsweredAnythingButYesEndsWithoutDeletingOrStarting) {
  // IDNO, IDCANCEL, IDOK, and 0 / -1 for a box that could not be shown.
  for (int answer : {IDNO, IDCANCEL, IDOK, 0, -1}) {
    SCOPED_TRACE(answer);
    platform = ScriptedPlatform();
    platform.messageBoxAnswers = {answer};
    EXPECT_EQ(run("-ResetConfig"), 0);
    EXPECT_THAT(platform.calls, ElementsAre("Sleep(250)", "MessageBoxW"));
    expectBox(0, resetQuestion, 4);
  }
}

TEST_F(LauncherSteps, ResetSwitchIsACaseSensitiveSubstringOfTheCommandLine) {
  for (const char* commandLine :
       {"-ResetConfig", "/x -ResetConfig", "--ResetConfigNow", "a-ResetConfigb c"}) {
    SCOPED_TRACE(commandLine);
    platform = ScriptedPlatform();
    platform.messageBoxAnswers = {IDNO};
    run(commandLine);
    EXPECT_THAT(platform.calls, ElementsAre("Sleep(250)", "MessageBoxW"));
  }
  for (const char* commandLine :
       {"-resetconfig", "-RESETCONFIG", "ResetConfig", "-Reset Config", "-ResetConfi"}) {
    SCOPED_TRACE(commandLine);
    platform = ScriptedPlatform();
    run(commandLine);
    EXPECT_TRUE(platform.boxes.empty());
    ASSERT_GE(platform.calls.size(), 2u);
    EXPECT_EQ(platform.calls[1], "CreateProcessA");
  }
}

TEST_F(LauncherSteps, FailedResetIsReportedAndNothingIsStarted) {
  platform.messageBoxAnswers = {IDYES, IDOK};
  platform.onReset = [] { throw std::runtime_error("settings file is locked"); };
  EXPECT_EQ(run("-ResetConfig"), 0);
  EXPECT_THAT(platform.calls,
              ElementsAre("Sleep(250)", "MessageBoxW", "resetSettingsStores", "MessageBoxW"));
  ASSERT_EQ(platform.boxes.size(), 2u);
  expectBox(1,
            "Aerolumen could not clear its settings, so it has not started Prepar3D v4.\n"
            "Reason: settings file is locked",
            MB_OK | MB_ICONERROR);
}

TEST_F(LauncherSteps, FailedResetMessageCarriesTheFileSystemError) {
  const std::filesystem::filesystem_error failure(
      "cannot remove", std::filesystem::path("C:\\x\\settings.ini"),
      std::make_error_code(std::errc::permission_denied));
  platform.messageBoxAnswers = {IDYES, IDOK};
  platform.onReset = [&] { throw failure; };
  run("-ResetConfig");
  ASSERT_EQ(platform.boxes.size(), 2u);
  EXPECT_EQ(platform.boxes[1].text,
            std::string("Aerolumen could not clear its settings, so it has not started "
                        "Prepar3D v4.\nReason: ") +
                failure.what());
}

// ---- Failed start ------------------------------------------------------------------------------

TEST_F(LauncherSteps, StartFailureOtherThanElevationShowsTheLaunchError) {
  for (DWORD error : {DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_ACCESS_DENIED},
                      DWORD{ERROR_BAD_EXE_FORMAT}, DWORD{0}}) {
    SCOPED_TRACE(error);
    platform = ScriptedPlatform();
    platform.processStarts = false;
    platform.processStartError = error;
    EXPECT_EQ(run(""), 0);
    EXPECT_THAT(platform.calls,
                ElementsAre("Sleep(250)", "CreateProcessA", "GetLastError", "MessageBoxW"));
    expectBox(0, launchError, 0);
  }
}

TEST_F(LauncherSteps, ElevationRequiredRestartsItselfWithRunas) {
  platform.processStarts = false;
  platform.processStartError = 740;
  EXPECT_EQ(run(""), 0);
  EXPECT_THAT(platform.calls, ElementsAre("Sleep(250)", "CreateProcessA", "GetLastError",
                                          "GetModuleFileNameW(null, 255)",
                                          "GetCurrentDirectoryW(260)", "ShellExecuteExW"));
  EXPECT_TRUE(platform.boxes.empty());
  ASSERT_EQ(platform.shellExecutes.size(), 1u);
  const RecordedShellExecute& call = platform.shellExecutes[0];
  EXPECT_EQ(call.info.cbSize, 112u);
  EXPECT_EQ(call.info.fMask, 0u);
  EXPECT_EQ(call.info.hwnd, nullptr);
  EXPECT_TRUE(call.verbGiven);
  EXPECT_EQ(call.verb, L"runas");
  EXPECT_TRUE(call.fileGiven);
  EXPECT_EQ(call.file, L"C:\\Program Files\\Aerolumen\\AerolumenP3D4.exe");
  EXPECT_TRUE(call.parametersGiven);
  EXPECT_EQ(call.parameters, L"");
  // Elevation need not carry the current directory over, and the simulator is found there.
  EXPECT_TRUE(call.directoryGiven);
  EXPECT_EQ(call.directory, L"D:\\Lockheed Martin\\Prepar3D v4");
  EXPECT_EQ(call.info.nShow, 5);
  EXPECT_EQ(call.info.hInstApp, nullptr);
  EXPECT_EQ(call.info.lpIDList, nullptr);
  EXPECT_EQ(call.info.lpClass, nullptr);
  EXPECT_EQ(call.info.hkeyClass, nullptr);
  EXPECT_EQ(call.info.dwHotKey, 0u);
  EXPECT_EQ(call.info.hIcon, nullptr);
  EXPECT_EQ(call.info.hProcess, nullptr);
}

TEST_F(LauncherSteps, ElevationRequiredWithAFailedRestartShowsTheErrorNumber) {
  // 1223: the user declined; 0x80070005 shows that the number is printed unsigned.
  const std::pair<DWORD, const char*> cases[] = {{1223, "1223"}, {0x80070005, "2147942405"}};
  for (const auto& [error, printed] : cases) {
    SCOPED_TRACE(printed);
    platform = ScriptedPlatform();
    platform.processStarts = false;
    platform.processStartError = 740;
    platform.shellExecuteSucceeds = false;
    platform.shellExecuteError = error;
    EXPECT_EQ(run(""), 0);
    EXPECT_THAT(platform.calls,
                ElementsAre("Sleep(250)", "CreateProcessA", "GetLastError",
                            "GetModuleFileNameW(null, 255)", "GetCurrentDirectoryW(260)",
                            "ShellExecuteExW", "GetLastError", "MessageBoxW"));
    expectBox(0, std::string(elevationFailure) + printed, 0);
  }
}

TEST_F(LauncherSteps, ElevationRequiredAfterAResetRestartsWithoutRepeatingIt) {
  platform.messageBoxAnswers = {IDYES, IDOK};
  platform.processStarts = false;
  platform.processStartError = 740;
  run("-ResetConfig");
  EXPECT_THAT(platform.calls,
              ElementsAre("Sleep(250)", "MessageBoxW", "resetSettingsStores", "MessageBoxW",
                          "CreateProcessA", "GetLastError", "GetModuleFileNameW(null, 255)",
                          "GetCurrentDirectoryW(260)", "ShellExecuteExW"));
  ASSERT_EQ(platform.shellExecutes.size(), 1u);
  EXPECT_EQ(platform.shellExecutes[0].parameters, L"");
}

// ---- Own path for the restart
// --------------------------------------------------------------------

class OwnPathForRestart : public LauncherSteps {
protected:
  void SetUp() override {
    platform.processStarts = false;
    platform.processStartError = 740;
  }
  std::vector<std::string> pathQueries() const {
    std::vector<std::string> queries;
    for (const std::string& call : platform.calls)
      if (call.rfind("GetModuleFileNameW", 0) == 0) queries.push_back(call);
    return queries;
  }
};

TEST_F(OwnPathForRestart, PathThatFitsIsAskedForOnce) {
  platform.ownPath = L"C:\\" + std::wstring(249, L'a') + L".e"; // 254 characters and the terminator
  ASSERT_EQ(platform.ownPath.size(), 254u);
  run("");
  EXPECT_THAT(pathQueries(), ElementsAre("GetModuleFileNameW(null, 255)"));
  ASSERT_EQ(platform.shellExecutes.size(), 1u);
  EXPECT_EQ(platform.shellExecutes[0].file, platform.ownPath);
}

TEST_F(OwnPathForRestart, PathOf255CharactersNeedsTheLargerBuffer) {
  platform.ownPath = L"C:\\" + std::wstring(248, L'b') + L".exe";
  ASSERT_EQ(platform.ownPath.size(), 255u);
  run("");
  EXPECT_THAT(pathQueries(),
              ElementsAre("GetModuleFileNameW(null, 255)", "GetModuleFileNameW(null, 510)"));
  ASSERT_EQ(platform.shellExecutes.size(), 1u);
  EXPECT_EQ(platform.shellExecutes[0].file, platform.ownPath);
}

TEST_F(OwnPathForRestart, LongPathIsRestartedInFull) {
  platform.ownPath = L"\\\\?\\C:\\Games\\" + std::wstring(3000, L'c') + L"\\AerolumenP3D4.exe";
  run("");
  EXPECT_THAT(pathQueries(),
              ElementsAre("GetModuleFileNameW(null, 255)", "GetModuleFileNameW(null, 510)",
                          "GetModuleFileNameW(null, 1020)", "GetModuleFileNameW(null, 2040)",
                          "GetModuleFileNameW(null, 4080)"));
  ASSERT_EQ(platform.shellExecutes.size(), 1u);
  EXPECT_EQ(platform.shellExecutes[0].file, platform.ownPath);
  EXPECT_TRUE(platform.boxes.empty());
}

TEST_F(OwnPathForRestart, PathStillCutShortAtTheLongestLengthIsNotRestarted) {
  platform.ownPath = std::wstring(40000, L'd');
  run("");
  EXPECT_THAT(pathQueries(),
              ElementsAre("GetModuleFileNameW(null, 255)", "GetModuleFileNameW(null, 510)",
                          "GetModuleFileNameW(null, 1020)", "GetModuleFileNameW(null, 2040)",
                          "GetModuleFileNameW(null, 4080)", "GetModuleFileNameW(null, 8160)",
                          "GetModuleFileNameW(null, 16320)", "GetModuleFileNameW(null, 32640)",
                          "GetModuleFileNameW(null, 32767)"));
  EXPECT_TRUE(platform.shellExecutes.empty());
  ASSERT_EQ(platform.boxes.size(), 1u);
  expectBox(0, std::string(elevationFailure) + "122", 0);
}

TEST_F(OwnPathForRestart, FailedPathQueryIsNotRestartedAndShowsItsError) {
  platform.ownPathError = ERROR_NOT_ENOUGH_MEMORY; // 8
  EXPECT_EQ(run(""), 0);
  EXPECT_THAT(platform.calls,
              ElementsAre("Sleep(250)", "CreateProcessA", "GetLastError",
                          "GetModuleFileNameW(null, 255)", "GetLastError", "MessageBoxW"));
  EXPECT_TRUE(platform.shellExecutes.empty());
  expectBox(0, std::string(elevationFailure) + "8", 0);
}

TEST_F(OwnPathForRestart, PathAndDirectoryOutsideTheAnsiCodePageAreRestartedUnchanged) {
  platform.ownPath = L"C:\\Users\\\u0141ukasz\\\u30b2\u30fc\u30e0\\AerolumenP3D4.exe";
  platform.workingDirectory = L"Z:\\\u6a21\u62df\u5668\\Prepar3D v4";
  run("");
  ASSERT_EQ(platform.shellExecutes.size(), 1u);
  EXPECT_EQ(platform.shellExecutes[0].file, platform.ownPath);
  EXPECT_EQ(platform.shellExecutes[0].directory, platform.workingDirectory);
}

TEST_F(OwnPathForRestart, CurrentDirectoryOfAnyLengthIsPassedAndAFailedQueryPassesNone) {
  platform.workingDirectory = L"\\\\?\\D:\\" + std::wstring(400, L'e');
  run("");
  EXPECT_THAT(platform.calls,
              ElementsAre("Sleep(250)", "CreateProcessA", "GetLastError",
                          "GetModuleFileNameW(null, 255)", "GetCurrentDirectoryW(260)",
                          "GetCurrentDirectoryW(408)", "ShellExecuteExW"));
  ASSERT_EQ(platform.shellExecutes.size(), 1u);
  EXPECT_EQ(platform.shellExecutes[0].directory, platform.workingDirectory);

  // Without a directory the elevated copy still starts, in the one the system gives it.
  platform = ScriptedPlatform();
  platform.processStarts = false;
  platform.processStartError = 740;
  platform.workingDirectoryError = ERROR_ACCESS_DENIED;
  run("");
  ASSERT_EQ(platform.shellExecutes.size(), 1u);
  EXPECT_FALSE(platform.shellExecutes[0].directoryGiven);
  EXPECT_TRUE(platform.boxes.empty());
}

// ---- Failed VR-mode write -----------------------------------------------------------------------

TEST_F(LauncherSteps, FailedVrModeWriteStillResumesTheSimulatorThenTellsTheUser) {
  platform.onWriteVrMode = [] { throw std::runtime_error("disk full"); };
  EXPECT_EQ(run(""), 0);
  EXPECT_THAT(platform.calls, ElementsAre("Sleep(250)", "CreateProcessA", "writeVrModeSetting",
                                          "ResumeThread(thread)", "CloseHandle(thread)",
                                          "CloseHandle(process)", "MessageBoxW"));
  expectBox(0, std::string(vrModeNotWritten) + "disk full", MB_OK | MB_ICONWARNING);
}

TEST_F(LauncherSteps, FailedVrModeWriteOfAnyKindResumesTheSimulator) {
  const std::filesystem::filesystem_error folderFailure(
      "create_directories", std::filesystem::path("C:\\users\\x\\AppData\\Roaming\\Aerolumen"),
      std::make_error_code(std::errc::permission_denied));
  const std::system_error lockFailure(
      std::make_error_code(std::errc::resource_deadlock_would_occur), "mutex");
  struct Case {
    std::function<void()> thrower;
    std::string reason;
  };
  const Case cases[] = {
      {[&] { throw folderFailure; }, folderFailure.what()},
      {[&] { throw lockFailure; }, lockFailure.what()},
      {[] { throw std::bad_alloc(); }, std::bad_alloc().what()},
      {[] { throw 42; }, "unknown error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    platform = ScriptedPlatform();
    platform.onWriteVrMode = c.thrower;
    EXPECT_EQ(run(""), 0);
    EXPECT_THAT(platform.calls, ElementsAre("Sleep(250)", "CreateProcessA", "writeVrModeSetting",
                                            "ResumeThread(thread)", "CloseHandle(thread)",
                                            "CloseHandle(process)", "MessageBoxW"));
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].text, vrModeNotWritten + c.reason);
  }
}

// The box says only what is known about the VR entry: the file kept what it held (which may be
// the entry from an earlier run), the file holds the entry and only its flush failed, or the file
// is damaged and the backup that holds the settings is named. The system's text for the error is
// shown after the simulator runs.
TEST_F(LauncherSteps, VrModeBoxSaysWhatTheSettingsFileHolds) {
  const std::filesystem::path file = L"C:\\Users\\x\\settings.ini";
  const std::filesystem::path backup = L"C:\\Users\\x\\settings.ini.bak";
  struct Case {
    SettingsFileError failure;
    std::string text;
  };
  const Case cases[] = {
      {SettingsFileError("the settings file could not be written and is left unchanged", file,
                         systemError(ERROR_ACCESS_DENIED)),
       std::string(vrModeNotWritten) +
           "the settings file could not be written and is left unchanged: Access is denied. "
           "[C:\\Users\\x\\settings.ini]"},
      {SettingsFileError("the settings file was written, but could not be flushed to the disk",
                         file, systemError(ERROR_IO_DEVICE), FileLeft::written),
       "Aerolumen wrote its VR setting to the settings file, but Windows could not confirm that "
       "the file reached the disk.\nReason: the settings file was written, but could not be "
       "flushed to the disk: system error 1117 [C:\\Users\\x\\settings.ini]"},
      {SettingsFileError("writing failed part-way", file, backup, systemError(ERROR_DISK_FULL),
                         FileLeft::damaged),
       "Aerolumen could not write its VR setting to the settings file, so Prepar3D v4 may start "
       "without VR mode. The settings file is damaged; your settings are kept in its backup:\n"
       "C:\\Users\\x\\settings.ini.bak\nReason: writing failed part-way: The disk is full. "
       "[C:\\Users\\x\\settings.ini] [C:\\Users\\x\\settings.ini.bak]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    platform = ScriptedPlatform();
    platform.systemErrorTexts = {{ERROR_ACCESS_DENIED, L"Access is denied."},
                                 {ERROR_DISK_FULL, L"The disk is full."}};
    platform.onWriteVrMode = [&] { throw c.failure; };
    EXPECT_EQ(run(""), 0);
    EXPECT_THAT(platform.calls,
                ElementsAre("Sleep(250)", "CreateProcessA", "writeVrModeSetting",
                            "ResumeThread(thread)", "CloseHandle(thread)", "CloseHandle(process)",
                            "FormatMessageW(" + std::to_string(c.failure.code().value()) + ")",
                            "MessageBoxW"));
    expectBox(0, c.text, MB_OK | MB_ICONWARNING);
  }
}

// The system's text comes from FormatMessageW in the user's language and the path stays wide, so
// that neither is garbled outside the ANSI code page; the reset box tells its reason the same way.
TEST_F(LauncherSteps, ReasonsShowTheSystemTextAndThePathInUtf16) {
  const std::wstring path = L"C:\\Users\\\u0141ukasz\\\u8a2d\u5b9a.ini";
  const std::wstring systemText = L"Zugriff verweigert \u2013 \u30a2\u30af\u30bb\u30b9\u62d2\u5426";
  const SettingsFileError failure("the settings file could not be written and is left unchanged",
                                  std::filesystem::path(path), systemError(ERROR_ACCESS_DENIED));
  const std::wstring reason = L"the settings file could not be written and is left unchanged: " +
                              systemText + L" [" + path + L"]";

  platform.systemErrorTexts = {{ERROR_ACCESS_DENIED, systemText}};
  platform.onWriteVrMode = [&] { throw failure; };
  run("");
  ASSERT_EQ(platform.boxes.size(), 1u);
  EXPECT_EQ(platform.boxes[0].wideText,
            L"Aerolumen could not write its VR setting to the settings file, so Prepar3D v4 may "
            L"start without VR mode.\nReason: " +
                reason);
  EXPECT_EQ(platform.boxes[0].caption, caption);

  platform = ScriptedPlatform();
  platform.systemErrorTexts = {{ERROR_ACCESS_DENIED, systemText}};
  platform.messageBoxAnswers = {IDYES, IDOK};
  platform.onReset = [&] { throw failure; };
  run("-ResetConfig");
  ASSERT_EQ(platform.boxes.size(), 2u);
  EXPECT_EQ(platform.boxes[1].wideText, L"Aerolumen could not clear its settings, so it has not "
                                        L"started Prepar3D v4.\nReason: " +
                                            reason);
}

} // namespace

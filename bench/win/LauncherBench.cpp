// The launcher's time from its own start to the moment the simulator begins to run, less the
// launcher's fixed 250 ms pause, against the same time of a bare starter (BareLauncher.cpp) that
// only starts prepar3d.exe suspended and resumes it. All of them start the stand-in simulator,
// which notes the system time at which it was created and at which its code begins to run
// (tools/standin-p3d); the start is the creation time of the starter's process. Runs alternate.
//
// The second bare starter imports user32 and shell32 like the launcher, so that comparing with it
// leaves the launcher's own work: the settings write between the suspended start and the resume.
//
// Usage: launcher_bench <AerolumenP3D4.exe> <stand-in prepar3d.exe> <bare_launcher.exe>
//                       <bare_launcher_gui.exe>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/win/Measure.h"

namespace bench {
namespace {

constexpr int kRuns = 12;
constexpr double kLauncherPauseMs = 250;
constexpr DWORD kRunTimeoutMs = 30000;
constexpr int kReportWaitSteps = 3000; // of 10 ms

uint64_t fileTimeTicks(const FILETIME& time) {
  return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The value of `name=` in the stand-in's report, or 0 when absent.
uint64_t reportValue(const std::filesystem::path& report, const std::string& name) {
  std::ifstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + "=", 0) == 0) return std::stoull(line.substr(name.size() + 1));
  }
  return 0;
}

// Milliseconds from the starter's process creation.
struct Startup {
  double simulatorCreated = 0; // CreateProcess of the simulator
  double simulatorRunning = 0; // the simulator's own code runs, i.e. after ResumeThread
};

// Runs `program` in `folder` and reads when the stand-in it started was created and began to
// run. Throws std::runtime_error naming the step that failed.
Startup runOnce(const std::filesystem::path& program, const std::filesystem::path& folder,
                int run) {
  const std::filesystem::path report = folder / ("report-" + std::to_string(run) + ".txt");
  SetEnvironmentVariableW(L"AEROLUMEN_STANDIN_REPORT", report.c_str());
  std::wstring commandLine = L"\"" + program.wstring() + L"\"";
  STARTUPINFOW startupInfo{};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startupInfo, &started))
    throw std::runtime_error("cannot start " + program.string() + ": error " +
                             std::to_string(GetLastError()));
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(started.hProcess, &created, &exited, &kernel, &user);
  const bool ended = WaitForSingleObject(started.hProcess, kRunTimeoutMs) == WAIT_OBJECT_0;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  if (!ended) throw std::runtime_error(program.string() + " did not end");
  // The stand-in may still be starting when its starter has ended; a report that has just
  // appeared may not yet be readable.
  uint64_t firstRun = 0, simulatorCreated = 0;
  for (int waited = 0; waited < kReportWaitSteps; ++waited) {
    firstRun = reportValue(report, "firstRun");
    simulatorCreated = reportValue(report, "processCreated");
    if (firstRun != 0 && simulatorCreated != 0) break;
    Sleep(10);
  }
  if (firstRun == 0 || simulatorCreated == 0) {
    std::string seen;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      seen += " " + entry.path().filename().string();
    throw std::runtime_error("no report from the simulator started by " + program.string() +
                             " (folder holds:" + seen + ")");
  }
  const uint64_t start = fileTimeTicks(created);
  Startup startup;
  startup.simulatorRunning = double(int64_t(firstRun - start)) / 1e4;
  startup.simulatorCreated = double(int64_t(simulatorCreated - start)) / 1e4;
  return startup;
}

std::filesystem::path windowsPath(const char* argument) {
  std::string text = argument;
  for (char& c : text)
    if (c == '/') c = '\\';
  return std::filesystem::path(text);
}

int run(int argc, char** argv) {
  if (argc != 5) {
    std::printf("usage: launcher_bench <AerolumenP3D4.exe> <prepar3d.exe stand-in> "
                "<bare_launcher.exe> <bare_launcher_gui.exe>\n");
    return 2;
  }
  const std::filesystem::path launcher = windowsPath(argv[1]);
  const std::filesystem::path standin = windowsPath(argv[2]);
  const std::filesystem::path bare = windowsPath(argv[3]);
  const std::filesystem::path bareGui = windowsPath(argv[4]);
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("wirebridge-launcher-bench-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(standin, folder / "prepar3d.exe");

  // Launcher figures are less its 250 ms pause.
  std::vector<double> launcherRunning, launcherCreated, launcherWindow;
  std::vector<double> bareRunning, bareCreated, bareWindow, guiRunning, guiCreated;
  std::vector<double> ratios, guiRatios, windowRatios;
  std::string failure;
  int runNumber = 0;
  try {
    for (int round = 0; round < kRuns; ++round) {
      Startup viaLauncher, viaBare, viaGui;
      // Rotate which goes first, so that none always finds the others' files warm.
      for (int turn = 0; turn < 3; ++turn) {
        switch ((round + turn) % 3) {
        case 0:
          viaLauncher = runOnce(launcher, folder, runNumber++);
          break;
        case 1:
          viaBare = runOnce(bare, folder, runNumber++);
          break;
        default:
          viaGui = runOnce(bareGui, folder, runNumber++);
          break;
        }
      }
      const double own = viaLauncher.simulatorRunning - kLauncherPauseMs;
      launcherRunning.push_back(own);
      launcherCreated.push_back(viaLauncher.simulatorCreated - kLauncherPauseMs);
      launcherWindow.push_back(viaLauncher.simulatorRunning - viaLauncher.simulatorCreated);
      bareRunning.push_back(viaBare.simulatorRunning);
      bareCreated.push_back(viaBare.simulatorCreated);
      bareWindow.push_back(viaBare.simulatorRunning - viaBare.simulatorCreated);
      guiRunning.push_back(viaGui.simulatorRunning);
      guiCreated.push_back(viaGui.simulatorCreated);
      ratios.push_back(own / viaBare.simulatorRunning);
      guiRatios.push_back(own / viaGui.simulatorRunning);
      windowRatios.push_back(launcherWindow.back() / bareWindow.back());
      note(format("run %.0f: launcher %.1f ms (less 250), bare %.1f ms, bare with user32 and "
                  "shell32 %.1f ms",
                  round, own, viaBare.simulatorRunning, viaGui.simulatorRunning));
    }
  } catch (const std::exception& error) {
    failure = error.what();
    note("failed: " + failure);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);

  const std::string rounds = std::to_string(ratios.size()) + " runs each";
  reportRatio("launcher-start-to-resume", median(ratios), "",
              "launcher start -> simulator runs, less 250 ms / same for a bare suspended start",
              format("launcher %.1f ms (simulator created at %.1f ms); bare %.1f ms (created at "
                     "%.1f ms); medians of ",
                     median(launcherRunning), median(launcherCreated), median(bareRunning),
                     median(bareCreated)) +
                  rounds);
  reportRatio("launcher-start-to-resume-same-imports", median(guiRatios), "",
              "same, against a bare start that also loads user32 and shell32",
              format("bare with user32 and shell32 %.1f ms (created at %.1f ms)",
                     median(guiRunning), median(guiCreated)));
  reportRatio("launcher-create-to-run", median(windowRatios), "",
              "simulator created -> simulator runs: launcher (settings write, resume) / bare "
              "(resume)",
              format("launcher %.1f ms, bare %.1f ms", median(launcherWindow), median(bareWindow)));
  reportCheck("launcher-sound", failure.empty() && ratios.size() == size_t(kRuns),
              "every run started the stand-in simulator", failure);
  return failure.empty() ? 0 : 1;
}

} // namespace
} // namespace bench

int main(int argc, char** argv) {
  try {
    return bench::run(argc, argv);
  } catch (const std::exception& error) {
    std::printf("launcher bench failed: %s\n", error.what());
    return 1;
  }
}

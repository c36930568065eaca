// SettingsStore::setValue on settings files of 10 and of 1000 entries, against a plain write of
// the very bytes that setValue leaves in the file (and, to show where the time goes, the same
// plain write followed by FlushFileBuffers). Calls alternate, so a noisy machine slows all alike.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/win/Measure.h"
#include "settings/SettingsStore.h"

namespace bench {
namespace {

constexpr int kWarmup = 5;
constexpr int kSamples = 40;

class ScratchFolder {
public:
  ScratchFolder() {
    path_ = std::filesystem::temp_directory_path() /
            ("wirebridge-settings-bench-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

// A settings file of `entries` entries in sections of up to 50, [Loading] first.
std::string settingsText(int entries) {
  std::string text = "[Loading]\nForceVRMode=0\n";
  for (int i = 1; i < entries; ++i) {
    if (i % 50 == 0 || i == 1) text += "\n[Section" + std::to_string(i / 50) + "]\n";
    text += "Entry" + std::to_string(i) + "=value of entry " + std::to_string(i) + "\n";
  }
  return text;
}

std::string fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool plainWrite(const std::filesystem::path& path, const std::string& bytes, bool flush) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool done = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
              written == bytes.size();
  if (flush) done = done && FlushFileBuffers(file);
  CloseHandle(file);
  return done;
}

void measure(const Clock& clock, const std::filesystem::path& base, int entries) {
  const std::string name = "bench" + std::to_string(entries);
  std::filesystem::path file;
  {
    SettingsStore locate(name, base);
    file = locate.filePath();
  }
  {
    std::ofstream seed(file, std::ios::trunc); // text mode, as the store writes
    seed << settingsText(entries);
  }
  SettingsStore store(name, base);
  const std::filesystem::path plainTarget = base / "plain.ini";
  const std::filesystem::path flushedTarget = base / "flushed.ini";

  std::vector<double> setTimes, plainTimes, flushedTimes;
  std::string bytes;
  bool sound = true;
  for (int sample = 0; sample < kWarmup + kSamples; ++sample) {
    const bool kept = sample >= kWarmup;
    LONGLONG start = Clock::ticks();
    store.setValue("Loading", "ForceVRMode", sample % 2 == 0 ? "1" : "0");
    LONGLONG end = Clock::ticks();
    if (kept) setTimes.push_back(clock.microseconds(start, end));
    bytes = fileBytes(file);
    sound &=
        bytes.find(sample % 2 == 0 ? "ForceVRMode = 1" : "ForceVRMode = 0") != std::string::npos;

    start = Clock::ticks();
    sound &= plainWrite(plainTarget, bytes, false);
    end = Clock::ticks();
    if (kept) plainTimes.push_back(clock.microseconds(start, end));

    start = Clock::ticks();
    sound &= plainWrite(flushedTarget, bytes, true);
    end = Clock::ticks();
    if (kept) flushedTimes.push_back(clock.microseconds(start, end));
  }
  const std::string id = "settings-setvalue-" + std::to_string(entries);
  const double setMedian = median(setTimes), plainMedian = median(plainTimes),
               flushedMedian = median(flushedTimes);
  const std::string detail =
      format("setValue median %.0f us, p99 %.0f us; plain write %.0f us; plain write + flush "
             "%.0f us",
             setMedian, percentile(setTimes, 0.99), plainMedian, flushedMedian) +
      "; file " + std::to_string(bytes.size()) + " bytes, " + std::to_string(kSamples) + " calls";
  reportRatio(id, setMedian / plainMedian, "", "median setValue / median plain write of the bytes",
              detail);
  reportRatio(id + "-vs-flushed", setMedian / flushedMedian, "",
              "median setValue / median plain write + FlushFileBuffers", detail);
  reportCheck(id + "-sound", sound, "every setValue reached the file", "");
}

} // namespace
} // namespace bench

int main() {
  try {
    const bench::Clock clock;
    bench::ScratchFolder scratch;
    bench::measure(clock, scratch.path(), 10);
    bench::measure(clock, scratch.path(), 1000);
  } catch (const std::exception& error) {
    std::printf("settings bench failed: %s\n", error.what());
    return 1;
  }
  return 0;
}

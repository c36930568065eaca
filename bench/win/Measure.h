#pragma once
// Clock, sample statistics and the result lines that tools/bench.sh turns into its table.
//
// A result line is tab-separated: "RESULT", an id, the ratio, the target ("" when the figure has
// none, else ">=0.80" or "<=1.25"), what the ratio compares, and the measured values behind it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// QueryPerformanceCounter in seconds. Under Wine its resolution is 100 ns.
class Clock {
public:
  Clock() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    secondsPerTick_ = 1.0 / double(frequency.QuadPart);
  }
  static LONGLONG ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
  }
  double seconds(LONGLONG from, LONGLONG to) const { return double(to - from) * secondsPerTick_; }
  double microseconds(LONGLONG from, LONGLONG to) const { return seconds(from, to) * 1e6; }
  double resolutionMicroseconds() const { return secondsPerTick_ * 1e6; }

private:
  double secondsPerTick_;
};

// The value below which `fraction` of the samples lie (nearest rank).
inline double percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = size_t(fraction * double(samples.size()));
  if (rank >= samples.size()) rank = samples.size() - 1;
  return samples[rank];
}

inline double median(std::vector<double> samples) {
  return percentile(std::move(samples), 0.5);
}

inline std::string format(const char* pattern, double a, double b = 0, double c = 0, double d = 0) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, a, b, c, d);
  return text;
}

inline void reportRatio(const std::string& id, double ratio, const std::string& target,
                        const std::string& what, const std::string& detail) {
  std::printf("RESULT\t%s\t%.3f\t%s\t%s\t%s\n", id.c_str(), ratio, target.c_str(), what.c_str(),
              detail.c_str());
  std::fflush(stdout);
}

// A check that the figures are sound (no message lost, nothing refused); printed as a result
// line with the ratio 1 (held) or 0 (broken) against the target ">=1".
inline void reportCheck(const std::string& id, bool held, const std::string& what,
                        const std::string& detail) {
  reportRatio(id, held ? 1.0 : 0.0, ">=1", what, detail);
}

inline void note(const std::string& text) {
  std::printf("  %s\n", text.c_str());
  std::fflush(stdout);
}

} // namespace bench

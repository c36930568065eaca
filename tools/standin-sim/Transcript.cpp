#include "tools/standin-sim/Transcript.h"

#include <cstdio>

namespace standin {

Transcript::Transcript(bool toStdout, const std::wstring& filePath) : toStdout_(toStdout) {
  if (!filePath.empty()) {
    file_.reset(_wfopen(filePath.c_str(), L"wb"));
    fileFailed_ = !file_;
  }
}

Transcript::~Transcript() = default;

void Transcript::add(const char* channel, const std::string& text) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%4lld.%03lld ",
                static_cast<long long>(elapsed.count() / 1000),
                static_cast<long long>(elapsed.count() % 1000));
  std::string line = stamp;
  line += channel;
  line.append(line.size() < 14 ? 14 - line.size() : 1, ' ');
  line += text;

  std::lock_guard<std::mutex> lock(mutex_);
  if (toStdout_) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  if (file_) {
    std::fputs(line.c_str(), file_.get());
    std::fputc('\n', file_.get());
    std::fflush(file_.get());
  }
  lines_.push_back(std::move(line));
}

std::vector<std::string> Transcript::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

} // namespace standin

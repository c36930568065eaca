#pragma once
// The stand-in simulator's record of everything that happens: host commands, requests handed
// over by hostSend, deliveries and releases, network traffic, the add-on's own lines. Any thread
// may add lines; each is stamped with the time since the run began and a channel name, kept in
// memory and copied at once to stdout and/or a file.
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace standin {

class Transcript {
public:
  Transcript(bool toStdout, const std::wstring& filePath);
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  // channel: "sim", "host", "addon", "net", ...
  void add(const char* channel, const std::string& text);

  std::vector<std::string> lines() const;
  bool fileFailed() const { return fileFailed_; }

private:
  struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  const bool toStdout_;
  std::unique_ptr<std::FILE, FileClose> file_;
  bool fileFailed_ = false;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

} // namespace standin

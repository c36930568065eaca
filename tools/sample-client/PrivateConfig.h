#pragma once
// A SimConnect.cfg that only this process reads: written into a folder of its own under the
// temporary folder, which becomes the current directory (the last place the library looks, and
// the one that wins). Its section is named after the configuration index this client opens with,
// so no configuration of anyone else is changed. Everything is removed again on destruction.
#include <windows.h>

#include <string>

namespace sample {

// The simulator's published TCP port for the family, as a decimal string; empty when absent.
std::string publishedPort(bool ipv6);

class PrivateConfig {
public:
  PrivateConfig(bool ipv6, DWORD configIndex, const std::string& port);
  ~PrivateConfig();
  PrivateConfig(const PrivateConfig&) = delete;
  PrivateConfig& operator=(const PrivateConfig&) = delete;

  bool ready() const { return ready_; }
  std::string describe() const; // the file's path and content in one line

private:
  std::wstring previousDirectory_;
  std::wstring folder_;
  std::wstring file_;
  std::string content_;
  bool folderMade_ = false;
  bool fileMade_ = false;
  bool ready_ = false;
};

} // namespace sample

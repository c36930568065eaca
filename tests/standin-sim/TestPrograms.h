#pragma once
// Files and child programs for the stand-in simulator's tests: temporary files that go away with
// the test, the build's Unix paths as Windows paths (Wine shows the Unix root as drive Z:), and a
// child process whose output goes to such a file.
#include <windows.h>

#include <string>

namespace testfiles {

std::wstring windowsPath(const char* unixPath);

class TemporaryFile {
public:
  explicit TemporaryFile(const std::string& content = {}, bool create = true);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::wstring& path() const { return path_; }
  std::string read() const;

private:
  std::wstring path_;
};

class ChildProgram {
public:
  // Starts `program arguments` with stdout and stderr in a temporary file.
  ChildProgram(const std::wstring& program, const std::wstring& arguments);
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool started() const { return process_ != nullptr; }
  // The exit code, or -1 when the program has not ended within the timeout (it is then ended).
  long finish(DWORD timeoutMilliseconds);
  std::string output() const { return output_.read(); }

private:
  TemporaryFile output_;
  HANDLE process_ = nullptr;
};

} // namespace testfiles

// simconnect-server.exe as a user runs it: endpoints from the command line, the printed ports, the
// message log, stopping on the end of stdin or after --exit-after, and its exit codes.
#include "TestSupport.h"

#include <mutex>
#include <thread>

namespace {

using namespace testsupport;

std::wstring programPath() {
  // The build gives a Unix path; Wine shows the Unix root as drive Z:.
  std::wstring path = L"Z:";
  for (const char c : std::string(SIMSERVER_PROGRAM))
    path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

class OwnedHandle {
public:
  explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  void reset() {
    if (handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }

private:
  HANDLE handle_;
};

// The program with its stdin, stdout and stderr on pipes of the test.
class Program {
public:
  explicit Program(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    OwnedHandle childIn, childOut, childErr;
    EXPECT_TRUE(CreatePipe(childIn.out(), input_.out(), &inheritable, 0));
    EXPECT_TRUE(CreatePipe(output_.out(), childOut.out(), &inheritable, 0));
    EXPECT_TRUE(CreatePipe(errors_.out(), childErr.out(), &inheritable, 0));
    SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errors_.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn.get();
    startup.hStdOutput = childOut.get();
    startup.hStdError = childErr.get();
    std::wstring commandLine = L"\"" + programPath() + L"\" " + arguments;
    PROCESS_INFORMATION info{};
    const BOOL created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &info);
    EXPECT_TRUE(created) << "error " << GetLastError();
    if (created) {
      process_.reset();
      *process_.out() = info.hProcess;
      CloseHandle(info.hThread);
    }
    outputReader_ = std::thread([this] { collect(output_.get(), outputText_); });
    errorReader_ = std::thread([this] { collect(errors_.get(), errorText_); });
  }

  ~Program() {
    closeInput();
    if (process_.get() && WaitForSingleObject(process_.get(), 20000) != WAIT_OBJECT_0)
      TerminateProcess(process_.get(), 99);
    joinReaders();
  }

  void closeInput() { input_.reset(); }

  // Waits for the program to end and for all its output; its exit code, or -1 when it did not
  // end in time.
  int exitCode() {
    if (!process_.get() || WaitForSingleObject(process_.get(), 20000) != WAIT_OBJECT_0) return -1;
    joinReaders();
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return static_cast<int>(code);
  }

  bool waitForOutput(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (output().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  std::string output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputText_;
  }
  std::string errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorText_;
  }

private:
  void joinReaders() {
    if (outputReader_.joinable()) outputReader_.join();
    if (errorReader_.joinable()) errorReader_.join();
  }

  void collect(HANDLE from, std::string& into) {
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(from, buffer, sizeof buffer, &count, nullptr) && count > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      into.append(buffer, count);
    }
  }

  OwnedHandle input_, output_, errors_, process_;
  std::mutex mutex_;
  std::string outputText_, errorText_;
  std::thread outputReader_, errorReader_;
};

class SimServerProgram : public PortsKeyTest {};

TEST_F(SimServerProgram, ServesLogsEveryMessageAndStopsWhenStdinCloses) {
  Program program(L"--pipe-name \"simserver program test\" --no-ipv6 --log");
  ASSERT_TRUE(program.waitForOutput("ready")) << program.output() << program.errors();
  EXPECT_NE(program.output().find("pipe \\\\.\\pipe\\simserver program test"), std::string::npos);
  EXPECT_NE(program.output().find("ipv4 127.0.0.1 port "), std::string::npos);
  EXPECT_EQ(program.output().find("ipv6"), std::string::npos);
  const auto published = readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4");
  ASSERT_TRUE(published);
  EXPECT_NE(
      program.output().find("port " + std::string(published->text.begin(), published->text.end())),
      std::string::npos);

  DWORD error = 0;
  auto client = RawClient::connectPipe(L"\\\\.\\pipe\\simserver program test", &error);
  ASSERT_TRUE(client) << error;
  ASSERT_TRUE(client->write(handbuilt::join(
      {handbuilt::open(1, "Program test"), handbuilt::transmitEvent(2, 0, 9, 1, 2, 3)})));
  EXPECT_EQ(client->readExactly(308 + 36).size(), 344u);
  ASSERT_TRUE(program.waitForOutput("TransmitClientEvent"));

  program.closeInput();
  EXPECT_EQ(program.exitCode(), 0) << program.errors();
  const std::string output = program.output();
  EXPECT_NE(output.find("Open seq=1 size=296 app=\"Program test\" tag=0x50334400 versions=4.0.0.0"),
            std::string::npos)
      << output;
  EXPECT_NE(
      output.find("TransmitClientEvent seq=2 size=36 object=0 event=9 data=1 group=2 flags=0x3"),
      std::string::npos)
      << output;
  EXPECT_NE(output.find("stopped after 1 connections, 2 messages, 0 violations"), std::string::npos)
      << output;
  EXPECT_FALSE(readRegistryValue(kPortsKey, L"SimConnect_Port_IPv4")) << "withdrawn at exit";
}

TEST_F(SimServerProgram, FaultOptionsApplyToEveryConnection) {
  Program program(L"--pipe-name \"simserver program faults\" --no-ipv4 --no-ipv6 "
                  L"--after-open-record 2 --close-after-messages 1");
  ASSERT_TRUE(program.waitForOutput("ready")) << program.output() << program.errors();
  for (int i = 0; i < 2; ++i) {
    DWORD error = 0;
    auto client = RawClient::connectPipe(L"\\\\.\\pipe\\simserver program faults", &error);
    ASSERT_TRUE(client) << error;
    ASSERT_TRUE(client->write(handbuilt::open(1)));
    const ReadOutcome outcome = client->readToEnd();
    ASSERT_EQ(outcome.bytes.size(), 308u + 12) << "connection " << i;
    EXPECT_EQ(Bytes(outcome.bytes.begin() + 308, outcome.bytes.end()),
              (Bytes{2, 0, 0, 0, 4, 0, 0, 0, 6, 0x10, 0, 0}));
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  }
}

TEST_F(SimServerProgram, ExitAfterStopsWithStdinStillOpenAndPutsBackTheSimulatorsPort) {
  // The port an installed simulator published.
  ASSERT_TRUE(writeRegistryString(kPortsKey, L"SimConnect_Port_IPv4", L"500"));

  Program program(L"--no-pipe --no-ipv6 --exit-after 1");
  ASSERT_TRUE(program.waitForOutput("ready")) << program.output() << program.errors();
  EXPECT_NE(registryText(kPortsKey, L"SimConnect_Port_IPv4"), L"500");
  EXPECT_EQ(program.exitCode(), 0) << program.errors();
  EXPECT_NE(program.output().find("stopping after 1 s"), std::string::npos) << program.output();
  EXPECT_EQ(registryText(kPortsKey, L"SimConnect_Port_IPv4"), L"500");

  Program unpublished(L"--no-pipe --no-publish --exit-after 1");
  ASSERT_TRUE(unpublished.waitForOutput("ready")) << unpublished.output();
  EXPECT_EQ(registryText(kPortsKey, L"SimConnect_Port_IPv4"), L"500");
  EXPECT_EQ(unpublished.exitCode(), 0) << unpublished.errors();
}

TEST_F(SimServerProgram, BadArgumentsAndAnOccupiedPipeAreReported) {
  Program unknown(L"--frobnicate");
  EXPECT_EQ(unknown.exitCode(), 2);
  EXPECT_NE(unknown.errors().find("unknown option '--frobnicate'"), std::string::npos)
      << unknown.errors();
  EXPECT_NE(unknown.errors().find("Usage:"), std::string::npos);

  Program badNumber(L"--ipv4-port 70000");
  EXPECT_EQ(badNumber.exitCode(), 2);

  simserver::Options options;
  options.pipePath = L"\\\\.\\pipe\\simserver program occupied";
  options.serveIPv4 = options.serveIPv6 = false;
  simserver::Server occupying(options);
  occupying.start();
  Program second(L"--pipe-name \"simserver program occupied\" --no-ipv4 --no-ipv6");
  EXPECT_EQ(second.exitCode(), 1);
  EXPECT_NE(second.errors().find("already served"), std::string::npos) << second.errors();
}

} // namespace

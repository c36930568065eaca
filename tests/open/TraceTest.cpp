// The connection trace: what a scripted conversation with the stand-in server leaves in the
// trace file, that nothing is written while the trace is off, and that a trace file that can't
// be written changes nothing the exports do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "TestPrograms.h"
#include "connection/ConfigLookup.h"
#include "connection/UniqueHandle.h"
#include "diagnostics/Trace.h"
#include "include/Wirebridge.h"
#include "tests/support/ConnectedClient.h"
#include "tests/support/LocalSimulatorSetup.h"
#include "tests/support/TraceFile.h"

using namespace std::chrono_literals;

namespace {

simserver::Options ipv4Only() {
  simserver::Options options;
  options.servePipe = false;
  options.serveIPv6 = false;
  return options;
}

class Trace : public testing::Test {
protected:
  LocalSimulatorSetup setup;
  testfiles::TemporaryFile file{"", false};
};

TEST_F(Trace, RecordsEveryStepOfAScriptedConversation) {
  simserver::Server server(ipv4Only());
  server.start();
  setup.writeConfig("[SimConnect]\nMaxReceiveSize=50000\n");
  TraceSettings settings(file.path(), L"2");
  HANDLE handle = nullptr;
  ASSERT_EQ(SimConnect_Open(&handle, "trace-test", nullptr, 0, nullptr, 0), S_OK);
  ASSERT_TRUE(server.waitForMessages(1, 1, 10s));
  Collected collected;
  ASSERT_TRUE(waitUntil([&] {
    collected.dispatch(static_cast<SimClient*>(handle));
    return !collected.records.empty();
  }));
  ASSERT_EQ(SimConnect_TransmitClientEvent(handle, 0, 7, 8, 9, 0), S_OK);
  ASSERT_TRUE(server.waitForMessages(1, 2, 10s));
  ASSERT_TRUE(waitUntil([&] {
    collected.dispatch(static_cast<SimClient*>(handle));
    return collected.records.size() >= 2;
  }));
  server.closeConnection(1, simserver::CloseMode::Orderly);
  ASSERT_TRUE(waitUntil([&] { return static_cast<SimClient*>(handle)->IsLost(); }));
  EXPECT_EQ(SimConnect_TransmitClientEvent(handle, 0, 7, 8, 9, 0), HRESULT(0xC000013E));
  // The completion thread's lines reach the file by the next open at the latest.
  SimConnect_Open(nullptr, nullptr, nullptr, 0, nullptr, 0);
  const std::string text = file.read();
  const std::string port = std::to_string(server.ipv4Port());

  ASSERT_EQ(traceEvents(text, "open").size(), 2u) << text;
  EXPECT_EQ(fieldOf(traceEvents(text, "open")[0], "index"), "0");
  const auto registry = traceEvents(text, "registry");
  ASSERT_FALSE(registry.empty());
  EXPECT_EQ(fieldOf(registry[0], "ipv4"), port);
  EXPECT_EQ(fieldOf(registry[0], "ipv6"), "none");

  const auto files = traceEvents(text, "config-read");
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(fieldOf(files[2], "found"), "yes");
  EXPECT_EQ(fieldOf(files[2], "lines"), "yes");
  EXPECT_EQ(fieldOf(files[2], "MaxReceiveSize"), "50000");
  const auto effective = traceEvents(text, "effective");
  ASSERT_EQ(effective.size(), 1u);
  EXPECT_EQ(fieldOf(effective[0], "protocol"), "Pipe");
  EXPECT_EQ(fieldOf(effective[0], "protocol.from"), "default");
  EXPECT_EQ(fieldOf(effective[0], "maxReceiveSize"), "50000");
  EXPECT_EQ(fieldOf(effective[0], "maxReceiveSize.from"),
            fieldOf(files[2], "file") + " [SimConnect] MaxReceiveSize");

  const auto attempts = traceEvents(text, "attempt");
  ASSERT_EQ(attempts.size(), 3u);
  EXPECT_EQ(fieldOf(attempts[0], "transport"), "pipe");
  EXPECT_EQ(fieldOf(attempts[0], "target"), "\\\\.\\pipe\\Lockheed Martin Prepar3D v4\\SimConnect");
  EXPECT_EQ(fieldOf(attempts[0], "result"), "failed");
  EXPECT_EQ(fieldOf(attempts[0], "error"), "2");
  EXPECT_EQ(fieldOf(attempts[1], "result"), "skipped"); // no IPv6 port published
  EXPECT_EQ(fieldOf(attempts[2], "target"), "127.0.0.1:" + port);
  EXPECT_EQ(fieldOf(attempts[2], "result"), "connected");
  const std::string serial = fieldOf(attempts[2], "serial");
  EXPECT_NE(serial, "0");
  ASSERT_EQ(traceEvents(text, "host-window").size(), 1u);
  EXPECT_EQ(fieldOf(traceEvents(text, "host-window")[0], "window"), "none");

  const auto sent = traceEvents(text, "send");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(fieldOf(sent[0], "name"), "Open");
  EXPECT_EQ(fieldOf(sent[0], "type"), "0xF0000001");
  EXPECT_EQ(fieldOf(sent[0], "size"), "296");
  EXPECT_EQ(fieldOf(sent[0], "seq"), "1");
  EXPECT_EQ(fieldOf(sent[0], "serial"), serial);
  EXPECT_EQ(fieldOf(sent[1], "name"), "TransmitClientEvent");
  EXPECT_EQ(fieldOf(sent[1], "seq"), "2");
  // Level 2: the bytes follow each message line.
  EXPECT_NE(text.find("  000000  28 01 00 00 1a 00 00 00 01 00 00 f0 01 00 00 00"),
            std::string::npos);

  const auto received = traceEvents(text, "recv");
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(fieldOf(received[0], "id"), "2");
  EXPECT_EQ(fieldOf(received[0], "size"), "308");
  EXPECT_EQ(fieldOf(received[0], "serial"), serial);
  EXPECT_EQ(fieldOf(received[1], "size"), "36");

  const auto lost = traceEvents(text, "disconnect");
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(fieldOf(lost[0], "serial"), serial);
  EXPECT_EQ(fieldOf(lost[0], "reason"), "4");
  EXPECT_EQ(fieldOf(lost[0], "code"), "0xC000013E");
  const auto failed = traceEvents(text, "result");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(fieldOf(failed[0], "call"), "SimConnect_TransmitClientEvent");
  EXPECT_EQ(fieldOf(failed[0], "hr"), "0xC000013E");
  ASSERT_FALSE(traceEvents(text, "open-end").empty());
  EXPECT_EQ(fieldOf(traceEvents(text, "open-end")[0], "hr"), "0x00000000");
}

TEST_F(Trace, ASectionInDocumentsTurnsItOnWithAFileBesideIt) {
  const std::wstring documents = userDocumentsFolder();
  ASSERT_FALSE(documents.empty());
  const std::wstring settingsFile = documents + L"\\Wirebridge.cfg";
  const std::wstring traceFile = documents + L"\\wirebridge-trace-test.log";
  ASSERT_EQ(GetFileAttributesW(settingsFile.c_str()), INVALID_FILE_ATTRIBUTES)
      << "a Wirebridge.cfg of the user's is in the way";
  {
    std::ofstream(std::filesystem::path(settingsFile))
        << "[Trace]\nFile=wirebridge-trace-test.log\nLevel=1\n";
  }
  HANDLE handle = nullptr;
  EXPECT_EQ(SimConnect_Open(&handle, "documents", nullptr, 0, nullptr, 9), E_INVALIDARG);
  const bool wasOn = trace::on();
  DeleteFileW(settingsFile.c_str());
  SimConnect_Open(nullptr, nullptr, nullptr, 0, nullptr, 0); // off again, the file let go
  EXPECT_TRUE(wasOn);
  testfiles::TemporaryFile copy{"", false};
  const bool moved = MoveFileW(traceFile.c_str(), copy.path().c_str()) != 0;
  if (!moved) DeleteFileW(traceFile.c_str()); // Documents stays as it was
  ASSERT_TRUE(moved);
  const std::string text = copy.read();
  ASSERT_EQ(traceEvents(text, "open").size(), 1u) << text;
  EXPECT_EQ(fieldOf(traceEvents(text, "open")[0], "index"), "9");
  EXPECT_EQ(traceEvents(text, "config-probe").size(), 3u); // the section is nowhere
  EXPECT_EQ(fieldOf(traceEvents(text, "open-end")[0], "hr"), "0x80070057");
}

TEST_F(Trace, ASettingsFileSavedAsUtf8OrUtf16NamesAFileWithNonAsciiCharacters) {
  const std::wstring documents = userDocumentsFolder();
  ASSERT_FALSE(documents.empty());
  const std::wstring settingsFile = documents + L"\\Wirebridge.cfg";
  const std::wstring traceName = L"wirebridge-trac\u00e9-\u65e5.log";
  const std::wstring traceFile = documents + L"\\" + traceName;
  ASSERT_EQ(GetFileAttributesW(settingsFile.c_str()), INVALID_FILE_ATTRIBUTES)
      << "a Wirebridge.cfg of the user's is in the way";
  const std::string utf8 = "[Trace]\r\nFile=wirebridge-trac\xC3\xA9-\xE6\x97\xA5.log\r\n";
  std::string utf16 = "\xFF\xFE";
  for (const wchar_t c : L"[Trace]\r\nFile=" + traceName + L"\r\n") {
    utf16 += char(c & 0xFF);
    utf16 += char(c >> 8);
  }
  for (const std::string& bytes : {utf8, "\xEF\xBB\xBF" + utf8, utf16}) {
    std::ofstream(std::filesystem::path(settingsFile), std::ios::binary) << bytes;
    HANDLE handle = nullptr;
    EXPECT_EQ(SimConnect_Open(&handle, "documents", nullptr, 0, nullptr, 9), E_INVALIDARG);
    DeleteFileW(settingsFile.c_str());
    SimConnect_Open(nullptr, nullptr, nullptr, 0, nullptr, 0); // off again, the file let go
    EXPECT_NE(GetFileAttributesW(traceFile.c_str()), INVALID_FILE_ATTRIBUTES)
        << "no trace file with the name given, for a file of " << bytes.size() << " bytes";
    DeleteFileW(traceFile.c_str()); // Documents stays as it was
  }
}

TEST_F(Trace, NothingIsWrittenWhileOff) {
  simserver::Server server(ipv4Only());
  server.start();
  {
    // Level 0 names a file and still means off.
    TraceSettings settings(file.path(), L"0");
    HANDLE handle = nullptr;
    ASSERT_EQ(SimConnect_Open(&handle, "quiet", nullptr, 0, nullptr, 0), S_OK);
    EXPECT_FALSE(trace::on());
    EXPECT_EQ(SimConnect_TransmitClientEvent(handle, 0, 1, 2, 3, 4), S_OK);
    ASSERT_TRUE(server.waitForMessages(1, 2, 10s));
  }
  EXPECT_EQ(GetFileAttributesW(file.path().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Trace, AFileThatCannotBeWrittenChangesNothing) {
  simserver::Server server(ipv4Only());
  server.start();
  // Held without sharing by someone else, and in a folder that does not exist.
  const HANDLE held = CreateFileW(file.path().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  for (const std::wstring& path : {file.path(), file.path() + L".missing\\trace.log"}) {
    TraceSettings settings(path, L"2");
    HANDLE handle = nullptr;
    ASSERT_EQ(SimConnect_Open(&handle, "unwritable", nullptr, 0, nullptr, 0), S_OK);
    EXPECT_FALSE(trace::on());
    EXPECT_EQ(SimConnect_TransmitClientEvent(handle, 0, 1, 2, 3, 4), S_OK);
    EXPECT_EQ(SimConnect_TransmitClientEvent(nullptr, 0, 1, 2, 3, 4), E_FAIL);
  }
  ASSERT_TRUE(server.waitForMessages(2, 2, 10s));
  CloseHandle(held);
  EXPECT_EQ(file.read(), "");
}

TEST_F(Trace, TheFileIsRotatedOnceAtItsLimitAndReadableWhileItGrows) {
  simserver::Options options = ipv4Only();
  options.answerRequests = false;
  simserver::Server server(options);
  server.start();
  TraceSettings settings(file.path(), L"2", L"16");
  HANDLE handle = nullptr;
  ASSERT_EQ(SimConnect_Open(&handle, "rotation", nullptr, 0, nullptr, 0), S_OK);
  // Each event costs a line and a three-line dump: 200 of them are several times 16 KiB.
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(SimConnect_TransmitClientEvent(handle, 0, 1, 2, 3, 4), S_OK);
  ASSERT_TRUE(server.waitForMessages(1, 201, 20s));
  SimConnect_Open(nullptr, nullptr, nullptr, 0, nullptr, 0);
  const std::wstring rotated = file.path() + L".1";
  WIN32_FILE_ATTRIBUTE_DATA current{}, old{};
  ASSERT_TRUE(GetFileAttributesExW(file.path().c_str(), GetFileExInfoStandard, &current));
  ASSERT_TRUE(GetFileAttributesExW(rotated.c_str(), GetFileExInfoStandard, &old));
  EXPECT_LE(current.nFileSizeLow, 16u * 1024 + 4096); // the limit and at most one write more
  EXPECT_GT(old.nFileSizeLow, 8u * 1024);
  // The library still holds the file open; it can be read all the same.
  EXPECT_NE(file.read().find(" send "), std::string::npos);
  DeleteFileW(rotated.c_str());
}

TEST_F(Trace, TheEffectiveLineShowsTheAddressAndPortThatAreAttempted) {
  simserver::Server server(ipv4Only());
  server.start();
  // No Address: TCP means this machine's loopback, on the port the simulator publishes.
  setup.writeConfig("[SimConnect]\nProtocol=IPv4\n");
  TraceSettings settings(file.path(), L"1");
  HANDLE handle = nullptr;
  ASSERT_EQ(SimConnect_Open(&handle, "effective", nullptr, 0, nullptr, 0), S_OK);
  const std::string text = file.read();
  const auto effective = traceEvents(text, "effective");
  ASSERT_EQ(effective.size(), 1u) << text;
  EXPECT_EQ(fieldOf(effective[0], "address"), "127.0.0.1");
  EXPECT_EQ(fieldOf(effective[0], "port"), std::to_string(server.ipv4Port()));
  EXPECT_EQ(fieldOf(effective[0], "port.from"), "registry SimConnect_Port_IPv4");
  const auto attempts = traceEvents(text, "attempt");
  ASSERT_FALSE(attempts.empty());
  EXPECT_EQ(fieldOf(attempts[0], "target"), "127.0.0.1:" + std::to_string(server.ipv4Port()));
}

TEST_F(Trace, AFileDeletedWhileInUseIsCreatedAgainAtTheNextOpen) {
  simserver::Server server(ipv4Only());
  server.start();
  TraceSettings settings(file.path(), L"1");
  HANDLE first = nullptr;
  ASSERT_EQ(SimConnect_Open(&first, "first", nullptr, 0, nullptr, 0), S_OK);
  ASSERT_TRUE(DeleteFileW(file.path().c_str()));
  HANDLE second = nullptr;
  ASSERT_EQ(SimConnect_Open(&second, "second", nullptr, 0, nullptr, 0), S_OK);
  const std::string text = file.read();
  EXPECT_EQ(traceEvents(text, "trace-start").size(), 1u) << text;
  EXPECT_EQ(traceEvents(text, "open").size(), 1u) << text;
  EXPECT_EQ(traceEvents(text, "open-end").size(), 1u) << text;
}

// A thread that is joined when it goes out of scope, so that a failed assertion cannot leave it
// running.
class JoiningThread {
public:
  template <typename Body>
  explicit JoiningThread(Body&& body) : thread_(std::forward<Body>(body)) {}
  ~JoiningThread() { thread_.join(); }
  JoiningThread(const JoiningThread&) = delete;
  JoiningThread& operator=(const JoiningThread&) = delete;

private:
  std::thread thread_;
};

// Runs a function when it goes out of scope.
class AtExit {
public:
  explicit AtExit(std::function<void()> run) : run_(std::move(run)) {}
  ~AtExit() { run_(); }
  AtExit(const AtExit&) = delete;
  AtExit& operator=(const AtExit&) = delete;

private:
  std::function<void()> run_;
};

TEST_F(Trace, AStalledTraceFileHoldsUpNoOtherClient) {
  simserver::Server server(ipv4Only());
  server.start();
  HANDLE quiet = nullptr; // opened while the trace is off
  ASSERT_EQ(SimConnect_Open(&quiet, "quiet", nullptr, 0, nullptr, 0), S_OK);
  // A pipe that nobody reads stands for a trace file on a stalled device: a write blocks once
  // its buffer is full.
  const std::wstring pipePath =
      L"\\\\.\\pipe\\wirebridge-trace-stall-" + std::to_wstring(GetCurrentProcessId());
  const UniqueFileHandle pipe(CreateNamedPipeW(pipePath.c_str(), PIPE_ACCESS_INBOUND,
                                               PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                                               nullptr));
  ASSERT_TRUE(pipe.valid());
  constexpr int kBusyRequests = 5000;
  std::atomic<int> sent{0};
  int stalledAt = 0;
  int afterQuiet = 0;
  bool quietDone = false;
  std::string drained;
  {
    std::promise<void> drain;
    bool draining = false;
    const auto startDraining = [&] {
      if (!std::exchange(draining, true)) drain.set_value();
    };
    JoiningThread drainer([&, started = drain.get_future()]() mutable {
      started.wait();
      char chunk[65536];
      DWORD read = 0;
      // Ends when the trace lets go of the pipe (or never opened it).
      while (ReadFile(pipe.get(), chunk, sizeof chunk, &read, nullptr))
        drained.append(chunk, read);
    });
    TraceSettings settings(pipePath, L"2");
    // Made after the settings, so gone before them: the pipe is read before the trace turns off.
    const AtExit unblock(startDraining);
    HANDLE busy = nullptr;
    ASSERT_EQ(SimConnect_Open(&busy, "busy", nullptr, 0, nullptr, 0), S_OK);
    ASSERT_TRUE(trace::on());
    // One thread sends until its trace write blocks in the full pipe.
    JoiningThread writer([&] {
      for (int i = 0; i < kBusyRequests; ++i) {
        SimConnect_TransmitClientEvent(busy, 0, 1, 2, 3, 4);
        ++sent;
      }
    });
    for (int last = -1; sent != last && sent < kBusyRequests; Sleep(500))
      last = sent;
    stalledAt = sent;
    // The other client's requests wait neither for that write nor for a lock it holds. They also
    // overflow the trace's buffer, whose lost lines are counted.
    auto quietRequests = std::async(std::launch::async, [&] {
      for (int i = 0; i < 15000; ++i) {
        if (SimConnect_TransmitClientEvent(quiet, 0, 1, 2, 3, 4) != S_OK) return false;
      }
      return true;
    });
    quietDone = quietRequests.wait_for(60s) == std::future_status::ready;
    afterQuiet = sent;
    startDraining(); // the stalled write goes on
    EXPECT_TRUE(quietRequests.get());
  }
  EXPECT_LT(stalledAt, kBusyRequests) << "the trace pipe never filled";
  EXPECT_EQ(afterQuiet, stalledAt) << "the busy client's trace write was not stalled";
  EXPECT_TRUE(quietDone) << "a request waited for another thread's trace write";
  const auto dropped = traceEvents(drained, "dropped");
  ASSERT_FALSE(dropped.empty());
  EXPECT_GT(std::stoul(fieldOf(dropped[0], "lines")), 0u);
  EXPECT_FALSE(traceEvents(drained, "send").empty());
}
} // namespace

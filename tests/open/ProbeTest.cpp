// wirebridge-probe.exe against the stand-in server and raw loopback listeners: for each order of
// attempts the open sequence can take, the probe reports the attempts the library really made,
// in order, with their outcome; it exits 0 only when the server answered the open, reports a
// lost connection with its reason, names the values that did not take effect, and answers every
// bad command line and unusable library with its own exit code (and one JSON object).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestPrograms.h"
#include "tests/support/LocalSimulatorSetup.h"
#include "tests/support/TraceFile.h"
#include "tools/simserver/Server.h"

namespace {

struct ProbeRun {
  long exitCode = -1;
  std::string output;

  // "transport:result" of every attempt, in the order printed.
  std::vector<std::string> attempts() const {
    std::vector<std::string> found;
    static const std::regex attempt(
        R"re(\{"transport":"(\w+)","target":"[^"]*","result":"(\w+)","code":(\d+),"ms":\d+[,}])re");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), attempt);
         it != std::sregex_iterator(); ++it) {
      found.push_back((*it)[1].str() + ":" + (*it)[2].str());
    }
    return found;
  }
  bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
  // Exactly one JSON object on one line, and nothing else.
  bool oneJsonObject() const {
    return !output.empty() && output.front() == '{' && output.find('\n') == output.size() - 1 &&
           output[output.size() - 2] == '}';
  }
};

ProbeRun runProbe(const std::wstring& arguments) {
  testfiles::ChildProgram probe(testfiles::windowsPath(PROBE_EXE), arguments);
  EXPECT_TRUE(probe.started());
  ProbeRun run;
  run.exitCode = probe.finish(60000);
  // Standard output is in text mode: lines end with CR LF.
  for (const char c : probe.output()) {
    if (c != '\r') run.output += c;
  }
  return run;
}

using Attempts = std::vector<std::string>;

// A TCP listener on 127.0.0.1 that is no SimConnect server: it accepts and says nothing, or
// answers every connection with `reply` and then keeps it open.
class LoopbackListener {
public:
  explicit LoopbackListener(std::string reply = {}) : reply_(std::move(reply)) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no loopback listener: " << WSAGetLastError();
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackListener() {
    closesocket(listener_); // ends the accept
    thread_.join();
    for (const SOCKET accepted : accepted_)
      closesocket(accepted);
    WSACleanup();
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  int accepted() const { return acceptedCount_.load(); }

private:
  void serve() {
    for (;;) {
      const SOCKET accepted = accept(listener_, nullptr, nullptr);
      if (accepted == INVALID_SOCKET) return;
      accepted_.push_back(accepted);
      ++acceptedCount_;
      if (!reply_.empty()) send(accepted, reply_.data(), int(reply_.size()), 0);
    }
  }

  std::string reply_;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::vector<SOCKET> accepted_; // touched by the serving thread until it is joined
  std::atomic<int> acceptedCount_{0};
  std::thread thread_;
};

std::wstring windowsTempFolder() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  std::wstring path(folder, length);
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

std::string tcpSection(int index, uint16_t port) {
  return "[SimConnect." + std::to_string(index) +
         "]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=" + std::to_string(port) + "\n";
}

class Probe : public testing::Test {
protected:
  LocalSimulatorSetup setup;
};

TEST_F(Probe, NothingListeningTriesEveryFallbackAndExitsOne) {
  const ProbeRun run = runProbe(L"--json");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_EQ(run.attempts(),
            (Attempts{"pipe:failed", "ipv6:skipped", "ipv4:skipped", "pipe:failed"}));
  EXPECT_TRUE(run.has(R"("index":0,)"));
  EXPECT_TRUE(run.has(R"("registry":{"ipv4":null,"ipv6":null})"));
  EXPECT_TRUE(run.has(R"("connected":false)"));
  EXPECT_TRUE(run.has(R"("clientId":null)"));
  // The pipe that is not there: ERROR_FILE_NOT_FOUND from the library's own attempt.
  EXPECT_TRUE(run.has(R"("result":"failed","code":2,)"));

  const ProbeRun text = runProbe(L"");
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_TRUE(text.has("Attempts, in order:\n  1. pipe \\\\.\\pipe\\Lockheed Martin Prepar3D "
                       "v4\\SimConnect: failed, error 2"))
      << text.output;
  EXPECT_TRUE(text.has("  2. ipv6 ::1: skipped (no port)"));
  EXPECT_TRUE(text.has("not connected"));
  EXPECT_TRUE(text.has("\nVerdict: No process serves the simulator's pipe and no ports are "
                       "published: is the simulator running?\nNext steps:\n  1. Start Prepar3D"));
  EXPECT_TRUE(text.has("error 2 (file not found: no such pipe)"));
  EXPECT_TRUE(text.has("0x80004005 (E_FAIL: failed)"));
}

TEST_F(Probe, PipeOnThisMachineConnectsFirstAndTimesARequest) {
  simserver::Server server(serving(true, true, true));
  server.start();
  const ProbeRun run = runProbe(L"--json --timeout-ms 10000");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.attempts(), (Attempts{"pipe:connected"}));
  ASSERT_TRUE(server.waitForConnections(1, std::chrono::seconds(10)));
  const auto info = server.info(server.connections()[0]);
  ASSERT_TRUE(info);
  EXPECT_TRUE(run.has(R"("openReply":{"id":2,"length":308},"clientId":)" +
                      std::to_string(info->clientId) + ","));
  EXPECT_TRUE(run.has(R"("roundTrip":{"answered":true,)"));
  EXPECT_TRUE(run.has(R"("answered":true,"lost":null,"verdict":"All is well: )"));
  EXPECT_TRUE(run.has(R"("advice":[],"warnings":[],"error":null})"));
  EXPECT_TRUE(run.has(R"("registry":{"ipv4":")" + std::to_string(server.ipv4Port()) +
                      R"(","ipv6":")" + std::to_string(server.ipv6Port()) + "\"}"));

  const ProbeRun text = runProbe(L"--timeout-ms 10000");
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_TRUE(text.has("Open reply: id 2, 308 bytes, client id ")) << text.output;
  EXPECT_TRUE(text.has("Round trip of RequestSystemState: "));
  EXPECT_TRUE(text.has("\nVerdict: All is well: the server answered the open over pipe"));
  EXPECT_FALSE(text.has("Next steps"));
}

TEST_F(Probe, WithoutThePipeTheLoopbacksFollowAndAnUnansweredRequestIsReported) {
  simserver::Options options = serving(false, true, false);
  options.answerRequests = false; // only the open reply
  simserver::Server server(options);
  server.start();
  const ProbeRun run = runProbe(L"--json --timeout-ms 300");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.attempts(), (Attempts{"pipe:failed", "ipv6:skipped", "ipv4:connected"}));
  EXPECT_TRUE(run.has(R"("roundTrip":{"answered":false,"ms":null})"));
}

TEST_F(Probe, PipeOnAnotherMachineIsTheOnlyAttempt) {
  simserver::Server server(serving(false, true, true));
  server.start();
  setup.writeConfig("[SimConnect.2]\nProtocol=Pipe\nAddress=127.0.0.1\n");
  const ProbeRun run = runProbe(L"--json --index 2");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_EQ(run.attempts(), (Attempts{"pipe:failed"}));
  EXPECT_TRUE(run.has(R"("index":2,)"));
  EXPECT_TRUE(run.has(R"("address":{"value":"127.0.0.1","source":")"));
  EXPECT_TRUE(run.has(R"(SimConnect.cfg [SimConnect.2] Address"})"));
}

TEST_F(Probe, IPv6ToLoopbackFallsBackToIPv4) {
  simserver::Server server(serving(false, true, false));
  server.start();
  setup.writeConfig("[SimConnect.4]\nProtocol=IPv6\nAddress=::1\nPort=1\n");
  const ProbeRun run = runProbe(L"--json --index 4");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.attempts(), (Attempts{"ipv6:failed", "ipv4:connected"}));
  EXPECT_TRUE(run.has(R"("target":"[::1]:1")"));
  EXPECT_TRUE(run.has(R"("target":"127.0.0.1:)" + std::to_string(server.ipv4Port()) + "\""));
}

TEST_F(Probe, TcpToAnotherHostIsTheOnlyAttempt) {
  simserver::Server server(serving(true, true, true));
  server.start();
  // Not the loopback names the fallbacks look for (though on the loopback network).
  setup.writeConfig("[SimConnect.5]\nProtocol=IPv6\nAddress=::ffff:127.0.0.2\nPort=1\n"
                    "[SimConnect.6]\nProtocol=IPv4\nAddress=127.0.0.2\nPort=1\n");
  const ProbeRun ipv6 = runProbe(L"--json --index 5");
  EXPECT_EQ(ipv6.exitCode, 1) << ipv6.output;
  EXPECT_EQ(ipv6.attempts(), (Attempts{"ipv6:failed"}));
  const ProbeRun ipv4 = runProbe(L"--json --index 6");
  EXPECT_EQ(ipv4.exitCode, 1) << ipv4.output;
  EXPECT_EQ(ipv4.attempts(), (Attempts{"ipv4:failed"}));
  EXPECT_TRUE(server.connections().empty());
}

TEST_F(Probe, IPv4ToLoopbackEndsWithTheStandardPipe) {
  simserver::Server server(serving(true, false, false));
  server.start();
  setup.writeConfig("[SimConnect.3]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=1\n");
  const ProbeRun run = runProbe(L"--json --index 3");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.attempts(), (Attempts{"ipv4:failed", "pipe:connected"}));
}

TEST_F(Probe, MissingOrEmptySectionStopsBeforeAnyAttempt) {
  simserver::Server server(serving(true, true, true));
  server.start();
  setup.writeConfig("[SimConnect.7]\n");
  const ProbeRun empty = runProbe(L"--json --index 7");
  EXPECT_EQ(empty.exitCode, 1) << empty.output;
  EXPECT_TRUE(empty.has(R"("attempts":[])"));
  EXPECT_TRUE(empty.has(R"("effective":null)"));
  EXPECT_TRUE(empty.has(R"(SimConnect.cfg","found":true,"section":false,"sectionEmpty":true)"));
  EXPECT_TRUE(empty.has(R"("openResult":2147942487)")); // E_INVALIDARG

  const ProbeRun missing = runProbe(L"--json --index 8");
  EXPECT_EQ(missing.exitCode, 1) << missing.output;
  EXPECT_TRUE(missing.has(R"("attempts":[])"));
  EXPECT_TRUE(missing.has(R"(SimConnect.cfg","found":true,"section":false,"sectionEmpty":false)"));

  const ProbeRun text = runProbe(L"--index 7");
  EXPECT_TRUE(text.has("section present but empty (counts as absent)")) << text.output;
  EXPECT_TRUE(text.has("Attempts, in order:\n  none\n"));
  EXPECT_TRUE(server.connections().empty());
}

TEST_F(Probe, SilentListenerIsAConnectionWithoutAnswer) {
  const LoopbackListener listener;
  setup.writeConfig(tcpSection(10, listener.port()));
  const ProbeRun run = runProbe(L"--json --index 10 --timeout-ms 500");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_EQ(run.attempts(), (Attempts{"ipv4:connected"}));
  EXPECT_TRUE(run.has(R"("answered":false,"lost":null,)"));
  EXPECT_TRUE(run.has("did not answer the open within 500 ms: it is not a SimConnect server, or "
                      "it hangs."));
  EXPECT_EQ(listener.accepted(), 1);
}

TEST_F(Probe, ListenerAnsweringWithOtherBytesIsALossReportedAtOnce) {
  const LoopbackListener listener("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
  setup.writeConfig(tcpSection(10, listener.port()));
  // Far beyond the wait for the child: an answer proves the probe stopped at the loss.
  const ProbeRun run = runProbe(L"--index 10 --json --timeout-ms 600000");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(run.oneJsonObject()) << run.output;
  EXPECT_TRUE(run.has(R"("answered":false,"lost":{"reason":"a message above the receive limit: )"
                      R"(not a SimConnect server?","code":)"));
}

TEST_F(Probe, ServerClosingRightAfterTheOpenReplyIsALossReportedAtOnce) {
  simserver::Options options = serving(true, false, false);
  options.faults.closeAfterMessages = 1; // the Open message, answered first
  simserver::Server server(options);
  server.start();
  const ProbeRun run = runProbe(L"--json --timeout-ms 600000");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(run.has(R"("answered":true,"lost":{"reason":"the server closed the connection )"
                      R"(right after the open reply","code":)"));

  const ProbeRun text = runProbe(L"--timeout-ms 600000");
  EXPECT_EQ(text.exitCode, 1) << text.output;
  EXPECT_TRUE(text.has("Connection lost: the server closed the connection right after the open "
                       "reply; code 0x"))
      << text.output;
  EXPECT_FALSE(text.has("within the time-out"));
}

// Relies on a TCP port outside 1..65535 counting as no port in the library: 70000 must not wrap
// around to 4464.
TEST_F(Probe, PortAboveTheRangeReachesNoOtherPort) {
  simserver::Options options = serving(false, true, false);
  options.ipv4Port = 4464; // 70000 - 65536
  simserver::Server server(options);
  server.start();
  setup.writeConfig("[SimConnect.11]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=70000\n");
  const ProbeRun run = runProbe(L"--json --index 11");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(server.connections().empty());
  EXPECT_TRUE(run.has(R"("key":"Port","value":"70000","text":"not a port number from 1 to 65535)"));
  EXPECT_TRUE(run.has(R"(Set Protocol=IPv4 and Port=4464 in )")) << run.output;
}

TEST_F(Probe, UnknownProtocolAndTrailingCommentAreNamedWithTheirEffect) {
  setup.writeConfig("[SimConnect.12]\nProtocol=TCP\n"
                    "[SimConnect.13]\nProtocol=IPv4 ; TCP on this machine\n");
  const ProbeRun tcp = runProbe(L"--json --index 12");
  EXPECT_EQ(tcp.exitCode, 1) << tcp.output;
  ASSERT_FALSE(tcp.attempts().empty());
  EXPECT_EQ(tcp.attempts().front(), "pipe:failed"); // the protocol stayed Pipe
  EXPECT_TRUE(tcp.has(R"("warnings":[{"file":")"));
  EXPECT_TRUE(tcp.has(R"(SimConnect.cfg","section":"SimConnect.12","key":"Protocol","value":"TCP",)"
                      R"("text":"not one of Auto, Pipe, IPv4, IPv6: ignored)"));
  EXPECT_TRUE(tcp.has(R"("advice":["Fix Protocol in )"));

  const ProbeRun comment = runProbe(L"--index 13");
  EXPECT_EQ(comment.exitCode, 1) << comment.output;
  EXPECT_TRUE(comment.has("Values rejected, ignored or cut:\n"));
  EXPECT_TRUE(comment.has("[SimConnect.13] Protocol=IPv4 ; TCP on this machine\n    text after "
                          "the value looks like a comment"))
      << comment.output;
}

TEST_F(Probe, HelpPrintsTheUsageAndExitsZero) {
  const ProbeRun run = runProbe(L"--help");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output.rfind("usage: wirebridge-probe", 0), 0u) << run.output;
}

TEST_F(Probe, EveryUsageErrorIsExitTwoWithOneObjectNamingTheArgument) {
  const std::vector<std::pair<std::wstring, std::string>> cases = {
      {L"--index x --json", "--index"},           {L"--json --index 4294967296", "--index"},
      {L"--json --timeout-ms 0", "--timeout-ms"}, {L"--timeout-ms 600001 --json", "--timeout-ms"},
      {L"--colour --json", "--colour"},           {L"--json --dll", "--dll"},
  };
  for (const auto& [arguments, argument] : cases) {
    const ProbeRun run = runProbe(arguments);
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_TRUE(run.oneJsonObject()) << run.output;
    EXPECT_TRUE(run.has(R"("error":{"kind":"usage","argument":")" + argument + R"(","code":null,)"))
        << run.output;
  }
  const ProbeRun text = runProbe(L"--timeout-ms 0");
  EXPECT_EQ(text.exitCode, 2);
  EXPECT_TRUE(text.has("--timeout-ms 0: not a number from 1 to 600000")) << text.output;
}

TEST_F(Probe, EveryLibraryItCannotUseIsExitThreeWithOneObject) {
  const testfiles::TemporaryFile notALibrary("not a library\n");
  const std::vector<std::pair<std::wstring, std::string>> cases = {
      {L"--dll Z:\\nonexistent\\Wirebridge.dll", R"("code":126,)"},
      {L"--dll \"" + notALibrary.path() + L"\"", R"("code":193,)"},
      {L"--dll C:\\windows\\system32\\version.dll", "lacks the SimConnect exports"},
      {L"--dll \"" + testfiles::windowsPath(UNTRACED_DLL) + L"\"", "wrote no trace"},
  };
  for (const auto& [arguments, detail] : cases) {
    const ProbeRun run = runProbe(L"--json " + arguments);
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_TRUE(run.oneJsonObject()) << run.output;
    EXPECT_TRUE(run.has(R"("error":{"kind":"dll","argument":null,)")) << run.output;
    EXPECT_TRUE(run.has(detail)) << run.output;
  }
  const ProbeRun text = runProbe(L"--dll \"" + testfiles::windowsPath(UNTRACED_DLL) + L"\"");
  EXPECT_EQ(text.exitCode, 3);
  EXPECT_TRUE(text.has("wrote no trace: it is older than this probe")) << text.output;
  EXPECT_FALSE(text.has("no ports"));
}

TEST_F(Probe, TraceSettingsSayWhereFromWhichFileAndWhyItCannotWrite) {
  const testfiles::TemporaryFile existing("");
  {
    const TraceSettings settings(existing.path(), L"verbose", L"8");
    const ProbeRun run = runProbe(L"--trace-settings");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(run.has("Environment variable WIREBRIDGE_TRACE: set (it wins)")) << run.output;
    EXPECT_TRUE(run.has("WIREBRIDGE_TRACE_LEVEL=verbose: not 0, 1 or 2: taken as 0"));
    EXPECT_TRUE(run.has("WIREBRIDGE_TRACE_MAX_KB=8: not a number of kilobytes"));
    EXPECT_TRUE(run.has("Verdict: The trace is off: the environment variable WIREBRIDGE_TRACE"));
  }
  {
    const TraceSettings settings(L"Z:\\nonexistent-folder\\trace.log", L"1");
    const ProbeRun run = runProbe(L"--json --trace-settings");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(run.oneJsonObject()) << run.output;
    EXPECT_TRUE(
        run.has(R"("writable":false,"cannot":"the folder Z:\\nonexistent-folder does not exist")"))
        << run.output;
  }
  {
    // A folder with the file's name.
    const TraceSettings settings(windowsTempFolder(), L"1");
    const ProbeRun run = runProbe(L"--trace-settings");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(run.has(": a folder has the file's name.")) << run.output;
  }
  const TraceSettings settings(existing.path(), L"2");
  const ProbeRun run = runProbe(L"--trace-settings --json");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(run.has(R"("source":"environment",)"));
  EXPECT_TRUE(run.has(R"("on":true,"level":2,"maxSizeKB":8192,"writable":true,"cannot":null,)"
                      R"("problems":[]})"))
      << run.output;
}

TEST_F(Probe, BadCommandLineExitsTwo) {
  EXPECT_EQ(runProbe(L"--index").exitCode, 2);
  EXPECT_EQ(runProbe(L"--index x").exitCode, 2);
  EXPECT_EQ(runProbe(L"--colour").exitCode, 2);
}

} // namespace

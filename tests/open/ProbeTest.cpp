// wirebridge-probe.exe against the stand-in server: for each order of attempts the open sequence
// can take, the probe reports the attempts the library really made, in order, with their
// outcome, and exits 0 only when a connection was made.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "TestPrograms.h"
#include "tests/support/LocalSimulatorSetup.h"
#include "tools/simserver/Server.h"

namespace {

struct ProbeRun {
  long exitCode = -1;
  std::string output;

  // "transport:result" of every attempt, in the order printed.
  std::vector<std::string> attempts() const {
    std::vector<std::string> found;
    static const std::regex attempt(
        R"re(\{"transport":"(\w+)","target":"[^"]*","result":"(\w+)","code":(\d+),"ms":\d+\})re");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), attempt);
         it != std::sregex_iterator(); ++it) {
      found.push_back((*it)[1].str() + ":" + (*it)[2].str());
    }
    return found;
  }
  bool has(const std::string& text) const { return output.find(text) != std::string::npos; }
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
  EXPECT_TRUE(run.has(R"("registry":{"ipv4":")" + std::to_string(server.ipv4Port()) +
                      R"(","ipv6":")" + std::to_string(server.ipv6Port()) + "\"}"));

  const ProbeRun text = runProbe(L"--timeout-ms 10000");
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_TRUE(text.has("Open reply: id 2, 308 bytes, client id ")) << text.output;
  EXPECT_TRUE(text.has("Round trip of RequestSystemState: "));
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

TEST_F(Probe, BadCommandLineExitsTwo) {
  EXPECT_EQ(runProbe(L"--index").exitCode, 2);
  EXPECT_EQ(runProbe(L"--index x").exitCode, 2);
  EXPECT_EQ(runProbe(L"--colour").exitCode, 2);
}

} // namespace

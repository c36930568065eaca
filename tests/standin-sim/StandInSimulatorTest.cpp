// The stand-in simulator end to end with the real Wirebridge.dll: the sample add-on inside the
// simulator's process attaches through the main window and moves to the host path after its open
// reply; external sample clients in their own processes are answered over the pipe and IPv4.
#include <gtest/gtest.h>

#include "TestPrograms.h"
#include "tools/standin-sim/StandInSimulator.h"
#include "tools/standin-sim/VrModeSetting.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kOpen = 0xF0000001;
constexpr uint32_t kMap = 0xF0000004;
constexpr uint32_t kTransmit = 0xF0000005;
constexpr uint32_t kAddToDefinition = 0xF000000C;
constexpr uint32_t kRequestData = 0xF000000E;
constexpr uint32_t kSetData = 0xF0000010;
constexpr uint32_t kRequestState = 0xF0000035;

// The data record that answers the sample's request 20 after it set 3500.0 (a double) on
// definition 1.
constexpr char kDataReply[] =
    "reply Data request=20 definition=1 object=0 period=1 flags=0x0 "
    "payloadBytes=8 entries=1 payload=[00 00 00 00 00 58 ab 40] (48 bytes)";

standin::StandInOptions addonRun() {
  standin::StandInOptions options;
  options.addonPath = testfiles::windowsPath(SAMPLE_ADDON_DLL);
  options.transcriptToStdout = false;
  options.maxSeconds = 30;
  return options;
}

size_t linesWith(const std::vector<std::string>& lines, const std::string& channel,
                 const std::string& text) {
  size_t count = 0;
  for (const std::string& line : lines)
    if (line.find(" " + channel + " ") != std::string::npos && line.find(text) != std::string::npos)
      ++count;
  return count;
}

std::string problemsText(const standin::StandInResult& result) {
  std::string text;
  for (const std::string& problem : result.problems)
    text += "\n  " + problem;
  return text;
}

const standin::ConnectionReport* addonConnection(const standin::StandInResult& result) {
  for (const standin::ConnectionReport& connection : result.connections)
    if (connection.addon) return &connection;
  return nullptr;
}

TEST(StandInAddon, RequestsAfterTheRegistrationTravelThroughTheHostPath) {
  testfiles::TemporaryFile settings("[Loading]\r\nForceVRMode = 1\r\n\r\n");
  standin::StandInOptions options = addonRun();
  options.settingsFile = settings.path();

  const standin::StandInResult result = standin::simulate(options);

  ASSERT_TRUE(result.passed) << problemsText(result);
  EXPECT_TRUE(result.vrMode.on);
  EXPECT_EQ(linesWith(result.transcript, "addon", "start: settings: VR mode on"), 1u);
  EXPECT_TRUE(result.addonDone);
  EXPECT_EQ(result.addonStopResult, 0);

  // Attach at the open (remover query, then the pump), registration after the open reply.
  const standin::HostSummary& host = result.host;
  EXPECT_EQ(host.commandKinds, (std::vector<uint32_t>{5, 4, 1}));
  EXPECT_EQ(linesWith(result.transcript, "host", "SimConnect_CallDispatch of "), 1u)
      << "the pump registered is not the library's SimConnect_CallDispatch";
  ASSERT_EQ(host.clients.size(), 1u);
  EXPECT_EQ(host.clients[0].acceptResult, 1);

  // Over the pipe only what was sent before the registration; everything after via hostSend.
  const standin::ConnectionReport* pipe = addonConnection(result);
  ASSERT_NE(pipe, nullptr);
  EXPECT_EQ(pipe->endpoint, "pipe");
  EXPECT_EQ(pipe->clientId, host.clients[0].clientId);
  EXPECT_EQ(pipe->requestTypes, (std::vector<uint32_t>{kOpen, kRequestState}));
  EXPECT_EQ(host.requestTypes, (std::vector<uint32_t>{kMap, kAddToDefinition, kSetData,
                                                      kRequestData, kTransmit, kRequestState}));
  EXPECT_EQ(result.connections.size(), 1u);

  // Every answer delivered, dispatched by the pump-all call and released exactly once.
  EXPECT_EQ(host.buffersAllocated, 6u);
  EXPECT_EQ(host.buffersSent, 6u);
  EXPECT_EQ(host.deliveries, 6u);
  EXPECT_EQ(host.releases, 6u);
  EXPECT_EQ(host.releasesInsidePump, 6u);
  EXPECT_EQ(host.deliveriesOutstanding, 0u);
  EXPECT_GE(host.pumpCalls, 1u);
  EXPECT_EQ(linesWith(result.transcript, "addon", std::string("pump: ") + kDataReply), 1u);
  EXPECT_EQ(
      linesWith(result.transcript, "addon", "reply SystemState request=1 integer=1 string=\"Sim\""),
      1u);
}

TEST(StandInClients, PipeAndIPv4ClientsAreAnsweredWhileTheAddonRuns) {
  std::unique_ptr<testfiles::ChildProgram> pipeClient;
  std::unique_ptr<testfiles::ChildProgram> tcpClient;
  standin::StandInOptions options = addonRun();
  options.expectClients = 2;
  options.clientWaitSeconds = 60;
  options.onReady = [&](const standin::StandInReady& ready) {
    EXPECT_NE(ready.ipv4Port, 0);
    const std::wstring program = testfiles::windowsPath(SAMPLE_CLIENT_EXE);
    pipeClient = std::make_unique<testfiles::ChildProgram>(program, L"--transport pipe");
    tcpClient = std::make_unique<testfiles::ChildProgram>(program, L"--transport ipv4");
  };

  const standin::StandInResult result = standin::simulate(options);

  ASSERT_TRUE(pipeClient && tcpClient);
  const long pipeExit = pipeClient->finish(30000);
  const long tcpExit = tcpClient->finish(30000);
  const std::string pipeOutput = pipeClient->output();
  const std::string tcpOutput = tcpClient->output();
  EXPECT_EQ(pipeExit, 0) << pipeOutput;
  EXPECT_EQ(tcpExit, 0) << tcpOutput;
  ASSERT_TRUE(result.passed) << problemsText(result);
  for (const std::string* output : {&pipeOutput, &tcpOutput}) {
    EXPECT_NE(output->find(kDataReply), std::string::npos) << *output;
    EXPECT_NE(output->find("reply Event group=1 event=7 data=1 object=0 flags=0x10"),
              std::string::npos)
        << *output;
    EXPECT_NE(output->find("PASS: all replies arrived (7 records)"), std::string::npos) << *output;
  }

  const std::vector<uint32_t> everyKind{kOpen,        kMap,      kAddToDefinition, kSetData,
                                        kRequestData, kTransmit, kRequestState};
  std::vector<std::string> externalEndpoints;
  for (const standin::ConnectionReport& connection : result.connections) {
    if (connection.addon) continue;
    externalEndpoints.push_back(connection.endpoint);
    EXPECT_EQ(connection.requestTypes, everyKind) << "connection " << connection.id;
    EXPECT_TRUE(connection.closedByClient) << "connection " << connection.id;
  }
  std::sort(externalEndpoints.begin(), externalEndpoints.end());
  EXPECT_EQ(externalEndpoints, (std::vector<std::string>{"ipv4", "pipe"}));
  EXPECT_EQ(result.externalClientsFinished, 2u);
  // The external clients never touch the host path.
  EXPECT_EQ(result.host.clients.size(), 1u);
  EXPECT_EQ(result.host.requestTypes.size(), 6u);
}

TEST(StandInVrMode, OnlyForceVRModeOneInSectionLoadingMeansVrMode) {
  struct Case {
    const char* content;
    bool on;
    const char* value; // nullptr: no entry
  };
  const Case cases[] = {
      {"[Loading]\r\nForceVRMode = 1\r\n\r\n", true, "1"},
      {"  [Loading]  \n\tForceVRMode=1   \n", true, "1"},
      {"[Loading]\nForceVRMode = 0\n", false, "0"},
      {"[Loading]\nForceVRMode = 1\nForceVRMode = 0\n", false, "0"},
      {"[Window]\nForceVRMode = 1\n[Loading]\nWindowed = 1\n", false, nullptr},
      {"[loading]\nForceVRMode = 1\n", false, nullptr},
      {"[Loading]\n# ForceVRMode = 1\n", false, nullptr},
      {"ForceVRMode = 1\n[Loading]\n", false, nullptr},
      {"[Loading]\nForceVRMode = 1 = 2\n", false, "1 = 2"},
  };
  for (const Case& c : cases) {
    testfiles::TemporaryFile file(c.content);
    const standin::VrModeReport report = standin::readVrMode(file.path());
    EXPECT_TRUE(report.fileFound) << c.content;
    EXPECT_EQ(report.on, c.on) << c.content;
    EXPECT_EQ(report.value.has_value(), c.value != nullptr) << c.content;
    if (c.value && report.value) {
      EXPECT_EQ(*report.value, c.value) << c.content;
    }
  }
  testfiles::TemporaryFile missing("", false);
  const standin::VrModeReport report = standin::readVrMode(missing.path());
  EXPECT_FALSE(report.fileFound);
  EXPECT_FALSE(report.on);
}

} // namespace

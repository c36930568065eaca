// Opening inside the simulator's own process: the "FS98MAIN" window of this process gets the
// remover query and the pump registration, then the client registration after the open reply.
#include <gtest/gtest.h>

#include "TestPrograms.h"
#include "client/ReceiveDispatch.h"
#include "connection/OpenClose.h"
#include "include/Wirebridge.h"
#include "tests/support/ConnectedClient.h"
#include "tests/support/FakeSimulatorWindow.h"
#include "tests/support/LocalSimulatorSetup.h"
#include "tests/support/TraceFile.h"

using namespace std::chrono_literals;

namespace {

std::vector<void*> removerCalls;
void remover(void* callDispatch) {
  removerCalls.push_back(callDispatch);
}

struct Host {
  std::vector<std::vector<uint8_t>> sent;
  std::vector<void*> released;
};
Host* host = nullptr;
void* hostAllocate(uint32_t, uint32_t, uint32_t size) {
  return std::calloc(1, size);
}
void hostDiscard(uint32_t, uint32_t, void* buffer) {
  std::free(buffer);
}
void hostSend(uint32_t, uint32_t, uint32_t length, void* buffer) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  host->sent.emplace_back(bytes, bytes + length);
  std::free(buffer);
}
void hostRelease(uint32_t, uint32_t, void* data) {
  host->released.push_back(data);
}

uint64_t u64(const std::vector<uint8_t>& bytes, size_t offset) {
  uint64_t value;
  std::memcpy(&value, bytes.data() + offset, 8);
  return value;
}

class HostAttach : public testing::Test {
protected:
  void SetUp() override {
    removerCalls.clear();
    host = &log;
    simserver::Options options;
    options.serveIPv4 = options.serveIPv6 = false;
    server = std::make_unique<simserver::Server>(options);
    server->start();
  }
  void TearDown() override { host = nullptr; }

  LocalSimulatorSetup setup;
  FakeSimulatorWindow simulator{&remover};
  Host log;
  std::unique_ptr<simserver::Server> server;
};

TEST_F(HostAttach, FirstClientQueriesTheRemoverAndRegistersThePump) {
  HANDLE first = nullptr;
  ASSERT_EQ(SimConnect_Open(&first, "first", nullptr, 0, nullptr, 0), S_OK);
  auto* client = static_cast<SimClient*>(first);
  EXPECT_EQ(client->hostState, 1u);
  EXPECT_EQ(client->hostWindow, simulator.get());
  EXPECT_EQ(client->pumpRemover, &remover);
  ASSERT_EQ(simulator.commands.size(), 2u);
  EXPECT_EQ(simulator.commands[0].kind, 5u);
  EXPECT_EQ(simulator.commands[0].bytes.size(), 24u);
  EXPECT_EQ(simulator.commands[1].kind, 4u);
  EXPECT_EQ(u64(simulator.commands[1].bytes, 8), 0u);
  EXPECT_EQ(u64(simulator.commands[1].bytes, 16),
            reinterpret_cast<uint64_t>(&SimConnect_CallDispatch));

  HANDLE second = nullptr;
  ASSERT_EQ(SimConnect_Open(&second, "second", nullptr, 0, nullptr, 0), S_OK);
  ASSERT_EQ(simulator.commands.size(), 3u);
  EXPECT_EQ(simulator.commands[2].kind, 5u); // no second pump registration

  // The open reply registers the client: kind 1 with the id the server gave.
  Collected collected;
  ASSERT_TRUE(waitUntil([&] {
    collected.dispatch(client);
    return !collected.records.empty();
  }));
  EXPECT_EQ(client->hostState, 2u);
  ASSERT_EQ(simulator.commands.size(), 4u);
  const auto& registration = simulator.commands[3].bytes;
  EXPECT_EQ(simulator.commands[3].kind, 1u);
  ASSERT_EQ(registration.size(), 32u);
  uint32_t id;
  std::memcpy(&id, registration.data() + 8, 4);
  EXPECT_EQ(id, server->info(server->connections()[0])->clientId);
  EXPECT_EQ(client->hostClientId, id);
}

TEST_F(HostAttach, HostFunctionsCarryRequestsAndDeliveries) {
  testfiles::TemporaryFile traceFile{"", false};
  TraceSettings traced(traceFile.path(), L"1");
  HANDLE handle = nullptr;
  ASSERT_EQ(SimConnect_Open(&handle, "hosted", nullptr, 0, nullptr, 0), S_OK);
  auto* client = static_cast<SimClient*>(handle);
  Collected collected;
  ASSERT_TRUE(waitUntil([&] {
    collected.dispatch(client);
    return client->hostState == 2;
  }));
  HostFunctionsCommand functions{48,
                                 2,
                                 client->hostClientId,
                                 client->connectionSerial,
                                 reinterpret_cast<uint64_t>(&hostAllocate),
                                 reinterpret_cast<uint64_t>(&hostDiscard),
                                 reinterpret_cast<uint64_t>(&hostSend),
                                 reinterpret_cast<uint64_t>(&hostRelease)};
  ASSERT_EQ(acceptHostFunctions(&functions), 1);
  ASSERT_EQ(SimConnect_RequestSystemState(handle, 3, "Sim"), S_OK);
  ASSERT_EQ(log.sent.size(), 1u);
  EXPECT_EQ(log.sent[0].size(), 276u);
  EXPECT_EQ(server->messages(server->connections()[0]).size(), 1u); // only the Open went by pipe

  std::vector<uint8_t> record(20, 0);
  record[0] = 20;
  record[8] = 0x42;
  deliverFromHost(client->hostClientId, client->connectionSerial, 20, record.data());
  collected.records.clear();
  EXPECT_EQ(collected.dispatch(client), S_OK);
  ASSERT_EQ(collected.records.size(), 1u);
  EXPECT_EQ(collected.records[0], record);
  ASSERT_EQ(log.released.size(), 1u);
  EXPECT_EQ(log.released[0], record.data());

  // The pump-all call the simulator was given dispatches this client with its own procedure.
  deliverFromHost(client->hostClientId, client->connectionSerial, 20, record.data());
  const auto pumpProcedure = reinterpret_cast<DispatchProc>(static_cast<uintptr_t>(-2));
  const auto pumpContext = reinterpret_cast<void*>(static_cast<uintptr_t>(-3));
  EXPECT_EQ(SimConnect_CallDispatch(nullptr, pumpProcedure, pumpContext), E_FAIL);
  EXPECT_EQ(collected.records.size(), 2u);
  EXPECT_EQ(log.released.size(), 2u);

  // The trace names every step of the attach and the messages that took the host path.
  SimConnect_Open(nullptr, nullptr, nullptr, 0, nullptr, 0);
  const std::string text = traceFile.read();
  const auto window = traceEvents(text, "host-window");
  ASSERT_EQ(window.size(), 1u) << text;
  EXPECT_EQ(fieldOf(window[0], "attach"), "yes");
  EXPECT_EQ(fieldOf(window[0], "process"), std::to_string(GetCurrentProcessId()));
  const auto commands = traceEvents(text, "host-command");
  ASSERT_EQ(commands.size(), 4u);
  char removerAddress[24];
  std::snprintf(removerAddress, sizeof(removerAddress), "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&remover)));
  EXPECT_EQ(fieldOf(commands[0], "kind"), "5");
  EXPECT_EQ(fieldOf(commands[0], "answer"), removerAddress);
  EXPECT_EQ(fieldOf(commands[1], "kind"), "4");
  EXPECT_EQ(fieldOf(commands[2], "kind"), "1");
  EXPECT_EQ(fieldOf(commands[2], "clientId"), std::to_string(client->hostClientId));
  EXPECT_EQ(fieldOf(commands[3], "kind"), "2");
  EXPECT_EQ(fieldOf(commands[3], "accepted"), "yes");
  const auto sent = traceEvents(text, "send");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(fieldOf(sent[1], "name"), "RequestSystemState");
  EXPECT_EQ(fieldOf(sent[1], "via"), "host");
  const auto received = traceEvents(text, "recv");
  ASSERT_EQ(received.size(), 3u); // the open reply, then two deliveries
  EXPECT_EQ(fieldOf(received[1], "via"), "host");
  EXPECT_EQ(fieldOf(received[1], "id"), "66");
  EXPECT_EQ(fieldOf(received[1], "size"), "20");
}

TEST_F(HostAttach, ClosingTheLastAttachedClientCallsTheRemover) {
  OpenInProgress opening;
  SimClient* first = nullptr;
  SimClient* second = nullptr;
  ASSERT_EQ(openConnection(&first, 0), 0u);
  ASSERT_EQ(openConnection(&second, 0), 0u);
  closeClient(second);
  EXPECT_TRUE(removerCalls.empty()); // another attached client remains
  closeClient(first);
  ASSERT_EQ(removerCalls.size(), 1u);
  EXPECT_EQ(removerCalls[0], reinterpret_cast<void*>(&SimConnect_CallDispatch));
  EXPECT_EQ(liveClientCount, 0);
  EXPECT_TRUE(waitUntil([] { return liveTransportCount == 0; }));
}

// An "FS98MAIN" window in a process of its own; stop() gives the number of host commands that
// reached it, or -1.
class ForeignSimulatorWindow {
public:
  ForeignSimulatorWindow() {
    std::wstring commandLine = L"\"" + testfiles::windowsPath(FOREIGN_WINDOW_PROGRAM) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process_)) {
      return;
    }
    waitUntil(
        [this] {
          window_ = FindWindowW(L"FS98MAIN", nullptr);
          DWORD owner = 0;
          if (window_ != nullptr) GetWindowThreadProcessId(window_, &owner);
          return owner == process_.dwProcessId;
        },
        10s);
  }
  ~ForeignSimulatorWindow() { stop(); }
  ForeignSimulatorWindow(const ForeignSimulatorWindow&) = delete;
  ForeignSimulatorWindow& operator=(const ForeignSimulatorWindow&) = delete;

  HWND window() const { return window_; }
  int stop() {
    if (process_.hProcess == nullptr) return -1;
    if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(process_.hProcess, 10000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process_.hProcess, &code);
    } else {
      TerminateProcess(process_.hProcess, DWORD(-1));
    }
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
    process_ = {};
    return int(code);
  }

private:
  PROCESS_INFORMATION process_{};
  HWND window_ = nullptr;
};

int dispatchedRecords = 0;
void CALLBACK countRecord(SIMCONNECT_RECV*, DWORD, void*) {
  ++dispatchedRecords;
}

TEST(HostAttachElsewhere, WindowOfAnotherProcessGetsNothing) {
  // The simulator's window exists, but in another process: the client stays unattached and no
  // host command is sent to that window, not even after the open reply is dispatched.
  LocalSimulatorSetup setup;
  ForeignSimulatorWindow foreign;
  ASSERT_NE(foreign.window(), nullptr);
  simserver::Options options;
  options.serveIPv4 = options.serveIPv6 = false;
  simserver::Server server(options);
  server.start();
  HANDLE handle = nullptr;
  ASSERT_EQ(SimConnect_Open(&handle, "plain", nullptr, 0, nullptr, 0), S_OK);
  auto* client = static_cast<SimClient*>(handle);
  EXPECT_EQ(client->hostState, 0u);
  ASSERT_TRUE(waitUntil([&] {
    SimConnect_CallDispatch(handle, countRecord, nullptr);
    return dispatchedRecords > 0; // the open reply
  }));
  EXPECT_EQ(client->hostState, 0u);
  EXPECT_EQ(client->hostClientId, 0u);
  EXPECT_EQ(foreign.stop(), 0);
}

} // namespace

// Opening, failing to open and dispatching on several threads at once while the pump-all call
// runs in a loop on another thread: nothing crashes or deadlocks, every reply is delivered
// exactly once, and afterwards exactly the clients that opened are alive. The last case adds the
// in-process host: an "FS98MAIN" window of this process that installs its functions for every
// registered client and delivers messages from its own thread while the clients dispatch.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "client/ReceiveDispatch.h"
#include "client/SimClient.h"
#include "connection/OpenClose.h"
#include "include/Wirebridge.h"
#include "tests/stress/StressSupport.h"
#include "tests/support/FakeSimulatorWindow.h"
#include "tests/support/LocalSimulatorSetup.h"
#include "tests/support/Waiting.h"
#include "tools/simserver/Server.h"

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMissingSectionIndex = 7;
constexpr uint32_t kUnreachableIndex = 6;
// 127.0.0.2 is not "127.0.0.1", so the configured address is the only attempt; nothing listens.
constexpr char kConfig[] = "[SimConnect.6]\nProtocol=IPv4\nAddress=127.0.0.2\nPort=1\n";

constexpr uint32_t kRecordOpen = 2;
constexpr uint32_t kRecordEvent = 0x1002; // the stand-in's answer to TransmitClientEvent
constexpr uint32_t kRecordHostDelivery = 0x3001;

const auto kPumpAllProcedure = reinterpret_cast<DispatchProc>(static_cast<uintptr_t>(-2));
void* const kPumpAllContext = reinterpret_cast<void*>(static_cast<uintptr_t>(-3));

// The records one client was handed, from its own dispatching thread and from the pump-all
// call, which may run at the same time.
class Deliveries {
public:
  explicit Deliveries(uint32_t expectedEvents) : events_(expectedEvents, 0) {}

  static void CALLBACK record(SIMCONNECT_RECV* data, DWORD length, void* context) {
    static_cast<Deliveries*>(context)->add(reinterpret_cast<const uint8_t*>(data), length);
  }

  bool complete() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openReplies_ >= 1 && eventsSeen_ == events_.size() && hostSeen_ >= hostExpected_;
  }
  void expectHostDeliveries(size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    hostExpected_ = count;
    hostSeen_ = 0;
    host_.assign(count, 0);
  }
  // Everything wrong with what was delivered; empty when each record came whole and once.
  std::string problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = problems_;
    if (openReplies_ != 1) text += "open replies: " + std::to_string(openReplies_) + "; ";
    text += miscounted("event", events_);
    text += miscounted("host message", host_);
    return text;
  }

private:
  // How many were not delivered exactly once, and the first of them.
  static std::string miscounted(const char* what, const std::vector<int>& counts) {
    size_t wrong = 0;
    std::string first;
    for (size_t i = 0; i < counts.size(); ++i) {
      if (counts[i] == 1) continue;
      if (wrong++ == 0)
        first = std::string(what) + " " + std::to_string(i) + " delivered " +
                std::to_string(counts[i]) + " times";
    }
    if (wrong == 0) return {};
    return std::to_string(wrong) + " of " + std::to_string(counts.size()) + " " + what +
           "s miscounted, the first: " + first + "; ";
  }

  void add(const uint8_t* data, DWORD length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (length < 12 || stress::u32(data) != length) {
      problems_ += "a record of " + std::to_string(length) + " bytes with a size field of " +
                   std::to_string(length >= 4 ? stress::u32(data) : 0) + "; ";
      return;
    }
    const uint32_t id = stress::u32(data + 8);
    if (id == kRecordOpen && length == 308) {
      ++openReplies_;
    } else if (id == kRecordEvent && length == 36) {
      const uint32_t index = stress::u32(data + 16);
      if (index >= events_.size() || stress::u32(data + 20) != index * 5) {
        problems_ += "a wrong event record; ";
      } else if (events_[index]++ == 0) {
        ++eventsSeen_;
      }
    } else if (id == kRecordHostDelivery) {
      const uint32_t index = stress::u32(data + 12);
      bool intact = index < host_.size() && length == 16 + index % 97;
      for (uint32_t i = 16; intact && i < length; ++i)
        intact = data[i] == uint8_t(index + i);
      if (!intact) {
        problems_ += "a torn host message; ";
      } else if (host_[index]++ == 0) {
        ++hostSeen_;
      }
    } else {
      problems_ += "an unexpected record " + std::to_string(id) + "; ";
    }
  }

  mutable std::mutex mutex_;
  std::vector<int> events_;
  size_t eventsSeen_ = 0;
  int openReplies_ = 0;
  std::vector<int> host_;
  size_t hostSeen_ = 0;
  size_t hostExpected_ = 0;
  std::string problems_;
};

// A successfully opened client with the thread that dispatches it until the test ends.
struct OpenedClient {
  HANDLE handle = nullptr;
  HANDLE event = nullptr;
  std::unique_ptr<Deliveries> deliveries;
  std::thread dispatcher;
  std::atomic<uint32_t> dispatchFailures{0};
  std::atomic<uint32_t> lastFailure{0};
};

class OpenRace : public testing::Test {
protected:
  void SetUp() override {
    setup.writeConfig(kConfig);
    simserver::Options options;
    options.serveIPv4 = options.serveIPv6 = false; // the simulator's standard pipe only
    server = std::make_unique<simserver::Server>(options);
    server->start();
  }

  void TearDown() override { stopAll(); }

  // Ends every thread of the test that is still running.
  void stopAll() {
    stopping = true;
    for (auto& worker : workers)
      if (worker.joinable()) worker.join();
    for (auto& client : clients) {
      if (client->dispatcher.joinable()) client->dispatcher.join();
      if (client->event != nullptr) CloseHandle(client->event);
      client->event = nullptr;
    }
    if (pump.joinable()) pump.join();
  }

  // Runs a task on a thread of its own; `done` counts the finished tasks. The thread then stays
  // until the test stops: under Wine an overlapped read or write finishes through the thread that
  // started it, and one whose thread ends at the very moment it completes comes back as
  // ERROR_ALERTED with its data lost. (Windows does not tie I/O on a handle bound to a completion
  // port to its thread.) A caller thread that ends right after its call has a test of its own,
  // ConnectionOutlivesTheThreadThatOpenedIt, where the thread is gone well before the reply.
  void startWorker(std::function<void()> task, std::atomic<int>& done) {
    workers.emplace_back([this, task = std::move(task), &done] {
      task();
      done.fetch_add(1);
      while (!stopping)
        Sleep(10);
    });
  }

  void startPumpAll() {
    pump = std::thread([this] {
      while (!stopping) {
        if (SimConnect_CallDispatch(nullptr, kPumpAllProcedure, kPumpAllContext) != E_FAIL)
          pumpFailures.fetch_add(1);
        pumpCalls.fetch_add(1);
        SwitchToThread();
      }
    });
  }

  // Opens a client on the standard pipe and keeps a thread dispatching it.
  OpenedClient* openAndDispatch(const char* name, uint32_t events) {
    auto client = std::make_unique<OpenedClient>();
    client->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    client->deliveries = std::make_unique<Deliveries>(events);
    if (SimConnect_Open(&client->handle, name, nullptr, 0, client->event, 0) != S_OK) {
      CloseHandle(client->event);
      return nullptr;
    }
    OpenedClient* opened = client.get();
    opened->dispatcher = std::thread([this, opened] {
      while (!stopping) {
        WaitForSingleObject(opened->event, 20);
        const HRESULT result =
            SimConnect_CallDispatch(opened->handle, Deliveries::record, opened->deliveries.get());
        if (result != S_OK) {
          opened->lastFailure = uint32_t(result);
          opened->dispatchFailures.fetch_add(1);
        }
      }
    });
    std::lock_guard<std::mutex> lock(clientsMutex);
    clients.push_back(std::move(client));
    return opened;
  }

  bool everyClientComplete() {
    std::lock_guard<std::mutex> lock(clientsMutex);
    for (auto& client : clients)
      if (!client->deliveries->complete()) return false;
    return true;
  }

  // Opens that must fail: a section no file holds, then an address nothing answers at.
  void failToOpen(int rounds) {
    for (int i = 0; i < rounds; ++i) {
      HANDLE handle = reinterpret_cast<HANDLE>(1);
      if (SimConnect_Open(&handle, "missing", nullptr, 0, nullptr, kMissingSectionIndex) !=
              E_INVALIDARG ||
          handle != nullptr)
        failedOpenSurprises.fetch_add(1);
      handle = reinterpret_cast<HANDLE>(1);
      if (SimConnect_Open(&handle, "unreachable", nullptr, 0, nullptr, kUnreachableIndex) !=
              E_FAIL ||
          handle != nullptr)
        failedOpenSurprises.fetch_add(1);
    }
  }

  void expectEveryClientServed(uint32_t events) {
    for (auto& client : clients) {
      EXPECT_EQ(client->deliveries->problems(), "");
      EXPECT_EQ(client->dispatchFailures, 0u)
          << "the last failure: 0x" << std::hex << client->lastFailure;
    }
    const auto ids = server->connections();
    EXPECT_EQ(ids.size(), clients.size());
    for (auto id : ids)
      EXPECT_EQ(server->info(id)->messageCount, 1u + events) << "connection " << id;
    EXPECT_TRUE(server->violations().empty());
  }

  LocalSimulatorSetup setup;
  std::unique_ptr<simserver::Server> server;
  std::atomic<bool> stopping{false};
  std::vector<std::thread> workers;
  std::thread pump;
  std::atomic<uint32_t> pumpCalls{0};
  std::atomic<uint32_t> pumpFailures{0};
  std::atomic<uint32_t> failedOpenSurprises{0};
  std::mutex clientsMutex;
  std::vector<std::unique_ptr<OpenedClient>> clients;
};

TEST_F(OpenRace, OpensFailuresDispatchAndPumpAllTogether) {
  stress::Watchdog watchdog("opens, failed opens, dispatch and pump-all together", 240s);
  constexpr int kOpeners = 3;
  constexpr int kClientsPerOpener = 2;
  constexpr int kFailers = 2;
  constexpr uint32_t kEvents = 300;
  startPumpAll();
  std::atomic<int> done{0};
  std::atomic<uint32_t> openFailures{0};
  std::atomic<uint32_t> sendFailures{0};
  for (int t = 0; t < kOpeners; ++t) {
    startWorker(
        [&, t] {
          for (int c = 0; c < kClientsPerOpener; ++c) {
            const std::string name = "race-" + std::to_string(t) + "-" + std::to_string(c);
            OpenedClient* client = openAndDispatch(name.c_str(), kEvents);
            if (client == nullptr) {
              openFailures.fetch_add(1);
              continue;
            }
            for (uint32_t e = 0; e < kEvents; ++e) {
              if (SimConnect_TransmitClientEvent(client->handle, 0, e, e * 5, 1, 0) != S_OK)
                sendFailures.fetch_add(1);
            }
          }
        },
        done);
  }
  for (int t = 0; t < kFailers; ++t)
    startWorker([this] { failToOpen(3); }, done);
  EXPECT_TRUE(waitUntil([&] { return done == kOpeners + kFailers; }, 120s));
  EXPECT_TRUE(waitUntil([&] { return everyClientComplete(); }, 90s))
      << "not every reply was delivered";
  stopAll();

  EXPECT_EQ(openFailures, 0u);
  EXPECT_EQ(sendFailures, 0u);
  EXPECT_EQ(failedOpenSurprises, 0u);
  expectEveryClientServed(kEvents);
  EXPECT_GT(pumpCalls, 0u);
  EXPECT_EQ(pumpFailures, 0u); // the pump-all call answers E_FAIL every time
  const int32_t opened = kOpeners * kClientsPerOpener - int32_t(openFailures);
  EXPECT_EQ(liveClientCount, opened);
  EXPECT_TRUE(waitUntil([&] { return liveTransportCount == opened; }, 20s))
      << "transports alive: " << liveTransportCount << ", clients opened: " << opened;
}

TEST_F(OpenRace, OnlyFailedOpensLeaveNoClientTransportOrWinsock) {
  stress::Watchdog watchdog("failed opens with pump-all", 240s);
  startPumpAll();
  std::atomic<int> done{0};
  for (int t = 0; t < 2; ++t) {
    startWorker(
        [this] {
          for (int i = 0; i < 3; ++i) {
            HANDLE handle = nullptr;
            if (SimConnect_Open(&handle, "unreachable", nullptr, 0, nullptr, kUnreachableIndex) !=
                    E_FAIL ||
                handle != nullptr)
              failedOpenSurprises.fetch_add(1);
          }
        },
        done);
  }
  // Opens with a missing section run all the while: they end before any client is made.
  std::atomic<int> missingDone{0};
  startWorker(
      [&] {
        while (done < 2) {
          HANDLE handle = nullptr;
          if (SimConnect_Open(&handle, "missing", nullptr, 0, nullptr, kMissingSectionIndex) !=
              E_INVALIDARG)
            failedOpenSurprises.fetch_add(1);
        }
      },
      missingDone);
  EXPECT_TRUE(waitUntil([&] { return done == 2 && missingDone == 1; }, 120s));
  stopAll();

  EXPECT_EQ(failedOpenSurprises, 0u);
  EXPECT_GT(pumpCalls, 0u);
  EXPECT_EQ(liveClientCount, 0);
  EXPECT_TRUE(waitUntil([] { return liveTransportCount == 0; }, 20s))
      << "transports alive: " << liveTransportCount;
  EXPECT_EQ(clientList::head(), nullptr);
  // No client is left and no open is under way: nothing may keep Winsock started.
  EXPECT_FALSE(winsockIsStarted());
  EXPECT_TRUE(server->connections().empty());
}

TEST_F(OpenRace, ConnectionOutlivesTheThreadThatOpenedIt) {
  // Callers may use any thread, also one that ends right after its call. The server takes its
  // time over the Open message, so the first read is still pending when the thread ends.
  simserver::FaultScript slowStart;
  slowStart.pauseReadingAfterMessages = 0;
  slowStart.pauseReadingFor = 500ms;
  server->setNextConnectionFaults(slowStart);
  HANDLE handle = nullptr;
  std::thread opener([&] {
    ASSERT_EQ(SimConnect_Open(&handle, "short-lived", nullptr, 0, nullptr, 0), S_OK);
    EXPECT_EQ(SimConnect_TransmitClientEvent(handle, 0, 0, 0, 1, 0), S_OK);
  });
  opener.join();
  ASSERT_NE(handle, nullptr);

  Deliveries deliveries(1);
  HRESULT result = S_OK;
  EXPECT_TRUE(waitUntil(
      [&] {
        result = SimConnect_CallDispatch(handle, Deliveries::record, &deliveries);
        return result != S_OK || deliveries.complete();
      },
      20s));
  EXPECT_EQ(uint32_t(result), 0u) << "the connection was lost";
  EXPECT_EQ(deliveries.problems(), "");
}

// ---- The in-process host --------------------------------------------------------------------

// The simulator's side of the host functions: buffers it hands out and takes back, messages it
// is sent, and the deliveries it made that the client has not given back yet.
struct HostSide {
  std::mutex mutex;
  std::map<void*, uint32_t> outstanding; // delivered data -> the client id it went to
  std::map<uint32_t, uint32_t> lastSequence;
  uint32_t released = 0;
  uint32_t sent = 0;
  std::string problems;
};
HostSide* hostSide = nullptr;

void* hostAllocate(uint32_t, uint32_t, uint32_t size) {
  return std::calloc(1, size);
}
void hostDiscard(uint32_t, uint32_t, void* buffer) {
  std::free(buffer);
}
void hostSend(uint32_t id, uint32_t, uint32_t length, void* buffer) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  {
    std::lock_guard<std::mutex> lock(hostSide->mutex);
    const uint32_t sequence = stress::u32(bytes + 12);
    if (length != 276 || stress::u32(bytes) != 276 || stress::u32(bytes + 8) != 0xF0000035)
      hostSide->problems += "a torn message through hostSend; ";
    uint32_t& last = hostSide->lastSequence[id];
    if (sequence <= last) hostSide->problems += "a sequence number that did not rise; ";
    last = sequence;
    ++hostSide->sent;
  }
  std::free(buffer);
}
void hostRelease(uint32_t id, uint32_t, void* data) {
  std::lock_guard<std::mutex> lock(hostSide->mutex);
  const auto found = hostSide->outstanding.find(data);
  if (found == hostSide->outstanding.end()) {
    hostSide->problems += "data released that was not delivered, or released twice; ";
    return;
  }
  if (found->second != id) hostSide->problems += "data released with another client's id; ";
  hostSide->outstanding.erase(found);
  ++hostSide->released;
  std::free(data);
}

TEST_F(OpenRace, HostDeliversWhileClientsDispatchAndPumpAllRuns) {
  stress::Watchdog watchdog("host deliveries while dispatching", 240s);
  constexpr int kClients = 3;
  constexpr uint32_t kEvents = 100;
  constexpr uint32_t kDeliveries = 3000;  // per client
  constexpr uint32_t kHostRequests = 200; // per client, once the host functions are installed
  HostSide host;
  hostSide = &host;
  FakeSimulatorWindow simulator; // of this thread, which therefore pumps its messages below
  startPumpAll();

  // Opening sends host commands to the window, which this thread answers while it waits.
  std::atomic<int> opened{0};
  std::atomic<uint32_t> openFailures{0};
  for (int c = 0; c < kClients; ++c) {
    startWorker(
        [&, c] {
          const std::string name = "hosted-" + std::to_string(c);
          if (OpenedClient* client = openAndDispatch(name.c_str(), kEvents)) {
            client->deliveries->expectHostDeliveries(kDeliveries);
            for (uint32_t e = 0; e < kEvents; ++e)
              SimConnect_TransmitClientEvent(client->handle, 0, e, e * 5, 1, 0);
          } else {
            openFailures.fetch_add(1);
          }
        },
        opened);
  }

  // Like the simulator's main thread: answer the window's commands, and install the host
  // functions for each client that registers, once its requests to the server are on their way
  // (later ones leave through the host functions).
  std::vector<SimClient*> registered;
  size_t commandsSeen = 0;
  auto pumpWindow = [&] {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
      DispatchMessageW(&msg);
    if (opened < kClients) return;
    for (; commandsSeen < simulator.commands.size(); ++commandsSeen) {
      const auto& command = simulator.commands[commandsSeen];
      if (command.kind != 1) continue;
      HostFunctionsCommand functions{48,
                                     2,
                                     stress::u32(command.bytes, 8),
                                     stress::u32(command.bytes, 12),
                                     reinterpret_cast<uint64_t>(&hostAllocate),
                                     reinterpret_cast<uint64_t>(&hostDiscard),
                                     reinterpret_cast<uint64_t>(&hostSend),
                                     reinterpret_cast<uint64_t>(&hostRelease)};
      EXPECT_EQ(acceptHostFunctions(&functions), 1);
      std::lock_guard<std::mutex> lock(clientsMutex);
      for (auto& client : clients) {
        auto* object = static_cast<SimClient*>(client->handle);
        if (object->hostClientId == functions.clientId) registered.push_back(object);
      }
    }
  };
  auto pumpUntil = [&](auto condition, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
      pumpWindow();
    }
    return true;
  };
  ASSERT_TRUE(pumpUntil([&] { return opened == kClients; }, 60s));
  ASSERT_EQ(openFailures, 0u);
  ASSERT_TRUE(pumpUntil([&] { return registered.size() == size_t(kClients); }, 60s))
      << "clients registered: " << registered.size();

  // The simulator's delivery thread, while requests leave through the host functions.
  std::atomic<int> finished{0};
  startWorker(
      [&] {
        for (uint32_t k = 0; k < kDeliveries; ++k) {
          for (SimClient* client : registered) {
            const uint32_t length = 16 + k % 97;
            auto* data = static_cast<uint8_t*>(std::malloc(length));
            std::vector<uint8_t> header(16, 0);
            stress::putU32(header, 0, length);
            stress::putU32(header, 8, kRecordHostDelivery);
            stress::putU32(header, 12, k);
            std::memcpy(data, header.data(), 16);
            for (uint32_t i = 16; i < length; ++i)
              data[i] = uint8_t(k + i);
            {
              std::lock_guard<std::mutex> lock(host.mutex);
              host.outstanding[data] = client->hostClientId;
            }
            deliverFromHost(client->hostClientId, client->connectionSerial, length, data);
          }
        }
      },
      finished);
  for (SimClient* client : registered) {
    startWorker(
        [client] {
          for (uint32_t r = 0; r < kHostRequests; ++r)
            SimConnect_RequestSystemState(client, r, "Sim");
        },
        finished);
  }
  EXPECT_TRUE(pumpUntil(
      [&] {
        if (finished < 1 + kClients || !everyClientComplete()) return false;
        std::lock_guard<std::mutex> lock(host.mutex);
        return host.outstanding.empty();
      },
      90s))
      << "deliveries still outstanding: " << host.outstanding.size();
  stopAll();

  expectEveryClientServed(kEvents);
  std::lock_guard<std::mutex> lock(host.mutex);
  EXPECT_EQ(host.problems, "");
  EXPECT_EQ(host.released, kClients * kDeliveries);
  EXPECT_EQ(host.sent, kClients * kHostRequests);
  EXPECT_EQ(liveClientCount, kClients);
  EXPECT_EQ(liveTransportCount, kClients);
  hostSide = nullptr;
}

} // namespace

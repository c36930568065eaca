// Eight threads sending requests at full speed, all on one client or one client per thread, over
// the named pipe and TCP: 2,500 requests per thread by default, and 100,000 per thread when run
// with WB_STRESS_PER_THREAD=100000 (run the program directly then: under Wine a case takes five
// minutes or far more, as its heap slows down with hundreds of thousands of queued messages). The
// stand-in server checks every message as it arrives (whole, well formed, sequence numbers rising
// without repeats); afterwards every thread's requests are found in the server's record exactly
// once, in the order they were sent, with their fields intact.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "tests/stress/StressSupport.h"
#include "tests/support/ConnectedClient.h"

using simserver::Endpoint;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kThreads = 8;
// Requests per thread. The default keeps each case within a few seconds under Wine, where every
// message is one overlapped write; WB_STRESS_PER_THREAD=100000 runs the full volume.
uint32_t requestsPerThread() {
  const char* configured = std::getenv("WB_STRESS_PER_THREAD");
  const long count = configured != nullptr ? std::strtol(configured, nullptr, 10) : 0;
  return count > 0 ? uint32_t(count) : 2500;
}
const uint32_t kPerThread = requestsPerThread();

// Generous, and within the test runner's time-out at the default count; a server that stops
// receiving is caught much sooner by waitForAll.
std::chrono::seconds watchdogDeadline() {
  const uint32_t messages = kThreads * kPerThread;
  return std::chrono::seconds(messages <= 20000 ? 280 : 280 + messages / 100);
}

constexpr uint32_t kTypeTransmitEvent = 0xF0000005;
constexpr uint32_t kTypeRequestData = 0xF000000E;
constexpr uint32_t kTypeSetData = 0xF0000010;
constexpr uint32_t kTypeSystemState = 0xF0000035;

std::string stateName(uint32_t thread, uint32_t index) {
  return "T" + std::to_string(thread) + "-" + std::to_string(index);
}

// Request `index` of `thread`: four kinds in turn, of 36, 48, 44 to 76 and 276 bytes, each
// carrying the thread and the index so that the server's record can be traced back.
HRESULT sendRequest(SimClient* client, uint32_t thread, uint32_t index) {
  switch (index % 4) {
  case 0:
    return SimConnect_TransmitClientEvent(client, thread, index, index ^ 0xA5A5A5A5u, thread * 7,
                                          0x10);
  case 1:
    return SimConnect_RequestDataOnSimObject(client, index, thread, index * 3, 1, 0, 0, 0, 0);
  case 2: {
    uint32_t payload[10];
    const uint32_t units = 1 + index % 5; // 8-byte units
    for (uint32_t u = 0; u < units; ++u) {
      payload[2 * u] = thread << 24 | u;
      payload[2 * u + 1] = index;
    }
    return SimConnect_SetDataOnSimObject(client, thread, index, 0, units, 8, payload);
  }
  default:
    return SimConnect_RequestSystemState(client, index, stateName(thread, index).c_str());
  }
}

// Which thread sent a recorded message and which of its requests it is; empty text when the
// message is intact, else what is wrong with it.
struct Traced {
  uint32_t thread = 0;
  uint32_t index = 0;
  std::string problem;
};

Traced trace(const std::vector<uint8_t>& m) {
  using stress::u32;
  Traced t;
  const uint32_t type = m.size() >= 16 ? u32(m, 8) : 0;
  auto expect = [&](bool ok, const char* what) {
    if (!ok && t.problem.empty()) t.problem = what;
  };
  switch (type) {
  case kTypeTransmitEvent:
    if (m.size() != 36) return {0, 0, "TransmitClientEvent of the wrong size"};
    t.thread = u32(m, 16);
    t.index = u32(m, 20);
    expect(u32(m, 24) == (t.index ^ 0xA5A5A5A5u), "event data");
    expect(u32(m, 28) == t.thread * 7, "group");
    expect(u32(m, 32) == 0x10, "flags");
    expect(t.index % 4 == 0, "kind does not match the index");
    return t;
  case kTypeRequestData:
    if (m.size() != 48) return {0, 0, "RequestDataOnSimObject of the wrong size"};
    t.index = u32(m, 16);
    t.thread = u32(m, 20);
    expect(u32(m, 24) == t.index * 3, "object id");
    expect(u32(m, 28) == 1, "period");
    expect(t.index % 4 == 1, "kind does not match the index");
    return t;
  case kTypeSetData: {
    if (m.size() < 36) return {0, 0, "SetDataOnSimObject too short"};
    t.thread = u32(m, 16);
    t.index = u32(m, 20);
    const uint32_t units = 1 + t.index % 5;
    expect(m.size() == 36 + units * 8, "SetDataOnSimObject size");
    expect(u32(m, 28) == units && u32(m, 32) == 8, "unit count or size");
    expect(t.index % 4 == 2, "kind does not match the index");
    for (uint32_t u = 0; t.problem.empty() && u < units; ++u) {
      expect(u32(m, 36 + 8 * u) == (t.thread << 24 | u) && u32(m, 40 + 8 * u) == t.index,
             "payload");
    }
    return t;
  }
  case kTypeSystemState: {
    if (m.size() != 276) return {0, 0, "RequestSystemState of the wrong size"};
    t.index = u32(m, 16);
    const char* name = reinterpret_cast<const char*>(m.data() + 20);
    const std::string text(name, strnlen(name, 256));
    const size_t dash = text.find('-');
    if (text.size() < 4 || text[0] != 'T' || dash == std::string::npos) {
      return {0, 0, "state name \"" + text + "\""};
    }
    t.thread = uint32_t(std::stoul(text.substr(1, dash - 1)));
    expect(text == stateName(t.thread, t.index), "state name");
    expect(t.index % 4 == 3, "kind does not match the index");
    return t;
  }
  default:
    return {0, 0, "unexpected type " + std::to_string(type)};
  }
}

// Checks one connection's record: the Open message, then every request of `threads` (thread
// numbers first .. first + count - 1) exactly once, each thread's in the order it sent them.
void checkRecord(const std::vector<simserver::ReceivedMessage>& messages, uint32_t firstThread,
                 uint32_t threadCount) {
  ASSERT_EQ(messages.size(), 1 + size_t(threadCount) * kPerThread);
  ASSERT_EQ(messages[0].bytes.size(), 296u);
  std::vector<uint32_t> next(threadCount, 0);
  for (size_t i = 1; i < messages.size(); ++i) {
    const Traced t = trace(messages[i].bytes);
    ASSERT_TRUE(t.problem.empty()) << "message " << i << ": " << t.problem;
    ASSERT_GE(t.thread, firstThread) << "message " << i;
    ASSERT_LT(t.thread, firstThread + threadCount) << "message " << i;
    uint32_t& expected = next[t.thread - firstThread];
    ASSERT_EQ(t.index, expected) << "message " << i << " of thread " << t.thread
                                 << (t.index < expected ? ": repeated" : ": one was lost");
    ++expected;
  }
}

// Eight threads that send all their requests at once and end; the writes they started must go
// on without them.
class Senders {
public:
  ~Senders() { join(); }

  void start(SimClient* client, uint32_t thread) {
    threads_.emplace_back([this, client, thread] {
      for (uint32_t i = 0; i < kPerThread; ++i) {
        if (sendRequest(client, thread, i) != S_OK) failures_.fetch_add(1);
      }
    });
  }
  void join() {
    for (auto& thread : threads_)
      if (thread.joinable()) thread.join();
  }
  uint32_t failures() const { return failures_; }

private:
  std::vector<std::thread> threads_;
  std::atomic<uint32_t> failures_{0};
};

class SendLoad : public testing::TestWithParam<Endpoint> {
protected:
  void SetUp() override {
    ASSERT_TRUE(startWinsock());
    auto options = privateServerOptions();
    options.servePipe = GetParam() == Endpoint::Pipe;
    options.serveIPv4 = GetParam() == Endpoint::IPv4;
    options.serveIPv6 = false;
    options.answerRequests = false; // the sending side under load is what is measured
    server = std::make_unique<simserver::Server>(options);
    server->start();
  }

  std::unique_ptr<OwnedClient> connectedClient() {
    auto client = std::make_unique<OwnedClient>(
        GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
    EXPECT_TRUE(connectTo(**client, GetParam(), *server));
    EXPECT_EQ(sendOpenMessage(client->get(), "stress"), S_OK);
    return client;
  }

  // Waits until every connection holds `perConnection` messages; fails only when the server
  // stops making progress for a whole minute. Long runs show their progress every half minute.
  bool waitForAll(size_t perConnection) {
    size_t last = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    auto lastReport = lastProgress;
    for (;;) {
      size_t total = 0;
      bool done = true;
      for (auto id : server->connections()) {
        const size_t count = server->info(id)->messageCount;
        total += count;
        done = done && count >= perConnection;
      }
      if (done) return true;
      if (std::chrono::steady_clock::now() - lastReport > 30s) {
        lastReport = std::chrono::steady_clock::now();
        std::printf("[ PROGRESS   ] %zu messages received\n", total);
        std::fflush(stdout);
      }
      if (total != last) {
        last = total;
        lastProgress = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - lastProgress > 60s) {
        ADD_FAILURE() << "the server stopped receiving at " << total << " messages";
        return false;
      }
      Sleep(20);
    }
  }

  void report(const char* what, double sendSeconds, double allSeconds) {
    const double messages = double(kThreads) * kPerThread;
    std::printf("[ THROUGHPUT ] %s over %s: %.0f requests in %.2f s: %.0f messages/s delivered; "
                "the send calls returned after %.2f s (%.0f calls/s)\n",
                what, simserver::endpointName(GetParam()), messages, allSeconds,
                messages / allSeconds, sendSeconds, messages / sendSeconds);
    std::fflush(stdout);
  }

  TransportLeakCheck leaks;
  std::unique_ptr<simserver::Server> server;
};

TEST_P(SendLoad, EightThreadsOnOneClient) {
  stress::Watchdog watchdog("eight threads on one client", watchdogDeadline());
  auto client = connectedClient();
  ASSERT_TRUE(server->waitForConnections(1, 10s));
  Senders senders;
  const stress::Stopwatch clock;
  for (uint32_t t = 0; t < kThreads; ++t)
    senders.start(client->get(), t);
  senders.join();
  const double sendSeconds = clock.seconds();
  EXPECT_EQ(senders.failures(), 0u);
  ASSERT_TRUE(waitForAll(1 + size_t(kThreads) * kPerThread));
  report("8 threads on 1 client", sendSeconds, clock.seconds());

  const auto id = server->connections()[0];
  const auto violations = server->violations();
  EXPECT_TRUE(violations.empty()) << violations.size()
                                  << " violations, the first: " << violations[0].detail;
  checkRecord(server->messages(id), 0, kThreads);
  EXPECT_FALSE((*client)->IsLost());
  EXPECT_EQ(server->connections().size(), 1u);
}

TEST_P(SendLoad, EightThreadsOnEightClients) {
  stress::Watchdog watchdog("eight threads on eight clients", watchdogDeadline());
  std::vector<std::unique_ptr<OwnedClient>> clients;
  for (uint32_t t = 0; t < kThreads; ++t) {
    clients.push_back(connectedClient());
    // Connection ids follow the order of connecting: client t is connection t + 1.
    ASSERT_TRUE(server->waitForConnections(t + 1, 10s));
  }
  Senders senders;
  const stress::Stopwatch clock;
  for (uint32_t t = 0; t < kThreads; ++t)
    senders.start(clients[t]->get(), t);
  senders.join();
  const double sendSeconds = clock.seconds();
  EXPECT_EQ(senders.failures(), 0u);
  ASSERT_TRUE(waitForAll(1 + size_t(kPerThread)));
  report("8 threads on 8 clients", sendSeconds, clock.seconds());

  const auto violations = server->violations();
  EXPECT_TRUE(violations.empty()) << violations.size()
                                  << " violations, the first: " << violations[0].detail;
  const auto ids = server->connections();
  ASSERT_EQ(ids.size(), size_t(kThreads));
  for (uint32_t t = 0; t < kThreads; ++t) {
    SCOPED_TRACE("client " + std::to_string(t));
    checkRecord(server->messages(ids[t]), t, 1);
    EXPECT_FALSE((*clients[t])->IsLost());
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, SendLoad, testing::Values(Endpoint::Pipe, Endpoint::IPv4),
                         [](const auto& info) { return simserver::endpointName(info.param); });

} // namespace

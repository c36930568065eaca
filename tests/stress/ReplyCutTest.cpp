// The server ends the connection after every possible number of bytes of one scripted reply
// stream: the 308-byte open reply, records of several sizes and zero filler between them. For
// each cut the client delivers exactly the records that arrived whole, byte for byte and in
// order, never a torn one, and then reports the loss with the code of the transport.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <thread>

#include "tests/stress/StressSupport.h"
#include "tests/support/ConnectedClient.h"
#include "tools/simserver/Records.h"

using simserver::CloseMode;
using simserver::Endpoint;
using namespace std::chrono_literals;

namespace {

constexpr char kClientName[] = "cut";

// A record of `size` bytes: size, version 4, an id of its own, then bytes that differ from
// record to record, so that a record assembled from the wrong bytes cannot pass.
std::vector<uint8_t> record(uint32_t size, uint32_t id) {
  std::vector<uint8_t> bytes(size);
  stress::putU32(bytes, 0, size);
  stress::putU32(bytes, 4, 4);
  stress::putU32(bytes, 8, id);
  for (uint32_t i = 12; i < size; ++i)
    bytes[i] = uint8_t(id * 31 + i * 7 + 1);
  return bytes;
}

struct Stream {
  std::vector<std::vector<uint8_t>> afterOpenReply; // what the server writes behind the reply
  std::vector<size_t> recordEnds;                   // end offset of each record in the stream
  std::vector<std::vector<uint8_t>> records;        // the records behind the open reply
  size_t length = 0;
};

// The open reply (308), then records of 12, 97, 40, 260, 33 and 150 bytes with runs of zero
// filler of 4, 6 and 5 bytes between some of them: 915 bytes in all. (A run of filler shorter
// than a size field would read as one huge size together with the next record's first bytes.)
Stream scriptedStream() {
  Stream s;
  size_t at = simserver::records::kOpenSize;
  s.recordEnds.push_back(at);
  auto add = [&](std::vector<uint8_t> bytes, bool isRecord) {
    at += bytes.size();
    if (isRecord) {
      s.recordEnds.push_back(at);
      s.records.push_back(bytes);
    }
    s.afterOpenReply.push_back(std::move(bytes));
  };
  add(record(12, 0x2001), true);
  add(record(97, 0x2002), true);
  add(std::vector<uint8_t>(4, 0), false);
  add(record(40, 0x2003), true);
  add(record(260, 0x2004), true);
  add(std::vector<uint8_t>(6, 0), false);
  add(record(33, 0x2005), true);
  add(std::vector<uint8_t>(5, 0), false);
  add(record(150, 0x2006), true);
  s.length = at;
  return s;
}

struct CutVariant {
  Endpoint endpoint;
  CloseMode mode;
  uint32_t pieceSize; // 0: the server writes as much as it may at once
  size_t stride;      // 1: cut at every offset; the variants that add to it cut at every third
  const char* name;
};

void PrintTo(const CutVariant& variant, std::ostream* out) {
  *out << variant.name;
}

class ReplyCut : public testing::TestWithParam<CutVariant> {
protected:
  void SetUp() override {
    ASSERT_TRUE(startWinsock());
    auto options = privateServerOptions();
    options.serveIPv6 = false;
    server = std::make_unique<simserver::Server>(options);
    server->start();
  }

  bool isPipe() const { return GetParam().endpoint == Endpoint::Pipe; }

  // The codes a loss may be reported with. After an orderly close: a TCP read of 0 bytes
  // (STATUS_LINK_FAILED), or a broken pipe (STATUS_PIPE_BROKEN). After an abortive close: a reset
  // (STATUS_CONNECTION_RESET), which Wine at times also hands over as a read of 0 bytes; or a
  // pipe whose server end was disconnected (STATUS_PIPE_DISCONNECTED). The same end must give
  // the same code whether the client's read was waiting or had yet to be posted.
  std::set<uint32_t> lossCodes() const {
    if (GetParam().mode == CloseMode::Orderly) return {isPipe() ? 0xC000014Bu : 0xC000013Eu};
    if (isPipe()) return {0xC00000B0u};
    return {0xC000020Du, 0xC000013Eu};
  }

  // A cut after 0 bytes lets the server close before the client has written its Open message.
  // When the write finds the end before the read does, the loss carries the write's code. After an
  // orderly pipe close that is a pipe being closed (STATUS_PIPE_CLOSING); in the other variants
  // the write fails with a code already expected, or (orderly TCP) still succeeds.
  bool acceptedCode(uint32_t code, const std::vector<size_t>& cuts) const {
    if (lossCodes().count(code) == 1) return true;
    const bool onlyCutZero = cuts.size() == 1 && cuts.front() == 0;
    return onlyCutZero && isPipe() && GetParam().mode == CloseMode::Orderly && code == 0xC00000B1u;
  }

  // The bytes the server sent as its open reply on connection `id`.
  std::vector<uint8_t> expectedOpenReply(simserver::ConnectionId id) {
    uint8_t name[256] = {};
    std::memcpy(name, kClientName, sizeof kClientName);
    return simserver::records::openReply(name, 1, server->info(id)->clientId, id);
  }

  struct Outcome {
    std::vector<std::vector<uint8_t>> delivered;
    uint32_t code = 0;
  };

  // One connection whose server stops after `cut` bytes of the stream.
  Outcome runCut(const Stream& stream, size_t cut) {
    simserver::FaultScript faults;
    faults.closeAfterReplyBytes = cut;
    faults.closeMode = GetParam().mode;
    faults.pieceSize = GetParam().pieceSize;
    faults.afterOpenReply = stream.afterOpenReply;
    server->setNextConnectionFaults(faults);

    Outcome outcome;
    OwnedClient client(isPipe() ? TransportKind::NamedPipe : TransportKind::Tcp);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    client->notifyEvent = event;
    EXPECT_TRUE(connectTo(*client, GetParam().endpoint, *server));
    // With no byte allowed the server may close before the Open message is even written.
    const HRESULT opened = sendOpenMessage(client.get(), kClientName);
    if (cut > 0) {
      EXPECT_EQ(opened, S_OK);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!client->IsLost() && std::chrono::steady_clock::now() < deadline)
      WaitForSingleObject(event, 200);
    EXPECT_TRUE(client->IsLost()) << "no loss reported after a cut at " << cut;

    Collected collected;
    outcome.code = uint32_t(collected.dispatch(client.get()));
    outcome.delivered = std::move(collected.records);
    // Nothing more arrives after the loss, and the code stays.
    Collected later;
    EXPECT_EQ(uint32_t(later.dispatch(client.get())), outcome.code);
    EXPECT_TRUE(later.records.empty());
    EXPECT_EQ(uint32_t(SimConnect_TransmitClientEvent(client.get(), 0, 1, 2, 3, 4)), outcome.code);
    client.reset();
    CloseHandle(event);
    return outcome;
  }

  // The records the client must deliver for a cut: those that ended at or before it.
  static size_t wholeRecordsBefore(const Stream& stream, size_t cut) {
    size_t count = 0;
    while (count < stream.recordEnds.size() && stream.recordEnds[count] <= cut)
      ++count;
    return count;
  }

  // Checks the delivered records against the stream; `exact` demands all whole ones, otherwise
  // an abortive close may have dropped the tail and a prefix suffices.
  void checkDelivered(const Stream& stream, size_t cut, const Outcome& outcome, bool exact) {
    const size_t whole = wholeRecordsBefore(stream, cut);
    if (exact) {
      ASSERT_EQ(outcome.delivered.size(), whole) << "cut at " << cut;
    } else {
      ASSERT_LE(outcome.delivered.size(), whole) << "cut at " << cut;
    }
    for (size_t r = 0; r < outcome.delivered.size(); ++r) {
      const auto& expected =
          r == 0 ? expectedOpenReply(server->connections().back()) : stream.records[r - 1];
      ASSERT_EQ(outcome.delivered[r], expected) << "record " << r << ", cut at " << cut;
    }
  }

  TransportLeakCheck leaks;
  std::unique_ptr<simserver::Server> server;
};

TEST_P(ReplyCut, EveryCutDeliversTheWholeRecordsBeforeItThenTheLoss) {
  stress::Watchdog watchdog("cuts of the reply stream", 280s);
  const Stream stream = scriptedStream();
  ASSERT_EQ(stream.length, 915u);
  const bool orderly = GetParam().mode == CloseMode::Orderly;
  std::map<uint32_t, std::vector<size_t>> cutsByCode;
  for (size_t cut = 0; cut <= stream.length; cut += GetParam().stride) {
    const Outcome outcome = runCut(stream, cut);
    cutsByCode[outcome.code].push_back(cut);
    checkDelivered(stream, cut, outcome, orderly);
    if (HasFailure()) {
      std::printf("stopped at the cut after %zu bytes\n", cut);
      break;
    }
  }
  for (const auto& [code, cuts] : cutsByCode) {
    std::printf("[ LOSS CODE ] 0x%08X after %zu cuts, the first after %zu bytes\n", unsigned(code),
                cuts.size(), cuts.front());
    EXPECT_TRUE(acceptedCode(code, cuts))
        << "unexpected code 0x" << std::hex << code << std::dec << " after " << cuts.size()
        << " of the cuts, the first after " << cuts.front() << " bytes";
  }
  EXPECT_TRUE(server->violations().empty());
}

TEST_P(ReplyCut, EndFoundWhenTheNextReadIsPostedGivesTheSameCode) {
  // The client's completion thread is held up in handing on the open reply (a helper thread holds
  // the receive queue's lock, which is never held together with the send path's locks) until the
  // server has closed the channel; the end is then found when the next read is posted instead of
  // by a read that waits.
  stress::Watchdog watchdog("end found when the next read is posted", 120s);
  simserver::FaultScript faults;
  faults.closeAfterReplyBytes = simserver::records::kOpenSize;
  faults.closeMode = GetParam().mode;
  faults.pieceSize = GetParam().pieceSize;
  server->setNextConnectionFaults(faults);
  OwnedClient client(isPipe() ? TransportKind::NamedPipe : TransportKind::Tcp);
  ASSERT_TRUE(connectTo(*client, GetParam().endpoint, *server));
  {
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
      auto holdUp = client->receiveQueue.lock().lock();
      SetEvent(held);
      WaitForSingleObject(done, INFINITE);
    });
    WaitForSingleObject(held, INFINITE);
    const bool sent = sendOpenMessage(client.get(), kClientName) == S_OK;
    const bool closed = server->waitForConnections(1, 10s) &&
                        server->waitForClose(server->connections().back(), 10s);
    Sleep(100);
    SetEvent(done);
    holder.join();
    CloseHandle(held);
    CloseHandle(done);
    ASSERT_TRUE(sent);
    ASSERT_TRUE(closed);
  }
  ASSERT_TRUE(waitUntil([&] { return client->IsLost(); }));
  Collected collected;
  const uint32_t code = uint32_t(collected.dispatch(client.get()));
  ASSERT_EQ(collected.records.size(), 1u);
  EXPECT_EQ(collected.records[0], expectedOpenReply(server->connections().back()));
  EXPECT_TRUE(lossCodes().count(code) == 1) << "code 0x" << std::hex << code;
}

INSTANTIATE_TEST_SUITE_P(
    Transports, ReplyCut,
    testing::Values(CutVariant{Endpoint::Pipe, CloseMode::Orderly, 0, 1, "pipe"},
                    CutVariant{Endpoint::IPv4, CloseMode::Orderly, 0, 1, "tcp"},
                    CutVariant{Endpoint::Pipe, CloseMode::Orderly, 29, 3, "pipe_in_pieces"},
                    CutVariant{Endpoint::IPv4, CloseMode::Orderly, 29, 3, "tcp_in_pieces"},
                    CutVariant{Endpoint::Pipe, CloseMode::BreakPipe, 0, 3, "pipe_broken"},
                    CutVariant{Endpoint::IPv4, CloseMode::Reset, 0, 3, "tcp_reset"}),
    [](const auto& info) { return std::string(info.param.name); });

// A record far larger than the receive buffer (600,000 bytes, taken in over some 300 reads while
// the buffer grows 2048 bytes at a time), after which the server closes at once: the record
// arrives whole and then the loss is reported with the transport's code.
class LargeLastRecord : public testing::TestWithParam<Endpoint> {};

TEST_P(LargeLastRecord, ArrivesWholeBeforeTheLoss) {
  stress::Watchdog watchdog("a large last record", 120s);
  ASSERT_TRUE(startWinsock());
  TransportLeakCheck leaks;
  auto options = privateServerOptions();
  options.serveIPv6 = false;
  options.pipeBufferSize = 1 << 20; // the server's write completes at once, then it closes
  simserver::Server server(options);
  server.start();
  const std::vector<uint8_t> large = record(600000, 0x2010);
  simserver::FaultScript faults;
  faults.afterOpenReply = {large};
  faults.closeAfterReplyBytes = simserver::records::kOpenSize + large.size();
  server.setNextConnectionFaults(faults);

  const bool pipe = GetParam() == Endpoint::Pipe;
  OwnedClient client(pipe ? TransportKind::NamedPipe : TransportKind::Tcp);
  ASSERT_TRUE(connectTo(*client, GetParam(), server, 1 << 20));
  ASSERT_EQ(sendOpenMessage(client.get(), kClientName), S_OK);
  ASSERT_TRUE(waitUntil([&] { return client->IsLost(); }));
  Collected collected;
  const uint32_t code = uint32_t(collected.dispatch(client.get()));
  ASSERT_EQ(collected.records.size(), 2u);
  EXPECT_EQ(collected.records[1], large);
  EXPECT_EQ(code, pipe ? 0xC000014Bu : 0xC000013Eu) << std::hex << "0x" << code;
}

INSTANTIATE_TEST_SUITE_P(Transports, LargeLastRecord,
                         testing::Values(Endpoint::Pipe, Endpoint::IPv4),
                         [](const auto& info) { return simserver::endpointName(info.param); });

} // namespace

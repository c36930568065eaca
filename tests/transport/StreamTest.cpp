// The server's byte stream as the client frames it: pieces, filler, large and malformed records.
#include <gtest/gtest.h>

#include "tests/support/ConnectedClient.h"
#include "tools/simserver/Records.h"

using simserver::Endpoint;
using namespace std::chrono_literals;
namespace records = simserver::records;

namespace {

bool isIntactPattern(const std::vector<uint8_t>& record, uint32_t size) {
  if (record.size() != size) return false;
  for (uint32_t i = 12; i < size; ++i) {
    if (record[i] != records::patternByte(i)) return false;
  }
  return true;
}

class Stream : public testing::TestWithParam<Endpoint> {
protected:
  void SetUp() override {
    ASSERT_TRUE(startWinsock());
    server.start();
  }

  // Connects with the given receive limit after scripting the next connection.
  void open(simserver::FaultScript faults, uint32_t maxReceive = 41088) {
    server.setNextConnectionFaults(std::move(faults));
    ASSERT_TRUE(connectTo(*client, GetParam(), server, maxReceive));
    ASSERT_EQ(sendOpenMessage(client.get(), "test"), S_OK);
  }

  // Dispatches until `count` records arrived or the connection was lost and drained. A stream cut
  // into single bytes takes thousands of completions, which under heap checking on a busy machine
  // can take well over the usual 20 seconds.
  void collectRecords(size_t count) {
    waitUntil(
        [&] {
          const HRESULT result = collected.dispatch(client.get());
          return collected.records.size() >= count || result != S_OK;
        },
        std::chrono::seconds(90));
  }

  TransportLeakCheck leaks;
  simserver::Server server{privateServerOptions()};
  OwnedClient client{GetParam() == Endpoint::Pipe ? TransportKind::NamedPipe : TransportKind::Tcp};
  Collected collected;
};

TEST_P(Stream, RecordsCutIntoSingleBytesWithFillerArriveWhole) {
  simserver::FaultScript faults;
  faults.pieceSize = 1;
  faults.fillerBytes = 5;
  faults.afterOpenReply = {records::pattern(12), records::pattern(700), records::pattern(5000)};
  open(faults);
  collectRecords(4);
  ASSERT_EQ(collected.records.size(), 4u);
  EXPECT_EQ(collected.records[0].size(), 308u);
  EXPECT_TRUE(isIntactPattern(collected.records[1], 12));
  EXPECT_TRUE(isIntactPattern(collected.records[2], 700));
  EXPECT_TRUE(isIntactPattern(collected.records[3], 5000));
  EXPECT_FALSE(client->IsLost());
  // The 5000-byte record needed growth in 2048-byte steps: 2048 -> 6144.
  EXPECT_EQ(client->receive.capacity() % 2048, 0);
  EXPECT_GE(client->receive.capacity(), 6144);
}

TEST_P(Stream, RecordOfExactlyTheLimitIsAcceptedOneByteMoreEndsTheStream) {
  simserver::FaultScript faults;
  faults.afterOpenReply = {records::pattern(41088), records::withSizeField(41089),
                           records::pattern(100)};
  open(faults);
  collectRecords(3);
  ASSERT_TRUE(waitUntil([&] { return client->IsLost(); }));
  collected.dispatch(client.get());
  ASSERT_EQ(collected.records.size(), 2u); // nothing after the bad size is used
  EXPECT_TRUE(isIntactPattern(collected.records[1], 41088));
  EXPECT_EQ(client->lostReason, 1);
  EXPECT_EQ(client->lastCode, 0x80004004u);
  EXPECT_EQ(uint32_t(collected.dispatch(client.get())), 0x80004004u);
}

TEST_P(Stream, SizeFieldWithTheTopBitSetIsTooLarge) {
  simserver::FaultScript faults;
  faults.afterOpenReply = {records::withSizeField(0x80000010)};
  open(faults, 0xFFFFFFF0);
  ASSERT_TRUE(waitUntil([&] { return client->IsLost(); }));
  EXPECT_EQ(client->lostReason, 1);
  EXPECT_EQ(client->lastCode, 0x80004004u);
}

TEST_P(Stream, SizesOneToThreeAreRefused) {
  for (uint32_t size : {1u, 2u, 3u}) {
    SCOPED_TRACE(size);
    simserver::Server local{privateServerOptions()};
    server.stop();
    simserver::FaultScript faults;
    faults.afterOpenReply = {records::withSizeField(size)};
    local.setNextConnectionFaults(faults);
    local.start();
    OwnedClient fresh(client->kind);
    ASSERT_TRUE(connectTo(*fresh, GetParam(), local));
    ASSERT_EQ(sendOpenMessage(fresh.get(), "test"), S_OK);
    ASSERT_TRUE(waitUntil([&] { return fresh->IsLost(); }));
    EXPECT_EQ(fresh->lostReason, 2);
    EXPECT_EQ(fresh->lastCode, 0x80004004u);
    Collected records;
    EXPECT_EQ(uint32_t(records.dispatch(fresh.get())), 0x80004004u);
    EXPECT_EQ(records.records.size(), 1u); // the open reply before it
  }
}

TEST_P(Stream, LargeRecordsGrowTheBufferUpToItsCap) {
  simserver::FaultScript faults;
  faults.afterOpenReply = {records::pattern(64 * 1024), records::pattern(1024 * 1024),
                           records::pattern(2 * 1024 * 1024)};
  open(faults, 4 * 1024 * 1024);
  collectRecords(3);
  ASSERT_TRUE(waitUntil([&] { return client->IsLost(); }));
  collected.dispatch(client.get());
  ASSERT_EQ(collected.records.size(), 3u);
  EXPECT_TRUE(isIntactPattern(collected.records[1], 64 * 1024));
  EXPECT_TRUE(isIntactPattern(collected.records[2], 1024 * 1024));
  // 2 MiB cannot fit the buffer's 1 MiB cap: the stream ends instead of looping on it.
  EXPECT_EQ(client->lostReason, 1);
  EXPECT_EQ(client->lastCode, 0x80004004u);
  EXPECT_LE(client->receive.capacity(), 0x100000);
}

INSTANTIATE_TEST_SUITE_P(Transports, Stream, testing::Values(Endpoint::Pipe, Endpoint::IPv4),
                         [](const auto& info) { return simserver::endpointName(info.param); });

} // namespace

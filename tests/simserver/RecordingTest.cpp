// Every request type reaches the record with its exact bytes and gets its documented answer, on
// every endpoint; messages are framed however the stream cuts them.
#include "TestSupport.h"

#include <thread>

namespace {

using namespace testsupport;
using handbuilt::textAt;
using handbuilt::u32At;
using simserver::Endpoint;
using simserver::Options;
using simserver::Server;

class SimServerRecording : public ::testing::TestWithParam<Endpoint> {
protected:
  SimServerRecording() { server_.start(); }
  rawclient::Winsock winsock_;
  Server server_;
};

std::string endpointLabel(const ::testing::TestParamInfo<Endpoint>& info) {
  return simserver::endpointName(info.param);
}

TEST_P(SimServerRecording, EveryRequestIsRecordedWithItsExactBytesAndAnswered) {
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  const std::vector<Bytes> sent = {
      handbuilt::open(1, "Recorder"),
      handbuilt::mapClientEvent(2, 11, "AP_MASTER"),
      handbuilt::transmitEvent(3, 0, 11, 42, 1, 0x10),
      handbuilt::addToDataDefinition(4, 5, "PLANE ALTITUDE", "feet", 4, 0.5f, 77),
      handbuilt::setData(5, 5, 0, 0, 2, 4, {1, 2, 3, 4, 5, 6, 7, 8}),
      handbuilt::requestData(6, 9, 5, 0, 1, 0, 0, 0, 0),
      handbuilt::requestSystemState(7, 12, "Sim"),
  };
  Bytes stream;
  for (const Bytes& message : sent)
    stream.insert(stream.end(), message.begin(), message.end());
  ASSERT_TRUE(client->write(stream));

  ASSERT_TRUE(server_.waitForMessages(1, 7, kWait));
  const auto received = server_.messages(1);
  ASSERT_EQ(received.size(), 7u);
  for (size_t i = 0; i < sent.size(); ++i)
    EXPECT_EQ(received[i].bytes, sent[i]) << "message " << i;
  const uint32_t types[] = {0xF0000001, 0xF0000004, 0xF0000005, 0xF000000C,
                            0xF0000010, 0xF000000E, 0xF0000035};
  const uint32_t sizes[] = {296, 276, 36, 544, 44, 48, 276};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(received[i].header.size, sizes[i]);
    EXPECT_EQ(received[i].header.version, 26u);
    EXPECT_EQ(received[i].header.type, types[i]);
    EXPECT_EQ(received[i].header.sequence, i + 1);
  }
  EXPECT_TRUE(server_.violations(1).empty());

  // Answers: open reply 308, ack 24, event 36, ack 24, ack 24, data 48, state 280.
  const Bytes replies = client->readExactly(308 + 24 + 36 + 24 + 24 + 48 + 280);
  ASSERT_EQ(replies.size(), 744u);
  checkOpenReply(Bytes(replies.begin(), replies.begin() + 308), "Recorder", 1);

  const Bytes mapAck(replies.begin() + 308, replies.begin() + 332);
  EXPECT_EQ(mapAck, (Bytes{24,   0, 0, 0,    4, 0, 0, 0, 0x01, 0x10, 0, 0, //
                           0x04, 0, 0, 0xF0, 2, 0, 0, 0, 1,    0,    0, 0}));

  size_t at = 332; // event record
  EXPECT_EQ(u32At(replies, at + 0), 36u);
  EXPECT_EQ(u32At(replies, at + 8), 0x1002u);
  EXPECT_EQ(u32At(replies, at + 12), 1u);    // group
  EXPECT_EQ(u32At(replies, at + 16), 11u);   // event
  EXPECT_EQ(u32At(replies, at + 20), 42u);   // data
  EXPECT_EQ(u32At(replies, at + 24), 0u);    // object
  EXPECT_EQ(u32At(replies, at + 28), 0x10u); // flags
  EXPECT_EQ(u32At(replies, at + 32), 3u);    // sequence

  at = 368; // acks of AddToDataDefinition and SetDataOnSimObject
  EXPECT_EQ(u32At(replies, at + 8), 0x1001u);
  EXPECT_EQ(u32At(replies, at + 12), 0xF000000Cu);
  EXPECT_EQ(u32At(replies, at + 16), 4u);
  EXPECT_EQ(u32At(replies, at + 24 + 12), 0xF0000010u);
  EXPECT_EQ(u32At(replies, at + 24 + 20), 4u); // message index

  at = 416; // data record: the data last set for definition 5
  EXPECT_EQ(u32At(replies, at + 0), 48u);
  EXPECT_EQ(u32At(replies, at + 8), 0x1003u);
  EXPECT_EQ(u32At(replies, at + 12), 9u); // request
  EXPECT_EQ(u32At(replies, at + 16), 5u); // definition
  EXPECT_EQ(u32At(replies, at + 24), 1u); // period
  EXPECT_EQ(u32At(replies, at + 32), 8u); // data length
  EXPECT_EQ(u32At(replies, at + 36), 1u); // datums added to definition 5
  EXPECT_EQ(Bytes(replies.begin() + at + 40, replies.begin() + at + 48),
            (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

  at = 464; // system state record
  EXPECT_EQ(u32At(replies, at + 0), 280u);
  EXPECT_EQ(u32At(replies, at + 8), 0x1004u);
  EXPECT_EQ(u32At(replies, at + 12), 12u);
  EXPECT_EQ(u32At(replies, at + 16), 1u);
  EXPECT_EQ(textAt(replies, at + 24), "Sim");
}

TEST_P(SimServerRecording, MessagesAreFramedHoweverTheStreamCutsThem) {
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  const Bytes open = handbuilt::open(1);
  const Bytes first = handbuilt::transmitEvent(2, 1, 2, 3, 4, 5);
  const Bytes second = handbuilt::requestSystemState(3, 7, "AircraftLoaded");
  Bytes big(1 << 20);
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<uint8_t>(i * 7);
  const Bytes large = handbuilt::setData(4, 3, 0, 0, 1 << 18, 4, big);

  // The Open message in three writes, the first one shorter than the size field.
  ASSERT_TRUE(client->write(Bytes(open.begin(), open.begin() + 3)));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(client->write(Bytes(open.begin() + 3, open.begin() + 200)));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(client->write(Bytes(open.begin() + 200, open.end())));
  // Two messages and the head of a 1 MiB one in one write, its rest in another.
  Bytes packed = handbuilt::join({first, second});
  packed.insert(packed.end(), large.begin(), large.begin() + 10);
  ASSERT_TRUE(client->write(packed));
  ASSERT_TRUE(client->write(Bytes(large.begin() + 10, large.end())));

  ASSERT_TRUE(server_.waitForMessages(1, 4, kWait));
  const auto received = server_.messages(1);
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[0].bytes, open);
  EXPECT_EQ(received[1].bytes, first);
  EXPECT_EQ(received[2].bytes, second);
  EXPECT_EQ(received[3].bytes, large);
  EXPECT_EQ(received[3].header.size, 36u + (1u << 20));
  EXPECT_TRUE(server_.violations(1).empty());
}

TEST_P(SimServerRecording, AClosedClientIsRecordedAndTakesNoMoreCommands) {
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Open);
  if (GetParam() == Endpoint::Pipe)
    client->close();
  else
    client->abort(); // a reset is a client close too
  ASSERT_TRUE(server_.waitForClose(1, kWait));
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Client);
  EXPECT_FALSE(server_.sendRaw(1, {1, 2, 3}));
  EXPECT_FALSE(server_.closeConnection(1, simserver::CloseMode::Orderly));
  EXPECT_FALSE(server_.sendRaw(2, {1, 2, 3})) << "no such connection";
}

TEST_P(SimServerRecording, WithoutAnswersOnlyTheOpenReplyIsWritten) {
  Options options;
  options.pipePath = L"\\\\.\\pipe\\simserver no answers";
  options.publishPorts = false;
  options.answerRequests = false;
  Server quiet(options);
  quiet.start();
  auto client = connectTo(quiet, GetParam());
  ASSERT_TRUE(client);
  ASSERT_TRUE(
      client->write(handbuilt::join({handbuilt::open(1), handbuilt::transmitEvent(2, 0, 1, 2, 3, 4),
                                     handbuilt::transmitEvent(2, 0, 1, 2, 3, 4)})));
  ASSERT_TRUE(quiet.waitForMessages(1, 3, kWait));
  EXPECT_EQ(quiet.violations(1).size(), 1u) << "the repeated sequence number is still found";
  // Anything written for the requests would come before this marker.
  ASSERT_TRUE(quiet.sendRaw(1, {0xAB, 0xCD}));
  const Bytes stream = client->readExactly(310);
  ASSERT_EQ(stream.size(), 310u);
  EXPECT_EQ(u32At(stream, 8), 2u);
  EXPECT_EQ(stream[308], 0xAB);
  EXPECT_EQ(stream[309], 0xCD);
}

INSTANTIATE_TEST_SUITE_P(Via, SimServerRecording,
                         ::testing::Values(Endpoint::Pipe, Endpoint::IPv6, Endpoint::IPv4),
                         endpointLabel);

} // namespace

// Malformed messages and broken conversation rules are found, recorded with the message they
// belong to, and answered with fault records; a size field that loses the stream ends it.
#include "TestSupport.h"

namespace {

using namespace testsupport;
using handbuilt::u32At;
using handbuilt::Writer;
using simserver::Endpoint;
using simserver::Options;
using simserver::Server;
using simserver::ViolationKind;

struct Expected {
  ViolationKind kind;
  size_t messageIndex;
};

void expectViolations(const Server& server, simserver::ConnectionId connection,
                      const std::vector<Expected>& expected) {
  const auto found = server.violations(connection);
  ASSERT_EQ(found.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(found[i].kind, expected[i].kind)
        << "violation " << i << ": " << simserver::violationName(found[i].kind) << " "
        << found[i].detail;
    EXPECT_EQ(found[i].messageIndex, expected[i].messageIndex) << "violation " << i;
    EXPECT_EQ(found[i].connection, connection);
    EXPECT_FALSE(found[i].detail.empty());
  }
}

// Checks one 28-byte fault record: sequence, message type, violation number, message index.
void expectFaultRecord(const Bytes& stream, size_t at, uint32_t sequence, uint32_t type,
                       uint32_t kind, uint32_t index) {
  ASSERT_GE(stream.size(), at + 28);
  EXPECT_EQ(u32At(stream, at), 28u);
  EXPECT_EQ(u32At(stream, at + 8), 0x1005u);
  EXPECT_EQ(u32At(stream, at + 12), sequence);
  EXPECT_EQ(u32At(stream, at + 16), type);
  EXPECT_EQ(u32At(stream, at + 20), kind);
  EXPECT_EQ(u32At(stream, at + 24), index);
}

class SimServerViolations : public ::testing::Test {
protected:
  SimServerViolations() { server_.start(); }
  rawclient::Winsock winsock_;
  Server server_;
};

TEST_F(SimServerViolations, FormatFaultsAreFoundInEachMessage) {
  auto client = connectTo(server_, Endpoint::Pipe);
  ASSERT_TRUE(client);
  handshake(*client);

  Bytes badVersion = handbuilt::transmitEvent(2, 0, 1, 0, 0, 0);
  badVersion[4] = 25;
  const Bytes tooLong = Writer()
                            .u32(40)
                            .u32(26)
                            .u32(0xF0000005)
                            .u32(3)
                            .u32(0)
                            .u32(1)
                            .u32(0)
                            .u32(0)
                            .u32(0)
                            .u32(0)
                            .done();
  const Bytes unknownType = Writer().u32(16).u32(26).u32(0xF0000099).u32(4).done();
  // Says two 4-byte elements but carries one.
  const Bytes shortData = handbuilt::setData(5, 1, 0, 0, 2, 4, {9, 9, 9, 9});
  Bytes unterminated = handbuilt::mapClientEvent(6, 1, "");
  std::fill(unterminated.begin() + 20, unterminated.end(), 'A');
  Bytes junkBehindTerminator = handbuilt::requestSystemState(7, 1, "Sim");
  junkBehindTerminator[20 + 5] = 'X';
  const Bytes fine = handbuilt::requestSystemState(8, 1, "Sim");
  ASSERT_TRUE(client->write(handbuilt::join(
      {badVersion, tooLong, unknownType, shortData, unterminated, junkBehindTerminator, fine})));

  ASSERT_TRUE(server_.waitForMessages(1, 8, kWait));
  expectViolations(server_, 1,
                   {{ViolationKind::BadVersion, 1},
                    {ViolationKind::WrongSize, 2},
                    {ViolationKind::UnknownType, 3},
                    {ViolationKind::WrongSize, 4},
                    {ViolationKind::BadString, 5},
                    {ViolationKind::BadString, 6}});
  EXPECT_EQ(server_.messages(1)[2].bytes, tooLong) << "faulty messages are recorded as sent";

  // Six fault records, then the answer to the good request.
  const Bytes stream = client->readExactly(6 * 28 + 280);
  ASSERT_EQ(stream.size(), 6u * 28 + 280);
  expectFaultRecord(stream, 0, 2, 0xF0000005, 2, 1);
  expectFaultRecord(stream, 28, 3, 0xF0000005, 4, 2);
  expectFaultRecord(stream, 56, 4, 0xF0000099, 3, 3);
  expectFaultRecord(stream, 84, 5, 0xF0000010, 4, 4);
  expectFaultRecord(stream, 112, 6, 0xF0000004, 5, 5);
  expectFaultRecord(stream, 140, 7, 0xF0000035, 5, 6);
  EXPECT_EQ(u32At(stream, 168 + 8), 0x1004u);
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Open);
}

TEST_F(SimServerViolations, OpenMessageWithWrongFixedFieldsGetsNoOpenReply) {
  auto client = connectTo(server_, Endpoint::IPv4);
  ASSERT_TRUE(client);
  Bytes open = handbuilt::open(1);
  open[276] = 'P'; // tag written front to back: "P3D\0" instead of "\0D3P"
  open[277] = '3';
  open[278] = 'D';
  open[279] = 0;
  ASSERT_TRUE(client->write(open));
  const Bytes stream = client->readExactly(28);
  expectFaultRecord(stream, 0, 1, 0xF0000001, 6, 0);
  expectViolations(server_, 1, {{ViolationKind::BadOpenFields, 0}});
}

TEST_F(SimServerViolations, OrderRulesOpenFirstOnceAndRisingNonZeroSequenceNumbers) {
  auto client = connectTo(server_, Endpoint::IPv6);
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write(handbuilt::join({
      handbuilt::transmitEvent(1, 0, 1, 0, 0, 0),  // 0: before Open
      handbuilt::open(2),                          // 1: fine
      handbuilt::transmitEvent(2, 0, 1, 0, 0, 0),  // 2: same number again
      handbuilt::transmitEvent(0, 0, 1, 0, 0, 0),  // 3: zero
      handbuilt::transmitEvent(10, 0, 1, 0, 0, 0), // 4: a gap is fine
      handbuilt::transmitEvent(9, 0, 1, 0, 0, 0),  // 5: going down
      handbuilt::open(11),                         // 6: a second Open
      handbuilt::transmitEvent(12, 0, 1, 0, 0, 0), // 7: fine
  })));
  ASSERT_TRUE(server_.waitForMessages(1, 8, kWait));
  expectViolations(server_, 1,
                   {{ViolationKind::OpenNotFirst, 0},
                    {ViolationKind::SequenceNotRising, 2},
                    {ViolationKind::SequenceZero, 3},
                    {ViolationKind::SequenceNotRising, 5},
                    {ViolationKind::RepeatedOpen, 6}});
}

class SimServerStreamViolations : public SimServerViolations,
                                  public ::testing::WithParamInterface<Endpoint> {};

TEST_P(SimServerStreamViolations, ASizeFieldBelowTheHeaderEndsTheConnectionAfterAFaultRecord) {
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  ASSERT_TRUE(client->write(Writer().u32(8).u32(26).u32(0xF0000005).u32(2).done()));
  const ReadOutcome rest = client->readToEnd();
  expectFaultRecord(rest.bytes, 0, 0, 0, 1, 1);
  EXPECT_EQ(rest.bytes.size(), 28u);
  EXPECT_NE(rest.kind, ReadOutcome::TimedOut);
  ASSERT_TRUE(server_.waitForClose(1, kWait));
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Server);
  expectViolations(server_, 1, {{ViolationKind::StreamSize, 1}});
  EXPECT_EQ(server_.messages(1).size(), 1u);
}

TEST_P(SimServerStreamViolations, ASizeFieldAboveTheServersLimitEndsTheConnection) {
  Options options;
  options.pipePath = L"\\\\.\\pipe\\simserver size limit";
  options.publishPorts = false;
  options.maxMessageSize = 1024;
  Server limited(options);
  limited.start();
  auto client = connectTo(limited, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  ASSERT_TRUE(client->write(handbuilt::setData(2, 1, 0, 0, 1, 989, Bytes(989, 7)))); // 1025 bytes
  const ReadOutcome rest = client->readToEnd();
  expectFaultRecord(rest.bytes, 0, 0, 0, 1, 1);
  ASSERT_TRUE(limited.waitForClose(1, kWait));
  expectViolations(limited, 1, {{ViolationKind::StreamSize, 1}});
}

TEST_P(SimServerStreamViolations, CloseOnViolationEndsTheConnectionAfterTheFaultRecord) {
  Options options;
  options.pipePath = L"\\\\.\\pipe\\simserver strict";
  options.publishPorts = false;
  options.closeOnViolation = true;
  Server strict(options);
  strict.start();
  auto client = connectTo(strict, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  ASSERT_TRUE(client->write(handbuilt::join(
      {handbuilt::transmitEvent(1, 0, 0, 0, 0, 0), handbuilt::transmitEvent(3, 0, 0, 0, 0, 0)})));
  const ReadOutcome rest = client->readToEnd();
  EXPECT_EQ(rest.bytes.size(), 28u) << "the fault record, nothing for the message behind it";
  expectFaultRecord(rest.bytes, 0, 1, 0xF0000005, 10, 1);
  ASSERT_TRUE(strict.waitForClose(1, kWait));
  EXPECT_EQ(strict.info(1)->closedBy, simserver::ClosedBy::Server);
  EXPECT_EQ(strict.messages(1).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Via, SimServerStreamViolations,
                         ::testing::Values(Endpoint::Pipe, Endpoint::IPv6, Endpoint::IPv4),
                         [](const ::testing::TestParamInfo<Endpoint>& info) {
                           return std::string(simserver::endpointName(info.param));
                         });

} // namespace

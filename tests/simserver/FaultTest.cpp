// The scriptable faults, each as a raw client sees it.
#include "TestSupport.h"

#include "tools/simserver/Records.h"

#include <thread>

namespace {

using namespace testsupport;
using handbuilt::u32At;
using simserver::CloseMode;
using simserver::Endpoint;
using simserver::FaultScript;
using simserver::Options;
using simserver::Server;

Options faultOptions() {
  Options options;
  options.pipePath = L"\\\\.\\pipe\\simserver fault test";
  options.publishPorts = false;
  options.socketReceiveBuffer = 16 * 1024; // so that a paused reader backs up TCP writes soon
  return options;
}

class SimServerFaults : public ::testing::TestWithParam<Endpoint> {
protected:
  SimServerFaults() : server_(faultOptions()) { server_.start(); }
  bool isPipe() const { return GetParam() == Endpoint::Pipe; }
  // The end a raw client sees after an orderly close: end of stream on TCP, a broken pipe.
  void expectOrderlyEnd(const ReadOutcome& outcome) {
    if (isPipe()) {
      EXPECT_EQ(outcome.kind, ReadOutcome::Failed);
      EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    } else {
      EXPECT_EQ(outcome.kind, ReadOutcome::End) << "error " << outcome.error;
    }
  }
  rawclient::Winsock winsock_;
  Server server_;
};

TEST_P(SimServerFaults, RepliesArriveInPiecesWithPausesBetween) {
  FaultScript faults;
  faults.pieceSize = 128;
  faults.piecePause = 400ms;
  server_.setNextConnectionFaults(faults);
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);

  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->write(handbuilt::open(1, "Pieces")));
  Bytes reply;
  size_t reads = 0;
  size_t largestRead = 0;
  while (reply.size() < 308) {
    const ReadOutcome outcome = client->readSome(kWait, 308 - reply.size());
    ASSERT_EQ(outcome.kind, ReadOutcome::Data);
    ++reads;
    largestRead = std::max(largestRead, outcome.bytes.size());
    reply.insert(reply.end(), outcome.bytes.begin(), outcome.bytes.end());
  }
  const auto elapsed = std::chrono::steady_clock::now() - sent;
  checkOpenReply(reply, "Pieces", 1);
  // 128 + 128 + 52: the last piece cannot leave before two pauses have passed.
  EXPECT_GE(elapsed, 750ms);
  EXPECT_GE(reads, 2u);
  EXPECT_LE(largestRead, 256u);
}

TEST_P(SimServerFaults, ZeroFillerSeparatesConsecutiveRecords) {
  FaultScript faults;
  faults.fillerBytes = 5;
  server_.setNextConnectionFaults(faults);
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  ASSERT_TRUE(
      client->write(handbuilt::join({handbuilt::open(1), handbuilt::transmitEvent(2, 0, 7, 0, 0, 0),
                                     handbuilt::requestSystemState(3, 1, "Sim")})));
  const Bytes stream = client->readExactly(308 + 5 + 36 + 5 + 280);
  ASSERT_EQ(stream.size(), 634u);
  EXPECT_EQ(u32At(stream, 0), 308u);
  EXPECT_EQ(Bytes(stream.begin() + 308, stream.begin() + 313), Bytes(5, 0));
  EXPECT_EQ(u32At(stream, 313), 36u);
  EXPECT_EQ(u32At(stream, 313 + 8), 0x1002u);
  EXPECT_EQ(Bytes(stream.begin() + 349, stream.begin() + 354), Bytes(5, 0));
  EXPECT_EQ(u32At(stream, 354), 280u);
  EXPECT_EQ(u32At(stream, 354 + 8), 0x1004u);
}

TEST_P(SimServerFaults, RecordsWithSizeFieldsOneTwoAndThreeFollowTheOpenReply) {
  FaultScript faults;
  faults.afterOpenReply = {simserver::records::withSizeField(1),
                           simserver::records::withSizeField(2),
                           simserver::records::withSizeField(3)};
  server_.setNextConnectionFaults(faults);
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  checkOpenReply(handshake(*client), "Raw client", 1);
  const Bytes odd = client->readExactly(36);
  EXPECT_EQ(odd, (Bytes{1, 0, 0, 0, 4, 0, 0, 0, 6, 0x10, 0, 0, //
                        2, 0, 0, 0, 4, 0, 0, 0, 6, 0x10, 0, 0, //
                        3, 0, 0, 0, 4, 0, 0, 0, 6, 0x10, 0, 0}));
}

TEST_P(SimServerFaults, LargeRecordsArriveIntact) {
  // 64 KiB, 2 MiB, and one byte above the client's default limit of 41088.
  const uint32_t sizes[] = {64 * 1024, 2 * 1024 * 1024, 41089};
  FaultScript faults;
  for (const uint32_t size : sizes)
    faults.afterOpenReply.push_back(simserver::records::pattern(size));
  server_.setNextConnectionFaults(faults);
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  for (const uint32_t size : sizes) {
    const Bytes record = client->readExactly(size);
    ASSERT_EQ(record.size(), size);
    EXPECT_EQ(u32At(record, 0), size);
    EXPECT_EQ(u32At(record, 4), 4u);
    EXPECT_EQ(u32At(record, 8), 0x1006u);
    size_t wrong = 0;
    for (uint32_t i = 12; i < size; ++i)
      wrong += record[i] != static_cast<uint8_t>(i % 251);
    EXPECT_EQ(wrong, 0u) << "record of " << size << " bytes";
  }
}

TEST_P(SimServerFaults, CloseAfterMessagesAnswersThemAndEndsTheStream) {
  FaultScript faults;
  faults.closeAfterMessages = 3;
  server_.setNextConnectionFaults(faults);
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write(handbuilt::join(
      {handbuilt::open(1), handbuilt::transmitEvent(2, 0, 1, 0, 0, 0),
       handbuilt::transmitEvent(3, 0, 2, 0, 0, 0), handbuilt::transmitEvent(4, 0, 3, 0, 0, 0),
       handbuilt::transmitEvent(5, 0, 4, 0, 0, 0)})));
  const ReadOutcome outcome = client->readToEnd();
  EXPECT_EQ(outcome.bytes.size(), 308u + 36 + 36);
  expectOrderlyEnd(outcome);
  ASSERT_TRUE(server_.waitForClose(1, kWait));
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Server);
  EXPECT_EQ(server_.messages(1).size(), 3u);
}

TEST_P(SimServerFaults, CloseAfterReplyBytesCutsTheStreamThere) {
  FaultScript faults;
  faults.closeAfterReplyBytes = 100;
  server_.setNextConnectionFaults(faults);
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->write(handbuilt::open(1)));
  const ReadOutcome outcome = client->readToEnd();
  ASSERT_EQ(outcome.bytes.size(), 100u);
  EXPECT_EQ(u32At(outcome.bytes, 0), 308u);
  expectOrderlyEnd(outcome);
  ASSERT_TRUE(server_.waitForClose(1, kWait));
  EXPECT_EQ(server_.info(1)->bytesWritten, 100u);
}

TEST_P(SimServerFaults, AnOrderlyCloseOnDemandDeliversWhatWasSentBefore) {
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  ASSERT_TRUE(server_.sendRaw(1, {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3}));
  ASSERT_TRUE(server_.closeConnection(1, CloseMode::Orderly));
  const ReadOutcome outcome = client->readToEnd();
  EXPECT_EQ(outcome.bytes, (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3}));
  expectOrderlyEnd(outcome);
  ASSERT_TRUE(server_.waitForClose(1, kWait));
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Server);
}

TEST_P(SimServerFaults, AnAbortiveCloseIsAResetOnTcpAndABrokenPipeOnThePipe) {
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  ASSERT_TRUE(client->beginRead());
  ASSERT_TRUE(server_.closeConnection(1, isPipe() ? CloseMode::BreakPipe : CloseMode::Reset));
  const ReadOutcome outcome = client->finishRead();
  ASSERT_EQ(outcome.kind, ReadOutcome::Failed);
  if (isPipe())
    EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED));
  else
    EXPECT_EQ(outcome.error, static_cast<DWORD>(WSAECONNRESET));
  EXPECT_FALSE(client->write(handbuilt::transmitEvent(2, 0, 0, 0, 0, 0)));
  ASSERT_TRUE(server_.waitForClose(1, kWait));
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Server);
}

TEST_P(SimServerFaults, ScriptedCloseAfterMessagesCanBeAbortive) {
  FaultScript faults;
  faults.closeAfterMessages = 1;
  faults.closeMode = isPipe() ? CloseMode::BreakPipe : CloseMode::Reset;
  server_.setNextConnectionFaults(faults);
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->beginRead());
  ASSERT_TRUE(client->write(handbuilt::open(1)));
  const ReadOutcome outcome = client->finishRead();
  EXPECT_EQ(outcome.kind, ReadOutcome::Failed);
  EXPECT_EQ(outcome.error, isPipe() ? static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED)
                                    : static_cast<DWORD>(WSAECONNRESET));
}

TEST_P(SimServerFaults, RawBytesAreSentOnDemandBetweenAnswers) {
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  ASSERT_TRUE(server_.sendRaw(1, {0, 0, 0, 0, 0x10, 0x20}));
  EXPECT_EQ(client->readExactly(6), (Bytes{0, 0, 0, 0, 0x10, 0x20}));
  ASSERT_TRUE(client->write(handbuilt::transmitEvent(2, 0, 5, 6, 7, 8)));
  ASSERT_TRUE(server_.waitForMessages(1, 2, kWait));
  ASSERT_TRUE(server_.sendRaw(1, {0xFF}));
  const Bytes stream = client->readExactly(36 + 1);
  ASSERT_EQ(stream.size(), 37u);
  EXPECT_EQ(u32At(stream, 0), 36u) << "the answer queued before the later raw bytes";
  EXPECT_EQ(u32At(stream, 16), 5u);
  EXPECT_EQ(stream[36], 0xFF);
  EXPECT_FALSE(server_.sendRaw(7, {1})) << "no such connection";
}

TEST_P(SimServerFaults, ASlowReaderLetsTheClientsWritesBackUp) {
  FaultScript faults;
  faults.pauseReadingAfterMessages = 1;
  faults.pauseReadingFor = 5000ms; // the test acts well within this
  server_.setNextConnectionFaults(faults);
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);
  ASSERT_TRUE(server_.waitForMessages(1, 1, kWait));

  // 8 MiB: more than the pipe and both socket buffers can hold.
  const size_t messageCount = 512;
  const Bytes data(16 * 1024 - 36, 0x5A);
  Bytes burst;
  for (uint32_t i = 0; i < messageCount; ++i) {
    const Bytes message =
        handbuilt::setData(2 + i, 1, 0, 0, 1, static_cast<uint32_t>(data.size()), data);
    burst.insert(burst.end(), message.begin(), message.end());
  }
  ASSERT_TRUE(client->beginWrite(burst));
  EXPECT_FALSE(client->writeFinished(1000ms)) << "the write should wait for the paused reader";
  EXPECT_EQ(server_.messages(1).size(), 1u) << "nothing is taken in while reading is paused";
  EXPECT_TRUE(client->writeFinished(kWait));
  ASSERT_TRUE(server_.waitForMessages(1, 1 + messageCount, kWait));
  EXPECT_TRUE(server_.violations(1).empty());
}

TEST_P(SimServerFaults, LiveConnectionsTakeNewScriptsAndPauses) {
  auto client = connectTo(server_, GetParam());
  ASSERT_TRUE(client);
  handshake(*client);

  ASSERT_TRUE(server_.pauseReading(1, 3000ms));
  ASSERT_TRUE(client->write(handbuilt::transmitEvent(2, 0, 1, 0, 0, 0)));
  EXPECT_FALSE(server_.waitForMessages(1, 2, 500ms)) << "taken in during the pause";
  ASSERT_TRUE(server_.waitForMessages(1, 2, kWait));

  FaultScript faults;
  faults.closeAfterMessages = 2; // counted from now
  ASSERT_TRUE(server_.setFaults(1, faults));
  ASSERT_TRUE(client->write(handbuilt::transmitEvent(3, 0, 1, 0, 0, 0)));
  ASSERT_TRUE(server_.waitForMessages(1, 3, kWait));
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Open);
  ASSERT_TRUE(client->write(handbuilt::transmitEvent(4, 0, 1, 0, 0, 0)));
  ASSERT_TRUE(server_.waitForClose(1, kWait));
  EXPECT_EQ(server_.info(1)->closedBy, simserver::ClosedBy::Server);
  EXPECT_EQ(server_.messages(1).size(), 4u);
}

TEST_P(SimServerFaults, NextConnectionScriptsApplyOnceAndDefaultScriptsToEveryConnection) {
  FaultScript once;
  once.closeAfterMessages = 1;
  server_.setNextConnectionFaults(once);
  auto first = connectTo(server_, GetParam());
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->write(handbuilt::open(1)));
  EXPECT_EQ(first->readToEnd().bytes.size(), 308u);

  auto second = connectTo(server_, GetParam());
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->write(
      handbuilt::join({handbuilt::open(1), handbuilt::transmitEvent(2, 0, 1, 0, 0, 0)})));
  EXPECT_EQ(second->readExactly(308 + 36).size(), 344u);
  EXPECT_EQ(server_.info(2)->closedBy, simserver::ClosedBy::Open);

  Options options = faultOptions();
  options.pipePath = L"\\\\.\\pipe\\simserver default faults";
  options.faults.fillerBytes = 2;
  Server everyConnection(options);
  everyConnection.start();
  for (int i = 0; i < 2; ++i) {
    auto client = connectTo(everyConnection, GetParam());
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->write(
        handbuilt::join({handbuilt::open(1), handbuilt::transmitEvent(2, 0, 1, 0, 0, 0)})));
    const Bytes stream = client->readExactly(308 + 2 + 36);
    ASSERT_EQ(stream.size(), 346u);
    EXPECT_EQ(u32At(stream, 310), 36u) << "connection " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Via, SimServerFaults,
                         ::testing::Values(Endpoint::Pipe, Endpoint::IPv6, Endpoint::IPv4),
                         [](const ::testing::TestParamInfo<Endpoint>& info) {
                           return std::string(simserver::endpointName(info.param));
                         });

} // namespace

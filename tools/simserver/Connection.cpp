#include "tools/simserver/Connection.h"

#include "tools/simserver/ByteOrder.h"
#include "tools/simserver/Records.h"

#include <algorithm>

namespace simserver {
namespace {

constexpr DWORD kReadBufferSize = 64 * 1024;
constexpr size_t kMaxWriteChunk = 1024 * 1024;
// An orderly close waits this long for the client to take the remaining replies.
constexpr std::chrono::seconds kOrderlyCloseGrace(5);
constexpr DWORD kCancelWaitMs = 5000;

} // namespace

Connection::Connection(ConnectionInfo info, std::unique_ptr<Channel> channel, FaultScript faults,
                       ConnectionSettings settings)
    : info_(info), channel_(std::move(channel)), settings_(std::move(settings)),
      wake_(makeEvent(false)), readEvent_(makeEvent(true)), readBuffer_(kReadBufferSize),
      writeEvent_(makeEvent(true)) {
  applyFaults(std::move(faults));
}

Connection::~Connection() {
  if (thread_.joinable()) thread_.join();
}

void Connection::start() {
  thread_ = std::thread([this] { run(); });
}

bool Connection::post(Command command) {
  std::lock_guard<std::mutex> lock(commandMutex_);
  if (finished_) return false;
  commands_.push_back(std::move(command));
  SetEvent(wake_.get());
  return true;
}

bool Connection::sendRaw(std::vector<uint8_t> bytes) {
  return post(SendRaw{std::move(bytes)});
}
bool Connection::close(CloseMode mode) {
  return post(Close{mode});
}
bool Connection::pauseReading(Milliseconds duration) {
  return post(PauseReading{duration});
}
bool Connection::setFaults(FaultScript faults) {
  return post(std::move(faults));
}

void Connection::log(const std::string& line) const {
  if (settings_.log)
    settings_.log("[" + std::to_string(info_.id) + " " + endpointName(info_.endpoint) + "] " +
                  line);
}

void Connection::run() {
  try {
    loop();
  } catch (const std::exception& error) {
    log(std::string("internal error: ") + error.what());
    end(ClosedBy::Server, Ending::Plain);
  }
  finishClose();
}

void Connection::loop() {
  for (;;) {
    takeCommands();
    if (!ended_ && !closing_ && !readingPaused()) processInbound();
    const bool writesDone = !writePending_ && inFlight_.empty() && queuedBytes() == 0;
    if (!ended_ && closing_ && (writesDone || Clock::now() >= closeDeadline_))
      end(ClosedBy::Server, Ending::Orderly);
    if (ended_) return;
    startRead();
    startWrite();
    if (ended_) return;

    HANDLE handles[4] = {settings_.stopEvent, wake_.get(), nullptr, nullptr};
    DWORD count = 2;
    if (readPending_) handles[count++] = readEvent_.get();
    if (writePending_) handles[count++] = writeEvent_.get();
    const DWORD waited = WaitForMultipleObjects(count, handles, FALSE, waitTimeout());
    if (waited == WAIT_FAILED) throwSystemError("WaitForMultipleObjects failed", GetLastError());
    if (waited == WAIT_OBJECT_0) {
      end(ClosedBy::Stop, Ending::Plain);
      return;
    }
    // Commands first: one posted before the client's bytes arrived (a read pause, a new script)
    // must apply to those bytes even when both woke this wait.
    takeCommands();
    if (readPending_ && WaitForSingleObject(readEvent_.get(), 0) == WAIT_OBJECT_0) completeRead();
    if (writePending_ && WaitForSingleObject(writeEvent_.get(), 0) == WAIT_OBJECT_0)
      completeWrite();
  }
}

DWORD Connection::waitTimeout() const {
  const Clock::time_point now = Clock::now();
  std::optional<Clock::time_point> next;
  auto consider = [&](Clock::time_point when) {
    if (when > now && (!next || when < *next)) next = when;
  };
  consider(readResumeAt_);
  if (!writePending_ && queuedBytes() > 0) consider(nextWriteAt_);
  if (closing_) consider(closeDeadline_);
  if (!next) return INFINITE;
  const auto ms = std::chrono::duration_cast<Milliseconds>(*next - now).count() + 1;
  return static_cast<DWORD>(std::min<long long>(ms, 0x7FFFFFFF));
}

void Connection::takeCommands() {
  std::deque<Command> commands;
  {
    std::lock_guard<std::mutex> lock(commandMutex_);
    commands.swap(commands_);
  }
  for (Command& command : commands) {
    if (auto* send = std::get_if<SendRaw>(&command)) {
      queueRaw(send->bytes);
    } else if (auto* close = std::get_if<Close>(&command)) {
      log("close requested");
      requestClose(close->mode);
    } else if (auto* pause = std::get_if<PauseReading>(&command)) {
      readResumeAt_ = Clock::now() + pause->duration;
    } else if (auto* faults = std::get_if<FaultScript>(&command)) {
      applyFaults(std::move(*faults));
    }
  }
}

void Connection::applyFaults(FaultScript faults) {
  faults_ = std::move(faults);
  messagesAtFaults_ = messageCount_;
  writtenAtFaults_ = written_;
  nextWriteAt_ = Clock::time_point{};
  if (faults_.pauseReadingAfterMessages == size_t{0})
    readResumeAt_ = Clock::now() + faults_.pauseReadingFor;
  if (faults_.closeAfterMessages == size_t{0} || faults_.closeAfterReplyBytes == uint64_t{0})
    requestClose(faults_.closeMode);
}

// ---- Reading -------------------------------------------------------------------------------

void Connection::startRead() {
  if (readPending_ || closing_ || ended_ || readingPaused()) return;
  ResetEvent(readEvent_.get());
  readOv_ = OVERLAPPED{};
  readOv_.hEvent = readEvent_.get();
  DWORD error = 0;
  if (channel_->startRead(readBuffer_.data(), kReadBufferSize, readOv_, error) == IoStart::Failed) {
    clientEnded("read failed: " + systemErrorText(error));
    return;
  }
  readPending_ = true;
}

void Connection::completeRead() {
  readPending_ = false;
  DWORD bytes = 0;
  DWORD error = 0;
  if (!channel_->finish(readOv_, bytes, error)) {
    clientEnded("read failed: " + systemErrorText(error));
    return;
  }
  if (bytes == 0) {
    if (channel_->zeroReadIsEnd()) clientEnded("end of stream");
    return;
  }
  if (closing_) return; // a closing connection takes no more messages
  inbound_.insert(inbound_.end(), readBuffer_.begin(), readBuffer_.begin() + bytes);
  processInbound();
}

void Connection::processInbound() {
  while (!ended_ && !closing_ && !readingPaused()) {
    const size_t available = inbound_.size() - inboundStart_;
    if (available < 4) break;
    const uint8_t* head = inbound_.data() + inboundStart_;
    const uint32_t size = readU32(head);
    if (size < kMessageHeaderSize || size > settings_.maxMessageSize) {
      const Finding finding{ViolationKind::StreamSize,
                            "size field " + std::to_string(size) + " (allowed 16 to " +
                                std::to_string(settings_.maxMessageSize) +
                                "); the stream cannot be followed"};
      settings_.recorder->addStreamViolation(info_.id, finding);
      log(std::string("violation ") + violationName(finding.kind) + ": " + finding.detail);
      if (settings_.answerRequests)
        queueRecord(records::fault(0, 0, static_cast<uint32_t>(finding.kind),
                                   static_cast<uint32_t>(messageCount_)));
      inbound_.clear();
      inboundStart_ = 0;
      requestClose(CloseMode::Orderly);
      return;
    }
    if (available < size) {
      inbound_.reserve(inboundStart_ + size);
      break;
    }
    handleMessage(head, size);
    inboundStart_ += size;
  }
  if (inboundStart_ == inbound_.size()) {
    inbound_.clear();
    inboundStart_ = 0;
  } else if (inboundStart_ > 0) {
    inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<ptrdiff_t>(inboundStart_));
    inboundStart_ = 0;
  }
}

void Connection::handleMessage(const uint8_t* message, uint32_t size) {
  ReceivedMessage received{readHeader(message), std::vector<uint8_t>(message, message + size)};
  const std::vector<Finding> findings = rules_.check(message, size);
  const size_t index = messageCount_++;
  log("#" + std::to_string(index) + " " + describeMessage(message, size));
  for (const Finding& finding : findings)
    log(std::string("violation ") + violationName(finding.kind) + ": " + finding.detail);

  if (findings.empty()) {
    answer(received, index);
  } else {
    if (settings_.answerRequests)
      for (const Finding& finding : findings)
        queueRecord(records::fault(received.header.sequence, received.header.type,
                                   static_cast<uint32_t>(finding.kind),
                                   static_cast<uint32_t>(index)));
    if (settings_.closeOnViolation) requestClose(CloseMode::Orderly);
  }
  settings_.recorder->addMessage(info_.id, std::move(received), findings);

  const size_t sinceFaults = messageCount_ - messagesAtFaults_;
  if (faults_.pauseReadingAfterMessages == sinceFaults) {
    log("reading paused");
    readResumeAt_ = Clock::now() + faults_.pauseReadingFor;
  }
  if (faults_.closeAfterMessages && sinceFaults >= *faults_.closeAfterMessages)
    requestClose(faults_.closeMode);
}

void Connection::answer(const ReceivedMessage& message, size_t index) {
  const uint8_t* m = message.bytes.data();
  const MessageHeader& header = message.header;
  if (header.type == message_type::Open) {
    queueRecord(records::openReply(m + 16, header.sequence, info_.clientId, info_.id));
    for (const std::vector<uint8_t>& block : faults_.afterOpenReply)
      queueRaw(block);
    return;
  }
  if (!settings_.answerRequests) return;
  switch (header.type) {
  case message_type::TransmitClientEvent:
    queueRecord(records::event(readU32(m + 28), readU32(m + 20), readU32(m + 24), readU32(m + 16),
                               readU32(m + 32), header.sequence));
    return;
  case message_type::AddToDataDefinition:
    ++definitionEntries_[readU32(m + 16)];
    break;
  case message_type::RequestDataOnSimObject: {
    const uint32_t definition = readU32(m + 20);
    const auto entries = definitionEntries_.find(definition);
    const auto data = lastSetData_.find(definition);
    queueRecord(records::data(readU32(m + 16), definition, readU32(m + 24), readU32(m + 28),
                              readU32(m + 32),
                              entries == definitionEntries_.end() ? 0 : entries->second,
                              data == lastSetData_.end() ? std::vector<uint8_t>{} : data->second));
    return;
  }
  case message_type::SetDataOnSimObject:
    lastSetData_[readU32(m + 16)].assign(message.bytes.begin() + 36, message.bytes.end());
    break;
  case message_type::RequestSystemState:
    queueRecord(records::systemState(readU32(m + 16), m + 20));
    return;
  default:
    break;
  }
  queueRecord(records::ack(header.type, header.sequence, static_cast<uint32_t>(index)));
}

// ---- Writing -------------------------------------------------------------------------------

void Connection::queueRecord(const std::vector<uint8_t>& record) {
  if (recordsQueued_ > 0 && faults_.fillerBytes > 0)
    outbound_.insert(outbound_.end(), faults_.fillerBytes, uint8_t{0});
  queueRaw(record);
  ++recordsQueued_;
}

void Connection::queueRaw(const std::vector<uint8_t>& bytes) {
  outbound_.insert(outbound_.end(), bytes.begin(), bytes.end());
}

void Connection::startWrite() {
  if (writePending_ || ended_) return;
  if (inFlightDone_ == inFlight_.size()) {
    inFlight_.clear();
    inFlightDone_ = 0;
    if (queuedBytes() == 0 || Clock::now() < nextWriteAt_) return;
    size_t length =
        std::min(queuedBytes(), faults_.pieceSize > 0 ? size_t{faults_.pieceSize} : kMaxWriteChunk);
    if (faults_.closeAfterReplyBytes) {
      const uint64_t sent = written_ - writtenAtFaults_;
      const uint64_t allowed =
          *faults_.closeAfterReplyBytes > sent ? *faults_.closeAfterReplyBytes - sent : 0;
      length = static_cast<size_t>(std::min<uint64_t>(length, allowed));
      if (length == 0) return;
    }
    const auto first = outbound_.begin() + static_cast<ptrdiff_t>(outboundStart_);
    inFlight_.assign(first, first + static_cast<ptrdiff_t>(length));
    outboundStart_ += length;
    if (outboundStart_ == outbound_.size()) {
      outbound_.clear();
      outboundStart_ = 0;
    } else if (outboundStart_ >= kMaxWriteChunk) {
      outbound_.erase(outbound_.begin(),
                      outbound_.begin() + static_cast<ptrdiff_t>(outboundStart_));
      outboundStart_ = 0;
    }
  }
  ResetEvent(writeEvent_.get());
  writeOv_ = OVERLAPPED{};
  writeOv_.hEvent = writeEvent_.get();
  DWORD error = 0;
  if (channel_->startWrite(inFlight_.data() + inFlightDone_,
                           static_cast<DWORD>(inFlight_.size() - inFlightDone_), writeOv_,
                           error) == IoStart::Failed) {
    clientEnded("write failed: " + systemErrorText(error));
    return;
  }
  writePending_ = true;
}

void Connection::completeWrite() {
  writePending_ = false;
  DWORD bytes = 0;
  DWORD error = 0;
  if (!channel_->finish(writeOv_, bytes, error)) {
    clientEnded("write failed: " + systemErrorText(error));
    return;
  }
  inFlightDone_ = std::min(inFlight_.size(), inFlightDone_ + bytes);
  written_ += bytes;
  settings_.recorder->addBytesWritten(info_.id, bytes);
  const Clock::time_point now = Clock::now();
  if (closing_) closeDeadline_ = now + kOrderlyCloseGrace;
  if (inFlightDone_ == inFlight_.size()) {
    inFlight_.clear();
    inFlightDone_ = 0;
    if (faults_.pieceSize > 0) nextWriteAt_ = now + faults_.piecePause;
  }
  if (faults_.closeAfterReplyBytes &&
      written_ - writtenAtFaults_ >= *faults_.closeAfterReplyBytes) {
    outbound_.clear();
    outboundStart_ = 0;
    log("reply byte limit reached");
    requestClose(faults_.closeMode);
  }
}

// ---- Ending --------------------------------------------------------------------------------

void Connection::requestClose(CloseMode mode) {
  if (ended_) return;
  if (mode != CloseMode::Orderly) {
    end(ClosedBy::Server, Ending::Abortive);
    return;
  }
  if (!closing_) {
    closing_ = true;
    closeDeadline_ = Clock::now() + kOrderlyCloseGrace;
  }
}

void Connection::clientEnded(const std::string& why) {
  if (ended_) return;
  log("client side ended: " + why);
  end(closing_ ? ClosedBy::Server : ClosedBy::Client, Ending::Plain);
}

void Connection::end(ClosedBy by, Ending how) {
  if (ended_) return;
  ended_ = true;
  closedBy_ = by;
  ending_ = how;
}

void Connection::collect(HANDLE event) {
  if (WaitForSingleObject(event, kCancelWaitMs) == WAIT_OBJECT_0) return;
  // The cancel did not end the operation: closing the channel does.
  channel_->closePlain();
  WaitForSingleObject(event, INFINITE);
}

void Connection::finishClose() {
  if (readPending_ || writePending_) channel_->cancelAll();
  if (readPending_) collect(readEvent_.get());
  if (writePending_) collect(writeEvent_.get());
  readPending_ = writePending_ = false;
  switch (ending_) {
  case Ending::Orderly:
    channel_->closeOrderly(settings_.stopEvent);
    break;
  case Ending::Abortive:
    channel_->closeAbortive();
    break;
  case Ending::Plain:
    channel_->closePlain();
    break;
  }
  {
    std::lock_guard<std::mutex> lock(commandMutex_);
    finished_ = true;
    commands_.clear();
  }
  settings_.recorder->setClosed(info_.id, closedBy_);
  log(std::string("closed by ") + closedByName(closedBy_));
}

} // namespace simserver

#pragma once
// One client connection: a thread that reads and checks the client's messages, answers them,
// carries out the connection's fault script, and takes commands from other threads (raw sends,
// closes, read pauses, new scripts).
#include "tools/simserver/Channel.h"
#include "tools/simserver/Recorder.h"
#include "tools/simserver/Server.h"

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <variant>

namespace simserver {

struct ConnectionSettings {
  bool answerRequests = true;
  bool closeOnViolation = false;
  uint32_t maxMessageSize = 0;
  HANDLE stopEvent = nullptr; // set when the server stops
  Recorder* recorder = nullptr;
  std::function<void(const std::string&)> log;
};

class Connection {
public:
  Connection(ConnectionInfo info, std::unique_ptr<Channel> channel, FaultScript faults,
             ConnectionSettings settings);
  ~Connection(); // joins the thread; the server's stop event must be set first
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void start();

  // Commands; false once the connection has ended.
  bool sendRaw(std::vector<uint8_t> bytes);
  bool close(CloseMode mode);
  bool pauseReading(Milliseconds duration);
  bool setFaults(FaultScript faults);

private:
  using Clock = std::chrono::steady_clock;
  struct SendRaw {
    std::vector<uint8_t> bytes;
  };
  struct Close {
    CloseMode mode;
  };
  struct PauseReading {
    Milliseconds duration;
  };
  using Command = std::variant<SendRaw, Close, PauseReading, FaultScript>;
  enum class Ending { Plain, Orderly, Abortive };

  bool post(Command command);
  void run();
  void loop();
  void takeCommands();
  void applyFaults(FaultScript faults);

  void startRead();
  void completeRead();
  void processInbound();
  void handleMessage(const uint8_t* message, uint32_t size);
  void answer(const ReceivedMessage& message, size_t index);

  void queueRecord(const std::vector<uint8_t>& record);
  void queueRaw(const std::vector<uint8_t>& bytes);
  size_t queuedBytes() const { return outbound_.size() - outboundStart_; }
  void startWrite();
  void completeWrite();

  void requestClose(CloseMode mode);
  void clientEnded(const std::string& why);
  void end(ClosedBy by, Ending how);
  void finishClose();
  void collect(HANDLE event);
  DWORD waitTimeout() const;
  bool readingPaused() const { return Clock::now() < readResumeAt_; }
  void log(const std::string& line) const;

  const ConnectionInfo info_;
  std::unique_ptr<Channel> channel_;
  const ConnectionSettings settings_;
  std::thread thread_;

  std::mutex commandMutex_;
  std::deque<Command> commands_;
  bool finished_ = false;
  UniqueHandle wake_;

  // Everything below belongs to the connection's thread.
  FaultScript faults_;
  size_t messagesAtFaults_ = 0; // message count when faults_ took effect
  uint64_t writtenAtFaults_ = 0;
  ConversationRules rules_;
  size_t messageCount_ = 0;
  uint64_t written_ = 0;
  size_t recordsQueued_ = 0;
  std::map<uint32_t, uint32_t> definitionEntries_;       // definition id -> datums added
  std::map<uint32_t, std::vector<uint8_t>> lastSetData_; // definition id -> data last set

  UniqueHandle readEvent_;
  OVERLAPPED readOv_{};
  bool readPending_ = false;
  std::vector<uint8_t> readBuffer_;
  std::vector<uint8_t> inbound_;
  size_t inboundStart_ = 0;
  Clock::time_point readResumeAt_{};

  UniqueHandle writeEvent_;
  OVERLAPPED writeOv_{};
  bool writePending_ = false;
  std::vector<uint8_t> outbound_;
  size_t outboundStart_ = 0;
  std::vector<uint8_t> inFlight_;
  size_t inFlightDone_ = 0;
  Clock::time_point nextWriteAt_{};

  bool closing_ = false; // orderly close: finish writing, then end
  Clock::time_point closeDeadline_{};
  bool ended_ = false;
  ClosedBy closedBy_ = ClosedBy::Open;
  Ending ending_ = Ending::Plain;
};

} // namespace simserver

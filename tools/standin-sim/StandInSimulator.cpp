#include "tools/standin-sim/StandInSimulator.h"

#include "tools/simserver/Server.h"
#include "tools/standin-sim/AddonModule.h"
#include "tools/standin-sim/RecordText.h"
#include "tools/standin-sim/SimulatorWindow.h"
#include "tools/standin-sim/Transcript.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>

namespace standin {
namespace {

using Clock = std::chrono::steady_clock;

// Frames the host path gets to deliver its last answers and take back its last deliveries.
constexpr unsigned kSettleFrames = 100;

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(size_t(std::max(length, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), length, nullptr,
                      nullptr);
  return result;
}

// The ready file appears whole (written beside, then renamed) and goes away with the run.
class ReadyFile {
public:
  ReadyFile(const std::wstring& path, const StandInReady& ready) : path_(path) {
    if (path_.empty()) return;
    const std::wstring partial = path_ + L".partial";
    const std::string text = "pipe=" + narrow(ready.pipePath) +
                             "\nipv4=" + std::to_string(ready.ipv4Port) +
                             "\nipv6=" + std::to_string(ready.ipv6Port) + "\n";
    const HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(file);
    written_ = wrote && written == text.size() &&
               MoveFileExW(partial.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  ~ReadyFile() {
    if (written_) DeleteFileW(path_.c_str());
  }
  ReadyFile(const ReadyFile&) = delete;
  ReadyFile& operator=(const ReadyFile&) = delete;
  bool failed() const { return !path_.empty() && !written_; }

private:
  std::wstring path_;
  bool written_ = false;
};

// The add-on's log lines, tagged with where it was called from.
struct AddonLogTarget {
  Transcript* transcript;
  const HostSide* host;
  const char* stage; // "start", "frame", "stop"

  static void log(void* context, const char* line) {
    auto* self = static_cast<AddonLogTarget*>(context);
    const char* where = self->host->insidePump() ? "pump" : self->stage;
    self->transcript->add("addon", std::string(where) + ": " + (line ? line : ""));
  }
};

std::unique_ptr<simserver::Server> startServer(Transcript& transcript) {
  simserver::Options options;
  options.log = [&transcript](const std::string& line) { transcript.add("net", line); };
  auto server = std::make_unique<simserver::Server>(options);
  try {
    server->start();
    return server;
  } catch (const std::exception& error) {
    transcript.add("sim", std::string("serving on all endpoints failed (") + error.what() +
                              "); trying without IPv6");
  }
  options.serveIPv6 = false;
  server = std::make_unique<simserver::Server>(options);
  server->start();
  return server;
}

std::string joinTypes(const std::vector<uint32_t>& types) {
  std::string text;
  for (const uint32_t type : types)
    text += (text.empty() ? "" : ", ") + requestTypeName(type);
  return text.empty() ? "none" : text;
}

std::set<uint32_t> registeredIds(const HostSummary& host) {
  std::set<uint32_t> ids;
  for (const HostClientInfo& client : host.clients)
    ids.insert(client.clientId);
  return ids;
}

std::vector<ConnectionReport> connectionReports(const simserver::Server& server,
                                                const std::set<uint32_t>& hostClients) {
  std::vector<ConnectionReport> reports;
  for (const simserver::ConnectionId id : server.connections()) {
    const std::optional<simserver::ConnectionInfo> info = server.info(id);
    if (!info) continue;
    ConnectionReport report;
    report.id = id;
    report.endpoint = simserver::endpointName(info->endpoint);
    report.clientId = info->clientId;
    report.addon = hostClients.count(info->clientId) > 0;
    for (const simserver::ReceivedMessage& message : server.messages(id))
      report.requestTypes.push_back(message.header.type);
    report.closedBy = simserver::closedByName(info->closedBy);
    report.closedByClient = info->closedBy == simserver::ClosedBy::Client;
    report.violations = info->violationCount;
    reports.push_back(std::move(report));
  }
  return reports;
}

unsigned finishedExternalClients(const simserver::Server& server,
                                 const std::set<uint32_t>& hostClients) {
  unsigned finished = 0;
  for (const simserver::ConnectionId id : server.connections()) {
    const std::optional<simserver::ConnectionInfo> info = server.info(id);
    if (info && hostClients.count(info->clientId) == 0 &&
        info->closedBy == simserver::ClosedBy::Client)
      ++finished;
  }
  return finished;
}

class Run {
public:
  Run(const StandInOptions& options, StandInResult& result)
      : options_(options), result_(result),
        transcript_(options.transcriptToStdout, options.transcriptFile) {}

  void execute();
  std::vector<std::string> lines() const { return transcript_.lines(); }

private:
  enum class Phase { Running, Settling, Clients, Finished };

  void problem(const std::string& text) {
    result_.problems.push_back(text);
    transcript_.add("sim", "PROBLEM: " + text);
  }
  bool frame();
  void runningFrame();
  void settlingFrame();
  void clientsFrame();
  void stopAddon();
  void summarize();

  const StandInOptions& options_;
  StandInResult& result_;
  Transcript transcript_;
  std::optional<HostSide> host_;
  std::unique_ptr<simserver::Server> server_;
  std::optional<AddonModule> addon_;
  AddonLogTarget addonLog_{};
  bool addonRunning_ = false;
  Phase phase_ = Phase::Running;
  Clock::time_point start_ = Clock::now();
  unsigned settleStartFrame_ = 0;
  Clock::time_point clientDeadline_{};
};

void Run::execute() {
  if (transcript_.fileFailed())
    problem("the transcript file cannot be written: " + narrow(options_.transcriptFile));
  if (!options_.endWhenDone && options_.maxFrames == 0 && options_.maxSeconds == 0) {
    problem("a run that does not end when the add-on is done needs a frame or time limit");
    return;
  }
  transcript_.add("sim", "stand-in Prepar3D v4 starting (process " +
                             std::to_string(GetCurrentProcessId()) + ")");

  result_.vrMode =
      readVrMode(options_.settingsFile.empty() ? defaultSettingsPath() : options_.settingsFile);
  transcript_.add("sim", result_.vrMode.describe());

  host_.emplace(transcript_);
  std::optional<SimulatorWindow> window;
  try {
    window.emplace(*host_);
    server_ = startServer(transcript_);
  } catch (const std::exception& error) {
    problem(error.what());
    return;
  }
  StandInReady ready{server_->pipePath(), server_->ipv4Port(), server_->ipv6Port()};
  transcript_.add("sim", "main window FS98MAIN created; SimConnect served on " +
                             narrow(ready.pipePath) + ", IPv4 port " +
                             std::to_string(ready.ipv4Port) + ", IPv6 port " +
                             std::to_string(ready.ipv6Port) + " (published in HKCU)");
  ReadyFile readyFile(options_.readyFile, ready);
  if (readyFile.failed())
    problem("the ready file cannot be written: " + narrow(options_.readyFile));
  if (options_.onReady) options_.onReady(ready);

  if (!options_.addonPath.empty()) {
    try {
      addon_.emplace(options_.addonPath, options_.addonSearch);
      result_.addonLoaded = true;
      transcript_.add("sim", "add-on loaded: " + narrow(options_.addonPath));
    } catch (const std::exception& error) {
      problem("add-on " + narrow(options_.addonPath) + ": " + error.what());
    }
  }
  if (addon_) {
    addonLog_ = AddonLogTarget{&transcript_, &*host_, "start"};
    const StandInAddonHost addonHost{sizeof(StandInAddonHost), result_.vrMode.on ? 1u : 0u,
                                     &AddonLogTarget::log, &addonLog_};
    const int started = addon_->start(addonHost);
    addonLog_.stage = "frame";
    result_.addonStarted = started == 0;
    addonRunning_ = result_.addonStarted;
    transcript_.add("sim", "add-on start export answered " + std::to_string(started));
    if (!result_.addonStarted) problem("the add-on did not start");
  }

  start_ = Clock::now();
  const std::function<bool()> frameFunction = [this] { return frame(); };
  if (!window->runFrames(options_.frameMilliseconds, frameFunction))
    problem("the main thread was asked to quit before the run ended");
  if (addonRunning_) stopAddon();

  server_->stop();
  summarize();
}

bool Run::frame() {
  try {
    ++result_.frames;
    host_->runFrame();
    if (phase_ == Phase::Running) runningFrame();
    if (phase_ == Phase::Settling) settlingFrame();
    if (phase_ == Phase::Clients) clientsFrame();
  } catch (const std::exception& error) {
    problem(std::string("frame ") + std::to_string(result_.frames) + ": " + error.what());
    phase_ = Phase::Finished;
  }
  return phase_ != Phase::Finished;
}

void Run::runningFrame() {
  if (addonRunning_ && !result_.addonDone) {
    const int state = addon_->frame();
    if (state == STANDIN_ADDON_DONE) {
      result_.addonDone = true;
      transcript_.add("sim",
                      "the add-on is done after " + std::to_string(result_.frames) + " frames");
    } else if (state != STANDIN_ADDON_RUNNING) {
      problem("the add-on failed in frame " + std::to_string(result_.frames));
      addonRunning_ = false;
      stopAddon();
    }
  } else if (addonRunning_) {
    addon_->frame(); // a finished add-on still dispatches until the run ends
  }
  const auto elapsed = Clock::now() - start_;
  const bool frameLimit = options_.maxFrames != 0 && result_.frames >= options_.maxFrames;
  const bool timeLimit =
      options_.maxSeconds != 0 && elapsed >= std::chrono::seconds(options_.maxSeconds);
  const bool done = options_.endWhenDone && (!addonRunning_ || result_.addonDone);
  if (!done && !frameLimit && !timeLimit) return;
  if (addonRunning_ && !result_.addonDone)
    problem("the add-on was not done when the run reached its " +
            std::string(frameLimit ? "frame" : "time") + " limit");
  phase_ = Phase::Settling;
  settleStartFrame_ = result_.frames;
}

void Run::settlingFrame() {
  const bool settled = host_->settled();
  if (!settled && result_.frames - settleStartFrame_ < kSettleFrames) return;
  host_->stopPumping();
  transcript_.add("sim", settled ? "host path settled; pump-all calls end"
                                 : "host path did not settle; pump-all calls end");
  if (addonRunning_) stopAddon();
  phase_ = Phase::Clients;
  clientDeadline_ = Clock::now() + std::chrono::seconds(options_.clientWaitSeconds);
  if (options_.expectClients > 0)
    transcript_.add("sim", "waiting for " + std::to_string(options_.expectClients) +
                               " external client(s) to finish");
}

void Run::clientsFrame() {
  if (options_.expectClients == 0) {
    phase_ = Phase::Finished;
    return;
  }
  const unsigned finished = finishedExternalClients(*server_, registeredIds(host_->summary()));
  if (finished >= options_.expectClients) {
    phase_ = Phase::Finished;
  } else if (Clock::now() >= clientDeadline_) {
    problem("only " + std::to_string(finished) + " of " + std::to_string(options_.expectClients) +
            " external clients finished within " + std::to_string(options_.clientWaitSeconds) +
            " s");
    phase_ = Phase::Finished;
  }
}

void Run::stopAddon() {
  addonRunning_ = false;
  addonLog_.stage = "stop";
  result_.addonStopResult = addon_->stop();
  transcript_.add("sim", "add-on stop export answered " + std::to_string(result_.addonStopResult));
  if (result_.addonStopResult != 0)
    problem("the add-on's stop export reported that it missed something");
}

void Run::summarize() {
  result_.host = host_->summary();
  const HostSummary& host = result_.host;
  const std::set<uint32_t> hostClients = registeredIds(host);
  result_.connections = connectionReports(*server_, hostClients);
  for (const ConnectionReport& connection : result_.connections)
    if (!connection.addon && connection.closedByClient) ++result_.externalClientsFinished;

  for (const std::string& text : host.problems)
    result_.problems.push_back("host path: " + text);
  for (const simserver::Violation& violation : server_->violations())
    problem("connection " + std::to_string(violation.connection) + ": " +
            simserver::violationName(violation.kind) + ": " + violation.detail);
  if (host.buffersOutstanding != 0)
    problem(std::to_string(host.buffersOutstanding) + " host buffer(s) never sent or discarded");
  if (host.deliveriesOutstanding != 0 || host.pendingAnswers != 0)
    problem(std::to_string(host.deliveriesOutstanding) + " delivery(ies) never released, " +
            std::to_string(host.pendingAnswers) + " answer(s) never delivered");
  if (host.releases != host.deliveries)
    problem(std::to_string(host.deliveries) + " deliveries but " + std::to_string(host.releases) +
            " good releases");
  if (addon_ && !result_.addonDone) problem("the add-on never said it was done");

  transcript_.add("summary", result_.vrMode.describe());
  if (options_.addonPath.empty())
    transcript_.add("summary", "add-on: none");
  else
    transcript_.add("summary", std::string("add-on: ") +
                                   (result_.addonLoaded ? "loaded" : "NOT loaded") +
                                   (result_.addonStarted ? ", started" : ", not started") +
                                   (result_.addonDone ? ", done" : ", NOT done") +
                                   ", stop answered " + std::to_string(result_.addonStopResult) +
                                   ", " + std::to_string(result_.frames) + " frames of " +
                                   std::to_string(options_.frameMilliseconds) + " ms");
  std::string kinds;
  for (const uint32_t kind : host.commandKinds)
    kinds += (kinds.empty() ? "" : ", ") + std::to_string(kind);
  transcript_.add("summary", "host path: host commands [" + kinds + "], " +
                                 std::to_string(host.clients.size()) + " client(s) registered, " +
                                 std::to_string(host.requestTypes.size()) +
                                 " request(s) via hostSend: " + joinTypes(host.requestTypes));
  transcript_.add("summary", "host path: " + std::to_string(host.deliveries) + " deliveries, " +
                                 std::to_string(host.releases) + " released exactly once (" +
                                 std::to_string(host.releasesInsidePump) +
                                 " dispatched by the pump-all call), " +
                                 std::to_string(host.deliveriesOutstanding) + " outstanding");
  transcript_.add("summary", "host path: buffers " + std::to_string(host.buffersAllocated) +
                                 " allocated, " + std::to_string(host.buffersSent) + " sent, " +
                                 std::to_string(host.buffersDiscarded) + " discarded, " +
                                 std::to_string(host.buffersOutstanding) + " outstanding; pump " +
                                 (host.pumpRegistered ? "registered" : "never registered") +
                                 (host.pumpRemoved ? " and removed" : "") + ", called " +
                                 std::to_string(host.pumpCalls) + " times");
  for (const char* endpoint : {"pipe", "ipv4", "ipv6"}) {
    size_t connections = 0;
    size_t requests = 0;
    for (const ConnectionReport& connection : result_.connections)
      if (connection.endpoint == endpoint) {
        ++connections;
        requests += connection.requestTypes.size();
      }
    transcript_.add("summary", std::string(endpoint) + ": " + std::to_string(connections) +
                                   " connection(s), " + std::to_string(requests) + " request(s)");
  }
  for (const ConnectionReport& connection : result_.connections)
    transcript_.add("summary",
                    "  connection " + std::to_string(connection.id) + " (" + connection.endpoint +
                        ", client id " + std::to_string(connection.clientId) +
                        (connection.addon ? ", the add-on" : ", external") + ", closed by " +
                        connection.closedBy + "): " + joinTypes(connection.requestTypes));
  if (options_.expectClients > 0)
    transcript_.add(
        "summary", "external clients finished: " + std::to_string(result_.externalClientsFinished) +
                       " of " + std::to_string(options_.expectClients) + " expected");

  result_.passed = result_.problems.empty();
  if (result_.passed) {
    transcript_.add("summary", "PASS: everything balanced");
  } else {
    transcript_.add("summary", "FAIL: " + std::to_string(result_.problems.size()) + " problem(s)");
    for (const std::string& text : result_.problems)
      transcript_.add("summary", "  - " + text);
  }
}

} // namespace

StandInResult simulate(const StandInOptions& options) {
  StandInResult result;
  Run run(options, result);
  run.execute();
  result.transcript = run.lines();
  return result;
}

int runStandInSimulator(const StandInOptions& options) {
  try {
    return simulate(options).passed ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "stand-in simulator: %s\n", error.what());
    return 1;
  }
}

} // namespace standin

#include "tools/probe/Verdict.h"

#include <string_view>

#include "connection/CompletionStatus.h"
#include "connection/ConfigRules.h"
#include "diagnostics/TraceLine.h"
#include "tools/probe/CodeWords.h"
#include "tools/probe/ConfigWarnings.h"

namespace probe {

namespace {

constexpr uint32_t kInvalidArgument = 0x80070057;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPipeClosing = 0xC00000B1; // STATUS_PIPE_CLOSING

std::string sectionOf(const Report& report) {
  return report.section.empty() ? tracefmt::utf8(config::sectionName(report.index))
                                : report.section;
}

// The file a fix belongs in: the last one read whose section has lines (it wins), else the
// current folder's, which is read last.
std::string fileToChange(const Report& report) {
  for (auto it = report.files.rbegin(); it != report.files.rend(); ++it) {
    if (it->section) return it->path;
  }
  if (!report.files.empty()) return report.files.back().path;
  return "SimConnect.cfg in the add-on's current folder";
}

std::string inFile(const Report& report) {
  return "in " + fileToChange(report) + ", section [" + sectionOf(report) + "]";
}

bool isLoopbackTarget(const std::string& target) {
  return target.rfind("127.0.0.1:", 0) == 0 || target.rfind("[::1]:", 0) == 0;
}

bool endsWithPort(const std::string& target, const std::string& port) {
  const std::string suffix = ":" + port;
  return target.size() > suffix.size() &&
         target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0;
}

const Attempt* connectedAttempt(const Report& report) {
  for (const Attempt& attempt : report.attempts) {
    if (attempt.result == "connected") return &attempt;
  }
  return nullptr;
}

// A published port that some attempt on loopback tried.
bool publishedPortTried(const Report& report, const std::optional<std::string>& port) {
  if (!port) return false;
  for (const Attempt& attempt : report.attempts) {
    if (attempt.transport != "pipe" && attempt.result == "failed" &&
        isLoopbackTarget(attempt.target) && endsWithPort(attempt.target, *port))
      return true;
  }
  return false;
}

bool everyPipeMissing(const Report& report) {
  bool anyPipe = false;
  for (const Attempt& attempt : report.attempts) {
    if (attempt.transport != "pipe") continue;
    anyPipe = true;
    if (attempt.code != kFileNotFound) return false;
  }
  return anyPipe;
}

const Attempt* failedTcpAttempt(const Report& report) {
  for (const Attempt& attempt : report.attempts) {
    if (attempt.transport != "pipe" && attempt.result == "failed") return &attempt;
  }
  return nullptr;
}

const Attempt* failedRemotePipe(const Report& report) {
  for (const Attempt& attempt : report.attempts) {
    if (attempt.transport == "pipe" && attempt.result == "failed" &&
        attempt.target.rfind("\\\\.\\", 0) != 0)
      return &attempt;
  }
  return nullptr;
}

void verdictForMissingSection(Report& report) {
  const std::string section = sectionOf(report);
  const ConfigFile* emptyOne = nullptr;
  for (const ConfigFile& file : report.files) {
    if (file.sectionEmpty) emptyOne = &file;
  }
  if (emptyOne != nullptr) {
    report.verdict = "Section [" + section + "] in " + emptyOne->path +
                     " has no lines, which counts as missing, so SimConnect_Open refuses "
                     "configuration index " +
                     std::to_string(report.index) + " with E_INVALIDARG.";
    report.advice.push_back("Put the settings (Protocol, Address, Port) in section [" + section +
                            "] of " + emptyOne->path + ".");
  } else {
    report.verdict = "No SimConnect.cfg has a section [" + section +
                     "], so SimConnect_Open refuses configuration index " +
                     std::to_string(report.index) + " with E_INVALIDARG.";
    report.advice.push_back("Add a section [" + section + "] with its settings (Protocol, " +
                            "Address, Port) to " + fileToChange(report) + ".");
  }
  report.advice.push_back("Or open with configuration index 0, which needs no section.");
}

void verdictForLoss(Report& report, const Attempt& connection) {
  const Loss& loss = *report.lost;
  report.verdict = "Connected over " + connection.transport + " to " + connection.target +
                   ", but the connection was lost: " + lossText(report) + ", code " +
                   codeWithWords(loss.code) + ".";
  switch (loss.reason) {
  case status::ReasonTooLarge:
  case status::ReasonBadSize:
    if (report.answered()) {
      report.advice.push_back("If the server is the simulator, raise MaxReceiveSize " +
                              inFile(report) + ".");
    } else {
      report.advice.push_back("Check that " + connection.target +
                              " is the simulator's SimConnect server and not another program; "
                              "fix Address and Port " +
                              inFile(report) + ".");
    }
    break;
  case status::ReasonZeroBytes:
  case status::ReasonRemoteClosed:
    report.advice.push_back("See whether the simulator refused this client (for instance "
                            "while it was still loading or closing), then run the probe again.");
    report.advice.push_back("Make sure only one program serves " + connection.target + ".");
    break;
  default:
    report.advice.push_back("Run the probe again; if the loss repeats, restart the simulator.");
    break;
  }
}

void verdictForNoReply(Report& report, const Attempt& connection) {
  const std::string waited = std::to_string(report.timeoutMs) + " ms";
  if (report.otherMessages != 0) {
    report.verdict = "Connected over " + connection.transport + " to " + connection.target +
                     ", but what the server sent was not an open reply within " + waited +
                     ": not a SimConnect server?";
  } else {
    report.verdict = "Connected over " + connection.transport + " to " + connection.target +
                     ", but the server did not answer the open within " + waited +
                     ": it is not a SimConnect server, or it hangs.";
  }
  report.advice.push_back("Check that " + connection.target +
                          " is the simulator's SimConnect server; fix Address and Port " +
                          inFile(report) + ".");
  report.advice.push_back("If the simulator is still loading, wait, or run the probe with a "
                          "longer --timeout-ms.");
}

void verdictForNoConnection(Report& report) {
  const std::optional<std::string>& published =
      report.registryIPv4 ? report.registryIPv4 : report.registryIPv6;
  const char* family = report.registryIPv4 ? "IPv4" : "IPv6";
  const bool anyPublishedTried = publishedPortTried(report, report.registryIPv4) ||
                                 publishedPortTried(report, report.registryIPv6);
  if (anyPublishedTried) {
    std::string ports;
    if (report.registryIPv4) ports += "IPv4 " + *report.registryIPv4;
    if (report.registryIPv6)
      ports += std::string(ports.empty() ? "" : ", ") + "IPv6 " + *report.registryIPv6;
    report.verdict = "The simulator's pipe is not served and the ports published in the "
                     "registry (" +
                     ports + ") refuse: the simulator is not running, or these ports are stale.";
    report.advice.push_back("Start Prepar3D v4 and wait until it has loaded, then run the "
                            "probe again.");
    report.advice.push_back("If it is running, restart it: it publishes its ports in " +
                            std::string(kPortsKeyName) + " when its SimConnect server starts.");
    return;
  }
  if (published && isPortNumber(*published) && everyPipeMissing(report)) {
    report.verdict = "The simulator publishes TCP port " + *published + " (" + family +
                     ") but serves no pipe, and this configuration does not try that port: the "
                     "simulator listens on TCP only.";
    report.advice.push_back("Set Protocol=" + std::string(family) + " and Port=" + *published +
                            " " + inFile(report) + ".");
    report.advice.push_back("Run the probe again.");
    return;
  }
  if (const Attempt* tcp = failedTcpAttempt(report)) {
    report.verdict = "Nothing accepts connections at " + tcp->target + ": error " +
                     codeWithWords(tcp->code) + ".";
    report.advice.push_back("Check Address and Port " + inFile(report) +
                            ": the simulator's SimConnect server must listen there.");
    report.advice.push_back("Is the simulator running?");
    return;
  }
  if (const Attempt* pipe = failedRemotePipe(report)) {
    report.verdict =
        "The pipe " + pipe->target + " cannot be reached: error " + codeWithWords(pipe->code) + ".";
    report.advice.push_back("Check Address " + inFile(report) +
                            ": the simulator must run on that computer.");
    report.advice.push_back("For a simulator on another computer, TCP is the usual way: set "
                            "Protocol=IPv4, Address and Port " +
                            inFile(report) + ".");
    return;
  }
  if (everyPipeMissing(report) && !report.registryIPv4 && !report.registryIPv6) {
    report.verdict = "No process serves the simulator's pipe and no ports are published: is "
                     "the simulator running?";
    report.advice.push_back("Start Prepar3D v4 and wait until it has loaded, then run the "
                            "probe again.");
    report.advice.push_back("If the simulator runs on another computer, set Protocol=IPv4, "
                            "Address and Port " +
                            inFile(report) + ".");
    return;
  }
  report.verdict = "SimConnect_Open failed with " + codeWithWords(report.openResult) +
                   " and no attempt connected.";
  report.advice.push_back("Look at the attempts above: each names its target and its error.");
}

} // namespace

std::string lossText(const Report& report) {
  if (!report.lost) return {};
  switch (report.lost->reason) {
  case status::ReasonTooLarge:
    return "a message above the receive limit: not a SimConnect server?";
  case status::ReasonBadSize:
    return "a message with a size of 1 to 3 bytes: not a SimConnect server?";
  case status::ReasonNoMemory:
    return "no memory for a message from the server";
  case status::ReasonFailed:
    // A write that finds the server's end of the pipe already closing (STATUS_PIPE_CLOSING)
    // reports the server's close before the read does.
    if (report.lost->code != kPipeClosing) {
      return "reading or writing failed with system error " + codeWithWords(report.lost->error);
    }
    [[fallthrough]];
  case status::ReasonZeroBytes:
  case status::ReasonRemoteClosed:
    if (!report.answered()) return "the server closed the connection without answering the open";
    if (!report.roundTripMs) return "the server closed the connection right after the open reply";
    return "the server closed the connection";
  case status::ReasonCancelled:
    return "the connection's reads and writes were cancelled";
  default:
    return report.lost->why;
  }
}

int judge(Report& report) {
  report.advice.clear();
  if (!report.traceSeen) {
    report.error = Failure{"dll", std::nullopt, std::nullopt,
                           report.dll + " wrote no trace: it is older than this probe and "
                                        "cannot explain its open"};
    return judgeFailure(report);
  }
  for (const Warning& warning : report.warnings) {
    report.advice.push_back("Fix " + warning.key + " in " + warning.file +
                            (warning.section.empty() ? "" : ", section [" + warning.section + "]") +
                            ": " + warning.text + ".");
  }
  const Attempt* connection = connectedAttempt(report);
  if (report.connected && connection != nullptr) {
    if (report.lost) {
      verdictForLoss(report, *connection);
      return kExitNotAnswered;
    }
    if (report.answered()) {
      report.verdict = "All is well: the server answered the open over " + connection->transport +
                       " (" + connection->target + ") with client id " +
                       std::to_string(*report.clientId) + ".";
      report.advice.clear();
      return kExitAnswered;
    }
    verdictForNoReply(report, *connection);
    return kExitNotAnswered;
  }
  if (report.openResult == kInvalidArgument && report.attempts.empty() &&
      config::sectionRequired(report.index)) {
    verdictForMissingSection(report);
    return kExitNotAnswered;
  }
  verdictForNoConnection(report);
  return kExitNotAnswered;
}

int judgeFailure(Report& report) {
  const Failure& failure = *report.error;
  report.verdict = failure.text + ".";
  report.advice.clear();
  if (failure.kind == "usage") {
    report.advice.push_back("Run wirebridge-probe --help for the arguments.");
    return kExitUsage;
  }
  report.advice.push_back("Use the Wirebridge.dll that came with this probe (from the probe's "
                          "folder, or name it with --dll).");
  return kExitDll;
}

} // namespace probe

// The probe's answers from a trace and a conversation: which sentence, which next steps and
// which exit code each situation gets, the values it names as rejected, ignored or cut, and the
// codes it puts in words.
#include <gtest/gtest.h>

#include <string>

#include "tools/probe/CodeWords.h"
#include "tools/probe/ConfigWarnings.h"
#include "tools/probe/ProbeReport.h"
#include "tools/probe/Verdict.h"

namespace {

using probe::Report;

const std::string kPipe = R"(\\.\pipe\Lockheed Martin Prepar3D v4\SimConnect)";
const std::string kCurrentFile = R"(Z:\tmp\addon\SimConnect.cfg)";

// A trace of one open, line by line, in the library's own format.
struct TraceText {
  std::string text = "2026-12-08 03:49:56.668 [04f8] open index=0\n";
  TraceText& line(const std::string& event) {
    text += "2026-12-08 03:49:56.669 [04f8] " + event + "\n";
    return *this;
  }
  TraceText& registry(const std::string& ipv4, const std::string& ipv6) {
    return line("registry ipv4=" + ipv4 + " ipv6=" + ipv6);
  }
  TraceText& config(const std::string& section, const std::string& values) {
    return line("config-read file=\"" + kCurrentFile + "\" found=yes section=\"" + section +
                "\" lines=yes " + values);
  }
  TraceText& attempt(const std::string& transport, const std::string& target,
                     const std::string& result, int error) {
    return line("attempt transport=" + transport + " target=\"" + target + "\" result=" + result +
                " error=" + std::to_string(error) + " ms=1" +
                (result == "connected" ? " serial=7" : ""));
  }
};

struct Judged {
  Report report;
  int exitCode = -1;
  bool advises(const std::string& text) const {
    for (const std::string& advice : report.advice) {
      if (advice.find(text) != std::string::npos) return true;
    }
    return false;
  }
  bool says(const std::string& text) const {
    return report.verdict.find(text) != std::string::npos;
  }
};

// The probe's steps after the conversation: read the trace, find the warnings, judge.
Judged judged(const TraceText& trace, uint32_t openResult, bool connected = false,
              uint32_t index = 0, void (*conversation)(Report&) = nullptr) {
  Judged result;
  result.report.index = index;
  result.report.dll = R"(Z:\dist\Wirebridge.dll)";
  result.report.timeoutMs = 3000;
  result.report.openResult = openResult;
  result.report.connected = connected;
  if (conversation != nullptr) conversation(result.report);
  probe::readTrace(trace.text, result.report);
  result.report.warnings = probe::configWarnings(result.report);
  result.exitCode = probe::judge(result.report);
  return result;
}

void openReplyArrived(Report& report) {
  report.replyId = 2;
  report.replyLength = 308;
  report.clientId = 1001;
}

constexpr uint32_t kFail = 0x80004005;
constexpr uint32_t kInvalidArgument = 0x80070057;

TEST(ProbeVerdict, AnsweredOpenIsAllWellWithoutSteps) {
  const Judged run =
      judged(TraceText().registry("none", "none").attempt("pipe", kPipe, "connected", 0), 0, true,
             0, openReplyArrived);
  EXPECT_EQ(run.exitCode, probe::kExitAnswered);
  EXPECT_TRUE(run.says("All is well")) << run.report.verdict;
  EXPECT_TRUE(run.says("client id 1001"));
  EXPECT_TRUE(run.report.advice.empty());
}

TEST(ProbeVerdict, MissingSectionNamesTheSectionAndTheFileToAddItTo) {
  TraceText trace;
  trace.line("config-probe file=\"" + kCurrentFile +
             "\" found=yes section=\"SimConnect.8\" lines=no");
  const Judged run = judged(trace, kInvalidArgument, false, 8);
  EXPECT_EQ(run.exitCode, probe::kExitNotAnswered);
  EXPECT_TRUE(run.says("No SimConnect.cfg has a section [SimConnect.8]")) << run.report.verdict;
  EXPECT_TRUE(run.advises("Add a section [SimConnect.8]"));
  EXPECT_TRUE(run.advises(kCurrentFile));
  EXPECT_TRUE(run.advises("configuration index 0"));
}

TEST(ProbeVerdict, EmptySectionSaysItCountsAsMissing) {
  TraceText trace;
  trace.line("config-probe file=\"" + kCurrentFile +
             "\" found=yes section=\"SimConnect.7\" lines=empty");
  const Judged run = judged(trace, kInvalidArgument, false, 7);
  EXPECT_TRUE(run.says("has no lines, which counts as missing")) << run.report.verdict;
  EXPECT_TRUE(run.advises("section [SimConnect.7] of " + kCurrentFile));
}

TEST(ProbeVerdict, NoPipeAndNoPortsAsksWhetherTheSimulatorRuns) {
  const Judged run = judged(TraceText()
                                .registry("none", "none")
                                .attempt("pipe", kPipe, "failed", 2)
                                .attempt("ipv6", "[::1]:", "skipped", 0)
                                .attempt("ipv4", "127.0.0.1:", "skipped", 0)
                                .attempt("pipe", kPipe, "failed", 2),
                            kFail);
  EXPECT_EQ(run.exitCode, probe::kExitNotAnswered);
  EXPECT_TRUE(run.says("No process serves the simulator's pipe and no ports are published: is "
                       "the simulator running?"))
      << run.report.verdict;
  EXPECT_TRUE(run.advises("Start Prepar3D v4"));
}

TEST(ProbeVerdict, PublishedPortNotTriedMeansTcpOnlyWithTheSettingToMake) {
  // A pipe on another machine is the only attempt; the simulator publishes a TCP port here.
  const Judged run = judged(TraceText()
                                .registry("4464", "none")
                                .config("SimConnect", "Protocol=\"Pipe\"")
                                .attempt("pipe", kPipe, "failed", 2),
                            kFail);
  EXPECT_TRUE(run.says("listens on TCP only")) << run.report.verdict;
  ASSERT_FALSE(run.report.advice.empty());
  EXPECT_EQ(run.report.advice[0],
            "Set Protocol=IPv4 and Port=4464 in " + kCurrentFile + ", section [SimConnect].");
}

TEST(ProbeVerdict, PublishedPortsThatRefuseAreStaleOrTheSimulatorIsNotRunning) {
  const Judged run = judged(TraceText()
                                .registry("500", "501")
                                .attempt("pipe", kPipe, "failed", 2)
                                .attempt("ipv6", "[::1]:501", "failed", 10061)
                                .attempt("ipv4", "127.0.0.1:500", "failed", 10061)
                                .attempt("pipe", kPipe, "failed", 2),
                            kFail);
  EXPECT_TRUE(run.says("IPv4 500, IPv6 501) refuse: the simulator is not running, or these "
                       "ports are stale"))
      << run.report.verdict;
}

TEST(ProbeVerdict, ConfiguredTargetThatRefusesNamesTargetErrorAndKeys) {
  const Judged run = judged(TraceText()
                                .registry("none", "none")
                                .config("SimConnect", "Protocol=\"IPv4\" Address=\"127.0.0.2\" "
                                                      "Port=\"500\"")
                                .attempt("ipv4", "127.0.0.2:500", "failed", 10061),
                            kFail);
  EXPECT_TRUE(run.says("Nothing accepts connections at 127.0.0.2:500: error 10061 (connection "
                       "refused)."))
      << run.report.verdict;
  EXPECT_TRUE(run.advises("Check Address and Port in " + kCurrentFile + ", section [SimConnect]"));
}

TEST(ProbeVerdict, PipeOnAnotherMachineThatFailsSuggestsTcp) {
  const Judged run =
      judged(TraceText().registry("none", "none").attempt("pipe", R"(\\host\pipe\x)", "failed", 53),
             kFail);
  EXPECT_TRUE(run.says(R"(The pipe \\host\pipe\x cannot be reached)")) << run.report.verdict;
  EXPECT_TRUE(run.advises("Protocol=IPv4"));
}

TEST(ProbeVerdict, SilentServerIsNoAnswerWithinTheTimeOut) {
  const Judged run =
      judged(TraceText().registry("none", "none").attempt("ipv4", "127.0.0.1:500", "connected", 0),
             0, true);
  EXPECT_EQ(run.exitCode, probe::kExitNotAnswered);
  EXPECT_TRUE(run.says("did not answer the open within 3000 ms")) << run.report.verdict;
  EXPECT_FALSE(run.report.answered());
}

TEST(ProbeVerdict, MessagesThatAreNotTheOpenReplyAreNoAnswer) {
  const Judged run =
      judged(TraceText().registry("none", "none").attempt("ipv4", "127.0.0.1:500", "connected", 0),
             0, true, 0, [](Report& report) { report.otherMessages = 2; });
  EXPECT_EQ(run.exitCode, probe::kExitNotAnswered);
  EXPECT_TRUE(run.says("not an open reply")) << run.report.verdict;
}

TEST(ProbeVerdict, CloseRightAfterTheOpenReplyIsALossWithReasonAndCode) {
  const Judged run = judged(TraceText()
                                .registry("none", "none")
                                .attempt("pipe", kPipe, "connected", 0)
                                // Another connection's loss is not this one's.
                                .line("disconnect serial=6 reason=9 why=\"x\" code=0x80004005 "
                                      "error=0")
                                .line("disconnect serial=7 reason=5 why=\"remote\" "
                                      "code=0xC000014B error=109")
                                .line("result call=SimConnect_CallDispatch hr=0xC000014B"),
                            0, true, 0, openReplyArrived);
  EXPECT_EQ(run.exitCode, probe::kExitNotAnswered);
  ASSERT_TRUE(run.report.lost);
  EXPECT_EQ(run.report.lost->code, 0xC000014Bu);
  EXPECT_EQ(run.report.lost->error, 109u);
  EXPECT_EQ(probe::lossText(run.report),
            "the server closed the connection right after the open reply");
  EXPECT_TRUE(run.says("STATUS_PIPE_BROKEN")) << run.report.verdict;
  ASSERT_EQ(run.report.results.size(), 1u);
  EXPECT_EQ(run.report.results[0].hr, 0xC000014Bu);

  // The probe's own request may find the server's end closing before its read finds it closed.
  const Judged writeFirst = judged(TraceText()
                                       .registry("none", "none")
                                       .attempt("pipe", kPipe, "connected", 0)
                                       .line("disconnect serial=7 reason=9 why=\"failed\" "
                                             "code=0xC00000B1 error=232"),
                                   0, true, 0, openReplyArrived);
  EXPECT_EQ(probe::lossText(writeFirst.report),
            "the server closed the connection right after the open reply");
}

TEST(ProbeVerdict, MessageAboveTheLimitBeforeAnyReplyIsNotASimConnectServer) {
  const Judged run = judged(TraceText()
                                .registry("none", "none")
                                .attempt("ipv4", "127.0.0.1:80", "connected", 0)
                                .line("disconnect serial=7 reason=1 why=\"too large\" "
                                      "code=0x80004005 error=0"),
                            0, true);
  EXPECT_TRUE(run.says("a message above the receive limit: not a SimConnect server?"))
      << run.report.verdict;
  EXPECT_TRUE(run.advises("is the simulator's SimConnect server and not another program"));
}

TEST(ProbeVerdict, LibraryWithoutTraceIsExitThreeNotAnEmptyReport) {
  Report report;
  report.dll = R"(Z:\old\Wirebridge.dll)";
  probe::readTrace("", report);
  EXPECT_EQ(probe::judge(report), probe::kExitDll);
  ASSERT_TRUE(report.error);
  EXPECT_EQ(report.error->kind, "dll");
  EXPECT_NE(report.error->text.find("wrote no trace"), std::string::npos);
  EXPECT_NE(probe::renderJson(report).find(R"("error":{"kind":"dll","argument":null,"code":null,)"),
            std::string::npos);
}

TEST(ProbeVerdict, UsageErrorIsExitTwoAndOneJsonObjectNamingTheArgument) {
  Report report;
  report.error = probe::Failure{"usage", "--timeout-ms", std::nullopt, "--timeout-ms 0: bad"};
  EXPECT_EQ(probe::judgeFailure(report), probe::kExitUsage);
  const std::string json = probe::renderJson(report);
  EXPECT_EQ(json.front(), '{');
  EXPECT_EQ(json.find('\n'), json.size() - 1); // one object, one line
  EXPECT_NE(json.find(R"("error":{"kind":"usage","argument":"--timeout-ms","code":null,)"),
            std::string::npos);
  EXPECT_NE(json.find(R"("answered":false,"lost":null,)"), std::string::npos);
}

// The warnings, read from one file's section as the trace gives it.
std::vector<probe::Warning> warningsFor(const std::string& values, const std::string& effective) {
  Report report;
  probe::readTrace(TraceText().config("SimConnect", values).line("effective " + effective).text,
                   report);
  return probe::configWarnings(report);
}

TEST(ProbeWarnings, EachRejectedIgnoredOrCutValueIsNamedWithItsEffect) {
  const std::string tcp = "protocol=IPv4 maxReceiveSize=41088 maxReceiveSize.from=default";
  auto warnings = warningsFor("Protocol=\"TCP\"", "protocol=Pipe");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].key, "Protocol");
  EXPECT_EQ(warnings[0].value, "TCP");
  EXPECT_EQ(warnings[0].file, kCurrentFile);
  EXPECT_EQ(warnings[0].section, "SimConnect");
  EXPECT_NE(warnings[0].text.find("not one of Auto, Pipe, IPv4, IPv6"), std::string::npos);

  warnings = warningsFor("Port=\"500 ; the simulator's port\"", tcp);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("comments on lines of their own"), std::string::npos);

  warnings = warningsFor("Port=\"70000\"", tcp);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("not a port number from 1 to 65535"), std::string::npos);
  // For the pipe, Port names the pipe.
  EXPECT_TRUE(warningsFor("Port=\"MyPipe\"", "protocol=Pipe").empty());

  warnings = warningsFor("Address=\"" + std::string(1500, 'a') + "\"", tcp);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("cut to its first 1023"), std::string::npos);

  warnings = warningsFor("MaxReceiveSize=\"100\"", tcp);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("not above the smallest receive limit 41088"), std::string::npos);

  // A larger value from another file wins.
  warnings = warningsFor(
      "MaxReceiveSize=\"50000\"",
      R"(protocol=Pipe maxReceiveSize=90000 maxReceiveSize.from="C:\users\Public\Documents\SimConnect.cfg [SimConnect] MaxReceiveSize")");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].text.find("keeps the largest value of all files"), std::string::npos);
  EXPECT_TRUE(warningsFor("MaxReceiveSize=\"50000\"",
                          "protocol=Pipe maxReceiveSize=50000 maxReceiveSize.from=\"" +
                              kCurrentFile + " [SimConnect] MaxReceiveSize\"")
                  .empty());
  EXPECT_TRUE(warningsFor("Protocol=\"ipv6\" Address=\"::1\" Port=\"500\"", tcp).empty());
}

TEST(ProbeWarnings, FixesComeFirstAmongTheNextSteps) {
  const Judged run = judged(TraceText()
                                .registry("none", "none")
                                .config("SimConnect", "Protocol=\"TCP\"")
                                .line("effective protocol=Pipe")
                                .attempt("pipe", kPipe, "failed", 2),
                            kFail);
  ASSERT_GE(run.report.advice.size(), 2u);
  EXPECT_EQ(run.report.advice[0].rfind(
                "Fix Protocol in " + kCurrentFile + ", section [SimConnect]: not one of", 0),
            0u)
      << run.report.advice[0];
}

TEST(ProbeCodes, CodesAreShownWithTheirNamesOrWords) {
  EXPECT_EQ(probe::codeWithWords(0x80004005), "0x80004005 (E_FAIL: failed)");
  EXPECT_EQ(probe::codeWithWords(0x80070057), "0x80070057 (E_INVALIDARG: invalid argument)");
  EXPECT_EQ(probe::codeWithWords(10061), "10061 (connection refused)");
  EXPECT_EQ(probe::codeWithWords(126), "126 (module not found)");
  EXPECT_EQ(probe::codeWithWords(193), "193 (not a valid Windows program or library)");
  EXPECT_EQ(probe::codeWithWords(0x80070002), "0x80070002 (file not found: no such pipe)");
  EXPECT_EQ(probe::codeWithWords(0xC000014B),
            "0xC000014B (STATUS_PIPE_BROKEN: the other end closed the pipe)");
  EXPECT_EQ(probe::codeWithWords(4242), "4242");
}

} // namespace

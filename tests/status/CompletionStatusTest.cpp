#include <gtest/gtest.h>

#include "connection/CompletionStatus.h"

using namespace status;

namespace {

struct Case {
  uint32_t raw;
  uint32_t bytes;
  bool pipe;
  bool proceed;
  int32_t reason;
  uint32_t code;
  uint32_t systemError; // recorded with the loss: the completion's own, never a stale one
};

// Each completion as Windows reports it (NTSTATUS) and as Wine reports it (Win32 codes) must
// end in the same reason, code and system error.
const Case kCases[] = {
    {0x00000000, 10, true, true, 0, 0, 0},
    {0x00000000, 0, true, false, 4, 0xC000013E, 0}, // server closed: zero bytes
    {0x00000000, 0, false, false, 4, 0xC000013E, 0},
    {0xC000014B, 0, true, false, 5, 0xC000014B, 109},    // broken pipe, NTSTATUS
    {109, 0, true, false, 5, 0xC000014B, 109},           // broken pipe, Win32
    {0xC000020D, 0, false, false, 5, 0xC000020D, 10054}, // connection reset
    {64, 0, false, false, 5, 0xC000020D, 10054},
    {10054, 0, false, false, 5, 0xC000020D, 10054},
    {0xC000013C, 0, false, false, 5, 0xC000013C, 0xC000013C}, // remote disconnect
    {0xC0000120, 0, true, false, 8, 0xC0000120, 995},         // cancelled
    {995, 0, true, false, 8, 0xC0000120, 995},
    {0xC00000B0, 0, true, false, 9, 0xC00000B0, 233}, // pipe disconnected
    {233, 0, true, false, 9, 0xC00000B0, 233},
    {0xC0000241, 0, false, false, 9, 0xC0000241, 10053}, // connection aborted
    {1236, 0, false, false, 9, 0xC0000241, 10053},
    {0xC0000241, 0, true, false, 9, 0xC0000241, 1236},
    {0x80000005, 7, true, true, 0, 0, 0}, // more data on a pipe: keep reading
    {234, 7, true, true, 0, 0, 0},
    {0x80000005, 7, false, false, 9, 0x80000005, 234}, // the same on TCP is a failure
    {234, 7, false, false, 9, 0x80000005, 234},
    {0xC0000001, 3, false, false, 9, 0xC0000001, 0xC0000001}, // any other status, unchanged
    {5, 0, true, false, 9, 0x80070005, 5},                    // other Win32 codes read as failures
};

TEST(CompletionStatus, SameReasonAndCodeWhateverThePlatformReports) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << std::hex << "raw 0x" << c.raw << " pipe " << c.pipe);
    const uint32_t normalized = normalizeCompletionStatus(c.raw);
    const auto verdict = classifyCompletion(normalized, c.bytes, c.pipe);
    EXPECT_EQ(verdict.proceed, c.proceed);
    if (!c.proceed) {
      EXPECT_EQ(verdict.reason, c.reason);
      EXPECT_EQ(verdict.code, c.code);
      EXPECT_EQ(systemErrorOf(normalized, c.pipe), c.systemError);
    }
  }
}

TEST(CompletionStatus, ReportedCodesAreAlwaysFailures) {
  for (uint32_t raw = 1; raw < 20000; ++raw) {
    const uint32_t code = normalizeCompletionStatus(raw);
    ASSERT_NE(code & 0x80000000u, 0u) << raw; // severity bit of HRESULT and NTSTATUS errors
  }
}

TEST(CompletionStatus, HresultFromWin32) {
  EXPECT_EQ(hresultFromWin32(0), 0u);
  EXPECT_EQ(hresultFromWin32(2), 0x80070002u);
  EXPECT_EQ(hresultFromWin32(10061), 0x8007274Du);
}

} // namespace

namespace {

TEST(PostingFailure, StillUnderWayWhenPendingOrWhenAPipeHasMoreData) {
  EXPECT_TRUE(classifyPostingFailure(0, true).proceed);
  EXPECT_TRUE(classifyPostingFailure(997, true).proceed);
  EXPECT_TRUE(classifyPostingFailure(997, false).proceed);
  // A message-mode pipe read that found more data completes through the routine as usual;
  // dropping its reference here would release it twice.
  EXPECT_TRUE(classifyPostingFailure(234, true).proceed);
  EXPECT_FALSE(classifyPostingFailure(234, false).proceed);
}

TEST(PostingFailure, EndsTheConnectionAsTheSameFailedCompletionWould) {
  const auto broken = classifyPostingFailure(109, true);
  EXPECT_EQ(broken.reason, 5);
  EXPECT_EQ(broken.code, 0xC000014Bu);
  const auto disconnected = classifyPostingFailure(233, true);
  EXPECT_EQ(disconnected.reason, 9);
  EXPECT_EQ(disconnected.code, 0xC00000B0u);
  const auto reset = classifyPostingFailure(10054, false);
  EXPECT_EQ(reset.reason, 5);
  EXPECT_EQ(reset.code, 0xC000020Du);
  const auto denied = classifyPostingFailure(5, true);
  EXPECT_EQ(denied.reason, 9);
  EXPECT_EQ(denied.code, 0x80070005u);
}

} // namespace

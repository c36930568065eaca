#pragma once
// The probe's answer: from what the library did (its trace) and what the server said, one
// sentence that names what is wrong, or says that all is well, and the next steps in order.
// Portable: no Windows call, so every rule is tested natively.
#include <string>

#include "tools/probe/ProbeReport.h"

namespace probe {

inline constexpr int kExitAnswered = 0;
inline constexpr int kExitNotAnswered = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDll = 3;

// What the loss of the connection means, in words ("the server closed the connection right
// after the open reply").
std::string lossText(const Report& report);

// Sets `verdict` and `advice` (and `error` for a library that wrote no trace) from the rest of
// the report and gives the exit code. `warnings` should be filled first: their fixes come
// first among the next steps.
int judge(Report& report);

// The verdict of a run that could not use the library or its command line (`error` is set).
int judgeFailure(Report& report);

} // namespace probe

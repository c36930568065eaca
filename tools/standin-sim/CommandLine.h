#pragma once
// Command-line options of the stand-in simulator, for standin-simulator.exe and for any program
// that hands its arguments on to runStandInSimulator.
#include "tools/standin-sim/StandInSimulator.h"

#include <optional>
#include <string>
#include <vector>

namespace standin {

extern const char kStandInUsage[];

// Arguments without the program name. Returns nullopt with `error` set for unusable input.
std::optional<StandInOptions> parseStandInArguments(const std::vector<std::wstring>& arguments,
                                                    std::string& error);

// This process's arguments without the program name.
std::vector<std::wstring> processArguments();

} // namespace standin

// standin-simulator.exe: runs the stand-in simulator with the options of its command line.
#include "tools/standin-sim/CommandLine.h"

#include <cstdio>

int main() {
  std::string error;
  const auto options = standin::parseStandInArguments(standin::processArguments(), error);
  if (!options) {
    std::fprintf(stderr, "standin-simulator: %s\n%s", error.c_str(), standin::kStandInUsage);
    return 2;
  }
  return standin::runStandInSimulator(*options);
}

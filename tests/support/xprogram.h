// Runs a real X program (xdpyinfo, xwininfo, xprop, xdotool, xwd ...) against
// a display with a deadline and captures what it prints.
#pragma once

#include <string>
#include <vector>

namespace palvon::test {

struct ProgramResult {
  int status = -1;        // exit status; 128 + signal when killed by one
  bool timedOut = false;  // killed at the deadline
  std::string out;
  std::string err;
};

// display "" leaves DISPLAY as it is in the test's environment.
ProgramResult runProgram(const std::vector<std::string>& argv, const std::string& display,
                         int timeoutMs = 10000);

}  // namespace palvon::test

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

// Runs the program again until it exits 0 with `text` in its output, for at
// most `ms` (a proxy or server that is still settling); the last result either
// way.
ProgramResult runProgramUntil(const std::vector<std::string>& argv, const std::string& display,
                              const std::string& text, int ms = 8000);

// An X program left running until the test is done with it: started with
// DISPLAY set, its standard output discarded; stopped by its pid (SIGTERM, then
// SIGKILL) when it goes, and with the test if the test dies first.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::vector<std::string>& argv, const std::string& display);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;
  bool ok() const { return pid_ > 0; }
  // Whether the program still runs; one that ended is reaped and forgotten.
  bool running();

 private:
  int pid_ = -1;
};

}  // namespace palvon::test

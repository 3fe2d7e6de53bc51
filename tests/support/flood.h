// A busy client beside others, for the flood tests and bench/flood.cpp.
// Client C maps a window and writes CopyArea requests (XOR) of the whole
// window onto itself, one pixel off, in batches, with no round trip, for a
// while; it reads the events they give (NoExpose) as a program does, and
// then syncs. A second
// client M makes round trips (GetInputFocus) all along, and a third one
// acts at a set time (sets the focus, warps the pointer, makes a window).
// In the unread form client N asks for images of its window and reads none
// of the replies until the end, as a hung program does, while M and the
// acting client go on. Every client is a raw connection with non-blocking
// writes: what C's socket took in by the end of its flood is exact, and a
// connection the display cuts is seen, never waited for without a bound.
#pragma once

#include <cstdint>
#include <string>

namespace palvon::test {

enum class FloodAction {
  kNothing,
  kFocus,               // SetInputFocus on a window of the acting client's and C's (N's) in turn
  kWarpOverSeam,        // the pointer warped to either side of the seam on the first root
  kOtherScreenAndBack,  // the pointer warped to the second screen and back (counts one)
  kTopLevelWindow,      // a window made on the first root, above C's
  kFakeMotion,          // C itself fakes a relative motion (XTEST) amid its flood
};

struct FloodPlan {
  FloodAction action = FloodAction::kNothing;
  bool unread = false;             // client N (images unread) instead of C (copies)
  int floodMs = 8000;              // how long C writes copies; with N, how long M goes on
  int actionAtMs = 3000;           // from the start of the flood
  int width = 1000, height = 700;  // C's or N's window, at 100,100 on the first root
  int batch = 200;                 // copies written at a time
  int images = 20;                 // N's GetImage requests of its whole window
  int times = 10;                  // how often the action is repeated, each step synced
  int seamX = 0;                   // 0: half the first screen's width
  int limitMs = 120000;            // the longest any one wait may take (then cut or late)
};

struct FloodOutcome {
  std::string problem;        // why the run could not be made; "" when it was
  double longestTripMs = 0;   // M's longest round trip
  bool otherCut = false;      // M lost its connection or a round trip of its passed the limit
  double actionMs = 0;        // the acting client's steps in all, 0 when it had none
  bool actorCut = false;      // the same for the acting client
  bool cut = false;           // C or N lost its connection
  bool late = false;          // C's or N's last answer did not come within the limit
  uint64_t copies = 0;        // C's copies its socket took in during the flood
  double finalSyncMs = -1;    // from the end of the flood to C's sync reply (N: to its last image)
  std::string outOfSequence;  // the first message of any client that came out of sequence or as an error
};

// Runs the plan against the display (":N"). The clients are gone when it
// returns.
FloodOutcome runFlood(const std::string& display, const FloodPlan& plan);

}  // namespace palvon::test

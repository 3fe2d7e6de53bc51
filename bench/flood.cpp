// What waits behind a busy client: on each display, client C writes copies
// of its whole window onto itself for a while (tests/support/flood.h), M
// makes round trips all along, and at a set time another client acts: it
// does nothing, sets the focus 10 times, warps the pointer over the seam of
// two heads 10 times (on a display of one screen over 2000 wide), to the other
// screen and back 10 times (on one of two screens), or makes a top-level
// window; or C itself fakes a relative motion. Last, client N asks for
// images of its window and reads none until the end while the pointer
// moves (over the seam, or to the other screen and back). Prints for each
// case and display M's longest round trip and its ratio to that of the
// last display before it whose name begins with "bare" (the plain Xvfb of
// the same shape), the acting client's time, whether C (or N) was cut, the
// copies C's socket took in during its flood and their ratio to the plain
// server's, and C's wait for its final sync (N: for its last image).
//
// Usage: bench_flood [-f flood-ms] [-a action-at-ms] [-u unread-ms]
//   [-b unread-action-at-ms] [-l limit-ms] [-s WxH] [-c case] NAME=DISPLAY...
// (defaults 8000, 3000, 3000, 1000, 120000, 1000x700; -c runs the named case
// only: nothing, focus, seam, screens, window, fake, unread).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <X11/Xlib.h>

#include "support/flood.h"

namespace {

using palvon::test::FloodAction;
using palvon::test::FloodOutcome;
using palvon::test::FloodPlan;

struct Target {
  std::string name, display;
  int screens = 0, width = 0;
};

struct Case {
  const char* name;
  FloodAction action;
  bool unread;
};

// Whether the case has a meaning on the display, and which action the
// unread case takes there.
bool applies(const Case& c, const Target& t, FloodAction* action) {
  *action = c.action;
  if (c.unread) *action = t.screens > 1 ? FloodAction::kOtherScreenAndBack : FloodAction::kWarpOverSeam;
  if (c.action == FloodAction::kWarpOverSeam && !c.unread) return t.screens == 1 && t.width > 2000;
  if (c.action == FloodAction::kOtherScreenAndBack) return t.screens > 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  FloodPlan plan, unread;
  unread.unread = true;
  unread.floodMs = 3000;
  unread.actionAtMs = 1000;
  const char* only = nullptr;
  std::vector<Target> targets;
  for (int i = 1; i < argc; i++) {
    auto number = [&](int* into) { *into = i + 1 < argc ? std::atoi(argv[++i]) : 0; };
    if (!std::strcmp(argv[i], "-f")) {
      number(&plan.floodMs);
    } else if (!std::strcmp(argv[i], "-a")) {
      number(&plan.actionAtMs);
    } else if (!std::strcmp(argv[i], "-u")) {
      number(&unread.floodMs);
    } else if (!std::strcmp(argv[i], "-b")) {
      number(&unread.actionAtMs);
    } else if (!std::strcmp(argv[i], "-l")) {
      number(&plan.limitMs);
      unread.limitMs = plan.limitMs;
    } else if (!std::strcmp(argv[i], "-s") && i + 1 < argc &&
               std::sscanf(argv[++i], "%dx%d", &plan.width, &plan.height) == 2) {
      unread.width = plan.width, unread.height = plan.height;
    } else if (!std::strcmp(argv[i], "-c") && i + 1 < argc) {
      only = argv[++i];
    } else if (const char* equal = std::strchr(argv[i], '=')) {
      targets.push_back({std::string(argv[i], size_t(equal - argv[i])), equal + 1});
    } else {
      std::fprintf(stderr,
                   "usage: %s [-f flood-ms] [-a action-at-ms] [-u unread-ms] [-b unread-action-at-ms] "
                   "[-l limit-ms] [-s WxH] [-c case] NAME=DISPLAY...\n",
                   argv[0]);
      return 2;
    }
  }
  if (targets.empty() || plan.floodMs <= 0 || unread.floodMs <= 0 || plan.limitMs <= 0) return 2;
  for (Target& t : targets) {
    Display* display = XOpenDisplay(t.display.c_str());
    if (!display) {
      std::printf("%s: cannot connect to %s\n", t.name.c_str(), t.display.c_str());
      return 1;
    }
    t.screens = ScreenCount(display);
    t.width = DisplayWidth(display, 0);
    XCloseDisplay(display);
  }
  std::printf(
      "C: copies of a %dx%d window, %d at a time for %d ms, the action at %d ms; N: %d images unread for "
      "%d ms, the pointer moving at %d ms\n",
      plan.width, plan.height, plan.batch, plan.floodMs, plan.actionAtMs, unread.images, unread.floodMs,
      unread.actionAtMs);
  std::printf("%-8s %-13s %10s %7s %9s %-6s %8s %7s %10s %s\n", "case", "display", "M longest", "x bare", "action", "C",
              "copies", "x bare", "final", "out of sequence");
  const Case cases[] = {
      {"nothing", FloodAction::kNothing, false},       {"focus", FloodAction::kFocus, false},
      {"seam", FloodAction::kWarpOverSeam, false},     {"screens", FloodAction::kOtherScreenAndBack, false},
      {"window", FloodAction::kTopLevelWindow, false}, {"fake", FloodAction::kFakeMotion, false},
      {"unread", FloodAction::kNothing, true}};
  for (const Case& c : cases) {
    if (only && std::strcmp(only, c.name)) continue;
    FloodOutcome bare;
    for (const Target& t : targets) {
      FloodPlan p = c.unread ? unread : plan;
      if (!applies(c, t, &p.action)) continue;
      FloodOutcome out = palvon::test::runFlood(t.display, p);
      if (!out.problem.empty()) {
        std::printf("%-8s %-13s %s\n", c.name, t.name.c_str(), out.problem.c_str());
        continue;
      }
      if (t.name.rfind("bare", 0) == 0) bare = out;
      char action[16] = "-", copies[16] = "-", copiesRatio[16] = "-", last[16] = "-";
      if (out.actionMs > 0) std::snprintf(action, sizeof action, "%.0fms%s", out.actionMs, out.actorCut ? "!" : "");
      if (!c.unread) std::snprintf(copies, sizeof copies, "%llu", static_cast<unsigned long long>(out.copies));
      if (!c.unread && bare.copies)
        std::snprintf(copiesRatio, sizeof copiesRatio, "%.1f", double(out.copies) / double(bare.copies));
      if (out.finalSyncMs >= 0) std::snprintf(last, sizeof last, "%.0fms", out.finalSyncMs);
      std::printf("%-8s %-13s %8.0fms%s %6.1f %9s %-6s %8s %7s %10s %s\n", c.name, t.name.c_str(), out.longestTripMs,
                  out.otherCut ? "!" : " ", bare.longestTripMs > 0 ? out.longestTripMs / bare.longestTripMs : 0.0,
                  action,
                  out.cut    ? "CUT"
                  : out.late ? "LATE"
                             : "served",
                  copies, copiesRatio, last, out.outOfSequence.empty() ? "-" : out.outOfSequence.c_str());
      std::fflush(stdout);
      // A cut client's requests may still keep the server busy a while.
      if (out.cut || out.late || out.otherCut || out.actorCut) sleep(5);
    }
  }
  return 0;
}

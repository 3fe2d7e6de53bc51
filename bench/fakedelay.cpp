// What another client notices while one fakes input with a delay: on each
// display, with the pointer on its last head or screen, a faker fakes a key
// press 3 s late (then its release at once) or a relative motion 3 s late
// and syncs, while another client makes round trips (GetInputFocus) until
// the faker's sync is back. Prints, for each display and case, the other
// client's longest round trip, the faker's wait for its sync and where its
// QueryPointer then finds the pointer (moved by the motion or not), and the
// longest round trip's ratio to that of the last display before it whose
// name begins with "bare" (the plain Xvfb of the same shape).
//
// Usage: bench_fakedelay [-r rounds] [-d delay-ms] NAME=DISPLAY...
// (default 1 round of 3000 ms; each case's worst round counts). A display
// that is lost ends the run with the line "NAME: connection lost".
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
  std::string name, display;
};

struct Outcome {
  double longest = 0, waited = 0;
  bool moved = true;
};

const char* currentName = "";

int lost(Display*) {
  std::printf("%s: connection lost\n", currentName);
  std::fflush(stdout);
  std::_Exit(1);
}

double msSince(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

void pointerAt(Display* display, Window root, int* x, int* y) {
  Window r, child;
  int wx, wy;
  unsigned mask;
  XQueryPointer(display, root, &r, &child, x, y, &wx, &wy, &mask);
}

// One delayed fake on the display; false when it cannot be opened.
bool fakeOnce(const Target& t, bool motion, unsigned delay, Outcome* out) {
  Display* faker = XOpenDisplay(t.display.c_str());
  Display* other = XOpenDisplay(t.display.c_str());
  if (!faker || !other) return false;
  int last = ScreenCount(faker) - 1;
  Window root = RootWindow(faker, last);
  XWarpPointer(faker, None, root, 0, 0, 0, 0, DisplayWidth(faker, last) - 200, 200);
  XSync(faker, False);
  int x0 = 0, y0 = 0;
  pointerAt(faker, root, &x0, &y0);
  if (motion) {
    XTestFakeRelativeMotionEvent(faker, 30, 20, delay);
  } else {
    KeyCode a = XKeysymToKeycode(faker, XK_a);
    XTestFakeKeyEvent(faker, a, True, delay);
    XTestFakeKeyEvent(faker, a, False, CurrentTime);
  }
  auto start = Clock::now();
  std::atomic<bool> synced{false};
  std::thread sync([&] {
    XSync(faker, False);
    synced = true;
  });
  double longest = 0;
  while (!synced) {
    auto trip = Clock::now();
    Window focus;
    int revert;
    XGetInputFocus(other, &focus, &revert);
    longest = std::max(longest, msSince(trip));
  }
  sync.join();
  out->waited = std::max(out->waited, msSince(start));
  out->longest = std::max(out->longest, longest);
  int x = 0, y = 0;
  pointerAt(faker, root, &x, &y);
  if (motion) out->moved = out->moved && x == x0 + 30 && y == y0 + 20;
  XCloseDisplay(other);
  XCloseDisplay(faker);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 1;
  unsigned delay = 3000;
  std::vector<Target> targets;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "-r") && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "-d") && i + 1 < argc) {
      delay = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (const char* equal = std::strchr(argv[i], '=')) {
      targets.push_back({std::string(argv[i], size_t(equal - argv[i])), equal + 1});
    } else {
      std::fprintf(stderr, "usage: %s [-r rounds] [-d delay-ms] NAME=DISPLAY...\n", argv[0]);
      return 2;
    }
  }
  if (targets.empty()) return 2;
  XSetIOErrorHandler(lost);
  std::printf("delay %u ms, %d round(s); longest: another client's longest round trip while the fake waits\n", delay,
              rounds);
  std::printf("%-12s %-7s %10s %8s %10s %s\n", "display", "case", "longest", "x bare", "faker", "pointer");
  for (bool motion : {false, true}) {
    double bare = 0;
    for (const Target& t : targets) {
      currentName = t.name.c_str();
      Outcome out;
      for (int r = 0; r < rounds; r++)
        if (!fakeOnce(t, motion, delay, &out)) {
          std::printf("%s: cannot connect to %s\n", t.name.c_str(), t.display.c_str());
          return 1;
        }
      if (t.name.rfind("bare", 0) == 0) bare = out.longest;
      std::printf("%-12s %-7s %8.1fms %8.1f %8.0fms %s\n", t.name.c_str(), motion ? "motion" : "key", out.longest,
                  bare > 0 ? out.longest / bare : 0.0, out.waited, motion ? (out.moved ? "moved" : "NOT MOVED") : "-");
      std::fflush(stdout);
    }
  }
  return 0;
}

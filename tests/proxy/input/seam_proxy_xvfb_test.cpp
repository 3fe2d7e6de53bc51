// Pointer input across the seam of two heads, compared with one plain Xvfb
// of the meta screen's size: the same windows, the same warps of the client
// and the same buttons pressed on the input server (A through the proxy)
// give the client the same events, in the same order and the same terms.
// Covers buttons held while the pointer changes head (automatic and passive
// grabs), an active grab moved across, and crossings into a child that lies
// on the other head; each once with a plain second head and once with a
// turned one.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/xvfb.h"

// After gtest: Xlib's macros (None, Bool) would break its headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace palvon::test {
namespace {

constexpr int kWidth = 400, kHeight = 300;  // each head; the meta screen is 800x300
constexpr long kMask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | EnterWindowMask | LeaveWindowMask;

struct WindowSpec {
  int parent;  // index of an earlier window, -1 for the root
  int x, y, width, height;
};

// KeyOnOther types a key on the other server's keyboard (B; the plain
// server itself in the reference). GrabPointer confines the pointer to
// window c - 1 when c is given; MoveResize gives window 0 the box a, b, c,
// d; Pointer notes where the pointer is.
enum class Op { Warp, Press, Release, GrabButton, GrabPointer, UngrabPointer, Focus, KeyOnOther, MoveResize, Pointer };

struct Step {
  Op op;
  int a = 0, b = 0;  // position, or button, or window index
  int c = 0, d = 0;
};

struct Scenario {
  std::string name;
  bool turned;  // B is turned a quarter
  std::vector<WindowSpec> windows;
  std::vector<Step> steps;
  long extraMask = 0;  // beyond buttons, motion and crossings
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// One session: a client on the display under test, and a connection to the
// server whose pointer is the input (the plain server, or A).
struct Session {
  Display* client = nullptr;
  Display* input = nullptr;
  Display* other = nullptr;
  std::vector<Window> windows;
  ~Session() {
    for (Display* d : {client, input, other})
      if (d) XCloseDisplay(d);
  }
};

std::string windowName(const std::vector<Window>& windows, Window w) {
  if (w == 0) return "none";
  for (size_t i = 0; i < windows.size(); i++)
    if (windows[i] == w) return "w" + std::to_string(i);
  return "other";
}

// Key, button, motion and crossing events share their first fields (the
// Xlib structures too); the rest is by type.
std::string describe(const XEvent& e, const std::vector<Window>& windows) {
  static const char* const kNames[] = {"", "", "key", "key-up", "press", "release", "motion", "enter", "leave",
                                       "focus-in", "focus-out"};
  std::ostringstream out;
  if (e.type < KeyPress || e.type > FocusOut) return "type " + std::to_string(e.type);
  out << kNames[e.type] << " " << windowName(windows, e.xany.window);
  if (e.type >= FocusIn) {
    out << " mode=" << e.xfocus.mode << " detail=" << e.xfocus.detail;
    return out.str();
  }
  const XKeyEvent& k = e.xkey;
  if (e.type <= ButtonRelease) out << " detail=" << k.keycode;
  if (e.type >= EnterNotify)
    out << " mode=" << e.xcrossing.mode << " detail=" << e.xcrossing.detail << " focus=" << e.xcrossing.focus
        << " same=" << e.xcrossing.same_screen;
  unsigned state = e.type >= EnterNotify ? e.xcrossing.state : k.state;
  out << " child=" << windowName(windows, k.subwindow) << " root=" << k.x_root << "," << k.y_root << " at=" << k.x
      << "," << k.y << " state=0x" << std::hex << state;
  return out.str();
}

// The events that arrive until none has come for a while (with a deadline).
void collect(Session& s, std::vector<std::string>* events) {
  XSync(s.client, False);
  auto quietSince = std::chrono::steady_clock::now();
  auto end = quietSince + std::chrono::seconds(5);
  for (auto now = quietSince; now < end && now - quietSince < std::chrono::milliseconds(250);
       now = std::chrono::steady_clock::now()) {
    while (XPending(s.client)) {
      XEvent e;
      XNextEvent(s.client, &e);
      // The input server's first fake key changes its keyboard device and
      // with it the map; that is the server's, not the seam's.
      if (e.type != Expose && e.type != MappingNotify) events->push_back(describe(e, s.windows));
      quietSince = std::chrono::steady_clock::now();
    }
    pollfd fd{ConnectionNumber(s.client), POLLIN, 0};
    poll(&fd, 1, 25);
  }
}

// Runs the scenario; the events the client saw after its windows were up,
// then the status another client's GrabPointer gets at the end.
std::vector<std::string> run(const Scenario& scenario, const std::string& display, const std::string& inputServer,
                             const std::string& otherServer) {
  Session s;
  s.client = XOpenDisplay(display.c_str());
  s.input = XOpenDisplay(inputServer.c_str());
  s.other = XOpenDisplay(otherServer.c_str());
  if (!s.client || !s.input || !s.other) return {"cannot connect"};
  Window root = DefaultRootWindow(s.client);
  XWarpPointer(s.client, None, root, 0, 0, 0, 0, 5, 5);
  for (const WindowSpec& w : scenario.windows) {
    Window parent = w.parent < 0 ? root : s.windows[size_t(w.parent)];
    Window window = XCreateSimpleWindow(s.client, parent, w.x, w.y, unsigned(w.width), unsigned(w.height), 0, 0, 0);
    XSelectInput(s.client, window, kMask | scenario.extraMask);
    XMapWindow(s.client, window);
    s.windows.push_back(window);
  }
  std::vector<std::string> events, ignored;
  collect(s, &ignored);
  for (const Step& step : scenario.steps) {
    switch (step.op) {
      case Op::Warp:
        XWarpPointer(s.client, None, root, 0, 0, 0, 0, step.a, step.b);
        break;
      case Op::Press:
      case Op::Release:
        XTestFakeButtonEvent(s.input, unsigned(step.a), step.op == Op::Press, CurrentTime);
        XSync(s.input, False);
        break;
      case Op::GrabButton:
        XGrabButton(s.client, unsigned(step.a), AnyModifier, s.windows[size_t(step.b)], False,
                    ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync, GrabModeAsync, None, None);
        break;
      case Op::GrabPointer:
        events.push_back("grab " + std::to_string(XGrabPointer(s.client, s.windows[size_t(step.b)], False,
                                                               ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                                                               GrabModeAsync, GrabModeAsync,
                                                               step.c ? s.windows[size_t(step.c - 1)] : None, None,
                                                               CurrentTime)));
        break;
      case Op::UngrabPointer:
        XUngrabPointer(s.client, CurrentTime);
        break;
      case Op::MoveResize:
        XMoveResizeWindow(s.client, s.windows[0], step.a, step.b, unsigned(step.c), unsigned(step.d));
        break;
      case Op::Pointer: {
        Window rootAt, child;
        int x = -1, y = -1, wx, wy;
        unsigned mask;
        XQueryPointer(s.client, root, &rootAt, &child, &x, &y, &wx, &wy, &mask);
        events.push_back("pointer " + std::to_string(x) + "," + std::to_string(y));
        break;
      }
      case Op::Focus:
        XSetInputFocus(s.client, s.windows[size_t(step.b)], RevertToParent, CurrentTime);
        break;
      case Op::KeyOnOther:
        XTestFakeKeyEvent(s.other, unsigned(step.a), True, CurrentTime);
        XTestFakeKeyEvent(s.other, unsigned(step.a), False, CurrentTime);
        XSync(s.other, False);
        break;
    }
    collect(s, &events);
  }
  Display* other = XOpenDisplay(display.c_str());
  if (!other) return {"cannot connect"};
  int status = XGrabPointer(other, DefaultRootWindow(other), False, ButtonPressMask, GrabModeAsync, GrabModeAsync,
                            None, None, CurrentTime);
  events.push_back("another client's grab " + std::to_string(status));
  XCloseDisplay(other);
  return events;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "  " + line + "\n";
  return text;
}

class AcrossTheSeam : public ::testing::TestWithParam<Scenario> {};

TEST_P(AcrossTheSeam, EventsAsOnOnePlainServer) {
  const Scenario& scenario = GetParam();
  std::vector<std::string> expected;
  {
    Xvfb plain{{"-screen", "0", std::to_string(2 * kWidth) + "x" + std::to_string(kHeight) + "x24"}};
    ASSERT_TRUE(plain.ok()) << plain.error();
    expected = run(scenario, plain.display(), plain.display(), plain.display());
  }
  Xvfb a{{"-screen", "0", std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24"}};
  std::string sizeB = scenario.turned ? std::to_string(kHeight) + "x" + std::to_string(kWidth)
                                      : std::to_string(kWidth) + "x" + std::to_string(kHeight);
  Xvfb b{{"-screen", "0", sizeB + "x24"}};
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  std::vector<std::string> words{"noReset", "on", "screen", a.display() + ".0", "borderWidth", "0",
                                 "screen", b.display() + ".0", "borderWidth", "0"};
  if (scenario.turned) words.insert(words.end(), {"rotate", "quarter", "options", "Tavel"});
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  std::vector<std::string> seen = run(scenario, proxy.display(), a.display(), b.display());
  EXPECT_EQ(seen, expected) << "through the proxy:\n" << joined(seen) << "plain:\n" << joined(expected);
}

// A window over both heads (A is 0..399, B 400..799 of the meta screen).
const WindowSpec kWide{-1, 100, 50, 600, 200};

std::vector<Scenario> scenarios() {
  std::vector<Scenario> all;
  const std::vector<Step> drag{{Op::Warp, 200, 100}, {Op::Press, 1}, {Op::Warp, 600, 120}, {Op::Release, 1}};
  std::vector<Step> passive{{Op::GrabButton, 1, 0}};
  passive.insert(passive.end(), drag.begin(), drag.end());
  // The drag back: held on B, let go on A.
  const std::vector<Step> dragBack{{Op::Warp, 600, 120}, {Op::Press, 1}, {Op::Warp, 200, 100}, {Op::Release, 1}};
  const std::vector<Step> activeGrab{{Op::Warp, 200, 100}, {Op::GrabPointer, 0, 0}, {Op::Warp, 600, 120},
                                     {Op::Warp, 650, 130}, {Op::UngrabPointer}};
  // A child of the wide window that lies on B only.
  const std::vector<WindowSpec> withChild{kWide, {0, 450, 20, 100, 100}};
  const std::vector<Step> crossings{{Op::Warp, 200, 100}, {Op::Warp, 560, 80}, {Op::Warp, 300, 100},
                                    {Op::Warp, 700, 200}, {Op::Warp, 200, 150}};
  // Typed on B's keyboard while the pointer is on A (keycode 38 is "a" in
  // Xvfb's map).
  const std::vector<Step> keys{{Op::Warp, 200, 100}, {Op::Focus, 0, 0}, {Op::KeyOnOther, 38}};
  // A full-screen window under L and R, which meet at the seam (L ends on
  // A's last column): jumps between the far sides of the screen stay in
  // it, and moves out of and into L and R cross only them, telling where
  // the focus (on L from the fifth move) is.
  const std::vector<WindowSpec> besideTheSeam{{-1, 0, 0, 800, 300}, {-1, 250, 50, 150, 200}, {-1, 400, 50, 150, 200}};
  const std::vector<Step> jumps{{Op::Warp, 175, 100}, {Op::Warp, 625, 100}, {Op::Warp, 175, 120},
                                {Op::Warp, 625, 120}, {Op::Focus, 0, 1},     {Op::Warp, 300, 100},
                                {Op::Warp, 450, 100}, {Op::Warp, 175, 100}, {Op::Warp, 500, 120},
                                {Op::Warp, 350, 120}, {Op::Warp, 625, 100}};
  // A window across the seam with a child on each side: inside it the
  // pointer crosses the seam with no crossing of its own; each EnterNotify
  // is followed by the keys held (KeymapNotify).
  const std::vector<WindowSpec> straddling{{-1, 300, 50, 200, 200}, {0, 10, 10, 40, 40}, {0, 150, 10, 40, 40}};
  const std::vector<Step> withinStraddling{{Op::Warp, 150, 100}, {Op::Warp, 350, 150}, {Op::Warp, 450, 150},
                                           {Op::Warp, 330, 80},  {Op::Warp, 470, 80},  {Op::Warp, 380, 200},
                                           {Op::Warp, 150, 100}};
  for (bool turned : {false, true}) {
    auto add = [&](std::string name, std::vector<WindowSpec> windows, std::vector<Step> steps, long extra = 0) {
      name += turned ? "Turned" : "";
      all.push_back(Scenario{name, turned, std::move(windows), std::move(steps), extra});
    };
    // A turned B changes B's coordinates, which held buttons and crossings
    // depend on; the rest runs once.
    add("HeldButtonAutomaticGrab", {kWide}, drag);
    add("HeldButtonPassiveGrab", {kWide}, passive);
    add("ChildOnTheOtherHead", withChild, crossings);
    add("JumpsBetweenWindowsBesideTheSeam", besideTheSeam, jumps);
    add("WithinAWindowOverTheSeam", straddling, withinStraddling, KeymapStateMask);
    // Dragged off a window that ends at the seam, let go over B.
    add("HeldButtonOffAWindowEndingAtTheSeam", {{-1, 100, 50, 300, 200}}, drag);
    if (turned) continue;
    add("HeldButtonBackOntoTheInputServer", {kWide}, dragBack);
    add("ActiveGrab", {kWide}, activeGrab);
    add("KeysOfTheOtherServer", {kWide}, keys, KeyPressMask | KeyReleaseMask | FocusChangeMask);
    // Dragged off a window that lies on A only, let go over B.
    add("HeldButtonOffTheWindow", {{-1, 100, 50, 200, 200}}, drag);
    // The window the grab confines the pointer to moves away from it, on
    // its head and then onto the other head: the pointer follows into it.
    add("ConfinedPointerFollowsTheWindow", {{-1, 100, 50, 200, 200}, {-1, 20, 20, 60, 60}},
        {{Op::Warp, 150, 80}, {Op::GrabPointer, 0, 1, 1}, {Op::MoveResize, 250, 150, 50, 50}, {Op::Pointer},
         {Op::MoveResize, 400, 100, 50, 50}, {Op::Pointer}, {Op::UngrabPointer}});
  }
  return all;
}

// The meta pointer through the display (root coordinates), or -1,-1.
std::pair<int, int> metaPointer(Display* display) {
  Window root, child;
  int x = -1, y = -1, wx, wy;
  unsigned mask;
  if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &mask)) return {-1, -1};
  return {x, y};
}

// Waits until the display's meta pointer is there (up to 10 s); where it is then.
std::pair<int, int> awaitPointer(Display* display, std::pair<int, int> wanted) {
  std::pair<int, int> at = metaPointer(display);
  for (int i = 0; i < 500 && at != wanted; i++) {
    poll(nullptr, 0, 20);
    at = metaPointer(display);
  }
  return at;
}

// The last client leaves with the pointer on B and the proxy resets: the
// input server's pointer still drives the meta pointer afterwards, by
// absolute and by relative moves, as a plain server's pointer would.
TEST(SeamReset, TheInputServersPointerStillDrivesTheMetaPointer) {
  Xvfb a{{"-screen", "0", "400x300x24"}}, b{{"-screen", "0", "400x300x24"}};
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"screen", a.display() + ".0", "borderWidth", "0", "screen", b.display() + ".0",
                      "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Display* client = XOpenDisplay(proxy.display().c_str());
  ASSERT_NE(client, nullptr);
  XWarpPointer(client, None, DefaultRootWindow(client), 0, 0, 0, 0, 600, 100);
  ASSERT_EQ(awaitPointer(client, {600, 100}), std::make_pair(600, 100));
  XCloseDisplay(client);
  ASSERT_TRUE(proxy.waitForLog("Resetting X proxy", 10000)) << proxy.log();
  client = nullptr;
  for (int i = 0; i < 200 && !client; i++) {
    client = XOpenDisplay(proxy.display().c_str());
    if (!client) poll(nullptr, 0, 50);
  }
  ASSERT_NE(client, nullptr) << proxy.log();
  // The session starts with the pointer in the middle, on B's head.
  XWarpPointer(client, None, DefaultRootWindow(client), 0, 0, 0, 0, 50, 50);
  ASSERT_EQ(awaitPointer(client, {50, 50}), std::make_pair(50, 50));
  Display* input = XOpenDisplay(a.display().c_str());
  ASSERT_NE(input, nullptr);
  XTestFakeMotionEvent(input, 0, 100, 50, CurrentTime);
  XSync(input, False);
  EXPECT_EQ(awaitPointer(client, {100, 50}), std::make_pair(100, 50)) << proxy.log();
  XTestFakeRelativeMotionEvent(input, 10, 10, CurrentTime);
  XSync(input, False);
  EXPECT_EQ(awaitPointer(client, {110, 60}), std::make_pair(110, 60)) << proxy.log();
  XCloseDisplay(input);
  XCloseDisplay(client);
}

// Under a client's grab the input server's own pointer leaves A at its
// last column: the client sees the pointer go on onto B, and no motion at
// the point where the proxy parks A's pointer (A's centre).
TEST(SeamGrab, LeavingTheInputServerShowsNoMotionWhereItsPointerIsParked) {
  Xvfb a{{"-screen", "0", "400x300x24"}}, b{{"-screen", "0", "400x300x24"}};
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  // With the default border of 1 the pointer enters B once it reaches A's
  // last column; the meta screen is 796 wide and A's centre 199,149.
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "screen", b.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Session s;
  s.client = XOpenDisplay(proxy.display().c_str());
  s.input = XOpenDisplay(a.display().c_str());
  ASSERT_TRUE(s.client && s.input);
  Window root = DefaultRootWindow(s.client);
  s.windows.push_back(XCreateSimpleWindow(s.client, root, 100, 50, 300, 200, 0, 0, 0));
  XMapWindow(s.client, s.windows[0]);
  XWarpPointer(s.client, None, root, 0, 0, 0, 0, 300, 120);
  std::vector<std::string> ignored, events;
  collect(s, &ignored);
  ASSERT_EQ(XGrabPointer(s.client, s.windows[0], False, PointerMotionMask, GrabModeAsync, GrabModeAsync, None, None,
                         CurrentTime),
            GrabSuccess);
  XTestFakeMotionEvent(s.input, 0, 399, 120, CurrentTime);
  XSync(s.input, False);
  // The proxy follows a grabbed pointer by polling it (asked for up to 10 s).
  for (int i = 0; i < 200 && metaPointer(s.client).first < 398; i++) poll(nullptr, 0, 50);
  collect(s, &events);
  XTestFakeRelativeMotionEvent(s.input, 20, 0, CurrentTime);
  XSync(s.input, False);
  collect(s, &events);
  ASSERT_FALSE(events.empty());
  for (const std::string& e : events) EXPECT_EQ(e.find("root=199,149 "), std::string::npos) << joined(events);
  EXPECT_GE(metaPointer(s.client).first, 398) << joined(events);
}

INSTANTIATE_TEST_SUITE_P(Seam, AcrossTheSeam, ::testing::ValuesIn(scenarios()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace palvon::test

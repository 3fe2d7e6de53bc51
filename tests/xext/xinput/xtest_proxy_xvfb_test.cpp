// Fake input through the proxy program in front of two Xvfb side by side
// (A at 0..1279, B at 1280..2559 of one meta screen), made the way xdotool
// makes it: the pointer goes onto the head the meta position names, and
// keys and clicks reach a window as they would on one server. Forwarded
// where the servers have XTEST, carried out by the proxy where they lack it.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/heldclient.h"
#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/waitfor.h"
#include "support/xprogram.h"
#include "support/xwindows.h"
#include "support/xvfb.h"

// After gtest: Xlib's macros (None, Bool) would break its headers.
#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace palvon::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Mode {
  const char* name;
  bool serversLackXTest;
  bool movedOnB;  // B behind a relay that offers XTEST at other codes
};

class FakeInput : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      std::vector<std::string> args{"-screen", "0", "1280x1024x24"};
      if (GetParam().serversLackXTest) args.insert(args.end(), {"-extension", "XTEST"});
      servers.push_back(std::make_unique<Xvfb>(args));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      if (i == 1 && GetParam().movedOnB) {
        relay = std::make_unique<ExtensionRelay>(*servers.back());
        ASSERT_TRUE(relay->ok()) << relay->error();
        relay->moveExtension("XTEST", 222);
        words.push_back(relay->display() + ".0");
      } else {
        words.push_back(servers.back()->display() + ".0");
      }
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    display = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(display, nullptr) << proxy->log();
    int event = 0, error = 0, major = 0, minor = 0;
    ASSERT_TRUE(XTestQueryExtension(display, &event, &error, &major, &minor)) << proxy->log();
    EXPECT_EQ(major * 100 + minor, 202);
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }

  // The next event of the types on the display, within the deadline.
  static bool nextEvent(Display* on, int type, XEvent* out, int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      while (XPending(on)) {
        XNextEvent(on, out);
        if (out->type == type) return true;
      }
      pollfd p{ConnectionNumber(on), POLLIN, 0};
      poll(&p, 1, 50);
    }
    return false;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ExtensionRelay> relay;
  std::unique_ptr<ProxyProcess> proxy;
  Display* display = nullptr;
};

// Where B's own pointer is, as xdotool reads it there.
std::string pointerOn(const Xvfb& server) { return runProgram({"xdotool", "getmouselocation"}, server.display()).out; }

// The pointer on the server once done(it) holds, asked for up to 10 s.
std::string pointerOnceThere(const Xvfb& server, const std::function<bool(const std::string&)>& done) {
  std::string where;
  waitFor([&] { return done(where = pointerOn(server)); }, 10000, 100);
  return where;
}

// The meta position 1500,300 of the meta root lies 220 pixels into B: the
// fake motion must take the pointer where the proxy's own warp to that
// position takes it, not to a root no server knows.
TEST_P(FakeInput, AbsoluteMotionLandsOnTheNamedHead) {
  XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 1500, 300);
  XSync(display, False);
  std::string warped = pointerOnceThere(*servers[1], [](const std::string& at) { return contains(at, "x:22"); });
  ASSERT_TRUE(contains(warped, "x:22")) << warped;
  XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 2000, 600);
  XSync(display, False);
  ASSERT_NE(pointerOnceThere(*servers[1], [&](const std::string& at) { return at != warped; }), warped);
  XTestFakeMotionEvent(display, 0, 1500, 300, CurrentTime);
  XSync(display, False);
  std::string where = pointerOnceThere(*servers[1], [&](const std::string& at) { return at == warped; });
  EXPECT_EQ(where, warped) << proxy->log();
  Window root, child;
  int x = 0, y = 0, wx, wy;
  unsigned mask;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &mask);
  EXPECT_EQ(x, 1500);
  EXPECT_EQ(y, 300);
}

// A window under the pointer receives the click and the key through the
// proxy.
TEST_P(FakeInput, KeysAndClicksReachTheWindow) {
  Display* receiver = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(receiver, nullptr);
  XSetWindowAttributes attributes{};
  attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | ExposureMask;
  attributes.override_redirect = True;
  Window window = XCreateWindow(receiver, DefaultRootWindow(receiver), 100, 100, 300, 300, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWEventMask | CWOverrideRedirect, &attributes);
  XMapWindow(receiver, window);
  XEvent event;
  ASSERT_TRUE(nextEvent(receiver, Expose, &event));
  XSetInputFocus(receiver, window, RevertToParent, CurrentTime);
  XSync(receiver, False);

  XTestFakeMotionEvent(display, 0, 250, 250, CurrentTime);
  XTestFakeButtonEvent(display, 1, True, CurrentTime);
  XTestFakeButtonEvent(display, 1, False, CurrentTime);
  KeyCode a = XKeysymToKeycode(display, XK_a);
  XTestFakeKeyEvent(display, a, True, CurrentTime);
  XTestFakeKeyEvent(display, a, False, CurrentTime);
  XSync(display, False);

  ASSERT_TRUE(nextEvent(receiver, ButtonPress, &event)) << proxy->log();
  EXPECT_EQ(event.xbutton.button, 1u);
  // Without XTEST the proxy's click is a synthetic event from the root, as
  // the meta root reports it; the servers' own input is placed by the
  // pointer in the window.
  if (!GetParam().serversLackXTest) {
    EXPECT_EQ(event.xbutton.x, 150);
  } else {
    EXPECT_EQ(event.xbutton.window, DefaultRootWindow(receiver));
    EXPECT_EQ(event.xbutton.x, 250);
  }
  EXPECT_EQ(event.xbutton.root, DefaultRootWindow(receiver));
  EXPECT_EQ(event.xbutton.x_root, 250);
  EXPECT_EQ(event.xbutton.y_root, 250);
  ASSERT_TRUE(nextEvent(receiver, ButtonRelease, &event));
  ASSERT_TRUE(nextEvent(receiver, KeyPress, &event)) << proxy->log();
  EXPECT_EQ(XLookupKeysym(&event.xkey, 0), static_cast<KeySym>(XK_a));
  ASSERT_TRUE(nextEvent(receiver, KeyRelease, &event));
  XCloseDisplay(receiver);
}

// A client of the other byte order: the version is the proxy's, every
// request with a reply gets exactly one, and a fake event of the wrong size
// is refused.
TEST_P(FakeInput, OtherByteOrderGetsOneAnswerPerRequest) {
  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(proxy->number()));
  ASSERT_EQ(raw.setup('B'), 1);
  std::string name = "XTEST";
  uint8_t major = raw.queryExtension(name).major;
  ASSERT_NE(major, 0);
  Bytes answer;

  ASSERT_TRUE(raw.send(raw.request(major, 0, {2, 0, 0, 1})));  // GetVersion 2.1
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(answer[1], 2);
  EXPECT_EQ(raw.get16(answer, 8), 2);

  Bytes compare(8, 0);  // the root, cursor None
  raw.put32(compare, 0, raw.rootWindow());
  ASSERT_TRUE(raw.send(raw.request(major, 1, compare)));
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(raw.get16(answer, 2), 3);

  ASSERT_TRUE(raw.send(raw.request(major, 3, {1, 0, 0, 0})));  // GrabControl
  ASSERT_TRUE(raw.send(raw.request(major, 2, Bytes(28, 0))));  // FakeInput, 32 bytes
  answer = raw.readMessage();
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], BadLength);
  EXPECT_EQ(raw.get16(answer, 2), 5);
  ASSERT_TRUE(raw.send(raw.request(43, 0)));
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(raw.get16(answer, 2), 6);
  EXPECT_TRUE(raw.readMessage(300).empty());
  if (!relay) return;
  // GrabControl is every server's: B takes it at its own major.
  bool reached = false;
  for (const auto& r : relay->allExtensionRequests()) reached = reached || (r.major == 222 && r.minor == 3);
  EXPECT_TRUE(reached);
}

INSTANTIATE_TEST_SUITE_P(XTest, FakeInput,
                         ::testing::Values(Mode{"Forwarded", false, false}, Mode{"Emulated", true, false},
                                           Mode{"CodesMovedOnB", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// An input device's fake event with its valuators (a request longer than
// one event), as xinput-aware test tools send it: taken as by a plain
// server, and the input server's device acts on it.
struct DeviceCase {
  const char* name;
  int kind;  // 0 key, 1 button, 2 motion
};

std::vector<int> errorCodes;
int keepError(Display*, XErrorEvent* error) {
  errorCodes.push_back(error->error_code);
  return 0;
}

// The errors and the core events a window under the pointer gets when the
// XTEST device of the display's input server fakes the case's event.
std::vector<std::string> fakeDeviceEvent(const std::string& name, const DeviceCase& c) {
  Display* display = XOpenDisplay(name.c_str());
  if (!display) return {"cannot connect"};
  Window root = DefaultRootWindow(display);
  Window window = XCreateSimpleWindow(display, root, 10, 10, 200, 200, 0, 0, 0);
  XSelectInput(display, window, KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask);
  XMapWindow(display, window);
  XWarpPointer(display, None, root, 0, 0, 0, 0, 100, 100);
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  const char* wanted = c.kind == 0 ? "Virtual core XTEST keyboard" : "Virtual core XTEST pointer";
  int count = 0;
  XDeviceInfo* devices = XListInputDevices(display, &count);
  XID id = 0;
  for (int i = 0; i < count; i++)
    if (std::string(devices[i].name) == wanted) id = devices[i].id;
  if (devices) XFreeDeviceList(devices);
  XDevice* device = id ? XOpenDevice(display, id) : nullptr;
  if (!device) {
    XCloseDisplay(display);
    return {"no device"};
  }
  XSync(display, False);
  errorCodes.clear();
  XErrorHandler previous = XSetErrorHandler(keepError);
  int axes[2] = {120, 130};
  if (c.kind == 0) {
    XTestFakeDeviceKeyEvent(display, device, 38, True, axes, 2, CurrentTime);
    XTestFakeDeviceKeyEvent(display, device, 38, False, axes, 2, CurrentTime);
  } else if (c.kind == 1) {
    XTestFakeDeviceButtonEvent(display, device, 1, True, axes, 2, CurrentTime);
    XTestFakeDeviceButtonEvent(display, device, 1, False, axes, 2, CurrentTime);
  } else {
    XTestFakeDeviceMotionEvent(display, device, False, 0, axes, 2, CurrentTime);
  }
  XSync(display, False);
  std::vector<std::string> seen;
  for (int code : errorCodes) seen.push_back("error " + std::to_string(code));
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
  while (std::chrono::steady_clock::now() < end) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type >= KeyPress && event.type <= MotionNotify)
        seen.push_back("event " + std::to_string(event.type) + " " +
                       std::to_string(event.type == MotionNotify ? 0 : event.xkey.keycode) + " at " +
                       std::to_string(event.xkey.x_root) + "," + std::to_string(event.xkey.y_root));
    }
    pollfd p{ConnectionNumber(display), POLLIN, 0};
    poll(&p, 1, 50);
  }
  XSetErrorHandler(previous);
  XCloseDevice(display, device);
  XCloseDisplay(display);
  return seen;
}

void PrintTo(const DeviceCase& c, std::ostream* out) { *out << c.name; }

class DeviceFakeInput : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceFakeInput, AsOnAPlainServer) {
  std::vector<std::string> expected;
  {
    Xvfb plain{{"-screen", "0", "1280x1024x24"}};
    ASSERT_TRUE(plain.ok()) << plain.error();
    expected = fakeDeviceEvent(plain.display(), GetParam());
  }
  Xvfb a{{"-screen", "0", "640x1024x24"}}, b{{"-screen", "0", "640x1024x24"}};
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  // Without borders A's pixels are the meta screen's: the valuators pass
  // in the input server's terms.
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "borderWidth", "0", "screen",
                      b.display() + ".0", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(fakeDeviceEvent(proxy.display(), GetParam()), expected) << proxy.log();
}

// The same motion built by hand in the other byte order: the valuators
// reach the input server's device swapped right.
TEST(DeviceFakeInputOrder, ValuatorsOfTheOtherByteOrderMoveTheInputServersPointer) {
  Xvfb a{{"-screen", "0", "640x480x24"}}, b{{"-screen", "0", "640x480x24"}};
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "borderWidth", "0", "screen",
                      b.display() + ".0", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // The pointer starts in the middle, on B's head: A's pointer is the
  // meta pointer on A's.
  ASSERT_TRUE(warpPointerTo(proxy.display().c_str(), 100, 100));
  Display* onA = XOpenDisplay(a.display().c_str());
  ASSERT_NE(onA, nullptr);
  int count = 0;
  XDeviceInfo* devices = XListInputDevices(onA, &count);
  uint8_t device = 0;
  for (int i = 0; i < count; i++)
    if (std::string(devices[i].name) == "Virtual core XTEST pointer") device = uint8_t(devices[i].id);
  XFreeDeviceList(devices);
  ASSERT_NE(device, 0);
  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(proxy.number()));
  ASSERT_EQ(raw.setup('B'), 1);
  uint8_t xtest = raw.queryExtension("XTEST").major;
  uint8_t firstEvent = raw.queryExtension("XInputExtension").firstEvent;
  ASSERT_TRUE(xtest && firstEvent);
  Bytes body(64, 0);  // the motion (32 bytes less the header) and one DeviceValuator
  body[0] = uint8_t(firstEvent + 5);  // DeviceMotionNotify, absolute
  body[31] = device;
  body[32] = firstEvent;  // DeviceValuator
  body[33] = device;
  body[38] = 2;  // valuators 0 and 1
  raw.put32(body, 40, 120);
  raw.put32(body, 44, 130);
  ASSERT_TRUE(raw.send(raw.request(xtest, 2, body)));
  ASSERT_TRUE(raw.send(raw.request(43, 0)));  // GetInputFocus: the answer comes after any error
  Bytes answer = raw.readMessage();
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]);
  Window root, child;
  int x = 0, y = 0, wx, wy;
  unsigned mask;
  waitFor(
      [&] {
        XQueryPointer(onA, DefaultRootWindow(onA), &root, &child, &x, &y, &wx, &wy, &mask);
        return x == 120 && y == 130;
      },
      10000, 20);
  EXPECT_EQ(x, 120);
  EXPECT_EQ(y, 130);
  XCloseDisplay(onA);
}

INSTANTIATE_TEST_SUITE_P(XTest, DeviceFakeInput,
                         ::testing::Values(DeviceCase{"Key", 0}, DeviceCase{"Button", 1}, DeviceCase{"Motion", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A fake with a delay: the faker's next requests wait for it, as on a
// plain server, and nobody else does. One client fakes a key press 3 s
// late (then its release) or a relative motion 3 s late while another
// makes round trips until the faker's sync comes back.
struct DelayCase {
  const char* name;
  int layout;  // 0 one head, 1 two heads side by side, 2 two meta screens
  bool motion;
  bool failsafe;  // options Failsafe with a time-out of 1 s on each server
  bool emulated;  // the servers lack XTEST: the proxy makes the input
  // The faker grabs the server behind the fake until its sync is answered:
  // a request the proxy carries out itself, which no server holds back.
  bool grabs = false;
};

void PrintTo(const DelayCase& c, std::ostream* out) { *out << c.name; }

class DelayedFake : public ::testing::TestWithParam<DelayCase> {};

TEST_P(DelayedFake, HoldsOnlyTheFaker) {
  const DelayCase& c = GetParam();
  constexpr int kDelayMs = 3000;
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::string> words{"noReset", "on"};
  if (c.failsafe) words.insert(words.end(), {"options", "Failsafe"});
  for (int i = 0; i < (c.layout ? 2 : 1); i++) {
    std::vector<std::string> args{"-screen", "0", "640x480x24"};
    if (c.emulated) args.insert(args.end(), {"-extension", "XTEST"});
    servers.push_back(std::make_unique<Xvfb>(args));
    ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    if (c.layout == 2) words.insert(words.end(), {"metaScreen", "m" + std::to_string(i)});
    words.insert(words.end(), {"screen", servers.back()->display() + ".0", "borderWidth", "0"});
    if (c.failsafe) words.insert(words.end(), {"failsafeTimeout", "1s"});
  }
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Display* faker = XOpenDisplay(proxy.display().c_str());
  Display* other = XOpenDisplay(proxy.display().c_str());
  ASSERT_TRUE(faker && other) << proxy.log();
  // The pointer on the last head or screen.
  Window root = RootWindow(faker, ScreenCount(faker) - 1);
  XWarpPointer(faker, None, root, 0, 0, 0, 0, c.layout == 1 ? 900 : 200, 200);
  XSync(faker, False);
  auto pointer = [](Display* on, Window from) {
    Window r, child;
    int x = 0, y = 0, wx, wy;
    unsigned mask;
    XQueryPointer(on, from, &r, &child, &x, &y, &wx, &wy, &mask);
    return std::pair{x, y};
  };
  auto [x, y] = pointer(faker, root);
  if (c.motion) {
    XTestFakeRelativeMotionEvent(faker, 30, 20, kDelayMs);
  } else {
    KeyCode a = XKeysymToKeycode(faker, XK_a);
    XTestFakeKeyEvent(faker, a, True, kDelayMs);
    XTestFakeKeyEvent(faker, a, False, CurrentTime);
  }
  auto start = std::chrono::steady_clock::now();
  std::atomic<bool> synced{false};
  std::thread sync([&] {
    if (c.grabs) XGrabServer(faker);
    XSync(faker, False);
    if (c.grabs) XUngrabServer(faker), XSync(faker, False);
    synced = true;
  });
  auto ms = [](auto from) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from).count();
  };
  // Not moved before the delay is over.
  if (c.motion) {
    EXPECT_EQ(pointer(other, root), std::pair(x, y));
  }
  long longest = 0;
  while (!synced && ms(start) < 20000) {
    auto trip = std::chrono::steady_clock::now();
    Window focus;
    int revert;
    XGetInputFocus(other, &focus, &revert);
    longest = std::max<long>(longest, ms(trip));
  }
  sync.join();
  EXPECT_GE(ms(start), kDelayMs - 100) << proxy.log();
  EXPECT_LT(longest, 1000) << proxy.log();
  if (c.motion) {
    EXPECT_EQ(pointer(faker, root), std::pair(x + 30, y + 20));
  }
  // A faker ended while it waits takes its fake along: a later delay's end
  // finds the proxy well.
  RawClient ended;
  ASSERT_TRUE(ended.connectUnix(proxy.number()));
  ASSERT_EQ(ended.setup(), 1);
  Bytes gc(12, 0), fake(32, 0);
  ended.put32(gc, 0, ended.resourceIdBase());
  ended.put32(gc, 4, ended.rootWindow());
  fake[0] = MotionNotify, fake[1] = 1;
  ended.put32(fake, 4, 200);
  ASSERT_TRUE(ended.send(ended.request(55, 0, gc)) &&
              ended.send(ended.request(ended.queryExtension("XTEST").major, 2, fake)));
  XSync(other, False);
  XKillClient(other, ended.resourceIdBase());
  XTestFakeRelativeMotionEvent(other, 0, 0, 400);
  XSync(other, False);
  EXPECT_TRUE(ended.waitClosed(5000));
  // Every other client lives on.
  XSync(faker, False);
  EXPECT_EQ(proxy.wait(0), -1) << proxy.log();
  XCloseDisplay(faker);
  XCloseDisplay(other);
}

INSTANTIATE_TEST_SUITE_P(XTest, DelayedFake,
                         ::testing::Values(DelayCase{"KeyOnOneHead", 0, false, false, false, true},
                                           DelayCase{"KeyOnTheLastOfTwoHeads", 1, false, false, false},
                                           DelayCase{"KeyOnTheSecondScreen", 2, false, false, false},
                                           DelayCase{"MotionOnOneHead", 0, true, false, false},
                                           DelayCase{"MotionOnTheLastOfTwoHeads", 1, true, false, false},
                                           DelayCase{"MotionOnTheSecondScreen", 2, true, false, false},
                                           DelayCase{"KeyUnderFailsafe", 1, false, true, false},
                                           DelayCase{"EmulatedKeyOnTheLastOfTwoHeads", 1, false, false, true},
                                           DelayCase{"EmulatedMotionOnTheSecondScreen", 2, true, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A faker of a motion 10 s late leaves while its fake waits, killed by
// another client or with its socket closed: its window goes at once, as on
// a plain server, not when the delay is over, and the proxy serves the
// others on.
class DelayedFakeEnd : public ::testing::TestWithParam<HeldEnd> {};

TEST_P(DelayedFakeEnd, IsSeenAtOnceAsOnAPlainServer) {
  auto fakeLate = [](RawClient& held) {
    uint8_t xtest = held.queryExtension("XTEST").major;
    Bytes fake(32, 0);
    fake[0] = MotionNotify, fake[1] = 1;  // relative
    held.put32(fake, 4, 10000);
    return xtest && held.send(held.request(xtest, 2, fake)) && held.send(held.request(43, 0));
  };
  expectHeldEndAsOnAPlainServer(fakeLate, GetParam());
}

INSTANTIATE_TEST_SUITE_P(XTest, DelayedFakeEnd, ::testing::Values(HeldEnd::kKilledByAnother, HeldEnd::kSocketClosed),
                         [](const auto& info) { return heldEndName(info.param); });

}  // namespace
}  // namespace palvon::test

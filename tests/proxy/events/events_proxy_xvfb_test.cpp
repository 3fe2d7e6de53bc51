// Input and server grabs through the proxy program in front of two Xvfb side
// by side: the pointer moved and clicked on the input server reaches the
// client once, in the window's and the meta root's terms, and a server grab
// holds other clients until it ends. Then the same conversations with a
// plain Xvfb of the meta screen's size (or of two screens, beside two meta
// screens on two servers) and through the proxy, compared line by line:
// events, grabs and focus, and the pointer's buttons.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

// The absolute position on a server of the window whose "xwininfo -tree"
// line shows that geometry relative to its parent; false when none.
bool absoluteOf(const std::string& display, const std::string& geometry, int* x, int* y) {
  std::istringstream in(runProgram({"xwininfo", "-root", "-tree"}, display).out);
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(" " + geometry + "  ");
    if (at == std::string::npos) continue;
    return sscanf(line.c_str() + at + geometry.size() + 3, "+%d+%d", x, y) == 2;
  }
  return false;
}

// Waits for the next event of the type (others are skipped); false after
// the deadline.
bool nextEvent(Display* display, int type, XEvent* event, int timeoutMs = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    while (XPending(display)) {
      XNextEvent(display, event);
      if (event->type == type) return true;
    }
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, 50);
  }
  return false;
}

class ProxyInput : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto* s : {&first, &second}) ASSERT_TRUE(s->ok()) << s->error();
    proxy = std::make_unique<ProxyProcess>(std::vector<std::string>{
        "noReset", "on", "screen", first.display() + ".0", "screen", second.display() + ".0"});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    client = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override {
    if (client) XCloseDisplay(client);
  }

  Xvfb first{{"-screen", "0", "400x300x24"}};
  Xvfb second{{"-screen", "0", "400x300x24"}};
  std::unique_ptr<ProxyProcess> proxy;
  Display* client = nullptr;
};

TEST_F(ProxyInput, APointerOnTheInputServerReachesTheClientOnceInMetaTerms) {
  Window root = DefaultRootWindow(client);
  Window window = XCreateSimpleWindow(client, root, 50, 60, 120, 90, 0, 0, 0);
  XSelectInput(client, window, ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask);
  XMapWindow(client, window);
  XEvent event;
  ASSERT_TRUE(nextEvent(client, Expose, &event));
  int x = 0, y = 0;
  ASSERT_TRUE(absoluteOf(first.display(), "120x90+50+60", &x, &y));
  // The pointer starts in the middle, on the second server's head: the
  // input server's own moves are taken as the pointer's only on its head.
  XWarpPointer(client, None, window, 0, 0, 0, 0, 5, 5);
  XSync(client, False);
  std::string target = std::to_string(x + 10) + " " + std::to_string(y + 20);
  ProgramResult moved = runProgram({"sh", "-c", "xdotool mousemove " + target + " && xdotool click 1"},
                                   first.display());
  ASSERT_EQ(moved.status, 0) << moved.err;
  ASSERT_TRUE(nextEvent(client, ButtonPress, &event)) << proxy->log();
  EXPECT_EQ(event.xbutton.window, window);
  EXPECT_EQ(event.xbutton.root, root);
  EXPECT_EQ(event.xbutton.button, 1u);
  EXPECT_EQ(event.xbutton.x, 10);
  EXPECT_EQ(event.xbutton.y, 20);
  EXPECT_EQ(event.xbutton.x_root, 60);
  EXPECT_EQ(event.xbutton.y_root, 80);
  ASSERT_TRUE(nextEvent(client, ButtonRelease, &event));
  // Both servers hold the window; the press came from one of them only.
  XSync(client, False);
  int presses = 0;
  while (XPending(client)) {
    XNextEvent(client, &event);
    if (event.type == ButtonPress) presses++;
  }
  EXPECT_EQ(presses, 0);
}

// Another client, connected before the grab, asks during it: no answer
// comes until the grab ends, and a program that connects during the grab
// is served only after it.
TEST_F(ProxyInput, AServerGrabHoldsOtherClientsUntilItEnds) {
  RawClient held;
  ASSERT_TRUE(held.connectUnix(proxy->number()) && held.setup('l') == 1) << proxy->log();
  XGrabServer(client);
  XSync(client, False);
  std::atomic<bool> done{false};
  ProgramResult info;
  std::thread other([&] {
    info = runProgram({"xdpyinfo"}, proxy->display(), 30000);
    done = true;
  });
  ASSERT_TRUE(held.send(held.request(43, 0)));  // GetInputFocus
  // Time on purpose, briefly: an answer here would be the fault (nothing
  // else marks a request the proxy leaves unread). A slow machine can only
  // miss a wrong answer, never fail a right proxy.
  Bytes early = held.readMessage(500);
  EXPECT_TRUE(early.empty()) << "the held client was answered during the grab";
  EXPECT_FALSE(done) << "another client was served during the grab";
  XUngrabServer(client);
  XSync(client, False);
  Bytes answer = early.empty() ? held.readMessage(20000) : early;
  EXPECT_TRUE(answer.size() == 32 && answer[0] == 1) << proxy->log();
  other.join();
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_FALSE(info.timedOut);
}

// --- The same conversation on a plain server and through the proxy ------------------------------

// What a conversation saw, one line per event or answer, with windows named
// by the conversation (ids differ between the two servers).
class Transcript {
 public:
  void name(Window window, const std::string& as) { names_[window] = as; }
  std::string of(Window window) const {
    if (window == 0) return "None";
    if (window == PointerRoot) return "PointerRoot";
    auto found = names_.find(window);
    return found == names_.end() ? "other" : found->second;
  }
  void line(const std::string& text) { text_ += text + "\n"; }
  const std::string& text() const { return text_; }

  // Every event the display has had by the answer of a round trip: what the
  // conversation's requests (and another client's, synced before) made.
  void events(Display* display, const std::string& who) {
    XSync(display, False);
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      line(who + " " + describe(event));
    }
  }

  // Type, window and what tells the case apart; a device's focus changes
  // (types deviceIn and deviceOut) as DeviceFocusIn and DeviceFocusOut, its
  // keys (deviceKeyPress and deviceKeyRelease) as DeviceKeyPress and
  // DeviceKeyRelease.
  std::string describe(const XEvent& event) const {
    static const std::map<int, const char*> kNames{
        {KeyPress, "KeyPress"},         {KeyRelease, "KeyRelease"}, {ButtonPress, "ButtonPress"},
        {ButtonRelease, "ButtonRelease"}, {MotionNotify, "MotionNotify"}, {FocusIn, "FocusIn"},
        {FocusOut, "FocusOut"},         {KeymapNotify, "KeymapNotify"}, {VisibilityNotify, "VisibilityNotify"},
        {EnterNotify, "EnterNotify"},   {LeaveNotify, "LeaveNotify"}};
    std::ostringstream out;
    out << (event.xany.send_event ? "sent " : "");
    auto* device = reinterpret_cast<const XDeviceFocusChangeEvent*>(&event);
    if (event.type == deviceIn || event.type == deviceOut) {
      out << (event.type == deviceIn ? "DeviceFocusIn " : "DeviceFocusOut ") << of(device->window)
          << " mode=" << device->mode << " detail=" << device->detail;
      return out.str();
    }
    if (event.type == deviceKeyPress || event.type == deviceKeyRelease) {
      auto* key = reinterpret_cast<const XDeviceKeyEvent*>(&event);
      out << (event.type == deviceKeyPress ? "DeviceKeyPress " : "DeviceKeyRelease ") << of(key->window)
          << " keycode=" << key->keycode;
      return out.str();
    }
    if (event.type == MappingNotify) {
      out << "MappingNotify request=" << event.xmapping.request << " first=" << event.xmapping.first_keycode
          << " count=" << event.xmapping.count;
      return out.str();
    }
    auto name = kNames.find(event.type);
    out << (name == kNames.end() ? std::to_string(event.type) : name->second);
    if (event.type == KeymapNotify) {
      for (int i = 1; i < 32; i++) out << ' ' << int(static_cast<unsigned char>(event.xkeymap.key_vector[i]));
      return out.str();
    }
    out << ' ' << of(event.xany.window);
    if (event.type == FocusIn || event.type == FocusOut)
      out << " mode=" << event.xfocus.mode << " detail=" << event.xfocus.detail;
    const XCrossingEvent& c = event.xcrossing;
    if (event.type == EnterNotify || event.type == LeaveNotify)
      out << " mode=" << c.mode << " detail=" << c.detail << " child=" << of(c.subwindow) << " at " << c.x << ","
          << c.y << " state=" << c.state << " focus=" << c.focus << " same-screen=" << c.same_screen;
    if (event.type == ButtonPress || event.type == ButtonRelease) out << " button=" << event.xbutton.button;
    if (event.type == KeyPress || event.type == KeyRelease)
      out << " state=" << event.xkey.state << " same-screen=" << event.xkey.same_screen;
    if (event.type == VisibilityNotify) out << " state=" << event.xvisibility.state;
    if (positions && (event.type == EnterNotify || event.type == LeaveNotify)) {
      const XCrossingEvent& e = event.xcrossing;
      out << " at " << e.x << ',' << e.y << " root " << e.x_root << ',' << e.y_root << " state=" << e.state
          << " same-screen=" << e.same_screen;
    } else if (positions && (event.type == KeyPress || event.type == KeyRelease)) {
      out << " at " << event.xkey.x << ',' << event.xkey.y << " root " << event.xkey.x_root << ','
          << event.xkey.y_root;
    } else if (positions && (event.type == ButtonPress || event.type == ButtonRelease)) {
      const XButtonEvent& e = event.xbutton;
      out << " at " << e.x << ',' << e.y << " root " << e.x_root << ',' << e.y_root << " state=" << e.state
          << " same-screen=" << e.same_screen;
    } else if (positions && event.type == MotionNotify) {
      const XMotionEvent& e = event.xmotion;
      out << " at " << e.x << ',' << e.y << " root " << e.x_root << ',' << e.y_root << " state=" << e.state
          << " same-screen=" << e.same_screen;
    }
    return out.str();
  }

  // Adds the position, state and same-screen flag of key, button, motion and
  // crossing events.
  bool positions = false;
  int deviceIn = -1, deviceOut = -1, deviceKeyPress = -1, deviceKeyRelease = -1;

 private:
  std::map<Window, std::string> names_;
  std::string text_;
};

// The proxy offers no XKB: a change of the keymap or the modifiers reaches
// every client as the core protocol's MappingNotify (the servers' XKB
// events about it do not), and the fake keys of another client say nothing.
TEST_F(ProxyInput, KeymapChangesReachOtherClientsAsMappingNotify) {
  Display* changer = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(changer, nullptr);
  KeyCode key = XKeysymToKeycode(changer, XStringToKeysym("b"));
  int perKeycode = 0;
  KeySym* saved = XGetKeyboardMapping(changer, key, 1, &perKeycode);
  ASSERT_NE(saved, nullptr);
  XTestFakeKeyEvent(changer, key, True, CurrentTime);
  XTestFakeKeyEvent(changer, key, False, CurrentTime);
  std::vector<KeySym> changed(size_t(perKeycode), NoSymbol);
  changed[0] = XStringToKeysym("c");
  XChangeKeyboardMapping(changer, key, perKeycode, changed.data(), 1);
  XModifierKeymap* modifiers = XGetModifierMapping(changer);
  EXPECT_EQ(XSetModifierMapping(changer, modifiers), MappingSuccess);
  XChangeKeyboardMapping(changer, key, perKeycode, saved, 1);
  XSync(changer, False);
  XFreeModifiermap(modifiers);
  XFree(saved);
  XCloseDisplay(changer);
  // Everything the client hears: it selected nothing.
  Transcript heard;
  heard.events(client, "");
  std::string one = " MappingNotify request=1 first=" + std::to_string(key) + " count=1\n";
  EXPECT_EQ(heard.text(), one + " MappingNotify request=0 first=0 count=0\n" + one);
}

// A conversation against one display; the proxy's and the plain server's
// transcripts must be equal.
using Conversation = std::function<void(const std::string& display, Transcript& out)>;

struct DifferentialCase {
  const char* name;
  int heads;  // 640x480 each, side by side; the plain server is as wide as all
  Conversation run;
  // Two: each head a meta screen of its own, beside a plain server of two
  // screens.
  int screens = 1;
  // The heads' border; 0 puts them edge to edge, as wide as the plain one.
  int border = 1;
};

std::string caseName(const ::testing::TestParamInfo<DifferentialCase>& info) { return info.param.name; }

class AsOnAPlainServer : public ::testing::TestWithParam<DifferentialCase> {
 protected:
  void SetUp() override {
    int heads = GetParam().heads, screens = GetParam().screens;
    std::vector<std::string> plainArgs{"-screen", "0", std::to_string(640 * heads) + "x480x24"};
    if (screens == 2) plainArgs.insert(plainArgs.end(), {"-screen", "1", "640x480x24"});
    plain = std::make_unique<Xvfb>(plainArgs);
    ASSERT_TRUE(plain->ok()) << plain->error();
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < heads + screens - 1; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "640x480x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      if (screens == 2) words.insert(words.end(), {"metaScreen", "m" + std::to_string(i)});
      words.insert(words.end(), {"screen", servers.back()->display() + ".0"});
      if (GetParam().border != 1) words.insert(words.end(), {"borderWidth", std::to_string(GetParam().border)});
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  void compare() {
    Transcript expected, seen;
    GetParam().run(plain->display(), expected);
    GetParam().run(proxy->display(), seen);
    EXPECT_EQ(seen.text(), expected.text()) << proxy->log();
  }

  std::unique_ptr<Xvfb> plain;
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
};

Display* openOrFail(const std::string& name) {
  Display* display = XOpenDisplay(name.c_str());
  EXPECT_NE(display, nullptr) << name;
  return display;
}

// An override-redirect window on the screen, mapped and exposed, selecting
// the mask.
Window mappedWindow(Display* display, int x, int y, int width, int height, long mask, int screen = 0) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.event_mask = mask | ExposureMask;
  Window window = XCreateWindow(display, RootWindow(display, screen), x, y, width, height, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  XMapWindow(display, window);
  XEvent event;
  nextEvent(display, Expose, &event);
  XSelectInput(display, window, mask);
  XSync(display, False);
  return window;
}

// The server's time now, read from a property change.
Time serverTime(Display* display) {
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(display, window, PropertyChangeMask);
  Atom atom = XInternAtom(display, "PALVON_TEST_TIME", False);
  XChangeProperty(display, window, atom, XA_ATOM, 32, PropModeReplace, nullptr, 0);
  XEvent event;
  Time time = nextEvent(display, PropertyNotify, &event) ? event.xproperty.time : CurrentTime;
  XDestroyWindow(display, window);
  return time;
}

// A server's fake motion stays on the pointer's screen; a warp crosses.
void movePointer(Display* display, int x, int y, int screen = 0) {
  if (ScreenCount(display) > 1) {
    XWarpPointer(display, None, RootWindow(display, screen), 0, 0, 0, 0, x - 1, y);
    XWarpPointer(display, None, RootWindow(display, screen), 0, 0, 0, 0, x, y);
  } else XTestFakeMotionEvent(display, screen, x, y, CurrentTime);
  XSync(display, False);
}

void click(Display* display, unsigned button) {
  XTestFakeButtonEvent(display, button, True, CurrentTime);
  XTestFakeButtonEvent(display, button, False, CurrentTime);
  XSync(display, False);
}

// --- Events -------------------------------------------------------------------------------------

// A KeymapNotify and a VisibilityNotify sent by a client, the window not
// mapped so that the servers make none of their own.
void sentByAClient(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 50, 50, 0, 0, 0);
  XSelectInput(display, window, KeymapStateMask | VisibilityChangeMask);
  out.name(window, "w");
  XEvent event{};
  event.xkeymap.type = KeymapNotify;
  for (int i = 1; i < 32; i++) event.xkeymap.key_vector[i] = char(i * 7);
  XSendEvent(display, window, False, KeymapStateMask, &event);
  event = XEvent{};
  event.xvisibility.type = VisibilityNotify;
  event.xvisibility.window = window;
  event.xvisibility.state = VisibilityPartiallyObscured;
  XSendEvent(display, window, False, VisibilityChangeMask, &event);
  out.events(display, "client");
  XCloseDisplay(display);
}

// The first extension keyboard the server lists, opened; null when none.
XDevice* openExtensionKeyboard(Display* display) {
  int count = 0;
  XDevice* keyboard = nullptr;
  XDeviceInfo* devices = XListInputDevices(display, &count);
  for (int i = 0; i < count && !keyboard; i++)
    if (devices[i].use == IsXExtensionKeyboard) keyboard = XOpenDevice(display, devices[i].id);
  if (devices) XFreeDeviceList(devices);
  return keyboard;
}

// A key of an extension keyboard grabbed on a window, or with `close` the
// keyboard's keys selected on the window and the device closed, then keys
// faked by another client with the pointer in the window: the device's key
// events, and nothing of the switch between the server's keyboards that
// the fake keys make. (The client asks nothing of the keymap: an Xlib that
// loaded it through XKB makes a MappingNotify of its own from the switch.)
void deviceKeyGrabbedOrClosed(const std::string& name, Transcript& out, bool close) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !driver) return;
  Window window = mappedWindow(display, 100, 100, 200, 200, 0);
  out.name(window, "w");
  XDevice* keyboard = openExtensionKeyboard(display);
  if (!keyboard) return out.line("no device"), XCloseDisplay(driver), XCloseDisplay(display), void();
  XEventClass classes[2];
  DeviceKeyPress(keyboard, out.deviceKeyPress, classes[0]);
  DeviceKeyRelease(keyboard, out.deviceKeyRelease, classes[1]);
  KeyCode grabbed = XKeysymToKeycode(driver, XStringToKeysym("a"));
  KeyCode other = XKeysymToKeycode(driver, XStringToKeysym("b"));
  if (close) {
    XSelectExtensionEvent(display, window, classes, 2);
    XCloseDevice(display, keyboard);
  } else {
    XGrabDeviceKey(display, keyboard, grabbed, AnyModifier, nullptr, window, False, 2, classes, GrabModeAsync,
                   GrabModeAsync);
  }
  XSetInputFocus(display, PointerRoot, RevertToPointerRoot, CurrentTime);
  XSync(display, False);
  movePointer(driver, 150, 150);
  for (KeyCode key : {grabbed, other}) {
    XTestFakeKeyEvent(driver, key, True, CurrentTime);
    XTestFakeKeyEvent(driver, key, False, CurrentTime);
    movePointer(driver, 160, 160);
    out.events(display, std::string(key == grabbed ? "grabbed" : "other") + " key:");
  }
  if (!close) {
    XUngrabDeviceKey(display, keyboard, grabbed, AnyModifier, nullptr, window);
    XCloseDevice(display, keyboard);
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// The focus goes from the root through PointerRoot and None and back, with
// the pointer over the root and then in a window; the core focus or, with
// `device`, an extension keyboard's (its DeviceFocusIn and DeviceFocusOut
// carry the same details).
void focusThroughPointerRootAndNone(const std::string& name, Transcript& out, bool device) {
  Display* display = openOrFail(name);
  if (!display) return;
  Window root = DefaultRootWindow(display);
  out.name(root, "root");
  Window window = mappedWindow(display, 100, 100, 200, 200, device ? 0 : FocusChangeMask);
  out.name(window, "w");
  XDevice* keyboard = nullptr;
  if (device) {
    keyboard = openExtensionKeyboard(display);
    if (!keyboard) return out.line("no device"), XCloseDisplay(display), void();
    XEventClass classes[2];
    DeviceFocusIn(keyboard, out.deviceIn, classes[0]);
    DeviceFocusOut(keyboard, out.deviceOut, classes[1]);
    for (Window each : {root, window}) XSelectExtensionEvent(display, each, classes, 2);
  } else {
    XSelectInput(display, root, FocusChangeMask);
  }
  // Another client that selected KeymapState alone on the window hears the
  // keys after the pointer enters it and after it gets the focus.
  Display* keys = device ? nullptr : openOrFail(name);
  if (keys) XSelectInput(keys, window, KeymapStateMask), XSync(keys, False);
  for (int x : {600, 150}) {
    movePointer(display, x, x == 600 ? 400 : 150);
    out.line("pointer at " + std::to_string(x));
    for (Window to : {root, Window(PointerRoot), Window(None), Window(PointerRoot), window, Window(None)}) {
      if (keyboard) XSetDeviceFocus(display, keyboard, to, RevertToNone, CurrentTime);
      else XSetInputFocus(display, to, RevertToNone, CurrentTime);
      out.events(display, "to " + out.of(to) + ":");
    }
    if (keys) out.events(keys, "keymap only:");
  }
  if (keyboard) XCloseDevice(display, keyboard);
  if (keys) XCloseDisplay(keys);
  XCloseDisplay(display);
}

// A release goes only to a client that selected it (or to the grab that
// the press started with the releases its client selected).
void releasesOnlyWhereSelected(const std::string& name, Transcript& out) {
  Display* first = openOrFail(name);
  Display* second = openOrFail(name);
  if (!first || !second) return;
  Window pressOnly = mappedWindow(first, 100, 100, 100, 100, ButtonReleaseMask);
  Window nothing = mappedWindow(first, 300, 100, 100, 100, ButtonReleaseMask);
  out.name(pressOnly, "pressOnly");
  out.name(nothing, "nothing");
  XSelectInput(second, pressOnly, ButtonPressMask);
  XSync(second, False);
  for (int x : {150, 350}) {
    movePointer(first, x, 150);
    click(first, 1);
    out.events(first, "first:");
    out.events(second, "second:");
  }
  XCloseDisplay(second);
  XCloseDisplay(first);
}

void typeKey(Display* display, const char* keysym) {
  KeyCode key = XKeysymToKeycode(display, XStringToKeysym(keysym));
  XTestFakeKeyEvent(display, key, True, CurrentTime);
  XTestFakeKeyEvent(display, key, False, CurrentTime);
  XSync(display, False);
}

// A window on each screen that selected the mask and the two roots that
// selected focus changes, named for the transcript; false with one screen.
bool windowPerScreen(Display* display, long mask, Window* windows, Transcript& out) {
  if (ScreenCount(display) < 2) return out.line("one screen"), false;
  for (int s = 0; s < 2; s++) {
    windows[s] = mappedWindow(display, 100, 100, 200, 200, mask, s);
    XSelectInput(display, RootWindow(display, s), FocusChangeMask);
    out.name(windows[s], "w" + std::to_string(s));
    out.name(RootWindow(display, s), "root" + std::to_string(s));
  }
  XSync(display, False);
  return true;
}

// The focus moved within and across two screens, to windows, roots,
// PointerRoot and None, with the pointer on each screen: what both screens'
// windows and roots hear, and where a key typed after each change goes.
// (Another client types: the listener asks nothing of the keymap.)
void focusAcrossScreens(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  if (!display || !driver || !windowPerScreen(display, FocusChangeMask | KeyPressMask, w, out)) return;
  Window root0 = RootWindow(display, 0), root1 = RootWindow(display, 1);
  for (int s = 0; s < 2; s++) {
    movePointer(driver, 150, 150, s);
    out.events(display, "pointer on screen " + std::to_string(s) + ":");
    for (Window to : {w[0], w[1], root1, Window(PointerRoot), Window(None), w[1], root0, Window(PointerRoot), w[0]}) {
      XSetInputFocus(display, to, RevertToNone, CurrentTime);
      XSync(display, False);
      typeKey(driver, "a");
      out.events(display, "to " + out.of(to) + ":");
    }
    // The pointer goes to the other screen and back under PointerRoot.
    XSetInputFocus(display, PointerRoot, RevertToNone, CurrentTime);
    out.events(display, "PointerRoot:");
    movePointer(driver, 150, 150, 1 - s);
    out.events(display, "pointer to " + std::to_string(1 - s) + ":");
    movePointer(driver, 150, 150, s);
    out.events(display, "pointer back:");
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// Where the pointer starts: in the middle of the first screen (without a
// window manager, the window there gets the keys).
void pointerStartsInTheMiddle(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  Window root = RootWindow(display, 0), child = 0;
  int x = 0, y = 0, wx = 0, wy = 0;
  unsigned state = 0;
  bool same = XQueryPointer(display, root, &root, &child, &x, &y, &wx, &wy, &state);
  bool middle =
      same && std::abs(x - DisplayWidth(display, 0) / 2) <= 1 && std::abs(y - DisplayHeight(display, 0) / 2) <= 1;
  out.line(middle ? "in the middle" : "at " + std::to_string(x) + "," + std::to_string(y));
  XCloseDisplay(display);
}

const DifferentialCase kEventCases[] = {
    {"SentByAClient", 1, sentByAClient},
    {"FocusThroughPointerRootAndNone", 1,
     [](const std::string& name, Transcript& out) { focusThroughPointerRootAndNone(name, out, false); }},
    {"DeviceFocusThroughPointerRootAndNone", 1,
     [](const std::string& name, Transcript& out) { focusThroughPointerRootAndNone(name, out, true); }},
    {"ReleasesOnlyWhereSelected", 1, releasesOnlyWhereSelected},
    {"DeviceKeyGrabbed", 1,
     [](const std::string& name, Transcript& out) { deviceKeyGrabbedOrClosed(name, out, false); }},
    {"DeviceClosed", 1, [](const std::string& name, Transcript& out) { deviceKeyGrabbedOrClosed(name, out, true); }},
    {"FocusThroughPointerRootAndNoneOnTwoHeads", 2,
     [](const std::string& name, Transcript& out) { focusThroughPointerRootAndNone(name, out, false); }},
    {"FocusAcrossTwoScreens", 1, focusAcrossScreens, 2},
    {"PointerStartsInTheMiddleOfTwoHeads", 2, pointerStartsInTheMiddle},
};

class Events : public AsOnAPlainServer {};
TEST_P(Events, AsOnAPlainServer) { compare(); }
INSTANTIATE_TEST_SUITE_P(Differential, Events, ::testing::ValuesIn(kEventCases), caseName);

// --- Grabs and focus ---------------------------------------------------------------------------------

const char* grabStatus(int status) {
  static const char* names[] = {"Success", "AlreadyGrabbed", "InvalidTime", "NotViewable", "Frozen"};
  return status >= 0 && status <= 4 ? names[status] : "?";
}

// A change of the active grab at a time before the grab's, or after the
// server's, leaves the grab's events as they were. The server's clock runs
// on while no event tells of it: a grab made at CurrentTime after a quiet
// while has the server's time then, not that of the last event.
void changeActiveGrabOutOfTime(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  Window window = mappedWindow(display, 100, 100, 200, 200, 0);
  out.name(window, "w");
  movePointer(display, 150, 150);
  Time before = serverTime(display);
  poll(nullptr, 0, 400);
  out.line(grabStatus(XGrabPointer(display, window, False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None,
                                   None, CurrentTime)));
  XChangeActivePointerGrab(display, PointerMotionMask, None, before + 200);
  movePointer(display, 160, 160);
  out.events(display, "before the grab:");
  Time now = serverTime(display);
  XChangeActivePointerGrab(display, PointerMotionMask, None, now + 100000);
  movePointer(display, 165, 160);
  out.events(display, "after the server's time:");
  XUngrabPointer(display, CurrentTime);
  // Granted right away, changed at a time the server has passed in silence.
  before = serverTime(display);
  out.line(grabStatus(XGrabPointer(display, window, False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None,
                                   None, CurrentTime)));
  poll(nullptr, 0, 400);
  XChangeActivePointerGrab(display, PointerMotionMask, None, before + 200);
  movePointer(display, 170, 170);
  out.events(display, "in between:");
  XCloseDisplay(display);
}

// An active grab that selects EnterWindow reports the pointer entering its
// window (into a child of it, the grab window's virtual crossing) in the
// ordinary mode too; a change of the grab at a time before it or after the
// server's leaves it so, one in time turns it to motion.
void enterUnderAnActiveGrab(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  int width = DisplayWidth(display, DefaultScreen(display));
  Window root = DefaultRootWindow(display);
  Window window = mappedWindow(display, width / 2 - 100, 100, 200, 200, 0);
  Window child = XCreateSimpleWindow(display, window, 20, 20, 50, 50, 0, 0, 0);
  XMapWindow(display, child);
  out.name(window, "w");
  out.name(child, "child");
  out.name(root, "root");
  XWarpPointer(display, None, root, 0, 0, 0, 0, 0, 0);
  Time time = serverTime(display);
  out.line(grabStatus(XGrabPointer(display, window, False, EnterWindowMask, GrabModeAsync, GrabModeAsync, None, None,
                                   time)));
  auto visit = [&](const std::string& step) {
    out.events(display, step + " out:");
    XWarpPointer(display, None, child, 0, 0, 0, 0, 5, 5);
    XWarpPointer(display, None, child, 0, 0, 0, 0, 7, 7);
    out.events(display, step + " in:");
    XWarpPointer(display, None, root, 0, 0, 0, 0, 0, 0);
  };
  visit("grabbed");
  XChangeActivePointerGrab(display, PointerMotionMask, None, time - 12);
  visit("changed before the grab");
  XChangeActivePointerGrab(display, PointerMotionMask, None, serverTime(display) + 1000000);
  visit("changed after the server's time");
  XChangeActivePointerGrab(display, PointerMotionMask, None, CurrentTime);
  visit("changed");
  XUngrabPointer(display, CurrentTime);
  XCloseDisplay(display);
}

// Two clients' windows beside the seam and over it, and the pointer moved
// by fake motion across it: each client hears the crossings of its own
// windows, the second also of the first's background, where it selected
// them too, with Shift held; then with a button held (only the press's
// grab hears them, on its window), and under the second's grab with owner
// events on the window over the seam.
void crossingsOverTheSeam(const std::string& name, Transcript& out) {
  Display* first = openOrFail(name);
  Display* second = openOrFail(name);
  if (!first || !second) return;
  int width = DisplayWidth(first, 0), half = width / 2;
  long mask = EnterWindowMask | LeaveWindowMask;
  Window background = mappedWindow(first, 0, 0, width, 480, mask | ButtonPressMask);
  Window left = mappedWindow(second, half - 150, 100, 150, 200, mask);
  Window right = mappedWindow(first, half, 100, 150, 200, mask);
  Window across = mappedWindow(second, half - 50, 350, 100, 100, mask);
  XSelectInput(second, background, mask);
  XSync(second, False);
  out.name(background, "background"), out.name(left, "left"), out.name(right, "right"), out.name(across, "across");
  auto tour = [&](const std::string& step) {
    for (auto [x, y] : {std::pair{100, 150}, {half + 300, 150}, {half - 100, 150}, {half + 50, 150},
                        {half - 20, 400}, {half + 20, 400}, {100, 400}})
      movePointer(first, x, y);
    out.events(first, step + " first:");
    out.events(second, step + " second:");
  };
  // Another client types: the listeners ask nothing of the keymap.
  Display* driver = openOrFail(name);
  if (!driver) return;
  KeyCode shift = XKeysymToKeycode(driver, XStringToKeysym("Shift_L"));
  XTestFakeKeyEvent(driver, shift, True, CurrentTime);
  XSync(driver, False);
  tour("free");
  XTestFakeKeyEvent(driver, shift, False, CurrentTime);
  XCloseDisplay(driver);
  XTestFakeButtonEvent(first, 1, True, CurrentTime);
  tour("held");
  XTestFakeButtonEvent(first, 1, False, CurrentTime);
  XSync(first, False);
  // The release has ended the click's grab by the answer of its sync.
  out.line(grabStatus(
      XGrabPointer(second, across, True, EnterWindowMask, GrabModeAsync, GrabModeAsync, None, None, CurrentTime)));
  out.events(second, "grab second:");
  tour("grabbed");
  XUngrabPointer(second, CurrentTime);
  XCloseDisplay(second);
  XCloseDisplay(first);
}

// Another client's faked moves from one head onto a window of the other,
// the listener's last request before each having gone to one server or to
// none: its EnterNotify comes before the move's MotionNotify, and the
// numbers of both follow its requests, as on a plain server.
void enterBeforeItsMotion(const std::string& name, Transcript& out) {
  Display* listener = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!listener || !driver) return;
  int half = DisplayWidth(listener, 0) / 2;
  Window window = mappedWindow(listener, half - 250, 100, 200, 200, EnterWindowMask | LeaveWindowMask | PointerMotionMask);
  out.name(window, "w");
  out.positions = true;
  Atom name_ = XInternAtom(listener, "WM_NAME", False);
  const std::pair<const char*, std::function<void()>> lasts[] = {
      {"none", [] {}},
      {"property", [&] { XChangeProperty(listener, window, name_, XA_STRING, 8, PropModeReplace, (const unsigned char*)"w", 1); }},
      {"no-op", [&] { XNoOp(listener); }},
      {"bell", [&] { XBell(listener, 0); }}};
  for (const auto& [what, request] : lasts) {
    XTestFakeMotionEvent(driver, 0, half + 200, 300, CurrentTime);
    XSync(driver, False);
    out.events(listener, std::string(what) + " before:");
    request();
    XFlush(listener);
    XTestFakeMotionEvent(driver, 0, half - 150, 150, CurrentTime);
    XSync(driver, False);
    out.events(listener, std::string(what) + ":");
  }
  XCloseDisplay(driver);
  XCloseDisplay(listener);
}

// The focus keeps the last change's time: an older change, or one from the
// future, does nothing; CurrentTime is the server's time then.
// A change at a time before the last one's, and one at a time the server
// has not reached, leave the focus where it is. (The change at exactly the
// time of the next event the server stamps is not compared: whether that
// stamp is the time of the change or one taken before it depends on when
// the server last read its clock, and the proxy's clock cannot know it.)
void focusKeepsItsLastChangeTime(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  Window first = mappedWindow(display, 100, 100, 50, 50, 0);
  Window second = mappedWindow(display, 200, 100, 50, 50, 0);
  out.name(first, "first");
  out.name(second, "second");
  out.name(DefaultRootWindow(display), "root");
  Time before = serverTime(display);
  poll(nullptr, 0, 400);
  XSetInputFocus(display, first, RevertToParent, CurrentTime);
  Time now = serverTime(display);
  for (Time at : {before + 200, now + 100000}) {
    XSetInputFocus(display, second, RevertToParent, at);
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    out.line("focus " + out.of(focus));
    XSetInputFocus(display, first, RevertToParent, at);
  }
  XCloseDisplay(display);
}

// Whether another client can grab the pointer now.
const char* otherGrab(Display* other) {
  int status = XGrabPointer(other, DefaultRootWindow(other), False, 0, GrabModeAsync, GrabModeAsync, None, None,
                            CurrentTime);
  XUngrabPointer(other, CurrentTime);
  XSync(other, False);
  return grabStatus(status);
}

// After the grab ended, a click over another client's window far right (on
// the last head) is that client's; the proxy would carry a grab it still
// held onto that head.
void clickAfterTheGrab(Display* grabber, Display* other, Transcript& out) {
  int width = DisplayWidth(other, DefaultScreen(other));
  Window window = mappedWindow(other, width - 150, 300, 100, 100, ButtonPressMask | ButtonReleaseMask);
  out.name(window, "others");
  movePointer(other, width - 100, 350);
  click(other, 1);
  out.events(grabber, "grabber:");
  out.events(other, "other:");
}

// A grab whose confine-to window moves off the root ends (one whose window
// only moves elsewhere on the root holds); an active grab, or with `passive`
// the grab a press starts from a passive one.
void confineToMovedBeyondTheRoot(const std::string& name, Transcript& out, bool passive) {
  Display* display = openOrFail(name);
  Display* other = openOrFail(name);
  if (!display || !other) return;
  int width = DisplayWidth(display, DefaultScreen(display));
  Window window = mappedWindow(display, 100, 100, 200, 200, 0);
  Window confine = mappedWindow(display, 120, 120, 100, 100, 0);
  if (passive) {
    XGrabButton(display, 1, AnyModifier, window, False, ButtonPressMask | ButtonReleaseMask, GrabModeAsync,
                GrabModeAsync, confine, None);
    movePointer(display, 110, 110);
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XSync(display, False);
  } else {
    movePointer(display, 150, 150);
    out.line(grabStatus(XGrabPointer(display, window, False, ButtonPressMask, GrabModeAsync, GrabModeAsync, confine,
                                     None, CurrentTime)));
  }
  XMoveWindow(display, confine, 300, 200);
  XSync(display, False);
  out.line(std::string("moved on the root: ") + otherGrab(other));
  XMoveWindow(display, confine, width + 50, 200);
  XSync(display, False);
  clickAfterTheGrab(display, other, out);
  if (passive) XTestFakeButtonEvent(display, 1, False, CurrentTime);
  XCloseDisplay(other);
  XCloseDisplay(display);
}

// The motion history the set-up offers and what it holds.
void motionHistory(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  out.line("buffer " + std::to_string(XDisplayMotionBufferSize(display)));
  Window root = DefaultRootWindow(display);
  Time start = serverTime(display);
  for (int x = 100; x < 200; x += 20) movePointer(display, x, 100);
  int count = 0;
  XTimeCoord* moves = XGetMotionEvents(display, root, start, CurrentTime, &count);
  out.line(std::string("history ") + (count > 0 ? "kept" : "empty"));
  if (moves) XFree(moves);
  XCloseDisplay(display);
}

// With both devices frozen by a grab, SyncBoth lets events through until
// the next key or button event for the grab, which freezes both again; a
// press without a grab freezes nothing.
void syncBothFreezesAgain(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !driver) return;
  int width = DisplayWidth(display, DefaultScreen(display));
  Window window = mappedWindow(display, 100, 100, width - 200, 200, 0);
  out.name(window, "w");
  movePointer(driver, width - 150, 150);
  KeyCode key = XKeysymToKeycode(driver, XStringToKeysym("a"));
  out.line(grabStatus(XGrabPointer(display, window, False, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                                   GrabModeSync, GrabModeSync, None, None, CurrentTime)));
  out.line(grabStatus(XGrabKeyboard(display, window, False, GrabModeSync, GrabModeSync, CurrentTime)));
  XAllowEvents(display, SyncBoth, CurrentTime);
  XTestFakeKeyEvent(driver, key, True, CurrentTime);
  XTestFakeKeyEvent(driver, key, False, CurrentTime);
  movePointer(driver, width - 160, 160);
  out.events(display, "SyncBoth, key:");
  XAllowEvents(display, SyncBoth, CurrentTime);
  out.events(display, "SyncBoth again:");
  XAllowEvents(display, AsyncBoth, CurrentTime);
  out.events(display, "AsyncBoth:");
  XUngrabKeyboard(display, CurrentTime);
  XUngrabPointer(display, CurrentTime);
  // No grab: a press on a window that selected nothing freezes nothing.
  XSelectInput(display, window, KeyPressMask | KeyReleaseMask | PointerMotionMask);
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  click(driver, 1);
  XTestFakeKeyEvent(driver, key, True, CurrentTime);
  XTestFakeKeyEvent(driver, key, False, CurrentTime);
  movePointer(driver, width - 170, 170);
  out.events(display, "no grab:");
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// Shift pressed on one head and held while the pointer goes to the other
// and back: the keys typed on each have it, under a keyboard grab made on
// the first head once the pointer is there, or carried onto the last with
// the pointer.
void shiftHeldOverTheSeam(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !driver) return;
  int width = DisplayWidth(display, DefaultScreen(display));
  Window window = mappedWindow(display, 100, 100, width - 200, 200, KeyPressMask);
  out.name(window, "w");
  KeyCode shift = XKeysymToKeycode(driver, XStringToKeysym("Shift_L"));
  for (int from : {150, width - 150}) {
    movePointer(driver, from, 150);
    XTestFakeKeyEvent(driver, shift, True, CurrentTime);
    for (int x : {width - 150 - from + 150, from}) {
      if (x != 150) out.line(grabStatus(XGrabKeyboard(display, window, False, GrabModeAsync, GrabModeAsync, 0)));
      movePointer(driver, x, 150);
      if (x == 150) out.line(grabStatus(XGrabKeyboard(display, window, False, GrabModeAsync, GrabModeAsync, 0)));
      typeKey(driver, "a");
      XUngrabKeyboard(display, CurrentTime);
      out.events(display, x == 150 ? "first head:" : "last head:");
    }
    XTestFakeKeyEvent(driver, shift, False, CurrentTime);
    XSync(driver, False);
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// XTEST's relative motion over the seam and back, and beyond the screen's
// edges: how far the pointer went after each move. Then moves over the seam
// while a grab freezes the pointer: they wait for the thaw and add up.
void relativeMotionOverTheSeam(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  Window root = DefaultRootWindow(display);
  int width = DisplayWidth(display, DefaultScreen(display));
  auto from = [&](int start) {
    Window child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned state = 0;
    XQueryPointer(display, root, &root, &child, &x, &y, &wx, &wy, &state);
    return " " + std::to_string(x - start) + "," + std::to_string(y);
  };
  const int starts[][2] = {{width / 2 - 10, 20}, {width / 2 + 10, -20}, {5, -20}, {width - 5, 20}};
  for (const auto& start : starts) {
    movePointer(display, start[0], 150);
    std::string line = "from " + std::to_string(start[0] * 2 / width) + ":";
    for (int i = 0; i < 3; i++) {
      XTestFakeRelativeMotionEvent(display, start[1], i - 1, CurrentTime);
      line += from(start[0]);
    }
    out.line(line);
  }
  movePointer(display, width / 2 - 10, 150);
  XGrabPointer(display, root, False, PointerMotionMask, GrabModeSync, GrabModeAsync, None, None, CurrentTime);
  XTestFakeRelativeMotionEvent(display, 20, 0, CurrentTime);
  XTestFakeRelativeMotionEvent(display, 20, 0, CurrentTime);
  std::string frozen = "frozen:" + from(width / 2 - 10);
  XAllowEvents(display, AsyncPointer, CurrentTime);
  out.line(frozen + ", thawed:" + from(width / 2 - 10));
  XUngrabPointer(display, CurrentTime);
  XCloseDisplay(display);
}

// Keys and clicks faked by a client and synced are the listeners' before the
// sync returns, a hundred times in a row: heard by a keyboard grab on the
// last head that another client ends at once, and queued for the faking
// client under its own grabs thawed by AsyncBoth (a conformance suite's
// look at a frozen device).
void fakedInputBeforeTheSync(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !driver) return;
  int width = DisplayWidth(display, DefaultScreen(display));
  Window window = mappedWindow(display, width - 300, 100, 200, 200, KeyPressMask | KeyReleaseMask);
  movePointer(driver, width - 200, 150);
  KeyCode key = XKeysymToKeycode(driver, XStringToKeysym("a"));
  int heard = 0, queued = 0;
  XEvent event;
  for (int round = 0; round < 100; round++) {
    XGrabKeyboard(display, window, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    XSync(display, False);
    typeKey(driver, "a");
    XUngrabKeyboard(display, CurrentTime);
    XSync(display, False);
    heard += XCheckTypedWindowEvent(display, window, KeyPress, &event) &&
             XCheckTypedWindowEvent(display, window, KeyRelease, &event);
    XGrabPointer(driver, window, False, ButtonPressMask, GrabModeSync, GrabModeSync, None, None, CurrentTime);
    XGrabKeyboard(driver, window, False, GrabModeSync, GrabModeSync, CurrentTime);
    XAllowEvents(driver, AsyncBoth, CurrentTime);
    XTestFakeKeyEvent(driver, key, True, CurrentTime);
    XTestFakeButtonEvent(driver, 1, True, CurrentTime);
    XSync(driver, False);
    queued += XCheckTypedWindowEvent(driver, window, KeyPress, &event) &&
              XCheckTypedWindowEvent(driver, window, ButtonPress, &event);
    XTestFakeButtonEvent(driver, 1, False, CurrentTime);
    XTestFakeKeyEvent(driver, key, False, CurrentTime);
    XUngrabKeyboard(driver, CurrentTime);
    XUngrabPointer(driver, CurrentTime);
    XSync(driver, False);
    while (XPending(driver)) XNextEvent(driver, &event);
    while (XPending(display)) XNextEvent(display, &event);
  }
  out.line("heard by the grab " + std::to_string(heard) + ", queued " + std::to_string(queued));
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// Faked motion, clicks, a drag and a key sent at once (as xdotool's
// "mousemove ... click 1" sends them) with the pointer on the last head or
// screen, twenty times: the window there hears each in the order sent, and
// all before the faker's sync returns. The first round as heard, then how
// many rounds were heard as it.
void fakedMotionThenClickInOrder(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !driver) return;
  int screen = ScreenCount(display) - 1;
  int left = screen ? 100 : DisplayWidth(display, 0) - 300;
  long mask = PointerMotionMask | ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask;
  Window window = mappedWindow(display, left, 100, 200, 200, mask, screen);
  out.name(window, "w");
  out.positions = true;
  XSetInputFocus(display, PointerRoot, RevertToNone, CurrentTime);
  movePointer(driver, left + 100, 150, screen);
  XSync(display, False);
  XEvent event;
  while (XPending(display)) XNextEvent(display, &event);
  KeyCode key = XKeysymToKeycode(driver, XStringToKeysym("a"));
  auto move = [&](int x) { XTestFakeMotionEvent(driver, screen, left + x, 150, CurrentTime); };
  std::string first;
  int same = 0;
  for (int round = 0; round < 20; round++) {
    move(110);
    XTestFakeButtonEvent(driver, 1, True, CurrentTime);
    XTestFakeButtonEvent(driver, 1, False, CurrentTime);
    move(120);
    XTestFakeButtonEvent(driver, 1, True, CurrentTime);
    move(130);
    XTestFakeButtonEvent(driver, 1, False, CurrentTime);
    XTestFakeKeyEvent(driver, key, True, CurrentTime);
    move(100);
    XTestFakeKeyEvent(driver, key, False, CurrentTime);
    XSync(driver, False);
    XSync(display, False);
    std::string heard;
    while (XPending(display)) {
      XNextEvent(display, &event);
      heard += out.describe(event) + "\n";
    }
    if (round == 0) first = heard;
    same += heard == first;
  }
  out.line(first + "as it: " + std::to_string(same) + " of 20");
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// Whether the pointer is frozen, as a conformance suite asks: two warps
// into the window, the second of which leaves the pointer where it was.
bool pointerFrozen(Display* display, Window window) {
  XWarpPointer(display, None, window, 0, 0, 0, 0, 0, 0);
  XSync(display, False);
  Window root = 0, child = 0;
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0, wx = 0, wy = 0;
  unsigned state = 0;
  XQueryPointer(display, window, &root, &child, &x0, &y0, &wx, &wy, &state);
  XWarpPointer(display, None, window, 0, 0, 0, 0, 1, 1);
  XSync(display, False);
  XQueryPointer(display, window, &root, &child, &x1, &y1, &wx, &wy, &state);
  return x0 == x1 && y0 == y1;
}

// Both devices frozen by both grabs, SyncBoth, a press that freezes them
// again, then the conformance suites' test of a frozen pointer: two warps
// into a window on the seam, from one head onto the other, that leave it
// where it was. Once thawed, the pointer is where the last warp, onto the
// far head, sent it.
void syncBothFreezesWarpsOverTheSeam(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !driver) return;
  int width = DisplayWidth(display, DefaultScreen(display));
  Window root = DefaultRootWindow(display);
  Window grab = mappedWindow(display, width / 2 - 1, 100, 100, 90, ButtonPressMask | ButtonReleaseMask);
  XWarpPointer(display, None, grab, 0, 0, 0, 0, 5, 5);
  long mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  out.line(grabStatus(XGrabPointer(display, grab, False, mask, GrabModeSync, GrabModeSync, None, None, CurrentTime)));
  out.line(grabStatus(XGrabKeyboard(display, grab, False, GrabModeSync, GrabModeSync, CurrentTime)));
  XAllowEvents(display, SyncBoth, CurrentTime);
  click(driver, 1);
  out.line(pointerFrozen(display, grab) ? "pointer frozen" : "pointer thawed");
  XWarpPointer(display, None, root, 0, 0, 0, 0, width - 100, 300);
  XAllowEvents(display, AsyncBoth, CurrentTime);
  Window child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned state = 0;
  XQueryPointer(display, root, &root, &child, &rx, &ry, &wx, &wy, &state);
  out.line("thawed at " + std::to_string(rx - width) + "," + std::to_string(ry));
  XUngrabKeyboard(display, CurrentTime);
  XUngrabPointer(display, CurrentTime);
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

const char* const kAllowModes[] = {"AsyncPointer", "SyncPointer", "ReplayPointer", "AsyncKeyboard",
                                   "SyncKeyboard", "ReplayKeyboard", "AsyncBoth", "SyncBoth"};

// Both devices frozen by the client's two grabs, with the pointer on the
// first head or the last, then AllowEvents in each mode: the key, click and
// motion that follow, whether the pointer is frozen then, and what both
// grabs' end lets through.
void allowEventsInEachMode(const std::string& name, Transcript& out, bool last) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !driver) return;
  int width = DisplayWidth(display, DefaultScreen(display)), x = last ? width - 150 : 150;
  long mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  Window window = mappedWindow(display, 100, 100, width - 200, 200, KeyPressMask | KeyReleaseMask);
  out.name(window, "w");
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  for (int mode = AsyncPointer; mode <= SyncBoth; mode++) {
    out.line(kAllowModes[mode]);
    movePointer(driver, x, 150);
    out.line(
        grabStatus(XGrabPointer(display, window, False, mask, GrabModeSync, GrabModeSync, None, None, CurrentTime)));
    out.line(grabStatus(XGrabKeyboard(display, window, False, GrabModeSync, GrabModeSync, CurrentTime)));
    XAllowEvents(display, mode, CurrentTime);
    typeKey(driver, "a");
    click(driver, 2);
    movePointer(driver, x + 10, 160);
    out.events(display, "then:");
    out.line(pointerFrozen(display, window) ? "pointer frozen" : "pointer thawed");
    XAllowEvents(display, AsyncBoth, CurrentTime);
    XUngrabKeyboard(display, CurrentTime);
    XUngrabPointer(display, CurrentTime);
    out.events(display, "ended:");
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// A keyboard grab and then a pointer grab on a window of one screen while
// the focus is on the other screen's window, with the pointer on either
// screen: keys and clicks go to the grab, and the focus events of both.
void grabsAcrossScreens(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  long mask = FocusChangeMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask;
  if (!display || !driver || !windowPerScreen(display, mask, w, out)) return;
  for (int pointer = 0; pointer < 2; pointer++) {
    for (int grab = 0; grab < 2; grab++) {
      out.line("pointer on " + std::to_string(pointer) + ", grab on " + std::to_string(grab));
      XSetInputFocus(display, w[1 - grab], RevertToNone, CurrentTime);
      XSync(display, False);
      movePointer(driver, 150, 150, pointer);
      out.events(display, "focus:");
      out.line(grabStatus(XGrabKeyboard(display, w[grab], False, GrabModeAsync, GrabModeAsync, CurrentTime)));
      typeKey(driver, "Escape");
      out.events(display, "keyboard grab:");
      XUngrabKeyboard(display, CurrentTime);
      out.events(display, "ungrabbed:");
      out.line(grabStatus(XGrabPointer(display, w[grab], False, ButtonPressMask | ButtonReleaseMask, GrabModeAsync,
                                       GrabModeAsync, None, None, CurrentTime)));
      click(driver, 1);
      typeKey(driver, "a");
      out.events(display, "pointer grab:");
      XUngrabPointer(display, CurrentTime);
      out.events(display, "ungrabbed:");
    }
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// Control pressed while the focus is on one screen and released under a
// menu's keyboard grab on the other (as a terminal's menu takes it), the
// focus left or moved to the menu's screen first: afterwards no screen has
// Control down.
void modifiersAfterAMenu(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  if (!display || !driver || !windowPerScreen(display, KeyPressMask | KeyReleaseMask, w, out)) return;
  KeyCode control = XKeysymToKeycode(driver, XStringToKeysym("Control_L"));
  for (int refocus = 0; refocus < 2; refocus++) {
    for (int s = 0; s < 2; s++) {
      XSetInputFocus(display, w[1 - s], RevertToNone, CurrentTime);
      XSync(display, False);
      movePointer(driver, 150, 150, s);
      // The press is in before what follows, as when a hand makes it a
      // moment before: a key handed on to another server takes that
      // server's way.
      XTestFakeKeyEvent(driver, control, True, CurrentTime);
      XSync(driver, False);
      if (refocus) XSetInputFocus(display, w[s], RevertToNone, CurrentTime);
      out.line(grabStatus(XGrabKeyboard(display, w[s], False, GrabModeAsync, GrabModeAsync, CurrentTime)));
      XTestFakeKeyEvent(driver, control, False, CurrentTime);
      XSync(driver, False);
      out.events(display, "menu on " + std::to_string(s) + ":");
      XUngrabKeyboard(display, CurrentTime);
      for (int t = 0; t < 2; t++) {
        movePointer(driver, 150, 150, t);
        typeKey(driver, "a");
        out.events(display, "then on " + std::to_string(t) + ":");
      }
    }
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// Control held over a click on one screen (the click's grab has the
// pointer followed, which sees Control down) and let go after it; then a
// click and a key on the other screen: neither has Control.
void modifiersAfterAControlClick(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  if (!display || !driver || !windowPerScreen(display, ButtonPressMask | KeyPressMask, w, out)) return;
  KeyCode control = XKeysymToKeycode(driver, XStringToKeysym("Control_L"));
  XSetInputFocus(display, PointerRoot, RevertToNone, CurrentTime);
  movePointer(driver, 150, 150, 0);
  XTestFakeKeyEvent(driver, control, True, CurrentTime);
  XTestFakeButtonEvent(driver, 1, True, CurrentTime);
  XSync(driver, False);
  XTestFakeButtonEvent(driver, 1, False, CurrentTime);
  XSync(driver, False);
  XTestFakeKeyEvent(driver, control, False, CurrentTime);
  XSync(driver, False);
  out.events(display, "control click on 0:");
  movePointer(driver, 150, 150, 1);
  click(driver, 1);
  typeKey(driver, "a");
  out.events(display, "then on 1:");
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned state = 0;
  XQueryPointer(display, w[1], &root, &child, &rx, &ry, &wx, &wy, &state);
  out.line("state on 1: " + std::to_string(state));
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// A pointer grab on a window of screen 0 while the pointer moves over to
// screen 1, about it and back: the grab's motion, as the window's screen
// reports it.
void motionUnderAGrabAcrossScreens(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  if (!display || !driver || !windowPerScreen(display, 0, w, out)) return;
  movePointer(driver, 150, 150, 0);
  long mask = PointerMotionMask | ButtonPressMask | ButtonReleaseMask;
  out.line(grabStatus(XGrabPointer(display, w[0], False, mask, GrabModeAsync, GrabModeAsync, None, None, CurrentTime)));
  const int moves[][3] = {{0, 160, 160}, {1, 150, 150}, {1, 200, 220}, {0, 170, 180}};
  for (const auto& move : moves) {
    movePointer(driver, move[1], move[2], move[0]);
    if (move[0]) click(driver, 1);
    XSync(display, False);
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      const XMotionEvent& m = event.xmotion;
      if (event.type != MotionNotify && event.type != ButtonPress && event.type != ButtonRelease) continue;
      out.line(out.describe(event) + " root=" + out.of(m.root) + " same-screen=" + std::to_string(m.same_screen) +
               " at " + std::to_string(m.x) + "," + std::to_string(m.y) + " root " + std::to_string(m.x_root) + "," +
               std::to_string(m.y_root) + " child=" + out.of(m.subwindow));
    }
  }
  XUngrabPointer(display, CurrentTime);
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// The buttons and modifiers QueryPointer reports on each screen's root.
std::string pointerStates(Display* display) {
  std::string text = "pointer state";
  for (int s = 0; s < ScreenCount(display); s++) {
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned state = 0;
    XQueryPointer(display, RootWindow(display, s), &root, &child, &rx, &ry, &wx, &wy, &state);
    text += " " + std::to_string(state);
  }
  return text;
}

// Button 1 pressed on a window of one screen and released on the other, as
// a selection or a scroll bar dragged across, then clicks on both screens;
// then with Control held over a passive grab of Control and button 1, and
// with a grab the client takes at the press and ends after the release, as
// a terminal's menus: the grab ends where the button goes up.
void dragAcrossScreens(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  long mask = ButtonPressMask | ButtonReleaseMask | EnterWindowMask | LeaveWindowMask;
  if (!display || !driver || !windowPerScreen(display, mask, w, out)) return;
  out.positions = true;
  KeyCode control = XKeysymToKeycode(driver, XStringToKeysym("Control_L"));
  enum { kDrag, kPassive, kActive };
  const int passes[][2] = {{0, kDrag}, {1, kDrag}, {0, kPassive}, {0, kActive}};
  for (const auto& [from, kind] : passes) {
    if (kind == kPassive)
      XGrabButton(display, 1, ControlMask, w[0], False, ButtonPressMask | ButtonReleaseMask, GrabModeAsync,
                  GrabModeAsync, None, None);
    movePointer(driver, 150, 150, from);
    out.events(display, "to " + std::to_string(from) + ":");
    if (kind == kPassive) XTestFakeKeyEvent(driver, control, True, CurrentTime);
    XTestFakeButtonEvent(driver, 1, True, CurrentTime);
    XSync(driver, False);
    if (kind == kActive)
      out.line(grabStatus(XGrabPointer(display, w[from], False, ButtonPressMask | ButtonReleaseMask, GrabModeAsync,
                                       GrabModeAsync, None, None, CurrentTime)));
    movePointer(driver, 160, 170, 1 - from);
    XTestFakeButtonEvent(driver, 1, False, CurrentTime);
    // Control let go after the release is in, as a hand lets it go.
    XSync(driver, False);
    if (kind == kPassive) XTestFakeKeyEvent(driver, control, False, CurrentTime);
    XSync(driver, False);
    out.events(display, "released from " + std::to_string(from) + ":");
    if (kind == kActive) {
      XUngrabPointer(display, CurrentTime);
      out.events(display, "ungrabbed:");
    }
    out.line(pointerStates(display));
    for (int s : {1 - from, from}) {
      movePointer(driver, 150, 150, s);
      click(driver, 1);
      out.events(display, "click on " + std::to_string(s) + ":");
    }
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// Each modifier held while the pointer is on screen 1 and the focus on a
// window of screen 0 (where a window manager keeps it): a click there and
// the pointer's state have it; one pressed on screen 0 and let go on
// screen 1 is gone there.
void modifiersOnTheOtherScreen(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  if (!display || !driver || !windowPerScreen(display, ButtonPressMask | ButtonReleaseMask, w, out)) return;
  out.positions = true;
  XSetInputFocus(display, w[0], RevertToNone, CurrentTime);
  for (const char* keysym : {"Control_L", "Shift_L", "Alt_L", "Super_L"}) {
    KeyCode key = XKeysymToKeycode(driver, XStringToKeysym(keysym));
    for (int pressedOn : {1, 0}) {
      movePointer(driver, 150, 150, pressedOn);
      XTestFakeKeyEvent(driver, key, True, CurrentTime);
      XSync(driver, False);
      movePointer(driver, 160, 160, 1);
      click(driver, 1);
      out.line(std::string(keysym) + " pressed on " + std::to_string(pressedOn) + ": " + pointerStates(display));
      XTestFakeKeyEvent(driver, key, False, CurrentTime);
      XSync(driver, False);
      click(driver, 1);
      out.events(display, "clicks:");
    }
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// A modifier or lock pressed (a lock pressed and let go) with the focus on
// screen 0's window and the pointer on either screen: a key typed into
// screen 1's window once the focus is there has it, and so have that
// window's motion and crossings with the focus back on screen 0, also when
// the pointer comes there only then.
void modifierStateOnTheOtherScreen(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  long mask = PointerMotionMask | EnterWindowMask | LeaveWindowMask | KeyPressMask;
  if (!display || !driver || !windowPerScreen(display, mask, w, out)) return;
  out.positions = true;
  for (const char* keysym : {"Shift_L", "Caps_Lock", "Num_Lock"}) {
    KeyCode key = XKeysymToKeycode(driver, XStringToKeysym(keysym));
    bool lock = std::string(keysym).find("Lock") != std::string::npos;
    for (int pass : {2, 0, 1}) {
      XSetInputFocus(display, w[0], RevertToNone, CurrentTime);
      movePointer(driver, 150, 150, pass ? 0 : 1);
      out.events(display, "");
      XTestFakeKeyEvent(driver, key, True, CurrentTime);
      if (lock) XTestFakeKeyEvent(driver, key, False, CurrentTime);
      XSync(driver, False);
      for (Window focus : {w[1], w[0]}) {
        if (pass == 2) break;
        XSetInputFocus(display, focus, RevertToNone, CurrentTime);
        XSync(display, False);
        if (focus == w[1]) typeKey(driver, "a");
      }
      // A grab of screen 0's window, as a window manager's switcher takes.
      XGrabKeyboard(display, w[0], False, GrabModeAsync, GrabModeAsync, CurrentTime);
      for (auto [x, y] : {std::pair{160, 160}, {50, 50}, {170, 150}}) movePointer(driver, x, y, 1);
      XUngrabKeyboard(display, CurrentTime);
      out.events(display, std::string(keysym) + " pass " + std::to_string(pass) + ":");
      if (lock) XTestFakeKeyEvent(driver, key, True, CurrentTime);
      XTestFakeKeyEvent(driver, key, False, CurrentTime);
      XSync(driver, False);
    }
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// A pointer grab on the window of the other screen than the pointer's, and
// its end: the crossings of mode Grab and Ungrab that the grab's client
// and another client hear on both screens' windows and roots.
void pointerGrabOnTheOtherScreen(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* other = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  long mask = EnterWindowMask | LeaveWindowMask;
  if (!display || !other || !driver || !windowPerScreen(display, mask, w, out)) return;
  for (Window each : {w[0], w[1], RootWindow(other, 0), RootWindow(other, 1)}) XSelectInput(other, each, mask);
  XSync(other, False);
  out.positions = true;
  for (int s : {0, 1}) {
    movePointer(driver, 150, 150, s);
    out.events(display, "");
    out.events(other, "");
    std::string to = " on " + std::to_string(1 - s) + ":";
    out.line(grabStatus(XGrabPointer(display, w[1 - s], False, mask, GrabModeAsync, GrabModeAsync, None, None,
                                     CurrentTime)));
    out.events(display, "grab" + to);
    out.events(other, "other, grab" + to);
    XUngrabPointer(display, CurrentTime);
    out.events(display, "ungrab" + to);
    out.events(other, "other, ungrab" + to);
  }
  XCloseDisplay(driver);
  XCloseDisplay(other);
  XCloseDisplay(display);
}

// An InputOnly window inside screen 1's window, which the pointer is in
// where it covers it: the pointer coming from screen 0 to its edge, where
// a key goes under an owner-events keyboard grab of screen 0's window, and
// what QueryPointer names.
void inputOnlyOnTheOtherScreen(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  long mask = EnterWindowMask | LeaveWindowMask | KeyPressMask;
  if (!display || !driver || !windowPerScreen(display, mask, w, out)) return;
  XSetWindowAttributes attributes{};
  attributes.event_mask = mask;
  Window only = XCreateWindow(display, w[1], 50, 50, 50, 50, 0, 0, InputOnly, CopyFromParent, CWEventMask, &attributes);
  XMapWindow(display, only);
  out.name(only, "inputOnly");
  XSetInputFocus(display, PointerRoot, RevertToNone, CurrentTime);
  out.positions = true;
  movePointer(driver, 150, 150, 0);
  out.events(display, "");
  XWarpPointer(driver, None, RootWindow(driver, 1), 0, 0, 0, 0, 150, 160);
  XSync(driver, False);
  out.events(display, "to its edge:");
  out.line(grabStatus(XGrabKeyboard(display, w[0], True, GrabModeAsync, GrabModeAsync, CurrentTime)));
  typeKey(driver, "a");
  XUngrabKeyboard(display, CurrentTime);
  out.events(display, "owner keyboard grab:");
  Window root = 0, child = 0;
  int rx = 0, ry = 0, wx = 0, wy = 0;
  unsigned state = 0;
  XQueryPointer(display, w[1], &root, &child, &rx, &ry, &wx, &wy, &state);
  out.line("child " + out.of(child));
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// A keyboard grab with owner events by a window of screen 0 while the focus
// is PointerRoot and the pointer over a window of screen 1 that selected
// keys: that window has the key. Then a pointer grab of screen 0's window
// ended after the pointer went to screen 1, and the pointer's way back and
// over again without a grab: the crossings (the roots' too), where they
// say the pointer is.
void grabsAndCrossingsOverTheScreens(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* driver = openOrFail(name);
  Window w[2];
  long mask = KeyPressMask | EnterWindowMask | LeaveWindowMask | PointerMotionMask;
  if (!display || !driver || !windowPerScreen(display, mask, w, out)) return;
  for (int s = 0; s < 2; s++)
    XSelectInput(display, RootWindow(display, s), FocusChangeMask | EnterWindowMask | LeaveWindowMask);
  out.positions = true;
  XSetInputFocus(display, PointerRoot, RevertToNone, CurrentTime);
  movePointer(driver, 150, 150, 1);
  out.events(display, "pointer on 1:");
  out.line(grabStatus(XGrabKeyboard(display, w[0], True, GrabModeAsync, GrabModeAsync, CurrentTime)));
  typeKey(driver, "a");
  out.events(display, "owner keyboard grab:");
  XUngrabKeyboard(display, CurrentTime);
  movePointer(driver, 150, 150, 0);
  out.events(display, "pointer on 0:");
  out.line(grabStatus(XGrabPointer(display, w[0], False, EnterWindowMask | LeaveWindowMask, GrabModeAsync,
                                   GrabModeAsync, None, None, CurrentTime)));
  movePointer(driver, 200, 220, 1);
  out.events(display, "grabbed, to 1:");
  XUngrabPointer(display, CurrentTime);
  out.events(display, "ungrabbed:");
  // Into the window's corner, which the pointer reaches from its root.
  for (int s : {0, 1}) {
    XWarpPointer(driver, None, w[s], 0, 0, 0, 0, 0, 0);
    XSync(driver, False);
    out.events(display, "warped to " + std::to_string(s) + ":");
  }
  XCloseDisplay(driver);
  XCloseDisplay(display);
}

// A window manager's synchronous passive grab on a frame takes the press
// of a click into the client's window inside it and replays it, as on every
// click into an unfocused window: the client hears the pointer go to the
// frame (mode Grab) and back (Ungrab) around the click, however the
// servers' reports to the two clients interleave (the move and the click
// come at once, as a tool sends them: the manager hears of the move first).
// Then the manager's grab on the frame replaced by one on the client's
// window tells the way between them under the frame's grab.
void replayedPress(const std::string& name, Transcript& out) {
  Display* manager = openOrFail(name);
  Display* app = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!manager || !app || !driver) return;
  int x = DisplayWidth(manager, 0) - 300;
  long crossings = EnterWindowMask | LeaveWindowMask;
  Window frame = mappedWindow(manager, x, 100, 200, 200, crossings | ButtonPressMask);
  Window inner = XCreateSimpleWindow(app, frame, 10, 10, 150, 150, 0, 0, 0);
  XSelectInput(app, inner, crossings | ButtonPressMask);
  XSelectInput(app, frame, crossings);
  XMapWindow(app, inner);
  XGrabButton(manager, 1, AnyModifier, frame, False, ButtonPressMask, GrabModeSync, GrabModeAsync, None, None);
  out.name(frame, "frame"), out.name(inner, "inner");
  for (int round = 0; round < 3; round++) {
    movePointer(driver, x - 50, 50);
    XTestFakeMotionEvent(driver, 0, x + 50 + round, 150, CurrentTime);
    click(driver, 1);
    XEvent event;
    if (nextEvent(manager, ButtonPress, &event)) XAllowEvents(manager, ReplayPointer, CurrentTime);
    XSync(manager, False);
    out.events(app, "round " + std::to_string(round) + ":");
    out.events(manager, "manager:");
  }
  for (Window on : {frame, inner})
    out.line(grabStatus(
        XGrabPointer(manager, on, False, EnterWindowMask, GrabModeAsync, GrabModeAsync, None, None, CurrentTime)));
  XUngrabPointer(manager, CurrentTime);
  out.events(manager, "grabbed twice:");
  XCloseDisplay(driver);
  XCloseDisplay(app);
  XCloseDisplay(manager);
}

// The focus on one of two windows that meet at the seam, then PointerRoot:
// the pointer going between them and back moves no focus.
void focusOverTheSeam(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  int half = DisplayWidth(display, 0) / 2;
  Window left = mappedWindow(display, half - 150, 100, 150, 200, FocusChangeMask);
  Window right = mappedWindow(display, half, 100, 150, 200, FocusChangeMask);
  XSelectInput(display, DefaultRootWindow(display), FocusChangeMask);
  out.name(left, "left"), out.name(right, "right"), out.name(DefaultRootWindow(display), "root");
  for (Window focus : {right, Window(PointerRoot)}) {
    XSetInputFocus(display, focus, RevertToPointerRoot, CurrentTime);
    for (int x : {-100, 40, -20}) movePointer(display, half + x, 140);
    out.events(display, "focus " + out.of(focus) + ":");
  }
  XCloseDisplay(display);
}

// The focus set on a window of one screen and at once the pointer faked
// onto the other screen and back, 20 times, alternately F on screen 1 and G
// on screen 0: every focus change reaches the setter and another client
// that selected it, whatever the pointer does meanwhile. The first two
// rounds as heard, then how many rounds were heard as they were.
void focusSetBeforeAMoveAcrossScreens(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* other = openOrFail(name);
  Window w[2];
  if (!display || !other || !windowPerScreen(display, FocusChangeMask, w, out)) return;
  for (Window each : w) XSelectInput(other, each, FocusChangeMask);
  XSync(other, False);
  movePointer(display, 400, 400, 0);
  // All of a round's events, read until the focus window's FocusIn came.
  auto heard = [&](Display* on, Window focus) {
    std::string text;
    XEvent event;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (bool in = false; !in && std::chrono::steady_clock::now() < end;) {
      while (!in && XPending(on)) {
        XNextEvent(on, &event);
        text += out.describe(event) + "\n";
        in = event.type == FocusIn && event.xfocus.window == focus;
      }
      pollfd fd{ConnectionNumber(on), POLLIN, 0};
      if (!in) poll(&fd, 1, 50);
    }
    XSync(on, False);
    while (XPending(on)) XNextEvent(on, &event), text += out.describe(event) + "\n";
    return text;
  };
  // The rounds start from the focus on G with the pointer on its screen.
  XSetInputFocus(display, w[0], RevertToNone, CurrentTime);
  heard(display, w[0]), heard(other, w[0]);
  std::string first[2];
  int same = 0;
  for (int round = 0; round < 20; round++) {
    int s = round % 2 ? 0 : 1;
    XSetInputFocus(display, w[s], RevertToNone, CurrentTime);
    XTestFakeMotionEvent(display, 1 - s, 400, 400, CurrentTime);
    XTestFakeMotionEvent(display, s, 400, 400, CurrentTime);
    XSync(display, False);
    std::string text = heard(display, w[s]) + "other:\n" + heard(other, w[s]);
    if (round < 2) first[round] = text;
    same += text == first[s ? 0 : 1];
  }
  out.line(first[0] + first[1] + "as they: " + std::to_string(same) + " of 20");
  XCloseDisplay(other);
  XCloseDisplay(display);
}

// The focus through PointerRoot with the pointer on each screen's root
// over no window: the first screen, the second, the first again after the
// second, then each reached from its window. What the windows and roots
// hear, read after a round trip.
void pointerRootOverABareRoot(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Window w[2];
  if (!display || !windowPerScreen(display, FocusChangeMask, w, out)) return;
  auto heard = [&](const std::string& who) {
    XSync(display, False);
    for (XEvent event; XPending(display);) XNextEvent(display, &event), out.line(who + " " + out.describe(event));
  };
  for (auto [s, throughWindow] : {std::pair{0, false}, {1, false}, {0, false}, {0, true}, {1, true}}) {
    XSetInputFocus(display, None, RevertToNone, CurrentTime);
    if (throughWindow) movePointer(display, 150, 150, s);
    movePointer(display, 500, 400, s);
    heard("pointer on root" + std::to_string(s) + ":");
    for (Window to : {Window(PointerRoot), Window(None), Window(PointerRoot), w[s], Window(PointerRoot), w[1 - s],
                      Window(PointerRoot), RootWindow(display, s), Window(PointerRoot), Window(None)}) {
      XSetInputFocus(display, to, RevertToNone, CurrentTime);
      heard("to " + out.of(to) + ":");
    }
  }
  XCloseDisplay(display);
}

// A keyboard grab with owner events on a window far left (on screen 0 with
// two screens) while the pointer is on the last head (on screen 1): a key
// goes where it would without the grab when the first window up from the
// pointer's that anyone selected it on is the grabber's, else to the grab
// window. The pointer over the root, which the grabber selected KeyPress
// on, then in a window inside another client's window (KeyPress only)
// inside the grabber's window (both kinds of key); the focus PointerRoot,
// then on the grabber's window.
void ownerKeysUnderAKeyboardGrab(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* other = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !other || !driver) return;
  int screen = ScreenCount(display) - 1, x = DisplayWidth(display, screen) - 300;
  Window root = RootWindow(display, screen);
  Window grab = mappedWindow(display, 50, 50, 100, 100, 0);
  Window outer = mappedWindow(display, x, 100, 250, 250, KeyPressMask | KeyReleaseMask, screen);
  Window between = XCreateSimpleWindow(other, outer, 25, 25, 200, 200, 0, 0, 0);
  XSelectInput(other, between, KeyPressMask);
  Window inner = XCreateSimpleWindow(other, between, 25, 25, 150, 150, 0, 0, 0);
  XMapSubwindows(other, between);
  XMapWindow(other, between);
  XSync(other, False);
  XSelectInput(display, root, KeyPressMask);
  out.name(root, "root"), out.name(grab, "grab"), out.name(outer, "outer"), out.name(between, "between");
  out.name(inner, "inner");
  out.positions = true;
  for (Window focus : {Window(PointerRoot), outer}) {
    XSetInputFocus(display, focus, RevertToPointerRoot, CurrentTime);
    out.line(grabStatus(XGrabKeyboard(display, grab, True, GrabModeAsync, GrabModeAsync, CurrentTime)));
    for (auto [px, py] : {std::pair{x - 100, 400}, {x + 100, 200}}) {
      movePointer(driver, px, py, screen);
      typeKey(driver, "a");
      std::string at = " focus " + out.of(focus) + ", pointer at " + std::to_string(px - x) + ":";
      out.events(display, "grabber" + at);
      out.events(other, "other" + at);
    }
    XUngrabKeyboard(display, CurrentTime);
    out.events(display, "ungrabbed:");
  }
  XCloseDisplay(driver);
  XCloseDisplay(other);
  XCloseDisplay(display);
}

// A pointer grab confined to a window wholly on the last head while the
// pointer is in a window on the first: the pointer goes into the window
// (the Normal crossings, and no motion: both clients select it there, but
// a server that confines the pointer reports none), then to the grab (mode
// Grab), and another client hears both as well; then the grab window the
// window on the first head, confined to the same.
void confinedToTheOtherHead(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* other = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !other || !driver) return;
  int width = DisplayWidth(display, 0);
  long mask = EnterWindowMask | LeaveWindowMask;
  Window from = mappedWindow(display, 50, 100, 200, 200, mask | PointerMotionMask);
  Window confine = mappedWindow(display, width - 250, 100, 200, 200, mask | PointerMotionMask);
  for (Window each : {from, confine}) XSelectInput(other, each, mask | PointerMotionMask);
  XSync(other, False);
  out.name(from, "from"), out.name(confine, "confine");
  out.positions = true;
  for (Window grab : {confine, from}) {
    movePointer(driver, 150, 150);
    out.events(display, "");
    out.events(other, "");
    out.line(grabStatus(XGrabPointer(display, grab, False, mask | PointerMotionMask, GrabModeAsync, GrabModeAsync,
                                     confine, None, CurrentTime)));
    out.events(display, "grab on " + out.of(grab) + ":");
    out.events(other, "other:");
    XUngrabPointer(display, CurrentTime);
    out.events(display, "ungrabbed:");
    out.events(other, "other:");
  }
  XCloseDisplay(driver);
  XCloseDisplay(other);
  XCloseDisplay(display);
}

// A press in a window on the first head that starts a passive grab
// confined to a window wholly on the last one: the pointer is taken into
// that window without a MotionNotify, though both clients select motion
// there and the grab does. Only the motion is compared: the Normal
// crossings of that move are not yet told as a plain server tells them.
void pressConfinedToTheOtherHead(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  Display* other = openOrFail(name);
  Display* driver = openOrFail(name);
  if (!display || !other || !driver) return;
  int width = DisplayWidth(display, 0);
  long mask = EnterWindowMask | LeaveWindowMask | PointerMotionMask;
  Window from = mappedWindow(display, 50, 100, 200, 200, mask);
  Window confine = mappedWindow(display, width - 250, 100, 200, 200, mask);
  for (Window each : {from, confine}) XSelectInput(other, each, mask);
  XSync(other, False);
  out.name(from, "from"), out.name(confine, "confine");
  out.positions = true;
  XGrabButton(display, 1, AnyModifier, from, False, mask | ButtonPressMask | ButtonReleaseMask, GrabModeAsync,
              GrabModeAsync, confine, None);
  movePointer(driver, 150, 150);
  auto motion = [&out](Display* d, const std::string& who) {
    XSync(d, False);
    while (XPending(d)) {
      XEvent event;
      XNextEvent(d, &event);
      if (event.type == MotionNotify) out.line(who + " " + out.describe(event));
    }
  };
  motion(display, "");
  motion(other, "");
  for (Bool press : {True, False}) {
    XTestFakeButtonEvent(driver, 1, press, CurrentTime);
    XSync(driver, False);
    motion(display, press ? "pressed:" : "released:");
    motion(other, "other:");
  }
  XCloseDisplay(driver);
  XCloseDisplay(other);
  XCloseDisplay(display);
}

const DifferentialCase kGrabCases[] = {
    {"OwnerKeysUnderAKeyboardGrab", 1, ownerKeysUnderAKeyboardGrab},
    {"OwnerKeysUnderAKeyboardGrabOnTwoHeads", 2, ownerKeysUnderAKeyboardGrab, 1, 0},
    {"OwnerKeysUnderAKeyboardGrabOnTwoScreens", 1, ownerKeysUnderAKeyboardGrab, 2, 0},
    {"ConfinedToAWindowOnTheOtherHead", 2, confinedToTheOtherHead, 1, 0},
    {"ConfinedToAWindowOnOneHead", 1, confinedToTheOtherHead},
    {"PressConfinedToAWindowOnTheOtherHead", 2, pressConfinedToTheOtherHead, 1, 0},
    {"FocusOverTheSeam", 2, focusOverTheSeam, 1, 0},
    {"ReplayedPress", 1, replayedPress},
    {"ReplayedPressOnTheLastHead", 2, replayedPress},
    {"ChangeActiveGrabOutOfTime", 1, changeActiveGrabOutOfTime},
    {"FocusKeepsItsLastChangeTime", 1, focusKeepsItsLastChangeTime},
    {"ConfineToMovedBeyondTheRoot", 1,
     [](const std::string& n, Transcript& t) { confineToMovedBeyondTheRoot(n, t, 0); }},
    {"PassiveConfineToMovedBeyondTheRoot", 1,
     [](const std::string& n, Transcript& t) { confineToMovedBeyondTheRoot(n, t, 1); }},
    {"MotionHistory", 1, motionHistory},
    {"SyncBothFreezesAgain", 1, syncBothFreezesAgain},
    {"ChangeActiveGrabOutOfTimeOnTwoHeads", 2, changeActiveGrabOutOfTime},
    {"FocusKeepsItsLastChangeTimeOnTwoHeads", 2, focusKeepsItsLastChangeTime},
    {"ConfineToMovedBeyondTheRootOnTwoHeads", 2,
     [](const std::string& n, Transcript& t) { confineToMovedBeyondTheRoot(n, t, 0); }},
    {"PassiveConfineToMovedBeyondTheRootOnTwoHeads", 2,
     [](const std::string& n, Transcript& t) { confineToMovedBeyondTheRoot(n, t, 1); }},
    {"MotionHistoryOnTwoHeads", 2, motionHistory},
    {"SyncBothFreezesAgainOnTwoHeads", 2, syncBothFreezesAgain},
    {"SyncBothFreezesWarpsOverTheSeam", 2, syncBothFreezesWarpsOverTheSeam},
    {"ShiftHeldOverTheSeam", 2, shiftHeldOverTheSeam},
    {"RelativeMotionOverTheSeam", 2, relativeMotionOverTheSeam},
    {"FakedInputBeforeTheSyncOnTheLastHead", 2, fakedInputBeforeTheSync},
    {"FakedMotionThenClickOnTheLastHead", 2, fakedMotionThenClickInOrder, 1, 0},
    {"AllowEventsInEachMode", 1, [](const std::string& n, Transcript& t) { allowEventsInEachMode(n, t, false); }},
    {"AllowEventsInEachModeOnTheLastHead", 2,
     [](const std::string& n, Transcript& t) { allowEventsInEachMode(n, t, true); }},
    {"EnterUnderAnActiveGrab", 1, enterUnderAnActiveGrab},
    {"EnterUnderAnActiveGrabOnTwoHeads", 2, enterUnderAnActiveGrab},
    {"CrossingsOverTheSeam", 2, crossingsOverTheSeam, 1, 0},
    {"EnterBeforeItsMotionOverTheSeam", 2, enterBeforeItsMotion, 1, 0},
    {"GrabsAcrossTwoScreens", 1, grabsAcrossScreens, 2},
    {"ModifiersAfterAMenuOnTwoScreens", 1, modifiersAfterAMenu, 2},
    {"ModifiersAfterAControlClickOnTwoScreens", 1, modifiersAfterAControlClick, 2},
    {"MotionUnderAGrabAcrossTwoScreens", 1, motionUnderAGrabAcrossScreens, 2},
    {"DragAcrossTwoScreens", 1, dragAcrossScreens, 2},
    {"ModifiersOnTheOtherOfTwoScreens", 1, modifiersOnTheOtherScreen, 2},
    {"GrabsAndCrossingsOverTwoScreens", 1, grabsAndCrossingsOverTheScreens, 2},
    {"ModifierStateOnTheOtherOfTwoScreens", 1, modifierStateOnTheOtherScreen, 2},
    {"PointerGrabOnTheOtherOfTwoScreens", 1, pointerGrabOnTheOtherScreen, 2},
    {"InputOnlyOnTheOtherOfTwoScreens", 1, inputOnlyOnTheOtherScreen, 2},
    {"FakedMotionThenClickOnTwoScreens", 1, fakedMotionThenClickInOrder, 2},
    {"FocusSetBeforeAMoveAcrossTwoScreens", 1, focusSetBeforeAMoveAcrossScreens, 2},
    {"PointerRootOverABareRootOfTwoScreens", 1, pointerRootOverABareRoot, 2},
};

class GrabsAndFocus : public AsOnAPlainServer {};
TEST_P(GrabsAndFocus, AsOnAPlainServer) { compare(); }
INSTANTIATE_TEST_SUITE_P(Differential, GrabsAndFocus, ::testing::ValuesIn(kGrabCases), caseName);

// --- The pointer's buttons ------------------------------------------------------------------------------

int lastError;
int keepError(Display*, XErrorEvent* error) {
  lastError = error->error_code;
  return 0;
}

// The buttons the server offers (the proxy offers its own number): each can
// be mapped, read back, pressed, and is busy while held.
void everyOfferedButton(const std::string& name, Transcript& out) {
  Display* display = openOrFail(name);
  if (!display) return;
  unsigned char map[256];
  int count = XGetPointerMapping(display, map, 256);
  bool identity = true;
  for (int i = 0; i < count; i++) identity = identity && map[i] == i + 1;
  out.line(std::string("identity ") + (identity ? "yes" : "no"));
  // Reversed: physical button i gives count + 1 - i.
  unsigned char reversed[256];
  for (int i = 0; i < count; i++) reversed[i] = static_cast<unsigned char>(count - i);
  out.line("set " + std::to_string(XSetPointerMapping(display, reversed, count)));
  XGetPointerMapping(display, map, 256);
  int same = 0;
  for (int i = 0; i < count; i++) same += map[i] == reversed[i];
  out.line("read back " + std::string(same == count ? "all" : std::to_string(same)));
  lastError = 0;
  XErrorHandler previous = XSetErrorHandler(keepError);
  XSetPointerMapping(display, reversed, count - 1);
  XSync(display, False);
  out.line("too short: error " + std::to_string(lastError));
  lastError = 0;
  Window window = mappedWindow(display, 100, 100, 200, 200, ButtonPressMask | ButtonReleaseMask);
  movePointer(display, 150, 150);
  int pressed = 0, busy = 0;
  for (int button = 1; button <= count; button++) {
    XTestFakeButtonEvent(display, button, True, CurrentTime);
    XSync(display, False);
    XEvent event;
    if (nextEvent(display, ButtonPress, &event, 1000) && event.xbutton.window == window &&
        int(event.xbutton.button) == count + 1 - button)
      pressed++;
    unsigned char swapped[256];
    std::copy(reversed, reversed + count, swapped);
    std::swap(swapped[button - 1], swapped[button % count]);
    busy += XSetPointerMapping(display, swapped, count) == MappingBusy;
    XTestFakeButtonEvent(display, button, False, CurrentTime);
    XSync(display, False);
    nextEvent(display, ButtonRelease, &event, 1000);
  }
  auto share = [count](int n) {
    return n == count ? std::string("all") : std::to_string(n) + " of " + std::to_string(count);
  };
  out.line("pressed " + share(pressed));
  out.line("busy " + share(busy));
  out.line("error " + std::to_string(lastError));
  XSetErrorHandler(previous);
  for (int i = 0; i < count; i++) map[i] = static_cast<unsigned char>(i + 1);
  out.line("restored " + std::to_string(XSetPointerMapping(display, map, count)));
  XCloseDisplay(display);
}

const DifferentialCase kButtonCases[] = {
    {"EveryOfferedButton", 1, everyOfferedButton},
    {"EveryOfferedButtonOnTwoHeads", 2, everyOfferedButton},
};

class PointerButtons : public AsOnAPlainServer {};
TEST_P(PointerButtons, AsOnAPlainServer) { compare(); }
INSTANTIATE_TEST_SUITE_P(Differential, PointerButtons, ::testing::ValuesIn(kButtonCases), caseName);

}  // namespace
}  // namespace palvon::test

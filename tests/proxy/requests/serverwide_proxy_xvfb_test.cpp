// Server-wide requests through the proxy program in front of two real
// servers: settings that reach every server (xset, xmodmap), queries that
// the input-control server answers, the bell, the extension list of the
// proxy's own registry, host access kept by the proxy, and KillClient.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/strings.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The line of the text that starts with the prefix (after blanks); "" when none.
std::string lineStarting(const std::string& text, const std::string& prefix) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t start = line.find_first_not_of(" \t");
    if (start != std::string::npos && line.compare(start, prefix.size(), prefix) == 0) return line;
  }
  return "";
}

// Per key line of "xmodmap -pk": the keycode and its first two keysyms.
std::vector<std::string> groupOne(const std::string& table) {
  std::vector<std::string> keys;
  std::istringstream in(table);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string code, first, firstName, second, secondName;
    if (!(words >> code) || code.find_first_not_of("0123456789") != std::string::npos) continue;
    words >> first >> firstName >> second >> secondName;
    keys.push_back(code + " " + first + " " + second);
  }
  return keys;
}

int lastError = 0;
int keepError(Display*, XErrorEvent* event) {
  // GC requests of Xlib's own default GC are not what these tests look at.
  if (event->request_code < X_CreateGC || event->request_code > X_FreeGC) lastError = event->error_code;
  return 0;
}

class ServerWide : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto* s : {&first, &second}) ASSERT_TRUE(s->ok()) << s->error();
    startProxy({});
  }
  void TearDown() override {
    for (Display* d : opened) XCloseDisplay(d);
  }
  void startProxy(const std::vector<std::string>& extra) {
    std::vector<std::string> words{"noReset", "on", "screen", first.display() + ".0", "screen",
                                   second.display() + ".0"};
    words.insert(words.end(), extra.begin(), extra.end());
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    XSetErrorHandler(keepError);
    client = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(client, nullptr);
    opened.push_back(client);
  }
  ProgramResult via(const std::vector<std::string>& argv) { return runProgram(argv, proxy->display()); }
  ProgramResult on(const Xvfb& server, const std::vector<std::string>& argv) {
    return runProgram(argv, server.display());
  }
  int errorOf(void (*call)(Display*)) {
    lastError = 0;
    call(client);
    XSync(client, False);
    return lastError;
  }

  Xvfb first{{"-screen", "0", "320x200x24"}};
  Xvfb second{{"-screen", "0", "320x200x24"}};
  std::unique_ptr<ProxyProcess> proxy;
  Display* client = nullptr;
  std::vector<Display*> opened;
};

TEST_F(ServerWide, ExtensionsAreTheRegistrysOnly) {
  ProgramResult through = via({"xdpyinfo", "-queryExtensions"});
  ASSERT_EQ(through.status, 0) << through.err;
  // The servers offer X-Resource; the proxy does not.
  EXPECT_TRUE(contains(on(first, {"xdpyinfo", "-queryExtensions"}).out, "X-Resource"));
  EXPECT_FALSE(contains(through.out, "X-Resource")) << through.out;
  int major = 0, event = 0, error = 0;
  EXPECT_FALSE(XQueryExtension(client, "X-Resource", &major, &event, &error));
  // What QueryExtension answers is what the list names.
  int count = 0;
  char** names = XListExtensions(client, &count);
  for (int i = 0; i < count; i++) {
    EXPECT_TRUE(XQueryExtension(client, names[i], &major, &event, &error)) << names[i];
    EXPECT_GE(major, 128) << names[i];
    EXPECT_TRUE(contains(through.out, names[i])) << names[i];
  }
  XFreeExtensionList(names);
}

// What "xset m 3/1 5", "s 60", "s noblank", "r off" and "b 30" send.
TEST_F(ServerWide, SettingsReachEveryServer) {
  XChangePointerControl(client, True, True, 3, 1, 5);
  XSetScreenSaver(client, 60, 600, DontPreferBlanking, AllowExposures);
  XAutoRepeatOff(client);
  XKeyboardControl bell{};
  bell.bell_percent = 30;
  XChangeKeyboardControl(client, KBBellPercent, &bell);
  XSync(client, False);
  EXPECT_EQ(lastError, 0);
  for (const Xvfb* server : {&first, &second}) {
    std::string q = on(*server, {"xset", "q"}).out;
    EXPECT_TRUE(contains(lineStarting(q, "acceleration:"), "3/1")) << q;
    EXPECT_TRUE(contains(lineStarting(q, "acceleration:"), "threshold:  5")) << q;
    EXPECT_TRUE(contains(lineStarting(q, "prefer blanking:"), "prefer blanking:  no")) << q;
    EXPECT_TRUE(contains(lineStarting(q, "timeout:"), "timeout:  60")) << q;
    EXPECT_TRUE(contains(lineStarting(q, "auto repeat:"), "auto repeat:  off")) << q;
    EXPECT_TRUE(contains(lineStarting(q, "bell percent:"), "bell percent:  30")) << q;
  }
}

TEST_F(ServerWide, MapsComeFromTheInputServerAndReachEveryServer) {
  // Group 1 of every key as the server has it (further columns follow the
  // core map's column rule).
  EXPECT_EQ(groupOne(via({"xmodmap", "-pk"}).out), groupOne(on(first, {"xmodmap", "-pk"}).out));
  EXPECT_EQ(via({"xmodmap", "-pm"}).out, on(first, {"xmodmap", "-pm"}).out);
  // The proxy offers 32 buttons; the server has 10.
  std::string buttons = via({"xmodmap", "-pp"}).out;
  EXPECT_TRUE(contains(buttons, "There are 32 pointer buttons defined.")) << buttons;
  EXPECT_TRUE(contains(buttons, "\n        3              3\n")) << buttons;
  EXPECT_TRUE(contains(buttons, "\n       32             32\n")) << buttons;
  ASSERT_EQ(via({"xmodmap", "-e", "keycode 38 = q Q"}).status, 0);
  ASSERT_EQ(via({"xmodmap", "-e", "add mod3 = Scroll_Lock"}).status, 0);
  for (const Xvfb* server : {&first, &second}) {
    std::string keys = on(*server, {"xmodmap", "-pk"}).out;
    EXPECT_TRUE(contains(lineStarting(keys, "38 "), "(q)")) << keys;
    EXPECT_TRUE(contains(lineStarting(keys, "38 "), "(Q)")) << keys;
    EXPECT_TRUE(contains(lineStarting(on(*server, {"xmodmap", "-pm"}).out, "mod3"), "Scroll_Lock"));
  }
  // A map of five buttons where the proxy offers 32.
  unsigned char five[] = {1, 2, 3, 4, 5};
  lastError = 0;
  XSetPointerMapping(client, five, 5);
  XSync(client, False);
  EXPECT_EQ(lastError, BadValue);
}

// One XkbBellNotify on the input-control server per bell, none elsewhere;
// none at all with the bell off.
class Bells : public ServerWide {
 protected:
  int bellsOn(const Xvfb& server, bool off) {
    if (off) {
      XCloseDisplay(client);
      opened.clear();
      proxy.reset();
      startProxy({"bell", "off"});
    }
    int event = 0, error = 0, major = 1, minor = 0, opcode = 0;
    Display* watch = XkbOpenDisplay(const_cast<char*>(server.display().c_str()), &event, &error, &major, &minor,
                                    &opcode);
    if (!watch) return -1;
    opened.push_back(watch);
    XkbSelectEvents(watch, XkbUseCoreKbd, XkbBellNotifyMask, XkbBellNotifyMask);
    XSync(watch, False);
    // The bell reaches the server before the proxy answers the client's
    // round trip; the watcher's own round trip brings its event.
    XBell(client, 0);
    XSync(client, False);
    XSync(watch, False);
    int bells = 0;
    while (XPending(watch)) {
      XEvent e;
      XNextEvent(watch, &e);
      if (e.type == event && reinterpret_cast<XkbEvent*>(&e)->any.xkb_type == XkbBellNotify) bells++;
    }
    return bells;
  }
};

TEST_F(Bells, RingOnTheInputControlServerOnly) {
  EXPECT_EQ(bellsOn(first, false), 1);
  EXPECT_EQ(bellsOn(second, false), 0);
}

TEST_F(Bells, StaySilentWhenTheBellIsOff) { EXPECT_EQ(bellsOn(first, true), 0); }

TEST_F(ServerWide, HostAccessIsTheProxysOwn) {
  std::string before[2] = {on(first, {"xhost"}).out, on(second, {"xhost"}).out};
  ProgramResult added = via({"xhost", "+localhost"});
  ASSERT_EQ(added.status, 0) << added.err;
  std::string list = via({"xhost"}).out;
  EXPECT_TRUE(contains(list, "localhost") || contains(list, "INET:127.0.0.1")) << list;
  EXPECT_EQ(on(first, {"xhost"}).out, before[0]);
  EXPECT_EQ(on(second, {"xhost"}).out, before[1]);
}

TEST_F(ServerWide, KillClientEndsOnlyTheOwner) {
  // A client that owns a colormap, as raw bytes: it must see its end.
  RawClient owner;
  ASSERT_TRUE(owner.connectUnix(proxy->number()));
  ASSERT_EQ(owner.setup('l'), 1);
  u32 colormap = owner.resourceIdBase() | 1;
  Bytes create(12, 0);
  owner.put32(create, 0, colormap);
  owner.put32(create, 4, owner.rootWindow());
  Display* probe = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(probe, nullptr);
  opened.push_back(probe);
  owner.put32(create, 8, u32(XVisualIDFromVisual(DefaultVisual(probe, 0))));
  ASSERT_TRUE(owner.send(owner.request(X_CreateColormap, AllocNone, create)));
  ASSERT_TRUE(owner.send(owner.request(X_GetInputFocus, 0)));
  ASSERT_FALSE(owner.readMessage(5000).empty());
  ProgramResult killed = via({"xkill", "-id", std::to_string(colormap)});
  EXPECT_EQ(killed.status, 0) << killed.err;
  EXPECT_TRUE(owner.waitClosed(5000));
  // The meta root is the proxy's own: BadValue, and the proxy runs on.
  EXPECT_EQ(errorOf([](Display* d) { XKillClient(d, DefaultRootWindow(d)); }), BadValue);
  EXPECT_EQ(errorOf([](Display* d) { XSetCloseDownMode(d, 3); }), BadValue);
  EXPECT_EQ(via({"xdpyinfo"}).status, 0);
}

}  // namespace
}  // namespace palvon::test

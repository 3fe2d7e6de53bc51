// Properties and selections through the proxy program when meta screens
// sit on different real servers: programs on the second meta screen keep
// their properties on the atom server, and a clipboard copied through the
// proxy pastes on each real server (heads shown in windows, whose servers
// take part in the selection synchronisation) and the other way.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/proxyprocess.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

using Clock = std::chrono::steady_clock;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// --- Two meta screens, one on each server ------------------------------------------------

class SecondScreen : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    first = new Xvfb({"-screen", "0", "320x200x24"});
    second = new Xvfb({"-screen", "0", "320x200x24"});
    if (!first->ok() || !second->ok()) return;
    proxy = new ProxyProcess({"noReset", "on", "metaScreen", "m0", "screen", first->display() + ".0", "metaScreen",
                              "m1", "screen", second->display() + ".0"});
  }
  static void TearDownTestSuite() {
    delete proxy;
    delete second;
    delete first;
    proxy = nullptr;
    first = second = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(first->ok() && second->ok());
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }
  static std::string screen(int n) { return proxy->display() + "." + std::to_string(n); }

  static Xvfb* first;
  static Xvfb* second;
  static ProxyProcess* proxy;
};

Xvfb* SecondScreen::first;
Xvfb* SecondScreen::second;
ProxyProcess* SecondScreen::proxy;

// xlogo sets its window manager properties as it starts; other clients read
// them, and one client's property on another's window is seen by a third.
TEST_F(SecondScreen, XlogoAndXpropWork) {
  BackgroundProgram xlogo({"xlogo"}, screen(1));
  ASSERT_TRUE(xlogo.ok());
  ProgramResult shown = runProgramUntil({"xprop", "-name", "xlogo", "WM_CLASS"}, screen(1), "\"xlogo\", \"XLogo\"");
  ASSERT_TRUE(contains(shown.out, "\"xlogo\", \"XLogo\"")) << shown.out << shown.err << proxy->log();
  ProgramResult set =
      runProgram({"xprop", "-name", "xlogo", "-f", "_TEST_NOTE", "8s", "-set", "_TEST_NOTE", "noted"}, screen(1));
  ASSERT_EQ(set.status, 0) << set.err;
  ProgramResult read = runProgram({"xprop", "-name", "xlogo", "_TEST_NOTE"}, screen(1));
  EXPECT_TRUE(contains(read.out, "_TEST_NOTE(STRING) = \"noted\"")) << read.out << read.err;
  ProgramResult removed = runProgram({"xprop", "-name", "xlogo", "-remove", "_TEST_NOTE"}, screen(1));
  EXPECT_EQ(removed.status, 0) << removed.err;
  read = runProgram({"xprop", "-name", "xlogo", "_TEST_NOTE"}, screen(1));
  EXPECT_TRUE(contains(read.out, "not found")) << read.out;
  // Properties of the first screen's windows are not mixed in.
  ProgramResult other = runProgram({"xprop", "-name", "xlogo"}, screen(0));
  EXPECT_NE(other.status, 0) << other.out;
}

// A clipboard owned by a window of either screen pastes on both.
TEST_F(SecondScreen, ClipboardAcrossTheScreens) {
  TempDir dir;
  for (int owner : {1, 0}) {
    std::string text = "clip" + std::to_string(owner);
    writeFile(dir.file(text), text);
    BackgroundProgram copy({"xclip", "-quiet", "-selection", "clipboard", dir.file(text)}, screen(owner));
    ASSERT_TRUE(copy.ok());
    for (int reader : {1, 0}) {
      ProgramResult paste = runProgramUntil({"xclip", "-o", "-selection", "clipboard"}, screen(reader), text);
      EXPECT_EQ(paste.out, text) << "owner " << owner << " reader " << reader << ": " << paste.err;
    }
  }
}

// The PropertyNotify events of windows on the second screen, its own
// (the stand-in made through the owner's connection) and the root (made
// through the proxy's): the watching client selects before the first
// property exists, and a second client changes it.
class SecondScreenNotify : public SecondScreen, public ::testing::WithParamInterface<bool> {};

TEST_P(SecondScreenNotify, PropertyChangesAreSeen) {
  Display* watcher = XOpenDisplay(screen(1).c_str());
  Display* writer = XOpenDisplay(screen(1).c_str());
  ASSERT_TRUE(watcher && writer);
  Window window = GetParam() ? DefaultRootWindow(watcher)
                             : XCreateSimpleWindow(watcher, DefaultRootWindow(watcher), 0, 0, 10, 10, 0, 0, 0);
  XSelectInput(watcher, window, PropertyChangeMask);
  Atom stamp = XInternAtom(watcher, "_TEST_STAMP", False);
  XChangeProperty(watcher, window, stamp, XA_STRING, 8, PropModeReplace, reinterpret_cast<const unsigned char*>("a"),
                  1);
  XSync(watcher, False);
  XChangeProperty(writer, window, stamp, XA_STRING, 8, PropModeReplace, reinterpret_cast<const unsigned char*>("b"),
                  1);
  XSync(writer, False);
  int seen = 0;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (seen < 2 && Clock::now() < deadline) {
    while (seen < 2 && XPending(watcher)) {
      XEvent event;
      XNextEvent(watcher, &event);
      if (event.type == PropertyNotify && event.xproperty.window == window && event.xproperty.atom == stamp) seen++;
    }
    pollfd fd{ConnectionNumber(watcher), POLLIN, 0};
    poll(&fd, 1, 100);
  }
  EXPECT_EQ(seen, 2);
  XDeleteProperty(writer, window, stamp);
  XCloseDisplay(writer);
  XCloseDisplay(watcher);
}

INSTANTIATE_TEST_SUITE_P(Windows, SecondScreenNotify, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Root" : "Own"; });

// --- Heads in windows, their servers in the selection synchronisation ----------------------
// With every head in a window the atom server is the auxiliary resource
// server, which takes its display number from the range the DynamicServer
// tests share (CMake makes those files take turns).

struct Paste {
  const char* from;  // "P", "P.1" (the proxy's screens), "A" or "B" (the real servers)
  const char* to;
};
void PrintTo(const Paste& paste, std::ostream* out) { *out << paste.from << " to " << paste.to; }

class ClipboardPaste : public ::testing::TestWithParam<Paste> {
 protected:
  static void SetUpTestSuite() {
    first = new Xvfb({"-screen", "0", "320x200x24"});
    second = new Xvfb({"-screen", "0", "320x200x24"});
    if (!first->ok() || !second->ok()) return;
    proxy = new ProxyProcess({"noReset", "on", "options", "+InWindow", "metaScreen", "m0", "window",
                              first->display() + ".0", "selectionSync", "on", "metaScreen", "m1", "window",
                              second->display() + ".0", "selectionSync", "on"});
  }
  static void TearDownTestSuite() {
    delete proxy;
    delete second;
    delete first;
    proxy = nullptr;
    first = second = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(first->ok() && second->ok());
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }
  static std::string display(const std::string& name) {
    if (name == "A") return first->display();
    if (name == "B") return second->display();
    return name == "P" ? proxy->display() : proxy->display() + ".1";
  }

  static Xvfb* first;
  static Xvfb* second;
  static ProxyProcess* proxy;
};

Xvfb* ClipboardPaste::first;
Xvfb* ClipboardPaste::second;
ProxyProcess* ClipboardPaste::proxy;

TEST_P(ClipboardPaste, ArrivesWhole) {
  TempDir dir;
  std::string text = std::string("from ") + GetParam().from + " to " + GetParam().to;
  writeFile(dir.file("text"), text);
  ProgramResult paste;
  {
    BackgroundProgram copy({"xclip", "-quiet", "-selection", "clipboard", dir.file("text")}, display(GetParam().from));
    ASSERT_TRUE(copy.ok());
    paste = runProgramUntil({"xclip", "-o", "-selection", "clipboard"}, display(GetParam().to), text);
  }
  EXPECT_EQ(paste.out, text) << paste.err << proxy->log();
}

INSTANTIATE_TEST_SUITE_P(Servers, ClipboardPaste,
                         ::testing::Values(Paste{"P", "A"}, Paste{"P", "B"}, Paste{"P.1", "A"}, Paste{"P.1", "B"},
                                           Paste{"A", "P.1"}, Paste{"B", "P"}, Paste{"B", "P.1"}),
                         [](const ::testing::TestParamInfo<Paste>& info) {
                           std::string name = std::string(info.param.from) + "_to_" + info.param.to;
                           for (char& c : name)
                             if (c == '.') c = '_';
                           return name;
                         });

}  // namespace
}  // namespace palvon::test

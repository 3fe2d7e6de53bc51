// Zoomed and turned heads through the proxy program, each against a plain
// Xvfb of the meta screen's size doing the same: a bordered window resized
// stays where the plain server keeps it, a window manager that redirects
// the root's substructure is asked with the value mask the client sent,
// and a turned head reports the millimetres and resolution of the screen
// the clients see.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <poll.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

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

struct Geometry {
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0;
  bool operator==(const Geometry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Geometry& g) {
  return out << g.width << "x" << g.height << "+" << g.x << "+" << g.y << " border " << g.border;
}

Geometry geometryOf(Display* display, Window window) {
  Geometry g;
  Window root;
  unsigned depth;
  XGetGeometry(display, window, &root, &g.x, &g.y, &g.width, &g.height, &g.border, &depth);
  return g;
}

// What a window manager learns of one ConfigureWindow.
struct Request {
  unsigned long mask = 0;
  int x = 0, y = 0, width = 0, height = 0, border = 0;
  bool operator==(const Request&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Request& r) {
  return out << "mask 0x" << std::hex << r.mask << std::dec << " " << r.width << "x" << r.height << "+" << r.x << "+"
             << r.y << " border " << r.border;
}

// The lines of xdpyinfo's first screen that say its size and resolution.
std::string screenSize(const std::string& display) {
  std::istringstream in(runProgram({"xdpyinfo"}, display).out);
  std::string lines;
  for (std::string line; std::getline(in, line);)
    if (line.find("dimensions:") != std::string::npos || line.find("resolution:") != std::string::npos)
      lines += line + "\n";
  return lines;
}

struct Layout {
  const char* name;
  const char* headSize;   // the real server behind the proxy
  const char* metaSize;   // the plain server, as large as the meta screen
  std::vector<std::string> words;  // the head's settings
  bool sameMillimetres;   // unzoomed: the plain server's size in millimetres
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

class ZoomedAndTurned : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    const Layout& layout = GetParam();
    head = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", layout.headSize});
    plain = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", layout.metaSize});
    ASSERT_TRUE(head->ok()) << head->error();
    ASSERT_TRUE(plain->ok()) << plain->error();
    std::vector<std::string> words{"noReset", "on", "options", "Tavel", "screen", head->display() + ".0",
                                   "borderWidth", "0"};
    words.insert(words.end(), layout.words.begin(), layout.words.end());
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    for (const std::string& name : {proxy->display(), plain->display()}) {
      clients.emplace_back(XOpenDisplay(name.c_str()));
      ASSERT_NE(clients.back(), nullptr) << name;
    }
  }

  std::unique_ptr<Xvfb> head, plain;
  std::unique_ptr<ProxyProcess> proxy;
  std::vector<DisplayPtr> clients;  // through the proxy, then the plain server
  TempDir dir;
};

// A 100x40 window with a border of 1 at 100,120, mapped, then only its
// width changed: GetGeometry answers as the plain server does.
TEST_P(ZoomedAndTurned, AResizedBorderedWindowStaysInPlace) {
  Geometry got[2];
  for (int i = 0; i < 2; i++) {
    Display* d = clients[i].get();
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 120, 100, 40, 1, 0, 0xffffff);
    XMapWindow(d, w);
    XWindowChanges changes{};
    changes.width = 124;
    XConfigureWindow(d, w, CWWidth, &changes);
    changes.height = 30;
    changes.border_width = 3;
    XConfigureWindow(d, w, CWHeight | CWBorderWidth, &changes);
    XSync(d, False);
    got[i] = geometryOf(d, w);
  }
  EXPECT_EQ(got[0], got[1]) << proxy->log();
}

// A bordered xterm (which sizes its window to its font after making it)
// stands where it stands on the plain server.
TEST_P(ZoomedAndTurned, ABorderedTerminalStandsInPlace) {
  std::string where[2];
  for (int i = 0; i < 2; i++) {
    std::string display = i == 0 ? proxy->display() : plain->display();
    std::string out = dir.file("where" + std::to_string(i));
    ProgramResult result = runProgram(
        {"xterm", "-bw", "2", "-geometry", "12x2+60+50", "-T", "placed", "-e", "sh", "-c",
         "xwininfo -name placed | grep -E 'Absolute|Width|Height|Border width' > " + out},
        display, 20000);
    ASSERT_EQ(result.status, 0) << result.err << proxy->log();
    where[i] = readFile(out);
  }
  EXPECT_NE(where[1], "");
  EXPECT_EQ(where[0], where[1]);
}

// A window manager redirects the root's substructure; a client's
// ConfigureWindow reaches it as a ConfigureRequest with the client's own
// value mask and values, on every head, turned or zoomed.
TEST_P(ZoomedAndTurned, AWindowManagerIsAskedWithTheClientsMask) {
  Request got[2][2];
  for (int i = 0; i < 2; i++) {
    Display* d = clients[i].get();
    DisplayPtr manager(XOpenDisplay(i == 0 ? proxy->display().c_str() : plain->display().c_str()));
    ASSERT_NE(manager, nullptr);
    XSelectInput(manager.get(), DefaultRootWindow(manager.get()), SubstructureRedirectMask);
    XSync(manager.get(), False);
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 120, 100, 40, 1, 0, 0xffffff);
    XWindowChanges changes{};
    changes.width = 124;
    XConfigureWindow(d, w, CWWidth, &changes);
    changes.x = 20;
    changes.border_width = 2;
    XConfigureWindow(d, w, CWX | CWBorderWidth, &changes);
    XSync(d, False);
    for (Request& request : got[i]) {
      XEvent event;
      ASSERT_TRUE(nextEvent(manager.get(), ConfigureRequest, &event)) << proxy->log();
      const XConfigureRequestEvent& e = event.xconfigurerequest;
      EXPECT_EQ(e.window, w);
      request = {e.value_mask, e.x, e.y, e.width, e.height, e.border_width};
    }
  }
  EXPECT_EQ(got[0][0], got[1][0]);
  EXPECT_EQ(got[0][1], got[1][1]);
}

// xdpyinfo shows the meta screen's size in pixels, millimetres and dots
// per inch: on an unzoomed head, those of a plain server of that size.
TEST_P(ZoomedAndTurned, TheScreenHasThePlainServersMillimetres) {
  if (!GetParam().sameMillimetres) GTEST_SKIP() << "a zoomed head changes the resolution";
  EXPECT_EQ(screenSize(proxy->display()), screenSize(plain->display()));
  EXPECT_EQ(DisplayWidthMM(clients[0].get(), 0), DisplayWidthMM(clients[1].get(), 0));
  EXPECT_EQ(DisplayHeightMM(clients[0].get(), 0), DisplayHeightMM(clients[1].get(), 0));
}

INSTANTIATE_TEST_SUITE_P(
    Heads, ZoomedAndTurned,
    ::testing::Values(Layout{"Zoomed", "640x480x24", "320x240x24", {"clipGeometry", "320x240+0+0"}, false},
                      Layout{"Quarter", "480x640x24", "640x480x24", {"rotation", "quarter"}, true},
                      Layout{"Half", "640x480x24", "640x480x24", {"rotation", "half"}, true},
                      Layout{"ThreeQuarters", "480x640x24", "640x480x24", {"rotation", "threeQuarters"}, true}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test

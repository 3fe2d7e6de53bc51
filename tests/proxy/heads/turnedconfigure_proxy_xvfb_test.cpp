// A window manager behind the proxy program whose head is turned a quarter:
// the ConfigureRequest it receives names the fields the client's
// ConfigureWindow named, not the turned head's swapped ones.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Change {
  unsigned mask;
  int x, y, width, height;
};
void PrintTo(const Change& change, std::ostream* out) { *out << "mask " << change.mask; }

class TurnedHeadRedirect : public ::testing::TestWithParam<Change> {
 protected:
  static void SetUpTestSuite() {
    server = new Xvfb({"-screen", "0", "320x240x24"});
    if (server->ok())
      proxy = new ProxyProcess({"noReset", "on", "options", "+Tavel", "screen", server->display() + ".0", "rotate",
                                "quarter"});
  }
  static void TearDownTestSuite() {
    delete proxy;
    delete server;
    proxy = nullptr;
    server = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server->ok());
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    wm = XOpenDisplay(proxy->display().c_str());
    app = XOpenDisplay(proxy->display().c_str());
    ASSERT_TRUE(wm && app);
  }
  void TearDown() override {
    if (app) XCloseDisplay(app);
    if (wm) XCloseDisplay(wm);
  }
  // The value mask of the next ConfigureRequest, -1 when none came in time.
  long nextRequestMask() {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
      while (XPending(wm)) {
        XEvent event;
        XNextEvent(wm, &event);
        if (event.type == ConfigureRequest) return long(event.xconfigurerequest.value_mask);
      }
      pollfd fd{ConnectionNumber(wm), POLLIN, 0};
      poll(&fd, 1, 100);
    }
    return -1;
  }

  static Xvfb* server;
  static ProxyProcess* proxy;
  Display* wm = nullptr;
  Display* app = nullptr;
};

Xvfb* TurnedHeadRedirect::server;
ProxyProcess* TurnedHeadRedirect::proxy;

TEST_P(TurnedHeadRedirect, KeepsTheClientsValueMask) {
  Window window = XCreateSimpleWindow(app, DefaultRootWindow(app), 10, 10, 50, 30, 0, 0, 0);
  XSync(app, False);
  XSelectInput(wm, DefaultRootWindow(wm), SubstructureRedirectMask);
  XSync(wm, False);
  XWindowChanges changes{};
  changes.x = GetParam().x;
  changes.y = GetParam().y;
  changes.width = GetParam().width;
  changes.height = GetParam().height;
  XConfigureWindow(app, window, GetParam().mask, &changes);
  XSync(app, False);
  EXPECT_EQ(nextRequestMask(), long(GetParam().mask));
  // The next request gets its own mask, not a note left over.
  XConfigureWindow(app, window, CWX | CWY, &changes);
  XSync(app, False);
  EXPECT_EQ(nextRequestMask(), long(CWX | CWY));
}

INSTANTIATE_TEST_SUITE_P(Masks, TurnedHeadRedirect,
                         ::testing::Values(Change{CWX, 20, 0, 0, 0}, Change{CWWidth, 0, 0, 60, 0},
                                           Change{CWY | CWHeight, 0, 5, 0, 40}));

}  // namespace
}  // namespace palvon::test

// Input and server grabs through the proxy program in front of two Xvfb side
// by side: the pointer moved and clicked on the input server reaches the
// client once, in the window's and the meta root's terms, and a server grab
// holds other clients until it ends.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/proxyprocess.h"
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

TEST_F(ProxyInput, AServerGrabHoldsOtherClientsUntilItEnds) {
  XGrabServer(client);
  XSync(client, False);
  std::atomic<bool> done{false};
  ProgramResult info;
  std::thread other([&] {
    info = runProgram({"xdpyinfo"}, proxy->display(), 20000);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(done) << "another client was served during the grab";
  XUngrabServer(client);
  XSync(client, False);
  other.join();
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_FALSE(info.timedOut);
}

}  // namespace
}  // namespace palvon::test

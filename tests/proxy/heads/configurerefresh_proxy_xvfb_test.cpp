// The workaround RefreshBitGravity through the proxy program: a top-level
// window that moves gets its whole area exposed again once the servers have
// moved it; without the workaround a move exposes nothing, as on a plain
// server that keeps the pixels.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

using Clock = std::chrono::steady_clock;

// The area the Expose events of the window cover within `ms` (pixels,
// overlaps counted twice).
long exposedArea(Display* display, Window window, int ms) {
  long area = 0;
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == Expose && event.xexpose.window == window)
        area += long(event.xexpose.width) * event.xexpose.height;
    }
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, 50);
  }
  return area;
}

class MovedWindow : public ::testing::TestWithParam<bool> {};

TEST_P(MovedWindow, IsExposedOnlyWithTheWorkaround) {
  Xvfb server{{"-screen", "0", "320x240x24"}};
  ASSERT_TRUE(server.ok()) << server.error();
  std::vector<std::string> words{"noReset", "on", "screen", server.display() + ".0"};
  if (GetParam()) words.insert(words.end(), {"workarounds", "+RefreshBitGravity"});
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Display* d = XOpenDisplay(proxy.display().c_str());
  ASSERT_NE(d, nullptr);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.bit_gravity = NorthWestGravity;
  attributes.background_pixel = 0;
  attributes.event_mask = ExposureMask;
  Window window = XCreateWindow(d, DefaultRootWindow(d), 10, 10, 60, 40, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWBitGravity | CWBackPixel | CWEventMask,
                                &attributes);
  XMapWindow(d, window);
  XSync(d, False);
  ASSERT_GT(exposedArea(d, window, 500), 0) << "the first exposure";
  XMoveWindow(d, window, 40, 30);
  XSync(d, False);
  long area = exposedArea(d, window, 700);
  if (GetParam()) EXPECT_GE(area, 60L * 40) << proxy.log();
  else EXPECT_EQ(area, 0);
  XCloseDisplay(d);
}

INSTANTIATE_TEST_SUITE_P(Workaround, MovedWindow, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });

}  // namespace
}  // namespace palvon::test

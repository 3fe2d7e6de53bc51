// Refreshing workarounds through the proxy program. RefreshBitGravity: a
// top-level window that moves gets its whole area exposed again once the
// servers have moved it; without the workaround a move exposes nothing, as
// on a plain server that keeps the pixels. ActiveDrawInWindow: what a pan
// of a window-shown head uncovered during a server grab is exposed again
// when the grab ends, and nothing is without the workaround.
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

// A head of 400x300 shown in a window of its server, over a meta screen of
// 800x600, panning in steps of 100. With every head in a window the proxy
// starts the auxiliary resource server, whose display number comes from the
// range the DynamicServer tests share (CMake makes those files take turns).
class PannedHead : public ::testing::TestWithParam<bool> {};

TEST_P(PannedHead, IsExposedWhereItWasUncoveredWhenTheGrabEndsOnlyWithTheWorkaround) {
  Xvfb server{{"-screen", "0", "1000x800x24"}};
  ASSERT_TRUE(server.ok()) << server.error();
  std::vector<std::string> words{"noReset", "on", "options", "+InWindow", "metaScreen", "m0", "width", "800",
                                 "height", "600", "noResize", "window", server.display() + ".0", "displayWidth",
                                 "400", "displayHeight", "300", "borderWidth", "0", "followPointerX", "100",
                                 "followPointerY", "100"};
  if (GetParam()) words.insert(words.end(), {"workarounds", "+ActiveDrawInWindow"});
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Display* d = XOpenDisplay(proxy.display().c_str());
  ASSERT_NE(d, nullptr);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = 0;
  attributes.event_mask = ExposureMask;
  Window window = XCreateWindow(d, DefaultRootWindow(d), 0, 0, 800, 600, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attributes);
  XMapWindow(d, window);
  XSync(d, False);
  ASSERT_GT(exposedArea(d, window, 500), 0) << "the first exposure";
  // Beyond the right edge: the view moves right by 300 (201 rounded up to
  // steps of 100). No grab holds the server: nothing is kept of it.
  XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, 600, 100);
  XSync(d, False);
  exposedArea(d, window, 700);
  XGrabServer(d);
  // Back left by 200 under the grab: 200x300 uncovered.
  XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, 100, 100);
  XSync(d, False);
  exposedArea(d, window, 700);
  XUngrabServer(d);
  XSync(d, False);
  long area = exposedArea(d, window, 700);
  if (GetParam()) EXPECT_EQ(area, 200L * 300) << proxy.log();
  else EXPECT_EQ(area, 0);
  XCloseDisplay(d);
}

INSTANTIATE_TEST_SUITE_P(Workaround, PannedHead, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });

INSTANTIATE_TEST_SUITE_P(Workaround, MovedWindow, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });

}  // namespace
}  // namespace palvon::test

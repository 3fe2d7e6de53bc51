// Small requests on the proxy's own connection to a real server: exposing
// areas by windows mapped and destroyed over them, a FreeGC written raw,
// and the shape flags of a window.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

#include <unistd.h>

#include <cstdlib>

#include <vector>

#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/rawtricks.h"
#include "base/orders.h"
#include "support/xvfb.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

class RawTricksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    ServerDisplay* record = nullptr;
    ASSERT_EQ(openServerDisplay(server_.display().c_str(), 5000, &record), nullptr);
    proxy_ = record->display;
    client_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(client_, nullptr);
  }
  void TearDown() override {
    if (client_) XCloseDisplay(client_);
    while (serverDisplayList) freeServerDisplay(serverDisplayList);
    ordersFreeAll();
  }
  // A mapped window of the other client that hears its exposures, with the
  // first exposures already read.
  Window exposedWindow() {
    XSetWindowAttributes a{};
    a.background_pixel = 0;
    a.event_mask = ExposureMask;
    Window w = XCreateWindow(client_, DefaultRootWindow(client_), 0, 0, 200, 100, 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWBackPixel | CWEventMask, &a);
    XMapWindow(client_, w);
    XSync(client_, False);
    XEvent e;
    while (XCheckTypedWindowEvent(client_, w, Expose, &e)) {
    }
    return w;
  }
  // The exposed rectangles the window got within the wait.
  std::vector<XRectangle> exposures(Window w) {
    std::vector<XRectangle> got;
    XSync(client_, False);
    for (int tries = 0; tries < 50; tries++) {
      XEvent e;
      if (XCheckTypedWindowEvent(client_, w, Expose, &e)) {
        got.push_back({i16(e.xexpose.x), i16(e.xexpose.y), u16(e.xexpose.width), u16(e.xexpose.height)});
        if (e.xexpose.count == 0 && tries > 5) break;
        continue;
      }
      usleep(10000);
      XSync(client_, False);
    }
    return got;
  }

  test::Xvfb server_{{"-screen", "0", "320x200x24"}};
  Display* proxy_ = nullptr;
  Display* client_ = nullptr;
};

TEST_F(RawTricksTest, WindowsOverRectanglesExposeJustThoseAreas) {
  Window w = exposedWindow();
  const xRectangle areas[] = {{10, 20, 30, 40}, {100, 5, 0, 10}, {150, 60, 20, 10}};
  exposeRectanglesByWindows(proxy_, w, areas, 3);
  std::vector<XRectangle> got = exposures(w);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].x, 10);
  EXPECT_EQ(got[0].y, 20);
  EXPECT_EQ(got[0].width, 30);
  EXPECT_EQ(got[0].height, 40);
  EXPECT_EQ(got[1].x, 150);
  EXPECT_EQ(got[1].width, 20);
  // The helper windows are gone again.
  Window root, parent, *children = nullptr;
  unsigned int count = 9;
  ASSERT_TRUE(XQueryTree(client_, w, &root, &parent, &children, &count));
  EXPECT_EQ(count, 0u);
  if (children) XFree(children);
}

TEST_F(RawTricksTest, ARawFreeGCFreesTheServersGC) {
  GC gc = XCreateGC(proxy_, DefaultRootWindow(proxy_), 0, nullptr);
  XSync(proxy_, False);
  rawFreeGC(proxy_, u32(XGContextFromGC(gc)));
  XSync(proxy_, False);
  // The same id on the server now names nothing.
  XErrorTrap trap(proxy_);
  XSetForeground(proxy_, gc, 1);
  XDrawPoint(proxy_, DefaultRootWindow(proxy_), gc, 1, 1);
  XSync(proxy_, False);
  EXPECT_NE(trap.result(), 0);
  // Xlib's record of the GC: its server side is gone already.
  free(gc);
}

TEST_F(RawTricksTest, ShapeFlagsTellWhichShapeIsSet) {
  Window w = exposedWindow();
  bool bounding = true, clip = true;
  ASSERT_TRUE(queryShapedFlags(proxy_, w, &bounding, &clip));
  EXPECT_FALSE(bounding);
  EXPECT_FALSE(clip);
  XRectangle box{0, 0, 50, 50};
  XShapeCombineRectangles(client_, w, ShapeBounding, 0, 0, &box, 1, ShapeSet, Unsorted);
  XSync(client_, False);
  ASSERT_TRUE(queryShapedFlags(proxy_, w, &bounding, &clip));
  EXPECT_TRUE(bounding);
  EXPECT_FALSE(clip);
}

}  // namespace
}  // namespace palvon

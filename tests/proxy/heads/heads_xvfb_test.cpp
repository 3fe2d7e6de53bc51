// Two real servers side by side in one meta screen: the proxy's windows on
// each head at their places and sizes, the first server's root properties
// on the meta root, the centre hint, and the same windows again after a
// reset.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <array>
#include <cstdlib>
#include <vector>

#include "Proxy/heads/probe.h"
#include "Proxy/heads/screen.h"
#include "Proxy/servers/display.h"
#include "support/headsrig.h"
#include "support/xprogram.h"
#include "xsupport/ximage.h"

namespace palvon {
namespace {

using test::HeadsRig;

const std::vector<std::string> kLarge = {"-screen", "0", "1280x1024x24"};

class SideBySide : public testing::Test {
 protected:
  SideBySide() : rig_({kLarge, kLarge}) {}
  // The proxy's windows on a head, as (width, height, x, y) in creation
  // order of their kinds.
  std::vector<std::array<int, 4>> headWindows(u32 index) {
    Head* head = rig_.head(0, index);
    auto tree = test::windowTree(rig_.display(index));
    std::vector<std::array<int, 4>> found;
    for (Window id : {head->window, head->innerWindow, head->rootWindow, head->cursorWindow, head->trackingWindow,
                      head->keyGrabWindow}) {
      const test::TreeWindow* w = test::findWindow(tree, id);
      found.push_back(w ? std::array<int, 4>{w->width, w->height, w->x, w->y} : std::array<int, 4>{});
    }
    return found;
  }
  HeadsRig rig_;
};

TEST_F(SideBySide, WindowsSitWhereTheHeadsAre) {
  ASSERT_TRUE(rig_.ok());
  // A property on the first server's root before start-up.
  Display* d = XOpenDisplay(rig_.display(0).c_str());
  ASSERT_NE(d, nullptr);
  Atom marker = XInternAtom(d, "PALVON_TEST_MARKER", False);
  const char text[] = "marked";
  XChangeProperty(d, DefaultRootWindow(d), marker, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(text), 6);
  XCloseDisplay(d);

  ASSERT_EQ(rig_.configure("screen @0.0\nscreen @1.0\n"), "");
  ASSERT_EQ(rig_.start(), "");
  MetaScreen* screen = rig_.screen(0);
  ASSERT_NE(screen, nullptr);
  // Two servers: a border of one pixel around each head.
  EXPECT_EQ(screen->width, 2 * 1278u);
  EXPECT_EQ(screen->height, 1022u);
  for (u32 i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    Head* head = rig_.head(0, i);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->borderWidth, 1);
    auto tree = test::windowTree(rig_.display(i));
    struct Expected {
      Window id;
      int width, height, x, y;
    };
    const Expected expected[] = {
        {head->window, 1280, 1024, 0, 0},
        {head->innerWindow, 1278, 1022, 1, 1},
        {head->rootWindow, 2556, 1022, -head->logical.x, 0},
        {head->cursorWindow, 65535, 65535, 0, 0},
        {head->trackingWindow, 1272, 1016, 4, 4},
        {head->keyGrabWindow, 1, 1, -1, -1},
    };
    for (const Expected& e : expected) {
      const test::TreeWindow* window = test::findWindow(tree, e.id);
      ASSERT_NE(window, nullptr) << std::hex << e.id;
      EXPECT_EQ(window->width, e.width) << window->line;
      EXPECT_EQ(window->height, e.height) << window->line;
      EXPECT_EQ(window->x, e.x) << window->line;
      EXPECT_EQ(window->y, e.y) << window->line;
    }
    EXPECT_EQ(head->logical.x, i == 0 ? 0 : 1278);
  }
  test::ProgramResult props = test::runProgram(
      {"xprop", "-id", std::to_string(rig_.head(0, 0)->rootWindow), "PALVON_TEST_MARKER", "XINERAMA_CENTER_HINT"},
      rig_.display(0));
  EXPECT_NE(props.out.find("\"marked\""), std::string::npos) << props.out;
  EXPECT_NE(props.out.find("XINERAMA_CENTER_HINT(INTEGER) = 639, 511"), std::string::npos) << props.out;
}

TEST_F(SideBySide, AResetBuildsTheSameWindowsAgain) {
  ASSERT_TRUE(rig_.ok());
  ASSERT_EQ(rig_.configure("screen @0.0\nscreen @1.0\n"), "");
  ASSERT_EQ(rig_.start(), "");
  auto before0 = headWindows(0), before1 = headWindows(1);
  size_t windowsBefore = test::windowTree(rig_.display(0)).size();
  ASSERT_EQ(rig_.reset(), "");
  EXPECT_NE(rig_.head(0, 0)->window, 0u);
  EXPECT_EQ(headWindows(0), before0);
  EXPECT_EQ(headWindows(1), before1);
  // The old connection's windows went with it: the server may give the new
  // connection the old one's ids, so they are counted, not looked up.
  EXPECT_EQ(test::windowTree(rig_.display(0)).size(), windowsBefore);
}

// An image a turned head shows comes back in the meta screen's orientation.
TEST(HeadImages, TurnBackWhatATurnedHeadShows) {
  HeadsRig rig({{"-screen", "0", "320x240x24"}});
  ASSERT_TRUE(rig.ok());
  ASSERT_EQ(rig.configure("screen @0.0\n"), "");
  ASSERT_EQ(rig.start(), "");
  Head* head = rig.head(0, 0);
  for (u32 rotation = 0; rotation < 4; rotation++) {
    SCOPED_TRACE(rotation);
    head->rotation = rotation;
    // A 3x2 meta image, turned onto the head as the head shows it, both in
    // the server's layout.
    const ImageFormat* format = ximageFormatForDisplay(head->display, ZPixmap, 24,
                                                       DefaultVisual(head->display, 0));
    XImage* meta = ximageCreateWithData(format, 3, 2);
    ASSERT_NE(meta, nullptr);
    for (int y = 0; y < 2; y++)
      for (int x = 0; x < 3; x++) XPutPixel(meta, x, y, 0x100000u * (x + 1) + 0x10u * (y + 1));
    int hw = rotation & 1 ? 2 : 3, hh = rotation & 1 ? 3 : 2;
    XImage* shown = ximageCreateWithData(format, hw, hh);
    ASSERT_NE(shown, nullptr);
    ASSERT_EQ(ximageCopyScaled(meta, 0, 0, 3, 2, shown, 0, 0, hw, hh, int(rotation)), 1);
    char* target = static_cast<char*>(calloc(size_t(meta->bytes_per_line) * 2, 1));
    XImage* back = createHeadImage(head, shown->data, u32(hw), u32(hh), ZPixmap, 24, target, 3, 2, 24,
                                   HeadRect{0, 0, 3, 2}, nullptr);
    ASSERT_NE(back, nullptr);
    for (int y = 0; y < 2; y++)
      for (int x = 0; x < 3; x++) EXPECT_EQ(XGetPixel(back, x, y), XGetPixel(meta, x, y)) << x << "," << y;
    XDestroyImage(back);
    XDestroyImage(shown);
    XDestroyImage(meta);
  }
  head->rotation = 0;
}

}  // namespace
}  // namespace palvon

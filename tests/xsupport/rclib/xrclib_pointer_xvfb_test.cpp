// Telepointers, cursors and highlights on a real server.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xfixes.h>

#include <cstring>
#include <string>

#include "support/xprogram.h"
#include "support/xvfb.h"
#include "xrclib_rig.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {
namespace {

class XrcPointer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.ok()) << xvfb_.error();
    library_ = test::openCounted(xvfb_.display());
    client_ = test::openCounted(xvfb_.display());
    ASSERT_TRUE(library_ && client_);
  }
  void TearDown() override {
    if (library_) XCloseDisplay(library_);
    if (client_) XCloseDisplay(client_);
  }
  // Names of the input devices whose name starts with prefix.
  std::string devicesNamed(const char* prefix) {
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(client_, XIAllDevices, &count);
    std::string names;
    for (int i = 0; i < count; i++) {
      if (strncmp(devices[i].name, prefix, strlen(prefix)) == 0) names.append(devices[i].name).append(";");
    }
    XIFreeDeviceInfo(devices);
    return names;
  }
  std::pair<int, int> masterPosition(int device) {
    Window root, child;
    double x = -1, y = -1, wx, wy;
    XIButtonState buttons;
    XIModifierState modifiers;
    XIGroupState group;
    XIQueryPointer(client_, device, DefaultRootWindow(client_), &root, &child, &x, &y, &wx, &wy, &buttons, &modifiers,
                   &group);
    free(buttons.mask);
    return {static_cast<int>(x), static_cast<int>(y)};
  }
  std::string xwininfo(Window window) {
    return test::runProgram({"xwininfo", "-id", std::to_string(window)}, xvfb_.display()).out;
  }
  std::string screenshot() {
    test::ProgramResult result = test::runProgram({"xwd", "-root", "-silent"}, xvfb_.display());
    EXPECT_EQ(result.status, 0);
    return result.out;
  }

  test::Xvfb xvfb_;
  Display* library_ = nullptr;
  Display* client_ = nullptr;
};

TEST_F(XrcPointer, MasterPointerTelepointerMovesHidesAndGoes) {
  int major = 2, minor = 0;
  ASSERT_EQ(XIQueryVersion(client_, &major, &minor), Success);
  Telepointer tp = {};
  int screen = DefaultScreen(library_);
  ASSERT_EQ(xrcTelepointerCreate(library_, 0, "tp", DefaultRootWindow(library_), DefaultDepth(library_, screen),
                                 DefaultVisual(library_, screen), DefaultColormap(library_, screen), 1, 0, &tp),
            1);
  EXPECT_EQ(tp.kind, kTelepointerMaster);
  XSync(library_, False);
  EXPECT_NE(devicesNamed("tp").find("tp pointer;"), std::string::npos) << devicesNamed("tp");
  EXPECT_FALSE(xrcTelepointerShown(&tp));
  xrcTelepointerMove(library_, &tp, 100, 50);
  XSync(library_, False);
  EXPECT_TRUE(xrcTelepointerShown(&tp));
  EXPECT_EQ(masterPosition(static_cast<int>(tp.deviceId)), std::make_pair(100, 50));
  xrcTelepointerHide(library_, &tp);
  XSync(library_, False);
  EXPECT_EQ(masterPosition(static_cast<int>(tp.deviceId)), std::make_pair(1023, 767));
  // A second telepointer of the same name finds the master again.
  Telepointer again = {};
  ASSERT_EQ(xrcTelepointerCreate(library_, 0, "tp", DefaultRootWindow(library_), DefaultDepth(library_, screen),
                                 DefaultVisual(library_, screen), DefaultColormap(library_, screen), 1, 0, &again),
            1);
  EXPECT_EQ(again.deviceId, tp.deviceId);
  xrcTelepointerDestroy(library_, &tp);
  XSync(library_, False);
  EXPECT_EQ(devicesNamed("tp"), "");
  EXPECT_FALSE(xrcTelepointerExists(&tp));
  EXPECT_EQ(test::xErrorCount(), 0);
}

TEST_F(XrcPointer, WindowTelepointerShowsAtItsHotSpot) {
  int screen = DefaultScreen(library_);
  Window root = DefaultRootWindow(library_);
  Telepointer tp = {};
  ASSERT_EQ(xrcTelepointerCreate(library_, 0, "tp2", root, DefaultDepth(library_, screen),
                                 DefaultVisual(library_, screen), DefaultColormap(library_, screen), 0, 1, &tp),
            1);
  ASSERT_EQ(tp.kind, kTelepointerWindow);
  Window window = xrcTelepointerWindow(&tp);
  ASSERT_NE(window, 0u);
  Pixmap picture = XCreatePixmap(library_, root, 8, 8, DefaultDepth(library_, screen));
  Pixmap mask = XCreatePixmap(library_, root, 8, 8, 1);
  xrcTelepointerSetShape(library_, &tp, 8, 8, picture, mask, 3, 2);
  XColor red = {0, 65535, 0, 0, DoRed | DoGreen | DoBlue, 0}, white = {0, 65535, 65535, 65535, DoRed | DoGreen | DoBlue, 0};
  EXPECT_EQ(xrcTelepointerSetColors(library_, &tp, &red, &white), 1);
  XSync(library_, False);
  EXPECT_NE(xwininfo(window).find("Map State: IsUnMapped"), std::string::npos);
  xrcTelepointerMove(library_, &tp, 100, 50);
  XSync(library_, False);
  std::string info = xwininfo(window);
  EXPECT_NE(info.find("Absolute upper-left X:  97"), std::string::npos) << info;
  EXPECT_NE(info.find("Absolute upper-left Y:  48"), std::string::npos) << info;
  EXPECT_NE(info.find("Map State: IsViewable"), std::string::npos) << info;
  EXPECT_NE(info.find("Override Redirect State: yes"), std::string::npos) << info;
  xrcTelepointerHide(library_, &tp);
  XSync(library_, False);
  EXPECT_NE(xwininfo(window).find("Map State: IsUnMapped"), std::string::npos);
  xrcTelepointerDestroy(library_, &tp);
  XFreePixmap(library_, picture);
  XFreePixmap(library_, mask);
  XSync(library_, False);
  EXPECT_EQ(test::xErrorCount(), 0);
}

TEST_F(XrcPointer, BoxCursorReadsBackWithItsFrameAndHotSpot) {
  XWarpPointer(library_, None, DefaultRootWindow(library_), 0, 0, 0, 0, 500, 400);
  ASSERT_EQ(xrcSetBoxCursor(library_, 0, DefaultRootWindow(library_), kXrcMouse, 5, 3), nullptr);
  XSync(library_, False);
  XFixesCursorImage* image = XFixesGetCursorImage(client_);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width, 5);
  EXPECT_EQ(image->height, 3);
  EXPECT_EQ(image->xhot, 2);
  EXPECT_EQ(image->yhot, 1);
  for (int y = 0; y < 3; y++) {
    for (int x = 0; x < 5; x++) {
      bool frame = x == 0 || y == 0 || x == 4 || y == 2;
      unsigned long pixel = image->pixels[y * 5 + x] & 0xffffffff;
      EXPECT_EQ(pixel, frame ? 0xffffffffu : 0u) << x << "," << y;  // white frame, open inside
    }
  }
  XFree(image);
}

TEST_F(XrcPointer, HighlightsLeaveTheScreenAsItWas) {
  std::string before = screenshot();
  xrcSetOption(library_, kXrcOptDelayScale, 0);
  xrcHighlightPosition(library_, 0, 200, 150);
  xrcHighlightGeometry(library_, 0, 10, 20, 300, 200);
  XSync(library_, False);
  EXPECT_TRUE(screenshot() == before);
  xrcDrawCrosshair(library_, DefaultRootWindow(library_), 40, 30);
  XSync(library_, False);
  EXPECT_FALSE(screenshot() == before);  // one drawing shows
  xrcDrawCrosshair(library_, DefaultRootWindow(library_), 40, 30);
  XSync(library_, False);
  EXPECT_TRUE(screenshot() == before);
}

}  // namespace
}  // namespace palvon

// Hotkeys grabbed on a real server and pressed by another program.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <string>

#include "support/xprogram.h"
#include "support/xvfb.h"
#include "xrclib_rig.h"
#include "xsupport/rclib/hotkeys.h"
#include "xsupport/rclib/input.h"

namespace palvon {
namespace {

int pressed = 0;
void onHotkey(Display*, void* argument) { pressed += *static_cast<int*>(argument); }

class XrcHotkeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.ok()) << xvfb_.error();
    display_ = test::openCounted(xvfb_.display());
    ASSERT_NE(display_, nullptr);
    pressed = 0;
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }
  void key(const char* keys) {
    ASSERT_EQ(test::runProgram({"xdotool", "key", keys}, xvfb_.display()).status, 0) << keys;
  }
  // Dispatches the key presses that arrive; the first one's state.
  u32 dispatchPresses(int timeoutMs = 3000) {
    u32 firstState = ~0u;
    test::waitForEvent(
        display_,
        [&](const XEvent& e) {
          if (e.type != KeyPress) return false;
          if (firstState == ~0u) firstState = e.xkey.state;
          return xrcHotkeyDispatch(display_, e.xkey.keycode, e.xkey.state) == 1;
        },
        timeoutMs);
    return firstState;
  }

  test::Xvfb xvfb_;
  Display* display_ = nullptr;
};

TEST_F(XrcHotkeys, ControlF1RunsWithNumLockButNotWithShift) {
  int one = 1;
  ASSERT_EQ(xrcHotkeyRegister(display_, ~1u, "ctrl  F1", onHotkey, &one), nullptr);
  Hotkey parsed;
  ASSERT_EQ(xrcHotkeyParse(display_, "ctrl  F1", &parsed), nullptr);
  char text[64];
  ASSERT_EQ(xrcHotkeyText(display_, &parsed, text, sizeof text), 1);
  EXPECT_STREQ(text, "Control F1");

  key("ctrl+F1");
  dispatchPresses();
  EXPECT_EQ(pressed, 1);
  key("Num_Lock");
  key("ctrl+F1");
  u32 state = dispatchPresses();
  EXPECT_EQ(pressed, 2);
  EXPECT_NE(state & Mod2Mask, 0u);  // Num Lock was on
  key("Num_Lock");
  // Not grabbed with Shift: the first press that reaches us is the next
  // plain Control F1.
  key("ctrl+shift+F1");
  key("ctrl+F1");
  state = dispatchPresses();
  EXPECT_EQ(state, static_cast<u32>(ControlMask));
  EXPECT_EQ(pressed, 3);
  xrcHotkeyUnregister(display_, onHotkey);
  key("ctrl+F1");
  dispatchPresses(500);
  EXPECT_EQ(pressed, 3);
}

TEST_F(XrcHotkeys, OccupiedCombinationFailsAndLeavesNothingGrabbed) {
  Display* other = test::openCounted(xvfb_.display());
  Display* third = test::openCounted(xvfb_.display());
  ASSERT_TRUE(other && third);
  int f1 = XKeysymToKeycode(other, XK_F1);
  XGrabKey(other, f1, ControlMask | LockMask, DefaultRootWindow(other), True, GrabModeAsync, GrabModeAsync);
  XSync(other, False);
  int one = 1;
  const char* error = xrcHotkeyRegister(display_, 0, "Control F1", onHotkey, &one);
  ASSERT_NE(error, nullptr);
  std::string expected = std::string("Hotkey 'Control F1' is already occupied on ").append(xvfb_.display());
  EXPECT_EQ(std::string(error), expected.append(" on display ").append(xvfb_.display()));
  test::xErrorCount() = 0;
  XGrabKey(third, f1, ControlMask, DefaultRootWindow(third), True, GrabModeAsync, GrabModeAsync);
  XSync(third, False);
  EXPECT_EQ(test::xErrorCount(), 0);  // plain Control F1 was left free
  // The failed slot stays free: "none" takes one and grabs nothing.
  EXPECT_EQ(xrcHotkeyRegister(display_, 0, "none", onHotkey, &one), nullptr);
  error = xrcHotkeyRegister(display_, 0, "Control NoSuchKey", onHotkey, &one);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("has no NoSuchKey key for hotkey 'Control NoSuchKey'"), std::string::npos);
  XCloseDisplay(other);
  XCloseDisplay(third);
}

}  // namespace
}  // namespace palvon

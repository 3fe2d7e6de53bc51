// Keyboard mappings saved, changed by the X tools, put back, and copied
// from one real server to another.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/xprogram.h"
#include "support/xvfb.h"
#include "xrclib_rig.h"
#include "xsupport/rclib/keymap.h"

namespace palvon {
namespace {

using test::runProgram;

std::string run(const std::vector<std::string>& argv, const test::Xvfb& server) {
  test::ProgramResult result = runProgram(argv, server.display());
  EXPECT_EQ(result.status, 0) << argv[0] << ": " << result.err;
  return result.out;
}

void expectSameControls(const XKeyboardState& a, const XKeyboardState& b) {
  EXPECT_EQ(a.key_click_percent, b.key_click_percent);
  EXPECT_EQ(a.bell_percent, b.bell_percent);
  EXPECT_EQ(a.bell_pitch, b.bell_pitch);
  EXPECT_EQ(a.bell_duration, b.bell_duration);
  EXPECT_EQ(a.led_mask, b.led_mask);
  EXPECT_EQ(a.global_auto_repeat, b.global_auto_repeat);
  EXPECT_EQ(memcmp(a.auto_repeats, b.auto_repeats, sizeof a.auto_repeats), 0);
}

TEST(XrcKeymap, RestorePutsBackKeysymsModifiersAndControls) {
  test::Xvfb server;
  ASSERT_TRUE(server.ok()) << server.error();
  Display* display = test::openCounted(server.display());
  ASSERT_NE(display, nullptr);
  std::string keys = run({"xmodmap", "-pke"}, server);
  std::string modifiers = run({"xmodmap", "-pm"}, server);
  XKeyboardState controls;
  XGetKeyboardControl(display, &controls);

  KeyboardMappingSave save = {};
  ASSERT_EQ(xrcSaveKeyboardMapping(display, 0, &save), nullptr);
  run({"xmodmap", "-e", "keycode 38 = q Q", "-e", "add mod3 = Scroll_Lock"}, server);
  run({"xset", "b", "33", "700", "90", "led", "5", "-r", "38", "c", "40"}, server);
  ASSERT_NE(run({"xmodmap", "-pke"}, server), keys);
  ASSERT_NE(run({"xmodmap", "-pm"}, server), modifiers);
  XKeyboardState changed;
  XGetKeyboardControl(display, &changed);
  ASSERT_NE(changed.led_mask, controls.led_mask);

  ASSERT_EQ(xrcRestoreKeyboardMapping(display, 0, &save), nullptr);
  XSync(display, False);
  EXPECT_EQ(run({"xmodmap", "-pke"}, server), keys);
  EXPECT_EQ(run({"xmodmap", "-pm"}, server), modifiers);
  XKeyboardState restored;
  XGetKeyboardControl(display, &restored);
  expectSameControls(restored, controls);
  xrcFreeKeyboardMapping(&save);
  // An emptied record restores nothing.
  run({"xmodmap", "-e", "keycode 38 = q Q"}, server);
  EXPECT_EQ(xrcRestoreKeyboardMapping(display, 0, &save), nullptr);
  XSync(display, False);
  EXPECT_NE(run({"xmodmap", "-pke"}, server), keys);
  XCloseDisplay(display);
}

TEST(XrcKeymap, CopyMakesTheSecondServerEqual) {
  test::Xvfb a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  run({"xmodmap", "-e", "keycode 38 = q Q", "-e", "keycode 200 = degree", "-e", "add mod3 = Scroll_Lock"}, a);
  Display* from = test::openCounted(a.display());
  Display* to = test::openCounted(b.display());
  ASSERT_TRUE(from && to);
  XKeyboardState before;
  XGetKeyboardControl(to, &before);
  ASSERT_NE(run({"xmodmap", "-pke"}, a), run({"xmodmap", "-pke"}, b));
  ASSERT_EQ(xrcCopyKeyboardMapping(from, to), nullptr);
  XSync(to, False);
  EXPECT_EQ(run({"xmodmap", "-pke"}, a), run({"xmodmap", "-pke"}, b));
  EXPECT_EQ(run({"xmodmap", "-pm"}, a), run({"xmodmap", "-pm"}, b));
  EXPECT_EQ(xrcCopyKeyboardMapping(to, to), nullptr);
  XCloseDisplay(from);
  XCloseDisplay(to);
}

}  // namespace
}  // namespace palvon

// Fake input on a real server: the method an attach picks and its way past
// other clients' server grabs, typed text with the modifiers it needs,
// smooth motion, client-made events, and the physical devices switched off
// and on.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <cstring>
#include <unistd.h>
#include <string>
#include <vector>

#include "support/xprogram.h"
#include "support/xvfb.h"
#include "xrclib_rig.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"

namespace palvon {
namespace {

using test::focusedWindow;
using test::openCounted;
using test::waitForEvent;

class XrcInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.ok()) << xvfb_.error();
  }
  void TearDown() override {
    if (library_) XCloseDisplay(library_);
    if (client_) XCloseDisplay(client_);
  }
  void open() {
    library_ = openCounted(xvfb_.display());
    client_ = openCounted(xvfb_.display());
    ASSERT_TRUE(library_ && client_);
  }
  // Keysyms of the non-modifier key presses that reach the client, with the
  // Shift state of each.
  std::vector<std::pair<KeySym, bool>> typed(size_t count) {
    std::vector<std::pair<KeySym, bool>> keys;
    waitForEvent(client_, [&](const XEvent& e) {
      if (e.type != KeyPress) return false;
      XKeyEvent key = e.xkey;
      char text[8];
      KeySym keysym = NoSymbol;
      XLookupString(&key, text, sizeof text, &keysym, nullptr);
      if (!IsModifierKey(keysym)) keys.emplace_back(keysym, (key.state & ShiftMask) != 0);
      return keys.size() == count;
    });
    return keys;
  }

  test::Xvfb xvfb_;
  Display* library_ = nullptr;
  Display* client_ = nullptr;
};

TEST_F(XrcInput, AttachPicksXTestAndMovesPassAServerGrab) {
  open();
  ASSERT_EQ(xrcAttachDisplay(library_, kXrcFakeInput | kXrcGrabProof), nullptr);
  EXPECT_EQ(xrcInjectionMethod(library_), kXrcXTest);
  EXPECT_EQ(xrcCapabilities(library_) & 3, 3u);
  XSync(library_, False);  // the server has taken the grab control before the grab
  XGrabServer(client_);
  XSync(client_, False);
  ASSERT_EQ(xrcMovePointer(library_, kXrcMouse, 0, 123, 45, 1), nullptr);
  Window root, child;
  int x = 0, y = 0, wx, wy;
  unsigned int state;
  for (int i = 0; i < 500 && x != 123; i++) {  // the move is carried out while the grab holds (5 s under load)
    usleep(20000);
    XQueryPointer(client_, DefaultRootWindow(client_), &root, &child, &x, &y, &wx, &wy, &state);
  }
  EXPECT_EQ(x, 123);
  EXPECT_EQ(y, 45);
  XUngrabServer(client_);
  XSync(client_, False);
}

TEST_F(XrcInput, TypedTextGivesItsKeysymsWithShiftAsNeeded) {
  open();
  focusedWindow(client_, KeyPressMask);
  xrcAttachDisplay(library_, kXrcFakeInput);
  xrcSetOption(library_, kXrcOptKeyHold, 2);
  xrcSetOption(library_, kXrcOptTypeGap, 2);
  const char* text = "Hello World 1!";
  ASSERT_EQ(xrcTypeUtf8(library_, kXrcKeyboard, text), nullptr);
  std::vector<std::pair<KeySym, bool>> keys = typed(strlen(text));
  ASSERT_EQ(keys.size(), strlen(text));
  for (size_t i = 0; i < keys.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    EXPECT_EQ(keys[i].first, c == ' ' ? XK_space : KeySym{c}) << i;
    EXPECT_EQ(keys[i].second, isupper(c) || c == '!') << i;
  }
  // Shift is let go again: the server's state holds no modifier.
  XSync(library_, False);
  EXPECT_EQ(xrcGetModifierState(library_, kXrcKeyboard) & ShiftMask, 0u);
}

TEST_F(XrcInput, TwoByteCharacterFromAMappedKeysym) {
  ASSERT_EQ(test::runProgram({"xmodmap", "-e", "keycode 200 = degree"}, xvfb_.display()).status, 0);
  open();
  focusedWindow(client_, KeyPressMask);
  xrcAttachDisplay(library_, kXrcFakeInput);
  xrcSetOption(library_, kXrcOptKeyHold, 2);
  xrcSetOption(library_, kXrcOptTypeGap, 2);
  EXPECT_EQ(xrcKeysymToKeycode(library_, kXrcKeyboard, XK_degree), 200u);
  ASSERT_EQ(xrcTypeUtf8(library_, kXrcKeyboard, "a\xC2\xB0" "b"), nullptr);
  std::vector<std::pair<KeySym, bool>> keys = typed(3);
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0].first, XK_a);
  EXPECT_EQ(keys[1].first, XK_degree);
  EXPECT_EQ(keys[2].first, XK_b);
  const char* error = xrcTypeChar(library_, kXrcKeyboard, 0x263a);  // no key for it
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("No keysym 'U263A' in keyboard mapping"), std::string::npos) << error;
}

TEST_F(XrcInput, SmoothMotionStepsOnePixelAtATime) {
  open();
  Window window = focusedWindow(client_, PointerMotionMask);
  ASSERT_EQ(xrcMovePointer(library_, kXrcMouse, 0, 0, 0, 1), nullptr);
  XSync(library_, False);
  XSync(client_, True);  // drop what the first move caused
  xrcSetOption(library_, kXrcOptSmoothMotion, 1);
  ASSERT_EQ(xrcMovePointer(library_, kXrcMouse, 0, 3, 1, 1), nullptr);
  std::vector<std::pair<int, int>> seen;
  waitForEvent(client_, [&](const XEvent& e) {
    if (e.type == MotionNotify && e.xmotion.window == window) seen.emplace_back(e.xmotion.x, e.xmotion.y);
    return seen.size() == 3;
  });
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST_F(XrcInput, SyntheticMethodSendsClientEvents) {
  open();
  Window window = focusedWindow(client_, KeyPressMask | ButtonPressMask);
  ASSERT_EQ(xrcSetInjectionMethod(library_, kXrcSynthetic), nullptr);
  EXPECT_EQ(xrcInjectionMethod(library_), kXrcSynthetic);
  XWarpPointer(library_, None, window, 0, 0, 0, 0, 20, 20);
  ASSERT_EQ(xrcPressKey(library_, kXrcKeyboard, 38), nullptr);
  ASSERT_EQ(xrcPressButton(library_, kXrcMouse, 1), nullptr);
  XEvent key = {}, button = {};
  ASSERT_TRUE(waitForEvent(client_, [&](const XEvent& e) { return e.type == KeyPress && (key = e, true); }));
  ASSERT_TRUE(waitForEvent(client_, [&](const XEvent& e) { return e.type == ButtonPress && (button = e, true); }));
  EXPECT_TRUE(key.xkey.send_event);
  EXPECT_EQ(key.xkey.keycode, 38u);
  EXPECT_TRUE(button.xbutton.send_event);
  EXPECT_EQ(button.xbutton.button, 1u);
  EXPECT_EQ(xrcGetButtonState(library_, kXrcMouse), 0u);  // nothing really pressed
}

// A test grab that succeeds is let go at once; one that fails tells of
// another client's grab.
TEST_F(XrcInput, GrabTestReleasesWhatItGot) {
  open();
  Window root = DefaultRootWindow(client_);
  EXPECT_EQ(xrcIsGrabbed(library_, kXrcMouse), 0);
  EXPECT_EQ(xrcIsGrabbed(library_, kXrcKeyboard), 0);
  EXPECT_EQ(XGrabPointer(client_, root, False, 0, GrabModeAsync, GrabModeAsync, None, None, CurrentTime), GrabSuccess);
  EXPECT_EQ(XGrabKeyboard(client_, root, False, GrabModeAsync, GrabModeAsync, CurrentTime), GrabSuccess);
  XSync(client_, False);
  EXPECT_EQ(xrcIsGrabbed(library_, kXrcMouse), 1);
  EXPECT_EQ(xrcIsGrabbed(library_, kXrcKeyboard), 1);
}

// "Device Enabled" of a device found by name, -1 when it cannot be read.
long deviceEnabled(Display* display, const char* name) {
  int count = 0;
  XIDeviceInfo* devices = XIQueryDevice(display, XIAllDevices, &count);
  int id = -1;
  for (int i = 0; i < count; i++) {
    if (strcmp(devices[i].name, name) == 0) id = devices[i].deviceid;
  }
  XIFreeDeviceInfo(devices);
  Atom atom = XInternAtom(display, "Device Enabled", True);
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  if (id < 0 || XIGetProperty(display, id, atom, 0, 1, False, XA_INTEGER, &type, &format, &n, &after, &data) !=
                    Success || !data) {
    return -1;
  }
  long value = data[0];
  XFree(data);
  return value;
}

TEST_F(XrcInput, InputOffLeavesTheLibrarysOwnDevicesOn) {
  open();
  test::xErrorCount() = 0;
  ASSERT_EQ(xrcDisableInput(library_), nullptr);
  XSync(library_, False);
  EXPECT_EQ(test::xErrorCount(), 0);
  EXPECT_EQ(deviceEnabled(client_, "Xvfb mouse"), 0);
  EXPECT_EQ(deviceEnabled(client_, "Xvfb keyboard"), 0);
  EXPECT_EQ(deviceEnabled(client_, "Virtual core XTEST pointer"), 1);
  EXPECT_EQ(deviceEnabled(client_, "Virtual core XTEST keyboard"), 1);
  EXPECT_EQ(xrcInputDisabled(library_), 1);
  ASSERT_EQ(test::runProgram({"xdotool", "mousemove", "10", "20"}, xvfb_.display()).status, 0);
  Window root, child;
  int x = 0, y = 0, wx, wy;
  unsigned int state;
  XQueryPointer(client_, DefaultRootWindow(client_), &root, &child, &x, &y, &wx, &wy, &state);
  EXPECT_EQ(x, 10);
  EXPECT_EQ(y, 20);
  ASSERT_EQ(xrcEnableInput(library_), nullptr);
  XSync(library_, False);
  EXPECT_EQ(deviceEnabled(client_, "Xvfb mouse"), 1);
  EXPECT_EQ(deviceEnabled(client_, "Xvfb keyboard"), 1);
  EXPECT_EQ(xrcInputDisabled(library_), 0);
  EXPECT_EQ(test::xErrorCount(), 0);
}

// The keyboard-off property names its devices; any client may write it, so
// ids that name no listed device send the library back to its own search.
TEST_F(XrcInput, KeyboardOffPropertyTakenOnlyWithListedDevices) {
  struct {
    const char* text;
    u32 null;
  } cases[] = {{"physical=3 null=7", 7}, {"physical=3 null=300", 5}, {"physical=3 null=99", 5}, {"junk", 5}};
  for (auto& c : cases) {
    Display* writer = openCounted(xvfb_.display());
    Atom atom = XInternAtom(writer, "_ZAV_KEYBOARD_OFF", False);
    XChangeProperty(writer, DefaultRootWindow(writer), atom, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(c.text), static_cast<int>(strlen(c.text)));
    XSync(writer, False);
    Display* display = openCounted(xvfb_.display());
    EXPECT_EQ(xrcAttachDisplay(display, kXrcKeyboardOff), nullptr) << c.text;
    EXPECT_EQ(xrcNullDevice(display, kXrcKeyboard), c.null) << c.text;
    XCloseDisplay(display);
    XCloseDisplay(writer);
  }
}

}  // namespace
}  // namespace palvon

// Pointer and keyboard across two real servers side by side in one meta
// screen, input control on A: the pointer crossing from A onto B and back,
// relative motion on A driving B's pointer, keys and clicks of A replayed on
// B, the click that moves input control, pointer maps, rotation without a
// null mouse, and a closed head window that cannot be removed.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/visual.h"
#include "base/orders.h"
#include "support/logcapture.h"
#include "support/xvfb.h"
#include "xsupport/rclib/keymap.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/xtarget.h"

extern "C" void __lsan_disable() __attribute__((weak));

namespace palvon {
namespace {

constexpr i32 kBorder = 1;
constexpr i32 kWidth = 1280, kHeight = 1024;

struct Point {
  int x, y;
};

// Where a test connection sees the server's pointer.
Point pointerOf(Display* display) {
  Window root, child;
  int x = 0, y = 0, wx, wy;
  unsigned mask;
  XQueryPointer(display, DefaultRootWindow(display), &root, &child, &x, &y, &wx, &wy, &mask);
  return {x, y};
}

class TwoServersInput : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    a_ = new test::Xvfb({"-screen", "0", "1280x1024x24"});
    b_ = new test::Xvfb({"-screen", "0", "1280x1024x24"});
  }
  static void TearDownTestSuite() {
    delete a_;
    delete b_;
  }

  void SetUp() override {
    ASSERT_TRUE(a_->ok() && b_->ok()) << a_->error() << b_->error();
    ordersInit();
    ASSERT_EQ(openServerDisplay(a_->display().c_str(), 0, &sa_), nullptr);
    ASSERT_EQ(openServerDisplay(b_->display().c_str(), 0, &sb_), nullptr);
    XSetErrorHandler(xtargetErrorHandler);  // X errors become log lines
    ta_ = XOpenDisplay(a_->display().c_str());
    tb_ = XOpenDisplay(b_->display().c_str());
    ASSERT_TRUE(ta_ && tb_);
    savedScreens_ = proxyState.screens;
    proxyState.screens = nullptr;
    screen_ = createMetaScreen();
    headA_ = addHead("a", sa_, 0);
    headB_ = addHead("b", sb_, kWidth - 2 * kBorder);
    screen_->width = u32(2 * (kWidth - 2 * kBorder));
    screen_->height = u32(kHeight - 2 * kBorder);
    inputState = InputState{};
    inputState.deviceLastX = inputState.deviceLastY = kNoDevicePosition;
    inputState.focusWindow = PointerRoot;
    inputState.focusRevertTo = RevertToPointerRoot;
    inputControlDisplay = sa_;
    headsReady = 1;
    syncInputAcrossHeads(kXrcMouse, nullptr, screen_, 639, 511, true);
    settle();
  }

  void TearDown() override {
    setPointerMoveSink(nullptr);
    while (inputState.pollCount) popPointerPollInterval(kXrcMouse);
    // What a switch of input control saved; closing a display normally puts
    // it back and frees it.
    for (ServerDisplay* server : {sa_, sb_}) {
      if (!server) continue;
      if (server->savedKeyboard) xrcFreeKeyboardMapping(server->savedKeyboard);
      free(server->savedKeyboard);
      free(server->savedPointer);
      server->savedKeyboard = nullptr, server->savedPointer = nullptr;
    }
    while (screen_ && screen_->heads) {
      Head* h = screen_->heads;
      destroyHead(h, true);
      releaseScaler(&h->scaler);
      unbindHeadFromServerDisplay(h);
      freeHeadVisuals(h->visuals, h->visualCount);
      free(h);
    }
    if (screen_) free(screen_->name), free(screen_);
    proxyState.screens = savedScreens_;
    inputState = InputState{};
    inputControlDisplay = nullptr;
    headsReady = 0;
    if (ta_) XCloseDisplay(ta_);
    if (tb_) XCloseDisplay(tb_);
    ordersFreeAll();
  }

  // A head on its root with the proxy's windows: the head window over the
  // screen, the inner window inside the border reporting crossings, and in
  // it the click window (blank cursor) and the pan window (3 pixels in,
  // reporting buttons, leaving and motion); the key-grab window off screen.
  Head* addHead(const char* name, ServerDisplay* server, i32 logicalX) {
    Head* head = nullptr;
    EXPECT_EQ(createHead(name, server->displayName, server->display, 0, 0, &head), nullptr);
    bindHeadToServerDisplay(head, server);
    head->borderWidth = kBorder;
    head->clip = {kBorder, kBorder, kWidth - 2 * kBorder, kHeight - 2 * kBorder};
    head->logical = {logicalX, 0, head->clip.width, head->clip.height};
    addHeadToScreen(head, screen_);
    Display* d = server->display;
    Window root = DefaultRootWindow(d);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    head->window = XCreateWindow(d, root, 0, 0, kWidth, kHeight, 0, CopyFromParent, InputOutput, CopyFromParent,
                                 CWOverrideRedirect, &attributes);
    attributes.event_mask = EnterWindowMask | LeaveWindowMask;
    head->innerWindow = XCreateWindow(d, head->window, kBorder, kBorder, u32(head->clip.width),
                                      u32(head->clip.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                      CWEventMask, &attributes);
    head->cursorWindow = XCreateWindow(d, head->innerWindow, 0, 0, 65535, 65535, 0, 0, InputOnly, CopyFromParent, 0,
                                       nullptr);
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | LeaveWindowMask | PointerMotionMask;
    head->trackingWindow = XCreateWindow(d, head->innerWindow, 3, 3, u32(head->clip.width - 6),
                                         u32(head->clip.height - 6), 0, 0, InputOnly, CopyFromParent, CWEventMask,
                                         &attributes);
    attributes.override_redirect = True;
    head->keyGrabWindow = XCreateWindow(d, root, -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, CWOverrideRedirect,
                                        &attributes);
    XGrabKey(d, AnyKey, AnyModifier, head->keyGrabWindow, True, GrabModeAsync, GrabModeAsync);
    XMapWindow(d, head->keyGrabWindow);
    XMapWindow(d, head->innerWindow);
    XMapWindow(d, head->window);
    XSync(d, False);
    computePointerTransformation(head);
    return head;
  }

  // Handles both servers' events until the condition holds (3 s at most).
  bool pump(const std::function<bool()>& done, int timeoutMs = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      processDisplayEvents(sa_->display, true);
      processDisplayEvents(sb_->display, true);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  // Lets every event through, and those that handling them makes (a warp
  // back, a move on the other server), until a round trip on both servers
  // brings none.
  void settle() {
    for (int round = 0; round < 100; round++) {
      XSync(sa_->display, False);
      XSync(sb_->display, False);
      if (!XEventsQueued(sa_->display, QueuedAlready) && !XEventsQueued(sb_->display, QueuedAlready)) return;
      processDisplayEvents(sa_->display, true);
      processDisplayEvents(sb_->display, true);
    }
  }

  bool logged(const std::string& text) const {
    for (const std::string& line : log_.lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  void moveOnA(int x, int y) {
    XTestFakeMotionEvent(ta_, 0, x, y, CurrentTime);
    XSync(ta_, False);
  }

  // From A across its right edge onto B.
  void crossOntoB() {
    moveOnA(kWidth - 1, 500);
    ASSERT_TRUE(pump([&] { return inputState.pointerHead == headB_; })) << "pointer stayed on a";
    settle();
  }

  static test::Xvfb* a_;
  static test::Xvfb* b_;
  test::LogCapture log_{{&logChStep, &logChXhint, &logChWarning, &logChProblem, &logChXerror}};
  ServerDisplay* sa_ = nullptr;
  ServerDisplay* sb_ = nullptr;
  Display* ta_ = nullptr;  // test connections: the keyboard and mouse of each server
  Display* tb_ = nullptr;
  MetaScreen* screen_ = nullptr;
  Head* headA_ = nullptr;
  Head* headB_ = nullptr;

 private:
  MetaScreen* savedScreens_ = nullptr;
};

test::Xvfb* TwoServersInput::a_;
test::Xvfb* TwoServersInput::b_;

TEST_F(TwoServersInput, PointerCrossesOntoBAndRelativeMotionOnADrivesIt) {
  ASSERT_EQ(inputState.pointerHead, headA_);
  crossOntoB();
  EXPECT_TRUE(logged("Pointer warped to b at 1278,499 from a"));
  EXPECT_EQ(inputState.pointerX, 1278);
  Point onB = pointerOf(tb_);
  EXPECT_EQ(onB.x, kBorder);  // B's left edge
  EXPECT_EQ(onB.y, 500);
  Point onA = pointerOf(ta_);
  EXPECT_EQ(onA.x, kBorder + (kWidth - 2 * kBorder) / 2);  // the centre of A's head
  EXPECT_EQ(onA.y, kBorder + (kHeight - 2 * kBorder) / 2);

  XTestFakeRelativeMotionEvent(ta_, 40, 0, CurrentTime);
  XSync(ta_, False);
  ASSERT_TRUE(pump([&] { return pointerOf(tb_).x == kBorder + 40; })) << pointerOf(tb_).x;
  EXPECT_EQ(inputState.pointerHead, headB_);

  // A jump far past the pan window is a warp, not a crossing out of A.
  XTestFakeRelativeMotionEvent(ta_, -700, 0, CurrentTime);
  XSync(ta_, False);
  settle();
  EXPECT_EQ(inputState.pointerHead, headB_);
  EXPECT_EQ(pointerOf(ta_).x, kBorder + (kWidth - 2 * kBorder) / 2);

  XTestFakeRelativeMotionEvent(ta_, -100, 0, CurrentTime);
  XSync(ta_, False);
  ASSERT_TRUE(pump([&] { return inputState.pointerHead == headA_; }));
  EXPECT_EQ(inputState.pointerX, 1278 + 40 - 100);
  EXPECT_TRUE(pump([&] { return pointerOf(ta_).x == 1278 + 40 - 100 + kBorder; })) << pointerOf(ta_).x;
}

TEST_F(TwoServersInput, MotionBurstOnAMovesTheMetaPointerOnce) {
  crossOntoB();
  static int moves;
  moves = 0;
  setPointerMoveSink([](Head*, bool, i32, i32) { moves++; });
  i32 before = inputState.pointerX;
  for (int i = 0; i < 10; i++) XTestFakeRelativeMotionEvent(ta_, 5, 0, CurrentTime);
  XSync(ta_, False);
  processDisplayEvents(sa_->display, true);
  EXPECT_EQ(inputState.pointerX, before + 50);
  EXPECT_EQ(moves, 1);
}

TEST_F(TwoServersInput, KeysAndClicksOfAReachTheWindowUnderBsPointer) {
  crossOntoB();
  // A window on B under B's pointer, as a client would have it there.
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.event_mask = KeyPressMask | ButtonPressMask | ButtonReleaseMask;
  Window target = XCreateWindow(tb_, DefaultRootWindow(tb_), 0, 0, 400, kHeight, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
  XMapRaised(tb_, target);
  XSync(tb_, False);
  KeyCode shift = XKeysymToKeycode(ta_, XK_Shift_L), a = XKeysymToKeycode(ta_, XK_a);
  XTestFakeKeyEvent(ta_, shift, True, CurrentTime);
  XTestFakeKeyEvent(ta_, a, True, CurrentTime);
  XTestFakeKeyEvent(ta_, a, False, CurrentTime);
  XTestFakeKeyEvent(ta_, shift, False, CurrentTime);
  XTestFakeButtonEvent(ta_, 1, True, CurrentTime);
  XTestFakeButtonEvent(ta_, 1, False, CurrentTime);
  XSync(ta_, False);
  std::string typed;
  int presses = 0, releases = 0;
  pump([&] {
    while (XPending(tb_)) {
      XEvent event;
      XNextEvent(tb_, &event);
      if (event.type == KeyPress) {
        char text[8] = {};
        if (XLookupString(&event.xkey, text, sizeof text - 1, nullptr, nullptr) > 0) typed += text;
      }
      if (event.type == ButtonPress && event.xbutton.button == 1) presses++;
      if (event.type == ButtonRelease && event.xbutton.button == 1) releases++;
    }
    return typed == "A" && presses == 1 && releases == 1;
  });
  EXPECT_EQ(typed, "A");
  EXPECT_EQ(presses, 1);
  EXPECT_EQ(releases, 1);
  XDestroyWindow(tb_, target);
  XSync(tb_, False);
}

TEST_F(TwoServersInput, KeysOutsideTheMetaRangeAreNeverSent) {
  crossOntoB();
  proxyState.minKeycode = 8, proxyState.maxKeycode = 60;
  KeyCode left = XKeysymToKeycode(ta_, XK_Left);
  ASSERT_GT(left, 60);
  XTestFakeKeyEvent(ta_, left, True, CurrentTime);
  XTestFakeKeyEvent(ta_, left, False, CurrentTime);
  XSync(ta_, False);
  settle();
  XSync(sb_->display, False);  // an X error for the key would arrive here
  EXPECT_FALSE(logged("Xerror: "));
  proxyState.minKeycode = proxyState.maxKeycode = 0;
}

TEST_F(TwoServersInput, ADragFollowsThePointerUntilTheButtonIsUp) {
  Display* d = sb_->display;
  Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 100, 50, 50, 0, 0, 0);
  XMapWindow(d, window);
  XSync(d, False);
  // The button is up already: nothing to follow, nothing grabbed.
  EXPECT_TRUE(dragWindowWithPointer(d, window, 0, 120, 120));
  EXPECT_FALSE(windowDragActive(d));
  XTestFakeMotionEvent(tb_, 0, 120, 120, CurrentTime);
  XTestFakeButtonEvent(tb_, 1, True, CurrentTime);
  XSync(tb_, False);
  ASSERT_TRUE(dragWindowWithPointer(d, window, 0, 120, 120));
  EXPECT_TRUE(windowDragActive(d));
  XTestFakeMotionEvent(tb_, 0, 150, 160, CurrentTime);
  XSync(tb_, False);
  auto origin = [&] {
    Window child;
    int x = 0, y = 0;
    XTranslateCoordinates(tb_, window, DefaultRootWindow(tb_), 0, 0, &x, &y, &child);
    return Point{x, y};
  };
  EXPECT_TRUE(pump([&] { return origin().x == 130 && origin().y == 140; })) << origin().x << "," << origin().y;
  XTestFakeButtonEvent(tb_, 1, False, CurrentTime);
  XSync(tb_, False);
  EXPECT_TRUE(pump([&] { return !windowDragActive(d); }));
  XDestroyWindow(d, window);
  XSync(d, False);
}

TEST_F(TwoServersInput, AClickIntoBMovesInputControlOnlyWithClickTransfer) {
  auto clickOnB = [&] {
    XTestFakeMotionEvent(tb_, 0, 300, 300, CurrentTime);
    XTestFakeButtonEvent(tb_, 1, True, CurrentTime);
    XTestFakeButtonEvent(tb_, 1, False, CurrentTime);
    XSync(tb_, False);
  };
  clickOnB();
  ASSERT_TRUE(pump([&] { return logged("Clicked into b but clickTransfer from a is off"); }));
  EXPECT_EQ(inputControlDisplay, sa_);

  headA_->clickTransfer = 1;
  clickOnB();
  ASSERT_TRUE(pump([&] { return inputControlDisplay == sb_; }));
  EXPECT_TRUE(logged("Switching input control to " + std::string(sb_->displayName)));
  EXPECT_EQ(inputState.pointerHead, headB_);
  settle();
  // B's own mouse now drives the meta pointer: off its left edge onto A.
  XTestFakeMotionEvent(tb_, 0, 0, 400, CurrentTime);
  XSync(tb_, False);
  ASSERT_TRUE(pump([&] { return inputState.pointerHead == headA_; }));
  EXPECT_EQ(inputState.pointerX, kWidth - 2 * kBorder - 1);
  EXPECT_EQ(inputState.pointerY, 399);
}

TEST_F(TwoServersInput, PointerMapsCopyAndComeBack) {
  u8 original[16];
  int countB = XGetPointerMapping(tb_, original, 16);
  ASSERT_GE(countB, 3);
  PointerSettings saved{};
  ASSERT_EQ(savePointerSettings(sb_->display, &saved), nullptr);
  u8 left[16];
  int countA = XGetPointerMapping(ta_, left, 16);
  std::swap(left[0], left[2]);
  ASSERT_EQ(XSetPointerMapping(ta_, left, countA), MappingSuccess);
  XSync(ta_, False);
  EXPECT_EQ(copyPointerMapping(sa_->display, sb_->display), nullptr);
  u8 copied[16];
  ASSERT_EQ(XGetPointerMapping(tb_, copied, 16), countB);
  EXPECT_EQ(copied[0], 3);
  EXPECT_EQ(copied[2], 1);
  restorePointerSettings(sb_->display, &saved);
  XSync(sb_->display, False);
  u8 back[16];
  XGetPointerMapping(tb_, back, 16);
  EXPECT_EQ(back[0], original[0]);
  EXPECT_EQ(back[2], original[2]);
  std::swap(left[0], left[2]);
  XSetPointerMapping(ta_, left, countA);
  XSync(ta_, False);
}

TEST_F(TwoServersInput, ARotatedHeadWithoutNullMousePollsInstead) {
  headA_->rotation = 1;
  headA_->pointerRotation = 1;
  beginPointerRotation(headA_);
  EXPECT_TRUE(logged("No mouse interception"));
  EXPECT_EQ(inputState.rotationHead, nullptr);
  EXPECT_EQ(inputState.pollInterval, 60u);
  endPointerRotation(headA_);
  EXPECT_EQ(inputState.pollCount, 0u);
  headA_->rotation = 0;
}

// The forked child uses connections of its own: the parent's would fall out
// of step if the child read from them.
TEST_F(TwoServersInput, AClosedHeadWindowThatCannotGoEndsTheProxy) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        if (__lsan_disable) __lsan_disable();
        proxyConfig.options &= ~kOptionDynamicServer;  // the head cannot be removed alone
        logWriter = [](LogChannel*, const char*, u32, const char* text) { fprintf(stderr, "%s\n", text); };
        ServerDisplay* own = nullptr;
        if (openServerDisplay(b_->display().c_str(), 0, &own)) exit(4);
        Display* user = XOpenDisplay(b_->display().c_str());
        Window shown = XCreateSimpleWindow(user, DefaultRootWindow(user), 0, 0, 10, 10, 0, 0, 0);
        XSync(user, False);
        Head* head = nullptr;
        if (createHead("c", own->displayName, own->display, 0, 0, &head)) exit(5);
        bindHeadToServerDisplay(head, own);
        addHeadToScreen(head, screen_);
        head->inWindow = 1;
        head->window = shown;
        XSelectInput(own->display, shown, StructureNotifyMask);
        XSync(own->display, False);
        XDestroyWindow(user, shown);
        XSync(user, False);
        // The window's end is in the connection's input already: the proxy
        // ends on reading it, within a bound that a busy machine keeps.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
          processDisplayEvents(own->display, true);
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        exit(3);
      },
      testing::ExitedWithCode(0), "Window c closed");
}

}  // namespace
}  // namespace palvon

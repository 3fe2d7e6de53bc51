// Heads shown in a window, under a window manager played by a small Xlib
// program: the window's properties for the window manager, iconifying, a
// window manager that never maps the window, and the protocol helpers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "Proxy/heads/headwindow.h"
#include "Proxy/heads/screen.h"
#include "Proxy/servers/failsafe.h"
#include "support/headsrig.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::HeadsRig;

const std::vector<std::string> kScreen = {"-screen", "0", "800x600x24"};

// A window manager in a child process: it redirects the root's
// substructure, maps what asks to be mapped (unless told not to), and
// reports every WM_CHANGE_STATE it gets as "state <n>" lines on a pipe.
class TestWindowManager {
 public:
  TestWindowManager(const std::string& display, bool mapWindows) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      run(display, mapWindows, fds[1]);
      _exit(0);
    }
    close(fds[1]);
    fd_ = fds[0];
    ready_ = readLine(5000) == "ready";
  }
  ~TestWindowManager() {
    if (pid_ > 0) test::stopProcess(pid_, SIGTERM, 3000);
    if (fd_ >= 0) close(fd_);
  }
  bool ready() const { return ready_; }
  // The next line, "" when none comes in time.
  std::string readLine(int timeoutMs) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char c;
      if (read(fd_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return "";
  }

 private:
  static void say(int fd, const std::string& text) {
    std::string line = text + "\n";
    if (write(fd, line.data(), line.size()) < 0) _exit(1);
  }
  static void run(const std::string& name, bool mapWindows, int fd) {
    Display* d = XOpenDisplay(name.c_str());
    if (!d) _exit(1);
    Window root = DefaultRootWindow(d);
    Atom changeState = XInternAtom(d, "WM_CHANGE_STATE", False);
    XSelectInput(d, root, SubstructureRedirectMask | SubstructureNotifyMask);
    XSync(d, False);
    say(fd, "ready");
    for (;;) {
      XEvent event;
      XNextEvent(d, &event);
      if (event.type == MapRequest && mapWindows) XMapWindow(d, event.xmaprequest.window);
      if (event.type == ConfigureRequest) {
        XWindowChanges changes{};
        changes.x = event.xconfigurerequest.x, changes.y = event.xconfigurerequest.y;
        changes.width = event.xconfigurerequest.width, changes.height = event.xconfigurerequest.height;
        XConfigureWindow(d, event.xconfigurerequest.window, unsigned(event.xconfigurerequest.value_mask) & 0xf,
                         &changes);
      }
      if (event.type == ClientMessage && event.xclient.message_type == changeState)
        say(fd, "state " + std::to_string(event.xclient.data.l[0]));
      XFlush(d);
    }
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  bool ready_ = false;
};

std::string xprop(const std::string& display, Window window) {
  return test::runProgram({"xprop", "-id", std::to_string(window)}, display).out;
}

TEST(InWindowHead, TellsTheWindowManagerWhatItIs) {
  HeadsRig rig({kScreen});
  ASSERT_TRUE(rig.ok());
  TestWindowManager manager(rig.display(0), true);
  ASSERT_TRUE(manager.ready());
  ASSERT_EQ(rig.configure("options InWindow\nwindow @0.0 displayX 10 displayY 20 displayWidth 300 "
                          "displayHeight 200\n"),
            "");
  ASSERT_EQ(rig.start(), "");
  Head* head = rig.head(0, 0);
  ASSERT_NE(head->window, 0u);
  std::string props = xprop(rig.display(0), head->window);
  std::string name = head->name;
  EXPECT_NE(props.find("WM_NAME(STRING) = \"Palvon: " + name + "\""), std::string::npos) << props;
  EXPECT_NE(props.find("WM_ICON_NAME(STRING) = \"" + name + "\""), std::string::npos) << props;
  EXPECT_NE(props.find("\"PALVON\""), std::string::npos) << props;
  EXPECT_NE(props.find("WM_PROTOCOLS(ATOM): protocols  WM_DELETE_WINDOW"), std::string::npos) << props;
  EXPECT_NE(props.find("bitmap id # to use for icon:"), std::string::npos) << props;
  EXPECT_NE(props.find("user specified location: 10, 20"), std::string::npos) << props;
  EXPECT_NE(props.find("user specified size: 300 by 200"), std::string::npos) << props;
}

TEST(InWindowHead, AnIconifiedHeadAsksTheWindowManager) {
  HeadsRig rig({kScreen});
  ASSERT_TRUE(rig.ok());
  TestWindowManager manager(rig.display(0), true);
  ASSERT_TRUE(manager.ready());
  ASSERT_EQ(rig.configure("options InWindow\nwindow @0.0 tags iconify\n"), "");
  ASSERT_EQ(rig.start(), "");
  EXPECT_EQ(manager.readLine(5000), "state " + std::to_string(IconicState));
}

TEST(InWindowHead, AWindowNeverMappedFailsAfterTheTimeOut) {
  HeadsRig rig({kScreen});
  ASSERT_TRUE(rig.ok());
  TestWindowManager manager(rig.display(0), false);
  ASSERT_TRUE(manager.ready());
  ASSERT_EQ(rig.configure("options InWindow Failsafe\nwindow @0.0 failsafeTimeout 1\n"), "");
  auto started = std::chrono::steady_clock::now();
  std::string error = rig.start();
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(error, "Window of " + std::string(rig.head(0, 0)->name) + " not mapped within 1000 ms");
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(5000));
}

// --- Protocol helpers -------------------------------------------------------------------

class WindowManagerProtocol : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    xfsInstall();
    display_ = XOpenDisplay(server_.display().c_str());
    ASSERT_NE(display_, nullptr);
    xfsAttach(display_);
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 10, 10, 0, 0, 0);
  }
  void TearDown() override {
    if (!display_) return;
    xfsForget(display_);
    XCloseDisplay(display_);
  }
  test::Xvfb server_{{"-screen", "0", "320x240x24"}};
  Display* display_ = nullptr;
  Window window_ = 0;
};

TEST_F(WindowManagerProtocol, OnlyAnotherClientsDeleteMessageCloses) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.display = display_;
  event.xclient.window = window_;
  event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = long(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  event.xclient.send_event = True;
  EXPECT_EQ(isWMDeleteMessage(&event), window_);
  event.xclient.send_event = False;
  EXPECT_EQ(isWMDeleteMessage(&event), 0u);
  event.xclient.send_event = True;
  event.xclient.format = 8;
  EXPECT_EQ(isWMDeleteMessage(&event), 0u);
}

TEST_F(WindowManagerProtocol, AnEmptyColormapListRemovesTheProperty) {
  Window list[2] = {window_, DefaultRootWindow(display_)};
  setWMColormapWindows(display_, window_, list, 2);
  XSync(display_, False);
  EXPECT_NE(xprop(server_.display(), window_).find("WM_COLORMAP_WINDOWS(WINDOW)"), std::string::npos);
  setWMColormapWindows(display_, window_, list, 0);
  XSync(display_, False);
  EXPECT_EQ(xprop(server_.display(), window_).find("WM_COLORMAP_WINDOWS"), std::string::npos);
}

TEST_F(WindowManagerProtocol, TheFrameIsTheAncestorBelowTheRoot) {
  Window frame = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 50, 50, 0, 0, 0);
  Window middle = XCreateSimpleWindow(display_, frame, 0, 0, 40, 40, 0, 0, 0);
  Window inner = XCreateSimpleWindow(display_, middle, 0, 0, 30, 30, 0, 0, 0);
  EXPECT_EQ(findFrameWindow(display_, inner), frame);
  EXPECT_EQ(findFrameWindow(display_, frame), frame);
  EXPECT_TRUE(isWindowUnmapped(display_, inner));
}

// --- The head's cursor ------------------------------------------------------------------

struct CursorRow {
  double zoom;
  u32 rotation;
  HeadCursorShape shape;
};

class CursorShapes : public testing::TestWithParam<CursorRow> {};

TEST_P(CursorShapes, GrowWithThePointerZoomAndTurnTheHotSpot) {
  Head head{};
  head.zoomX = head.zoomY = GetParam().zoom;
  head.rotation = GetParam().rotation;
  HeadCursorShape shape = headCursorShape(&head);
  EXPECT_EQ(shape.width, GetParam().shape.width);
  EXPECT_EQ(shape.height, GetParam().shape.height);
  EXPECT_EQ(shape.hotX, GetParam().shape.hotX);
  EXPECT_EQ(shape.hotY, GetParam().shape.hotY);
}

INSTANTIATE_TEST_SUITE_P(Rows, CursorShapes,
                         testing::Values(CursorRow{1.0, 0, {16, 16, 7, 9}}, CursorRow{2.0, 0, {32, 32, 14, 18}},
                                         CursorRow{1.0, 1, {16, 16, 9, 8}}, CursorRow{1.0, 2, {16, 16, 8, 6}},
                                         CursorRow{1.0, 3, {16, 16, 6, 7}}));

}  // namespace
}  // namespace palvon

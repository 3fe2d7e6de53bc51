// DOUBLE-BUFFER through the proxy program in front of two Xvfb side by
// side: a window across the seam draws into its back buffer on both
// servers and a swap shows it on both; requests that fail change nothing;
// a client of the other byte order reads the same visual lists.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

// After gtest: Xlib's macros (None, Bool) would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdbe.h>

namespace palvon::test {
namespace {

constexpr int kHeadWidth = 320, kHeadHeight = 240;

struct ErrorCatch {
  static inline int code = 0;
  static inline unsigned long value = 0;
  static int handler(Display*, XErrorEvent* event) {
    code = event->error_code;
    value = event->resourceid;
    return 0;
  }
  static void reset() { code = 0, value = 0; }
};

class DoubleBuffer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{
          "-screen", "0", std::to_string(kHeadWidth) + "x" + std::to_string(kHeadHeight) + "x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      words.push_back(servers.back()->display() + ".0");
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    display = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(display, nullptr);
    XSetErrorHandler(ErrorCatch::handler);
    ErrorCatch::reset();
    int major = 0, minor = 0;
    ASSERT_TRUE(XdbeQueryExtension(display, &major, &minor));
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }

  // A mapped window at meta (x, y) with a white background.
  Window window(int x, int y, int width, int height, int windowClass = InputOutput) {
    XSetWindowAttributes attributes{};
    attributes.background_pixel = WhitePixel(display, 0);
    attributes.override_redirect = True;
    Window w = XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0,
                             windowClass == InputOnly ? 0 : CopyFromParent, windowClass, CopyFromParent,
                             windowClass == InputOnly ? CWOverrideRedirect : CWBackPixel | CWOverrideRedirect,
                             &attributes);
    XMapWindow(display, w);
    XSync(display, False);
    return w;
  }
  void fill(Drawable drawable, unsigned long pixel, int width, int height) {
    GC gc = XCreateGC(display, drawable, 0, nullptr);
    XSetForeground(display, gc, pixel);
    XFillRectangle(display, drawable, gc, 0, 0, width, height);
    XFreeGC(display, gc);
  }
  // A pixel of a server's root, read from that server itself.
  unsigned long serverPixel(int server, int x, int y) {
    Display* direct = XOpenDisplay(servers[server]->display().c_str());
    if (!direct) return ~0ul;
    XImage* image = XGetImage(direct, DefaultRootWindow(direct), x, y, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = image ? XGetPixel(image, 0, 0) & 0xffffff : ~0ul;
    if (image) XDestroyImage(image);
    XCloseDisplay(direct);
    return pixel;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
  Display* display = nullptr;
};

// The window spans the seam at meta x 320: its left part on A, its right
// part on B.
TEST_F(DoubleBuffer, SwapShowsTheBackBufferOnEveryHead) {
  Window w = window(200, 50, 240, 100);
  XdbeBackBuffer back = XdbeAllocateBackBufferName(display, w, XdbeUndefined);
  fill(back, 0xff0000, 240, 100);
  XSync(display, False);
  EXPECT_EQ(serverPixel(0, 250, 100), 0xffffffu) << "drawn before the swap";
  XdbeSwapInfo swap{w, XdbeUndefined};
  ASSERT_TRUE(XdbeSwapBuffers(display, &swap, 1));
  XSync(display, False);
  EXPECT_EQ(ErrorCatch::code, 0) << proxy->log();
  EXPECT_EQ(serverPixel(0, 250, 100), 0xff0000u);
  EXPECT_EQ(serverPixel(1, 400 - kHeadWidth, 100), 0xff0000u);

  XdbeBackBufferAttributes* attributes = XdbeGetBackBufferAttributes(display, back);
  ASSERT_NE(attributes, nullptr);
  EXPECT_EQ(attributes->window, w);
  XFree(attributes);

  int screens = 0;
  XdbeScreenVisualInfo* info = XdbeGetVisualInfo(display, nullptr, &screens);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(screens, 1);
  EXPECT_GT(info[0].count, 0);
  XdbeFreeVisualInfo(info);

  ASSERT_TRUE(XdbeDeallocateBackBufferName(display, back));
  XSync(display, False);
  EXPECT_EQ(ErrorCatch::code, 0);
}

// Requests that fail leave every window as it was.
TEST_F(DoubleBuffer, FailedRequestsChangeNothing) {
  // No back buffer for a window without contents; the window stays.
  Window input = window(10, 10, 50, 50, InputOnly);
  XdbeAllocateBackBufferName(display, input, XdbeUndefined);
  XSync(display, False);
  EXPECT_EQ(ErrorCatch::code, BadMatch);
  ErrorCatch::reset();
  XWindowAttributes stays{};
  EXPECT_TRUE(XGetWindowAttributes(display, input, &stays));
  XSync(display, False);
  EXPECT_EQ(ErrorCatch::code, 0) << "the window went with the refused buffer";

  Window first = window(20, 100, 60, 60), second = window(100, 100, 60, 60);
  XdbeBackBuffer back = XdbeAllocateBackBufferName(display, first, XdbeUndefined);
  fill(back, 0x00ff00, 60, 60);
  struct Case {
    const char* what;
    std::vector<XdbeSwapInfo> entries;
    int error;
  };
  std::vector<Case> cases = {
      {"a window without back buffer after a good one", {{first, XdbeUndefined}, {second, XdbeUndefined}}, BadMatch},
      {"a window twice", {{first, XdbeUndefined}, {first, XdbeUndefined}}, BadMatch},
      {"no window", {{first, XdbeUndefined}, {0x7fffff, XdbeUndefined}}, BadWindow},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ErrorCatch::reset();
    XdbeSwapBuffers(display, c.entries.data(), static_cast<int>(c.entries.size()));
    XSync(display, False);
    EXPECT_EQ(ErrorCatch::code, c.error);
    EXPECT_EQ(serverPixel(0, 40, 120), 0xffffffu) << "the good entry was swapped";
  }

  ErrorCatch::reset();
  XdbeDeallocateBackBufferName(display, 0x123456);
  XSync(display, False);
  int dbeMajor = 0, event = 0, error = 0;
  ASSERT_TRUE(XQueryExtension(display, "DOUBLE-BUFFER", &dbeMajor, &event, &error));
  EXPECT_EQ(ErrorCatch::code, error) << "DbeBadBuffer";
}

// The visual lists are swapped word by word for a client of the other
// byte order.
TEST_F(DoubleBuffer, OtherByteOrderReadsTheSameVisualLists) {
  int screens = 0;
  XdbeScreenVisualInfo* info = XdbeGetVisualInfo(display, nullptr, &screens);
  ASSERT_NE(info, nullptr);
  int count = info[0].count;
  VisualID firstVisual = info[0].visinfo[0].visual;
  XdbeFreeVisualInfo(info);

  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(proxy->number()));
  ASSERT_EQ(raw.setup('B'), 1);
  std::string name = "DOUBLE-BUFFER";
  Bytes query{0, static_cast<uint8_t>(name.size()), 0, 0};
  query.insert(query.end(), name.begin(), name.end());
  ASSERT_TRUE(raw.send(raw.request(98, 0, query)));
  Bytes answer = raw.readMessage();
  ASSERT_EQ(answer[8], 1);
  uint8_t major = answer[9];

  ASSERT_TRUE(raw.send(raw.request(major, 0, {1, 0, 0, 0})));  // GetVersion 1.0
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(answer[8], 1);

  ASSERT_TRUE(raw.send(raw.request(major, 6, {0, 0, 0, 0})));  // GetVisualInfo, every screen
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(raw.get32(answer, 8), 1u);
  ASSERT_GE(answer.size(), 40u);
  EXPECT_EQ(raw.get32(answer, 32), static_cast<uint32_t>(count));
  EXPECT_EQ(raw.get32(answer, 36), firstVisual);
  EXPECT_TRUE(raw.readMessage(300).empty());
}

}  // namespace
}  // namespace palvon::test

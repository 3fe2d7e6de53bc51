// DOUBLE-BUFFER through the proxy program in front of two Xvfb side by
// side: a window across the seam draws into its back buffer on both
// servers and a swap shows it on both; requests that fail change nothing;
// a client of the other byte order reads the same visual lists.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

// After gtest: Xlib's macros (None, Bool) would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/multibuf.h>

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

// Plain; with B behind a relay that moves DOUBLE-BUFFER to other codes;
// or with B's relay answering its version query with 0.9 as well, which a
// client library of version 1 no longer takes.
enum class BehindB { kNothing, kMovedCodes, kOldVersion };

std::string behindBName(BehindB behind) {
  if (behind == BehindB::kNothing) return "Plain";
  return behind == BehindB::kMovedCodes ? "CodesMovedOnB" : "OldVersionOnB";
}

class DoubleBuffer : public ::testing::TestWithParam<BehindB> {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{
          "-screen", "0", std::to_string(kHeadWidth) + "x" + std::to_string(kHeadHeight) + "x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      if (i == 1 && GetParam() != BehindB::kNothing) {
        relay = std::make_unique<ExtensionRelay>(*servers.back());
        ASSERT_TRUE(relay->ok()) << relay->error();
        relay->moveExtension("DOUBLE-BUFFER", 220, 0, 0, 230, 1);
        if (GetParam() == BehindB::kOldVersion)
          relay->rewriteReply(220, 0, [](Bytes& reply, char) { reply[8] = 0, reply[9] = 9; });
        words.push_back(relay->display() + ".0");
      } else {
        words.push_back(servers.back()->display() + ".0");
      }
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    display = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(display, nullptr) << proxy->log();
    XSetErrorHandler(ErrorCatch::handler);
    ErrorCatch::reset();
    if (GetParam() == BehindB::kOldVersion) return;
    int major = 0, minor = 0;
    ASSERT_TRUE(XdbeQueryExtension(display, &major, &minor));
    EXPECT_EQ(major * 100 + minor, 100);
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }

  // A mapped window at meta (x, y) with a white background.
  Window window(int x, int y, int width, int height, int windowClass = InputOutput) {
    XSetWindowAttributes attributes{};
    attributes.background_pixel = WhitePixel(display, 0);
    attributes.override_redirect = True;
    Window w =
        XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0,
                      windowClass == InputOnly ? 0 : CopyFromParent, windowClass, CopyFromParent,
                      windowClass == InputOnly ? CWOverrideRedirect : CWBackPixel | CWOverrideRedirect, &attributes);
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
  std::unique_ptr<ExtensionRelay> relay;
  std::unique_ptr<ProxyProcess> proxy;
  Display* display = nullptr;
};

// The window spans the seam at meta x 320: its left part on A, its right
// part on B.
TEST_P(DoubleBuffer, SwapShowsTheBackBufferOnEveryHead) {
  if (GetParam() == BehindB::kOldVersion) GTEST_SKIP() << "no client library of version 1 takes 0.9";
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
TEST_P(DoubleBuffer, FailedRequestsChangeNothing) {
  if (GetParam() == BehindB::kOldVersion) GTEST_SKIP() << "no client library of version 1 takes 0.9";
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
      {"a window in a long list twice", std::vector<XdbeSwapInfo>(40, {first, XdbeUndefined}), BadMatch},
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
TEST_P(DoubleBuffer, OtherByteOrderReadsTheSameVisualLists) {
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
  uint8_t major = raw.queryExtension(name).major;
  ASSERT_NE(major, 0);
  Bytes answer;

  ASSERT_TRUE(raw.send(raw.request(major, 0, {1, 0, 0, 0})));  // GetVersion 1.0
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1);
  // The lowest version of the servers is the one offered.
  EXPECT_EQ(answer[8] * 100 + answer[9], GetParam() == BehindB::kOldVersion ? 9 : 100);

  ASSERT_TRUE(raw.send(raw.request(major, 6, {0, 0, 0, 0})));  // GetVisualInfo, every screen
  answer = raw.readMessage();
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(raw.get32(answer, 8), 1u);
  ASSERT_GE(answer.size(), 40u);
  EXPECT_EQ(raw.get32(answer, 32), static_cast<uint32_t>(count));
  EXPECT_EQ(raw.get32(answer, 36), firstVisual);
  EXPECT_TRUE(raw.readMessage(300).empty());
}

// A back-buffer name goes with its window: the client may use the id
// again for the next window's buffer.
TEST_P(DoubleBuffer, NameIsFreeAgainOnceItsWindowIsDestroyed) {
  if (GetParam() == BehindB::kOldVersion) GTEST_SKIP() << "no client library of version 1 takes 0.9";
  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(proxy->number()));
  ASSERT_EQ(raw.setup('B'), 1);
  std::string name = "DOUBLE-BUFFER";
  uint8_t major = raw.queryExtension(name).major;
  ASSERT_NE(major, 0);
  Bytes answer;
  uint32_t base = raw.resourceIdBase(), back = base + 9;
  for (uint32_t window : {base + 1, base + 2}) {
    Bytes create(28, 0);  // depth from parent, 10x10, InputOutput, visual from parent
    raw.put32(create, 0, window);
    raw.put32(create, 4, raw.rootWindow());
    raw.put16(create, 12, 10);
    raw.put16(create, 14, 10);
    raw.put16(create, 18, 1);
    ASSERT_TRUE(raw.send(raw.request(1, 0, create)));
    Bytes allocate(12, 0);
    raw.put32(allocate, 0, window);
    raw.put32(allocate, 4, back);
    ASSERT_TRUE(raw.send(raw.request(major, 1, allocate)));
    Bytes destroy(4);
    raw.put32(destroy, 0, window);
    ASSERT_TRUE(raw.send(raw.request(4, 0, destroy)));
  }
  ASSERT_TRUE(raw.send(raw.request(43, 0)));  // GetInputFocus: everything before it was answered
  answer = raw.readMessage();
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]) << " for request " << int(answer[10]) << " of sequence "
                          << raw.get16(answer, 2);
}

INSTANTIATE_TEST_SUITE_P(Heads, DoubleBuffer,
                         ::testing::Values(BehindB::kNothing, BehindB::kMovedCodes, BehindB::kOldVersion),
                         [](const auto& info) { return behindBName(info.param); });

}  // namespace
}  // namespace palvon::test

namespace palvon::test {
namespace {

// Two Xvfb behind relays that give them Multi-Buffering (at codes of their
// own), each head configured to carry DOUBLE-BUFFER as Multi-Buffering.
class EmulatedDoubleBuffer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "320x240x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      Display* direct = XOpenDisplay(servers.back()->display().c_str());
      ASSERT_NE(direct, nullptr);
      uint32_t visual = static_cast<uint32_t>(XVisualIDFromVisual(DefaultVisual(direct, 0)));
      XCloseDisplay(direct);
      relays.push_back(std::make_unique<ExtensionRelay>(*servers.back()));
      ExtensionRelay& relay = *relays.back();
      ASSERT_TRUE(relay.ok()) << relay.error();
      uint8_t major = mbufMajor(i);
      relay.addFakeExtension("Multi-Buffering", major, static_cast<uint8_t>(110 + 10 * i),
                             static_cast<uint8_t>(190 + 10 * i));
      relay.setFakeResponder(major, [visual](const Bytes& request, char order) {
        Bytes reply(32, 0);
        reply[0] = 1;
        switch (request[1]) {
          case 0:
            reply[8] = 1, reply[9] = 1;
            return reply;  // version 1.1
          case 1:
            putWire16(reply, 8, 2, order);
            return reply;  // two buffers made
          case 8:          // mono: the root visual and one no screen has; stereo: the root visual
            putWire16(reply, 8, 2, order);
            putWire16(reply, 10, 1, order);
            reply.resize(56, 0);
            for (size_t at : {32, 48}) {
              putWire32(reply, at, visual, order);
              putWire16(reply, at + 4, 2, order);
              reply[at + 6] = 24;
            }
            putWire32(reply, 40, 0x7777, order);
            return reply;
          default:
            return Bytes{};
        }
      });
      words.insert(words.end(), {"screen", relay.display() + ".0", "emulateDoubleBuffer", "on"});
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    display = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(display, nullptr) << proxy->log();
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }
  static uint8_t mbufMajor(int i) { return static_cast<uint8_t>(201 + 10 * i); }

  std::vector<uint32_t> ids(int relay, uint8_t minor, size_t from) {
    std::vector<uint32_t> out;
    for (const auto& r : relays[static_cast<size_t>(relay)]->allExtensionRequests())
      if (r.major == mbufMajor(relay) && r.minor == minor)
        for (size_t at = from; at + 4 <= r.bytes.size(); at += 4) out.push_back(wire32(r.bytes, at, r.order));
    return out;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::unique_ptr<ExtensionRelay>> relays;
  std::unique_ptr<ProxyProcess> proxy;
  Display* display = nullptr;
};

// A name is a pair of image buffers on each server; swaps show the
// companion, then the name, and so on.
TEST_F(EmulatedDoubleBuffer, SwapsShowEachBufferOfThePairInTurn) {
  int major = 0, minor = 0;
  ASSERT_TRUE(XdbeQueryExtension(display, &major, &minor)) << proxy->log();
  EXPECT_EQ(major, 1);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  Window w = XCreateWindow(display, DefaultRootWindow(display), 280, 20, 80, 80, 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWOverrideRedirect, &attributes);
  XMapWindow(display, w);
  XdbeBackBuffer back = XdbeAllocateBackBufferName(display, w, XdbeBackground);
  XdbeSwapInfo swap{w, XdbeBackground};
  XdbeSwapBuffers(display, &swap, 1);
  XdbeSwapBuffers(display, &swap, 1);
  XSync(display, False);
  for (int i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    std::vector<uint32_t> pair = ids(i, 1, 12);
    ASSERT_EQ(pair.size(), 2u) << proxy->log();
    EXPECT_NE(pair[0], pair[1]);
    std::vector<uint32_t> shown = ids(i, 3, 8);
    EXPECT_EQ(shown, (std::vector<uint32_t>{pair[1], pair[0]}));
  }
  XdbeBackBufferAttributes* attributesOfBack = XdbeGetBackBufferAttributes(display, back);
  ASSERT_NE(attributesOfBack, nullptr);
  EXPECT_EQ(attributesOfBack->window, w);
  XFree(attributesOfBack);
}

// The visuals of a buffer-info reply become the client's; one no screen
// has is dropped from its own list, and both counts say what follows.
TEST_F(EmulatedDoubleBuffer, BufferInfoListsTheClientsVisuals) {
  int event = 0, error = 0;
  ASSERT_TRUE(XmbufQueryExtension(display, &event, &error));
  int mono = 0, stereo = 0;
  XmbufBufferInfo *monoInfo = nullptr, *stereoInfo = nullptr;
  ASSERT_TRUE(XmbufGetScreenInfo(display, DefaultRootWindow(display), &mono, &monoInfo, &stereo, &stereoInfo));
  VisualID root = XVisualIDFromVisual(DefaultVisual(display, 0));
  ASSERT_EQ(mono, 1);
  EXPECT_EQ(monoInfo[0].visualid, root);
  EXPECT_EQ(monoInfo[0].max_buffers, 2);
  ASSERT_EQ(stereo, 1);
  EXPECT_EQ(stereoInfo[0].visualid, root);
  XFree(monoInfo);
  XFree(stereoInfo);
}

}  // namespace
}  // namespace palvon::test

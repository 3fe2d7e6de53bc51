// Translucent windows through the proxy program in front of two Xvfb side
// by side, the second behind a relay that offers SHAPE at other codes: the
// window's real copies take the shape of its opaque part on both servers,
// the holders come and go with the windows, the exposures the reshaping
// causes stay with the proxy, and a client of the other byte order reads
// versions and colours back.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/shapeshm_rig.h"
#include "support/xvfb.h"
#include "support/xwindows.h"

namespace palvon::test {
namespace {

constexpr unsigned long kRed = 0xff0000, kBlue = 0x0000ff, kGreen = 0x00ff00;
constexpr unsigned long kKey = 0x123456, kOtherKey = 0x654321;
// The translucent window T on the meta screen, across the seam, and its
// opaque child.
constexpr int kTX = 300, kTY = 50, kTWidth = 200, kTHeight = 100;
constexpr int kChildX = 10, kChildY = 10, kChildSize = 30;

enum : uint8_t {
  kQueryVersion = 0,
  kQueryWindow = 1,
  kEnableWindow = 2,
  kDisableWindow = 5,
};

// The proxy's holder root on a server: the InputOnly 1x1 child of the root
// at (-1, -1); its children's count.
int holderRootChildren(Display* display) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  int result = -1;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  for (unsigned i = 0; i < count; i++) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(display, children[i], &a) || a.c_class != InputOnly || a.x != -1 || a.y != -1)
      continue;
    Window r2 = 0, p2 = 0, *inner = nullptr;
    unsigned n = 0;
    XQueryTree(display, children[i], &r2, &p2, &inner, &n);
    if (inner) XFree(inner);
    // The proxy keeps other small windows there; the holder root is the
    // one with children.
    result = std::max(result, int(n));
  }
  if (children) XFree(children);
  return result;
}

class Translucent : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on", "options", "+Translucent"};
    for (int i = 0; i < 2; i++) {
      std::string depth = i == 1 ? secondDepth() : "24";
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x300x" + depth}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      if (i == 1) {
        relay = std::make_unique<ExtensionRelay>(*servers.back());
        ASSERT_TRUE(relay->ok()) << relay->error();
        relay->moveExtension("SHAPE", 220, 120, 1);
        words.push_back(relay->display() + ".0");
      } else {
        words.push_back(servers.back()->display() + ".0");
      }
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    display = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(display, nullptr);
    for (auto& server : servers) {
      direct.push_back(XOpenDisplay(server->display().c_str()));
      ASSERT_NE(direct.back(), nullptr);
    }
    ASSERT_TRUE(raw.connectUnix(proxy->number()));
    ASSERT_EQ(raw.setup('B'), 1);
    major = raw.queryExtension("MORVANDELL TRANSLUCENT").major;
    ASSERT_NE(major, 0);
  }

  // The depth of the server behind the relay.
  virtual std::string secondDepth() const { return "24"; }

  void TearDown() override {
    if (gc) XFreeGC(display, gc);
    for (Display* d : direct)
      if (d) XCloseDisplay(d);
    if (display) XCloseDisplay(display);
  }

  Window window(Window parent, int x, int y, int width, int height, unsigned long pixel) {
    return plainWindow(display, parent, x, y, unsigned(width), unsigned(height), pixel);
  }

  // A blue window under T, T (red) and its green child.
  void makeWindows() {
    Window root = DefaultRootWindow(display);
    bottom = window(root, 250, 20, 300, 200, kBlue);
    t = window(root, kTX, kTY, kTWidth, kTHeight, kRed);
    child = window(t, kChildX, kChildY, kChildSize, kChildSize, kGreen);
    gc = XCreateGC(display, t, 0, nullptr);
    XSync(display, False);
  }

  void sendRaw(uint8_t minor, std::vector<uint32_t> words) {
    Bytes body(4 * words.size());
    for (size_t k = 0; k < words.size(); k++) raw.put32(body, 4 * k, words[k]);
    ASSERT_TRUE(raw.send(raw.request(major, minor, body)));
  }
  // A round trip on the raw client: its requests have all been handled.
  Bytes queryWindow(Window window) {
    sendRaw(kQueryWindow, {uint32_t(window)});
    return raw.readMessage();
  }
  void enable(Window window, std::vector<uint32_t> colors, uint32_t flags = 0) {
    std::vector<uint32_t> words{uint32_t(window), flags};
    words.insert(words.end(), colors.begin(), colors.end());
    sendRaw(kEnableWindow, words);
    Bytes answer = queryWindow(window);
    ASSERT_EQ(answer.size() >= 32 ? answer[0] : 0, 1) << "error " << int(answer.size() > 1 ? answer[1] : 0);
  }

  void fill(unsigned long pixel, int x, int y, int width, int height) {
    XSetForeground(display, gc, pixel);
    XFillRectangle(display, t, gc, x, y, width, height);
    XSync(display, False);
    queryWindow(t);
  }

  // T's copy on server i as read once: where it lies on the server's
  // screen and its bounding rectangles.
  struct CopyShape {
    bool found = false;
    int rootX = 0, rootY = 0;
    std::vector<XRectangle> rectangles;
  };
  CopyShape shapeOn(size_t i) {
    CopyShape shape;
    Display* d = direct[i];
    Window copy = findBySize(d, DefaultRootWindow(d), kTWidth, tHeight);
    if (!copy) return shape;
    Window ignored;
    XTranslateCoordinates(d, copy, DefaultRootWindow(d), 0, 0, &shape.rootX, &shape.rootY, &ignored);
    int count = 0, ordering = 0;
    XRectangle* r = XShapeGetRectangles(d, copy, ShapeBounding, &count, &ordering);
    if (r) shape.rectangles.assign(r, r + count), XFree(r);
    shape.found = true;
    return shape;
  }
  // Whether the copy shows its own pixel at (x, y) of T: the point lies in
  // its bounding shape. -1 for points off the server's screen, -2 when the
  // server has no copy.
  static int opaqueIn(const CopyShape& shape, int x, int y) {
    if (!shape.found) return -2;
    int rx = shape.rootX + x, ry = shape.rootY + y;
    if (rx < 0 || ry < 0 || rx >= 400 || ry >= 300) return -1;
    for (const XRectangle& r : shape.rectangles)
      if (x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height) return 1;
    return 0;
  }
  int opaqueOn(size_t i, int x, int y) { return opaqueIn(shapeOn(i), x, y); }

  // On both servers, every on-screen point of T on a 5-pixel grid is opaque
  // exactly where `expected` says.
  template <class Rule>
  void expectShape(Rule expected, const char* step) {
    int checked = 0;
    for (size_t i = 0; i < direct.size(); i++) {
      CopyShape shape = shapeOn(i);
      for (int y = 0; y < tHeight; y += 5) {
        for (int x = 0; x < kTWidth; x += 5) {
          int got = opaqueIn(shape, x, y);
          ASSERT_NE(got, -2) << step;
          if (got < 0) continue;
          checked++;
          ASSERT_EQ(got, expected(x, y) ? 1 : 0) << step << ": server " << i << " at " << x << "," << y;
        }
      }
    }
    EXPECT_GT(checked, 0);
  }

  unsigned long rootPixel(size_t i, int x, int y) {
    XImage* image = XGetImage(direct[i], DefaultRootWindow(direct[i]), x, y, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = image ? XGetPixel(image, 0, 0) : ~0ul;
    if (image) XDestroyImage(image);
    return pixel & 0xffffff;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ExtensionRelay> relay;
  std::unique_ptr<ProxyProcess> proxy;
  Display* display = nullptr;
  std::vector<Display*> direct;
  RawClient raw;
  uint8_t major = 0;
  Window bottom = 0, t = 0, child = 0;
  int tHeight = kTHeight;  // T's height as the servers have it
  GC gc = nullptr;
};

bool inChild(int x, int y) {
  return x >= kChildX && y >= kChildY && x < kChildX + kChildSize && y < kChildY + kChildSize;
}

// A fill in the key colour cuts exactly its area out of T (the child stays
// opaque) on both servers, and the window below shows through; a fill in
// another colour makes the area opaque again.
TEST_F(Translucent, SolidFillsCutAndMendTheShapeOnBothServers) {
  makeWindows();
  enable(t, {kKey});
  expectShape([](int, int) { return true; }, "enabled with a red background");

  fill(kKey, 0, 0, 150, 60);
  auto hole = [](int x, int y) { return x < 150 && y < 60; };
  expectShape([&](int x, int y) { return !hole(x, y) || inChild(x, y); }, "key-coloured fill");
  // T's hole on A (meta x 300..399) shows the blue window below.
  EXPECT_EQ(rootPixel(0, kTX + 60, kTY + 50), kBlue);
  EXPECT_EQ(rootPixel(0, kTX + 60, kTY + 70), kRed);

  fill(kOtherKey, 40, 20, 150, 20);
  auto mended = [](int x, int y) { return x >= 40 && x < 190 && y >= 20 && y < 40; };
  expectShape([&](int x, int y) { return !hole(x, y) || inChild(x, y) || mended(x, y); }, "other colour");
  EXPECT_EQ(rootPixel(0, kTX + 60, kTY + 30), kOtherKey);
}

// Each server holds one holder per translucent window beside the marker
// and the three scratch windows: re-enabling with other colours keeps it,
// disabling and destroying remove it.
TEST_F(Translucent, HoldersFollowTheWindows) {
  makeWindows();
  int base = holderRootChildren(direct[0]);
  ASSERT_EQ(base, 4);
  ASSERT_EQ(holderRootChildren(direct[1]), 4);
  // The proxy makes and removes holders on its own connections, which the
  // client's round trip does not wait for: each server gets a moment.
  auto settlesAt = [this](int count) {
    for (Display* d : direct) {
      int seen = holderRootChildren(d);
      for (int i = 0; i < 100 && seen != count; i++) {
        usleep(20000);
        seen = holderRootChildren(d);
      }
      EXPECT_EQ(seen, count);
    }
  };
  enable(t, {kKey});
  enable(t, {kKey, kOtherKey}, 2);
  settlesAt(5);
  sendRaw(kDisableWindow, {uint32_t(t)});
  queryWindow(t);
  settlesAt(4);
  expectShape([](int, int) { return true; }, "disabled");
  enable(t, {kKey});
  XDestroyWindow(display, t);
  XSync(display, False);
  settlesAt(4);
}

struct VersionCase {
  uint16_t askedMajor, askedMinor, major, minor;
};

class TranslucentVersion : public Translucent, public ::testing::WithParamInterface<VersionCase> {};

// A client of the other byte order gets the version capped at 6.3, or its
// own.
TEST_P(TranslucentVersion, AnswersTheClientsVersionUpToTheHighest) {
  Bytes body(4);
  raw.put16(body, 0, GetParam().askedMajor);
  raw.put16(body, 2, GetParam().askedMinor);
  ASSERT_TRUE(raw.send(raw.request(major, kQueryVersion, body)));
  Bytes answer = raw.readMessage();
  ASSERT_EQ(answer.size(), 32u);
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(raw.get16(answer, 8), GetParam().major);
  EXPECT_EQ(raw.get16(answer, 10), GetParam().minor);
}

INSTANTIATE_TEST_SUITE_P(Versions, TranslucentVersion,
                         ::testing::Values(VersionCase{7, 0, 6, 3}, VersionCase{5, 9, 5, 9}, VersionCase{6, 3, 6, 3},
                                           VersionCase{6, 4, 6, 3}));

// The colours and flags come back in the client's order; a window without
// translucency has none; wrong lengths and unknown windows are refused.
TEST_F(Translucent, QueryWindowAndRefusals) {
  makeWindows();
  enable(t, {kKey, kOtherKey}, 4);
  Bytes answer = queryWindow(t);
  ASSERT_EQ(answer.size(), 40u);
  EXPECT_EQ(raw.get32(answer, 4), 2u);
  EXPECT_EQ(raw.get32(answer, 8), 4u);
  EXPECT_EQ(raw.get32(answer, 12), 2u);
  EXPECT_EQ(raw.get32(answer, 32), kKey);
  EXPECT_EQ(raw.get32(answer, 36), kOtherKey);
  answer = queryWindow(bottom);
  ASSERT_EQ(answer.size(), 32u);
  EXPECT_EQ(raw.get32(answer, 12), 0u);

  struct Refusal {
    uint8_t minor;
    std::vector<uint32_t> words;
    uint8_t code;
  };
  const Refusal refusals[] = {
      {kEnableWindow, {uint32_t(t)}, BadLength},       // no flags
      {4, {uint32_t(t), uint32_t(bottom)}, BadLength},  // EnableAncestors without flags
      {kQueryWindow, {uint32_t(t), 0}, BadLength},
      {kEnableWindow, {0x7654321, 0, uint32_t(kKey)}, BadWindow},
      {kDisableWindow, {0x7654321}, BadWindow},
      {7, {uint32_t(t), 0x7654321}, BadWindow},  // DisableAncestors, unknown stop window
  };
  for (const Refusal& r : refusals) {
    sendRaw(r.minor, r.words);
    answer = raw.readMessage();
    ASSERT_EQ(answer.size(), 32u) << int(r.minor);
    EXPECT_EQ(answer[0], 0) << int(r.minor);
    EXPECT_EQ(answer[1], r.code) << int(r.minor);
    EXPECT_EQ(answer[10], major);
    EXPECT_EQ(answer[9], r.minor);
  }
  // Nothing changed.
  answer = queryWindow(t);
  EXPECT_EQ(raw.get32(answer, 12), 2u);
}

class TranslucentExposures : public Translucent, public ::testing::WithParamInterface<int> {};

// While the proxy reshapes T, the exposures it causes reach no client that
// selected them: through the event mask of the only selecting client, or,
// with two, through the marker under a server grab, which ends released.
TEST_P(TranslucentExposures, ReshapingExposesNothing) {
  makeWindows();
  Display* second = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(second, nullptr);
  XSelectInput(display, t, ExposureMask);
  if (GetParam() == 2) XSelectInput(second, t, ExposureMask);
  XSync(display, False);
  XSync(second, False);
  enable(t, {kKey});
  XSync(display, False);
  XSync(second, False);
  XEvent event;
  while (XCheckTypedWindowEvent(display, t, Expose, &event)) {
  }
  while (XCheckTypedWindowEvent(second, t, Expose, &event)) {
  }

  fill(kKey, 0, 0, 150, 60);
  fill(kOtherKey, 40, 20, 150, 20);
  fill(kRed, 0, 0, 150, 60);
  XSync(second, False);
  int exposures = 0;
  while (XCheckTypedWindowEvent(display, t, Expose, &event)) exposures++;
  while (XCheckTypedWindowEvent(second, t, Expose, &event)) exposures++;
  EXPECT_EQ(exposures, 0);
  expectShape([](int, int) { return true; }, "filled red again");

  for (size_t i = 0; i < servers.size(); i++) {
    // The server answers another client at once: no grab is left.
    RawClient other;
    ASSERT_TRUE(other.connectUnixPath(servers[i]->socketPath()));
    ASSERT_EQ(other.setup('l'), 1);
    ASSERT_TRUE(other.send(other.request(43, 0)));  // GetInputFocus
    EXPECT_FALSE(other.readMessage(3000).empty()) << "server " << i << " still grabbed";
    // The marker (the holder root's lowest child) rests at 1,0 4096x4096.
    if (GetParam() == 2) {
      Display* d = direct[i];
      Window root = 0, parent = 0, *children = nullptr;
      unsigned count = 0;
      XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count);
      for (unsigned k = 0; k < count; k++) {
        XWindowAttributes a;
        Window r2 = 0, p2 = 0, *inner = nullptr;
        unsigned n = 0;
        if (!XGetWindowAttributes(d, children[k], &a) || a.c_class != InputOnly || a.x != -1 || a.y != -1) continue;
        if (!XQueryTree(d, children[k], &r2, &p2, &inner, &n) || n == 0) continue;
        XWindowAttributes marker;
        XGetWindowAttributes(d, inner[0], &marker);
        EXPECT_EQ(marker.x, 1);
        EXPECT_EQ(marker.y, 0);
        EXPECT_EQ(marker.width, 4096);
        EXPECT_EQ(marker.height, 4096);
        XFree(inner);
      }
      if (children) XFree(children);
    }
  }
  XCloseDisplay(second);
}

INSTANTIATE_TEST_SUITE_P(Selecting, TranslucentExposures, ::testing::Values(1, 2));

struct CopyCase {
  const char* name;
  int sx, sy, dx, dy, w, h;
};

class TranslucentCopies : public Translucent, public ::testing::WithParamInterface<CopyCase> {};

// A CopyArea inside T carries the shape along with the pixels: the hole
// moves to the destination, overlapping or not.
TEST_P(TranslucentCopies, CopyAreaMovesTheShape) {
  const CopyCase& c = GetParam();
  makeWindows();
  enable(t, {kKey});
  fill(kKey, 0, 60, 60, 40);  // a hole at the bottom left, clear of the child
  auto hole = [](int x, int y) { return x < 60 && y >= 60; };
  XCopyArea(display, t, t, gc, c.sx, c.sy, c.w, c.h, c.dx, c.dy);
  XSync(display, False);
  queryWindow(t);
  auto expected = [&](int x, int y) {
    if (inChild(x, y)) return true;
    if (x >= c.dx && y >= c.dy && x < c.dx + c.w && y < c.dy + c.h) return !hole(x - c.dx + c.sx, y - c.dy + c.sy);
    return !hole(x, y);
  };
  expectShape(expected, c.name);
}

INSTANTIATE_TEST_SUITE_P(Copies, TranslucentCopies,
                         ::testing::Values(CopyCase{"apart", 0, 50, 120, 0, 70, 50},
                                           CopyCase{"overlapping", 0, 50, 30, 40, 80, 50}),
                         [](const auto& info) { return std::string(info.param.name); });

// ClearArea repaints the cleared part with T's red background, which is
// opaque; the client's exposures come from the proxy, one series.
TEST_F(Translucent, ClearAreaRepaintsAndExposes) {
  makeWindows();
  XSelectInput(display, t, ExposureMask);
  enable(t, {kKey});
  XSync(display, False);
  XEvent event;
  while (XCheckTypedWindowEvent(display, t, Expose, &event)) {
  }
  fill(kKey, 0, 0, 200, 100);
  expectShape([](int x, int y) { return inChild(x, y); }, "all key colour");
  XClearArea(display, t, 50, 50, 100, 0, True);
  XSync(display, False);
  queryWindow(t);
  expectShape([](int x, int y) { return inChild(x, y) || (x >= 50 && x < 150 && y >= 50); }, "cleared");
  EXPECT_EQ(rootPixel(0, kTX + 60, kTY + 80), kRed);
  XSync(display, False);
  int exposures = 0;
  while (XCheckTypedWindowEvent(display, t, Expose, &event)) {
    exposures++;
    EXPECT_EQ(event.xexpose.x, 50);
    EXPECT_EQ(event.xexpose.y, 50);
    EXPECT_EQ(event.xexpose.width, 100);
    EXPECT_EQ(event.xexpose.height, 50);
    EXPECT_EQ(event.xexpose.count, 0);
  }
  EXPECT_EQ(exposures, 1);
}

// Growing T keeps its holes with bit gravity NorthWest and makes the new
// strips opaque; unmapping the child repaints T where it was.
TEST_F(Translucent, ResizeAndUnmapFollowTheWindow) {
  makeWindows();
  XSetWindowAttributes attributes{};
  attributes.bit_gravity = NorthWestGravity;
  XChangeWindowAttributes(display, t, CWBitGravity, &attributes);
  enable(t, {kKey});
  fill(kKey, 0, 0, 150, 60);
  XResizeWindow(display, t, kTWidth, kTHeight + 20);
  tHeight = kTHeight + 20;
  XSync(display, False);
  queryWindow(t);
  auto hole = [](int x, int y) { return x < 150 && y < 60; };
  expectShape([&](int x, int y) { return !hole(x, y) || inChild(x, y); }, "grown");
  XUnmapWindow(display, child);
  XSync(display, False);
  queryWindow(t);
  expectShape([&](int x, int y) { return !hole(x, y) || inChild(x, y); }, "child unmapped");
  XResizeWindow(display, t, kTWidth, kTHeight);
  tHeight = kTHeight;
  XSync(display, False);
  queryWindow(t);
  expectShape([&](int x, int y) { return !hole(x, y) || inChild(x, y); }, "back to size");
  // Moved over the seam: the hole moves along on both servers.
  XMoveWindow(display, t, kTX - 60, kTY + 10);
  XSync(display, False);
  queryWindow(t);
  expectShape([&](int x, int y) { return !hole(x, y) || inChild(x, y); }, "moved");
}


// The walks: inferiors (not the window), ancestors strictly between the
// stop window and the window, from the top (every ancestor below the root
// when the stop window is no ancestor).
TEST_F(Translucent, WalksReachTheWindowsBetween) {
  makeWindows();
  Window grandchild = window(child, 2, 2, 10, 10, kBlue);
  XSync(display, False);
  auto colours = [&](Window w) { return raw.get32(queryWindow(w), 12); };
  struct Step {
    uint8_t minor;
    std::vector<uint32_t> words;
    uint32_t t, child, grandchild;  // colours each window has afterwards
  };
  const uint32_t k = uint32_t(kKey), root = uint32_t(DefaultRootWindow(display));
  const Step steps[] = {
      {3, {uint32_t(t), 0, k}, 0, 1, 1},                                  // EnableInferiors
      {6, {uint32_t(t)}, 0, 0, 0},                                        // DisableInferiors
      {4, {uint32_t(grandchild), root, 0, k, k}, 2, 2, 0},                // EnableAncestors up to the root
      {7, {uint32_t(grandchild), uint32_t(t)}, 2, 0, 0},                  // DisableAncestors below T
      {7, {uint32_t(grandchild), uint32_t(bottom)}, 0, 0, 0},             // stop window no ancestor
      {4, {uint32_t(child), uint32_t(t), 0, k}, 0, 0, 0},                 // parent is the stop window
  };
  for (const Step& step : steps) {
    sendRaw(step.minor, step.words);
    EXPECT_EQ(colours(t), step.t) << int(step.minor);
    EXPECT_EQ(colours(child), step.child) << int(step.minor);
    EXPECT_EQ(colours(grandchild), step.grandchild) << int(step.minor);
  }
}

// T with the key colour as background is all hole but its child; once the
// child is unmapped or destroyed, its place is a hole too.
TEST_F(Translucent, ChildrenLeavingLeaveHoles) {
  makeWindows();
  window(t, 100, 50, 30, 30, kGreen);  // a second child
  XSetWindowBackground(display, t, kKey);
  XSync(display, False);
  enable(t, {kKey});
  auto inSecond = [](int x, int y) { return x >= 100 && x < 130 && y >= 50 && y < 80; };
  expectShape([&](int x, int y) { return inChild(x, y) || inSecond(x, y); }, "key background");
  XDestroyWindow(display, child);
  XSync(display, False);
  queryWindow(t);
  expectShape([&](int x, int y) { return inSecond(x, y); }, "child destroyed");
  XUnmapSubwindows(display, t);
  XSync(display, False);
  queryWindow(t);
  expectShape([](int, int) { return false; }, "children unmapped");
  XMapSubwindows(display, t);
  XSync(display, False);
  queryWindow(t);
  expectShape([&](int x, int y) { return inSecond(x, y); }, "mapped again");
}

// A client that creates, maps and enables a window in one go: the holder
// still takes the whole window's shape on both servers, though the
// CreateWindow may not have left the proxy when the holder is made.
TEST_F(Translucent, EnabledRightAfterCreation) {
  t = raw.resourceIdBase() | 1;
  Bytes create(28);
  raw.put32(create, 0, uint32_t(t));
  raw.put32(create, 4, raw.rootWindow());
  raw.put16(create, 8, kTX);
  raw.put16(create, 10, kTY);
  raw.put16(create, 12, kTWidth);
  raw.put16(create, 14, kTHeight);
  raw.put16(create, 16, 0);
  raw.put16(create, 18, InputOutput);
  raw.put32(create, 20, CopyFromParent);
  raw.put32(create, 24, CWBackPixel | CWOverrideRedirect);
  for (uint32_t value : {uint32_t(kRed), 1u}) {
    create.resize(create.size() + 4);
    raw.put32(create, create.size() - 4, value);
  }
  Bytes all = raw.request(X_CreateWindow, 0, create);
  Bytes map(4);
  raw.put32(map, 0, uint32_t(t));
  Bytes mapRequest = raw.request(X_MapWindow, 0, map);
  all.insert(all.end(), mapRequest.begin(), mapRequest.end());
  Bytes enableBody(12);
  raw.put32(enableBody, 0, uint32_t(t));
  raw.put32(enableBody, 4, 0);
  raw.put32(enableBody, 8, uint32_t(kKey));
  Bytes enableRequest = raw.request(major, kEnableWindow, enableBody);
  all.insert(all.end(), enableRequest.begin(), enableRequest.end());
  ASSERT_TRUE(raw.send(all));
  Bytes answer = queryWindow(t);
  ASSERT_EQ(answer.size(), 36u) << "error " << int(answer.size() > 1 ? answer[1] : 0);
  expectShape([](int, int) { return true; }, "enabled at once");
}

struct TextCase {
  const char* name;
  uint32_t flags;
  bool image;
};

class TranslucentText : public Translucent, public ::testing::WithParamInterface<TextCase> {};

// Text over a hole: with flag 2 (image text) or 4 (poly text) its extents
// turn opaque whole; without, only the glyphs' pixels do (both read the
// window's background tile).
TEST_P(TranslucentText, OpaqueByExtentsOrByPixels) {
  const TextCase& c = GetParam();
  makeWindows();
  enable(t, {kKey}, c.flags);
  fill(kKey, 0, 40, 200, 60);
  XFontStruct* font = XLoadQueryFont(display, "fixed");
  ASSERT_NE(font, nullptr);
  XSetFont(display, gc, font->fid);
  XSetForeground(display, gc, kGreen);
  // Image text fills its cells with the key colour: only the glyphs show.
  XSetBackground(display, gc, kKey);
  const char text[] = "IIIIIIII";
  const int x = 20, y = 80;
  if (c.image) XDrawImageString(display, t, gc, x, y, text, 8);
  else XDrawString(display, t, gc, x, y, text, 8);
  XSync(display, False);
  queryWindow(t);
  const int width = XTextWidth(font, text, 8), row = y - 4;
  const bool extents = (c.flags & (c.image ? 2 : 4)) != 0;
  // In the second cell of "fixed" the stem of the I is opaque; the columns
  // beside it only when the extents are (the ink's, for poly text).
  int opaque = 0;
  for (int k = 6; k < 12; k++) opaque += opaqueOn(0, x + k, row) == 1;
  EXPECT_GE(opaque, 1) << "the glyph itself";
  if (extents) EXPECT_EQ(opaque, 6);
  else EXPECT_LT(opaque, 4);
  EXPECT_EQ(opaqueOn(0, x + width + 3, row), 0) << "beyond the text the hole stays";
  XFreeFont(display, font);
}

INSTANTIATE_TEST_SUITE_P(Texts, TranslucentText,
                         ::testing::Values(TextCase{"ImageByExtents", 2, true}, TextCase{"PolyByExtents", 4, false},
                                           TextCase{"PolyByPixels", 0, false},
                                           TextCase{"ImageByPixels", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A tool enabling translucency on another client's window and leaving at
// once (as translucency setters do): the window's background tiles stay,
// so an image with key pixels drawn afterwards still leaves its holes, and
// its client gets no error.
TEST_F(Translucent, EnablingByAClientThatLeavesOutlivesIt) {
  makeWindows();
  static int errors;
  errors = 0;
  XSetErrorHandler([](Display*, XErrorEvent*) { return ++errors, 0; });
  {
    RawClient tool;
    ASSERT_TRUE(tool.connectUnix(proxy->number()) && tool.setup('l') == 1);
    Bytes body(12);
    tool.put32(body, 0, uint32_t(t));
    tool.put32(body, 4, 0);
    tool.put32(body, 8, uint32_t(kKey));
    ASSERT_TRUE(tool.send(tool.request(major, kEnableWindow, body)));
    Bytes query(4);
    tool.put32(query, 0, uint32_t(t));
    ASSERT_TRUE(tool.send(tool.request(major, kQueryWindow, query)));
    Bytes answer = tool.readMessage();
    ASSERT_TRUE(!answer.empty() && answer[0] == 1);
  }
  queryWindow(t);
  const int iw = 120, ih = 10;
  XImage* image = XCreateImage(display, DefaultVisual(display, 0), DefaultDepth(display, 0), ZPixmap, 0, nullptr, iw,
                               ih, 32, 0);
  image->data = static_cast<char*>(calloc(size_t(image->bytes_per_line) * ih, 1));
  for (int y = 0; y < ih; y++)
    for (int x = 0; x < iw; x++) XPutPixel(image, x, y, x % 4 == 0 ? kKey : kRed);
  XPutImage(display, t, gc, image, 0, 0, 60, 70, iw, ih);
  XDestroyImage(image);
  XSync(display, False);
  queryWindow(t);
  XSync(display, False);
  EXPECT_EQ(errors, 0);
  for (size_t i = 0; i < direct.size(); i++) {
    CopyShape shape = shapeOn(i);
    for (int x = 60; x < 60 + iw; x++) {
      int got = opaqueIn(shape, x, 75);
      if (got < 0) continue;
      ASSERT_EQ(got, (x - 60) % 4 == 0 ? 0 : 1) << "server " << i << " at " << x;
    }
  }
  XSetErrorHandler(nullptr);
}

// B shows what A shows, doubled (its top-left quarter) or turned a
// quarter: T's holes are cut there scaled or turned, the opaque child kept,
// for a solid fill, for an image with key pixels and after T grows.
struct TransformedHead {
  const char* name;
  std::vector<std::string> words;  // of B's screen statement
  bool turned;                     // else zoomed 2
};

class TranslucentTransformed : public ::testing::TestWithParam<TransformedHead> {};

TEST_P(TranslucentTransformed, HolesFollowTheHeadsScaleAndTurn) {
  const TransformedHead& layout = GetParam();
  Xvfb a{{"-screen", "0", "400x300x24"}}, b{{"-screen", "0", layout.turned ? "300x400x24" : "400x300x24"}};
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  std::vector<std::string> words{"noReset", "on", "options", "Tavel", "Translucent", "screen", a.display() + ".0",
                                 "borderWidth", "0", "screen", b.display() + ".0", "borderWidth", "0"};
  words.insert(words.end(), layout.words.begin(), layout.words.end());
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Display* display = XOpenDisplay(proxy.display().c_str());
  ASSERT_NE(display, nullptr);
  Window root = DefaultRootWindow(display);
  plainWindow(display, root, 0, 0, 200, 150, kBlue);
  Window t = plainWindow(display, root, 50, 40, 100, 80, kRed);
  XSetWindowAttributes attributes{};
  attributes.bit_gravity = NorthWestGravity;
  XChangeWindowAttributes(display, t, CWBitGravity, &attributes);
  plainWindow(display, t, 10, 10, 20, 20, kGreen);
  XSync(display, False);
  RawClient raw;
  ASSERT_TRUE(raw.connectUnix(proxy.number()) && raw.setup('l') == 1);
  uint8_t major = raw.queryExtension("MORVANDELL TRANSLUCENT").major;
  ASSERT_NE(major, 0);
  Bytes enable(12), query(4);
  raw.put32(enable, 0, uint32_t(t));
  raw.put32(enable, 8, uint32_t(kKey));
  raw.put32(query, 0, uint32_t(t));
  auto roundTrip = [&] {
    XSync(display, False);
    raw.send(raw.request(major, kQueryWindow, query));
    return raw.readMessage();
  };
  raw.send(raw.request(major, kEnableWindow, enable));
  ASSERT_EQ(roundTrip().size() >= 32, true);
  Display* onA = XOpenDisplay(a.display().c_str());
  Display* onB = XOpenDisplay(b.display().c_str());
  ASSERT_TRUE(onA && onB);
  // The bounding rectangles of T's copy on a server.
  auto shapeOf = [](Display* d, int width, int height) {
    std::vector<XRectangle> out;
    Window copy = findBySize(d, DefaultRootWindow(d), unsigned(width), unsigned(height));
    int count = 0, ordering = 0;
    XRectangle* r = copy ? XShapeGetRectangles(d, copy, ShapeBounding, &count, &ordering) : nullptr;
    if (r) out.assign(r, r + count), XFree(r);
    return out;
  };
  auto holds = [](const std::vector<XRectangle>& shape, int x, int y) {
    for (const XRectangle& r : shape)
      if (x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height) return 1;
    return 0;
  };
  // Which way B turns: where the child (10,10 20x20 in T's 100x80) lies
  // in T's copy there, 50,10 clockwise, 10,70 the other way.
  bool clockwise = true;
  if (layout.turned) {
    Window child = findBySize(onB, DefaultRootWindow(onB), 20, 20);
    XWindowAttributes where{};
    ASSERT_TRUE(child && XGetWindowAttributes(onB, child, &where));
    ASSERT_TRUE((where.x == 50 && where.y == 10) || (where.x == 10 && where.y == 70)) << where.x << "," << where.y;
    clockwise = where.x == 50;
  }
  // On A at (x, y); on B at the middle of the doubled pixel, or turned.
  auto expectT = [&](int width, int height, const std::function<bool(int, int)>& hole, const char* step) {
    std::vector<XRectangle> shapeA = shapeOf(onA, width, height);
    std::vector<XRectangle> shapeB =
        layout.turned ? shapeOf(onB, height, width) : shapeOf(onB, 2 * width, 2 * height);
    ASSERT_FALSE(shapeA.empty() || shapeB.empty()) << step;
    for (int y = 0; y < height; y++) {
      for (int x = 0; x < width; x++) {
        int want = hole(x, y) && !(x >= 10 && y >= 10 && x < 30 && y < 30) ? 0 : 1;
        ASSERT_EQ(holds(shapeA, x, y), want) << step << " on A at " << x << "," << y;
        int bx = 2 * x + 1, by = 2 * y + 1;
        if (layout.turned) bx = clockwise ? height - 1 - y : y, by = clockwise ? x : width - 1 - x;
        ASSERT_EQ(holds(shapeB, bx, by), want) << step << " on B at " << x << "," << y;
      }
    }
  };
  GC gc = XCreateGC(display, t, 0, nullptr);
  XSetForeground(display, gc, kKey);
  XFillRectangle(display, t, gc, 0, 0, 60, 40);
  roundTrip();
  auto filled = [](int x, int y) { return x < 60 && y < 40; };
  expectT(100, 80, filled, "a key-coloured fill");

  const int iw = 90, ih = 6;
  XImage* image = XCreateImage(display, DefaultVisual(display, 0), DefaultDepth(display, 0), ZPixmap, 0, nullptr, iw,
                               ih, 32, 0);
  image->data = static_cast<char*>(calloc(size_t(image->bytes_per_line) * ih, 1));
  for (int y = 0; y < ih; y++)
    for (int x = 0; x < iw; x++) XPutPixel(image, x, y, x % 6 < 3 ? kKey : kRed);
  XSetForeground(display, gc, kRed);
  XPutImage(display, t, gc, image, 0, 0, 0, 60, iw, ih);
  XDestroyImage(image);
  roundTrip();
  auto imaged = [&](int x, int y) { return filled(x, y) || (y >= 60 && y < 66 && x < iw && x % 6 < 3); };
  expectT(100, 80, imaged, "an image with key pixels");

  XResizeWindow(display, t, 120, 90);
  roundTrip();
  expectT(120, 90, imaged, "grown with NorthWest gravity");
  XFreeGC(display, gc);
  XCloseDisplay(onA);
  XCloseDisplay(onB);
  XCloseDisplay(display);
}

INSTANTIATE_TEST_SUITE_P(Heads, TranslucentTransformed,
                         ::testing::Values(TransformedHead{"Zoomed", {"clipGeometry", "200x150+0+0"}, false},
                                           TransformedHead{"Turned", {"rotate", "quarter"}, true}),
                         [](const ::testing::TestParamInfo<TransformedHead>& info) { return info.param.name; });

// Drawing that is not one solid colour is decided pixel by pixel from the
// window's background tile: an image with scattered key pixels and a
// stippled fill in the key colour leave holes exactly there, with two key
// colours too.
class TranslucentPixels : public Translucent, public ::testing::WithParamInterface<const char*> {
 protected:
  std::string secondDepth() const override { return GetParam(); }
};

TEST_P(TranslucentPixels, DecideImagesAndStipples) {
  makeWindows();
  enable(t, {kKey, kOtherKey});
  const int ix = 40, iy = 60, iw = 150, ih = 20;
  XImage* image = XCreateImage(display, DefaultVisual(display, 0), DefaultDepth(display, 0), ZPixmap, 0, nullptr, iw,
                               ih, 32, 0);
  image->data = static_cast<char*>(calloc(size_t(image->bytes_per_line) * ih, 1));
  auto keyAt = [](int x, int y) { return (x * 7 + y * 3) % 11 == 0 ? 1 : (x * 5 + y) % 13 == 0 ? 2 : 0; };
  for (int y = 0; y < ih; y++)
    for (int x = 0; x < iw; x++)
      XPutPixel(image, x, y, keyAt(x, y) == 1 ? kKey : keyAt(x, y) == 2 ? kOtherKey : kRed);
  XPutImage(display, t, gc, image, 0, 0, ix, iy, iw, ih);
  XDestroyImage(image);
  XSync(display, False);
  queryWindow(t);
  for (size_t i = 0; i < direct.size(); i++) {
    CopyShape shape = shapeOn(i);
    int holes = 0;
    for (int y = 0; y < ih; y++) {
      for (int x = 0; x < iw; x += 3) {
        int got = opaqueIn(shape, ix + x, iy + y);
        if (got < 0) continue;
        holes += got == 0;
        ASSERT_EQ(got, keyAt(x, y) ? 0 : 1) << "server " << i << " at " << ix + x << "," << iy + y;
      }
    }
    EXPECT_GT(holes, 0) << "server " << i;
  }

  static char bits[] = {0x55, 0x55, static_cast<char>(0xaa), static_cast<char>(0xaa)};  // a checker 16x2
  Pixmap stipple = XCreateBitmapFromData(display, t, bits, 16, 2);
  XSetStipple(display, gc, stipple);
  XSetFillStyle(display, gc, FillStippled);
  XSetForeground(display, gc, kKey);
  XFillRectangle(display, t, gc, 50, 20, 100, 30);
  XSetFillStyle(display, gc, FillSolid);
  XFreePixmap(display, stipple);
  XSync(display, False);
  queryWindow(t);
  for (size_t i = 0; i < direct.size(); i++) {
    CopyShape shape = shapeOn(i);
    for (int y = 20; y < 50; y += 3) {
      for (int x = 50; x < 150; x += 7) {
        int got = opaqueIn(shape, x, y);
        if (got < 0) continue;
        ASSERT_EQ(got, ((x + y) % 2) == 0 ? 0 : 1) << "server " << i << " at " << x << "," << y;
      }
    }
  }
}

// Beside a 16-bit server the key colours are compared in its own pixels.
INSTANTIATE_TEST_SUITE_P(SecondServerDepth, TranslucentPixels, ::testing::Values("24", "16"));

}  // namespace
}  // namespace palvon::test

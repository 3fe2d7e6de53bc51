// Shapes and shared-memory images through the proxy program on layouts
// other than two plain heads: Xvfb A and B side by side (meta x 0..400 on
// A, 400.. on B) with B zoomed 2 (it shows meta 400..600 x 0..350), or with
// B behind a relay that moves SHAPE and MIT-SHM to other codes, or that
// hides MIT-SHM from B. B is the colour head, so queries and ShapeNotify
// come from it and are scaled back on the zoomed layout.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/shape.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/shapeshm_rig.h"
#include "support/xprogram.h"
#include "support/xvfb.h"
#include "support/xwindows.h"

namespace palvon::test {
namespace {

constexpr uint8_t kShapeAtB = 220, kShmAtB = 221;

// What stands in front of B (kNoShmAnywhere: A too is behind a relay that
// hides MIT-SHM, so no server makes the completion).
enum class BehindB { kNothing, kMovedCodes, kNoShm, kNoShmAnywhere };

struct Layout {
  const char* name;
  bool zoomed;
  BehindB relay;
  const char* environment = nullptr;  // for the proxy, "NAME=value"
};
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

std::vector<XErrorEvent> errors;
int recordError(Display*, XErrorEvent* event) {
  errors.push_back(*event);
  return 0;
}

class Layouts : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; i++) {
      // Tall enough for x11perf's window.
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x700x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    }
    std::string nameA = servers[0]->display(), nameB = servers[1]->display();
    if (GetParam().relay == BehindB::kNoShmAnywhere) {
      relayA = std::make_unique<ExtensionRelay>(*servers[0]);
      ASSERT_TRUE(relayA->ok()) << relayA->error();
      relayA->hideExtension("MIT-SHM");
      nameA = relayA->display();
    }
    if (GetParam().relay != BehindB::kNothing) {
      relay = std::make_unique<ExtensionRelay>(*servers[1]);
      ASSERT_TRUE(relay->ok()) << relay->error();
      if (GetParam().relay == BehindB::kMovedCodes) {
        relay->moveExtension("SHAPE", kShapeAtB, 120, 1);
        relay->moveExtension("MIT-SHM", kShmAtB, 121, 1, 200, 1);
      } else {
        relay->hideExtension("MIT-SHM");
      }
      nameB = relay->display();
    }
    std::vector<std::string> words{"noReset", "on"};
    if (GetParam().zoomed) words.insert(words.end(), {"options", "Tavel"});
    words.insert(words.end(), {"screen", nameA + ".0", "borderWidth", "0", "screen", nameB + ".0",
                               "borderWidth", "0", "tags", "color"});
    if (GetParam().zoomed) words.insert(words.end(), {"clipGeometry", "200x350+400+0"});
    proxyStarted = time(nullptr);
    proxy = std::make_unique<ProxyProcess>(words, environment());
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    display = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(display, nullptr);
    for (auto& server : servers) {
      direct.push_back(XOpenDisplay(server->display().c_str()));
      ASSERT_NE(direct.back(), nullptr);
    }
    errors.clear();
    XSetErrorHandler(recordError);
  }
  std::vector<std::string> environment() const {
    if (!GetParam().environment) return {};
    return {GetParam().environment};
  }

  void TearDown() override {
    for (GC gc : gcs)
      if (display) XFreeGC(display, gc);
    for (Display* d : direct)
      if (d) XCloseDisplay(d);
    if (display) XCloseDisplay(display);
    XSetErrorHandler(nullptr);
  }

  GC makeGC(Drawable drawable) {
    gcs.push_back(XCreateGC(display, drawable, 0, nullptr));
    return gcs.back();
  }

  // A mapped window on the seam: 200 x 100 at (300, 50), half on each head.
  Window seamWindow() {
    Window window = plainWindow(display, DefaultRootWindow(display), 300, 50, 200, 100, 0);
    XSync(display, False);
    return window;
  }

  int zoom() const { return GetParam().zoomed ? 2 : 1; }
  // The seam window's copy on each server.
  Window onA() { return serverWindow(direct[0], 200, 100); }
  Window onB() { return serverWindow(direct[1], unsigned(200 * zoom()), unsigned(100 * zoom())); }
  // A window pixel (x, y) as B's server shows it (x from 100 on).
  unsigned long pixelOnB(int x, int y) { return pixelOf(direct[1], onB(), x * zoom(), y * zoom()); }
  unsigned long pixelOnA(int x, int y) { return pixelOf(direct[0], onA(), x, y); }

  static unsigned long pixelOf(Display* server, Window window, int x, int y) {
    XImage* image = XGetImage(server, window, x, y, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = image ? XGetPixel(image, 0, 0) : ~0ul;
    if (image) XDestroyImage(image);
    return pixel;
  }

  // The client's shape as B's server must hold it (a zoom of 2 keeps the
  // bands as they are).
  std::string scaled(Display* client, Window window, int kind) const {
    int count = 0, ordering = 0, z = zoom();
    XRectangle* rectangles = XShapeGetRectangles(client, window, kind, &count, &ordering);
    std::string text;
    for (int i = 0; i < count; i++) {
      const XRectangle& r = rectangles[i];
      text += "(" + std::to_string(r.x * z) + "," + std::to_string(r.y * z) + "," + std::to_string(r.width * z) +
              "," + std::to_string(r.height * z) + ")";
    }
    if (rectangles) XFree(rectangles);
    return text;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ExtensionRelay> relay, relayA;
  std::unique_ptr<ProxyProcess> proxy;
  time_t proxyStarted = 0;
  Display* display = nullptr;
  std::vector<Display*> direct;
  std::vector<GC> gcs;
};

// The shared-memory segments the process made that still exist. Process
// ids come round again: a segment a dead process of the same id left
// behind was made before this one started.
int segmentsMadeBy(pid_t pid, time_t started) {
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);  // the header
  int count = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long long key, shmid, perms, size, creator, last, attached, uid, gid, cuid, cgid, atime, dtime, ctime;
    if (fields >> key >> shmid >> perms >> size >> creator >> last >> attached >> uid >> gid >> cuid >> cgid >>
            atime >> dtime >> ctime &&
        creator == pid && ctime >= started)
      count++;
  }
  return count;
}

// The proxy's segments go on its idle timers once the servers have passed
// the images; a loaded machine may delay those timers, so the wait is for
// the count, with a limit far above the timers' own.
int segmentsLeftAfterWaiting(pid_t pid, time_t started) {
  int left = segmentsMadeBy(pid, started);
  for (int i = 0; i < 1000 && left != 0; i++) {
    usleep(20 * 1000);
    left = segmentsMadeBy(pid, started);
  }
  return left;
}

std::string layoutName(const ::testing::TestParamInfo<Layout>& info) { return info.param.name; }

// All nine SHAPE requests from one client: each server ends with the
// client's shape in its own terms, the replies are in meta terms, and the
// window's one ShapeNotify carries the extents the client set.
TEST_P(Layouts, TheNineShapeRequests) {
  int shapeEvent = 0, shapeError = 0, major = 0, minor = 0;
  ASSERT_TRUE(XShapeQueryExtension(display, &shapeEvent, &shapeError));
  ASSERT_TRUE(XShapeQueryVersion(display, &major, &minor));
  EXPECT_EQ(major * 64 + minor, 65);
  Window window = seamWindow();
  XShapeSelectInput(display, window, ShapeNotifyMask);
  EXPECT_EQ(XShapeInputSelected(display, window), unsigned(ShapeNotifyMask));
  XSync(display, False);

  // Offset (5, 5) arrives moved into the rectangles.
  XRectangle boxes[] = {{0, 0, 50, 40}, {110, 20, 40, 40}};
  XShapeCombineRectangles(display, window, ShapeBounding, 5, 5, boxes, 2, ShapeSet, Unsorted);
  XSync(display, False);
  usleep(300 * 1000);
  XSync(display, False);
  int notifies = 0;
  XEvent event;
  XShapeEvent last{};
  while (XCheckTypedEvent(display, shapeEvent + ShapeNotify, &event)) {
    notifies++;
    last = *reinterpret_cast<XShapeEvent*>(&event);
  }
  EXPECT_EQ(notifies, 1);
  EXPECT_EQ(last.kind, ShapeBounding);
  EXPECT_EQ(last.x, 5);
  EXPECT_EQ(last.y, 5);
  EXPECT_EQ(last.width, 150u);
  EXPECT_EQ(last.height, 60u);
  const std::string set = "(5,5,50,20)(5,25,50,20)(115,25,40,20)(115,45,40,20)";
  EXPECT_EQ(shapeText(display, window, ShapeBounding), set);
  EXPECT_EQ(shapeText(direct[0], onA(), ShapeBounding), set);
  EXPECT_EQ(shapeText(direct[1], onB(), ShapeBounding), scaled(display, window, ShapeBounding));

  Bool bounding = False, clip = False;
  int bx = 0, by = 0, cx = 0, cy = 0;
  unsigned bw = 0, bh = 0, cw = 0, ch = 0;
  ASSERT_TRUE(XShapeQueryExtents(display, window, &bounding, &bx, &by, &bw, &bh, &clip, &cx, &cy, &cw, &ch));
  EXPECT_TRUE(bounding);
  EXPECT_FALSE(clip);
  EXPECT_EQ(std::vector<int>({bx, by, int(bw), int(bh)}), std::vector<int>({5, 5, 150, 60}));
  EXPECT_EQ(std::vector<int>({cx, cy, int(cw), int(ch)}), std::vector<int>({0, 0, 200, 100}));

  if (relay) {
    // The queries went to B, the colour head (its tag names it).
    ExtensionRelay::Codes codes;
    uint8_t shapeAtB = GetParam().relay == BehindB::kMovedCodes ? kShapeAtB
                                                                 : (relay->serverCodes("SHAPE", &codes), codes.major);
    std::vector<int> queries;
    for (const auto& r : relay->allExtensionRequests())
      if (r.major == shapeAtB && r.minor >= 5) queries.push_back(r.minor);
    // SelectInput, InputSelected, GetRectangles (twice), QueryExtents.
    EXPECT_EQ(queries, std::vector<int>({6, 7, 8, 8, 5}));
  }

  // Moved, cut by another window's shape, and by a mask.
  XShapeOffsetShape(display, window, ShapeBounding, 10, 20);
  Window source = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 30, 20, 0, 0, 0);
  XShapeCombineShape(display, window, ShapeBounding, 110, 40, source, ShapeBounding, ShapeSubtract);
  Pixmap mask = XCreatePixmap(display, window, 200, 100, 1);
  GC gc = makeGC(mask);
  XSetForeground(display, gc, 0);
  XFillRectangle(display, mask, gc, 0, 0, 200, 100);
  XSetForeground(display, gc, 1);
  XFillRectangle(display, mask, gc, 20, 10, 160, 80);
  // The mask's shape is read back from B without waiting behind the
  // client's own server grab (which would last the offline time-out, 20 s).
  auto start = std::chrono::steady_clock::now();
  XGrabServer(display);
  XShapeCombineMask(display, window, ShapeClip, 0, 0, mask, ShapeSet);
  XUngrabServer(display);
  XSync(display, False);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(errors.empty());
  const std::string cut = "(15,25,50,20)(15,45,50,15)(140,45,25,15)(15,60,50,5)(125,60,40,5)(125,65,40,20)";
  EXPECT_EQ(shapeText(display, window, ShapeBounding), cut);
  EXPECT_EQ(shapeText(direct[0], onA(), ShapeBounding), cut);
  EXPECT_EQ(shapeText(direct[1], onB(), ShapeBounding), scaled(display, window, ShapeBounding));
  EXPECT_EQ(shapeText(display, window, ShapeClip), "(20,10,160,80)");
  EXPECT_EQ(shapeText(direct[0], onA(), ShapeClip), "(20,10,160,80)");
  EXPECT_EQ(shapeText(direct[1], onB(), ShapeClip), scaled(display, window, ShapeClip));
  XFreePixmap(display, mask);
}

// Raw clients of either byte order: a shape with its offset reaches both
// servers in their terms, and the replies read right in the client's order
// and in meta terms.
TEST_P(Layouts, RawClientsOfBothOrders) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_TRUE(c.connectUnix(proxy->number()));
    ASSERT_EQ(c.setup(order), 1);
    uint8_t shape = c.queryExtension("SHAPE").major;
    ASSERT_NE(shape, 0);
    Bytes reply;
    uint32_t window = shapedWindowThrough(c, shape, &reply);
    ASSERT_GE(reply.size(), 40u);
    ASSERT_EQ(reply[0], X_Reply);
    EXPECT_EQ(c.get32(reply, 8), 1u);
    EXPECT_EQ(std::vector<int>({c.get16(reply, 32), c.get16(reply, 34), c.get16(reply, 36), c.get16(reply, 38)}),
              std::vector<int>({5, 5, 50, 40}));
    Bytes extents(4);
    c.put32(extents, 0, window);
    c.send(c.request(shape, 5, extents));
    reply = c.readMessage();
    ASSERT_GE(reply.size(), 32u);
    ASSERT_EQ(reply[0], X_Reply);
    EXPECT_EQ(std::vector<int>({c.get16(reply, 12), c.get16(reply, 14), c.get16(reply, 16), c.get16(reply, 18)}),
              std::vector<int>({5, 5, 50, 40}));
    EXPECT_EQ(shapeText(direct[0], onA(), ShapeBounding), "(5,5,50,40)");
    EXPECT_EQ(shapeText(direct[1], onB(), ShapeBounding), "(" + std::to_string(5 * zoom()) + "," +
                                                              std::to_string(5 * zoom()) + "," +
                                                              std::to_string(50 * zoom()) + "," +
                                                              std::to_string(40 * zoom()) + ")");
    Bytes id(4);
    c.put32(id, 0, window);
    c.send(c.request(X_DestroyWindow, 0, id));
    c.send(c.request(X_GetInputFocus, 0));
    c.readMessage();
  }
}

// ShmPutImage across the seam: both halves right on their servers, and one
// completion whoever makes it.
TEST_P(Layouts, ShmPutImageOnTheSeam) {
  Window window = seamWindow();
  int completion = XShmGetEventBase(display) + ShmCompletion;
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  Segment segment(200 * 100 * 4);
  XImage* image = XShmCreateImage(display, visual, 24, ZPixmap, nullptr, &segment.info, 200, 100);
  ASSERT_NE(image, nullptr);
  image->data = segment.info.shmaddr;
  for (int y = 0; y < 100; y++)
    for (int x = 0; x < 200; x++) XPutPixel(image, x, y, x < 100 ? 0xff0000 : 0x00ff00);
  ASSERT_TRUE(XShmAttach(display, &segment.info));
  XShmPutImage(display, window, makeGC(window), image, 0, 0, 0, 0, 200, 100, True);
  XSync(display, False);
  usleep(300 * 1000);
  XSync(display, False);
  int completions = 0;
  XEvent event;
  while (XCheckTypedEvent(display, completion, &event)) completions++;
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(pixelOnA(50, 50), 0xff0000ul);
  EXPECT_EQ(pixelOnB(150, 50), 0x00ff00ul);
  if (relay) {
    // B gets the request as is (the client's image of 200 x 100) only
    // where it shares memory and needs nothing converted; zoomed, the
    // image scaled for it goes through a segment of the proxy's own.
    bool asIs = false, scaled = false;
    for (const auto& r : relay->allExtensionRequests()) {
      if (r.major != kShmAtB || r.minor != 3) continue;
      uint16_t totalWidth = wire16(r.bytes, 12, r.order);
      asIs = asIs || totalWidth == 200;
      scaled = scaled || totalWidth == 400;
    }
    bool shared = GetParam().relay == BehindB::kMovedCodes;
    EXPECT_EQ(asIs, shared && !GetParam().zoomed);
    EXPECT_EQ(scaled, shared && GetParam().zoomed);
  }
  XShmDetach(display, &segment.info);
  image->data = nullptr;
  XDestroyImage(image);
  XSync(display, False);
}

TEST_P(Layouts, ShmGetImageOnTheSeam) {
  Window window = seamWindow();
  GC gc = makeGC(window);
  XSetForeground(display, gc, 0x0000ff);
  XFillRectangle(display, window, gc, 0, 0, 100, 100);
  XSetForeground(display, gc, 0xffff00);
  XFillRectangle(display, window, gc, 100, 0, 100, 100);
  XSync(display, False);
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  Segment segment(200 * 100 * 4);
  XImage* image = XShmCreateImage(display, visual, 24, ZPixmap, nullptr, &segment.info, 200, 100);
  ASSERT_NE(image, nullptr);
  image->data = segment.info.shmaddr;
  ASSERT_TRUE(XShmAttach(display, &segment.info));
  ASSERT_TRUE(XShmGetImage(display, window, image, 0, 0, AllPlanes));
  EXPECT_TRUE(errors.empty());
  for (int x : {10, 99})
    EXPECT_EQ(XGetPixel(image, x, 50), 0x0000fful) << x;
  for (int x : {100, 101, 199})
    EXPECT_EQ(XGetPixel(image, x, 50), 0xffff00ul) << x;
  XShmDetach(display, &segment.info);
  image->data = nullptr;
  XDestroyImage(image);
  XSync(display, False);
}

// An 80 KB core PutImage on the seam: both halves right; B gets it
// through a segment of the proxy's own where B shares memory, converted or
// not.
TEST_P(Layouts, CorePutImageOnTheSeam) {
  Window window = seamWindow();
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  XImage* image = XCreateImage(display, visual, 24, ZPixmap, 0, nullptr, 200, 100, 32, 0);
  ASSERT_NE(image, nullptr);
  image->data = static_cast<char*>(calloc(size_t(image->bytes_per_line) * 100, 1));
  for (int y = 0; y < 100; y++)
    for (int x = 0; x < 200; x++) XPutPixel(image, x, y, 0x010000 * unsigned(x) + 0x000101 * unsigned(y));
  if (relay) relay->clearLog();
  XPutImage(display, window, makeGC(window), image, 0, 0, 0, 0, 200, 100);
  XSync(display, False);
  EXPECT_TRUE(errors.empty());
  for (int y : {0, 37, 99}) {
    for (int x : {20, 99}) EXPECT_EQ(pixelOnA(x, y), 0x010000ul * unsigned(x) + 0x000101ul * unsigned(y)) << x;
    for (int x : {100, 199}) EXPECT_EQ(pixelOnB(x, y), 0x010000ul * unsigned(x) + 0x000101ul * unsigned(y)) << x;
  }
  if (relay) {
    int shmPuts = 0;
    for (const auto& r : relay->allExtensionRequests()) shmPuts += r.major == kShmAtB && r.minor == 3;
    // Unless the threshold keeps the image out of shared memory.
    bool shared = GetParam().relay == BehindB::kMovedCodes && !GetParam().environment;
    EXPECT_EQ(shmPuts, shared ? 1 : 0);
  }
  XDestroyImage(image);
  // The proxy's own segments go once the servers have passed the puts.
  EXPECT_EQ(segmentsLeftAfterWaiting(proxy->pid(), proxyStarted), 0);
}

// 2,000 images of 10 x 10 put without a round trip between them, many times
// what the proxy's ring for small images holds: each lands where it was put
// on both heads, and the proxy makes a segment per server for them, not one
// per image, which goes once the images have stopped for a while.
TEST_P(Layouts, ManySmallImagesOnTheSeam) {
  Window window = seamWindow();
  GC gc = makeGC(window);
  std::vector<char> data(10 * 10 * 4);
  XImage* image = XCreateImage(display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap, 0, data.data(),
                               10, 10, 32, 40);
  ASSERT_NE(image, nullptr);
  auto colour = [](int i) { return 0x010000ul * unsigned(i % 251) + 0x000100ul * unsigned(i % 241) + unsigned(i % 239); };
  constexpr int kImages = 2000;
  for (int i = 0; i < kImages; i++) {
    for (int y = 0; y < 10; y++)
      for (int x = 0; x < 10; x++) XPutPixel(image, x, y, colour(i));
    XPutImage(display, window, gc, image, 0, 0, (i % 20) * 10, (i / 20 % 10) * 10, 10, 10);
  }
  XSync(display, False);
  EXPECT_TRUE(errors.empty());
  // The last 200 images cover the window: the one at (column, row) is
  // image kImages - 200 + row * 20 + column.
  for (int row : {0, 4, 9}) {
    for (int column : {0, 9, 10, 19}) {
      unsigned long wanted = colour(kImages - 200 + row * 20 + column);
      int x = column * 10 + 5, y = row * 10 + 5;
      EXPECT_EQ(x < 100 ? pixelOnA(x, y) : pixelOnB(x, y), wanted) << column << "," << row;
    }
  }
  EXPECT_LE(segmentsMadeBy(proxy->pid(), proxyStarted), 2);
  image->data = nullptr;
  XDestroyImage(image);
  EXPECT_EQ(segmentsLeftAfterWaiting(proxy->pid(), proxyStarted), 0);
}

// While A stands still, 1,200 images of 10 x 10 go to a window on A alone,
// each to a place of its own: the ring fills and stays full until A has
// read it, the rest go in the requests, and none is overwritten before A
// has drawn it.
TEST_P(Layouts, SmallImagesToAServerThatStandsStill) {
  Window window = plainWindow(display, DefaultRootWindow(display), 0, 50, 400, 300, 0);
  GC gc = makeGC(window);
  XSync(display, False);
  std::vector<char> data(10 * 10 * 4);
  XImage* image = XCreateImage(display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap, 0, data.data(),
                               10, 10, 32, 40);
  ASSERT_NE(image, nullptr);
  auto colour = [](int i) { return 0x010000ul * unsigned(i % 251) + 0x000100ul * unsigned(i / 251) + 0x40u; };
  constexpr int kImages = 1200;
  pid_t a = servers[0]->pid();
  ASSERT_EQ(kill(a, SIGSTOP), 0);
  std::thread resume([a] {
    usleep(500 * 1000);
    kill(a, SIGCONT);
  });
  for (int i = 0; i < kImages; i++) {
    for (int y = 0; y < 10; y++)
      for (int x = 0; x < 10; x++) XPutPixel(image, x, y, colour(i));
    XPutImage(display, window, gc, image, 0, 0, (i % 40) * 10, (i / 40) * 10, 10, 10);
  }
  XSync(display, False);
  resume.join();
  image->data = nullptr;
  XDestroyImage(image);
  XImage* shown = XGetImage(direct[0], serverWindow(direct[0], 400, 300), 0, 0, 400, 300, AllPlanes, ZPixmap);
  ASSERT_NE(shown, nullptr);
  int wrong = 0;
  for (int i = 0; i < kImages; i++) wrong += XGetPixel(shown, (i % 40) * 10 + 5, (i / 40) * 10 + 5) != colour(i);
  XDestroyImage(shown);
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(errors.empty());
  // The client leaves at once: its segments go with it, and the proxy
  // serves on.
  for (GC each : gcs) XFreeGC(display, each);
  gcs.clear();
  XCloseDisplay(display);
  display = nullptr;
  EXPECT_EQ(segmentsLeftAfterWaiting(proxy->pid(), proxyStarted), 0);
  Display* other = XOpenDisplay(proxy->display().c_str());
  ASSERT_NE(other, nullptr);
  XCloseDisplay(other);
}

// x11perf's shared-memory tests run to the end and report each one.
TEST_P(Layouts, X11perfSharedMemoryTests) {
  ProgramResult result = runProgram({"x11perf", "-repeat", "1", "-reps", "20", "-shmput10", "-shmput100",
                                     "-shmputxy10", "-shmget10", "-shmget100"},
                                    proxy->display(), 120000);
  EXPECT_EQ(result.status, 0) << result.err << proxy->log();
  size_t reports = 0;
  for (size_t at = result.out.find(" reps @ "); at != std::string::npos; at = result.out.find(" reps @ ", at + 1))
    reports++;
  EXPECT_EQ(reports, 5u) << result.out << result.err;
  EXPECT_EQ(result.err.find("X Error"), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(BZoomedOrRelayed, Layouts,
                         ::testing::Values(Layout{"Plain", false, BehindB::kNothing},
                                           Layout{"Zoomed", true, BehindB::kNothing},
                                           Layout{"MovedCodes", false, BehindB::kMovedCodes},
                                           Layout{"ZoomedMovedCodes", true, BehindB::kMovedCodes},
                                           Layout{"NoShmOnB", false, BehindB::kNoShm},
                                           Layout{"NoShmAnywhere", false, BehindB::kNoShmAnywhere},
                                           Layout{"NoSharedPuts", false, BehindB::kMovedCodes,
                                                  "shmPutImageMinSize=1000000000"}),
                         layoutName);

// B's relay turns B's GetImage replies into errors.
class ErrorsFromB : public Layouts {};

// A ShmGetImage whose piece from B is answered by an error fails, and
// leaves nothing of the segment held: after the detach only the test has
// it attached.
TEST_P(ErrorsFromB, AFailedReadLetsTheSegmentGo) {
  Window window = seamWindow();
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  Segment segment(200 * 100 * 4);
  XImage* image = XShmCreateImage(display, visual, 24, ZPixmap, nullptr, &segment.info, 200, 100);
  ASSERT_NE(image, nullptr);
  image->data = segment.info.shmaddr;
  ASSERT_TRUE(XShmAttach(display, &segment.info));
  XSync(display, False);
  relay->rewriteReply(X_GetImage, 0, [](Bytes& reply, char order) {
    uint16_t sequence = wire16(reply, 2, order);
    reply.assign(32, 0);
    reply[1] = BadMatch;
    putWire16(reply, 2, sequence, order);
    reply[10] = X_GetImage;
  });
  EXPECT_FALSE(XShmGetImage(display, window, image, 0, 0, AllPlanes));
  relay->rewriteReply(X_GetImage, 0, [](Bytes&, char) {});
  // Still serving, and the image of A alone reads well.
  XImage* left = XGetImage(display, window, 0, 0, 50, 50, AllPlanes, ZPixmap);
  EXPECT_NE(left, nullptr);
  if (left) XDestroyImage(left);
  XShmDetach(display, &segment.info);
  XSync(display, False);
  int attachedAfter = -1;
  for (int i = 0; i < 100 && (attachedAfter = attachments(segment.info.shmid)) != 1; i++) usleep(20 * 1000);
  EXPECT_EQ(attachedAfter, 1);
  image->data = nullptr;
  XDestroyImage(image);
}

INSTANTIATE_TEST_SUITE_P(Relayed, ErrorsFromB, ::testing::Values(Layout{"MovedCodes", false, BehindB::kMovedCodes}),
                         layoutName);

}  // namespace
}  // namespace palvon::test

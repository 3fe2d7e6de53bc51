// Capturing a window subtree from one real Xvfb head: a window with a child,
// half covered by a sibling, is drawn on the head and captured into a
// 24-bit image. The capture equals the window as the head shows it (what
// xwd -id reads), the covered half left untouched; an 8-bit PseudoColor
// head comes out in its colormap's RGB; a head zoomed twice (read through
// a link of the other byte order) gives twice the area; a window reaching
// past its head is read where the head shows it. A read the server refuses
// ends the capture incomplete and is not reported to the client whose link
// carried it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/capture.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/colorheads.h"
#include "Proxy/visuals/visual.h"
#include "Xext/shm/shm.h"
#include "support/linkrig.h"
#include "support/resource_rig.h"
#include "support/tempdir.h"
#include "support/xvfb.h"
#include "xsupport/ximage.h"
#include "xsupport/xtarget.h"

namespace palvon::test {
namespace {

constexpr u32 kRoot = 32, kColormap = 33;
constexpr u32 kWidth = 320, kHeight = 240;
constexpr u32 kUntouched = 0x5a5a5a;  // the target's colour before the capture

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
struct ImageDestroyer {
  void operator()(XImage* image) const { XDestroyImage(image); }
};
using Image = std::unique_ptr<XImage, ImageDestroyer>;

struct HeadKind {
  const char* name;
  u32 depth;  // of the Xvfb screen: 8 is PseudoColor, 24 TrueColor
  u32 zoom;
  bool msbFirst;  // the client's link speaks the other byte order
  bool shm = false;  // MIT-SHM on: every box is read through shared memory
};
void PrintTo(const HeadKind& kind, std::ostream* out) { *out << kind.name; }

const ImageFormat kRGB{ZPixmap, 24, 32, 32, LSBFirst, LSBFirst, 32, 0xff0000, 0xff00, 0xff};

struct Done {
  int calls = 0;
  bool complete = false;
};
void noteDone(void* argument, bool complete) {
  auto* done = static_cast<Done*>(argument);
  done->calls++;
  done->complete = complete;
}

class CaptureRig : public ::testing::TestWithParam<HeadKind> {
 protected:
  std::unique_ptr<Xvfb> xvfb;
  std::unique_ptr<Display, DisplayCloser> own;
  std::unique_ptr<DatabaseRig> database;
  std::unique_ptr<LinkRig> rig;
  ServerDisplay server{};
  Head head{};
  MetaScreen screen{};
  VisualRecord metaVisual{};
  VisualRecord headVisual{};
  u32 nextLocal = 1;
  ExtensionEntry* shm = nullptr;
  ExtensionCodeMap codes{};

  void SetUp() override {
    const HeadKind& kind = GetParam();
    u32 zoom = kind.zoom;
    xvfb = std::make_unique<Xvfb>(std::vector<std::string>{
        "-screen", "0", std::to_string(kWidth * zoom) + "x" + std::to_string(kHeight * zoom) + "x" +
                            std::to_string(kind.depth)});
    ASSERT_TRUE(xvfb->ok()) << xvfb->error();
    own.reset(XOpenDisplay(xvfb->display().c_str()));
    ASSERT_NE(own, nullptr);
    XSetErrorHandler(xtargetErrorHandler);
    database = std::make_unique<DatabaseRig>();
    rig = std::make_unique<LinkRig>();
    if (kind.shm) {
      // MIT-SHM on the rig's fresh tables, its major carried to the
      // server's; every image, however small, through shared memory.
      setenv("shmGetImageMinSize", "0", 1);
      shm = registerShmForLink(own.get(), &codes);
      ASSERT_NE(shm, nullptr);
      server.shmUsable = 1;
    }
    ServerLink* link = rig->open(*xvfb, kind.msbFirst, 0, 10000, kind.shm ? &codes : nullptr);
    ASSERT_NE(link, nullptr);
    link->server.display = &server;
    rig->client()->hasLinks = 1;
    ASSERT_EQ(initClientResourceTable(1), 1);
    const ServerSetup& setup = rig->setup(0);
    Visual* real = DefaultVisual(own.get(), 0);
    for (VisualRecord* v : {&metaVisual, &headVisual}) {
      v->depth = u8(kind.depth);
      v->visualClass = u8(real->c_class);
      v->colormapSize = u16(real->map_entries);
      v->redMask = u32(real->red_mask), v->greenMask = u32(real->green_mask), v->blueMask = u32(real->blue_mask);
    }
    metaVisual.visualId = 0x21;
    headVisual.visualId = setup.rootVisual;
    screen.width = kWidth, screen.height = kHeight;
    screen.visuals = screen.rootVisual = &metaVisual;
    screen.visualCount = 1;
    screen.defaultColormap = kColormap;
    server.display = own.get();
    server.firstHead = &head;
    // The proxy's 20 id bits under the server's mask, as for a real server.
    computeIdPartition(&server, 0xfffff);
    head.serverDisplay = &server;
    head.metaScreen = &screen;
    head.display = own.get();
    head.root = setup.root;
    head.defaultColormap = setup.colormap;
    head.defaultDepth = kind.depth;
    head.visualMatches = &headVisual;
    head.visualMatchCount = 1;
    head.logical = {0, 0, i32(kWidth), i32(kHeight)};
    head.clip = {0, 0, i32(kWidth * zoom), i32(kHeight * zoom)};
    screen.heads = screen.mainHead = screen.colorHead = &head;
    screen.headCount = 1;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    if (zoom != 1) {
      proxyConfig.options |= kOptionTavel;
      ASSERT_EQ(setupHeadScaling(&head), nullptr);
      screen.width = kWidth, screen.height = kHeight;
    }
    head.rootWindow = XCreateSimpleWindow(own.get(), setup.root, 0, 0, kWidth * zoom, kHeight * zoom, 0, 0, 0);
    XMapWindow(own.get(), head.rootWindow);
    XSync(own.get(), False);
    setClientServerIdBase(1, &head, setup.idBase);
    ASSERT_NE(createColormapRecord(nullptr, kColormap, &screen, &metaVisual, AllocNone), nullptr);
    ASSERT_TRUE(createRootWindowRecord(&screen, kRoot));
    currentClient = rig->client();
  }

  void TearDown() override {
    if (shm) resetExtension(shm);
    unsetenv("shmGetImageMinSize");
    currentClient = nullptr;
    rig.reset();
    database.reset();
    releaseScaler(&head.scaler);
    proxyState.screens = nullptr;
    proxyState.screenCount = 0;
  }

  u32 zoom() const { return GetParam().zoom; }
  u32 onHead(u32 id) { return translateXid(id, RT_WINDOW, &head); }

  void send(const std::vector<u8>& request) {
    std::vector<u8> copy = request;
    dispatchClientRequest(rig->client(), copy.data(), u32(copy.size()));
    ASSERT_TRUE(rig->sync());
  }

  u32 mappedWindow(u32 parent, i16 x, i16 y, u16 width, u16 height) {
    u32 id = (1u << 20) | nextLocal++;
    std::vector<u8> body(28);
    put32At(body, 0, id);
    put32At(body, 4, parent);
    put16At(body, 8, u16(x));
    put16At(body, 10, u16(y));
    put16At(body, 12, width);
    put16At(body, 14, height);
    put16At(body, 18, InputOutput);
    send(makeRequest(X_CreateWindow, 0, body));
    std::vector<u8> map(4);
    put32At(map, 0, id);
    send(makeRequest(X_MapWindow, 0, map));
    return id;
  }

  // A colour the head can show and the proxy's colormap knows: the pixel
  // drawn and the RGB the capture must give for it.
  u32 colour(u16 red, u16 green, u16 blue, u32* rgb) {
    XColor c{};
    c.red = red, c.green = green, c.blue = blue;
    EXPECT_TRUE(XAllocColor(own.get(), DefaultColormap(own.get(), 0), &c));
    *rgb = u32(c.red >> 8) << 16 | u32(c.green >> 8) << 8 | u32(c.blue >> 8);
    if (GetParam().depth <= 8) {
      auto* colormap = static_cast<ColormapRecord*>(lookupResourceByType(kColormap, RT_COLORMAP));
      setColormapCellColour(colormap, u32(c.pixel), c.red, c.green, c.blue, DoRed | DoGreen | DoBlue);
    }
    return u32(c.pixel);
  }

  void paint(u32 id, u32 pixel) {
    GC gc = XCreateGC(own.get(), onHead(id), 0, nullptr);
    XSetForeground(own.get(), gc, pixel);
    XFillRectangle(own.get(), onHead(id), gc, 0, 0, 4000, 4000);
    XFreeGC(own.get(), gc);
    XSync(own.get(), False);
  }

  Image target(const HeadRect& area) {
    HeadRect size = captureAreaOnHead(&head, area);
    Image image(ximageCreateWithData(&kRGB, size.width, size.height));
    for (int y = 0; y < image->height; y++)
      for (int x = 0; x < image->width; x++) XPutPixel(image.get(), x, y, kUntouched);
    return image;
  }

  Done capture(u32 id, const HeadRect& area, XImage* image) {
    Done done;
    const char* error = queueWindowAreaOnHead(rig->client(), lookupWindow(id), area, 0, image, &done, noteDone);
    EXPECT_EQ(error, nullptr) << error;
    EXPECT_TRUE(rig->pump([&] { return done.calls > 0; }));
    return done;
  }
};

// The window W with a child C, a sibling S above W's right half: the
// capture shows W and C as the head does and leaves S's part untouched.
TEST_P(CaptureRig, EqualsTheWindowOnItsHead) {
  u32 rgbW, rgbC, rgbS;
  u32 pixelW = colour(0xffff, 0, 0, &rgbW), pixelC = colour(0, 0xffff, 0, &rgbC),
      pixelS = colour(0x2000, 0x4000, 0xffff, &rgbS);
  (void)rgbS;
  u32 w = mappedWindow(kRoot, 20, 30, 100, 80);
  u32 c = mappedWindow(w, 10, 10, 30, 20);
  u32 s = mappedWindow(kRoot, 70, 20, 100, 100);
  paint(w, pixelW);
  paint(c, pixelC);
  paint(s, pixelS);
  HeadRect area{20, 30, 100, 80};
  Image image = target(area);
  ASSERT_EQ(u32(image->width), 100 * zoom()) << "a zoomed head gives the zoomed area";
  ASSERT_EQ(u32(image->height), 80 * zoom());
  Done done = capture(w, area, image.get());
  EXPECT_EQ(done.calls, 1);
  EXPECT_TRUE(done.complete);

  // What xwd -id reads of the window on the head.
  Image shown(XGetImage(own.get(), onHead(w), 0, 0, image->width, image->height, AllPlanes, ZPixmap));
  ASSERT_NE(shown, nullptr);
  // The sibling covers W's right 50 columns: what the head shows there
  // is not W's.
  std::map<u32, u32> rgbOf{{pixelW, rgbW}, {pixelC, rgbC}};
  std::map<u32, u32> counts;
  u32 wrong = 0;
  for (int y = 0; y < image->height; y++)
    for (int x = 0; x < image->width; x++) {
      u32 got = u32(XGetPixel(image.get(), x, y)) & 0xffffff;
      counts[got]++;
      u32 want = kUntouched;
      if (u32(x) < 50 * zoom()) {
        u32 onServer = u32(XGetPixel(shown.get(), x, y));
        ASSERT_TRUE(rgbOf.count(onServer)) << x << "," << y << " shows 0x" << std::hex << onServer;
        want = rgbOf[onServer];
      }
      if (got != want && wrong++ < 5) ADD_FAILURE() << x << "," << y << ": 0x" << std::hex << got;
    }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(counts[kUntouched], 50 * 80 * zoom() * zoom());
  EXPECT_EQ(counts[rgbC], 30 * 20 * zoom() * zoom());

  // Into a file: the same pixels as RGB bytes, black where nothing shows.
  TempDir dir;
  std::string path = dir.file("w.ppm");
  ASSERT_EQ(captureWindowToFile(nullptr, w, nullptr, path.c_str()), nullptr);
  std::string header = "P6\n" + std::to_string(image->width) + " " + std::to_string(image->height) + "\n255\n";
  size_t size = header.size() + size_t(image->width) * size_t(image->height) * 3;
  std::string file;
  ASSERT_TRUE(rig->pump([&] { return (file = readFile(path)).size() == size; })) << file.size();
  ASSERT_EQ(file.substr(0, header.size()), header);
  for (size_t i = 0, at = header.size(); i < size_t(image->width) * size_t(image->height); i++, at += 3) {
    u32 got = u32(u8(file[at])) << 16 | u32(u8(file[at + 1])) << 8 | u8(file[at + 2]);
    u32 want = u32(XGetPixel(image.get(), int(i % u32(image->width)), int(i / u32(image->width)))) & 0xffffff;
    if (got != (want == kUntouched ? 0 : want)) ADD_FAILURE() << "file pixel " << i;
  }
}

// A window reaching past the head's part of a wider screen: what the head
// shows is read, the rest stays untouched, and nothing is refused.
TEST_P(CaptureRig, APartBeyondTheHeadIsLeftOut) {
  screen.width = 2 * kWidth;
  resizeRootWindow(screen.rootWindow, screen.width, screen.height);
  u32 rgb, pixel = colour(0xffff, 0xffff, 0, &rgb);
  u32 w = mappedWindow(kRoot, 280, 200, 100, 60);
  paint(w, pixel);
  HeadRect area{280, 200, 100, 60};
  Image image = target(area);
  Done done = capture(w, area, image.get());
  EXPECT_TRUE(done.complete);
  EXPECT_EQ(XGetPixel(image.get(), int(39 * zoom()), int(39 * zoom())) & 0xffffff, rgb);
  EXPECT_EQ(XGetPixel(image.get(), int(40 * zoom()), 0) & 0xffffff, kUntouched);
  EXPECT_EQ(XGetPixel(image.get(), 0, int(40 * zoom())) & 0xffffff, kUntouched);
}

// The server refuses the read of a window it does not show: the capture
// ends incomplete, and the error is not the client's.
TEST_P(CaptureRig, RefusedReadEndsIncompleteWithoutAnErrorToTheClient) {
  u32 w = mappedWindow(kRoot, 20, 30, 60, 40);
  rig->take();
  XUnmapWindow(own.get(), onHead(w));
  XSync(own.get(), False);
  HeadRect area{20, 30, 60, 40};
  Image image = target(area);
  Done done = capture(w, area, image.get());
  EXPECT_EQ(done.calls, 1);
  EXPECT_FALSE(done.complete);
  ASSERT_TRUE(rig->sync());
  for (const Message& m : rig->take()) EXPECT_NE(m[0], 0) << "error " << int(m[1]) << " reached the client";
  EXPECT_EQ(XGetPixel(image.get(), 0, 0) & 0xffffff, kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Heads, CaptureRig,
                         ::testing::Values(HeadKind{"TrueColor", 24, 1, false}, HeadKind{"PseudoColor", 8, 1, false},
                                           HeadKind{"ZoomedMsbFirst", 24, 2, true},
                                           HeadKind{"TrueColorShm", 24, 1, false, true},
                                           HeadKind{"PseudoColorShm", 8, 1, false, true},
                                           HeadKind{"ZoomedMsbFirstShm", 24, 2, true, true}));

}  // namespace
}  // namespace palvon::test

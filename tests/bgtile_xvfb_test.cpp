// Background tiles against a real Xvfb: a client's window on one head gets
// a tile, the client draws into the window and grows and shrinks it
// through the proxy's handlers, and after every step the tile read back
// from the server equals the window read back from the server, for each
// bit gravity the server keeps contents by.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>

#include <sys/shm.h>

#include <memory>
#include <string>
#include <vector>

#include "Proxy/bgtile.h"
#include "Proxy/client.h"
#include "Proxy/dispatch.h"
#include "Proxy/extensions.h"
#include "Proxy/records.h"
#include "Proxy/resource.h"
#include "Proxy/serverlink.h"
#include "Proxy/window.h"
#include "Proxy/windowattr.h"
#include "Proxy/config.h"
#include "Proxy/xadjust.h"
#include "Proxy/xscaling.h"
#include "Proxy/xdisplay.h"
#include "Proxy/xscreen.h"
#include "Proxy/xvisual.h"
#include "resource_rig.h"
#include "Xext/shm.h"
#include "support/linkrig.h"
#include "support/xvfb.h"
#include "xsupport/misc.h"
#include "xsupport/xtarget.h"

namespace palvon::test {
namespace {

constexpr u32 kRoot = 32;
constexpr u32 kBackground = 0x336699;

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

struct ImageFree {
  void operator()(XImage* image) const { XDestroyImage(image); }
};
using Image = std::unique_ptr<XImage, ImageFree>;

std::vector<u8> body(std::initializer_list<u32> words) {
  std::vector<u8> b(4 * words.size());
  size_t at = 0;
  for (u32 w : words) put32At(b, at, w), at += 4;
  return b;
}

// 16-bit values after a header of 32-bit words, padded to a whole word.
std::vector<u8> shorts(std::initializer_list<u32> words, std::initializer_list<i32> values) {
  std::vector<u8> b = body(words);
  for (i32 v : values) {
    b.push_back(0), b.push_back(0);
    put16At(b, b.size() - 2, u16(v));
  }
  while (b.size() % 4) b.push_back(0);
  return b;
}

std::vector<u8> putImageBody(u32 drawable, u32 g, u16 width, u16 height, i16 x, i16 y, const std::vector<u32>& pixels) {
  std::vector<u8> b = body({drawable, g, 0, 0, 0});
  put16At(b, 8, width), put16At(b, 10, height), put16At(b, 12, u16(x)), put16At(b, 14, u16(y));
  b[16] = 0, b[17] = 24;
  for (u32 pixel : pixels) b.insert(b.end(), {u8(pixel), u8(pixel >> 8), u8(pixel >> 16), 0});
  return b;
}

class TileRig : public ::testing::Test {
 protected:
  std::unique_ptr<Xvfb> xvfb;
  std::unique_ptr<Display, DisplayCloser> own;
  ServerDisplay server{};
  Head head{};
  MetaScreen screen{};
  VisualRecord visual{};
  std::unique_ptr<DatabaseRig> database;
  std::unique_ptr<LinkRig> rig;
  u32 nextLocal = 1;
  u32 font = 0;

  ExtensionCodeMap shmCodes{};

  // The head's pixels per meta pixel.
  virtual u32 zoom() const { return 1; }
  // Images go through shared memory, as the proxy sends them to a local
  // server.
  virtual bool shared() const { return false; }

  void SetUp() override {
    u32 z = zoom();
    xvfb = std::make_unique<Xvfb>(
        std::vector<std::string>{"-screen", "0", std::to_string(320 * z) + "x" + std::to_string(240 * z) + "x24"});
    ASSERT_TRUE(xvfb->ok()) << xvfb->error();
    own.reset(XOpenDisplay(xvfb->display().c_str()));
    ASSERT_NE(own, nullptr);
    XSetErrorHandler(xtargetErrorHandler);
    database = std::make_unique<DatabaseRig>();
    rig = std::make_unique<LinkRig>();
    if (shared()) {
      static constexpr ExtensionModule kShm[] = {{"MIT-SHM", 65, initShmExtension}};
      resetAllExtensions();
      setExtensionModules(kShm, 1);
      std::string name = xvfb->display();
      ExtensionServer servers[] = {{own.get(), name.c_str(), &shmCodes}};
      ASSERT_EQ(setupServerExtensions(servers, 1), nullptr);
      server.shmUsable = 1;
    }
    ServerLink* link = rig->open(*xvfb, false, 0, 10000, shared() ? &shmCodes : nullptr);
    ASSERT_NE(link, nullptr);
    link->server.display = &server;
    rig->client()->hasLinks = 1;
    ASSERT_EQ(initClientResourceTable(1), 1);
    visual.visualId = 0x21, visual.depth = 24, visual.visualClass = TrueColor;
    visual.redMask = 0xff0000, visual.greenMask = 0xff00, visual.blueMask = 0xff;
    screen.width = 320, screen.height = 240;
    screen.visuals = screen.rootVisual = &visual;
    screen.visualCount = 1;
    const ServerSetup& setup = rig->setup(0);
    u32 low = u32(__builtin_ctz(setup.idMask));
    u32 headBits = u32(__builtin_popcount(setup.idMask)) - 20;
    server.display = own.get();
    server.firstHead = &head;
    server.baseShift = low;
    server.proxyIdShift = low + headBits;
    server.indexMask = ((1u << headBits) - 1) << low;
    head.serverDisplay = &server;
    head.metaScreen = &screen;
    head.display = own.get();
    head.root = setup.root;
    head.defaultColormap = setup.colormap;
    head.defaultDepth = 24;
    head.logical = {0, 0, 320, 240};
    head.clip = {0, 0, i32(320 * z), i32(240 * z)};
    if (z != 1) {
      proxyConfig.options |= kOptionTavel;
      ASSERT_EQ(setupHeadScaling(&head), nullptr);
      screen.width = 320, screen.height = 240;
      // As on the proxy's zoomed heads: text drawn from glyph pixmaps.
      head.fontBitmaps = 1;
    }
    head.rootWindow = XCreateSimpleWindow(own.get(), setup.root, 0, 0, 320 * z, 240 * z, 0, 0, 0);
    XMapWindow(own.get(), head.rootWindow);
    // As the proxy does when it connects: the GCs of the default depth.
    getDepthGC(own.get(), 0, 24);
    XSync(own.get(), False);
    setClientServerIdBase(1, &head, setup.idBase);
    screen.heads = screen.mainHead = &head;
    screen.headCount = 1;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    serverDisplayList = imageDisplay = fontDisplay = &server;
    serverDisplayCount = 1;
    offeredPixmapFormats[0] = {1, 1, 32};
    offeredPixmapFormats[1] = {24, 32, 32};
    offeredPixmapFormatCount = 2;
    ASSERT_TRUE(createRootWindowRecord(&screen, kRoot));
    currentClient = rig->client();
  }

  void TearDown() override {
    currentClient = nullptr;
    releaseScaler(&head.scaler);
    proxyConfig.options &= ~kOptionTavel;
    if (shared()) resetAllExtensions();
    rig.reset();
    database.reset();
    proxyState.screens = nullptr;
    proxyState.screenCount = 0;
    serverDisplayList = imageDisplay = fontDisplay = nullptr;
    serverDisplayCount = 0;
    offeredPixmapFormatCount = 0;
    EXPECT_EQ(backgroundTileCount, 0u) << "every tile went with its window";
  }

  u32 newId() { return (1u << 20) | nextLocal++; }
  u32 onHead(u32 id) { return translateXid(id, RT_WINDOW, &head); }

  void send(u8 major, u8 data, const std::vector<u8>& b) {
    std::vector<u8> request = makeRequest(major, data, b);
    dispatchClientRequest(rig->client(), request.data(), u32(request.size()));
    ASSERT_TRUE(rig->sync());
    for (const Message& m : rig->take()) {
      EXPECT_NE(m[0], 0) << "error " << int(m[1]) << " for request " << int(major);
    }
  }

  u32 window(u32 parent, i16 x, i16 y, u16 width, u16 height, u8 gravity, u32 backMask = CWBackPixel,
             u32 back = kBackground) {
    u32 id = newId();
    std::vector<u8> b = body({id, parent, 0, 0, 0, 0, u32(backMask | CWBitGravity), back, gravity});
    put16At(b, 8, u16(x)), put16At(b, 10, u16(y)), put16At(b, 12, width), put16At(b, 14, height);
    put16At(b, 16, 0), put16At(b, 18, InputOutput);
    send(X_CreateWindow, 0, b);
    send(X_MapWindow, 0, body({id}));
    return id;
  }

  u32 gc(u32 drawable, u32 foreground, u32 subwindowMode = ClipByChildren) {
    if (!font) {
      font = newId();
      std::vector<u8> open = body({font, 0});
      put16At(open, 4, 5);
      for (char c : std::string("fixed")) open.push_back(u8(c));
      while (open.size() % 4) open.push_back(0);
      send(X_OpenFont, 0, open);
    }
    u32 id = newId();
    send(X_CreateGC, 0,
         body({id, drawable, GCForeground | GCBackground | GCFont | GCSubwindowMode, foreground, 0x102030, font,
               subwindowMode}));
    return id;
  }

  void configure(u32 id, u16 mask, std::vector<u32> values) {
    std::vector<u8> b(8 + 4 * values.size());
    put32At(b, 0, id);
    put16At(b, 4, mask);
    for (size_t k = 0; k < values.size(); k++) put32At(b, 8 + 4 * k, values[k]);
    send(X_ConfigureWindow, 0, b);
  }

  BackgroundTile* tileOf(u32 id) {
    ProxyWindow* w = lookupWindow(id);
    return w ? w->tiles : nullptr;
  }

  // The first pixel where the tile differs from the window on the server.
  std::string compare(u32 id) {
    BackgroundTile* tile = tileOf(id);
    if (!tile) return "no tile";
    XSync(own.get(), False);
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth;
    if (!XGetGeometry(own.get(), onHead(id), &root, &x, &y, &width, &height, &border, &depth)) return "no window";
    if (tile->width != width || tile->height != height) return "the tile's size is not the window's";
    Image shown(XGetImage(own.get(), onHead(id), 0, 0, width, height, AllPlanes, ZPixmap));
    Image copy(XGetImage(own.get(), tile->pixmap, 0, 0, width, height, AllPlanes, ZPixmap));
    if (!shown || !copy) return shown ? "no image of the tile" : "no image of the window";
    for (int y = 0; y < int(height); y++)
      for (int x = 0; x < int(width); x++) {
        unsigned long a = XGetPixel(shown.get(), x, y), b = XGetPixel(copy.get(), x, y);
        if (a != b) {
          char text[96];
          std::snprintf(text, sizeof text, "at %d,%d the window shows %06lx, the tile %06lx", x, y, a, b);
          return text;
        }
      }
    return "";
  }

  // The client's own ShmPutImage: a part of a 16 x 8 image in a segment.
  void sharedPut(u32 drawable, u32 g) {
    int shmid = shmget(IPC_PRIVATE, 16 * 8 * 4, IPC_CREAT | 0666);
    ASSERT_GE(shmid, 0);
    auto* pixels = static_cast<u32*>(shmat(shmid, nullptr, 0));
    shmctl(shmid, IPC_RMID, nullptr);
    ASSERT_NE(pixels, reinterpret_cast<u32*>(-1));
    for (u32 i = 0; i < 16 * 8; i++) pixels[i] = (i * 2) << 16 | (i * 7 % 256) << 8 | (255 - i);
    u8 major = findExtensionByName("MIT-SHM")->major;
    u32 segment = newId();
    send(major, 1, body({segment, u32(shmid), 0}));
    std::vector<u8> put = body({drawable, g, 0, 0, 0, 0, 0, segment, 0});
    put16At(put, 8, 16), put16At(put, 10, 8), put16At(put, 12, 3), put16At(put, 14, 2);
    put16At(put, 16, 10), put16At(put, 18, 5), put16At(put, 20, 52), put16At(put, 22, 12);
    put[24] = 24, put[25] = ZPixmap;
    send(major, 3, put);
    send(major, 2, body({segment}));
    shmdt(pixels);
  }

  // A little of everything a client draws with.
  void draw(u32 drawable, u32 g, i32 at) {
    send(X_PolyFillRectangle, 0, shorts({drawable, g}, {at + 4, 3, 20, 9, at + 30, 20, 7, 25}));
    send(X_PolyLine, CoordModePrevious, shorts({drawable, g}, {at + 2, 40, 25, 0, 0, 10, -12, 6}));
    send(X_PolySegment, 0, shorts({drawable, g}, {at + 40, 2, at + 55, 30, at + 40, 30, at + 55, 2}));
    send(X_PolyArc, 0, shorts({drawable, g}, {at + 10, 50, 20, 15, 0, 23040}));
    send(X_FillPoly, 0,
         [&] {
           std::vector<u8> b = shorts({drawable, g, 0}, {at + 60, 40, at + 70, 60, at + 50, 60});
           b[8] = Complex, b[9] = CoordModeOrigin;
           return b;
         }());
    std::vector<u32> pixels(24);
    for (u32 i = 0; i < 24; i++) pixels[i] = (i * 10) << 16 | (255 - i * 9) << 8 | i * 5;
    send(X_PutImage, ZPixmap, putImageBody(drawable, g, 6, 4, i16(at + 12), 62, pixels));
    std::vector<u8> text = shorts({drawable, g}, {at + 20, 20});
    text.insert(text.end(), {3, 0, 'T', 'x', 't', 0, 0, 0});
    send(X_PolyText8, 0, text);
    std::vector<u8> image = shorts({drawable, g}, {at + 35, 45});
    image.insert(image.end(), {'I', 'm', 'g', 0});
    send(X_ImageText8, 3, image);
  }
};

// --- Growing and shrinking --------------------------------------------------------------------

struct GravityCase {
  const char* name;
  u8 gravity;
  i32 moveX, moveY;  // with each resize
  u32 zoom = 1;
  bool proxyMade = false;  // made and freed through the proxy's connection
  bool shared = false;
};

class TileGravities : public TileRig, public ::testing::WithParamInterface<GravityCase> {
  u32 zoom() const override { return GetParam().zoom; }
  bool shared() const override { return GetParam().shared; }
};

TEST_P(TileGravities, TheTileEqualsTheWindowAfterDrawingGrowingAndShrinking) {
  const GravityCase& c = GetParam();
  i32 x = 60, y = 50;
  u32 w = window(kRoot, i16(x), i16(y), 100, 80, c.gravity);
  u32 red = gc(w, 0xff0000);
  ASSERT_EQ(createBackgroundTile(c.proxyMade ? nullptr : rig->client(), lookupWindow(w), &head), nullptr);
  ASSERT_TRUE(rig->sync());
  EXPECT_EQ(compare(w), "") << "painted with the background";
  draw(w, red, 0);
  std::vector<u32> pixels(12 * 5);
  for (u32 i = 0; i < pixels.size(); i++) pixels[i] = (i * 4) << 16 | (200 - i * 3) << 8 | i;
  send(X_PutImage, ZPixmap, putImageBody(w, red, 12, 5, 70, 66, pixels));
  if (c.shared) sharedPut(w, red);
  EXPECT_EQ(compare(w), "") << "after drawing";
  // Within the window, overlapping itself: the tile takes the contents from
  // before the copy.
  std::vector<u8> copy = body({w, w, red, 0, 0, 0});
  put16At(copy, 12, 0), put16At(copy, 14, 0), put16At(copy, 16, 6), put16At(copy, 18, 7), put16At(copy, 20, 40),
      put16At(copy, 22, 30);
  send(X_CopyArea, 0, copy);
  std::vector<u8> clear = body({w, 0, 0});
  put16At(clear, 4, 10), put16At(clear, 6, 4), put16At(clear, 8, 0), put16At(clear, 10, 10);
  send(X_ClearArea, 0, clear);
  EXPECT_EQ(compare(w), "") << "after copying and clearing";

  const u16 sizes[][2] = {{150, 120}, {130, 110}, {60, 45}, {90, 70}};
  for (const auto& size : sizes) {
    x += c.moveX, y += c.moveY;
    configure(w, CWX | CWY | CWWidth | CWHeight, {u32(x), u32(y), size[0], size[1]});
    EXPECT_EQ(compare(w), "") << c.name << " at " << size[0] << "x" << size[1];
    draw(w, red, size[0] / 3);
    EXPECT_EQ(compare(w), "") << c.name << " drawn at " << size[0] << "x" << size[1];
  }
  if (c.proxyMade) {
    u32 pixmap = tileOf(w)->pixmap;
    freeBackgroundTile(nullptr, lookupWindow(w), &head);
    EXPECT_EQ(tileOf(w), nullptr);
    xErrorTrapBegin(own.get());
    Window root;
    int px, py;
    unsigned width, height, border, depth;
    XGetGeometry(own.get(), pixmap, &root, &px, &py, &width, &height, &border, &depth);
    XSync(own.get(), False);
    EXPECT_NE(xErrorTrapEnd(), 0) << "the pixmap is gone from the server";
  }
  send(X_DestroyWindow, 0, body({w}));
}

INSTANTIATE_TEST_SUITE_P(Gravities, TileGravities,
                         ::testing::Values(GravityCase{"NorthWest", NorthWestGravity, 0, 0},
                                           GravityCase{"SouthEast", SouthEastGravity, 0, 0},
                                           GravityCase{"Center", CenterGravity, 0, 0},
                                           GravityCase{"Static", StaticGravity, -7, 5},
                                           GravityCase{"Forget", ForgetGravity, 3, 0},
                                           GravityCase{"SouthEastZoomed", SouthEastGravity, 0, 0, 2},
                                           GravityCase{"StaticZoomed", StaticGravity, 6, -4, 2},
                                           GravityCase{"SouthEastWithoutClient", SouthEastGravity, 0, 0, 1, true},
                                           GravityCase{"StaticShared", StaticGravity, 4, 4, 1, false, true}),
                         [](const ::testing::TestParamInfo<GravityCase>& info) { return std::string(info.param.name); });

// --- Inferiors ----------------------------------------------------------------------------------

TEST_F(TileRig, IncludeInferiorsReachesAChildsTileAtItsPlaceClipByChildrenDoesNot) {
  u32 parent = window(kRoot, 10, 10, 200, 150, NorthWestGravity);
  u32 child = window(parent, 30, 20, 60, 40, NorthWestGravity, CWBackPixel, 0x00aa00);
  ASSERT_EQ(createBackgroundTile(rig->client(), lookupWindow(parent), &head), nullptr);
  ASSERT_EQ(createBackgroundTile(rig->client(), lookupWindow(child), &head), nullptr);
  ASSERT_TRUE(rig->sync());
  u32 clipped = gc(parent, 0xff0000), over = gc(parent, 0xffff00, IncludeInferiors);
  send(X_PolyFillRectangle, 0, shorts({parent, clipped}, {20, 10, 50, 30}));
  EXPECT_EQ(compare(child), "") << "ClipByChildren leaves the child's tile alone";
  send(X_PolyFillRectangle, 0, shorts({parent, over}, {25, 30, 40, 15, 80, 50, 30, 30}));
  send(X_PolyLine, CoordModePrevious, shorts({parent, over}, {20, 25, 30, 0, 0, 20, 50, 10}));
  send(X_PolySegment, 0, shorts({parent, over}, {35, 15, 95, 65}));
  send(X_PolyFillArc, 0, shorts({parent, over}, {70, 40, 30, 20, 0, 23040}));
  EXPECT_EQ(compare(child), "") << "IncludeInferiors draws into the child's tile where it draws on the child";
  std::vector<u8> copy = body({parent, parent, over, 0, 0, 0});
  put16At(copy, 12, 20), put16At(copy, 14, 10), put16At(copy, 16, 40), put16At(copy, 18, 35), put16At(copy, 20, 30),
      put16At(copy, 22, 20);
  send(X_CopyArea, 0, copy);
  EXPECT_EQ(compare(child), "") << "a copy within the parent onto the child";
  send(X_DestroyWindow, 0, body({parent}));
}

// --- Backgrounds ---------------------------------------------------------------------------------

enum class Back { kPixel, kPixmap, kParentRelative, kNone };

std::string backName(Back kind) {
  static const char* const names[] = {"Pixel", "Pixmap", "ParentRelative", "None"};
  return names[int(kind)];
}

class TileBackgrounds : public TileRig, public ::testing::WithParamInterface<Back> {};

TEST_P(TileBackgrounds, TheTileIsPaintedAsTheServerPaintsTheWindow) {
  // A 7 x 5 pattern, so that a wrong origin shows.
  u32 pattern = newId(), g = newId();
  std::vector<u8> create = body({pattern, kRoot, 0});
  put16At(create, 8, 7), put16At(create, 10, 5);
  send(X_CreatePixmap, 24, create);
  send(X_CreateGC, 0, body({g, pattern, GCForeground, 0x884422}));
  send(X_PolyFillRectangle, 0, shorts({pattern, g}, {0, 0, 7, 5}));
  send(X_ChangeGC, 0, body({g, GCForeground, 0x22ccee}));
  send(X_PolyFillRectangle, 0, shorts({pattern, g}, {1, 1, 3, 2, 5, 0, 1, 5}));
  Back kind = GetParam();
  u32 owner = kRoot, x = 40, y = 30;
  if (kind == Back::kParentRelative) {
    owner = window(kRoot, 13, 9, 250, 200, NorthWestGravity, CWBackPixmap, pattern);
    x = 17, y = 11;
  }
  u32 mask = kind == Back::kPixel ? CWBackPixel : CWBackPixmap;
  u32 value = kind == Back::kPixel ? kBackground : kind == Back::kPixmap ? pattern
                                               : kind == Back::kParentRelative ? u32(ParentRelative) : None;
  u32 w = window(owner, i16(x), i16(y), 90, 70, NorthWestGravity, mask, value);
  ASSERT_EQ(createBackgroundTile(rig->client(), lookupWindow(w), &head), nullptr);
  ASSERT_TRUE(rig->sync());
  if (kind == Back::kNone) {
    XSync(own.get(), False);
    Image copy(XGetImage(own.get(), tileOf(w)->pixmap, 0, 0, 90, 70, AllPlanes, ZPixmap));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(XGetPixel(copy.get(), 0, 0), 0u);
    EXPECT_EQ(XGetPixel(copy.get(), 89, 69), 0u);
  } else {
    EXPECT_EQ(compare(w), "") << "made";
    configure(w, CWWidth | CWHeight, {130, 100});
    EXPECT_EQ(compare(w), "") << "grown";
    std::vector<u8> clear = body({w, 0, 0});
    put16At(clear, 4, 10), put16At(clear, 6, 12), put16At(clear, 8, 33), put16At(clear, 10, 0);
    send(X_ClearArea, 0, clear);
    EXPECT_EQ(compare(w), "") << "cleared";
  }
  send(X_DestroyWindow, 0, body({owner == kRoot ? w : owner}));
}

INSTANTIATE_TEST_SUITE_P(Backgrounds, TileBackgrounds,
                         ::testing::Values(Back::kPixel, Back::kPixmap, Back::kParentRelative, Back::kNone),
                         [](const ::testing::TestParamInfo<Back>& info) { return backName(info.param); });

// --- Filled text backgrounds ------------------------------------------------------------------

TEST_F(TileRig, FilledRectanglesReachTheTilesSolidAndCopiedAndTheGCIsRestored) {
  u32 parent = window(kRoot, 10, 10, 200, 150, NorthWestGravity);
  u32 child = window(parent, 40, 30, 60, 50, NorthWestGravity, CWBackPixel, 0x00aa00);
  ASSERT_EQ(createBackgroundTile(rig->client(), lookupWindow(parent), &head), nullptr);
  ASSERT_EQ(createBackgroundTile(rig->client(), lookupWindow(child), &head), nullptr);
  u32 g = gc(parent, 0xffffff, IncludeInferiors);
  send(X_ChangeGC, 0, body({g, GCFunction, GXxor}));
  const xRectangle boxes[] = {{45, 35, 10, 8}, {5, 5, 4, 4}};
  mirrorTextTranslucent(clientLink(rig->client(), 0), &head, lookupWindow(parent), g, boxes, 2);
  ASSERT_TRUE(rig->sync());
  XSync(own.get(), False);
  Image tile(XGetImage(own.get(), tileOf(parent)->pixmap, 0, 0, 200, 150, AllPlanes, ZPixmap));
  Image inner(XGetImage(own.get(), tileOf(child)->pixmap, 0, 0, 60, 50, AllPlanes, ZPixmap));
  ASSERT_TRUE(tile && inner);
  EXPECT_EQ(XGetPixel(tile.get(), 46, 36), 0xffffffu) << "copied, not xored";
  EXPECT_EQ(XGetPixel(tile.get(), 6, 6), 0xffffffu);
  EXPECT_EQ(XGetPixel(tile.get(), 30, 30), kBackground);
  EXPECT_EQ(XGetPixel(inner.get(), 6, 6), 0xffffffu) << "at the child's place";
  EXPECT_EQ(XGetPixel(inner.get(), 20, 20), 0x00aa00u);
  // The GC xors again, in the child's tile as on the child.
  send(X_PolyFillRectangle, 0, shorts({parent, g}, {60, 60, 30, 30}));
  XSync(own.get(), False);
  Image shown(XGetImage(own.get(), onHead(child), 25, 35, 1, 1, AllPlanes, ZPixmap));
  inner.reset(XGetImage(own.get(), tileOf(child)->pixmap, 25, 35, 1, 1, AllPlanes, ZPixmap));
  ASSERT_TRUE(shown && inner);
  EXPECT_EQ(XGetPixel(shown.get(), 0, 0), 0xff55ffu);
  EXPECT_EQ(XGetPixel(inner.get(), 0, 0), 0xff55ffu);
  send(X_DestroyWindow, 0, body({parent}));
}

}  // namespace
}  // namespace palvon::test

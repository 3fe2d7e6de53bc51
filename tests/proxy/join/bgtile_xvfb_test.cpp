// Background tiles against a real Xvfb: a client's window on one head gets
// a tile, the client draws into the window and grows and shrinks it
// through the proxy's handlers, and after every step the tile read back
// from the server equals the window read back from the server.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <sys/shm.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/visual.h"
#include "Xext/shm/shm.h"
#include "support/linkrig.h"
#include "support/resource_rig.h"
#include "xsupport/misc.h"
#include "xsupport/xtarget.h"

namespace palvon::test {
namespace {

constexpr u32 kRoot = 32, kBackground = 0x336699;

struct Closer {
  void operator()(Display* display) const { XCloseDisplay(display); }
  void operator()(XImage* image) const { XDestroyImage(image); }
};
using Image = std::unique_ptr<XImage, Closer>;

// A request body: 32-bit words, then 16-bit values, then 32-bit words.
std::vector<u8> fields(std::initializer_list<u32> words, std::initializer_list<i32> halves = {},
                       std::vector<u32> tail = {}) {
  std::vector<u8> b;
  auto add = [&](u32 v, u32 size) { b.resize(b.size() + size), size == 4 ? put32At(b, b.size() - 4, v)
                                                                       : put16At(b, b.size() - 2, u16(v)); };
  for (u32 w : words) add(w, 4);
  for (i32 h : halves) add(u32(h), 2);
  b.resize((b.size() + 3) & ~size_t{3});
  for (u32 w : tail) add(w, 4);
  return b;
}

enum class Back { kPixel, kPixmap, kParentRelative };

struct Case {
  const char* name;
  u8 gravity;
  i32 moveX, moveY;  // with each resize
  u32 zoom = 1;
  Back back = Back::kPixel;
  bool proxyMade = false;  // made and freed through the proxy's connection
  bool shared = false;     // images through shared memory, as to a local server
  u32 turns = 0;           // the heads turned by quarter turns
  u32 workarounds = 0;
  // Side by side, the window across the seam. Parts of it lie off each
  // server's screen, where the server keeps no contents: only bit gravities
  // that move nothing from there into view compare.
  u32 heads = 1;
  u32 halves = 0;  // not 0: the heads zoomed by halves / 2 instead
};

// One real server shown as one head of the meta screen.
struct Server {
  std::unique_ptr<Xvfb> xvfb;
  std::unique_ptr<Display, Closer> own;
  ServerDisplay server{};
  Head head{};
};

class TileRig : public ::testing::TestWithParam<Case> {
 protected:
  Server servers[2];
  Head& head = servers[0].head;
  MetaScreen screen{};
  VisualRecord visual{};
  ExtensionCodeMap shmCodes{};
  std::unique_ptr<DatabaseRig> database;
  std::unique_ptr<LinkRig> rig;
  u32 nextLocal = 1, font = 0, source = 0, headCount = 1;

  const Case& param() const {
    static const Case plain{"", NorthWestGravity, 0, 0};
    return ::testing::UnitTest::GetInstance()->current_test_info()->value_param() ? GetParam() : plain;
  }

  void SetUp() override {
    const Case& c = param();
    headCount = c.heads;
    XSetErrorHandler(xtargetErrorHandler);
    database = std::make_unique<DatabaseRig>();
    rig = std::make_unique<LinkRig>();
    ASSERT_EQ(initClientResourceTable(1), 1);
    visual.visualId = 0x21, visual.depth = 24, visual.visualClass = TrueColor;
    visual.redMask = 0xff0000, visual.greenMask = 0xff00, visual.blueMask = 0xff;
    screen.visuals = screen.rootVisual = &visual;
    screen.visualCount = 1;
    for (u32 i = 0; i < headCount; i++) addHead(i, c);
    rig->client()->hasLinks = 1;
    screen.heads = screen.mainHead = &head;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    serverDisplayList = imageDisplay = fontDisplay = &servers[0].server;
    serverDisplayCount = headCount;
    offeredPixmapFormats[0] = {1, 1, 32};
    offeredPixmapFormats[1] = {24, 32, 32};
    offeredPixmapFormatCount = 2;
    ASSERT_TRUE(createRootWindowRecord(&screen, kRoot));
    proxyConfig.workarounds = c.workarounds;
    currentClient = rig->client();
  }

  void addHead(u32 i, const Case& c) {
    Server& s = servers[i];
    u32 twice = c.halves ? c.halves : 2 * c.zoom;
    u32 w = (c.turns % 2 ? 240 : 320) * twice / 2, h = (c.turns % 2 ? 320 : 240) * twice / 2;
    s.xvfb = std::make_unique<Xvfb>(
        std::vector<std::string>{"-screen", "0", std::to_string(w) + "x" + std::to_string(h) + "x24"});
    ASSERT_TRUE(s.xvfb->ok()) << s.xvfb->error();
    s.own.reset(XOpenDisplay(s.xvfb->display().c_str()));
    ASSERT_NE(s.own, nullptr);
    if (c.shared) {
      static constexpr ExtensionModule kShm[] = {{"MIT-SHM", 65, initShmExtension}};
      resetAllExtensions();
      setExtensionModules(kShm, 1);
      std::string name = s.xvfb->display();
      ExtensionServer shm[] = {{s.own.get(), name.c_str(), &shmCodes}};
      ASSERT_EQ(setupServerExtensions(shm, 1), nullptr);
      s.server.shmUsable = 1;
    }
    ServerLink* link = rig->open(*s.xvfb, false, i, 10000, c.shared ? &shmCodes : nullptr);
    ASSERT_NE(link, nullptr);
    link->server.display = &s.server;
    const ServerSetup& setup = rig->setup(i);
    u32 low = u32(__builtin_ctz(setup.idMask)), headBits = u32(__builtin_popcount(setup.idMask)) - 20;
    s.server.display = s.head.display = s.own.get();
    s.server.index = s.head.serverIndex = i;
    s.server.firstHead = &s.head;
    s.server.baseShift = low;
    s.server.proxyIdShift = low + headBits;
    s.server.indexMask = ((1u << headBits) - 1) << low;
    if (i > 0) servers[i - 1].server.next = &s.server, servers[i - 1].head.next = &s.head;
    s.head.back = i > 0 ? &servers[i - 1].head : nullptr;
    s.head.serverDisplay = &s.server;
    s.head.metaScreen = &screen;
    s.head.root = setup.root;
    s.head.defaultColormap = setup.colormap;
    s.head.defaultDepth = 24;
    s.head.logical = {i32(320 * i), 0, 320, 240};
    s.head.clip = {0, 0, i32(w), i32(h)};
    s.head.rotation = c.turns;
    screen.width = 320 * headCount, screen.height = 240;
    HeadRect whole{0, 0, i32(screen.width), 240}, shown = s.head.logical;
    if (twice != 2 || c.turns) {
      proxyConfig.options |= kOptionTavel;
      ASSERT_EQ(setupHeadScaling(&s.head), nullptr);
      screen.width = 320 * headCount, screen.height = 240;
      scaleRectangleRotated(s.head.scaler, &whole, screen.width, screen.height);
      scaleRectangleRotated(s.head.scaler, &shown, screen.width, screen.height);
      s.head.fontBitmaps = 1;  // as on the proxy's zoomed heads
    }
    // The meta root's copy, placed so that the head shows its part.
    s.head.rootWindow = XCreateSimpleWindow(s.own.get(), setup.root, whole.x - shown.x, whole.y - shown.y,
                                            u32(whole.width), u32(whole.height), 0, 0, 0);
    XMapWindow(s.own.get(), s.head.rootWindow);
    getDepthGC(s.own.get(), 0, 24);  // as the proxy does when it connects
    XSync(s.own.get(), False);
    setClientServerIdBase(1, &s.head, setup.idBase);
    screen.headCount = i + 1;
  }

  void TearDown() override {
    currentClient = nullptr;
    for (Server& s : servers) releaseScaler(&s.head.scaler);
    proxyConfig.options &= ~kOptionTavel;
    proxyConfig.workarounds = 0;
    if (param().shared) resetAllExtensions();
    rig.reset();
    database.reset();
    proxyState.screens = nullptr;
    proxyState.screenCount = 0;
    serverDisplayList = imageDisplay = fontDisplay = nullptr;
    serverDisplayCount = offeredPixmapFormatCount = 0;
    EXPECT_EQ(backgroundTileCount, 0u) << "every tile went with its window";
  }

  u32 newId() { return (1u << 20) | nextLocal++; }
  BackgroundTile* tileOf(u32 id, u32 on = 0) {
    for (BackgroundTile* t = lookupWindow(id) ? lookupWindow(id)->tiles : nullptr; t; t = t->next)
      if (t->head == &servers[on].head) return t;
    return nullptr;
  }
  void tile(u32 id, bool viaProxy = false) {
    for (u32 i = 0; i < headCount; i++)
      ASSERT_EQ(createBackgroundTile(viaProxy ? nullptr : rig->client(), lookupWindow(id), &servers[i].head), nullptr);
    ASSERT_TRUE(rig->sync());
  }

  void send(u8 major, u8 data, const std::vector<u8>& body) {
    std::vector<u8> request = makeRequest(major, data, body);
    dispatchClientRequest(rig->client(), request.data(), u32(request.size()));
    ASSERT_TRUE(rig->sync());
    for (const Message& m : rig->take()) EXPECT_NE(m[0], 0) << "error " << int(m[1]) << " for " << int(major);
  }

  u32 window(u32 parent, i16 x, i16 y, u16 width, u16 height, u8 gravity, u32 backMask, u32 back) {
    u32 id = newId();
    send(X_CreateWindow, 0,
         fields({id, parent}, {x, y, width, height, 0, InputOutput}, {0, u32(backMask | CWBitGravity), back, gravity}));
    send(X_MapWindow, 0, fields({id}));
    return id;
  }

  u32 gc(u32 drawable, u32 foreground, u32 subwindowMode = ClipByChildren) {
    if (!font) send(X_OpenFont, 0, fields({font = newId()}, {5, 0}, {0x65786966, 'd'}));  // "fixed"
    u32 id = newId();
    if (!source) {
      // A pixmap to copy from.
      send(X_CreatePixmap, 24, fields({source = newId(), kRoot}, {20, 15}));
      send(X_CreateGC, 0, fields({id, source, GCForeground, 0x40c080}));
      send(X_PolyFillRectangle, 0, fields({source, id}, {0, 0, 20, 15}));
      send(X_ChangeGC, 0, fields({id, GCForeground, 0xc04080}));
      send(X_PolyFillRectangle, 0, fields({source, id}, {3, 2, 5, 9, 12, 6, 8, 9}));
      send(X_FreeGC, 0, fields({id}));
    }
    send(X_CreateGC, 0, fields({id, drawable, GCForeground | GCBackground | GCFont | GCSubwindowMode, foreground,
                                0x102030, font, subwindowMode}));
    return id;
  }

  // The first pixel where a tile differs from the window on its server.
  std::string compare(u32 id) {
    for (u32 i = 0; i < headCount; i++) {
      BackgroundTile* tile = tileOf(id, i);
      Display* own = servers[i].own.get();
      Window root;
      int x, y;
      unsigned width = 0, height = 0, border, depth;
      XSync(own, False);
      u32 onHead = translateXid(id, RT_WINDOW, &servers[i].head);
      if (!tile || !XGetGeometry(own, onHead, &root, &x, &y, &width, &height, &border, &depth)) return "none";
      if (tile->width != width || tile->height != height) return "the tile's size is not the window's";
      // The part of the window on the server's screen.
      Window child;
      XTranslateCoordinates(own, onHead, root, 0, 0, &x, &y, &child);
      int x0 = std::max(0, -x), y0 = std::max(0, -y);
      int x1 = std::min(int(width), DisplayWidth(own, 0) - x), y1 = std::min(int(height), DisplayHeight(own, 0) - y);
      if (x1 <= x0 || y1 <= y0) continue;
      Image shown(XGetImage(own, onHead, x0, y0, u32(x1 - x0), u32(y1 - y0), AllPlanes, ZPixmap));
      Image copy(XGetImage(own, tile->pixmap, x0, y0, u32(x1 - x0), u32(y1 - y0), AllPlanes, ZPixmap));
      if (!shown || !copy) return "no image";
      for (int y = 0; y < y1 - y0; y++)
        for (int x = 0; x < x1 - x0; x++) {
          unsigned long a = XGetPixel(shown.get(), x, y), b = XGetPixel(copy.get(), x, y);
          if (a != b)
            return tmpPrintf("head %u at %d,%d: the window shows %06lx, the tile %06lx", i, x0 + x, y0 + y, a, b);
        }
    }
    return "";
  }

  // A little of everything a client draws with.
  void draw(u32 d, u32 g, i32 at) {
    send(X_PolyFillRectangle, 0, fields({d, g}, {at + 4, 3, 20, 9, at + 30, 20, 7, 25}));
    send(X_PolyLine, CoordModePrevious, fields({d, g}, {at + 2, 40, 25, 0, 0, 10, -12, 6}));
    send(X_PolySegment, 0, fields({d, g}, {at + 40, 2, at + 55, 30, at + 40, 30, at + 55, 2}));
    send(X_PolyArc, 0, fields({d, g}, {at + 10, 50, 20, 15, 0, 23040}));
    send(X_FillPoly, 0, fields({d, g}, {Complex | CoordModeOrigin << 8, 0, at + 60, 40, at + 70, 60, at + 50, 60}));
    std::vector<u32> pixels(24);
    for (u32 i = 0; i < 24; i++) pixels[i] = (i * 10) << 16 | (255 - i * 9) << 8 | i * 5;
    send(X_PutImage, ZPixmap, fields({d, g}, {6, 4, at + 12, 62, 24 << 8, 0}, pixels));
    send(X_CopyArea, 0, fields({source, d, g}, {1, 2, at + 7, 23, 17, 11}));
    send(X_PolyText8, 0, fields({d, g}, {at + 20, 20, 3, 'T' | 'x' << 8, 't'}));
    send(X_ImageText8, 3, fields({d, g}, {at + 35, 45, 'I' | 'm' << 8, 'g'}));
    if (!param().shared) return;
    // The client's own shared memory: a part of a 16 x 8 image.
    int shmid = shmget(IPC_PRIVATE, 16 * 8 * 4, IPC_CREAT | 0666);
    auto* image = static_cast<u32*>(shmat(shmid, nullptr, 0));
    shmctl(shmid, IPC_RMID, nullptr);
    ASSERT_NE(image, reinterpret_cast<u32*>(-1));
    for (u32 i = 0; i < 16 * 8; i++) image[i] = (i * 2) << 16 | (i * 7 % 256) << 8 | (255 - i);
    u8 major = findExtensionByName("MIT-SHM")->major;
    u32 segment = newId();
    send(major, 1, fields({segment, u32(shmid), 0}));
    send(major, 3, fields({d, g}, {16, 8, 3, 2, 10, 5, at + 52, 12, 24 | ZPixmap << 8, 0}, {segment, 0}));
    send(major, 2, fields({segment}));
    shmdt(image);
  }
};

// --- Growing and shrinking --------------------------------------------------------------------

TEST_P(TileRig, TheTileEqualsTheWindowAfterDrawingGrowingAndShrinking) {
  const Case& c = GetParam();
  u32 owner = kRoot, backMask = CWBackPixel, back = kBackground;
  if (c.back != Back::kPixel) {
    // A 7 x 5 pattern, so that a wrong origin shows.
    u32 pattern = back = newId(), g = newId();
    backMask = CWBackPixmap;
    send(X_CreatePixmap, 24, fields({pattern, kRoot}, {7, 5}));
    send(X_CreateGC, 0, fields({g, pattern, GCForeground, 0x884422}));
    send(X_PolyFillRectangle, 0, fields({pattern, g}, {0, 0, 7, 5}));
    send(X_ChangeGC, 0, fields({g, GCForeground, 0x22ccee}));
    send(X_PolyFillRectangle, 0, fields({pattern, g}, {1, 1, 3, 2, 5, 0, 1, 5}));
  }
  if (c.back == Back::kParentRelative) {
    owner = window(kRoot, 13, 9, 300, 220, NorthWestGravity, backMask, back);
    back = ParentRelative;
  }
  i32 x = c.heads == 2 ? 250 : 60, y = 50;
  u32 w = window(owner, i16(x), i16(y), 100, 80, c.gravity, backMask, back), red = gc(w, 0xff0000);
  tile(w, c.proxyMade);
  EXPECT_EQ(compare(w), "") << "painted with the background";
  draw(w, red, 0);
  EXPECT_EQ(compare(w), "") << "after drawing";
  // Within the window, overlapping itself: the tile takes the contents from
  // before the copy.
  send(X_CopyArea, 0, fields({w, w, red}, {0, 0, 6, 7, 40, 30}));
  send(X_ClearArea, 0, fields({w}, {10, 4, 0, 10}));
  EXPECT_EQ(compare(w), "") << "after copying and clearing";
  for (auto [width, height] : {std::pair{150, 120}, {130, 110}, {60, 45}, {90, 70}}) {
    x += c.moveX, y += c.moveY;
    send(X_ConfigureWindow, 0,
         fields({w}, {CWX | CWY | CWWidth | CWHeight, 0}, {u32(x), u32(y), u32(width), u32(height)}));
    EXPECT_EQ(compare(w), "") << "at " << width << "x" << height;
    draw(w, red, width / 3);
    EXPECT_EQ(compare(w), "") << "drawn at " << width << "x" << height;
  }
  if (c.proxyMade) {
    u32 pixmap = tileOf(w)->pixmap;
    freeBackgroundTile(nullptr, lookupWindow(w), &head);
    EXPECT_EQ(tileOf(w), nullptr);
    EXPECT_EQ(tileOf(w, 1) != nullptr, c.heads == 2) << "the other head's tile stays";
    xErrorTrapBegin(servers[0].own.get());
    XFreePixmap(servers[0].own.get(), pixmap);
    XSync(servers[0].own.get(), False);
    EXPECT_NE(xErrorTrapEnd(), 0) << "the pixmap is gone from the server";
  }
  send(X_DestroyWindow, 0, fields({owner == kRoot ? w : owner}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TileRig,
    ::testing::Values(Case{"NorthWest", NorthWestGravity, 0, 0}, Case{"SouthEast", SouthEastGravity, 0, 0},
                      Case{"Center", CenterGravity, 0, 0}, Case{"Static", StaticGravity, -7, 5},
                      Case{"Forget", ForgetGravity, 3, 0}, Case{"SouthEastZoomed", SouthEastGravity, 0, 0, 2},
                      Case{"StaticZoomed", StaticGravity, 6, -4, 2},
                      Case{"Pixmap", SouthEastGravity, 0, 0, 1, Back::kPixmap},
                      Case{"ParentRelative", NorthWestGravity, 0, 0, 1, Back::kParentRelative},
                      Case{"WithoutClient", SouthEastGravity, 0, 0, 1, Back::kPixel, true},
                      Case{"Shared", StaticGravity, 4, 4, 1, Back::kPixel, false, true},
                      Case{"SouthEastTurned", SouthEastGravity, 0, 0, 1, Back::kPixel, false, false, 1},
                      Case{"NorthEastTurnedBack", NorthEastGravity, 0, 0, 1, Back::kPixel, false, false, 3},
                      Case{"StaticTurned", StaticGravity, 5, -3, 1, Back::kPixel, false, false, 1},
                      Case{"StaticZoomedTurnedBack", StaticGravity, -4, 6, 2, Back::kPixel, false, false, 3},
                      Case{"ForgottenByWorkaround", SouthEastGravity, 0, 0, 1, Back::kPixel, false, false, 0, 0x4},
                      Case{"TwoHeads", StaticGravity, 6, 2, 1, Back::kPixmap, true, false, 0, 0, 2},
                      Case{"TwoHeadsZoomed", NorthWestGravity, 0, 0, 2, Back::kPixel, false, false, 0, 0, 2},
                      Case{"NorthWestZoomedByHalf", NorthWestGravity, 0, 0, 1, Back::kPixel, false, false, 0, 0, 1, 3}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// --- Inferiors ----------------------------------------------------------------------------------

using TileInferiors = TileRig;

TEST_F(TileInferiors, IncludeInferiorsReachesAChildsTileAtItsPlaceClipByChildrenDoesNot) {
  u32 parent = window(kRoot, 10, 10, 200, 150, NorthWestGravity, CWBackPixel, kBackground);
  u32 child = window(parent, 30, 20, 60, 40, NorthWestGravity, CWBackPixel, 0x00aa00);
  tile(parent), tile(child);
  u32 clipped = gc(parent, 0xff0000), over = gc(parent, 0xffff00, IncludeInferiors);
  send(X_PolyFillRectangle, 0, fields({parent, clipped}, {20, 10, 50, 30}));
  EXPECT_EQ(compare(child), "") << "ClipByChildren leaves the child's tile alone";
  send(X_PolyFillRectangle, 0, fields({parent, over}, {25, 30, 40, 15, 80, 50, 30, 30}));
  send(X_PolyLine, CoordModePrevious, fields({parent, over}, {20, 25, 30, 0, 0, 20, 50, 10}));
  send(X_PolySegment, 0, fields({parent, over}, {35, 15, 95, 65}));
  send(X_CopyArea, 0, fields({parent, parent, over}, {20, 10, 40, 35, 30, 20}));
  EXPECT_EQ(compare(child), "") << "IncludeInferiors draws into the child's tile where it draws on the child";
  // Rectangles filled solid and copied whatever the GC says, which is put
  // back after.
  send(X_ChangeGC, 0, fields({over, GCFunction, GXxor}));
  const xRectangle boxes[] = {{35, 25, 10, 8}};
  mirrorTextTranslucent(clientLink(rig->client(), 0), &head, lookupWindow(parent), over, boxes, 1);
  send(X_PolyFillRectangle, 0, fields({parent, over}, {32, 56, 6, 3}));
  Image inner(XGetImage(servers[0].own.get(), tileOf(child)->pixmap, 0, 0, 60, 40, AllPlanes, ZPixmap));
  ASSERT_TRUE(inner);
  EXPECT_EQ(XGetPixel(inner.get(), 6, 6), 0xffff00u) << "copied at the child's place";
  EXPECT_EQ(XGetPixel(inner.get(), 4, 37), 0x00aa00u ^ 0xffff00u) << "xored again";
  send(X_DestroyWindow, 0, fields({parent}));
}

}  // namespace
}  // namespace palvon::test

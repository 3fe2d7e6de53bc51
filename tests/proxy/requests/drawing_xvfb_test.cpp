// The font, pixmap, GC, drawing, image and text handlers against real Xvfb
// servers: one request script is sent through the handlers to every head
// of a meta screen (a plain head, a head drawing text from glyph pixmaps, a
// head zoomed twice, two heads) and, with the ids of a plain client, to a
// reference server. Each head's copy of the drawing is read back through
// the proxy's own connection and compared with the reference, enlarged by
// nearest neighbour for the zoomed head. Validation errors reach the client
// with nothing sent to any head.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "Proxy/dispatch/dispatch.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "base/outbuffer.h"
#include "support/linkrig.h"
#include "support/rawclient.h"
#include "support/resource_rig.h"
#include "support/xvfb.h"
#include "xsupport/xfont.h"
#include "xsupport/xtarget.h"

namespace palvon::test {
namespace {

using Script = std::vector<Bytes>;

// --- Requests ---------------------------------------------------------------------
// Built in this machine's order, which both the proxy's test client and
// the reference connection ('l') speak.

struct Req {
  Bytes b;
  explicit Req(u8 major, u8 data = 0) : b{major, data, 0, 0} {}
  Req& c8(u32 v) {
    b.push_back(u8(v));
    return *this;
  }
  Req& c16(u32 v) {
    u16 x = u16(v);
    b.insert(b.end(), reinterpret_cast<u8*>(&x), reinterpret_cast<u8*>(&x) + 2);
    return *this;
  }
  Req& c32(u32 v) {
    b.insert(b.end(), reinterpret_cast<u8*>(&v), reinterpret_cast<u8*>(&v) + 4);
    return *this;
  }
  Req& text(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Req& raw(const Bytes& d) {
    b.insert(b.end(), d.begin(), d.end());
    return *this;
  }
  Bytes done() {
    while (b.size() % 4) b.push_back(0);
    put16At(b, 2, u16(b.size() / 4));
    return b;
  }
};

Bytes createPixmap(u8 depth, u32 id, u32 drawable, u16 w, u16 h) {
  return Req(X_CreatePixmap, depth).c32(id).c32(drawable).c16(w).c16(h).done();
}
Bytes createGC(u32 id, u32 drawable, u32 mask, std::vector<u32> values) {
  Req r(X_CreateGC);
  r.c32(id).c32(drawable).c32(mask);
  for (u32 v : values) r.c32(v);
  return r.done();
}
Bytes changeGC(u32 id, u32 mask, std::vector<u32> values) {
  Req r(X_ChangeGC);
  r.c32(id).c32(mask);
  for (u32 v : values) r.c32(v);
  return r.done();
}
Bytes fill(u32 drawable, u32 gc, std::vector<i32> rects) {
  Req r(X_PolyFillRectangle);
  r.c32(drawable).c32(gc);
  for (i32 v : rects) r.c16(u32(v));
  return r.done();
}
Bytes poly(u8 major, u8 data, u32 drawable, u32 gc, std::vector<i32> values) {
  Req r(major, data);
  r.c32(drawable).c32(gc);
  for (i32 v : values) r.c16(u32(v));
  return r.done();
}
Bytes copyArea(u32 src, u32 dst, u32 gc, i16 sx, i16 sy, u16 w, u16 h, i16 dx, i16 dy) {
  return Req(X_CopyArea).c32(src).c32(dst).c32(gc).c16(u16(sx)).c16(u16(sy)).c16(u16(dx)).c16(u16(dy)).c16(w).c16(h).done();
}
Bytes copyPlane(u32 src, u32 dst, u32 gc, i16 sx, i16 sy, u16 w, u16 h, i16 dx, i16 dy, u32 plane) {
  return Req(X_CopyPlane).c32(src).c32(dst).c32(gc).c16(u16(sx)).c16(u16(sy)).c16(u16(dx)).c16(u16(dy)).c16(w).c16(h)
      .c32(plane).done();
}
Bytes putImage(u8 format, u32 drawable, u32 gc, u16 w, u16 h, i16 x, i16 y, u8 leftPad, u8 depth, const Bytes& data) {
  return Req(X_PutImage, format).c32(drawable).c32(gc).c16(w).c16(h).c16(u16(x)).c16(u16(y)).c8(leftPad).c8(depth)
      .c16(0).raw(data).done();
}
Bytes openFont(u32 id, const std::string& name) {
  return Req(X_OpenFont).c32(id).c16(u32(name.size())).c16(0).text(name).done();
}
// Items: strings as text elements (delta first), ids of fonts as font
// elements.
struct Item {
  i32 delta;
  std::string text;
  u32 font;  // not 0: a font element
};
Bytes polyText8(u32 drawable, u32 gc, i16 x, i16 y, std::vector<Item> items) {
  Req r(X_PolyText8);
  r.c32(drawable).c32(gc).c16(u16(x)).c16(u16(y));
  for (const Item& i : items) {
    if (i.font) {
      r.c8(255).c8(i.font >> 24).c8(i.font >> 16).c8(i.font >> 8).c8(i.font);
    } else {
      r.c8(u32(i.text.size())).c8(u8(i.delta)).text(i.text);
    }
  }
  return r.done();
}
Bytes imageText8(u32 drawable, u32 gc, i16 x, i16 y, const std::string& text) {
  return Req(X_ImageText8, u8(text.size())).c32(drawable).c32(gc).c16(u16(x)).c16(u16(y)).text(text).done();
}
Bytes setClipRectangles(u32 gc, i16 x, i16 y, std::vector<i32> rects) {
  Req r(X_SetClipRectangles, Unsorted);
  r.c32(gc).c16(u16(x)).c16(u16(y));
  for (i32 v : rects) r.c16(u32(v));
  return r.done();
}
Bytes setDashes(u32 gc, u16 offset, Bytes dashes) {
  return Req(X_SetDashes).c32(gc).c16(offset).c16(u32(dashes.size())).raw(dashes).done();
}
Bytes getImage(u8 format, u32 drawable, i16 x, i16 y, u16 w, u16 h, u32 planes) {
  return Req(X_GetImage, format).c32(drawable).c16(u16(x)).c16(u16(y)).c16(w).c16(h).c32(planes).done();
}

constexpr u16 kWidth = 64, kHeight = 48;

// --- Scripts ------------------------------------------------------------------------
// Ids are base | n; the drawing ends on pixmap base | 1.

Script fillScript(u32 base, u32 root) {
  u32 P = base | 1, T = base | 2, G = base | 3, B = base | 4, G1 = base | 5;
  Script s;
  s.push_back(createPixmap(24, P, root, kWidth, kHeight));
  s.push_back(createPixmap(24, T, root, 8, 8));
  s.push_back(createPixmap(1, B, root, 16, 8));
  s.push_back(createGC(G, P, GCForeground | GCGraphicsExposures, {0, 0}));
  s.push_back(fill(P, G, {0, 0, kWidth, kHeight}));
  s.push_back(changeGC(G, GCForeground, {0xff0000}));
  s.push_back(fill(P, G, {4, 4, 20, 10}));
  s.push_back(changeGC(G, GCForeground, {0x00ff00}));
  s.push_back(fill(P, G, {30, 2, 10, 30, 50, 40, 20, 20}));
  s.push_back(changeGC(G, GCForeground, {0x0000ff}));
  s.push_back(fill(T, G, {0, 0, 8, 8}));
  s.push_back(changeGC(G, GCForeground, {0xffff00}));
  s.push_back(fill(T, G, {0, 0, 4, 4, 4, 4, 4, 4}));
  s.push_back(changeGC(G, GCFillStyle | GCTile | GCTileStipXOrigin | GCTileStipYOrigin, {FillTiled, T, 3, 5}));
  s.push_back(fill(P, G, {10, 20, 30, 20}));
  s.push_back(changeGC(G, GCFillStyle, {FillSolid}));
  s.push_back(copyArea(P, P, G, 0, 0, 20, 20, 6, 7));
  s.push_back(copyArea(T, P, G, 0, 0, 8, 8, 56, 0));
  Bytes z;
  for (u32 y = 0; y < 6; y++)
    for (u32 x = 0; x < 10; x++) {
      u32 pixel = (x * 20) << 16 | (y * 40) << 8 | (x + y) * 9;
      z.insert(z.end(), reinterpret_cast<u8*>(&pixel), reinterpret_cast<u8*>(&pixel) + 4);
    }
  s.push_back(putImage(ZPixmap, P, G, 10, 6, 40, 30, 0, 24, z));
  s.push_back(changeGC(G, GCForeground | GCBackground, {0xffffff, 0x808080}));
  // 13 pixels after a left pad of 3: one 32-bit unit per row.
  s.push_back(putImage(XYBitmap, P, G, 13, 4, 2, 40, 3, 1, {0xa5, 0x3c, 0, 0, 0x5a, 0xc3, 0, 0, 0xff, 0x0f, 0, 0, 0x81, 0x18, 0, 0}));
  // All 24 planes, most significant first, 5 pixels after a left pad of 2.
  Bytes planes(24 * 3 * 4);
  for (size_t i = 0; i < planes.size(); i++) planes[i] = u8(i * 37 + (i >> 3) * 11);
  s.push_back(putImage(XYPixmap, P, G, 5, 3, 50, 12, 2, 24, planes));
  s.push_back(setClipRectangles(G, 1, 1, {0, 0, 10, 10, 30, 30, 5, 5}));
  s.push_back(changeGC(G, GCForeground, {0x123456}));
  s.push_back(fill(P, G, {0, 0, kWidth, kHeight}));
  s.push_back(changeGC(G, GCClipMask, {0}));
  s.push_back(createGC(G1, B, GCForeground, {0}));
  s.push_back(fill(B, G1, {0, 0, 16, 8}));
  s.push_back(changeGC(G1, GCForeground, {1}));
  s.push_back(fill(B, G1, {2, 1, 5, 5, 9, 3, 6, 4}));
  // Depth-1 images on the bitmap: one plane after a left pad, and ZPixmap.
  s.push_back(putImage(XYPixmap, B, G1, 6, 3, 9, 0, 5, 1, {0xf3, 0x5a, 0, 0, 0x0c, 0xa5, 0, 0, 0xff, 0x81, 0, 0}));
  s.push_back(putImage(ZPixmap, B, G1, 4, 2, 1, 6, 0, 1, {0x09, 0, 0, 0, 0x06, 0, 0, 0}));
  s.push_back(changeGC(G, GCForeground | GCBackground | GCGraphicsExposures, {0xff00ff, 0x00ffff, 0}));
  s.push_back(copyPlane(B, P, G, 0, 0, 16, 8, 44, 38, 1));
  return s;
}

Script textScript(u32 base, u32 root) {
  u32 P = base | 1, G = base | 3, S = base | 4, G1 = base | 5, T = base | 6, F = base | 10, F2 = base | 11;
  Script s;
  s.push_back(createPixmap(24, P, root, kWidth, kHeight));
  s.push_back(openFont(F, "fixed"));
  s.push_back(openFont(F2, "5x7"));
  s.push_back(createGC(G, P, GCForeground | GCBackground | GCFont | GCGraphicsExposures, {0, 0x0000c0, F, 0}));
  s.push_back(fill(P, G, {0, 0, kWidth, kHeight}));
  s.push_back(changeGC(G, GCForeground, {0xffffff}));
  s.push_back(polyText8(P, G, 1, 10, {{0, "Hi", 0}, {0, "", F2}, {2, "yo", 0}}));
  s.push_back(changeGC(G, GCFont, {F}));
  s.push_back(imageText8(P, G, 1, 22, "Xg!"));
  s.push_back(createPixmap(1, S, root, 4, 4));
  s.push_back(createGC(G1, S, GCForeground, {0}));
  s.push_back(fill(S, G1, {0, 0, 4, 4}));
  s.push_back(changeGC(G1, GCForeground, {1}));
  s.push_back(fill(S, G1, {0, 0, 2, 2, 2, 2, 2, 2}));
  s.push_back(changeGC(G, GCFillStyle | GCStipple | GCTileStipXOrigin, {FillStippled, S, 1}));
  s.push_back(polyText8(P, G, 26, 10, {{0, "AB", 0}}));
  s.push_back(createPixmap(24, T, root, 4, 4));
  s.push_back(fill(T, G, {0, 0, 4, 4}));
  s.push_back(changeGC(G, GCFillStyle | GCTile, {FillTiled, T}));
  s.push_back(polyText8(P, G, 26, 22, {{0, "CD", 0}}));
  s.push_back(changeGC(G, GCFillStyle, {FillSolid}));
  s.push_back(setClipRectangles(G, 0, 0, {0, 30, 30, 20}));
  s.push_back(changeGC(G, GCFillStyle | GCTile, {FillTiled, T}));
  s.push_back(polyText8(P, G, 1, 40, {{0, "Wide", 0}}));
  // The clip list came back after the glyphs: this fill stays inside it.
  s.push_back(changeGC(G, GCFillStyle, {FillSolid}));
  s.push_back(fill(P, G, {20, 25, 40, 20}));
  return s;
}

Script lineScript(u32 base, u32 root) {
  u32 P = base | 1, G = base | 3;
  Script s;
  s.push_back(createPixmap(24, P, root, kWidth, kHeight));
  s.push_back(createGC(G, P, GCForeground | GCGraphicsExposures, {0, 0}));
  s.push_back(fill(P, G, {0, 0, kWidth, kHeight}));
  s.push_back(changeGC(G, GCForeground, {0xffffff}));
  s.push_back(poly(X_PolyLine, CoordModePrevious, P, G, {2, 2, 20, 0, 0, 15, -10, 5}));
  s.push_back(poly(X_PolySegment, 0, P, G, {30, 2, 60, 20, 30, 20, 60, 2}));
  s.push_back(poly(X_PolyRectangle, 0, P, G, {5, 25, 20, 15}));
  s.push_back(poly(X_PolyArc, 0, P, G, {30, 25, 25, 18, 0, 23040}));
  s.push_back(poly(X_PolyPoint, 0, P, G, {1, 46, 3, 46, 5, 46}));
  s.push_back(changeGC(G, GCForeground | GCLineWidth | GCLineStyle, {0xff8000, 3, LineOnOffDash}));
  s.push_back(setDashes(G, 1, {4, 2, 1}));
  s.push_back(poly(X_PolyLine, 0, P, G, {2, 44, 60, 30}));
  s.push_back(Req(X_FillPoly).c32(P).c32(G).c8(Complex).c8(CoordModeOrigin).c16(0).c16(40).c16(2).c16(50).c16(12)
                  .c16(44).c16(8).done());
  s.push_back(poly(X_PolyFillArc, 0, P, G, {48, 36, 10, 10, 0, 11520}));
  return s;
}

// --- The rig ------------------------------------------------------------------------

struct HeadSpec {
  u32 zoom;          // 1 or 2: the head's pixels per meta pixel
  bool fontBitmaps;  // text drawn by the glyph engine
  u32 rotation = 0;  // quarter turns
  u32 halves = 0;    // not 0: the zoom is halves / 2 instead
  bool serverFont = false;  // zoomed without the zoomedFonts tag: the server's scaled font
};

struct Layout {
  const char* name;
  std::vector<HeadSpec> heads;
};

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

constexpr u32 kMetaRoot = 32;

class DrawingRig : public ::testing::TestWithParam<Layout> {
 protected:
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::unique_ptr<Display, DisplayCloser>> own;
  std::deque<ServerDisplay> displays;
  std::deque<Head> heads;
  MetaScreen screen{};
  std::unique_ptr<DatabaseRig> database;
  std::unique_ptr<LinkRig> rig;
  Xvfb reference{{"-screen", "0", "320x240x24"}};
  RawClient referenceClient;
  std::unique_ptr<Display, DisplayCloser> referenceOwn;
  std::string where;  // the head pixels mismatch() found different

  void SetUp() override {
    ASSERT_TRUE(reference.ok()) << reference.error();
    ASSERT_TRUE(referenceClient.connectUnix(reference.number()));
    ASSERT_EQ(referenceClient.setup('l'), 1);
    referenceOwn.reset(XOpenDisplay(reference.display().c_str()));
    ASSERT_NE(referenceOwn, nullptr);
    XSetErrorHandler(xtargetErrorHandler);
    database = std::make_unique<DatabaseRig>();
    rig = std::make_unique<LinkRig>();
    const Layout& layout = GetParam();
    for (u32 i = 0; i < layout.heads.size(); i++) addHead(i, layout.heads[i]);
    screen.rootId = kMetaRoot;
    screen.mainHead = screen.heads;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    serverDisplayList = &displays[0];
    serverDisplayCount = u32(displays.size());
    fontDisplay = imageDisplay = &displays[0];
    offeredPixmapFormats[0] = {1, 1, 32};
    offeredPixmapFormats[1] = {24, 32, 32};
    offeredPixmapFormatCount = 2;
    ASSERT_EQ(initClientResourceTable(1), 1);
    for (Head& head : heads) setClientServerIdBase(1, &head, rig->setup(head.serverIndex).idBase);
    rig->client()->hasLinks = 1;
    // The meta screen's root window.
    ProxyWindow* root = allocProxyWindow();
    ASSERT_NE(root, nullptr);
    root->id = kMetaRoot, root->depth = 24, root->screen = &screen;
    root->width = 320, root->height = 240, root->windowClass = kInputOutput;
    ASSERT_EQ(addResource(kMetaRoot, RT_WINDOW, root), 1);
  }

  void addHead(u32 index, const HeadSpec& spec) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "640x480x24"}));
    ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    own.emplace_back(XOpenDisplay(servers.back()->display().c_str()));
    ASSERT_NE(own.back(), nullptr);
    ServerLink* link = rig->open(*servers.back(), false, index);
    ASSERT_NE(link, nullptr);
    const ServerSetup& setup = rig->setup(index);
    ServerDisplay& server = displays.emplace_back();
    Head& head = heads.emplace_back();
    server.display = own.back().get();
    server.index = index;
    server.firstHead = &head;
    // The proxy's 20 id bits under the server's mask, as for a real server.
    computeIdPartition(&server, 0xfffff);
    std::snprintf(server.displayName, sizeof server.displayName, "%s", servers.back()->display().c_str());
    link->server.display = &server;
    if (index > 0) displays[index - 1].next = &server;
    head.serverDisplay = &server;
    head.display = server.display;
    head.serverIndex = index;
    head.metaScreen = &screen;
    head.root = head.rootWindow = setup.root;
    head.logical = {i32(320 * index), 0, 320, 320};
    head.fontBitmaps = spec.fontBitmaps;
    // As a head has it unless its configuration clears it.
    head.tags = spec.serverFont ? 0 : kTagZoomedFonts;
    if (spec.halves) {
      head.scaler = createScaler(160 * spec.halves, 320, 160 * spec.halves, 320, spec.rotation);
      head.rotation = spec.rotation;
    } else if (spec.zoom != 1 || spec.rotation) {
      head.scaler = createScaler(320 * spec.zoom, 320, 320 * spec.zoom, 320, spec.rotation);
      head.rotation = spec.rotation;
    }
    if (index > 0) {
      heads[index - 1].next = &head;
      head.back = &heads[index - 1];
    } else {
      screen.heads = &head;
    }
    screen.headCount++;
  }

  void TearDown() override {
    rig.reset();
    database.reset();
    for (Head& head : heads) releaseScaler(&head.scaler);
    serverDisplayList = nullptr;
    serverDisplayCount = 0;
    fontDisplay = imageDisplay = nullptr;
    offeredPixmapFormatCount = 0;
  }

  static u32 base() { return 1u << 20; }

  void sendThroughProxy(Bytes request) {
    dispatchClientRequest(rig->client(), request.data(), u32(request.size()));
  }

  void run(const Script& proxy, const Script& direct) {
    for (const Bytes& r : proxy) sendThroughProxy(r);
    ASSERT_TRUE(rig->sync());
    for (const Bytes& r : direct) ASSERT_TRUE(referenceClient.send(r));
    XSync(referenceOwn.get(), False);
    // A round trip on the reference connection: everything before it ran.
    ASSERT_TRUE(referenceClient.send(Req(X_GetInputFocus).done()));
    Bytes answer = referenceClient.readMessage();
    ASSERT_FALSE(answer.empty());
    ASSERT_EQ(answer[0], 1) << "the reference server reported error " << int(answer[1]);
  }

  // The meta pixel a head pixel shows: turned back, then shrunk.
  static void metaPixel(u32 rotation, u32 zoom, u32 hx, u32 hy, u32* x, u32* y) {
    hx /= zoom, hy /= zoom;
    switch (rotation & 3) {
      case 0: *x = hx, *y = hy; break;
      case 1: *x = kWidth - 1 - hy, *y = hx; break;
      case 2: *x = kWidth - 1 - hx, *y = kHeight - 1 - hy; break;
      default: *x = hy, *y = kHeight - 1 - hx; break;
    }
  }

  // The fraction of a head's pixels that differ from the reference's
  // pixel under them, the head's copy of pixmap base | 1 read back.
  double mismatch(const Head& head, u32 zoom) {
    Display* display = head.display;
    u32 onHead = translateXid(base() | 1, RT_PIXMAP, &head);
    XSync(display, False);
    bool turned = head.rotation & 1;
    u32 width = (turned ? kHeight : kWidth) * zoom, height = (turned ? kWidth : kHeight) * zoom;
    XImage* got = XGetImage(display, onHead, 0, 0, width, height, AllPlanes, ZPixmap);
    XImage* want = XGetImage(referenceOwn.get(), referenceClient.resourceIdBase() | 1, 0, 0, kWidth, kHeight,
                             AllPlanes, ZPixmap);
    EXPECT_NE(got, nullptr);
    EXPECT_NE(want, nullptr);
    if (!got || !want) return 1.0;
    u32 differ = 0, minX = ~0u, minY = ~0u, maxX = 0, maxY = 0;
    for (u32 y = 0; y < height; y++)
      for (u32 x = 0; x < width; x++) {
        u32 mx, my;
        metaPixel(head.rotation, zoom, x, y, &mx, &my);
        if ((XGetPixel(got, int(x), int(y)) & 0xffffff) != (XGetPixel(want, int(mx), int(my)) & 0xffffff))
          differ++, minX = std::min(minX, x), minY = std::min(minY, y), maxX = std::max(maxX, x), maxY = std::max(maxY, y);
      }
    where.clear();
    if (differ) {
      where.append("differences within ").append(std::to_string(minX)).append(",").append(std::to_string(minY));
      where.append(" - ").append(std::to_string(maxX)).append(",").append(std::to_string(maxY));
    }
    XDestroyImage(got);
    XDestroyImage(want);
    return double(differ) / (width * height);
  }

  // Errors delivered to the client so far.
  std::vector<u8> errorCodes() {
    std::vector<u8> codes;
    for (const Message& m : rig->take())
      if (!m.empty() && m[0] == 0) codes.push_back(m[1]);
    return codes;
  }

  void expectMatches(Script (*script)(u32, u32), double zoomedTolerance, double turnedTolerance) {
    run(script(base(), kMetaRoot), script(referenceClient.resourceIdBase(), referenceClient.rootWindow()));
    EXPECT_EQ(errorCodes(), std::vector<u8>{});
    for (const Head& head : heads) {
      u32 zoom = head.scaler && head.scaler->xNum != head.scaler->xDen ? 2 : 1;
      double differ = mismatch(head, zoom);
      double tolerance = zoom != 1 ? zoomedTolerance : head.rotation ? turnedTolerance : 0.0;
      EXPECT_LE(differ, tolerance) << "head " << head.serverIndex << ": " << where;
    }
  }
};

// Fills, tiles, copies, images, clip lists and plane copies are exact on
// every head, zoomed and turned ones included.
TEST_P(DrawingRig, FillsCopiesAndImagesMatchTheReference) { expectMatches(fillScript, 0.0, 0.0); }

// Lines, rectangles and arcs are exact unscaled and turned; a zoomed head
// draws them at its own resolution, so edges may differ. A turned head
// breaks the server's ties on polygon, arc and wide-line edges (pixel
// centres on an edge) the other way: those edge pixels may differ.
TEST_P(DrawingRig, LinesMatchTheReference) { expectMatches(lineScript, 0.08, 0.01); }

// Text with font elements, image text, stippled and tiled fills, and a
// clip list that must be back after the glyphs: exact on every head,
// whether the server's font or the glyph engine draws it; a zoomed head
// draws the font's own glyphs zoomed.
TEST_P(DrawingRig, TextMatchesTheReference) { expectMatches(textScript, 0.0, 0.0); }

// Thin lines, points, rectangles and arc outlines alone are exact on
// turned heads too.
Script outlineScript(u32 base, u32 root) {
  Script s = lineScript(base, root);
  s.resize(9);
  return s;
}
TEST_P(DrawingRig, OutlinesAreExactOnTurnedHeads) { expectMatches(outlineScript, 0.08, 0.0); }

// GetImage of the drawing, answered by the main head (converted back from
// a zoomed one), equals the reference server's answer byte for byte.
TEST_P(DrawingRig, GetImageAnswersLikeTheReference) {
  run(fillScript(base(), kMetaRoot), fillScript(referenceClient.resourceIdBase(), referenceClient.rootWindow()));
  rig->take();
  sendThroughProxy(getImage(ZPixmap, base() | 1, 3, 2, 50, 40, ~0u));
  Message reply;
  ASSERT_TRUE(rig->pump([&] {
    for (Message& m : rig->take())
      if (!m.empty()) reply = m;
    return !reply.empty();
  }));
  ASSERT_TRUE(referenceClient.send(getImage(ZPixmap, referenceClient.resourceIdBase() | 1, 3, 2, 50, 40, ~0u)));
  Bytes want = referenceClient.readMessage();
  ASSERT_EQ(reply.size(), want.size());
  ASSERT_EQ(reply[0], 1) << "error " << int(reply[1]);
  EXPECT_EQ(reply[1], want[1]);  // depth
  EXPECT_TRUE(std::equal(reply.begin() + 32, reply.end(), want.begin() + 32));
}

INSTANTIATE_TEST_SUITE_P(Layouts, DrawingRig,
                         ::testing::Values(Layout{"OneHead", {{1, false}}}, Layout{"GlyphEngine", {{1, true}}},
                                           Layout{"Zoomed", {{2, true}}},
                                           Layout{"TwoHeads", {{1, false}, {2, true}}},
                                           Layout{"TwoUnscaledHeads", {{1, false}, {1, true}}},
                                           Layout{"Rotated90", {{1, true, 1}}}, Layout{"Rotated180", {{1, true, 2}}},
                                           Layout{"Rotated270", {{1, true, 3}}}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

// --- Errors -------------------------------------------------------------------------

// The majors of the requests queued on the link and not yet written.
std::vector<u8> queuedMajors(ServerLink* link) {
  Bytes bytes;
  for (OutSegment* s = link->output.head; s; s = s->next) bytes.insert(bytes.end(), s->readPosition, s->end);
  std::vector<u8> majors;
  for (size_t at = 0; at + 4 <= bytes.size();) {
    u32 length = 4u * get16At(bytes, at + 2);
    if (!length && at + 8 <= bytes.size()) length = 4u * get32At(bytes, at + 4);
    majors.push_back(bytes[at]);
    if (!length) break;
    at += length;
  }
  return majors;
}

struct ErrorCase {
  const char* name;
  Bytes (*request)(u32 base, u32 root);
  u8 code;
  bool quiet;  // no request of its kind reaches a head
};

class DrawingErrors : public DrawingRig {};

TEST_P(DrawingErrors, ReachTheClientWithNothingSent) {
  run(fillScript(base(), kMetaRoot), {});
  rig->take();
  static const ErrorCase cases[] = {
      {"ShortPutImage", [](u32 b, u32) { return putImage(ZPixmap, b | 1, b | 3, 10, 6, 0, 0, 0, 24, Bytes(200)); },
       BadLength, true},
      // 16448 x 65281 pixels of 32 bits are 2^32 + 256 bytes: 256 bytes
      // of data pass only where the size wraps at 32 bits.
      {"WrappingPutImage",
       [](u32 b, u32) { return putImage(ZPixmap, b | 1, b | 3, 16448, 65281, 0, 0, 0, 24, Bytes(256)); }, BadLength,
       true},
      {"BitmapOfDepth24", [](u32 b, u32) { return putImage(XYBitmap, b | 1, b | 3, 32, 1, 0, 0, 0, 24, Bytes(4)); },
       BadMatch, true},
      {"PutImageFormat", [](u32 b, u32) { return putImage(3, b | 1, b | 3, 1, 1, 0, 0, 0, 24, Bytes(4)); }, BadValue,
       true},
      {"PixmapWidthZero", [](u32 b, u32 root) { return createPixmap(24, b | 40, root, 0, 5); }, BadValue, true},
      {"PixmapDepthNotOffered", [](u32 b, u32 root) { return createPixmap(7, b | 40, root, 5, 5); }, BadValue, true},
      {"PixmapIdOfAnotherClient", [](u32, u32 root) { return createPixmap(24, 2u << 20 | 40, root, 5, 5); },
       BadIDChoice, true},
      {"PixmapOnNoDrawable", [](u32 b, u32) { return createPixmap(24, b | 40, b | 999, 5, 5); }, BadDrawable, true},
      {"ChangeUnknownGC", [](u32 b, u32) { return changeGC(b | 999, GCForeground, {1}); }, BadGC, true},
      {"ClipOnUnknownGC", [](u32 b, u32) { return setClipRectangles(b | 999, 0, 0, {0, 0, 1, 1}); }, BadGC, true},
      {"ClipOrdering", [](u32 b, u32) {
         Bytes r = setClipRectangles(b | 3, 0, 0, {0, 0, 1, 1});
         r[1] = 4;
         return r;
       }, BadValue, true},
      // Rectangles not in the order claimed: the zoomed head, sent them
      // merged, would take them.
      {"ClipOutOfOrder", [](u32 b, u32) {
         Bytes r = setClipRectangles(b | 3, 0, 0, {5, 5, 1, 1, 0, 0, 1, 1});
         r[1] = YSorted;
         return r;
       }, BadMatch, true},
      {"ClipListOddLength", [](u32 b, u32) {
         Bytes r = Req(X_SetClipRectangles).c32(b | 3).c32(0).c32(0).done();
         return r;
       }, BadLength, true},
      {"TextItemPastEnd", [](u32 b, u32) {
         Bytes r = Req(X_PolyText8).c32(b | 1).c32(b | 3).c32(0).c8(9).c8(0).text("ab").done();
         return r;
       }, BadLength, true},
      {"GCMaskTooWide", [](u32 b, u32) {
         Bytes r = Req(X_CreateGC).c32(b | 41).c32(b | 1).c32(1u << 23).c32(0).done();
         return r;
       }, BadValue, true},
      {"GetImageOutside", [](u32 b, u32) { return getImage(ZPixmap, b | 1, 60, 0, 10, 10, ~0u); }, BadMatch, true},
      {"GetImageFormat", [](u32 b, u32) { return getImage(XYBitmap, b | 1, 0, 0, 1, 1, ~0u); }, BadValue, true},
      {"FreeUnknownPixmap", [](u32 b, u32) { return Req(X_FreePixmap).c32(b | 999).done(); }, BadPixmap, true},
      {"CloseUnknownFont", [](u32 b, u32) { return Req(X_CloseFont).c32(b | 999).done(); }, BadFont, true},
      // The font server is asked first: a round trip, but no OpenFont.
      {"UnknownFontName", [](u32 b, u32) { return openFont(b | 42, "-no-such-font-*"); }, BadName, false},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes request = c.request(base(), kMetaRoot);
    u8 major = request[0];
    for (ServerLink* link : linksOf(rig->client())) ASSERT_TRUE(queuedMajors(link).empty());
    sendThroughProxy(request);
    if (c.quiet) {
      // The only request allowed is the round trip that releases the error
      // in order.
      for (ServerLink* link : linksOf(rig->client())) {
        std::vector<u8> majors = queuedMajors(link);
        EXPECT_EQ(std::count(majors.begin(), majors.end(), major), 0);
        EXPECT_LE(majors.size(), 1u);
      }
    }
    ASSERT_TRUE(rig->sync());
    EXPECT_EQ(errorCodes(), std::vector<u8>{c.code});
  }
  // The resources the errors named were not made.
  EXPECT_EQ(lookupResourceObject(base() | 40), nullptr);
  EXPECT_EQ(lookupResourceObject(base() | 42), nullptr);
}

// CopyArea between two pixmaps on a head zoomed by 3/2: source and
// destination areas round to sizes a pixel apart, and the destination is
// filled to its last column and row, and not beyond.
class Seams : public DrawingRig {};

TEST_P(Seams, CopyBetweenPixmapsLeavesNoGapOnAnOddZoom) {
  u32 A = base() | 1, B = base() | 2, G = base() | 3;
  const Head& head = heads[0];
  for (i16 destination : {2, 3}) {
    SCOPED_TRACE(destination);
    Script s;
    s.push_back(createPixmap(24, A, kMetaRoot, 32, 32));
    s.push_back(createPixmap(24, B, kMetaRoot, 32, 32));
    s.push_back(createGC(G, A, GCForeground | GCGraphicsExposures, {0xff0000, 0}));
    s.push_back(fill(A, G, {0, 0, 32, 32}));
    s.push_back(changeGC(G, GCForeground, {0}));
    s.push_back(fill(B, G, {0, 0, 32, 32}));
    // 5 pixels from x 1 and from x 2 or 3: the scaled edges differ.
    s.push_back(copyArea(A, B, G, 1, 1, 5, 5, destination, destination));
    for (Bytes& r : s) sendThroughProxy(r);
    ASSERT_TRUE(rig->sync());
    EXPECT_EQ(errorCodes(), std::vector<u8>{});
    XImage* got = XGetImage(head.display, translateXid(B, RT_PIXMAP, &head), 0, 0, 48, 48, AllPlanes, ZPixmap);
    ASSERT_NE(got, nullptr);
    i32 x0 = scaleX(head.scaler, destination), x1 = scaleX(head.scaler, destination + 5);
    u32 wrong = 0;
    for (i32 y = 0; y < 48; y++)
      for (i32 x = 0; x < 48; x++) {
        bool inside = x >= x0 && x < x1 && y >= x0 && y < x1;
        if ((XGetPixel(got, x, y) & 0xffffff) != (inside ? 0xff0000u : 0u)) wrong++;
      }
    XDestroyImage(got);
    EXPECT_EQ(wrong, 0u) << "destination " << x0 << ".." << x1;
    sendThroughProxy(Req(X_FreePixmap).c32(A).done());
    sendThroughProxy(Req(X_FreePixmap).c32(B).done());
    sendThroughProxy(Req(X_FreeGC).c32(G).done());
    ASSERT_TRUE(rig->sync());
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Seams, ::testing::Values(Layout{"ThreeHalves", {{1, true, 0, 3}}}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

// A zoomed head without the tag zoomedFonts draws text with the server's
// own scaled form of the font: every glyph whole, where the server puts it
// when it draws that font itself at the doubled origin.
class ScaledServerFont : public DrawingRig {};

TEST_P(ScaledServerFont, GlyphsAreWholeWhereTheServerDrawsThem) {
  u32 P = base() | 1, G = base() | 3, F = base() | 10;
  const std::string text = "Bold WMgjq";
  Script script{createPixmap(24, P, kMetaRoot, kWidth, kHeight), openFont(F, "fixed"),
                createGC(G, P, GCForeground | GCBackground | GCFont | GCGraphicsExposures, {0, 0, F, 0}),
                fill(P, G, {0, 0, kWidth, kHeight}), changeGC(G, GCForeground, {0xffffff}),
                polyText8(P, G, 1, 12, {{0, text, 0}}), imageText8(P, G, 1, 30, "jqgWM")};
  for (const Bytes& r : script) sendThroughProxy(r);
  ASSERT_TRUE(rig->sync());
  EXPECT_EQ(errorCodes(), std::vector<u8>{});
  const Head& head = heads[0];
  Display* d = head.display;
  // The name the font has on the server at twice its pixel size.
  XFontStruct* fixed = XLoadQueryFont(d, "fixed");
  ASSERT_NE(fixed, nullptr);
  XlfdFields* fields = xfontGetXLFDFields(d, fixed);
  ASSERT_NE(fields, nullptr);
  fields->pixelSize *= 2, fields->averageWidth *= 2, fields->pointSize = kXlfdNone;
  char* name = xfontFormatXLFD(fields);
  xfontFreeXLFDFields(fields);
  XFreeFont(d, fixed);
  XFontStruct* scaled = XLoadQueryFont(d, name);
  ASSERT_NE(scaled, nullptr) << name;
  std::free(name);
  u32 width = 2 * kWidth, height = 2 * kHeight;
  Pixmap want = XCreatePixmap(d, head.root, width, height, 24);
  GC gc = XCreateGC(d, want, 0, nullptr);
  XSetForeground(d, gc, 0);
  XFillRectangle(d, want, gc, 0, 0, width, height);
  XSetForeground(d, gc, 0xffffff);
  XSetBackground(d, gc, 0);
  XSetFont(d, gc, scaled->fid);
  XDrawString(d, want, gc, 2, 24, text.data(), int(text.size()));
  XDrawImageString(d, want, gc, 2, 60, "jqgWM", 5);
  XImage* got = XGetImage(d, translateXid(P, RT_PIXMAP, &head), 0, 0, width, height, AllPlanes, ZPixmap);
  XImage* expected = XGetImage(d, want, 0, 0, width, height, AllPlanes, ZPixmap);
  ASSERT_NE(got, nullptr);
  ASSERT_NE(expected, nullptr);
  u32 differ = 0, firstX = 0, firstY = 0;
  for (u32 y = 0; y < height; y++)
    for (u32 x = 0; x < width; x++)
      if ((XGetPixel(got, int(x), int(y)) & 0xffffff) != (XGetPixel(expected, int(x), int(y)) & 0xffffff) && !differ++)
        firstX = x, firstY = y;
  EXPECT_EQ(differ, 0u) << "first at " << firstX << "," << firstY;
  XDestroyImage(got);
  XDestroyImage(expected);
  XFreeGC(d, gc);
  XFreePixmap(d, want);
  XFreeFont(d, scaled);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ScaledServerFont, ::testing::Values(Layout{"Zoomed", {{2, true, 0, 0, true}}}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Layouts, DrawingErrors,
                         ::testing::Values(Layout{"TwoHeads", {{1, false}, {2, true}}}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test

// Cursors made for one head on a real server, read back through XFIXES:
// a client's cursor replicated through its link onto a zoomed or rotated
// head (core and ARGB, one frame or animated), and a cursor image applied
// on the proxy's own connection.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrender.h>

#include <memory>
#include <vector>

#include "Proxy/heads/lookup.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "support/linkrig.h"
#include "support/logcapture.h"
#include "support/resource_rig.h"
#include "support/xvfb.h"
#include "xsupport/misc.h"
#include "xsupport/xtarget.h"

namespace palvon {
namespace {

struct Shown {
  int width = 0, height = 0, hotX = 0, hotY = 0;
  unsigned long firstPixel = 0;
};

class CursorsOnHead : public testing::Test {
 protected:
  test::Xvfb xvfb{{"-screen", "0", "640x480x24"}};
  Display* own = nullptr;
  std::unique_ptr<test::DatabaseRig> database;
  std::unique_ptr<test::LinkRig> rig;
  ServerLink* link = nullptr;
  ServerDisplay server{};
  Head head{};
  MetaScreen screen{};
  Window window = 0;
  u32 renderMajor = 0;

  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    own = XOpenDisplay(xvfb.display().c_str());
    ASSERT_NE(own, nullptr);
    XSetErrorHandler(xtargetErrorHandler);
    database = std::make_unique<test::DatabaseRig>();
    rig = std::make_unique<test::LinkRig>();
    link = rig->open(xvfb, false);
    ASSERT_NE(link, nullptr);
    const test::ServerSetup& setup = rig->setup(0);
    server.display = own;
    server.firstHead = &head;
    // The proxy's 20 id bits under the server's mask, as for a real server.
    computeIdPartition(&server, 0xfffff);
    head.serverDisplay = &server;
    head.metaScreen = &screen;
    head.root = setup.root;
    head.display = own;
    head.zoomX = head.zoomY = 1.0;
    screen.heads = &head;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    ASSERT_EQ(initClientResourceTable(1), 1);
    setClientServerIdBase(1, &head, setup.idBase);
    int event = 0, error = 0, major = 0;
    ASSERT_TRUE(XQueryExtension(own, "RENDER", &major, &event, &error));
    renderMajor = u32(major);
    ExtensionEntry& entry = proxyState.extensions.entries[renderMajor];
    entry.name = "RENDER", entry.nameLength = 6, entry.major = u8(renderMajor);
    window = XCreateSimpleWindow(own, DefaultRootWindow(own), 0, 0, 200, 200, 0, 0, 0);
    XMapWindow(own, window);
    XWarpPointer(own, None, window, 0, 0, 0, 0, 50, 50);
    XSync(own, False);
  }

  void TearDown() override {
    proxyState.extensions.entries[renderMajor] = ExtensionEntry{};
    rig.reset();
    database.reset();
    if (own) XCloseDisplay(own);
  }

  // The cursor the server shows over the window.
  Shown shown(Cursor cursor) {
    XDefineCursor(own, window, cursor);
    XSync(own, False);
    Shown s;
    XFixesCursorImage* image = XFixesGetCursorImage(own);
    if (!image) return s;
    s = {image->width, image->height, image->xhot, image->yhot, image->pixels[0]};
    XFree(image);
    return s;
  }

  // Replicates through the client's link and checks the link got no error.
  Cursor replicate(const HeadCursor* images, u32 count) {
    u32 id = translateXid(1u << 20 | 7, RT_CURSOR, &head);
    EXPECT_EQ(replicateCursorImagesOnHead(images, count, rig->client(), &link->writer, id, &head), 1);
    EXPECT_TRUE(rig->sync());
    for (const test::Message& m : rig->take()) EXPECT_NE(m[0], 0) << "X error " << int(m[1]);
    return id;
  }

  u32 argbFormat() { return u32(XRenderFindStandardFormat(own, PictStandardARGB32)->id); }
};

std::vector<u8> allBits(u32 width, u32 height) { return std::vector<u8>((width + 7) / 8 * height, 0xff); }

HeadCursor bitmapCursor(std::vector<u8>& bits) {
  HeadCursor c{};
  c.width = c.height = 8;
  c.depth = 1;
  c.hotX = 2, c.hotY = 3;
  c.foreground.red = c.foreground.green = c.foreground.blue = 0;
  c.background.red = c.background.green = c.background.blue = 0xffff;
  c.image = bits.data();
  c.mask = bits.data();
  return c;
}

HeadCursor argbCursor(std::vector<u32>& pixels, u32 format) {
  HeadCursor c{};
  c.width = c.height = 8;
  c.depth = 32;
  c.hotX = 1, c.hotY = 2;
  c.renderFormat = format;
  c.image = reinterpret_cast<u8*>(pixels.data());
  return c;
}

TEST_F(CursorsOnHead, ACoreCursorDoublesOnAZoomedHead) {
  std::vector<u8> bits = allBits(8, 8);
  HeadCursor cursor = bitmapCursor(bits);
  head.zoomX = head.zoomY = 2.0;
  Shown s = shown(replicate(&cursor, 1));
  EXPECT_EQ(s.width, 16);
  EXPECT_EQ(s.height, 16);
  EXPECT_EQ(s.hotX, 4);
  EXPECT_EQ(s.hotY, 6);
}

TEST_F(CursorsOnHead, ARotatedHeadTurnsTheHotSpot) {
  std::vector<u8> bits = allBits(8, 8);
  HeadCursor cursor = bitmapCursor(bits);
  head.rotation = 1;
  Shown s = shown(replicate(&cursor, 1));
  EXPECT_EQ(s.width, 8);
  EXPECT_EQ(s.hotX, 3);  // (y, width - 1 - x)
  EXPECT_EQ(s.hotY, 5);
}

TEST_F(CursorsOnHead, AnArgbCursorKeepsItsPixelsWhenZoomed) {
  std::vector<u32> pixels(64, 0xff00ff00u);
  HeadCursor cursor = argbCursor(pixels, argbFormat());
  head.zoomX = head.zoomY = 2.0;
  Shown s = shown(replicate(&cursor, 1));
  EXPECT_EQ(s.width, 16);
  EXPECT_EQ(s.hotX, 2);
  EXPECT_EQ(s.hotY, 4);
  EXPECT_EQ(s.firstPixel & 0xffffffffu, 0xff00ff00u);
}

// The server shows an animated cursor through frames of its own (XFIXES
// sees a stand-in): the server taking it without an error is what counts.
TEST_F(CursorsOnHead, AnimatedCursorsAreMadeOfTheirFrames) {
  std::vector<u32> green(64, 0xff00ff00u), red(64, 0xffff0000u);
  HeadCursor frames[] = {argbCursor(green, argbFormat()), argbCursor(red, argbFormat())};
  frames[0].delay = 500, frames[1].delay = 500;
  test::LogCapture errors({&logChXerror});
  Cursor cursor = replicate(frames, 2);
  shown(cursor);
  for (const std::string& line : errors.lines()) EXPECT_EQ(line.find("error"), std::string::npos) << line;
}

TEST_F(CursorsOnHead, TheProxysOwnConnectionAppliesImagesToAWindow) {
  std::vector<u32> pixels(64, 0xff0000ffu);
  HeadCursor cursor = argbCursor(pixels, argbFormat());
  ASSERT_EQ(applyHeadCursor(own, 0, window, &cursor, 1, false), nullptr);
  XSync(own, False);
  XFixesCursorImage* image = XFixesGetCursorImage(own);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width, 8);
  EXPECT_EQ(image->xhot, 1);
  EXPECT_EQ(image->pixels[0] & 0xffffffffu, 0xff0000ffu);
  XFree(image);
  cursor.renderFormat = 0x7777;
  EXPECT_STREQ(applyHeadCursor(own, 0, window, &cursor, 1, false),
               tmpPrintf("Display %s has no RENDER picture format #%u", xShortDisplayName(own), 0x7777u));
}

}  // namespace
}  // namespace palvon

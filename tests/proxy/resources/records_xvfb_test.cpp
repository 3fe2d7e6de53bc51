// Pixmap records against a real Xvfb: a client's pixmap referenced by another
// client is copied through the proxy's own connection and keeps its contents
// after the owner's pixmap is gone; a pixmap freed without references is
// freed on the owner's link. Both byte orders of the link.
#include <gtest/gtest.h>

#include <X11/Xutil.h>

#include <memory>

#include "Proxy/heads/open.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "support/linkrig.h"
#include "support/resource_rig.h"
#include "support/xvfb.h"
#include "xsupport/xtarget.h"

namespace palvon::test {
namespace {

constexpr unsigned long kColour = 0x123456;

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

// True when the drawable no longer exists on the server.
bool drawableGone(Display* display, Drawable drawable) {
  Window root;
  int x, y;
  unsigned width, height, border, depth;
  xErrorTrapBegin(display);
  XGetGeometry(display, drawable, &root, &x, &y, &width, &height, &border, &depth);
  XSync(display, False);
  return xErrorTrapEnd() == 1;
}

unsigned long pixelAt(Display* display, Drawable drawable, int x, int y) {
  XImage* image = XGetImage(display, drawable, 0, 0, 16, 8, AllPlanes, ZPixmap);
  if (!image) return ~0ul;
  unsigned long pixel = XGetPixel(image, x, y);
  XDestroyImage(image);
  return pixel;
}

class PixmapCopies : public ::testing::TestWithParam<bool> {
 protected:
  Xvfb xvfb{{"-screen", "0", "320x240x24"}};
  std::unique_ptr<Display, DisplayCloser> own;
  ServerDisplay server{};
  Head head{};
  MetaScreen screen{};
  std::unique_ptr<DatabaseRig> database;
  std::unique_ptr<LinkRig> rig;
  ServerLink* link = nullptr;

  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    own.reset(XOpenDisplay(xvfb.display().c_str()));
    ASSERT_NE(own, nullptr);
    XSetErrorHandler(xtargetErrorHandler);  // the trap reports through it
    database = std::make_unique<DatabaseRig>();
    rig = std::make_unique<LinkRig>();
    link = rig->open(xvfb, GetParam());
    ASSERT_NE(link, nullptr);
    rig->client()->hasLinks = 1;
    const ServerSetup& setup = rig->setup(0);
    server.display = own.get();
    server.firstHead = &head;
    // The proxy's 20 id bits under the server's mask, as for a real server.
    computeIdPartition(&server, 0xfffff);
    head.serverDisplay = &server;
    head.metaScreen = &screen;
    head.root = setup.root;
    screen.heads = &head;
    proxyState.screens = &screen;
    proxyState.screenCount = 1;
    ASSERT_EQ(initClientResourceTable(1), 1);
    setClientServerIdBase(1, &head, setup.idBase);
  }

  void TearDown() override {
    rig.reset();
    database.reset();  // frees what is left while the proxy's connection is open
  }

  // The owner's pixmap, made on its link and painted through the proxy's
  // connection.
  PixmapRecord* ownersPixmap(u32 local) {
    u32 id = 1u << 20 | local;
    u32 serverId = translateXid(id, RT_PIXMAP, &head);
    xprotoCreatePixmap(&link->writer, 24, serverId, rig->setup(0).root, 16, 8);
    EXPECT_TRUE(rig->sync());
    GC gc = XCreateGC(own.get(), serverId, 0, nullptr);
    XSetForeground(own.get(), gc, kColour);
    XFillRectangle(own.get(), serverId, gc, 0, 0, 16, 8);
    XFreeGC(own.get(), gc);
    XSync(own.get(), False);
    PixmapRecord* pixmap = createPixmapRecord(id, 16, 8, 24, &screen, nullptr);
    EXPECT_EQ(addResource(id, RT_PIXMAP, pixmap), 1);
    return pixmap;
  }
};

TEST_P(PixmapCopies, AnotherClientsReferenceKeepsACopyAfterTheOwnerGoes) {
  PixmapRecord* pixmap = ownersPixmap(5);
  u32 ownerServerId = translateXid(pixmap->id, RT_PIXMAP, &head);
  refPixmap(pixmap, 2u << 20 | 1);  // a GC of client 2 takes it as its tile
  ASSERT_NE(pixmap->headCopies, nullptr);
  u32 copy = pixmap->headCopies->serverId;
  ASSERT_NE(copy, 0u);
  EXPECT_NE(copy, ownerServerId);
  EXPECT_EQ(pixelAt(own.get(), copy, 3, 3), kColour);
  EXPECT_EQ(pixmapServerId(pixmap, &head), ownerServerId) << "the owner's pixmap while it exists";

  freeResource(pixmap->id);  // the owner's FreePixmap: a zombie, nothing freed yet
  EXPECT_FALSE(drawableGone(own.get(), ownerServerId));
  currentClient = nullptr;
  freeClientResources(1);  // the owner goes; its server frees its pixmaps
  XFreePixmap(own.get(), ownerServerId);
  XSync(own.get(), False);
  EXPECT_EQ(pixmapServerId(pixmap, &head), copy);
  EXPECT_EQ(pixelAt(own.get(), copy, 15, 7), kColour);

  unrefPixmap(pixmap, 0);  // the GC goes
  EXPECT_TRUE(drawableGone(own.get(), copy));
  EXPECT_EQ(proxyState.records.zombieCount, 0u);
}

TEST_P(PixmapCopies, AnUnreferencedPixmapIsFreedOnTheOwnersLink) {
  PixmapRecord* pixmap = ownersPixmap(6);
  u32 serverId = translateXid(pixmap->id, RT_PIXMAP, &head);
  refPixmap(pixmap, pixmap->id);  // the owner's own GC: no copy
  EXPECT_EQ(pixmap->headCopies, nullptr);
  unrefPixmap(pixmap, 0);
  freeResource(pixmap->id);
  ASSERT_TRUE(rig->sync());
  EXPECT_TRUE(drawableGone(own.get(), serverId));
  EXPECT_TRUE(rig->take().empty()) << "no error came back to the client";
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, PixmapCopies, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
}  // namespace palvon::test

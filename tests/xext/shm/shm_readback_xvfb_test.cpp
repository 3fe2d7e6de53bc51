// The proxy's own read-back of an image from a head through a segment of
// its own, in-process on a real link to Xvfb of either byte order: the
// pixels land in the segment and the reply reaches the callback; without a
// callback nothing reaches the client; a small image, or a server that does
// not share memory, leaves the caller to an ordinary GetImage.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/images.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Xext/extmodule.h"
#include "Xext/shm/shm.h"
#include "support/linkrig.h"
#include "support/resource_rig.h"
#include "xsupport/xtarget.h"

namespace palvon::test {
namespace {

struct DisplayCloser {
  void operator()(Display* d) const {
    if (d) XCloseDisplay(d);
  }
};

struct Read {
  bool answered = false;
  u8 type = 0xff;
};

int noteReply(ServerLink*, const u8* reply, void* argument) {
  auto* read = static_cast<Read*>(argument);
  read->answered = true;
  read->type = reply[0];
  return 1;
}

class ShmReadBack : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    own.reset(XOpenDisplay(xvfb.display().c_str()));
    ASSERT_NE(own, nullptr);
    database = std::make_unique<DatabaseRig>();
    rig = std::make_unique<LinkRig>();
    entry = registerShmForLink(own.get(), &codes);
    ASSERT_NE(entry, nullptr);
    link = rig->open(xvfb, GetParam(), 0, 10000, &codes);
    ASSERT_NE(link, nullptr);
    const ServerSetup& setup = rig->setup(0);
    server.display = own.get();
    server.firstHead = &head;
    // The proxy's 20 id bits under the server's mask, as for a real server.
    computeIdPartition(&server, 0xfffff);
    server.shmUsable = 1;
    link->server.display = &server;
    head.serverDisplay = &server;
    head.display = own.get();
    head.root = head.rootWindow = setup.root;
    ASSERT_EQ(initClientResourceTable(1), 1);
    setClientServerIdBase(1, &head, setup.idBase);
    rig->client()->hasLinks = 1;
    // A red square at (20, 30) on a black root.
    GC gc = XCreateGC(own.get(), setup.root, 0, nullptr);
    XSetForeground(own.get(), gc, 0x000000);
    XFillRectangle(own.get(), setup.root, gc, 0, 0, 200, 200);
    XSetForeground(own.get(), gc, 0xff0000);
    XFillRectangle(own.get(), setup.root, gc, 20, 30, 50, 40);
    XFreeGC(own.get(), gc);
    XSync(own.get(), False);
  }

  void TearDown() override {
    if (entry) resetExtension(entry);
    rig.reset();
    database.reset();
  }

  u32 pixelAt(const ShmSegment* segment, u32 bytesPerLine, u32 x, u32 y) const {
    u32 pixel = 0;
    std::memcpy(&pixel, segment->address + y * bytesPerLine + x * 4, 4);
    return pixel & 0xffffff;
  }

  Xvfb xvfb{{"-screen", "0", "320x240x24"}};
  std::unique_ptr<Display, DisplayCloser> own;
  std::unique_ptr<DatabaseRig> database;
  std::unique_ptr<LinkRig> rig;
  ServerLink* link = nullptr;
  ServerDisplay server{};
  Head head{};
  ExtensionCodeMap codes{};
  ExtensionEntry* entry = nullptr;
};

TEST_P(ShmReadBack, TheImageLandsInTheSegmentAndTheReplyInTheCallback) {
  Read read;
  ShmSegment* segment = shmGetImageHook(link, &head, u32(head.root), 10, 10, 100, 100, 24, ~0u, noteReply, &read);
  ASSERT_NE(segment, nullptr);
  ASSERT_TRUE(rig->pump([&] { return read.answered; }));
  EXPECT_EQ(read.type, 1);  // a reply, not an error
  // (10, 10) is black; the square spans (20, 30) to (70, 70).
  EXPECT_EQ(pixelAt(segment, 400, 0, 0), 0u);
  EXPECT_EQ(pixelAt(segment, 400, 10, 20), 0xff0000u);
  EXPECT_EQ(pixelAt(segment, 400, 59, 59), 0xff0000u);
  EXPECT_EQ(pixelAt(segment, 400, 60, 59), 0u);
  EXPECT_TRUE(rig->sync());
  EXPECT_TRUE(rig->take().empty());  // the client sees nothing of it
  destroyShmSegment(segment);
}

TEST_P(ShmReadBack, WithoutACallbackTheReplyStaysWithTheProxy) {
  void* argument = std::malloc(16);  // freed with the reply
  ShmSegment* segment = shmGetImageHook(link, &head, u32(head.root), 0, 0, 100, 100, 24, ~0u, nullptr, argument);
  ASSERT_NE(segment, nullptr);
  EXPECT_TRUE(rig->sync());
  EXPECT_TRUE(rig->take().empty());
  EXPECT_EQ(pixelAt(segment, 400, 30, 40), 0xff0000u);
  destroyShmSegment(segment);
}

TEST_P(ShmReadBack, SmallImagesAndUnsharedServersGoTheOrdinaryWay) {
  Read read;
  // 60 x 60 x 4 bytes is below the default of 16384.
  EXPECT_EQ(shmGetImageHook(link, &head, u32(head.root), 0, 0, 60, 60, 24, ~0u, noteReply, &read), nullptr);
  server.shmUsable = 0;
  EXPECT_EQ(shmGetImageHook(link, &head, u32(head.root), 0, 0, 100, 100, 24, ~0u, noteReply, &read), nullptr);
  EXPECT_TRUE(rig->sync());
  EXPECT_FALSE(read.answered);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ShmReadBack, ::testing::Values(false, true));

}  // namespace
}  // namespace palvon::test

// Shapes and shared-memory images through the proxy program in front of two
// Xvfb side by side (meta screen A|B, seam at x = 398): each server gets the
// shape of a window on the seam, a mask under a server grab does not stall,
// ShmPutImage lands on both halves with one completion, ShmGetImage reads
// both halves into one image, and segments a client may not use, or images
// past a segment's end, are refused.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/shape.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <unistd.h>

#include <X11/Xproto.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/shapeshm_rig.h"
#include "support/xvfb.h"
#include "support/xwindows.h"

namespace palvon::test {
namespace {

int lastError = 0;
int recordError(Display*, XErrorEvent* event) {
  lastError = event->error_code;
  return 0;
}

class ShapeShm : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> words{"noReset", "on"};
    for (int i = 0; i < 2; i++) {
      servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "400x300x24"}));
      ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
      words.push_back("screen");
      words.push_back(servers.back()->display() + ".0");
    }
    proxy = std::make_unique<ProxyProcess>(words);
    ASSERT_TRUE(proxy->ok()) << proxy->log();
    display = XOpenDisplay(proxy->display().c_str());
    ASSERT_NE(display, nullptr);
    for (auto& server : servers) {
      direct.push_back(XOpenDisplay(server->display().c_str()));
      ASSERT_NE(direct.back(), nullptr);
    }
    lastError = 0;
    XSetErrorHandler(recordError);
  }

  // Xlib's GC records are freed with the GCs, before the display closes.
  GC makeGC(Drawable drawable) {
    gcs.push_back(XCreateGC(display, drawable, 0, nullptr));
    return gcs.back();
  }

  void TearDown() override {
    for (GC gc : gcs)
      if (display) XFreeGC(display, gc);
    for (Display* d : direct)
      if (d) XCloseDisplay(d);
    if (display) XCloseDisplay(display);
    XSetErrorHandler(nullptr);
  }

  // A mapped window on the seam, 200 x 100 at (300, 50).
  Window seamWindow() {
    Window window = plainWindow(display, DefaultRootWindow(display), 300, 50, 200, 100, 0);
    XSync(display, False);
    return window;
  }

  std::vector<std::unique_ptr<Xvfb>> servers;
  std::unique_ptr<ProxyProcess> proxy;
  Display* display = nullptr;
  std::vector<Display*> direct;
  std::vector<GC> gcs;
};

TEST_F(ShapeShm, EveryServerGetsTheShapeWithItsOffset) {
  Window window = seamWindow();
  XRectangle rectangles[] = {{0, 0, 50, 50}, {150, 40, 40, 40}};
  XShapeCombineRectangles(display, window, ShapeBounding, 5, 5, rectangles, 2, ShapeSet, Unsorted);
  XSync(display, False);
  EXPECT_EQ(lastError, 0);
  const std::string expected = "(5,5,50,40)(5,45,50,10)(155,45,40,10)(155,55,40,30)";
  EXPECT_EQ(shapeText(display, window, ShapeBounding), expected);
  for (Display* server : direct) {
    Window copy = serverWindow(server, 200, 100);
    ASSERT_NE(copy, 0u) << DisplayString(server);
    EXPECT_EQ(shapeText(server, copy, ShapeBounding), expected) << DisplayString(server);
  }
  // The extents as the client sees them.
  Bool bounding = False, clip = False;
  int bx = 0, by = 0, cx = 0, cy = 0;
  unsigned bw = 0, bh = 0, cw = 0, ch = 0;
  ASSERT_TRUE(XShapeQueryExtents(display, window, &bounding, &bx, &by, &bw, &bh, &clip, &cx, &cy, &cw, &ch));
  EXPECT_TRUE(bounding);
  EXPECT_EQ(bx, 5);
  EXPECT_EQ(bw, 190u);
}

// A shape combined from another window and then moved: every server ends
// with what the client sees.
TEST_F(ShapeShm, CombineAndOffsetReachEveryServer) {
  Window window = seamWindow();
  Window source = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 30, 20, 0, 0, 0);
  XRectangle box{0, 0, 10, 10};
  XShapeCombineRectangles(display, source, ShapeBounding, 0, 0, &box, 1, ShapeSet, Unsorted);
  XShapeCombineShape(display, window, ShapeBounding, 90, 20, source, ShapeBounding, ShapeSet);
  XShapeCombineShape(display, window, ShapeBounding, 100, 30, source, ShapeBounding, ShapeUnion);
  XShapeOffsetShape(display, window, ShapeBounding, 3, 4);
  XSync(display, False);
  EXPECT_EQ(lastError, 0);
  std::string seen = shapeText(display, window, ShapeBounding);
  EXPECT_EQ(seen, "(93,24,10,10)(103,34,10,10)");
  for (Display* server : direct)
    EXPECT_EQ(shapeText(server, serverWindow(server, 200, 100), ShapeBounding), seen) << DisplayString(server);
}

TEST_F(ShapeShm, OneShapeNotifyForTwoHeads) {
  Window window = seamWindow();
  XShapeSelectInput(display, window, ShapeNotifyMask);
  int shapeEvent = 0, shapeError = 0;
  ASSERT_TRUE(XShapeQueryExtension(display, &shapeEvent, &shapeError));
  XRectangle box{0, 0, 20, 20};
  XShapeCombineRectangles(display, window, ShapeBounding, 0, 0, &box, 1, ShapeSet, Unsorted);
  XSync(display, False);
  usleep(300 * 1000);
  XSync(display, False);
  int notifies = 0;
  XEvent event;
  while (XCheckTypedEvent(display, shapeEvent + ShapeNotify, &event)) notifies++;
  EXPECT_EQ(notifies, 1);
}

// --- Shared memory ------------------------------------------------------------------------------

// Images past the segment's end, and a read-write attachment of a segment
// the client may only read, are refused; the proxy goes on serving.
TEST_F(ShapeShm, RefusesWhatTheSegmentDoesNotAllow) {
  Window window = seamWindow();
  Visual* visual = DefaultVisual(display, DefaultScreen(display));
  Segment segment(4096);
  ASSERT_TRUE(XShmAttach(display, &segment.info));
  XSync(display, False);
  XImage* image = XShmCreateImage(display, visual, 24, ZPixmap, nullptr, &segment.info, 100, 100);
  ASSERT_NE(image, nullptr);
  image->data = segment.info.shmaddr;
  GC gc = makeGC(window);
  lastError = 0;
  XShmPutImage(display, window, gc, image, 0, 0, 0, 0, 100, 100, False);
  XSync(display, False);
  EXPECT_EQ(lastError, BadAccess);
  // Xlib hands a failed read's error to its extension hooks first: the
  // refusal shows as the failed call.
  EXPECT_FALSE(XShmGetImage(display, window, image, 0, 0, AllPlanes));
  image->data = nullptr;
  XDestroyImage(image);

  // Over TCP the proxy knows nobody: only what the segment gives everyone.
  Display* remote = XOpenDisplay(("127.0.0.1" + proxy->display()).c_str());
  ASSERT_NE(remote, nullptr);
  Segment owned(4096, 0600);
  Segment readable(4096, 0604);
  for (auto [info, readOnly] : {std::pair{&owned.info, True}, std::pair{&readable.info, False}}) {
    XShmSegmentInfo attach = *info;
    attach.readOnly = readOnly;
    lastError = 0;
    XShmAttach(remote, &attach);
    XSync(remote, False);
    EXPECT_EQ(lastError, BadAccess) << "mode " << (info == &owned.info ? "0600" : "0604 read-write");
  }
  XShmSegmentInfo reading = readable.info;
  reading.readOnly = True;
  lastError = 0;
  XShmAttach(remote, &reading);
  XSync(remote, False);
  EXPECT_EQ(lastError, 0);
  XCloseDisplay(remote);
  // Still serving.
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(display, &focus, &revert);
  EXPECT_EQ(XSync(display, False), 1);
}

// Two ids on one segment share the proxy's one mapping; when the client
// goes, the proxy and both servers let go of the segment.
TEST_F(ShapeShm, SegmentsAreLetGoWhenTheClientEnds) {
  Segment segment(4096);
  XShmSegmentInfo second = segment.info;
  ASSERT_TRUE(XShmAttach(display, &segment.info));
  ASSERT_TRUE(XShmAttach(display, &second));
  XSync(display, False);
  // The test, the proxy and each server, each once however many ids.
  EXPECT_EQ(attachments(segment.info.shmid), 1 + 1 + 2);
  XShmDetach(display, &second);
  XSync(display, False);
  EXPECT_EQ(attachments(segment.info.shmid), 1 + 1 + 2);
  XCloseDisplay(display);
  display = nullptr;
  int left = -1;
  for (int i = 0; i < 100 && (left = attachments(segment.info.shmid)) != 1; i++) usleep(20 * 1000);
  EXPECT_EQ(left, 1);
}

// A client of either byte order: its shape arrives whole, and the replies
// read right in its order.
class ByteOrder : public ShapeShm, public ::testing::WithParamInterface<char> {};

TEST_P(ByteOrder, ShapeAndShmRequests) {
  RawClient c;
  ASSERT_TRUE(c.connectUnix(proxy->number()));
  ASSERT_EQ(c.setup(GetParam()), 1);
  uint8_t shape = c.queryExtension("SHAPE").major, shm = c.queryExtension("MIT-SHM").major;
  ASSERT_NE(shape, 0);
  ASSERT_NE(shm, 0);
  Bytes reply;
  shapedWindowThrough(c, shape, &reply);
  ASSERT_GE(reply.size(), 40u);
  ASSERT_EQ(reply[0], X_Reply);
  EXPECT_EQ(c.get32(reply, 8), 1u);
  EXPECT_EQ(c.get16(reply, 32), 5);
  EXPECT_EQ(c.get16(reply, 34), 5);
  EXPECT_EQ(c.get16(reply, 36), 50);
  EXPECT_EQ(c.get16(reply, 38), 40);
  for (Display* server : direct)
    EXPECT_EQ(shapeText(server, serverWindow(server, 200, 100), ShapeBounding), "(5,5,50,40)");
  c.send(c.request(shm, 0));
  reply = c.readMessage();
  ASSERT_GE(reply.size(), 32u);
  ASSERT_EQ(reply[0], X_Reply);
  EXPECT_EQ(c.get16(reply, 8), 1);
  EXPECT_EQ(c.get16(reply, 10), 1);
  EXPECT_EQ(reply[16], ZPixmap);
}

INSTANTIATE_TEST_SUITE_P(Orders, ByteOrder, ::testing::Values('l', 'B'));

}  // namespace
}  // namespace palvon::test

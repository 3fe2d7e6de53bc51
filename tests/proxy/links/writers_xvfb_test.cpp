// Every request writer's request, sent to a real Xvfb in both byte orders,
// is accepted without an error.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Proxy/links/core11G.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "support/linkrig.h"
#include "support/rawclient.h"
#include "support/xvfb.h"
#include "xsupport/xtarget.h"

namespace palvon::test {
namespace {

class WritersOnServer : public ::testing::TestWithParam<bool> {};

int takeButtonCount(ServerLink*, const u8* reply, void* argument) {
  *static_cast<u8*>(argument) = reply[1];
  return 1;
}

std::string describeErrors(const std::vector<Message>& messages) {
  std::string text;
  for (const Message& m : messages)
    if (m[0] == 0) text += "error " + std::to_string(m[1]) + " for major " + std::to_string(m[10]) + "; ";
  return text;
}

// A window of another client, for the save-set.
u32 foreignWindow(RawClient& other, const Xvfb& xvfb) {
  EXPECT_TRUE(other.connectUnix(xvfb.number()));
  EXPECT_EQ(other.setup('l'), 1);
  u32 id = other.resourceIdBase() | 1;
  Bytes body(28, 0);
  other.put32(body, 0, id);
  other.put32(body, 4, other.rootWindow());
  other.put16(body, 12, 10);
  other.put16(body, 14, 10);
  other.put16(body, 18, 1);
  other.send(other.request(1, 0, body));
  // The window must exist before another connection names it: wait for the
  // answer of a later request (GetInputFocus) on the same connection.
  other.send(other.request(43, 0));
  Bytes reply = other.readMessage();
  EXPECT_EQ(reply.empty() ? -1 : reply[0], 1);
  return id;
}

TEST_P(WritersOnServer, DrawNoError) {
  // Depth 8: the default visual is PseudoColor, so colours can be stored.
  Xvfb xvfb({"-screen", "0", "640x480x8"});
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  LinkRig rig;
  ServerLink* link = rig.open(xvfb, GetParam());
  ASSERT_NE(link, nullptr);
  RequestWriter* w = &link->writer;
  const ServerSetup& s = rig.setup(0);
  RawClient other;
  u32 foreign = foreignWindow(other, xvfb);

  u32 window = rig.newId(0), pixmap = rig.newId(0), bitmap = rig.newId(0), gc = rig.newId(0);
  u32 font = rig.newId(0), colormap = rig.newId(0), cursor = rig.newId(0);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = s.white;
  attributes.event_mask = ExposureMask;
  xprotoCreateWindow(w, 0, window, s.root, 0, 0, 200, 100, 0, 1, 0, CWBackPixel | CWEventMask, &attributes);
  xprotoCreatePixmap(w, s.rootDepth, pixmap, window, 64, 64);
  xprotoCreatePixmap(w, 1, bitmap, window, 16, 16);
  xprotoOpenFont(w, font, "fixed", 5);
  XGCValues values{};
  values.foreground = s.black;
  values.background = s.white;
  values.font = font;
  xprotoCreateGC(w, gc, pixmap, GCForeground | GCBackground | GCFont, &values);
  xprotoCreateColormap(w, 1, colormap, window, s.rootVisual);
  xprotoCreateCursor(w, cursor, bitmap, 0, 1, 1, 0, 0, 0, 0xffff, 0xffff, 0xffff);
  xprotoMapWindow(w, window);
  xprotoChangeSaveSet(w, foreign);
  xprotoChangeWindowAttributes(w, window, CWBackPixel, &attributes);
  xprotoChangeProperty(w, 0, window, 39, 31, 8, 4, "name");
  xprotoClearArea(w, window, 0, 0, 10, 10);
  const u32 position[2] = {5, 6};
  xprotoConfigureWindow(w, window, 3, position);
  xprotoCopyArea(w, pixmap, window, gc, 0, 0, 20, 20, 1, 1);
  xprotoInstallColormap(w, colormap);
  xprotoPolyText8(w, window, gc, 10, 20, "text", 4);
  const XChar2b wide[2] = {{0, 'a'}, {0, 'b'}};
  xprotoPolyText16(w, window, gc, 10, 40, wide, 2);
  std::vector<char> pixels(1024 * 600, 3);
  XImage image{};
  image.width = 1024;
  image.height = 600;
  image.format = ZPixmap;
  image.depth = s.rootDepth;
  image.bytes_per_line = 1024;
  image.data = pixels.data();
  EXPECT_EQ(xprotoPutImage(w, window, gc, &image, 0, 0), 1);
  image.width = 32;
  image.height = 10000;
  image.format = XYPixmap;
  image.bytes_per_line = 4;
  std::vector<char> planes(4 * 10000 * s.rootDepth, 0x55);
  image.data = planes.data();
  EXPECT_EQ(xprotoPutImage(w, pixmap, gc, &image, 0, 0), 1);
  xprotoRaiseWindow(w, window);
  xprotoLowerWindow(w, window);
  xprotoResizeWindow(w, window, 180, 90);
  xprotoSelectInput(w, window, ExposureMask | StructureNotifyMask);
  const XRectangle clip{0, 0, 30, 30};
  xprotoSetClipRectangles(w, 0, gc, 0, 0, &clip, 1);
  const u8 dashes[2] = {3, 1};
  xprotoSetDashes(w, gc, 0, dashes, 2);
  xprotoGetFontPath(w);
  xprotoSetFontPath(w, nullptr, 0);  // the server's default path
  xprotoAllowEvents(w, 0, 0);
  xprotoUngrabServer(w);
  const u8 noOperation[4] = {127, 0, 1, 0};
  xprotoCopyRequest(w, noOperation, 4, "bbs");

  requestCopyPlane(link, pixmap, window, gc, 0, 0, 0, 0, 10, 10, 1);
  requestGetKeyboardMapping(link, 8, 10);
  requestGrabButton(link, 0, window, ButtonPressMask, 1, 1, 0, 0, 1, 0);
  requestUngrabButton(link, 1, window, 0);
  requestGrabKey(link, 0, window, 0, 38, 1, 1);
  requestUngrabKey(link, 38, window, 0);
  requestGrabKeyboard(link, 0, window, 1, 1);
  requestUngrabKeyboard(link);
  ASSERT_TRUE(requestGrabServer(link));
  EXPECT_EQ(requestUngrabServer(link), nullptr);
  requestImageText8(link, window, gc, 5, 50, "image", 5);
  requestImageText16(link, window, gc, 5, 70, wide, 2);
  requestMoveResizeWindow(link, window, 3, 4, 150, 80);
  requestMoveWindow(link, window, 7, 8);
  requestNoOperation(link);
  requestPolyFillRectangle(link, window, gc, 1, 1, 5, 5);
  requestSetWindowBackground(link, window, s.black);
  requestSetWindowBackgroundPixmap(link, window, pixmap);
  requestGrabPointer(link, 0, window, ButtonPressMask, 1, 1, 0, cursor);
  requestUngrabPointer(link);
  requestSetInputFocus(link, 1, window);
  requestWarpPointer(link, window, 5, 5);
  values.foreground = s.white;
  values.arc_mode = 1;
  requestChangeGC(link, gc, GCForeground | GCArcMode, &values);
  const u32 keysyms[2] = {0x61, 0x41};
  requestChangeKeyboardMapping(link, 1, 38, 2, keysyms);
  u8 buttons = 0;
  u8* get = allocServerRequest(link, 117, 0, 4);  // GetPointerMapping
  ASSERT_NE(get, nullptr);
  swapServerRequest(link, get, 4, "bbs");
  addReplyHook(link, takeButtonCount, &buttons);
  ASSERT_EQ(syncServerLink(link), nullptr);
  ASSERT_GT(buttons, 0);
  std::vector<u8> map(buttons);
  for (u8 i = 0; i < buttons; i++) map[i] = static_cast<u8>(i + 1);
  requestSetPointerMapping(link, buttons, map.data(), 3);  // the rest padded with zeros
  requestSetPointerMapping(link, buttons, map.data(), buttons);
  requestStoreColors(link, colormap, 5, 0x1000, 0x2000, 0x3000);
  ASSERT_TRUE(requestGetImage(link, 2, window, 0, 0, 10, 10, ~0u));
  requestQueryPointer(link, window);
  requestQueryKeymap(link);

  xprotoFreeCursor(w, cursor);
  xprotoFreeGC(w, gc);
  xprotoFreePixmap(w, pixmap);
  xprotoFreePixmap(w, bitmap);
  xprotoFreeColormap(w, colormap);
  xprotoCloseFont(w, font);
  xprotoUnmapWindow(w, window);
  xprotoDestroyWindow(w, window);
  // Its reply proves the server has taken everything before it.
  u8* focus = allocServerRequest(link, 43, 0, 4);
  ASSERT_NE(focus, nullptr);
  swapServerRequest(link, focus, 4, "bbs");

  // GetFontPath, GetKeyboardMapping, two SetPointerMapping, GetImage,
  // QueryPointer, QueryKeymap, GetInputFocus: read until the last of them
  // is in, whatever the load. The replies of GrabKeyboard and GrabPointer
  // answer grabs the proxy made itself and stay with the proxy.
  std::vector<Message> messages;
  int replies = 0;
  ASSERT_TRUE(rig.pump([&] {
    for (Message& m : rig.take()) {
      replies += m[0] == 1;
      messages.push_back(std::move(m));
    }
    return replies >= 8;
  }));
  ASSERT_TRUE(rig.sync());
  for (Message& m : rig.take()) messages.push_back(std::move(m));
  EXPECT_EQ(describeErrors(messages), "");
  EXPECT_EQ(replies, 8);
  EXPECT_EQ(messages.back()[0], 1) << "GetInputFocus answered last";
}

TEST(DisplayQueries, StackPositionAndQuietAttributes) {
  Xvfb xvfb;
  ASSERT_TRUE(xvfb.ok()) << xvfb.error();
  // The proxy's handler, which honours the error trap.
  XErrorHandler previous = XSetErrorHandler(xtargetErrorHandler);
  Display* display = XOpenDisplay(xvfb.display().c_str());
  ASSERT_NE(display, nullptr);
  Window root = DefaultRootWindow(display);
  Window parent = XCreateSimpleWindow(display, root, 0, 0, 50, 50, 0, 0, 0);
  Window bottom = XCreateSimpleWindow(display, parent, 0, 0, 5, 5, 0, 0, 0);
  Window middle = XCreateSimpleWindow(display, parent, 0, 0, 5, 5, 0, 0, 0);
  XCreateSimpleWindow(display, parent, 0, 0, 5, 5, 0, 0, 0);
  XSync(display, False);
  u32 count = 99;
  EXPECT_EQ(queryWindowStackPosition(display, middle, parent, &count), 1u);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(queryWindowStackPosition(display, bottom, parent, &count), 2u);
  EXPECT_EQ(queryWindowStackPosition(display, root, parent, &count), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(queryWindowStackPosition(display, middle, 0x3fffffff, &count), 0u) << "a bad parent is no error";
  XWindowAttributes attributes;
  EXPECT_NE(getWindowAttributesQuietly(display, middle, &attributes), 0);
  EXPECT_EQ(attributes.width, 5);
  EXPECT_EQ(getWindowAttributesQuietly(display, 0x3fffffff, nullptr), 0);
  XCloseDisplay(display);
  XSetErrorHandler(previous);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, WritersOnServer, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "MsbServer" : "LsbServer"; });

}  // namespace
}  // namespace palvon::test

// Every core request with a reply, sent by a client of either byte order
// through the proxy to a real server whose link speaks either order, comes
// back byte for byte as the server answers the same client directly. The
// proxy's rows are the product's; only their handlers are replaced by one
// that forwards the request unchanged (and the reply handlers by the
// default), so what is tested is the request prologue, the link's one swap
// of each reply by its row and the swap towards the client.
#include <gtest/gtest.h>

#include <X11/Xproto.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/links/linkdispatch.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/wordswap.h"
#include "support/proxyloop.h"
#include "support/rawclient.h"
#include "support/xcbproto.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Bytes;
using test::RawClient;

// Predefined atoms.
constexpr u32 kPrimary = 1, kInteger = 19, kString = 31, kWmName = 39;

// What the link's server said about the client: its id base and root.
u32 linkIdBase = 0;
u32 linkRoot = 0;

void captureLinkSetup(ServerLink* link, const u8* reply, u32 length) {
  if (reply[0] != 1 || length < 48) return;
  bool foreign = link->writer.swap;
  linkIdBase = loadU32(reply + 12, foreign);
  u16 vendor = loadU16(reply + 24, foreign);
  const u8* screen = reply + 40 + ((vendor + 3) & ~3u) + 8 * reply[29];
  linkRoot = loadU32(screen, foreign);
}

void forwardUnchanged(u8* request, u32 length) { forwardRequestTo(Route::kMainHead, request, length, nullptr, nullptr); }

// The product's row of a core request, with the forwarding handler and the
// reply passed on as it came (the rows' own reply handlers answer some
// requests from the proxy's model instead). NoOperation keeps its reply
// handler: the proxy's own round trips come back under it.
void forwardCoreRequest(u8 major) {
  static std::deque<RequestRow> rows;
  RequestRow row = coreRequestRow(major);
  row.request = forwardUnchanged;
  if (major != X_NoOperation) row.reply = nullptr;
  rows.push_back(row);
  for (u32 minor = 0; minor < 256; minor++) proxyState.dispatch.requests[requestKey(major, static_cast<u8>(minor))] = &rows.back();
}

// The requests, built for one connection (its byte order, id base and root).
std::vector<Bytes> requestsFor(const RawClient& c, u32 idBase, u32 root) {
  u32 font = idBase | 1;
  auto body = [&](std::initializer_list<u32> words) {
    Bytes b(4 * words.size(), 0);
    size_t at = 0;
    for (u32 w : words) c.put32(b, (at++) * 4, w);
    return b;
  };
  auto named = [&](u32 word, const std::string& name, size_t lengthAt) {
    Bytes b(4 + ((name.size() + 3) & ~size_t{3}) + 4, 0);
    c.put32(b, 0, word);
    c.put16(b, lengthAt, static_cast<u16>(name.size()));
    std::copy(name.begin(), name.end(), b.begin() + 8);
    b.resize(8 + ((name.size() + 3) & ~size_t{3}));
    return b;
  };
  auto property = [&](u8 format, u32 count) {
    Bytes b(20 + count * format / 8, 0);
    c.put32(b, 0, root);
    c.put32(b, 4, kWmName);
    c.put32(b, 8, format == 8 ? kString : kInteger);
    b[12] = format;
    c.put32(b, 16, count);
    for (u32 k = 0; k < count * format / 8; k++) b[20 + k] = static_cast<u8>(k + 1);
    return b;
  };
  auto getProperty = [&] { return body({root, kWmName, 0, 0, 100}); };
  std::vector<Bytes> r;
  r.push_back(c.request(X_GetWindowAttributes, 0, body({root})));
  r.push_back(c.request(X_GetGeometry, 0, body({root})));
  r.push_back(c.request(X_QueryTree, 0, body({root})));
  Bytes intern(4 + 8, 0);
  c.put16(intern, 0, 7);
  std::string atomName = "PALVON1";
  std::copy(atomName.begin(), atomName.end(), intern.begin() + 4);
  r.push_back(c.request(X_InternAtom, 0, intern));
  r.push_back(c.request(X_GetAtomName, 0, body({kPrimary})));
  for (u8 format : {8, 16, 32}) {
    r.push_back(c.request(X_ChangeProperty, 0, property(format, 6)));
    r.push_back(c.request(X_GetProperty, 0, getProperty()));
  }
  r.push_back(c.request(X_ListProperties, 0, body({root})));
  r.push_back(c.request(X_GetSelectionOwner, 0, body({kPrimary})));
  Bytes grab(20, 0);
  c.put32(grab, 0, root);
  c.put16(grab, 4, 0x4);  // ButtonPress
  grab[6] = grab[7] = 1;
  r.push_back(c.request(X_GrabPointer, 0, grab));
  r.push_back(c.request(X_UngrabPointer, 0, body({0})));
  Bytes grabKeyboard(12, 0);
  c.put32(grabKeyboard, 0, root);
  grabKeyboard[8] = grabKeyboard[9] = 1;
  r.push_back(c.request(X_GrabKeyboard, 0, grabKeyboard));
  r.push_back(c.request(X_UngrabKeyboard, 0, body({0})));
  r.push_back(c.request(X_QueryPointer, 0, body({root})));
  r.push_back(c.request(X_GetMotionEvents, 0, body({root, 0, 0})));
  Bytes translate = body({root, root, 0});
  c.put16(translate, 8, 10);
  c.put16(translate, 10, 20);
  r.push_back(c.request(X_TranslateCoords, 0, translate));
  r.push_back(c.request(X_GetInputFocus, 0));
  r.push_back(c.request(X_QueryKeymap, 0));
  r.push_back(c.request(X_OpenFont, 0, named(font, "fixed", 4)));
  r.push_back(c.request(X_QueryFont, 0, body({font})));
  Bytes extents = body({font, 0});
  c.put16(extents, 4, 0x61);  // "a" as a byte pair: not swapped
  r.push_back(c.request(X_QueryTextExtents, 1, extents));
  Bytes pattern(4 + 8, 0);
  c.put16(pattern, 0, 20);
  c.put16(pattern, 2, 5);
  std::string fixed = "fixed";
  std::copy(fixed.begin(), fixed.end(), pattern.begin() + 4);
  r.push_back(c.request(X_ListFonts, 0, pattern));
  c.put16(pattern, 0, 2);
  r.push_back(c.request(X_ListFontsWithInfo, 0, pattern));
  r.push_back(c.request(X_GetFontPath, 0));
  Bytes image = body({root, 0, 0, ~0u});
  c.put16(image, 4, 0);
  c.put16(image, 6, 0);
  c.put16(image, 8, 4);
  c.put16(image, 10, 4);
  r.push_back(c.request(X_GetImage, 2, image));
  r.push_back(c.request(X_ListInstalledColormaps, 0, body({root})));
  r.push_back(c.request(X_CloseFont, 0, body({font})));
  r.push_back(c.request(X_QueryBestSize, 0, body({root, 0x00100010})));
  Bytes extension(4 + 12, 0);
  c.put16(extension, 0, 12);
  std::string bigRequests = "BIG-REQUESTS";
  std::copy(bigRequests.begin(), bigRequests.end(), extension.begin() + 4);
  r.push_back(c.request(X_QueryExtension, 0, extension));
  r.push_back(c.request(X_ListExtensions, 0));
  Bytes keyboard(4, 0);
  keyboard[0] = 8;
  keyboard[1] = 20;
  r.push_back(c.request(X_GetKeyboardMapping, 0, keyboard));
  r.push_back(c.request(X_GetKeyboardControl, 0));
  r.push_back(c.request(X_GetPointerControl, 0));
  r.push_back(c.request(X_GetScreenSaver, 0));
  r.push_back(c.request(X_ListHosts, 0));
  r.push_back(c.request(X_GetPointerMapping, 0));
  r.push_back(c.request(X_GetModifierMapping, 0));
  return r;
}

// The colour requests need the root's colormap, taken from the attributes.
std::vector<Bytes> colorRequestsFor(const RawClient& c, u32 colormap) {
  auto named = [&](u8 major, const std::string& name) {
    Bytes b(8 + ((name.size() + 3) & ~size_t{3}), 0);
    c.put32(b, 0, colormap);
    c.put16(b, 4, static_cast<u16>(name.size()));
    std::copy(name.begin(), name.end(), b.begin() + 8);
    return c.request(major, 0, b);
  };
  Bytes alloc(12, 0);
  c.put32(alloc, 0, colormap);
  c.put16(alloc, 4, 0x1234);
  c.put16(alloc, 6, 0x5678);
  c.put16(alloc, 8, 0x9abc);
  Bytes query(12, 0);
  c.put32(query, 0, colormap);
  c.put32(query, 4, 0);
  c.put32(query, 8, 0xffffff);
  return {c.request(X_AllocColor, 0, alloc), named(X_AllocNamedColor, "red"), c.request(X_QueryColors, 0, query),
          named(X_LookupColor, "blue"), c.request(X_GetInputFocus, 0)};
}

// Events and errors: a window of the connection's own, ClientMessages of
// every format sent to it (delivered to its creator), and an error.
std::vector<Bytes> eventRequestsFor(const RawClient& c, u32 window, u32 root) {
  std::vector<Bytes> r;
  Bytes create(28, 0);
  c.put32(create, 0, window);
  c.put32(create, 4, root);
  c.put16(create, 12, 10);
  c.put16(create, 14, 10);
  c.put16(create, 18, 1);  // InputOutput
  r.push_back(c.request(X_CreateWindow, 0, create));
  for (u8 format : {8, 16, 32}) {
    Bytes send(40, 0);
    c.put32(send, 0, window);
    c.put32(send, 4, 0);  // no mask: to the window's creator
    Bytes& event = send;
    event[8] = 33;  // ClientMessage
    event[9] = format;
    c.put32(event, 12, window);
    c.put32(event, 16, kWmName);
    for (u32 k = 0; k < 20; k += format / 8) {
      if (format == 8) event[20 + k] = static_cast<u8>(k + 1);
      if (format == 16) c.put16(event, 20 + k, static_cast<u16>(0x101 * (k + 1)));
      if (format == 32) c.put32(event, 20 + k, 0x1010101u * (k + 1));
    }
    r.push_back(c.request(X_SendEvent, 0, send));
  }
  r.push_back(c.request(X_GetGeometry, 0, [&] {
    Bytes b(4, 0);
    c.put32(b, 0, 0x1fffffff);  // BadDrawable, with its value
    return b;
  }()));
  Bytes destroy(4, 0);
  c.put32(destroy, 0, window);
  r.push_back(c.request(X_DestroyWindow, 0, destroy));
  r.push_back(c.request(X_GetInputFocus, 0));
  return r;
}

class Replies : public test::ProxyLoopTest, public ::testing::WithParamInterface<std::tuple<char, bool>> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    name = xvfb.display();
    server = LinkServerInfo{};
    server.displayName = name.c_str();
    server.bigEndian = std::get<1>(GetParam());
    server.offlineTimeoutMs = 10000;
    clientServerList = ClientServerList{&server, 1};
    serverSetupHandler = captureLinkSetup;
    ProxyLoopTest::SetUp();
    for (u32 major = 1; major < 128; major++) forwardCoreRequest(static_cast<u8>(major));
  }
  void TearDown() override {
    ProxyLoopTest::TearDown();
    clientServerList = ClientServerList{};
    serverSetupHandler = nullptr;
  }

  // Sends the requests and reads every message until the reply to the
  // last one; empty when it did not come. Bytes that the protocol leaves
  // unused are cleared: the server fills them with whatever it had.
  std::vector<Bytes> exchange(RawClient& c, const std::vector<Bytes>& requests, bool throughProxy) {
    size_t& sent = sentSoFar_[&c];
    std::map<u16, u8> majorOf;
    for (const Bytes& r : requests) {
      c.send(r);
      majorOf[static_cast<u16>(++sent)] = r[0];
    }
    u16 last = static_cast<u16>(sent);
    std::vector<Bytes> messages;
    for (int tries = 0; tries < 2000; tries++) {
      if (throughProxy) step(2);
      Bytes m = c.readMessage(throughProxy ? 5 : 1000);
      if (m.empty()) continue;
      u16 sequence = c.get16(m, 2);
      auto request = xproto_.requests().find(majorOf[sequence]);
      if (m[0] == 1 && request != xproto_.requests().end()) test::clearUnusedReplyBytes(xproto_.reply(request->second), &m);
      if (m[0] == 0) std::fill(m.begin() + 11, m.end(), 0);
      messages.push_back(m);
      if (m[0] == 1 && sequence == last) return messages;
    }
    return {};
  }
  test::Protocol xproto_{{"/usr/share/xcb/xproto.xml"}};

  test::Xvfb xvfb;
  std::string name;
  LinkServerInfo server;
  std::map<RawClient*, size_t> sentSoFar_;
};

TEST_P(Replies, EqualTheServersOwnAnswersByteForByte) {
  char order = std::get<0>(GetParam());
  RawClient direct;
  ASSERT_TRUE(direct.connectUnix(xvfb.number()));
  ASSERT_EQ(direct.setup(order), 1);
  RawClient proxied;
  ASSERT_NE(connect(proxied, order), nullptr);
  ASSERT_TRUE(stepUntil([] { return linkRoot != 0; }));
  ASSERT_EQ(linkRoot, direct.rootWindow());

  std::vector<Bytes> expected = exchange(direct, requestsFor(direct, direct.resourceIdBase(), direct.rootWindow()), false);
  std::vector<Bytes> got = exchange(proxied, requestsFor(proxied, linkIdBase, linkRoot), true);
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(got.size(), expected.size());
  for (size_t k = 0; k < got.size(); k++) {
    EXPECT_EQ(got[k], expected[k]) << "message " << k << " (type " << int{expected[k][0]} << ", sequence "
                                   << direct.get16(expected[k], 2) << ")";
  }
  u32 colormap = direct.get32(expected[0], 28);

  // Events and errors; the window ids differ, in the events' window field.
  u32 directWindow = direct.resourceIdBase() | 2, proxiedWindow = linkIdBase | 2;
  expected = exchange(direct, eventRequestsFor(direct, directWindow, direct.rootWindow()), false);
  got = exchange(proxied, eventRequestsFor(proxied, proxiedWindow, linkRoot), true);
  ASSERT_EQ(got.size(), 5u) << "three ClientMessages, the error and the reply";
  ASSERT_EQ(got.size(), expected.size());
  for (size_t k = 0; k < got.size(); k++) {
    if ((got[k][0] & 0x7f) == 33) {
      EXPECT_EQ(proxied.get32(got[k], 4), proxiedWindow);
      EXPECT_EQ(direct.get32(expected[k], 4), directWindow);
      std::fill(got[k].begin() + 4, got[k].begin() + 8, 0);
      std::fill(expected[k].begin() + 4, expected[k].begin() + 8, 0);
    }
    EXPECT_EQ(got[k], expected[k]) << "event or error " << k;
  }

  expected = exchange(direct, colorRequestsFor(direct, colormap), false);
  got = exchange(proxied, colorRequestsFor(proxied, colormap), true);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Orders, Replies,
                         ::testing::Combine(::testing::Values('l', 'B'), ::testing::Values(false, true)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == 'B' ? "MsbClient" : "LsbClient") +
                                  (std::get<1>(info.param) ? "MsbLink" : "LsbLink");
                         });

}  // namespace
}  // namespace palvon

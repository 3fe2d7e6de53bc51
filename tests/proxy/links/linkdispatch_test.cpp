// What a server sends on a link, cut into messages whatever the reads: the
// same stream split at every byte boundary, or fed a byte at a time, gives
// the client the same messages; extension codes are renumbered to the
// proxy's on the way. The server's bytes are made here, in its byte order.
#include <gtest/gtest.h>
#include <X11/X.h>
#include <X11/Xproto.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/orders.h"
#include "base/wordswap.h"
#include "support/linkrig.h"
#include "support/testrows.h"

namespace palvon::test {
namespace {

constexpr u8 kProxyMajor = 135, kServerMajor = 145;
constexpr u8 kProxyEvent = 70, kServerEvent = 90, kUnmappedEvent = 95, kUnmappedError = 200;
constexpr u8 kProxyError = 140, kServerError = 150;

// A message in the server's byte order.
class ServerBytes {
 public:
  explicit ServerBytes(bool msb) : msb_(msb) {}
  ServerBytes& u8s(std::initializer_list<u8> bytes) {
    bytes_.insert(bytes_.end(), bytes);
    return *this;
  }
  ServerBytes& u16s(std::initializer_list<u16> values) {
    for (u16 v : values) {
      u8 b[2];
      storeU16(b, v, msb_);
      bytes_.insert(bytes_.end(), b, b + 2);
    }
    return *this;
  }
  ServerBytes& u32s(std::initializer_list<u32> values) {
    for (u32 v : values) {
      u8 b[4];
      storeU32(b, v, msb_);
      bytes_.insert(bytes_.end(), b, b + 4);
    }
    return *this;
  }
  ServerBytes& text(const char* s) {
    bytes_.insert(bytes_.end(), s, s + std::strlen(s));
    return *this;
  }
  ServerBytes& padTo(size_t n) {
    bytes_.resize(n, 0);
    return *this;
  }
  const std::vector<u8>& bytes() const { return bytes_; }

 private:
  bool msb_;
  std::vector<u8> bytes_;
};

// The set-up answer, then a reply, an error and an exposure of one request,
// a reply with data, an extension event, an extension error, a generic event
// of the extension, and an event and an error whose codes the display's
// maps do not know (both dropped: the client could not read them).
std::vector<u8> serverStream(bool msb) {
  std::vector<u8> all;
  auto add = [&](const ServerBytes& m) { all.insert(all.end(), m.bytes().begin(), m.bytes().end()); };
  add(ServerBytes(msb).u8s({1, 0}).u16s({11, 0, 2}).u32s({0x11223344, 0x55667788}));
  add(ServerBytes(msb).u8s({1, 2}).u16s({1}).u32s({0, 0x00400001}).padTo(32));                  // GetInputFocus
  add(ServerBytes(msb).u8s({0, 3}).u16s({2}).u32s({0x1234}).u16s({0}).u8s({8}).padTo(32));      // BadWindow
  add(ServerBytes(msb).u8s({12, 0}).u16s({2}).u32s({0x00400001}).u16s({1, 2, 3, 4, 0}).padTo(32));  // Expose
  add(ServerBytes(msb).u8s({1, 0}).u16s({3}).u32s({2}).u16s({6}).padTo(32).text("FOOBAR").padTo(40));  // GetAtomName
  add(ServerBytes(msb).u8s({kServerEvent, 7}).u16s({3}).u32s({0xabcdef}).padTo(32));
  add(ServerBytes(msb).u8s({0, kServerError}).u16s({3}).u32s({0x4321}).u16s({5}).u8s({kServerMajor}).padTo(32));
  add(ServerBytes(msb).u8s({35, kServerMajor}).u16s({3}).u32s({2}).u16s({9}).padTo(40));  // GenericEvent
  add(ServerBytes(msb).u8s({kUnmappedEvent, 0}).u16s({3}).padTo(32));
  add(ServerBytes(msb).u8s({0, kUnmappedError}).u16s({3}).u32s({7}).u16s({0}).u8s({kServerMajor}).padTo(32));
  return all;
}

// A client with one link that never answers round trips: what the link
// delivers stays in the client's output and pending list, in its order.
class Receiver {
 public:
  // The client's requests 1 to n, as the link's requests 1 to n.
  explicit Receiver(bool msb, const std::vector<std::vector<u8>>& requests = {makeRequest(43, 0, {}),
                                                                             makeRequest(8, 0, {1, 0, 0x40, 0}),
                                                                             makeRequest(17, 0, {3, 0, 0, 0})})
      : link_(&client_, msb) {
    client_.transport = reinterpret_cast<_XtransConnInfo*>(&client_);
    client_.number = 1;
    outbufferInit(&client_.output, -1, orderNoop, nullptr);
    client_.links = static_cast<ServerLink**>(std::calloc(kMaxServerLinks, sizeof(ServerLink*)));
    client_.links[0] = link_.link();
    client_.linkCount = 1;
    ServerLink* link = link_.link();
    // A live descriptor that never answers: the round trips that would
    // release held messages are queued and never come back.
    pipe(quiet_);
    link->descriptor = quiet_[0];
    codes_.errorFromServer[kServerError] = kProxyError;
    codes_.eventFromServer[kServerEvent] = kProxyEvent;
    codes_.majorToServer[kProxyMajor] = kServerMajor;
    link->server.codes = &codes_;
    for (const std::vector<u8>& r : requests) {
      client_.requestCounter++;
      copyRequestToServer(r.data(), static_cast<u32>(r.size()), link);
    }
  }
  ~Receiver() {
    link_.link()->descriptor = -1;
    close(quiet_[0]);
    close(quiet_[1]);
    freePendingRequests(&client_);
    outbufferFree(&client_.output);
    std::free(client_.links);
  }
  ServerLink* link() { return link_.link(); }
  void feed(const u8* bytes, size_t n) {
    bufferAppend(bytes, n, &link_.link()->input);
    dispatchServerInput(link_.link());
  }
  // Everything the client got, held messages released in request order.
  std::vector<u8> delivered() {
    while (client_.pendingHead) flushPendingRequest(client_.pendingHead, &client_);
    std::vector<u8> out;
    for (OutSegment* s = client_.output.head; s; s = s->next) out.insert(out.end(), s->readPosition, s->end);
    return out;
  }

 private:
  ProxyClient client_{};
  OfflineLink link_;
  int quiet_[2] = {-1, -1};
  ExtensionCodeMap codes_{};
};

class ServerInput : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ordersInit();
    registerCoreRowsForTest();
    proxyState.extensions.entries[kProxyMajor].name = "TEST-EXTENSION";
    // GetInputFocus answers with the proxy's own focus.
    inputState.focusWindow = 0x00400001;
    inputState.focusRevertTo = 2;
  }
  void TearDown() override {
    inputState.focusWindow = 0;
    inputState.focusRevertTo = 0;
    proxyState.extensions.entries[kProxyMajor] = {};
    ordersFreeAll();
  }
};

TEST_P(ServerInput, SplitAtEveryByteDeliversTheSameMessages) {
  bool msb = GetParam();
  std::vector<u8> stream = serverStream(msb);
  std::vector<u8> whole;
  {
    Receiver receiver(msb);
    receiver.feed(stream.data(), stream.size());
    whole = receiver.delivered();
  }
  ASSERT_EQ(whole.size(), stream.size() - 16 - 64) << "every message but the set-up answer and the unknown codes";
  for (size_t cut = 1; cut < stream.size(); cut++) {
    Receiver receiver(msb);
    receiver.feed(stream.data(), cut);
    receiver.feed(stream.data() + cut, stream.size() - cut);
    ASSERT_EQ(receiver.delivered(), whole) << "cut at byte " << cut;
  }
  Receiver byteByByte(msb);
  for (u8 byte : stream) byteByByte.feed(&byte, 1);
  EXPECT_EQ(byteByByte.delivered(), whole);

  // In the client's (the proxy's own) order, with the proxy's codes.
  std::vector<std::vector<u8>> messages;
  for (size_t at = 0; at < whole.size();) {
    size_t size = 32 + (whole[at] == 1 || whole[at] == 35 ? 4 * loadU32(&whole[at + 4]) : 0);
    messages.emplace_back(whole.begin() + static_cast<long>(at), whole.begin() + static_cast<long>(at + size));
    at += size;
  }
  ASSERT_EQ(messages.size(), 7u);
  // Held in request order: the reply of 1; then request 2's exposure before
  // its error; then request 3's messages as they came.
  EXPECT_EQ(messages[0][0], 1);
  EXPECT_EQ(loadU32(&messages[0][8]), 0x00400001u);
  EXPECT_EQ(messages[1][0], 12);
  EXPECT_EQ(loadU16(&messages[1][14]), 4u);
  EXPECT_EQ(messages[2][0], 0);
  EXPECT_EQ(loadU32(&messages[2][4]), 0x1234u);
  EXPECT_EQ(loadU16(&messages[3][8]), 6u);
  EXPECT_EQ(std::string(messages[3].begin() + 32, messages[3].begin() + 38), "FOOBAR");
  EXPECT_EQ(messages[4][0], kProxyEvent) << "renumbered to the proxy's event";
  EXPECT_EQ(messages[5][0], 0);
  EXPECT_EQ(messages[5][1], kProxyError) << "renumbered to the proxy's error";
  EXPECT_EQ(messages[5][10], kProxyMajor) << "the major the client knows";
  EXPECT_EQ(loadU32(&messages[5][4]), 0x4321u);
  EXPECT_EQ(messages[6][0], 35);
  EXPECT_EQ(messages[6][1], kProxyMajor);
  EXPECT_EQ(loadU32(&messages[6][4]), 2u);
  EXPECT_EQ(loadU16(&messages[6][8]), 9u);
  for (const auto& m : messages) EXPECT_LE(loadU16(&m[2]), 3u) << "the client's own sequence";
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ServerInput, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "MsbServer" : "LsbServer"; });

// --- Errors back in the client's terms ------------------------------------------------

struct ErrorCase {
  u8 code;
  u8 major;       // of the request the error answers
  bool translated;
};

// A server id of the test: the client's id with a bit of the server's base.
constexpr u32 kServerBase = 0x00800000;
u32 toClient(u32 xid, const ServerLink*) { return xid & ~kServerBase; }

class ErrorValues : public ::testing::TestWithParam<ErrorCase> {
 protected:
  void SetUp() override {
    ordersInit();
    registerCoreRowsForTest();
    serverXidToClientHook = toClient;
  }
  void TearDown() override {
    serverXidToClientHook = nullptr;
    ordersFreeAll();
  }
};

TEST_P(ErrorValues, ResourceIdsAreTheClientsOwn) {
  const ErrorCase& c = GetParam();
  std::vector<u8> delivered;
  {
    Receiver receiver(false, {makeRequest(c.major, 0, {1, 0, 0x20, 0})});
    std::vector<u8> stream = ServerBytes(false).u8s({1, 0}).u16s({11, 0, 2}).u32s({0x11223344, 0x55667788}).bytes();
    std::vector<u8> error =
        ServerBytes(false).u8s({0, c.code}).u16s({1}).u32s({kServerBase | 0x200001}).u16s({0}).u8s({c.major}).padTo(32).bytes();
    stream.insert(stream.end(), error.begin(), error.end());
    receiver.feed(stream.data(), stream.size());
    delivered = receiver.delivered();
  }
  ASSERT_EQ(delivered.size(), 32u);
  EXPECT_EQ(delivered[1], c.code);
  EXPECT_EQ(loadU32(&delivered[4]), c.translated ? 0x200001u : (kServerBase | 0x200001u));
}

// A BadWindow of a GrabPointer the client did not send (the proxy's own,
// which leaves no stash) never reaches the client; one it sent does.
TEST_F(ErrorValues, AGrabPointersBadWindowNeedsItsStash) {
  for (bool stashed : {false, true}) {
    std::vector<u8> delivered;
    {
      Receiver receiver(false, {makeRequest(X_GrabPointer, 0, std::vector<u8>(20, 0))});
      if (stashed) stashRequestData(receiver.link(), X_GrabPointer, nullptr, nullptr);
      std::vector<u8> stream = ServerBytes(false).u8s({1, 0}).u16s({11, 0, 2}).u32s({0x11223344, 0x55667788}).bytes();
      std::vector<u8> error =
          ServerBytes(false).u8s({0, BadWindow}).u16s({1}).u32s({0x200001}).u16s({0}).u8s({X_GrabPointer}).padTo(32).bytes();
      stream.insert(stream.end(), error.begin(), error.end());
      receiver.feed(stream.data(), stream.size());
      delivered = receiver.delivered();
    }
    EXPECT_EQ(delivered.size(), stashed ? 32u : 0u) << (stashed ? "the client's own grab" : "the proxy's grab");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorValues,
    ::testing::Values(ErrorCase{BadWindow, 8, true}, ErrorCase{BadPixmap, 54, true}, ErrorCase{BadCursor, 95, true},
                      ErrorCase{BadFont, 46, true}, ErrorCase{BadDrawable, 14, true}, ErrorCase{BadGC, 60, true},
                      ErrorCase{BadIDChoice, 1, true}, ErrorCase{BadColor, 79, true}, ErrorCase{BadValue, 113, true},
                      ErrorCase{BadValue, 8, false}, ErrorCase{BadAtom, 17, false}, ErrorCase{BadMatch, 8, false},
                      ErrorCase{BadAccess, 8, false}, ErrorCase{BadLength, 8, false}),
    [](const auto& info) {
      return "Error" + std::to_string(info.param.code) + "Of" + std::to_string(info.param.major);
    });

}  // namespace
}  // namespace palvon::test

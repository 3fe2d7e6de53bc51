// Large images through the real proxy process: requests of a megabyte that
// reach the proxy in pieces, replies of a megabyte that the client socket
// takes only in part, clients of either byte order, a client that does not
// read its replies while another one works, and images that go to the
// server through the proxy's shared segments, which the server keeps
// attached from one image to the next. Every pixel must come back as it
// was put, every message whole and in request order.
#include <gtest/gtest.h>

#include <X11/Xproto.h>

#include <chrono>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Proxy/links/serverlink.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Bytes;
using test::ProxyProcess;
using test::RawClient;
using test::Xvfb;

constexpr uint8_t kZPixmap = 2;
constexpr uint8_t kBadDrawable = 9;

// A client of the proxy with a depth-24 pixmap and a GC of its own.
struct ImageClient {
  RawClient raw;
  uint32_t pixmap = 0;
  uint32_t gc = 0;
  uint16_t sequence = 0;  // of the last request sent
  uint8_t bigRequestsMajor = 0;

  bool open(int display, char order, uint16_t side, bool bigRequests) {
    if (!raw.connectUnix(display) || raw.setup(order, "", {}, 20000) != 1) return false;
    if (bigRequests) {
      bigRequestsMajor = raw.queryExtension("BIG-REQUESTS", 20000).major;
      sequence++;
      if (!bigRequestsMajor || !send(raw.request(bigRequestsMajor, 0))) return false;
      if (raw.readMessage(20000).size() != 32) return false;
    }
    pixmap = raw.resourceIdBase() | 1;
    gc = raw.resourceIdBase() | 2;
    Bytes create(12, 0);
    raw.put32(create, 0, pixmap);
    raw.put32(create, 4, raw.rootWindow());
    raw.put16(create, 8, side);
    raw.put16(create, 10, side);
    Bytes gcBody(12, 0);
    raw.put32(gcBody, 0, gc);
    raw.put32(gcBody, 4, pixmap);
    return send(raw.request(X_CreatePixmap, 24, create)) && send(raw.request(X_CreateGC, 0, gcBody));
  }

  bool send(const Bytes& request) {
    sequence++;
    return raw.send(request);
  }

  // PutImage of the whole pixmap, in the big form when it needs it.
  Bytes putImage(uint16_t side, const Bytes& pixels) const {
    Bytes body(20, 0);
    raw.put32(body, 0, pixmap);
    raw.put32(body, 4, gc);
    raw.put16(body, 8, side);
    raw.put16(body, 10, side);
    body[17] = 24;
    body.insert(body.end(), pixels.begin(), pixels.end());
    if (body.size() + 4 <= 0x3fffc) return raw.request(X_PutImage, kZPixmap, body);
    Bytes request(8, 0);
    request[0] = X_PutImage;
    request[1] = kZPixmap;
    raw.put32(request, 4, static_cast<uint32_t>((body.size() + 8) / 4));
    request.insert(request.end(), body.begin(), body.end());
    return request;
  }

  Bytes getImage(uint16_t side) const {
    Bytes body(16, 0);
    raw.put32(body, 0, pixmap);
    raw.put16(body, 8, side);
    raw.put16(body, 10, side);
    raw.put32(body, 12, 0xffffffff);
    return raw.request(X_GetImage, kZPixmap, body);
  }

  // A request the server answers with an error.
  Bytes badGeometry() const {
    Bytes body(4, 0);
    raw.put32(body, 0, raw.resourceIdBase() | 0x3ff);
    return raw.request(X_GetGeometry, 0, body);
  }
};

// 32-bit pixels of depth 24: the byte outside the depth (the last in an
// LSB-first image, the first in an MSB-first one) stays 0, as GetImage
// gives it back.
Bytes pattern(const RawClient& client, uint16_t side, uint8_t seed) {
  bool msbFirst = client.setupReply().size() > 30 && client.setupReply()[30] == 1;
  Bytes pixels(size_t{4} * side * side);
  for (size_t i = 0; i < pixels.size(); i++)
    pixels[i] = (i % 4 == (msbFirst ? 0u : 3u)) ? 0 : static_cast<uint8_t>(i * 7 + i / 4093 + seed);
  return pixels;
}

// The GetImage reply's pixels, or a text saying what came instead.
std::string checkImage(const RawClient& client, const Bytes& reply, uint16_t sequence, const Bytes& pixels) {
  if (reply.size() < 32) return "no complete reply";
  if (reply[0] != 1) return "message type " + std::to_string(reply[0]) + " instead of the reply";
  if (client.get16(reply, 2) != sequence) return "reply of sequence " + std::to_string(client.get16(reply, 2));
  if (reply.size() != 32 + pixels.size()) return "reply of " + std::to_string(reply.size()) + " bytes";
  for (size_t i = 0; i < pixels.size(); i++)
    if (reply[32 + i] != pixels[i]) return "pixel byte " + std::to_string(i) + " differs";
  return "";
}

// How the PutImage reaches the proxy: whole, or in pieces cut at these
// offsets with a pause behind each, so that the proxy reads each alone
// (the first cuts fall inside the header and the big-request length).
struct Transfer {
  const char* name;
  char order;
  uint16_t side;  // 512: a megabyte, sent in the big form; 130: 66 kB
  std::vector<size_t> cuts;
};

void PrintTo(const Transfer& t, std::ostream* out) { *out << t.name; }

class LargeImages : public ::testing::TestWithParam<Transfer> {};

// Each image comes back exactly, its reply whole in order between the
// replies and errors of the requests around it.
TEST_P(LargeImages, RoundTripWholeAndInOrder) {
  const Transfer& t = GetParam();
  Xvfb server({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ImageClient c;
  ASSERT_TRUE(c.open(proxy.number(), t.order, t.side, t.side > 256));
  Bytes pixels = pattern(c.raw, t.side, 3);
  Bytes put = c.putImage(t.side, pixels);
  size_t from = 0;
  for (size_t cut : t.cuts) {
    ASSERT_TRUE(c.raw.send(put.data() + from, cut - from));
    from = cut;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_TRUE(c.send(Bytes(put.begin() + static_cast<long>(from), put.end())));
  // Twice, with a reply ahead of each image (in the same read of the
  // link when the image is small enough) and an error and a reply behind.
  for (int round = 0; round < 2; round++) {
    ASSERT_TRUE(c.send(c.raw.request(X_GetInputFocus, 0)));
    ASSERT_TRUE(c.send(c.getImage(t.side)));
    uint16_t imageSequence = c.sequence;
    ASSERT_TRUE(c.send(c.badGeometry()));
    ASSERT_TRUE(c.send(c.raw.request(X_GetInputFocus, 0)));
    Bytes ahead = c.raw.readMessage(20000);
    ASSERT_EQ(ahead.size(), 32u);
    EXPECT_EQ(ahead[0], 1);
    EXPECT_EQ(c.raw.get16(ahead, 2), static_cast<uint16_t>(imageSequence - 1));
    EXPECT_EQ(checkImage(c.raw, c.raw.readMessage(20000), imageSequence, pixels), "") << "round " << round;
    Bytes error = c.raw.readMessage(20000);
    ASSERT_EQ(error.size(), 32u);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(error[1], kBadDrawable);
    EXPECT_EQ(c.raw.get16(error, 2), static_cast<uint16_t>(imageSequence + 1));
    Bytes focus = c.raw.readMessage(20000);
    ASSERT_EQ(focus.size(), 32u);
    EXPECT_EQ(focus[0], 1);
    EXPECT_EQ(c.raw.get16(focus, 2), static_cast<uint16_t>(imageSequence + 2));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, LargeImages,
    ::testing::Values(Transfer{"Whole", 'l', 512, {}}, Transfer{"WholeSwapped", 'B', 512, {}},
                      Transfer{"Pieces", 'l', 512, {2, 6, 30, 400000, 700000}},
                      Transfer{"PiecesSwapped", 'B', 512, {3, 7, 24, 300000, 900000}},
                      Transfer{"PlainFormInPieces", 'l', 130, {1, 4, 20, 40000}},
                      Transfer{"PlainFormSwapped", 'B', 130, {2, 60000}}),
    [](const ::testing::TestParamInfo<Transfer>& info) { return std::string(info.param.name); });

// A client that asks for megabyte images and reads none of them holds up
// no one else: another client's images and round trips go through meanwhile.
// Then the first one's replies all arrive, whole and in order.
TEST(LargeImagesUnread, DoNotStallAnotherClient) {
  Xvfb server({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  constexpr uint16_t kSide = 512;
  ImageClient slow;
  ASSERT_TRUE(slow.open(proxy.number(), 'l', kSide, true));
  Bytes slowPixels = pattern(slow.raw, kSide, 11);
  ASSERT_TRUE(slow.send(slow.putImage(kSide, slowPixels)));
  std::vector<uint16_t> asked;
  for (int i = 0; i < 6; i++) {
    ASSERT_TRUE(slow.send(slow.getImage(kSide)));
    asked.push_back(slow.sequence);
  }
  ASSERT_TRUE(slow.send(slow.badGeometry()));

  ImageClient other;
  ASSERT_TRUE(other.open(proxy.number(), 'l', 240, false));
  Bytes pixels = pattern(other.raw, 240, 5);
  for (int round = 0; round < 3; round++) {
    ASSERT_TRUE(other.send(other.putImage(240, pixels)));
    ASSERT_TRUE(other.send(other.getImage(240)));
    EXPECT_EQ(checkImage(other.raw, other.raw.readMessage(10000), other.sequence, pixels), "") << "round " << round;
  }

  for (uint16_t sequence : asked)
    EXPECT_EQ(checkImage(slow.raw, slow.raw.readMessage(20000), sequence, slowPixels), "") << "sequence " << sequence;
  Bytes error = slow.raw.readMessage(20000);
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(slow.raw.get16(error, 2), static_cast<uint16_t>(asked.back() + 1));
}

// Shared-memory mappings of a process (the proxy's image segments that a
// server has attached show as SYSV mappings); -1 when unreadable.
int sharedMappings(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  if (!maps) return -1;
  int count = 0;
  std::string line;
  while (std::getline(maps, line)) count += line.find("/SYSV") != std::string::npos;
  return count;
}

// Images of several sizes, each into a segment of the proxy's pool, put
// again and again by one or two clients: whichever segment the pool lends,
// the server reads that one, never another one it still has attached. Once
// the pool lets its idle segments go, the server holds none of them.
struct SharedPuts {
  const char* name;
  int clients;
  std::vector<uint16_t> sides;  // in turn, each client its own image
  int rounds;
};

void PrintTo(const SharedPuts& p, std::ostream* out) { *out << p.name; }

class SharedImageSegments : public ::testing::TestWithParam<SharedPuts> {};

TEST_P(SharedImageSegments, ServerReadsTheSegmentLentForEachImage) {
  const SharedPuts& p = GetParam();
  Xvfb server({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  std::vector<ImageClient> clients(static_cast<size_t>(p.clients));
  for (ImageClient& c : clients) ASSERT_TRUE(c.open(proxy.number(), 'l', 512, true));
  int before = sharedMappings(server.pid());
  ASSERT_GE(before, 0);
  auto putAndCheck = [&](int round) {
    uint8_t seed = static_cast<uint8_t>(round * 16);
    for (uint16_t side : p.sides) {
      for (size_t k = 0; k < clients.size(); k++) {
        ImageClient& c = clients[k];
        Bytes pixels = pattern(c.raw, side, static_cast<uint8_t>(seed++ + k));
        ASSERT_TRUE(c.send(c.putImage(side, pixels)));
        ASSERT_TRUE(c.send(c.getImage(side)));
        EXPECT_EQ(checkImage(c.raw, c.raw.readMessage(20000), c.sequence, pixels), "")
            << "round " << round << ", side " << side << ", client " << k;
      }
    }
  };
  for (int round = 0; round < p.rounds; round++) putAndCheck(round);
  // The pool lets idle segments go after one to one and a half seconds;
  // a round trip then finds every release done at the server.
  int after = -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (after != before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (ImageClient& c : clients) {
      ASSERT_TRUE(c.send(c.raw.request(X_GetInputFocus, 0)));
      ASSERT_EQ(c.raw.readMessage(20000).size(), 32u);
    }
    after = sharedMappings(server.pid());
  }
  EXPECT_EQ(after, before);
  putAndCheck(p.rounds);
}

INSTANTIATE_TEST_SUITE_P(
    Puts, SharedImageSegments,
    ::testing::Values(SharedPuts{"OneClientOneSize", 1, {512}, 3},
                      SharedPuts{"OneClientManySizes", 1, {512, 40, 300, 130, 512, 24, 200}, 2},
                      SharedPuts{"TwoClientsManySizes", 2, {100, 512, 256, 60}, 2}),
    [](const ::testing::TestParamInfo<SharedPuts>& info) { return std::string(info.param.name); });

// While a grab elsewhere holds the server, the proxy goes on lending a
// segment per image, so that a dozen are in flight on one link when the
// server resumes: it keeps only a bounded number of them attached, and
// lets go of each only behind the puts that read it.
TEST(SharedImageSegmentsInFlight, ServerKeepsABoundedNumberAttached) {
  Xvfb server({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  constexpr uint16_t kSide = 512;
  ImageClient c;
  ASSERT_TRUE(c.open(proxy.number(), 'l', kSide, true));
  ASSERT_TRUE(c.send(c.raw.request(X_GetInputFocus, 0)));
  ASSERT_EQ(c.raw.readMessage(20000).size(), 32u);
  int before = sharedMappings(server.pid());
  ASSERT_GE(before, 0);
  RawClient holder;
  ASSERT_TRUE(holder.connectUnix(server.number()));
  ASSERT_EQ(holder.setup(), 1);
  ASSERT_TRUE(holder.send(holder.request(X_GrabServer, 0)));
  ASSERT_TRUE(holder.send(holder.request(X_GetInputFocus, 0)));
  ASSERT_EQ(holder.readMessage(20000).size(), 32u);
  constexpr int kImages = 12;
  Bytes last;
  std::thread sender([&] {
    for (int i = 0; i < kImages; i++) {
      last = pattern(c.raw, kSide, static_cast<uint8_t>(i * 13));
      c.send(c.putImage(kSide, last));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(holder.send(holder.request(X_UngrabServer, 0)));
  sender.join();
  ASSERT_TRUE(c.send(c.getImage(kSide)));
  EXPECT_EQ(checkImage(c.raw, c.raw.readMessage(20000), c.sequence, last), "");
  EXPECT_LE(sharedMappings(server.pid()), before + static_cast<int>(kKeptShmAttachments));
}

}  // namespace
}  // namespace palvon

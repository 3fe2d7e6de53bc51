// Large images through the real proxy process: requests of a megabyte that
// reach the proxy in pieces, replies of a megabyte that the client socket
// takes only in part, clients of either byte order, a client that does not
// read its replies while another one works, and images that go to the
// server through the proxy's shared segments, which the server keeps
// attached from one image to the next. Every pixel must come back as it
// was put, every message whole and in request order. Large replies pass
// through the proxy as they arrive: the messages around them are those a
// plain Xvfb sends, with one head or two, a client that reads nothing
// leaves the proxy's memory bounded, and a server that stops in the
// middle of a reply ends that client and no other. A server that answers
// later than the offline time-out, while a client floods it, leaves that
// client only answers to its own requests.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xatom.h>
#include <X11/Xproto.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Proxy/links/serverlink.h"
#include "support/peers/mutrelay.h"
#include "support/peers/tcprelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace palvon {
namespace {

using test::Bytes;
using test::MutatingRelay;
using test::Mutation;
using test::ProxyProcess;
using test::RawClient;
using test::TcpRelay;
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


// --- Replies passed on as they arrive ----------------------------------------------

// The root of screen `index` from the set-up answer (read in the client's
// order): screens follow the vendor and the pixmap formats.
uint32_t rootOfScreen(const RawClient& c, int index) {
  const Bytes& s = c.setupReply();
  size_t at = 40 + ((c.get16(s, 24) + 3u) & ~3u) + 8u * s[29];
  for (int i = 0; i < index; i++) {
    uint8_t depths = s[at + 39];
    at += 40;
    for (uint8_t d = 0; d < depths; d++) at += 8 + 24u * c.get16(s, at + 2);
  }
  return c.get32(s, at);
}

// A window on the last screen (the other head's, with two) that reports
// property changes.
bool createWatchedWindow(ImageClient& c) {
  RawClient& r = c.raw;
  Bytes body(32, 0);
  r.put32(body, 0, r.resourceIdBase() | 3);
  r.put32(body, 4, rootOfScreen(r, r.setupReply()[28] - 1));
  r.put16(body, 12, 10);
  r.put16(body, 14, 10);
  r.put16(body, 18, InputOutput);
  r.put32(body, 24, CWEventMask);
  r.put32(body, 28, PropertyChangeMask);
  return c.send(r.request(X_CreateWindow, 0, body));
}

// The image with a reply ahead of it and, right behind it, a change of the
// watched window's property, an error and a reply: the type and sequence
// of the five messages, the image kept whole.
std::vector<std::pair<int, int>> imageAmongOthers(ImageClient& c, uint16_t side, Bytes* image) {
  RawClient& r = c.raw;
  uint32_t window = r.resourceIdBase() | 3;
  Bytes property(20, 0);
  r.put32(property, 0, window);
  r.put32(property, 4, XA_WM_NAME);
  r.put32(property, 8, XA_STRING);
  property[12] = 8;
  r.put32(property, 16, 4);
  property.insert(property.end(), {'n', 'a', 'm', 'e'});
  if (!c.send(r.request(X_GetInputFocus, 0)) || !c.send(c.getImage(side)) ||
      !c.send(r.request(X_ChangeProperty, PropModeReplace, property)) || !c.send(c.badGeometry()) ||
      !c.send(r.request(X_GetInputFocus, 0)))
    return {};
  std::vector<std::pair<int, int>> got;
  for (int i = 0; i < 5; i++) {
    Bytes m = r.readMessage(20000);
    if (m.size() < 32) break;
    got.emplace_back(m[0] & 0x7f, r.get16(m, 2));
    if (m.size() > 32) *image = m;
  }
  return got;
}

struct Setting {
  const char* name;
  char order;
  int heads;
};

void PrintTo(const Setting& s, std::ostream* out) { *out << s.name; }

class StreamedImages : public ::testing::TestWithParam<Setting> {};

TEST_P(StreamedImages, SameMessagesInTheSameOrderAsOnAPlainServer) {
  const Setting& s = GetParam();
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::string> words{"noReset", "on"};
  for (int i = 0; i < s.heads; i++) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "640x600x24"}));
    ASSERT_TRUE(servers.back()->ok()) << servers.back()->error();
    words.insert(words.end(), {"screen", servers.back()->display() + ".0"});
  }
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  constexpr uint16_t kSide = 512;
  ImageClient plain, through;
  ASSERT_TRUE(plain.open(servers[0]->number(), s.order, kSide, true) && createWatchedWindow(plain));
  ASSERT_TRUE(through.open(proxy.number(), s.order, kSide, true) && createWatchedWindow(through));
  ASSERT_TRUE(plain.send(plain.putImage(kSide, pattern(plain.raw, kSide, 9))));
  ASSERT_TRUE(through.send(through.putImage(kSide, pattern(through.raw, kSide, 9))));
  for (int round = 0; round < 2; round++) {
    Bytes plainImage, proxyImage;
    auto expected = imageAmongOthers(plain, kSide, &plainImage);
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(imageAmongOthers(through, kSide, &proxyImage), expected) << "round " << round << "\n" << proxy.log();
    ASSERT_EQ(proxyImage.size(), 32u + 4u * kSide * kSide);
    EXPECT_TRUE(proxyImage == plainImage) << "round " << round << ": the image differs from the plain server's";
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, StreamedImages,
                         ::testing::Values(Setting{"OneHead", 'l', 1}, Setting{"OneHeadMsbClient", 'B', 1},
                                           Setting{"TwoHeads", 'l', 2}, Setting{"TwoHeadsMsbClient", 'B', 2}),
                         [](const ::testing::TestParamInfo<Setting>& info) { return std::string(info.param.name); });

// Resident memory of a process in KiB; -1 when unreadable.
long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word)
    if (word == "VmRSS:") {
      long kb = -1;
      status >> kb;
      return kb;
    }
  return -1;
}

// Images of 16 MiB asked for and none read: the proxy stops reading that
// client's link in the middle of a reply rather than holding it, while
// another client works on.
TEST(StreamedImagesUnread, ProxyMemoryStaysBounded) {
  Xvfb server({"-screen", "0", "640x600x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  // A sanitizer's quarantine would count every block ever freed as resident.
  ProxyProcess proxy({"noReset", "on", "screen", server.display() + ".0"},
                     {"ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ImageClient idle, other;
  ASSERT_TRUE(idle.open(proxy.number(), 'l', 2048, false));
  ASSERT_TRUE(other.open(proxy.number(), 'l', 240, false) && createWatchedWindow(other));
  ASSERT_TRUE(other.send(other.raw.request(X_GetInputFocus, 0)));
  ASSERT_EQ(other.raw.readMessage(20000).size(), 32u);
  long before = residentKb(proxy.pid());
  ASSERT_GT(before, 0);
  for (int i = 0; i < 3; i++) ASSERT_TRUE(idle.send(idle.getImage(2048)));
  // Each of the other client's turns is a turn of the proxy's loop that
  // could have read more.
  Bytes ignored;
  for (int round = 0; round < 8; round++) EXPECT_EQ(imageAmongOthers(other, 240, &ignored).size(), 5u);
  long after = residentKb(proxy.pid());
  EXPECT_LT(after - before, 8 * 1024) << "KiB resident before " << before << ", after " << after;
}

// A server that stops in the middle of the image, silent or closing: the
// client that asked is ended (its reply can never be completed), the proxy
// goes on, and a client connected all along is still served.
class ServerStopsMidReply : public ::testing::TestWithParam<Mutation::Op> {};

TEST_P(ServerStopsMidReply, EndsTheClientOnly) {
  Xvfb server({"-screen", "0", "640x600x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  // The first client's first reply on its link is cut at three fifths (the
  // link's first reply answers the proxy's own XKB request).
  MutatingRelay relay(server.socketPath(), {Mutation::Kind::kReply, GetParam(), 1, 2}, 1);
  ASSERT_TRUE(relay.ok());
  // A link left with an incomplete reply ends after the server's time-out,
  // which also bounds every connect and set-up of the links and the
  // silence of the bystander's: 5 s, which a busy machine takes for a
  // stopped server only when it is one.
  ProxyProcess proxy({"noReset", "on", "screen", relay.display() + ".0", "failsafeTimeout", "5"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ImageClient victim, bystander;
  ASSERT_TRUE(victim.open(proxy.number(), 'l', 512, false));
  ASSERT_TRUE(bystander.open(proxy.number(), 'l', 240, false) && createWatchedWindow(bystander));
  ASSERT_TRUE(victim.send(victim.getImage(512)));
  Bytes partial = victim.raw.readMessage(30000);
  EXPECT_TRUE(partial.empty()) << "a reply of " << partial.size() << " bytes";
  EXPECT_TRUE(victim.raw.closed() || victim.raw.waitClosed(30000)) << "the client was left hanging\n" << proxy.log();
  EXPECT_TRUE(relay.applied());
  Bytes ignored;
  EXPECT_EQ(imageAmongOthers(bystander, 240, &ignored).size(), 5u) << proxy.log();
  EXPECT_EQ(proxy.wait(0), -1) << "the proxy ended\n" << proxy.log();
}

INSTANTIATE_TEST_SUITE_P(Stops, ServerStopsMidReply,
                         ::testing::Values(Mutation::Op::kCut, Mutation::Op::kCutClose),
                         [](const ::testing::TestParamInfo<Mutation::Op>& info) {
                           return std::string(info.param == Mutation::Op::kCut ? "Silent" : "Closing");
                         });


// A request the proxy handles with a round trip of its own on the client's
// link first (its drawing must have reached the server), made between two
// floods of drawing without replies. `pixmap` is a 16x16 bitmap of the
// client's.
struct OwnRoundTrip {
  const char* name;
  Bytes (*request)(const RawClient& c, uint32_t pixmap);
};

void PrintTo(const OwnRoundTrip& r, std::ostream* out) { *out << r.name; }

class ServerAnsweringLate : public ::testing::TestWithParam<OwnRoundTrip> {};

// Every message of the server comes four seconds late, past the proxy's
// offline time-out of two: the proxy's round trip gives up and its answer
// comes in later. The client gets nothing but what its own requests ask
// for, in their order: no reply but the GetInputFocus's, and that one.
TEST_P(ServerAnsweringLate, TheClientGetsOnlyAnswersToItsOwnRequests) {
  Xvfb server({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(server.ok()) << server.error();
  TcpRelay relay(server.socketPath());
  ASSERT_TRUE(relay.ok());
  ProxyProcess proxy({"noReset", "on", "screen", relay.display() + ".0", "failsafeTimeout", "2.000"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  // The proxy's own connection is made: only the client's link is late.
  ASSERT_TRUE(relay.setMode(TcpRelay::Mode::kLate, 0, 4000));
  RawClient c;
  ASSERT_TRUE(c.connectUnix(proxy.number()) && c.setup('l', "", {}, 20000) == 1) << proxy.log();
  uint32_t pixmap = c.resourceIdBase() | 1, gc = c.resourceIdBase() | 2;
  Bytes create(12, 0), gcBody(16, 0), copy(24, 0);
  c.put32(create, 0, pixmap);
  c.put32(create, 4, c.rootWindow());
  c.put16(create, 8, 16);
  c.put16(create, 10, 16);
  c.put32(gcBody, 0, gc);
  c.put32(gcBody, 4, pixmap);
  c.put32(gcBody, 8, GCGraphicsExposures);  // off: the copies send nothing back
  for (size_t at : {0, 4, 8}) c.put32(copy, at, at == 8 ? gc : pixmap);
  c.put16(copy, 20, 8);
  c.put16(copy, 22, 8);
  Bytes flood, one = c.request(X_CopyArea, 0, copy);
  // Few enough that the proxy's pacing asks the late server little: each
  // of its answers costs four seconds.
  constexpr int kCopies = 40;
  for (int i = 0; i < kCopies; i++) flood.insert(flood.end(), one.begin(), one.end());
  ASSERT_TRUE(c.send(c.request(X_CreatePixmap, 1, create)) && c.send(c.request(X_CreateGC, 0, gcBody)));
  ASSERT_TRUE(c.send(flood) && c.send(GetParam().request(c, pixmap)) && c.send(flood));
  ASSERT_TRUE(c.send(c.request(X_GetInputFocus, 0)));
  const uint16_t focus = 2 + kCopies + 1 + kCopies + 1;
  uint16_t last = 0;
  for (;;) {
    Bytes m = c.readMessage(30000);
    ASSERT_GE(m.size(), 32u) << "no reply to GetInputFocus\n" << proxy.log();
    uint16_t sequence = c.get16(m, 2);
    EXPECT_TRUE(sequence >= last && sequence <= focus) << "message " << int(m[0]) << " of request " << sequence;
    last = sequence;
    if (m[0] != 1) continue;
    EXPECT_EQ(sequence, focus) << "a reply to request " << sequence << ", which asks for none";
    if (sequence == focus) break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ServerAnsweringLate,
    ::testing::Values(OwnRoundTrip{"OpenFont",
                                   [](const RawClient& c, uint32_t) {
                                     Bytes body(8, 0);
                                     c.put32(body, 0, c.resourceIdBase() | 3);
                                     c.put16(body, 4, 5);
                                     body.insert(body.end(), {'f', 'i', 'x', 'e', 'd'});
                                     return c.request(X_OpenFont, 0, body);
                                   }},
                      OwnRoundTrip{"CreateCursor",
                                   [](const RawClient& c, uint32_t pixmap) {
                                     Bytes body(28, 0);
                                     c.put32(body, 0, c.resourceIdBase() | 4);
                                     c.put32(body, 4, pixmap);
                                     return c.request(X_CreateCursor, 0, body);
                                   }}),
    [](const ::testing::TestParamInfo<OwnRoundTrip>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon

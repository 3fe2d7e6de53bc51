// RANDR through the proxy program, forwarded to Xvfb and answered by the
// proxy itself: xrandr sees what it sees directly, a request sent to every
// head is answered once, property data and ids read back right in the
// other byte order, and the emulation's events come once per change.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

constexpr uint8_t kGetInputFocus = 43;

// Drops the lines that carry a time stamp.
std::string withoutTimes(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.find("Timestamp:") == std::string::npos) out += line + "\n";
  }
  return out;
}

class RandrProxy {
 public:
  RandrProxy(int servers, bool emulated, std::vector<std::string> extra = {}) {
    std::vector<std::string> words{"noReset", "on", "extensions", "+RANDR"};
    if (emulated) words.insert(words.end(), {"workarounds", "+RANDREmulation"});
    words.insert(words.end(), extra.begin(), extra.end());
    for (int i = 0; i < servers; i++) {
      xvfbs.push_back(std::make_unique<Xvfb>());
      if (!xvfbs.back()->ok()) return;
      // Forwarded, each server is a meta screen of its own: a meta screen
      // of several heads is always emulated.
      if (!emulated && servers > 1) words.insert(words.end(), {"metaScreen", "m" + std::to_string(i)});
      words.push_back("screen");
      words.push_back(xvfbs.back()->display() + ".0");
      words.insert(words.end(), {"borderWidth", "0"});
    }
    proxy = std::make_unique<ProxyProcess>(words);
  }
  bool ok() const { return proxy && proxy->ok(); }

  std::vector<std::unique_ptr<Xvfb>> xvfbs;
  std::unique_ptr<ProxyProcess> proxy;
};

// A raw client that counts its requests and collects what it is sent.
class Wire {
 public:
  bool open(int display, char order) {
    if (!raw.connectUnix(display) || raw.setup(order) != 1) return false;
    Bytes body(4 + 5, 0);
    raw.put16(body, 0, 5);
    std::copy_n("RANDR", 5, body.begin() + 4);
    Bytes reply = call(raw.request(98, 0, body));
    if (reply.size() != 32 || reply[8] != 1) return false;
    major = reply[9];
    firstEvent = reply[10];
    return true;
  }
  void send(const Bytes& request) {
    raw.send(request);
    sequence++;
  }
  // Every message that answers the sequence, up to the GetInputFocus sent
  // behind it; events go to `events`.
  std::vector<Bytes> answers(uint16_t of) {
    send(raw.request(kGetInputFocus, 0));
    uint16_t fence = sequence;
    std::vector<Bytes> found;
    for (;;) {
      Bytes message = raw.readMessage();
      if (message.empty()) return found;
      uint16_t seq = raw.get16(message, 2);
      if ((message[0] & 0x7f) > 1) {
        events.push_back(message);
      } else if (seq == fence && message[0] == 1) {
        return found;
      } else if (seq == of) {
        found.push_back(message);
      }
    }
  }
  Bytes call(const Bytes& request) {
    send(request);
    std::vector<Bytes> got = answers(sequence);
    return got.size() == 1 ? got[0] : Bytes{};
  }
  Bytes randr(uint8_t minor, const std::vector<uint32_t>& words, const Bytes& tail = {}) {
    return call(randrRequest(minor, words, tail));
  }
  Bytes randrRequest(uint8_t minor, const std::vector<uint32_t>& words, const Bytes& tail = {}) {
    Bytes body(4 * words.size(), 0);
    for (size_t i = 0; i < words.size(); i++) raw.put32(body, 4 * i, words[i]);
    body.insert(body.end(), tail.begin(), tail.end());
    return raw.request(major, minor, body);
  }
  // Two 16-bit fields in one word, in the client's order.
  uint32_t pair(uint16_t first, uint16_t second) const {
    return raw.byteOrder() == 'B' ? uint32_t(first) << 16 | second : uint32_t(second) << 16 | first;
  }

  RawClient raw;
  uint8_t major = 0, firstEvent = 0;
  uint16_t sequence = 0;
  std::vector<Bytes> events;
};

struct Resources {
  uint32_t configTime = 0;
  std::vector<uint32_t> crtcs, outputs, modes;
  std::vector<std::pair<uint16_t, uint16_t>> sizes;
};

Resources readResources(Wire& wire, const Bytes& reply) {
  Resources r;
  if (reply.size() < 32 || reply[0] != 1) return r;
  RawClient& raw = wire.raw;
  r.configTime = raw.get32(reply, 12);
  size_t crtcs = raw.get16(reply, 16), outputs = raw.get16(reply, 18), modes = raw.get16(reply, 20);
  size_t at = 32;
  for (size_t k = 0; k < crtcs && at + 4 <= reply.size(); k++, at += 4) r.crtcs.push_back(raw.get32(reply, at));
  for (size_t k = 0; k < outputs && at + 4 <= reply.size(); k++, at += 4) r.outputs.push_back(raw.get32(reply, at));
  for (size_t k = 0; k < modes && at + 32 <= reply.size(); k++, at += 32) {
    r.modes.push_back(raw.get32(reply, at));
    r.sizes.emplace_back(raw.get16(reply, at + 4), raw.get16(reply, at + 6));
  }
  return r;
}

// --- Forwarded --------------------------------------------------------------------------------

TEST(RandrForwarded, XrandrSeesWhatItSeesDirectly) {
  RandrProxy setup(1, false);
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  ProgramResult version = runProgram({"xrandr", "--version"}, setup.proxy->display());
  EXPECT_NE(version.out.find("Server reports RandR version 1.3"), std::string::npos) << version.out << version.err;
  ProgramResult direct = runProgram({"xrandr", "--verbose"}, setup.xvfbs[0]->display());
  ProgramResult through = runProgram({"xrandr", "--verbose"}, setup.proxy->display());
  ASSERT_EQ(through.status, 0) << through.err;
  EXPECT_EQ(withoutTimes(through.out), withoutTimes(direct.out));
}

// Each request with a reply, sent through a proxy of two servers, gets
// exactly one answer before the GetInputFocus behind it.
TEST(RandrForwarded, OneAnswerPerRequestOnTwoServers) {
  RandrProxy setup(2, false);
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  Wire wire;
  ASSERT_TRUE(wire.open(setup.proxy->number(), 'l'));
  uint32_t root = wire.raw.rootWindow();
  Bytes version = wire.randr(0, {1, 3});
  ASSERT_EQ(version.size(), 32u);
  EXPECT_EQ(wire.raw.get32(version, 8) * 64 + wire.raw.get32(version, 12), 67u);
  Resources res = readResources(wire, wire.randr(8, {root}));
  ASSERT_FALSE(res.crtcs.empty());
  ASSERT_FALSE(res.outputs.empty());
  ASSERT_FALSE(res.modes.empty());
  uint32_t crtc = res.crtcs[0], output = res.outputs[0];
  Bytes info = wire.randr(5, {root});
  ASSERT_EQ(info.size() >= 32 && info[0] == 1, true);
  uint32_t configTime = wire.raw.get32(info, 16);

  Bytes modeInfo(32, 0);
  wire.raw.put32(modeInfo, 0, 0);
  wire.raw.put16(modeInfo, 4, 640);
  wire.raw.put16(modeInfo, 6, 480);
  wire.raw.put16(modeInfo, 26, 4);  // name length
  Bytes name{'t', 'e', 's', 't'};
  modeInfo.insert(modeInfo.end(), name.begin(), name.end());

  struct Ask {
    uint8_t minor;
    std::vector<uint32_t> words;
    Bytes tail;
  };
  const Ask asks[] = {
      {0, {1, 3}, {}},
      {2, {root, 0, configTime, wire.pair(0, 1), wire.pair(0, 0)}, {}},
      {5, {root}, {}},
      {6, {root}, {}},
      {8, {root}, {}},
      {9, {output, 0}, {}},
      {10, {output}, {}},
      {11, {output, 1}, {}},
      {15, {output, 1, 0, 0, 0, 0}, {}},
      {16, {root}, modeInfo},
      {20, {crtc, 0}, {}},
      {22, {crtc}, {}},
      {23, {crtc}, {}},
      {25, {root}, {}},
      {27, {crtc}, {}},
      {28, {crtc}, {}},
      {31, {root}, {}},
  };
  uint32_t createdMode = 0;
  for (const Ask& ask : asks) {
    wire.send(wire.randrRequest(ask.minor, ask.words, ask.tail));
    std::vector<Bytes> got = wire.answers(wire.sequence - 0);
    ASSERT_EQ(got.size(), 1u) << "minor " << int(ask.minor) << " first " << int(got[0][0]) << "/" << int(got[0][1])
                              << " last " << int(got.back()[0]) << "/" << int(got.back()[1]);
    if (ask.minor == 16) {
      ASSERT_EQ(got[0][0], 1) << "CreateMode error " << int(got[0][1]);
      createdMode = wire.raw.get32(got[0], 8);
    }
  }
  Resources after = readResources(wire, wire.randr(8, {root}));
  EXPECT_NE(std::find(after.modes.begin(), after.modes.end(), createdMode), after.modes.end());
}

// A change made directly on one server reaches the selecting client in the
// proxy's terms: its root window, both as root and as the selected window.
TEST(RandrForwarded, ServerScreenChangeReachesTheClient) {
  RandrProxy setup(2, false);
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  Wire wire;
  ASSERT_TRUE(wire.open(setup.proxy->number(), 'B'));
  uint32_t root = wire.raw.rootWindow();
  ASSERT_EQ(wire.randr(0, {1, 3}).size(), 32u);
  wire.send(wire.randrRequest(4, {root, wire.pair(1, 0)}));
  ASSERT_TRUE(wire.answers(wire.sequence).empty());
  ProgramResult change = runProgram({"xrandr", "--output", "screen", "--off", "--fb", "800x600"},
                                    setup.xvfbs[0]->display());
  ASSERT_EQ(change.status, 0) << change.err;
  // Turning the output off may announce the old size first.
  Bytes event;
  for (int i = 0; i < 20 && event.empty(); i++) {
    Bytes message = wire.raw.readMessage(500);
    if (message.size() == 32 && (message[0] & 0x7f) == wire.firstEvent && wire.raw.get16(message, 24) == 800)
      event = message;
  }
  ASSERT_EQ(event.size(), 32u) << "no RRScreenChangeNotify";
  EXPECT_EQ(wire.raw.get32(event, 12), root);
  EXPECT_EQ(wire.raw.get32(event, 16), root);
  EXPECT_EQ(wire.raw.get16(event, 24), 800);
  EXPECT_EQ(wire.raw.get16(event, 26), 600);
}

// The proxy offers no more than every server has: with one server at 1.2
// the 1.3 requests are not offered.
TEST(RandrForwarded, TheLowestServerVersionIsOffered) {
  Xvfb a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  ExtensionRelay relay(b);
  ASSERT_TRUE(relay.ok()) << relay.error();
  ExtensionRelay::Codes codes;
  ASSERT_TRUE(relay.serverCodes("RANDR", &codes));
  relay.rewriteReply(codes.major, 0, [](Bytes& reply, char order) {
    putWire32(reply, 8, 1, order);
    putWire32(reply, 12, 2, order);
  });
  ProxyProcess proxy({"noReset", "on", "extensions", "+RANDR", "metaScreen", "m0", "screen", a.display() + ".0",
                      "borderWidth", "0", "metaScreen", "m1", "screen", relay.display() + ".0", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Wire wire;
  ASSERT_TRUE(wire.open(proxy.number(), 'l'));
  Bytes version = wire.randr(0, {1, 3});
  ASSERT_EQ(version.size(), 32u);
  EXPECT_EQ(wire.raw.get32(version, 8), 1u);
  EXPECT_EQ(wire.raw.get32(version, 12), 2u);
  Bytes current = wire.randr(25, {wire.raw.rootWindow()});
  ASSERT_EQ(current.size(), 32u);
  EXPECT_EQ(current[0], 0) << "GetScreenResourcesCurrent offered";
}

// Fields and property data of either width read back in the other order.
TEST(RandrForwarded, OtherByteOrderReadsIdsAndPropertyData) {
  RandrProxy setup(1, false);
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  Wire wire;
  ASSERT_TRUE(wire.open(setup.proxy->number(), 'B'));
  uint32_t root = wire.raw.rootWindow();
  Resources res = readResources(wire, wire.randr(8, {root}));
  ASSERT_EQ(res.outputs.size(), 1u);
  ASSERT_EQ(res.sizes.size(), 1u);
  EXPECT_EQ(res.sizes[0], std::make_pair(uint16_t(1024), uint16_t(768)));
  Bytes output = wire.randr(9, {res.outputs[0], 0});
  ASSERT_GE(output.size(), 36u);
  EXPECT_EQ(wire.raw.get32(output, 12), res.crtcs[0]);
  Bytes crtc = wire.randr(20, {res.crtcs[0], 0});
  ASSERT_GE(crtc.size(), 32u);
  EXPECT_EQ(wire.raw.get16(crtc, 16), 1024);
  EXPECT_EQ(wire.raw.get16(crtc, 18), 768);
  EXPECT_EQ(wire.raw.get16(crtc, 24), 1);

  Bytes intern(4 + 12, 0);
  wire.raw.put16(intern, 0, 12);
  std::copy_n("PALVON_PROBE", 12, intern.begin() + 4);
  Bytes atomReply = wire.call(wire.raw.request(16, 0, intern));
  ASSERT_EQ(atomReply.size(), 32u);
  uint32_t atom = wire.raw.get32(atomReply, 8);
  for (uint8_t format : {16, 32}) {
    Bytes data;
    std::vector<uint32_t> values{0x1234, 0x0102, 0xbeef};
    for (uint32_t v : values) {
      Bytes item(format / 8, 0);
      if (format == 16) wire.raw.put16(item, 0, uint16_t(v));
      else wire.raw.put32(item, 0, v | 0x55000000);
      data.insert(data.end(), item.begin(), item.end());
    }
    Bytes head(8, 0);
    head[0] = format;  // format, mode Replace
    wire.raw.put32(head, 4, uint32_t(values.size()));
    head.insert(head.end(), data.begin(), data.end());
    wire.send(wire.randrRequest(13, {res.outputs[0], atom, 19}, head));
    ASSERT_TRUE(wire.answers(wire.sequence).empty()) << int(format);
    Bytes got = wire.randr(15, {res.outputs[0], atom, 0, 0, 16, 0});
    ASSERT_GE(got.size(), 32u + data.size()) << int(format);
    EXPECT_EQ(got[1], format);
    EXPECT_EQ(wire.raw.get32(got, 16), values.size());
    for (size_t i = 0; i < values.size(); i++) {
      uint32_t v = format == 16 ? wire.raw.get16(got, 32 + 2 * i) : wire.raw.get32(got, 32 + 4 * i);
      EXPECT_EQ(v, format == 16 ? values[i] : values[i] | 0x55000000) << int(format) << " item " << i;
    }
  }
}

// Requests with lists after their fixed part are taken at their own
// length, and the lists swapped: property values and transform parameters.
TEST(RandrForwarded, ListsAfterTheFixedPartAreAccepted) {
  RandrProxy setup(1, false);
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  Wire wire;
  ASSERT_TRUE(wire.open(setup.proxy->number(), 'B'));
  ASSERT_EQ(wire.randr(0, {1, 3}).size(), 32u);
  Resources res = readResources(wire, wire.randr(8, {wire.raw.rootWindow()}));
  ASSERT_EQ(res.outputs.size(), 1u);
  Bytes intern(4 + 12, 0);
  wire.raw.put16(intern, 0, 12);
  std::copy_n("PALVON_RANGE", 12, intern.begin() + 4);
  uint32_t atom = wire.raw.get32(wire.call(wire.raw.request(16, 0, intern)), 8);

  // Pending 0, range 1, then the two ends.
  wire.send(wire.randrRequest(12, {res.outputs[0], atom, wire.pair(0x0001, 0), 5, 70000}));
  std::vector<Bytes> configured = wire.answers(wire.sequence);
  ASSERT_TRUE(configured.empty()) << int(configured[0][1]);
  Bytes query = wire.randr(11, {res.outputs[0], atom});
  ASSERT_EQ(query.size(), 40u);
  EXPECT_EQ(query[9], 1) << "range";
  EXPECT_EQ(wire.raw.get32(query, 32), 5u);
  EXPECT_EQ(wire.raw.get32(query, 36), 70000u);

  // Identity, the filter "bilinear" and two parameters.
  std::vector<uint32_t> transform{res.crtcs[0], 65536, 0, 0, 0, 65536, 0, 0, 0, 65536};
  Bytes filter(4, 0);
  wire.raw.put16(filter, 0, 8);
  Bytes name{'b', 'i', 'l', 'i', 'n', 'e', 'a', 'r', 0, 0, 0, 1, 0, 0, 0, 2};
  filter.insert(filter.end(), name.begin(), name.end());
  wire.send(wire.randrRequest(26, transform, filter));
  for (const Bytes& answer : wire.answers(wire.sequence)) EXPECT_NE(answer[1], 16) << "BadLength";
  // A name longer than the request.
  wire.raw.put16(filter, 0, 40);
  wire.send(wire.randrRequest(26, transform, filter));
  std::vector<Bytes> tooShort = wire.answers(wire.sequence);
  ASSERT_EQ(tooShort.size(), 1u);
  EXPECT_EQ(tooShort[0][1], 16);
}

// --- Emulated -----------------------------------------------------------------------------------

class RandrEmulated : public ::testing::TestWithParam<int> {};

TEST_P(RandrEmulated, EveryHeadIsOneCrtcAndOutput) {
  int heads = GetParam();
  RandrProxy setup(heads, true);
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  Wire wire;
  ASSERT_TRUE(wire.open(setup.proxy->number(), 'B'));
  uint32_t root = wire.raw.rootWindow();
  Resources res = readResources(wire, wire.randr(8, {root}));
  ASSERT_EQ(res.crtcs.size(), size_t(heads));
  EXPECT_EQ(res.outputs, res.crtcs);
  // One mode per head, of the head's size, named by the head's id.
  EXPECT_EQ(res.modes, res.crtcs);
  for (const auto& size : res.sizes) EXPECT_EQ(size, std::make_pair(uint16_t(1024), uint16_t(768)));
  for (int i = 0; i < heads; i++) {
    Bytes crtc = wire.randr(20, {res.crtcs[i], 0});
    ASSERT_EQ(crtc.size(), 40u);
    EXPECT_EQ(wire.raw.get16(crtc, 12), 1024 * i);
    EXPECT_EQ(wire.raw.get16(crtc, 16), 1024);
    EXPECT_EQ(wire.raw.get32(crtc, 20), res.crtcs[i]);
    EXPECT_EQ(wire.raw.get16(crtc, 24), 1) << "rotation";
    EXPECT_EQ(wire.raw.get32(crtc, 32), res.crtcs[i]);
    Bytes output = wire.randr(9, {res.outputs[i], 0});
    ASSERT_GE(output.size(), 44u + 4);
    EXPECT_GT(wire.raw.get16(output, 34), 0) << "a name";
    EXPECT_EQ(wire.raw.get32(output, 12), res.crtcs[i]);
    EXPECT_EQ(output[24], 0) << "connected";
    EXPECT_EQ(wire.raw.get32(output, 36), res.crtcs[i]);
    EXPECT_EQ(wire.raw.get32(output, 40), res.crtcs[i]);
  }
  Bytes bad = wire.randr(20, {0x7777, 0});
  ASSERT_EQ(bad.size(), 32u);
  EXPECT_EQ(bad[0], 0);
  EXPECT_EQ(wire.raw.get32(bad, 4), 0x7777u);

  ProgramResult xrandr = runProgram({"xrandr", "--verbose"}, setup.proxy->display());
  ASSERT_EQ(xrandr.status, 0) << xrandr.err;
  std::ostringstream current;
  current << "current " << 1024 * heads << " x 768";
  EXPECT_NE(xrandr.out.find(current.str()), std::string::npos) << xrandr.out;
  size_t outputs = 0;
  for (size_t at = xrandr.out.find("Identifier:"); at != std::string::npos; at = xrandr.out.find("Identifier:", at + 1))
    outputs++;
  EXPECT_EQ(outputs, size_t(heads)) << xrandr.out;
}

INSTANTIATE_TEST_SUITE_P(Heads, RandrEmulated, ::testing::Values(2, 3));

// The output blocks of `xrandr --verbose`, each cut to what a plain server
// of the output's size shows alike: ids, names, time stamps, the CRTC's
// index and place, millimetres and properties go; modes, gamma and the
// transform stay.
std::vector<std::string> outputBlocks(const std::string& text) {
  static const char* const kKept[] = {"Gamma:", "Brightness:", "Subpixel:", "Transform:", "filter:", "h:", "v:"};
  std::vector<std::string> blocks;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> w{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    if (w.empty() || line.rfind("Screen ", 0) == 0) continue;
    if (line[0] != ' ' && line[0] != '\t' && w.size() > 2 && w[1] == "connected") {
      blocks.push_back("connected " + w[2].substr(0, w[2].find('+')));  // the place on the screen goes
      continue;
    }
    if (blocks.empty()) continue;
    if (line.rfind("  ", 0) == 0 && w[0].find('x') != std::string::npos && w.size() > 1 && w[1][0] == '(') {
      w.erase(w.begin() + 1);  // the mode's id
    } else if (std::none_of(std::begin(kKept), std::end(kKept), [&](const char* k) { return w[0] == k; })) {
      continue;
    }
    for (const std::string& word : w) blocks.back() += " " + word;
  }
  return blocks;
}

// xrandr on two heads side by side and on two meta screens shows each head
// as a plain server of the head's size shows its one output, also after a
// gamma change: a mode named by its size, a gamma ramp that can be read
// and set, and nothing on stderr.
class RandrLikeAPlainServer : public ::testing::TestWithParam<bool> {};

TEST_P(RandrLikeAPlainServer, EveryOutput) {
  bool twoScreens = GetParam();
  Xvfb plain({"-screen", "0", "1022x766x24"}), a, b;
  ASSERT_TRUE(plain.ok() && a.ok() && b.ok());
  std::vector<std::string> words{"noReset", "on", "extensions", "+RANDR"};
  for (const Xvfb* server : {&a, &b}) {
    if (twoScreens) words.insert(words.end(), {"metaScreen", "m" + server->display().substr(1)});
    words.insert(words.end(), {"screen", server->display() + ".0"});
  }
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  for (bool gammaSet : {false, true}) {
    if (gammaSet) {
      ProgramResult set = runProgram({"xrandr", "--output", "screen", "--gamma", "0.5:0.8:1"}, plain.display());
      ASSERT_EQ(set.status, 0) << set.err;
      for (const Xvfb* server : {&a, &b}) {
        ProgramResult head = runProgram({"xrandr", "--output", server->display() + ".0", "--gamma", "0.5:0.8:1"},
                                        proxy.display() + (twoScreens && server == &b ? ".1" : ".0"));
        ASSERT_EQ(head.status, 0) << head.err;
      }
    }
    ProgramResult expected = runProgram({"xrandr", "--verbose"}, plain.display());
    std::vector<std::string> want = outputBlocks(expected.out);
    ASSERT_EQ(want.size(), 1u) << expected.out;
    size_t outputs = 0;
    for (const char* screen : {".0", ".1"}) {
      if (!twoScreens && std::string(screen) == ".1") continue;
      ProgramResult got = runProgram({"xrandr", "--verbose"}, proxy.display() + screen);
      EXPECT_EQ(got.err, expected.err) << screen;
      EXPECT_NE(got.out.find(twoScreens ? "current 1022 x 766" : "current 2044 x 766"), std::string::npos) << got.out;
      for (const std::string& block : outputBlocks(got.out)) {
        EXPECT_EQ(block, want[0]) << screen << " gamma set " << gammaSet;
        outputs++;
      }
    }
    EXPECT_EQ(outputs, 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, RandrLikeAPlainServer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "TwoScreens" : "SideBySide"; });

// Configuration time stamps decide whether a change is taken; only the
// configuration the screen and its CRTCs have can be set.
TEST(RandrEmulation, ConfigurationTimesAndPresentConfigurations) {
  RandrProxy setup(2, true);
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  Wire wire;
  ASSERT_TRUE(wire.open(setup.proxy->number(), 'B'));
  uint32_t root = wire.raw.rootWindow();
  Bytes info = wire.randr(5, {root});
  ASSERT_EQ(info.size(), 40u);
  EXPECT_EQ(wire.raw.get16(info, 20), 1) << "one size";
  EXPECT_EQ(wire.raw.get16(info, 32), 2048);
  EXPECT_EQ(wire.raw.get16(info, 34), 768);
  uint32_t time = wire.raw.get32(info, 12), configTime = wire.raw.get32(info, 16);

  Bytes turned = wire.randr(2, {root, 0, configTime, wire.pair(0, 2), 0});
  ASSERT_EQ(turned.size(), 32u);
  EXPECT_EQ(turned[0], 0);
  EXPECT_EQ(turned[1], 8);
  EXPECT_EQ(wire.raw.get32(turned, 4), 2u);

  Bytes stale = wire.randr(2, {root, time + 1000, configTime - 1, wire.pair(0, 1), 0});
  ASSERT_EQ(stale.size(), 32u);
  EXPECT_EQ(stale[1], 1) << "invalid configuration time";
  EXPECT_EQ(wire.raw.get32(stale, 8), time);
  Bytes taken = wire.randr(2, {root, time + 1000, configTime, wire.pair(0, 1), 0});
  EXPECT_EQ(taken[1], 0);
  EXPECT_EQ(wire.raw.get32(taken, 8), time + 1000);
  EXPECT_EQ(wire.raw.get32(taken, 16), root);
  Bytes older = wire.randr(2, {root, time + 10, configTime, wire.pair(0, 1), 0});
  EXPECT_EQ(older[1], 1) << "older than the last configuration";

  Resources res = readResources(wire, wire.randr(8, {root}));
  ASSERT_EQ(res.crtcs.size(), 2u);
  uint32_t second = res.crtcs[1];
  struct Crtc {
    uint32_t config, mode;
    uint16_t x;
    uint8_t status;
  } crtcs[] = {
      {configTime, second, 1024, 0},
      {configTime, 0, 1024, 3},           // turned off
      {configTime, second, 0, 3},         // moved
      {configTime, res.crtcs[0], 1024, 3},  // another head's mode
      {configTime - 1, second, 1024, 1},  // stale
  };
  for (const Crtc& c : crtcs) {
    Bytes set = wire.randr(21, {second, time + 2000, c.config, wire.pair(c.x, 0), c.mode, wire.pair(1, 0), second});
    ASSERT_EQ(set.size(), 32u);
    EXPECT_EQ(set[0], 1);
    EXPECT_EQ(set[1], c.status) << c.mode << " at " << c.x;
  }
}

// With SelectScreenChangeEvents, selecting no RANDR events still selects
// screen changes; without it, nothing is sent.
class RandrScreenChangeWorkaround : public ::testing::TestWithParam<bool> {};

TEST_P(RandrScreenChangeWorkaround, EmptySelection) {
  bool workaround = GetParam();
  RandrProxy setup(2, true,
                   workaround ? std::vector<std::string>{"workarounds", "+SelectScreenChangeEvents"}
                              : std::vector<std::string>{});
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  Wire wire;
  ASSERT_TRUE(wire.open(setup.proxy->number(), 'l'));
  uint32_t root = wire.raw.rootWindow();
  Resources res = readResources(wire, wire.randr(8, {root}));
  ASSERT_EQ(res.outputs.size(), 2u);
  Bytes unknown = wire.randr(4, {0x7777, 0});
  ASSERT_EQ(unknown.size(), 32u);
  EXPECT_EQ(unknown[1], 3) << "BadWindow";
  wire.send(wire.randrRequest(4, {root, 0}));
  wire.send(wire.randrRequest(30, {root, res.outputs[0]}));
  EXPECT_TRUE(wire.answers(wire.sequence).empty());
  auto changes = std::count_if(wire.events.begin(), wire.events.end(),
                               [&](const Bytes& e) { return (e[0] & 0x7f) == wire.firstEvent; });
  EXPECT_EQ(changes, workaround ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Workaround, RandrScreenChangeWorkaround, ::testing::Bool());

TEST(RandrEmulation, PrimaryAndSizeChangesAreAnnouncedOnce) {
  RandrProxy setup(2, true);
  ASSERT_TRUE(setup.ok()) << (setup.proxy ? setup.proxy->log() : "");
  Wire wire;
  ASSERT_TRUE(wire.open(setup.proxy->number(), 'B'));
  uint32_t root = wire.raw.rootWindow();
  Resources res = readResources(wire, wire.randr(8, {root}));
  ASSERT_EQ(res.outputs.size(), 2u);
  wire.send(wire.randrRequest(4, {root, wire.pair(1, 0)}));
  // StructureNotify on the root for its ConfigureNotify.
  Bytes attributes(12, 0);
  wire.raw.put32(attributes, 0, root);
  wire.raw.put32(attributes, 4, 0x800);  // CWEventMask
  wire.raw.put32(attributes, 8, 0x20000);
  wire.send(wire.raw.request(2, 0, attributes));

  auto screenChanges = [&] {
    return std::count_if(wire.events.begin(), wire.events.end(),
                         [&](const Bytes& e) { return (e[0] & 0x7f) == wire.firstEvent; });
  };
  wire.send(wire.randrRequest(30, {root, res.outputs[1]}));
  std::vector<Bytes> set = wire.answers(wire.sequence);
  EXPECT_TRUE(set.empty()) << int(set[0][0]) << "/" << int(set[0][1]);
  EXPECT_EQ(screenChanges(), 1);
  wire.send(wire.randrRequest(30, {root, res.outputs[1]}));
  EXPECT_TRUE(wire.answers(wire.sequence).empty());
  EXPECT_EQ(screenChanges(), 1) << "the same primary output again";
  Bytes primary = wire.randr(31, {root});
  EXPECT_EQ(wire.raw.get32(primary, 8), res.outputs[1]);

  // The same through xrandr, naming the output by its id; the screen is
  // as large as its heads, so xrandr leaves its size alone.
  char id[16];
  std::snprintf(id, sizeof id, "0x%x", res.outputs[0]);
  for (int round = 0; round < 2; round++) {
    wire.events.clear();
    ProgramResult primary = runProgram({"xrandr", "--output", id, "--primary"}, setup.proxy->display());
    ASSERT_EQ(primary.status, 0) << primary.err;
    wire.answers(wire.sequence);
    EXPECT_EQ(screenChanges(), round == 0 ? 1 : 0) << "round " << round;
  }
  // Refused sizes: one the protocol cannot carry, and one narrower than
  // the heads, which the screen model refuses.
  const struct {
    uint16_t width, height;
  } refusals[] = {{0, 768}, {1800, 700}};
  for (const auto& r : refusals) {
    wire.send(wire.randrRequest(7, {root, wire.pair(r.width, r.height), 300, 200}));
    std::vector<Bytes> refused = wire.answers(wire.sequence);
    ASSERT_EQ(refused.size(), 1u) << r.width;
    EXPECT_EQ(refused[0][1], 8) << r.width;
    EXPECT_EQ(wire.raw.get32(refused[0], 4), r.width);
  }

  wire.events.clear();
  wire.send(wire.randrRequest(7, {root, wire.pair(2400, 900), 635, 238}));
  std::vector<Bytes> resize = wire.answers(wire.sequence);
  ASSERT_TRUE(resize.empty()) << int(resize[0][0]) << "/" << int(resize[0][1]) << setup.proxy->log();
  ASSERT_EQ(screenChanges(), 1);
  const Bytes& change = *std::find_if(wire.events.begin(), wire.events.end(),
                                      [&](const Bytes& e) { return (e[0] & 0x7f) == wire.firstEvent; });
  EXPECT_EQ(wire.raw.get32(change, 12), root);
  EXPECT_EQ(wire.raw.get16(change, 24), 2400);
  EXPECT_EQ(wire.raw.get16(change, 26), 900);
  bool configured = std::any_of(wire.events.begin(), wire.events.end(), [&](const Bytes& e) {
    return e[0] == 22 && wire.raw.get32(e, 8) == root && wire.raw.get16(e, 20) == 2400;
  });
  EXPECT_TRUE(configured);
  Bytes resized = wire.randr(5, {root});
  ASSERT_EQ(resized.size(), 40u);
  EXPECT_EQ(wire.raw.get16(resized, 32), 2400);
  EXPECT_EQ(wire.raw.get16(resized, 34), 900);

  wire.events.clear();
  ProgramResult fb = runProgram({"xrandr", "--fb", "2600x1000"}, setup.proxy->display());
  ASSERT_EQ(fb.status, 0) << fb.err;
  wire.answers(wire.sequence);
  EXPECT_EQ(screenChanges(), 1);
  ProgramResult dims = runProgram({"xdpyinfo"}, setup.proxy->display());
  EXPECT_NE(dims.out.find("dimensions:    2600x1000 pixels"), std::string::npos);
}

// A server with two heads leaves the session: each of its outputs is
// announced disconnected, the first one too, which goes while the server
// still holds the other. The resource server's head is never an output.
TEST(RandrEmulation, AServerThatLeavesDisconnectsEachOfItsOutputs) {
  TempDir dir;
  Xvfb a;
  Xvfb b({"-screen", "0", "1024x768x24", "-screen", "1", "1024x768x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  std::string control = dir.file("control");
  ProxyProcess proxy({"noReset", "on", "extensions", "+RANDR", "workarounds", "+RANDREmulation", "options",
                      "DynamicServer", "screen", a.display() + ".0", "borderWidth", "0", "screen",
                      b.display() + ".0", "borderWidth", "0", "screen", b.display() + ".1", "borderWidth", "0"},
                     {"PALVON_TEST_CONTROL=" + control});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  Wire wire;
  ASSERT_TRUE(wire.open(proxy.number(), 'l'));
  uint32_t root = wire.raw.rootWindow();
  Resources res = readResources(wire, wire.randr(8, {root}));
  // The resource server that a session with servers coming and going has
  // is no monitor; B's heads are the two beside A's.
  EXPECT_EQ(res.outputs.size(), 3u);
  std::vector<uint32_t> ofB;
  for (size_t i = 0; i < res.crtcs.size() && i < res.outputs.size(); i++) {
    Bytes crtc = wire.randr(20, {res.crtcs[i], 0});
    ASSERT_EQ(crtc.size(), 40u);
    if (wire.raw.get16(crtc, 12) >= 1024 && wire.raw.get16(crtc, 16) == 1024) ofB.push_back(res.outputs[i]);
  }
  ASSERT_EQ(ofB.size(), 2u);
  std::sort(ofB.begin(), ofB.end());
  wire.send(wire.randrRequest(4, {root, wire.pair(4, 0)}));  // output changes
  wire.answers(wire.sequence);
  wire.events.clear();
  ASSERT_EQ(testControl(control, "removeserver " + b.display()), "ok") << proxy.log();
  wire.answers(wire.sequence);
  std::vector<uint32_t> disconnected, connected;
  for (const Bytes& e : wire.events) {
    if ((e[0] & 0x7f) != wire.firstEvent + 1 || e[1] != 1) continue;
    (e[30] == 1 ? disconnected : connected).push_back(wire.raw.get32(e, 16));
  }
  std::sort(disconnected.begin(), disconnected.end());
  EXPECT_EQ(disconnected, ofB) << proxy.log();
  EXPECT_TRUE(connected.empty()) << connected[0];
}

}  // namespace
}  // namespace palvon::test

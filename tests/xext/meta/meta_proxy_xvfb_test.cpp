// The control extension end to end: the proxy program in front of Xvfb A
// and B (one meta screen A|B, options DynamicServer, Failsafe and InWindow)
// and raw clients of either byte order sending the extension's requests,
// well-formed and not. What the proxy changes is read back through the
// extension, through core requests and on each Xvfb with X programs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xprogram.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

constexpr uint8_t kBadValue = 2, kBadWindow = 3, kBadMatch = 8, kBadLength = 16;

// One raw client of the proxy with the extension's codes.
struct MetaClient {
  RawClient raw;
  uint8_t major = 0, firstEvent = 0, firstError = 0;

  bool open(int display, char order) {
    if (!raw.connectUnix(display) || raw.setup(order) != 1) return false;
    std::string name = "MORVANDELL META";
    Bytes body(4 + name.size());
    raw.put16(body, 0, uint16_t(name.size()));
    std::copy(name.begin(), name.end(), body.begin() + 4);
    raw.send(raw.request(98, 0, body));
    Bytes reply = next();
    if (reply.size() < 32 || reply[0] != 1 || !reply[8]) return false;
    major = reply[9], firstEvent = reply[10], firstError = reply[11];
    return true;
  }
  void send(uint8_t minor, const Bytes& body = {}) { raw.send(raw.request(major, minor, body)); }
  // The next reply or error; events are left for nextEvent.
  Bytes next() {
    for (;;) {
      Bytes message = raw.readMessage(5000);
      if (message.empty() || message[0] <= 1) return message;
      events.push_back(message);
    }
  }
  Bytes ask(uint8_t minor, const Bytes& body = {}) {
    send(minor, body);
    return next();
  }
  Bytes nextEvent(int timeoutMs = 3000) {
    if (!events.empty()) {
      Bytes event = events.front();
      events.erase(events.begin());
      return event;
    }
    for (;;) {
      Bytes message = raw.readMessage(timeoutMs);
      if (message.empty() || message[0] > 1) return message;
    }
  }
  // A round trip (GetInputFocus): everything sent before has been handled.
  void sync() {
    raw.send(raw.request(43, 0));
    next();
  }
  uint32_t get32(const Bytes& b, size_t at) const { return raw.get32(b, at); }
  uint16_t get16(const Bytes& b, size_t at) const { return raw.get16(b, at); }
  Bytes words(std::initializer_list<uint32_t> values) const {
    Bytes body(4 * values.size());
    size_t at = 0;
    for (uint32_t v : values) raw.put32(body, at, v), at += 4;
    return body;
  }
  std::string text(const Bytes& reply, size_t at, size_t length) const {
    if (reply.size() < at + length) return "(short)";
    std::string s(reply.begin() + long(at), reply.begin() + long(at + length));
    return s.substr(0, s.find('\0'));
  }
  // The status reply's text ("" for success).
  std::string status(const Bytes& reply) const {
    if (reply.size() < 32 || reply[0] != 1) return "(no reply)";
    if (reply[1] != 0) return "(byte 1 set)";
    return text(reply, 32, get32(reply, 8));
  }
  uint32_t id(uint32_t n) const { return raw.resourceIdBase() + n; }
  // An id in the space of a client that is not connected: the last slot.
  uint32_t absentClientId() const { return ~get32(raw.setupReply(), 16) & 0x1fffffff; }
  // A body whose byte `at` (of the body; the request's at + 4) is set.
  static Bytes withByte(Bytes body, size_t at, uint8_t value) {
    if (body.size() <= at) body.resize((at + 4) & ~size_t(3));
    body[at] = value;
    return body;
  }
  // Two 16-bit fields and the words after them.
  Bytes shorts(uint16_t first, uint16_t second, std::initializer_list<uint32_t> values = {}) const {
    Bytes body(4);
    raw.put16(body, 0, first);
    raw.put16(body, 2, second);
    Bytes rest = words(values);
    body.insert(body.end(), rest.begin(), rest.end());
    return body;
  }
  std::vector<Bytes> events;
};

bool isError(const Bytes& m, uint8_t code) { return m.size() >= 32 && m[0] == 0 && m[1] == code; }

class Meta : public ::testing::TestWithParam<char> {
 protected:
  static void SetUpTestSuite() {
    a = new Xvfb({"-screen", "0", "1280x1024x24"});
    b = new Xvfb({"-screen", "0", "1280x1024x24"});
    ASSERT_TRUE(a->ok() && b->ok()) << a->error() << b->error();
    proxy = new ProxyProcess({"noReset", "on", "options", "DynamicServer", "Failsafe", "InWindow",
                              "xdmcpAuthorizationCookie", "0x0123456789abcdef", "screen", a->display() + ".0",
                              "screen", b->display() + ".0", "failsafeTimeout", "70s"});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }
  static void TearDownTestSuite() {
    delete proxy;
    delete b;
    delete a;
  }
  void SetUp() override { ASSERT_TRUE(c.open(proxy->number(), GetParam())) << proxy->log(); }

  std::vector<uint32_t> listHeads(uint16_t screen) {
    Bytes body(4);
    c.raw.put16(body, 0, screen);
    Bytes reply = c.ask(3, body);
    std::vector<uint32_t> ids;
    // The count and the reply's length must agree.
    if (reply.size() < 32 || reply[0] != 1 || reply.size() != 32 + 4 * size_t(c.get32(reply, 8))) return ids;
    for (uint32_t k = 0; k < c.get32(reply, 8); k++)
      ids.push_back(c.get32(reply, 32 + 4 * k));
    return ids;
  }
  // AddServer of the display: the reply.
  Bytes addServer(const std::string& name, uint16_t offlineTimeoutMs = 0) {
    Bytes body(8 + ((name.size() + 4) & ~3u), 0);
    c.raw.put16(body, 6, offlineTimeoutMs);
    std::copy(name.begin(), name.end(), body.begin() + 8);
    return c.ask(4, body);
  }
  // A mapped InputOutput child of the root with the given geometry.
  uint32_t window(uint32_t n, int16_t x, int16_t y, uint16_t w, uint16_t h, uint16_t border = 0) {
    uint32_t id = c.id(n);
    Bytes body(28);
    c.raw.put32(body, 0, id);
    c.raw.put32(body, 4, c.raw.rootWindow());
    c.raw.put16(body, 8, uint16_t(x));
    c.raw.put16(body, 10, uint16_t(y));
    c.raw.put16(body, 12, w);
    c.raw.put16(body, 14, h);
    c.raw.put16(body, 16, border);
    c.raw.put16(body, 18, 1);  // InputOutput, parent's visual
    c.raw.send(c.raw.request(1, 0, body));
    c.raw.send(c.raw.request(8, 0, c.words({id})));
    return id;
  }
  // A window's absolute place on a real server, as xwininfo -root -tree
  // prints it ("WxH+x+y  +ax+ay"), found by its size.
  static std::string placeOn(const Xvfb& server, const std::string& size) {
    ProgramResult r = runProgram({"xwininfo", "-root", "-tree"}, server.display());
    size_t at = r.out.find(" " + size + "+");
    if (at == std::string::npos) at = r.out.find(" " + size + "-");
    if (at == std::string::npos) return "(none)";
    std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    size_t last = line.find_last_of(' ');
    return line.substr(last + 1);
  }
  // The x of "+x+y".
  static int xOf(const std::string& place) {
    return place.size() > 1 ? std::atoi(place.c_str() + 1) : -99999;
  }

  static Xvfb* a;
  static Xvfb* b;
  static ProxyProcess* proxy;
  MetaClient c;
};

Xvfb* Meta::a;
Xvfb* Meta::b;
ProxyProcess* Meta::proxy;

TEST_P(Meta, QueryGivesTheVersionAndChangesOnlyWhatIsAsked) {
  Bytes reply = c.ask(0, c.words({0, 0xffffffff, 0xffffffff}));
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(c.get16(reply, 8), 8);
  EXPECT_EQ(c.get16(reply, 10), 0);
  uint32_t options = c.get32(reply, 12), workarounds = c.get32(reply, 16);
  EXPECT_EQ(options & 0x83, 0x83u);
  EXPECT_EQ(c.get32(reply, 24), 0x1fffffu);
  EXPECT_EQ(c.get16(reply, 28), 1);
  // Unchanged by "no change" twice; the Keymap bit follows the request,
  // a bit outside the client's bits does not.
  reply = c.ask(0, c.words({0, 0xffffffff, 0xffffffff}));
  EXPECT_EQ(c.get32(reply, 12), options);
  EXPECT_EQ(c.get32(reply, 16), workarounds);
  reply = c.ask(0, c.words({0, (options ^ 0x10) & ~0x1u, 0xffffffff}));
  EXPECT_EQ(c.get32(reply, 12), options ^ 0x10);
  reply = c.ask(0, c.words({0, options, workarounds | 0x4}));
  EXPECT_EQ(c.get32(reply, 12), options);
  EXPECT_EQ(c.get32(reply, 16), workarounds | 0x4);
  c.ask(0, c.words({0, 0xffffffff, workarounds}));
}

TEST_P(Meta, HeadsAreListedAndDescribed) {
  std::vector<uint32_t> all = listHeads(0xffff);
  ASSERT_EQ(all.size(), 2u) << "the resource server's head is left out";
  EXPECT_EQ(listHeads(0), all);
  Bytes error = c.ask(3, c.shorts(5, 0));
  EXPECT_TRUE(isError(error, c.firstError)) << int(error[1]);
  std::vector<Bytes> values;
  for (uint32_t id : all) {
    Bytes reply = c.ask(7, c.words({id}));
    ASSERT_GE(reply.size(), 100u);
    EXPECT_EQ(c.get16(reply, 8), 0) << "screen";
    values.push_back(reply);
    Bytes name = c.ask(6, c.words({id}));
    ASSERT_GE(name.size(), 32u);
    EXPECT_EQ(c.get32(name, 8) % 4, 0u);
    EXPECT_EQ(name.size(), 32 + c.get32(name, 8));
    std::string server = id == all[0] ? a->display() : b->display();
    EXPECT_NE(c.text(name, 32, c.get32(name, 8)).find(server + ".0"), std::string::npos);
    uint16_t nameLength = c.get16(reply, 96), displayLength = c.get16(reply, 98);
    EXPECT_EQ(reply.size(), 100 + ((nameLength + 3u) & ~3u) + ((displayLength + 3u) & ~3u));
  }
  // B stands east of A, as wide and high; both on their screen's origin.
  EXPECT_EQ(int32_t(c.get32(values[0], 32)), 0);
  EXPECT_EQ(int32_t(c.get32(values[1], 32)), int32_t(c.get32(values[0], 40)));
  EXPECT_EQ(c.get32(values[1], 36), c.get32(values[0], 36));
  EXPECT_EQ(c.get32(values[1], 44), c.get32(values[0], 44));
  EXPECT_GT(c.get32(values[0], 40), 1200u);
  EXPECT_TRUE(isError(c.ask(7, c.words({0x7777})), c.firstError + 1));
  EXPECT_TRUE(isError(c.ask(6, c.words({0x7777})), c.firstError + 1));
}

// B moved left by 100: what stood on B shifts right by 100 there, a
// sticking window keeps its place on B, and a client that selected head
// events hears of it once.
TEST_P(Meta, MovingAHeadShiftsItsWindowsAndKeepsStickingOnes) {
  MetaClient watcher;
  ASSERT_TRUE(watcher.open(proxy->number(), GetParam() == 'l' ? 'B' : 'l'));
  watcher.send(9, watcher.words({0x02}));
  watcher.sync();
  uint32_t plain = window(1, 1330, 100, 123, 45);
  uint32_t sticky = window(2, 1350, 300, 77, 33, 3);  // the border must not shift it
  c.send(18, MetaClient::withByte(c.words({sticky}), 4, 1));
  c.sync();
  std::vector<uint32_t> heads = listHeads(0xffff);
  ASSERT_EQ(heads.size(), 2u);
  Bytes values = c.ask(7, c.words({heads[1]}));
  int32_t x = int32_t(c.get32(values, 32));
  std::string plainBefore = placeOn(*b, "123x45"), stickyBefore = placeOn(*b, "77x33");
  ASSERT_NE(plainBefore, "(none)");
  Bytes status = c.ask(8, c.words({heads[1], 0x4000, uint32_t(x - 100)}));
  EXPECT_EQ(c.status(status), "");
  c.sync();
  Bytes event = watcher.nextEvent();
  ASSERT_EQ(event.size(), 32u);
  EXPECT_EQ(event[0], watcher.firstEvent + 1);
  EXPECT_EQ(event[1], 0) << "changed";
  EXPECT_EQ(watcher.get32(event, 4), heads[1]);
  EXPECT_EQ(watcher.get32(event, 12) & 0x4000, 0x4000u);
  EXPECT_EQ(int32_t(watcher.get32(event, 16)), x - 100);
  EXPECT_TRUE(watcher.nextEvent(300).empty()) << "one event";
  std::string plainAfter;
  for (int i = 0; i < 50 && (plainAfter = placeOn(*b, "123x45")) == plainBefore; i++) usleep(100000);
  EXPECT_EQ(xOf(plainAfter) - xOf(plainBefore), 100) << plainBefore << " " << plainAfter;
  EXPECT_EQ(placeOn(*b, "77x33"), stickyBefore);
  // Back where it was.
  EXPECT_EQ(c.status(c.ask(8, c.words({heads[1], 0x4000, uint32_t(x)}))), "");
  c.raw.send(c.raw.request(4, 0, c.words({plain})));
  c.raw.send(c.raw.request(4, 0, c.words({sticky})));
  c.sync();
}

// B moved left by 100 while its shown width drops to 600: a sticking window
// on the part of B that no longer shows stood on B all the same and keeps
// its place there.
TEST_P(Meta, AHeadThatMovesAndShrinksTakesEveryWindowThatStoodOnIt) {
  std::vector<uint32_t> heads = listHeads(0xffff);
  ASSERT_EQ(heads.size(), 2u);
  int32_t x = int32_t(c.get32(c.ask(7, c.words({heads[1]})), 32));
  uint32_t far = window(4, int16_t(x + 900), 100, 66, 22), plain = window(5, int16_t(x + 200), 50, 44, 11);
  c.send(18, MetaClient::withByte(c.words({far}), 4, 1));
  c.sync();
  std::string farBefore = placeOn(*b, "66x22"), plainBefore = placeOn(*b, "44x11"), plainAfter;
  ASSERT_NE(farBefore, "(none)");
  EXPECT_EQ(c.status(c.ask(8, c.words({heads[1], 0x4800, 600, uint32_t(x - 100)}))), "");
  c.sync();
  for (int i = 0; i < 50 && (plainAfter = placeOn(*b, "44x11")) == plainBefore; i++) usleep(100000);
  ASSERT_EQ(xOf(plainAfter) - xOf(plainBefore), 100) << plainBefore << " " << plainAfter;
  EXPECT_EQ(placeOn(*b, "66x22"), farBefore);
  // The whole screen's width again (0), where it was.
  EXPECT_EQ(c.status(c.ask(8, c.words({heads[1], 0x4800, 0, uint32_t(x)}))), "");
  for (uint32_t id : {far, plain}) c.raw.send(c.raw.request(4, 0, c.words({id})));
  c.sync();
}

// Values follow the header in their fixed order, whatever the order of
// the mask's bits; each shows in its field of the head's values.
TEST_P(Meta, HeadSettingsAreReadInTheirOrder) {
  uint32_t head = listHeads(0xffff).at(0);
  struct Field {
    size_t at;
    int width;  // 1 or 2 bytes
    uint32_t value;
  };
  struct Case {
    uint32_t mask;
    std::vector<uint32_t> values;
    std::vector<Field> fields;
  };
  const std::vector<Case> cases = {
      // Shown pointer, entry allowed, synchronised: stored inverted, shown as given.
      {0x01c00000, {0, 0, 1}, {{64, 1, 0}, {65, 1, 0}, {66, 1, 1}}},
      {0x01c00000, {1, 1, 0}, {{64, 1, 1}, {65, 1, 1}, {66, 1, 0}}},
      // The sample rate comes before the minimum text size.
      {0x08040000, {25, 7}, {{70, 2, 25}, {84, 2, 7}}},
      {0x06000000, {1, 0}, {{68, 1, 1}, {69, 1, 0}}},
      {0x09000000, {1, 30}, {{66, 1, 1}, {70, 2, 30}}},
      {0x0e040000, {0, 0, 0, 0}, {{68, 1, 0}, {69, 1, 0}, {70, 2, 0}, {84, 2, 0}}},
  };
  for (const Case& k : cases) {
    Bytes body = c.words({head, k.mask});
    for (uint32_t v : k.values) {
      Bytes word = c.words({v});
      body.insert(body.end(), word.begin(), word.end());
    }
    EXPECT_EQ(c.status(c.ask(8, body)), "") << std::hex << k.mask;
    Bytes reply = c.ask(7, c.words({head}));
    ASSERT_GE(reply.size(), 100u);
    for (const Field& f : k.fields)
      EXPECT_EQ(f.width == 1 ? reply[f.at] : c.get16(reply, f.at), f.value) << std::hex << k.mask << " at " << std::dec << f.at;
  }
  // Refusals come back as the status text.
  Bytes zoom = c.words({head, 0x10000000, 0x40000000, 0x40000000});
  EXPECT_EQ(c.status(c.ask(8, zoom)).rfind("Can't change pointer scaling of", 0), 0u);
  Bytes rotation = c.words({head, 0x00200000, 45, 0});
  EXPECT_EQ(c.status(c.ask(8, rotation)), "Screen rotation must be a multiple of 0, 90, 180 or 270");
}

TEST_P(Meta, ScreenValuesChangeAndTellTheSelectingClients) {
  c.send(9, c.words({0x01}));
  uint32_t keep = GetParam() == 'l' ? 0x71 : 0x72;
  Bytes body = c.shorts(0, 0x80, {keep});
  EXPECT_EQ(c.status(c.ask(2, body)), "");
  Bytes event = c.nextEvent();
  ASSERT_EQ(event.size(), 32u);
  EXPECT_EQ(event[0], c.firstEvent);
  EXPECT_EQ(c.get16(event, 4), 0);
  EXPECT_EQ(c.get32(event, 8), 0x80u);
  Bytes values = c.ask(1, c.shorts(0, 0));
  ASSERT_GE(values.size(), 60u);
  EXPECT_EQ(c.get32(values, 40), keep);
  EXPECT_GT(c.get32(values, 16), 2400u) << "width";
  c.raw.put16(body, 0, 5);
  EXPECT_EQ(c.status(c.ask(2, body)), "Unknown screen 5");
  c.raw.put16(body, 0, 0);
  c.raw.put16(body, 2, 0x10);
  c.raw.put32(body, 4, 9);
  EXPECT_EQ(c.status(c.ask(2, body)), "Unknown relativeto meta screen 9");
  EXPECT_TRUE(isError(c.ask(1, c.shorts(3, 0)), c.firstError));
  c.send(9, c.words({0}));
}

TEST_P(Meta, TranslatedIdsNameTheWindowOnEachServer) {
  uint32_t win = window(3, 200, 200, 50, 50);
  c.sync();
  Bytes reply = c.ask(13, c.words({win}));
  // A pair for every head of the screen, the resource server's among them.
  ASSERT_GE(reply.size(), 32u + 16u);
  EXPECT_EQ(c.get32(reply, 8), 0u);
  uint32_t words = c.get32(reply, 12);
  EXPECT_EQ(reply.size(), 32u + 4 * words);
  std::vector<uint32_t> heads = listHeads(0xffff);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(c.get32(reply, 32 + 8 * k), heads[k]);
    char id[16];
    snprintf(id, sizeof id, "0x%x", c.get32(reply, 36 + 8 * k));
    ProgramResult r = runProgram({"xwininfo", "-id", id}, (k ? b : a)->display());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Width: 50"), std::string::npos) << r.out;
  }
  Bytes error = c.ask(13, c.words({c.id(999)}));
  ASSERT_TRUE(isError(error, kBadValue));
  EXPECT_EQ(c.get32(error, 4), c.id(999));
  c.raw.send(c.raw.request(4, 0, c.words({win})));
}

// The bottom of three siblings put in layer 1 goes on top, on the proxy and
// on the real servers, and stays there when the others are raised.
TEST_P(Meta, AHigherLayerStaysOnTop) {
  uint32_t parent = window(10, 100, 100, 300, 300);
  std::vector<uint32_t> kids;
  for (uint32_t n = 11; n < 14; n++) {
    uint32_t id = c.id(n);
    Bytes body(28);
    c.raw.put32(body, 0, id);
    c.raw.put32(body, 4, parent);
    c.raw.put16(body, 12, 100);
    c.raw.put16(body, 14, 100);
    c.raw.put16(body, 18, 1);
    c.raw.send(c.raw.request(1, 0, body));
    c.raw.send(c.raw.request(8, 0, c.words({id})));
    kids.push_back(id);
  }
  c.send(14, MetaClient::withByte(c.words({kids[0]}), 4, 1));
  Bytes layer = c.ask(15, c.words({kids[0]}));
  ASSERT_EQ(layer.size(), 32u);
  EXPECT_EQ(layer[1], 1);
  auto topOnProxy = [&] {
    Bytes tree = c.next();
    c.raw.send(c.raw.request(15, 0, c.words({parent})));
    tree = c.next();
    uint16_t count = c.get16(tree, 16);
    return count ? c.get32(tree, 32 + 4 * (count - 1u)) : 0;
  };
  c.raw.send(c.raw.request(43, 0));
  EXPECT_EQ(topOnProxy(), kids[0]);
  // Raising the others leaves the layer-1 window on top.
  for (uint32_t other : {kids[1], kids[2]}) {
    Bytes configure = c.words({other, 0, 0});
    c.raw.put16(configure, 4, 0x40);
    c.raw.send(c.raw.request(12, 0, configure));
  }
  c.raw.send(c.raw.request(43, 0));
  EXPECT_EQ(topOnProxy(), kids[0]);
  // A new sibling of layer 0 is made below it.
  Bytes late(28);
  c.raw.put32(late, 0, c.id(14));
  c.raw.put32(late, 4, parent);
  c.raw.put16(late, 12, 100);
  c.raw.put16(late, 14, 100);
  c.raw.put16(late, 18, 1);
  c.raw.send(c.raw.request(1, 0, late));
  c.raw.send(c.raw.request(8, 0, c.words({c.id(14)})));
  c.raw.send(c.raw.request(43, 0));
  EXPECT_EQ(topOnProxy(), kids[0]);
  // On each server: the first child listed is the topmost.
  Bytes ids = c.ask(13, c.words({kids[0]}));
  Bytes parents = c.ask(13, c.words({parent}));
  ASSERT_GE(ids.size(), 48u);
  for (int k = 0; k < 2; k++) {
    char id[16], top[16];
    snprintf(id, sizeof id, "0x%x", c.get32(parents, 36 + 8 * k));
    snprintf(top, sizeof top, "0x%x", c.get32(ids, 36 + 8 * k));
    ProgramResult r;
    for (int i = 0; i < 30; i++) {
      r = runProgram({"xwininfo", "-children", "-id", id}, (k ? b : a)->display());
      size_t children = r.out.find("children:");
      if (children != std::string::npos && r.out.find(std::string("     ") + top, children) ==
                                               r.out.find("     0x", children))
        break;
      usleep(100000);
    }
    size_t children = r.out.find("children:");
    ASSERT_NE(children, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(std::string("     ") + top, children), r.out.find("     0x", children)) << r.out;
  }
  EXPECT_TRUE(isError(c.ask(15, c.words({c.id(900)})), kBadWindow));
  EXPECT_TRUE(isError(c.ask(18, MetaClient::withByte(c.words({c.raw.rootWindow()}), 4, 1)), kBadMatch));
  c.raw.send(c.raw.request(4, 0, c.words({parent})));
}

TEST_P(Meta, ParametersAreTexts) {
  for (uint32_t n = 0; n <= 35; n++) {
    Bytes reply = c.ask(17, c.words({n, 0}));
    ASSERT_GE(reply.size(), 32u) << n;
    ASSERT_EQ(reply[0], 1) << n;
    uint32_t length = c.get32(reply, 8);
    EXPECT_EQ(reply.size(), 32 + ((length + 3) & ~3u)) << n;
    std::string text = c.text(reply, 32, length);
    EXPECT_EQ(text.size() + 1, length) << n;
    bool unknown = n == 0 || n == 12 || n == 35;
    EXPECT_EQ(text == "Unknown parameter", unknown) << n << " " << text;
    if (n == 4) {
      EXPECT_EQ(text, proxy->display());
    }
    if (n == 25) {
      EXPECT_EQ(text, "") << "the key stays with the proxy";
    }
  }
}

// The keyboard grab given to another client: the META client's own grab
// then finds the keyboard taken, until it takes the grab back.
TEST_P(Meta, TheKeyboardGrabGoesToTheOtherClient) {
  MetaClient other;
  ASSERT_TRUE(other.open(proxy->number(), GetParam() == 'l' ? 'B' : 'l'));
  uint32_t theirs = other.id(1);
  Bytes body(28);
  other.raw.put32(body, 0, theirs);
  other.raw.put32(body, 4, other.raw.rootWindow());
  other.raw.put16(body, 12, 60);
  other.raw.put16(body, 14, 60);
  other.raw.put16(body, 18, 1);
  other.raw.send(other.raw.request(1, 0, body));
  other.raw.send(other.raw.request(8, 0, other.words({theirs})));
  other.sync();
  uint32_t mine = window(30, 100, 0, 20, 20);
  c.sync();
  auto grabKeyboard = [&] {
    Bytes grab = c.words({mine, 0, 0});
    grab[8] = 1, grab[9] = 1;  // both asynchronous
    c.raw.send(c.raw.request(31, 0, grab));
    Bytes reply = c.next();
    return reply.size() == 32 && reply[0] == 1 ? int(reply[1]) : -1;
  };
  c.send(20, c.words({257, 0, theirs}));
  EXPECT_EQ(grabKeyboard(), 1) << "AlreadyGrabbed";
  c.send(21, c.words({257, theirs}));
  EXPECT_EQ(grabKeyboard(), 0) << "Success";
  c.raw.send(c.raw.request(32, 0, c.words({0})));
  c.raw.send(c.raw.request(4, 0, c.words({mine})));
  c.sync();
}

// Short, long and unterminated requests get BadLength or a status text,
// and the proxy goes on serving.
TEST_P(Meta, MalformedRequestsAreRefused) {
  std::vector<uint32_t> heads = listHeads(0xffff);
  struct Case {
    uint8_t minor;
    Bytes body;
  };
  std::vector<Case> badLength = {
      {0, c.words({0})},                               // short QueryExtension
      {7, c.words({heads[0], 0})},                     // long GetHeadValues
      {8, c.words({heads[0], 0x4000})},                // a mask without its value
      {8, c.words({heads[0], 0x10000000, 0x3f800000})},  // one float of two
      {2, c.shorts(0, 0x02)},                          // a width without its value
      {5, MetaClient::withByte(c.words({0, 0}), 0, 0x20)},  // a name longer than the request
      {14, c.words({c.raw.rootWindow()})},             // short SetWindowLayer
  };
  for (const Case& k : badLength) {
    Bytes error = c.ask(k.minor, k.body);
    EXPECT_TRUE(isError(error, kBadLength)) << int(k.minor) << " " << (error.empty() ? -1 : int(error[1]));
  }
  Bytes unterminated = MetaClient::withByte(c.words({0, 0x41414141, 0x41414141}), 0, 4);
  EXPECT_EQ(c.status(c.ask(5, unterminated)).rfind("Invalid X display name in MetaRemoveServer", 0), 0u);
  Bytes name = c.words({heads[0], 0x1, 0x41414141});
  EXPECT_EQ(c.status(c.ask(8, name)).rfind("Invalid string in MetaSetHeadValues", 0), 0u);
  Bytes unknown = c.words({0x7777, 0x4000, 5});
  EXPECT_EQ(c.status(c.ask(8, unknown)).rfind("Unknown head 0x7777 in", 0), 0u);
  EXPECT_TRUE(isError(c.ask(8, c.words({heads[0], 0x8, 0x7777})), c.firstError + 1));
  EXPECT_EQ(c.status(c.ask(12, c.words({heads[0]}))), "Can't remove head #" + std::to_string(heads[0]) + " (not InWindow)");
  EXPECT_EQ(c.status(c.ask(12, c.words({0x7777}))).rfind("Unknown head #30583 in", 0), 0u);
  // The keyboard grab for a client that is not there, or for oneself.
  EXPECT_TRUE(isError(c.ask(20, c.words({257, 0, c.absentClientId()})), kBadValue));
  uint32_t own = window(20, 0, 0, 10, 10);
  EXPECT_TRUE(isError(c.ask(20, c.words({257, 0, own})), kBadMatch));
  EXPECT_EQ(listHeads(0xffff), heads);
}

// AddServer C: a head for C's screen, on no meta screen, announced as
// created to the clients that selected head events; a name nobody answers
// on is refused with a status and changes nothing.
TEST_P(Meta, AddedServersGiveHeadsOnNoScreen) {
  std::vector<uint32_t> heads = listHeads(0xffff);
  Xvfb serverC({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(serverC.ok()) << serverC.error();
  c.send(9, c.words({0x02}));
  Bytes reply = addServer(serverC.display());
  ASSERT_GE(reply.size(), 32u) << proxy->log();
  EXPECT_EQ(reply[1], 0) << c.text(reply, 32, c.get16(reply, 10));
  ASSERT_EQ(c.get16(reply, 8), 1);
  ASSERT_EQ(reply.size(), 36u);
  for (int k = 0; k < 1; k++) {
    uint32_t id = c.get32(reply, 32 + 4 * k);
    Bytes event = c.nextEvent();
    ASSERT_EQ(event.size(), 32u);
    EXPECT_EQ(event[0], c.firstEvent + 1);
    EXPECT_EQ(event[1], 1) << "created";
    EXPECT_EQ(c.get32(event, 4), id);
    Bytes values = c.ask(7, c.words({id}));
    ASSERT_GE(values.size(), 100u);
    EXPECT_EQ(c.get16(values, 8), 0xffff) << "on no screen";
  }
  EXPECT_EQ(listHeads(0xffff), heads);
  c.send(9, c.words({0}));
  if (GetParam() == 'B') return;
  // Nobody answers there: the proxy tries for the short time a connect
  // may hold the served clients up.
  ClaimedDisplay unused(400);
  std::string nobody = unused.name();
  Bytes body(8 + ((nobody.size() + 4) & ~3u), 0);
  std::copy(nobody.begin(), nobody.end(), body.begin() + 8);
  c.send(4, body);
  reply = c.raw.readMessage(30000);
  ASSERT_GE(reply.size(), 32u) << proxy->log();
  EXPECT_NE(reply[1], 0);
  EXPECT_EQ(c.get16(reply, 8), 0);
  uint16_t length = c.get16(reply, 10);
  EXPECT_GT(length, 0);
  EXPECT_EQ(reply.size(), 32u + ((length + 3u) & ~3u));
  EXPECT_EQ(listHeads(0xffff), heads);
}

uint32_t floatBits(float value) {
  uint32_t bits;
  memcpy(&bits, &value, 4);
  return bits;
}

// Values a head cannot hold are refused with the setting and its range and
// change nothing, on a head of the meta screen and on one added but not yet
// placed, also when the refused value comes after others that would have
// been applied; a second AddServer of a screen in the session is refused,
// and so is one with an offline time-out under a quarter of a second.
// The proxy answers throughout, and the added head joins with a zoom its
// server can show.
TEST_P(Meta, ValuesOutOfRangeAndASecondAdditionAreRefused) {
  Xvfb serverC({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(serverC.ok()) << serverC.error();
  Bytes added = addServer(serverC.display());
  ASSERT_EQ(added.size(), 36u) << c.text(added, 32, c.get16(added, 10));
  uint32_t unplaced = c.get32(added, 32), placed = listHeads(0xffff).at(1);
  constexpr uint32_t kItself = 0xfffffff0;          // the head's own id
  constexpr uint32_t kItsTagsAndBoth = 0xfffffff1;  // its tags with keepOnTop and keepBelow
  struct Row {
    uint32_t mask;
    std::vector<uint32_t> values;
    const char* status;  // how the status text starts
    bool placedToo;
    bool unplacedToo = true;
    const char* name = nullptr;  // with mask bit 0x1
  };
  const Row rows[] = {
      {0x10000000, {floatBits(3e38f), floatBits(3e38f)}, "Invalid pointer scaling factor on", true},
      {0x10000000, {floatBits(1), 0x7fc00000}, "Invalid pointer scaling factor on", true},  // NaN
      {0x10000000, {floatBits(100), floatBits(100)}, "Invalid pointer scaling factor on", false},  // 1600 > 480
      {0x200, {70000}, "Invalid displayX 70000 for screen", true},
      {0x200, {5000}, "Invalid displayX 5000 for screen", true},
      {0x800, {70000}, "Invalid displayWidth 70000 for screen", true},
      {0x800, {5000}, "Invalid displayWidth 5000 for screen", true},
      {0x4000, {2147483000}, "Invalid clipX 2147483000 for screen", true},
      {0x4000, {32500}, "Invalid clipX 32500 for screen", true},  // its far edge past the coordinates
      {0x10000, {uint32_t(-5)}, "Invalid clipWidth -5 for screen", true},
      // Refused after the values before it would have been applied: the
      // clip's x or the border, then the clip's y or x past the edge; the
      // logical x, then a logical width or a meta screen; the name, then a
      // direction; a direction, then the head itself to place it against;
      // a hidden pointer, then a zoom; a sample rate, then a rotation; one
      // tag, then one that excludes it.
      {0x600, {100, 5000}, "Invalid displayY 5000 for screen", true},
      {0x2200, {5000, 5}, "Invalid displayX 5000 for screen", true},
      {0x14000, {50, 500}, "Can't change logical width of", true, false},
      {0x4002, {7, 50}, "No meta screen 7", true},
      {0x5, {7}, "Invalid direction 7 for screen", true, true, "renamed"},
      {0xc, {4, kItself}, "Cyclic relative positioning for", true},
      {0x10400000, {0, floatBits(2), floatBits(2)}, "Can't change pointer scaling of", true, false},
      {0x08200000, {33, 45, 0}, "Screen rotation must be a multiple", true},
      {0x80000, {kItsTagsAndBoth}, "Can't change tag 'keepBelow' on", true},
  };
  for (uint32_t head : {placed, unplaced}) {
    Bytes before = c.ask(7, c.words({head}));
    ASSERT_GE(before.size(), 100u);
    for (const Row& row : rows) {
      if ((head == placed && !row.placedToo) || (head == unplaced && !row.unplacedToo)) continue;
      Bytes body = c.words({head, row.mask});
      for (uint32_t v : row.values) {
        if (v == kItself) v = head;
        if (v == kItsTagsAndBoth) v = c.get32(before, 88) | 0x210;
        Bytes word = c.words({v});
        body.insert(body.end(), word.begin(), word.end());
      }
      if (row.name) {
        Bytes name(row.name, row.name + std::strlen(row.name) + 1);
        name.resize((name.size() + 3) & ~size_t(3), 0);
        body.insert(body.end(), name.begin(), name.end());
      }
      std::string status = c.status(c.ask(8, body));
      EXPECT_EQ(status.rfind(row.status, 0), 0u) << std::hex << row.mask << " " << status;
      Bytes after = c.ask(7, c.words({head}));
      ASSERT_EQ(after.size(), before.size()) << proxy->log();
      EXPECT_TRUE(std::equal(before.begin() + 8, before.end(), after.begin() + 8)) << std::hex << row.mask;
    }
  }
  for (const std::string& again : {serverC.display(), a->display()}) {
    Bytes refused = addServer(again);
    ASSERT_GE(refused.size(), 32u) << proxy->log();
    EXPECT_EQ(refused[1], 2) << again;
    EXPECT_NE(c.text(refused, 32, c.get16(refused, 10)).find("already configured"), std::string::npos) << again;
  }
  // An offline time-out too short to open a server, as the configuration
  // refuses it; B's 70 s reads as the largest the field holds.
  Xvfb serverD({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(serverD.ok()) << serverD.error();
  std::vector<uint32_t> heads = listHeads(0xffff);
  for (uint16_t shortTimeout : {1, 249}) {
    Bytes refused = addServer(serverD.display(), shortTimeout);
    ASSERT_GE(refused.size(), 32u) << proxy->log();
    EXPECT_EQ(refused[1], 2) << shortTimeout;
    EXPECT_EQ(c.text(refused, 32, c.get16(refused, 10)), "failsafeTimeout must be greater or equal than 250ms");
    EXPECT_EQ(listHeads(0xffff), heads) << shortTimeout;
  }
  Bytes valuesB = c.ask(7, c.words({listHeads(0).at(1)}));
  ASSERT_GE(valuesB.size(), 100u);
  EXPECT_EQ(c.get16(valuesB, 62), 65535);
  // A zoom the server shows: the head joins the screen with it.
  Bytes zoom = c.words({unplaced, 0x10000000, floatBits(2), floatBits(2)});
  EXPECT_EQ(c.status(c.ask(8, zoom)), "");
  Bytes neighbour = c.ask(7, c.words({placed}));
  ASSERT_GE(neighbour.size(), 100u);
  int32_t east = int32_t(c.get32(neighbour, 32) + c.get32(neighbour, 40));
  EXPECT_EQ(c.status(c.ask(8, c.words({unplaced, 0x4002, 0, uint32_t(east)}))), "") << proxy->log();
  Bytes values = c.ask(7, c.words({unplaced}));
  ASSERT_GE(values.size(), 100u) << proxy->log();
  EXPECT_EQ(c.get16(values, 8), 0) << "on screen 0";
  EXPECT_EQ(c.get32(values, 72), floatBits(2));
  c.sync();
  std::string name = serverC.display();
  Bytes remove(4 + ((name.size() + 4) & ~size_t(3)), 0);
  remove[0] = uint8_t(name.size());
  std::copy(name.begin(), name.end(), remove.begin() + 4);
  EXPECT_EQ(c.status(c.ask(5, remove)), "") << "RemoveServer";
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, Meta, ::testing::Values('l', 'B'),
                         [](const ::testing::TestParamInfo<char>& info) {
                           return std::string(info.param == 'l' ? "LSBFirst" : "MSBFirst");
                         });

// Without DynamicServer no server is added; the end of a control client
// never resets the proxy; TerminateProxy ends it.
// While clients run, the screen's size follows SetScreenValues only with the
// RANDR emulation (clients learn of it from RANDR). A width narrower than a
// head's right edge is refused with the head named; a larger one sends the
// screen event, and a client connecting later sees the new size.
TEST(MetaScreenSize, FollowsTheRequestWhereClientsCanLearnOfIt) {
  Xvfb a({"-screen", "0", "640x480x24"}), b({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  ProxyProcess proxy({"noReset", "on", "extensions", "+RANDR", "workarounds", "+RANDREmulation", "screen",
                      a.display() + ".0", "borderWidth", "0", "screen", b.display() + ".0", "borderWidth", "0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  MetaClient c;
  ASSERT_TRUE(c.open(proxy.number(), 'B'));
  c.send(9, c.words({0x01}));
  Bytes narrow = c.ask(2, c.shorts(0, 0x02, {1000}));
  EXPECT_NE(c.status(narrow).find("has more pixels in width than the specified meta screen width 1000"),
            std::string::npos)
      << c.status(narrow);
  EXPECT_NE(c.status(narrow).find(b.display()), std::string::npos) << c.status(narrow);
  EXPECT_EQ(c.status(c.ask(2, c.shorts(0, 0x02, {1500}))), "");
  Bytes event = c.nextEvent();
  ASSERT_EQ(event.size(), 32u);
  EXPECT_EQ(c.get32(event, 8) & 0x02, 0x02u);
  ProgramResult later = runProgram({"xdpyinfo"}, proxy.display());
  EXPECT_NE(later.out.find("dimensions:    1500x480 pixels"), std::string::npos) << later.out;
}

TEST(MetaWithoutOptions, RefusesServersAndEndsTheProxy) {
  Xvfb a({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(a.ok()) << a.error();
  ProxyProcess proxy({"screen", a.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  {
    MetaClient control;
    ASSERT_TRUE(control.open(proxy.number(), 'l'));
    Bytes reply = control.ask(0, control.words({0, 0xffffffff, 0xffffffff}));
    ASSERT_EQ(reply.size(), 32u);
  }
  MetaClient c;
  ASSERT_TRUE(c.open(proxy.number(), 'B'));
  c.sync();
  usleep(500000);
  EXPECT_EQ(proxy.log().find("Resetting"), std::string::npos) << proxy.log();
  std::string name = a.display();
  Bytes body(8 + ((name.size() + 4) & ~3u), 0);
  std::copy(name.begin(), name.end(), body.begin() + 8);
  Bytes reply = c.ask(4, body);
  ASSERT_GE(reply.size(), 32u);
  EXPECT_EQ(reply[1], 2);
  EXPECT_NE(c.text(reply, 32, c.get16(reply, 10)).find("option DynamicServer is used but not enabled"),
            std::string::npos);
  Bytes head(12 + 8, 0);
  reply = c.ask(11, head);
  ASSERT_GE(reply.size(), 32u);
  EXPECT_EQ(reply[1], 2);
  EXPECT_NE(c.text(reply, 32, c.get16(reply, 12)).find("option InWindow is used but not enabled"), std::string::npos);
  c.send(10);
  EXPECT_EQ(proxy.wait(10000), 0) << proxy.log();
  EXPECT_NE(proxy.log().find("Exit by META"), std::string::npos);
}


// A refused SetScreenValues changes nothing: every value is checked before
// the first is stored, and what the screen reports afterwards is what it
// reported before. Binary names, placements out of range and a screen
// placed relative to itself are refused, as is a name that comes with a
// width too narrow for the heads.
struct RefusedScreenRow {
  const char* name;
  uint16_t mask;
  std::string screenName;  // sent when mask has 0x01
  std::vector<uint32_t> values;
  const char* status;  // how the status text starts
};

TEST(MetaScreenRefusal, ChangesNothing) {
  const RefusedScreenRow rows[] = {
      {"BinaryName", 0x01, std::string("\x01\xfe\x7f", 3), {}, "Invalid meta screen name"},
      {"BinaryNameWithPlacement", 0x09, std::string("ok\x02", 3), {3}, "Invalid meta screen name"},
      {"PlacementOutOfRange", 0x08, "", {77}, "Invalid placement 77"},
      {"RelativeToItself", 0x18, "", {3, 0}, "Cyclic relative positioning"},
      {"NameWithTooNarrowWidth", 0x03, "renamed", {10}, "Screen "},
      {"WidthPastTheCoordinates", 0x02, "", {70000}, "Invalid width 70000 of"},
      {"OffsetPastTheCoordinates", 0x20, "", {40000}, "Invalid offsetX 40000 of"},
  };
  Xvfb a({"-screen", "0", "640x480x24"});
  ASSERT_TRUE(a.ok()) << a.error();
  ProxyProcess proxy({"noReset", "on", "extensions", "+RANDR", "workarounds", "+RANDREmulation", "screen",
                      a.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  for (char order : {'l', 'B'}) {
    MetaClient c;
    ASSERT_TRUE(c.open(proxy.number(), order));
    Bytes before = c.ask(1, c.shorts(0, 0));
    ASSERT_GE(before.size(), 60u);
    for (const RefusedScreenRow& row : rows) {
      SCOPED_TRACE(std::string(row.name) + " " + order);
      Bytes body = c.shorts(0, row.mask);
      if (row.mask & 0x01) {
        Bytes name(row.screenName.begin(), row.screenName.end());
        name.resize((name.size() + 4) & ~size_t(3), 0);
        body.insert(body.end(), name.begin(), name.end());
      }
      for (uint32_t v : row.values) {
        Bytes word(4);
        c.raw.put32(word, 0, v);
        body.insert(body.end(), word.begin(), word.end());
      }
      std::string status = c.status(c.ask(2, body));
      EXPECT_EQ(status.rfind(row.status, 0), 0u) << status;
      Bytes after = c.ask(1, c.shorts(0, 0));
      ASSERT_EQ(after.size(), before.size());
      EXPECT_TRUE(std::equal(before.begin() + 8, before.end(), after.begin() + 8));
    }
  }
  EXPECT_EQ(proxy.log().find("UNE"), std::string::npos) << proxy.log();
  ProgramResult later = runProgram({"xdpyinfo"}, proxy.display());
  EXPECT_NE(later.out.find("dimensions:    640x480 pixels"), std::string::npos) << later.out;
}

}  // namespace
}  // namespace palvon::test

// XIE through the proxy program in front of one Xvfb with two screens (two
// heads side by side of one meta screen), behind the rig's extension relay,
// which fakes XIE: photoflo element lists reach the server split per head,
// a stored photoflo is split again when its window moved, and events name
// the client's own elements. With two servers XIE is not offered.
#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xproto.h>

#include <memory>
#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

constexpr uint8_t kXie = 200, kXieEvents = 100, kXieErrors = 150;

uint8_t offeredMajor(RawClient& c, const std::string& name, uint8_t* firstEvent = nullptr) {
  RawClient::Codes codes = c.queryExtension(name);
  if (firstEvent) *firstEvent = codes.firstEvent;
  return codes.major;
}

void fakeXie(ExtensionRelay& relay) {
  relay.addFakeExtension("XIE", kXie, kXieEvents, kXieErrors);
  relay.setFakeResponder(kXie, [](const Bytes& r, char order) {
    if (r[1] != 1) return Bytes{};
    Bytes reply(32, 0);
    reply[0] = 1;
    putWire16(reply, 8, 5, order);
    return reply;
  });
}

class XieOneServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok()) << xvfb.error();
    relay = std::make_unique<ExtensionRelay>(xvfb);
    ASSERT_TRUE(relay->ok()) << relay->error();
    fakeXie(*relay);
    proxy = std::make_unique<ProxyProcess>(std::vector<std::string>{"noReset", "on", "screen", relay->display() + ".0",
                                                                    "screen", relay->display() + ".1"});
    ASSERT_TRUE(proxy->ok()) << proxy->log();
  }

  bool connect(RawClient& c, char order = 'l') { return c.connectUnix(proxy->number()) && c.setup(order) == 1; }

  // XIE requests of the client's connection (the newest) on the relay.
  std::vector<ExtensionRelay::LoggedRequest> sent(uint8_t minor) {
    std::vector<ExtensionRelay::LoggedRequest> out;
    for (auto& r : relay->extensionRequests(relay->connectionCount() - 1))
      if (r.major == kXie && r.minor == minor) out.push_back(r);
    return out;
  }
  // Waits until the proxy passed everything the client sent before.
  static void sync(RawClient& c) {
    c.send(c.request(X_GetInputFocus, 0));
    for (int k = 0; k < 20; k++) {
      Bytes m = c.readMessage(5000);
      if (m.empty() || m[0] == 1) return;
    }
  }

  // A 100 x 40 window over the seam at meta x 400 (350 to 449), and a GC on it.
  static void windowOverTheSeam(RawClient& c, uint32_t window, uint32_t gc, uint16_t y) {
    Bytes create(28, 0);
    c.put32(create, 0, window);
    c.put32(create, 4, c.rootWindow());
    c.put16(create, 8, 350);
    c.put16(create, 10, y);
    c.put16(create, 12, 100);
    c.put16(create, 14, 40);
    c.put16(create, 18, InputOutput);
    c.send(c.request(X_CreateWindow, 0, create));
    Bytes one(4, 0);
    c.put32(one, 0, window);
    c.send(c.request(X_MapWindow, 0, one));
    Bytes createGC(12, 0);
    c.put32(createGC, 0, gc);
    c.put32(createGC, 4, window);
    c.send(c.request(X_CreateGC, 0, createGC));
  }

  Xvfb xvfb{{"-screen", "0", "400x300x24", "-screen", "1", "400x300x24"}};
  std::unique_ptr<ExtensionRelay> relay;
  std::unique_ptr<ProxyProcess> proxy;
};

// ImportDrawable of `window` at 0, 0, 100 x 40, then ExportDrawable of it to
// the window with the GC.
Bytes importExportList(const RawClient& c, uint32_t window, uint32_t gc) {
  Bytes list(48, 0);
  c.put16(list, 0, 4);
  c.put16(list, 2, 6);
  c.put32(list, 4, window);
  c.put16(list, 12, 100);
  c.put16(list, 14, 40);
  c.put16(list, 24, 33);
  c.put16(list, 26, 6);
  c.put16(list, 28, 1);
  c.put32(list, 36, window);
  c.put32(list, 40, gc);
  return list;
}

TEST_F(XieOneServer, PhotoflosAreSplitPerHead) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  uint8_t firstEvent = 0, xie = offeredMajor(c, "XIE", &firstEvent);
  ASSERT_NE(xie, 0) << proxy->log();
  uint32_t base = c.resourceIdBase(), window = base + 1, gc = base + 2, flo = base + 3;
  windowOverTheSeam(c, window, gc, 50);
  Bytes photoflo(8, 0);
  c.put32(photoflo, 0, flo);
  c.put16(photoflo, 4, 2);
  Bytes list = importExportList(c, window, gc);
  photoflo.insert(photoflo.end(), list.begin(), list.end());
  c.send(c.request(xie, 17, photoflo));
  Bytes execute(8, 0);
  c.put32(execute, 0, flo);
  c.send(c.request(xie, 19, execute));
  sync(c);

  auto created = sent(17);
  ASSERT_EQ(created.size(), 1u);
  const Bytes& r = created[0].bytes;
  char o = created[0].order;
  ASSERT_EQ(wire16(r, 8, o), 5) << "two elements, two imports and one export appended";
  ASSERT_EQ(r.size(), 12u + 52 + 24 + 24 * 3);
  EXPECT_EQ(wire16(r, 12, o), 26) << "a PasteUp in the import's place";
  EXPECT_EQ(wire16(r, 16, o), 2);
  EXPECT_EQ(wire16(r, 12 + 28, o), 3);
  EXPECT_EQ(wire16(r, 12 + 40, o), 4);
  EXPECT_EQ(static_cast<int32_t>(wire32(r, 12 + 44, o)), 50) << "head B's part lies 50 to the right";
  const size_t import0 = 12 + 52 + 24, import1 = import0 + 24, export1 = import1 + 24;
  EXPECT_NE(wire32(r, import0 + 4, o), wire32(r, import1 + 4, o)) << "each import names its head's window";
  EXPECT_EQ(wire16(r, import0 + 8, o), 0);
  EXPECT_EQ(wire16(r, import0 + 12, o), 50);
  EXPECT_EQ(wire16(r, import1 + 8, o), 50);
  EXPECT_EQ(wire16(r, import1 + 12, o), 50);
  EXPECT_EQ(wire16(r, export1, o), 33);
  EXPECT_EQ(wire32(r, 12 + 52 + 12, o), wire32(r, import0 + 4, o)) << "exports go to each head's window";
  EXPECT_EQ(wire32(r, export1 + 12, o), wire32(r, import1 + 4, o));
  EXPECT_EQ(sent(20).size(), 0u) << "an unmoved window needs no modification";
  EXPECT_EQ(sent(19).size(), 1u);

  // Moved: the execution is preceded by the new PasteUp and imports.
  relay->clearLog();
  Bytes move(12, 0);
  c.put32(move, 0, window);
  c.put16(move, 4, CWX);
  c.put32(move, 8, 330);
  c.send(c.request(X_ConfigureWindow, 0, move));
  // An ImportObscured naming the second appended import follows the execution.
  Bytes obscured(32, 0);
  obscured[0] = kXieEvents + 3;
  c.put16(obscured, 16, 4);
  relay->injectAfter(kXie, 19, obscured);
  c.send(c.request(xie, 19, execute));
  c.send(c.request(X_GetInputFocus, 0));
  Bytes event;
  for (int k = 0; k < 20 && event.empty(); k++) {
    Bytes m = c.readMessage(5000);
    ASSERT_FALSE(m.empty());
    if (m[0] == firstEvent + 3) event = m;
  }
  EXPECT_EQ(c.get16(event, 16), 1) << "the client's own import";
  auto all = relay->extensionRequests(relay->connectionCount() - 1);
  std::vector<uint8_t> minors;
  for (auto& q : all)
    if (q.major == kXie) minors.push_back(q.minor);
  EXPECT_EQ(minors, (std::vector<uint8_t>{20, 20, 19}));
}

// A modification of a stored import replaces its appended copies first; a
// modification that does not fit the photoflo goes on with only its id
// translated, for the server to judge.
TEST_F(XieOneServer, ModificationsReplaceTheAppendedCopies) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  uint8_t xie = offeredMajor(c, "XIE");
  ASSERT_NE(xie, 0);
  uint32_t base = c.resourceIdBase(), window = base + 1, gc = base + 2, flo = base + 3;
  windowOverTheSeam(c, window, gc, 0);
  Bytes photoflo(8, 0);
  c.put32(photoflo, 0, flo);
  c.put16(photoflo, 4, 2);
  Bytes list = importExportList(c, window, gc);
  photoflo.insert(photoflo.end(), list.begin(), list.end());
  c.send(c.request(xie, 17, photoflo));
  // Element 1 again, now 60 wide from x 20.
  Bytes modify(8, 0);
  c.put32(modify, 0, flo);
  c.put16(modify, 4, 1);
  c.put16(modify, 6, 1);
  modify.insert(modify.end(), list.begin(), list.begin() + 24);
  c.put16(modify, 16, 20);
  c.put16(modify, 20, 60);
  c.send(c.request(xie, 20, modify));
  Bytes wrongType = modify;
  c.put16(wrongType, 4, 2);  // element 2 is an export
  c.send(c.request(xie, 20, wrongType));
  Bytes pastTheEnd = modify;
  c.put16(pastTheEnd, 4, 4);
  c.send(c.request(xie, 20, pastTheEnd));
  sync(c);

  auto mods = sent(20);
  ASSERT_EQ(mods.size(), 4u);
  char o = mods[0].order;
  const Bytes& copies = mods[0].bytes;
  EXPECT_EQ(wire16(copies, 8, o), 3) << "the appended imports from their first phototag";
  EXPECT_EQ(wire16(copies, 10, o), 2);
  ASSERT_EQ(copies.size(), 12u + 48);
  EXPECT_EQ(wire16(copies, 12 + 8, o), 20) << "head A's part of the new import";
  EXPECT_EQ(wire16(copies, 12 + 12, o), 30);
  EXPECT_EQ(wire16(copies, 36 + 8, o), 50) << "head B's part";
  EXPECT_EQ(wire16(copies, 36 + 12, o), 30);
  const Bytes& own = mods[1].bytes;
  EXPECT_EQ(wire16(own, 8, o), 1);
  EXPECT_EQ(wire16(own, 12, o), 26) << "the import itself is a PasteUp";
  EXPECT_EQ(wire32(own, 4, o), wire32(copies, 4, o));
  EXPECT_NE(wire32(own, 4, o), flo) << "the server's photoflo id";
  for (size_t k = 2; k < 4; k++) {
    SCOPED_TRACE(k);
    EXPECT_EQ(mods[k].bytes.size(), 12u + 24) << "sent as the client wrote it";
    EXPECT_EQ(wire16(mods[k].bytes, 12, o), 4);
    EXPECT_EQ(wire32(mods[k].bytes, 4, o), wire32(copies, 4, o));
  }
}

// An immediate execution in a photospace: the photospace becomes the
// server's id, the list is split, and its events name the client's import.
TEST_F(XieOneServer, ImmediateExecutionIsSplitToo) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  uint8_t firstEvent = 0, xie = offeredMajor(c, "XIE", &firstEvent);
  ASSERT_NE(xie, 0);
  uint32_t base = c.resourceIdBase(), window = base + 1, gc = base + 2, space = base + 4;
  windowOverTheSeam(c, window, gc, 0);
  Bytes one(4, 0);
  c.put32(one, 0, space);
  c.send(c.request(xie, 14, one));
  Bytes obscured(32, 0);
  obscured[0] = kXieEvents + 3;
  c.put16(obscured, 16, 3);
  relay->injectAfter(kXie, 16, obscured);
  Bytes immediate(12, 0);
  c.put32(immediate, 0, space);
  c.put32(immediate, 4, 7);
  c.put16(immediate, 8, 2);
  Bytes list = importExportList(c, window, gc);
  immediate.insert(immediate.end(), list.begin(), list.end());
  c.send(c.request(xie, 16, immediate));
  c.send(c.request(X_GetInputFocus, 0));
  Bytes event;
  for (int k = 0; k < 20 && event.empty(); k++) {
    Bytes m = c.readMessage(5000);
    ASSERT_FALSE(m.empty());
    if (m[0] == firstEvent + 3) event = m;
  }
  EXPECT_EQ(c.get16(event, 16), 1) << "the client's own import";
  auto spaces = sent(14), runs = sent(16);
  ASSERT_EQ(spaces.size(), 1u);
  ASSERT_EQ(runs.size(), 1u);
  const Bytes& r = runs[0].bytes;
  char o = runs[0].order;
  EXPECT_EQ(wire32(r, 4, o), wire32(spaces[0].bytes, 4, o)) << "the photospace as the server knows it";
  EXPECT_NE(wire32(r, 4, o), space);
  EXPECT_EQ(wire16(r, 12, o), 5);
  EXPECT_EQ(wire16(r, 16, o), 26) << "a PasteUp in the import's place";
}

// Photoflo lists travel in the proxy's order: a client of the other order
// cannot send them, but its simple requests pass.
TEST_F(XieOneServer, OtherByteOrderGetsNoPhotoflos) {
  RawClient c;
  ASSERT_TRUE(connect(c, 'B'));
  uint8_t xie = offeredMajor(c, "XIE");
  ASSERT_NE(xie, 0);
  Bytes photoflo(8, 0);
  c.put32(photoflo, 0, c.resourceIdBase() + 3);
  c.send(c.request(xie, 17, photoflo));
  Bytes query(4, 0);
  c.put16(query, 0, 4);
  c.send(c.request(xie, 1, query));
  Bytes error = c.readMessage(), reply = c.readMessage();
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(error[1], BadImplementation);
  ASSERT_GE(reply.size(), 32u);
  EXPECT_EQ(reply[0], 1);
  EXPECT_EQ(c.get16(reply, 8), 5);
  EXPECT_EQ(sent(17).size(), 0u);
}

// A list too short for its elements, or a photoflo id the client may not
// use, is refused before anything is sent.
TEST_F(XieOneServer, RefusedPhotoflosSendNothing) {
  RawClient c;
  ASSERT_TRUE(connect(c));
  uint8_t xie = offeredMajor(c, "XIE");
  ASSERT_NE(xie, 0);
  uint32_t flo = c.resourceIdBase() + 3;
  Bytes photoflo(16, 0);
  c.put32(photoflo, 0, flo);
  c.put16(photoflo, 4, 1);
  c.put16(photoflo, 8, 4);
  c.put16(photoflo, 10, 2);  // an ImportDrawable of 8 bytes
  c.send(c.request(xie, 17, photoflo));
  Bytes error = c.readMessage();
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[1], BadLength);
  // A good one, then the same id again.
  c.put16(photoflo, 8, 9);
  c.send(c.request(xie, 17, photoflo));
  c.send(c.request(xie, 17, photoflo));
  error = c.readMessage();
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[1], BadIDChoice);
  EXPECT_EQ(c.get32(error, 4), flo);
  EXPECT_EQ(c.get16(error, 2), 4);
  sync(c);
  EXPECT_EQ(sent(17).size(), 1u) << "only the good one";
}

// XIE lives on one server: with two, or when servers may come and go, it
// is not offered, and the log says why.
struct Refusal {
  const char* name;
  int servers;
  const char* option;  // null: none
  const char* text;
};

class XieRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(XieRefused, IsNotOffered) {
  const Refusal& r = GetParam();
  std::vector<std::unique_ptr<Xvfb>> servers;
  std::vector<std::unique_ptr<ExtensionRelay>> relays;
  std::vector<std::string> words{"noReset", "on"};
  if (r.option) words.insert(words.end(), {"option", r.option});
  for (int k = 0; k < r.servers; k++) {
    servers.push_back(std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "320x200x24"}));
    ASSERT_TRUE(servers.back()->ok());
    relays.push_back(std::make_unique<ExtensionRelay>(*servers.back()));
    ASSERT_TRUE(relays.back()->ok());
    fakeXie(*relays.back());
    words.insert(words.end(), {"screen", relays.back()->display() + ".0"});
  }
  ProxyProcess proxy(words);
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  RawClient c;
  ASSERT_TRUE(c.connectUnix(proxy.number()) && c.setup() == 1);
  EXPECT_EQ(offeredMajor(c, "XIE"), 0);
  EXPECT_NE(proxy.log().find(r.text), std::string::npos) << proxy.log();
}

INSTANTIATE_TEST_SUITE_P(
    Xie, XieRefused,
    ::testing::Values(Refusal{"TwoServers", 2, nullptr, "Extension XIE disabled to support multiple X servers"},
                      Refusal{"DynamicServer", 1, "DynamicServer",
                              "Extension XIE disabled to support option DynamicServer"},
                      Refusal{"Tavel", 1, "Tavel", "Extension XIE disabled to support option Tavel"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test

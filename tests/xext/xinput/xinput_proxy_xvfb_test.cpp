// The input-device extensions through the proxy program in front of two
// Xvfb side by side, A|B, where B lacks MIT-SHM and so numbers its XInput
// and XKEYBOARD events and errors one below A's: real X programs against
// what they show directly, and raw clients of either byte order for what
// the programs do not show (renumbered event classes, errors in the proxy's
// codes, one reply for a request sent to both servers, per-client
// keyboard maps).
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/peers/extrelay.h"
#include "support/proxyprocess.h"
#include "support/rawclient.h"
#include "support/tempdir.h"
#include "support/xprogram.h"
#include "support/xwindows.h"
#include "support/xvfb.h"

namespace palvon::test {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct ExtensionCodes {
  uint8_t major = 0, firstEvent = 0, firstError = 0;
};

// The next reply or error, events on the way skipped.
Bytes readAnswer(RawClient& client) {
  for (int k = 0; k < 50; k++) {
    Bytes message = client.readMessage(5000);
    if (message.empty() || message[0] <= 1) return message;
  }
  return {};
}

// The next event of that code (bit 7 ignored).
Bytes readEvent(RawClient& client, uint8_t code, int timeoutMs = 5000) {
  for (int k = 0; k < 50; k++) {
    Bytes message = client.readMessage(timeoutMs);
    if (message.empty() || (message[0] & 0x7f) == code) return message;
  }
  return {};
}

ExtensionCodes queryExtension(RawClient& client, const std::string& name) {
  Bytes body(4 + ((name.size() + 3) & ~size_t{3}), 0);
  client.put16(body, 0, uint16_t(name.size()));
  std::copy(name.begin(), name.end(), body.begin() + 4);
  client.send(client.request(98, 0, body));
  Bytes reply = readAnswer(client);
  if (reply.size() < 32 || reply[0] != 1 || !reply[8]) return {};
  return {reply[9], reply[10], reply[11]};
}

class TwoServers {
 public:
  explicit TwoServers(const std::vector<std::string>& extra) {
    a = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "1024x768x24"});
    b = std::make_unique<Xvfb>(std::vector<std::string>{"-screen", "0", "1024x768x24", "-extension", "MIT-SHM"});
    if (!a->ok() || !b->ok()) return;
    std::vector<std::string> words{"noReset", "on", "screen", a->display() + ".0", "screen", b->display() + ".0"};
    words.insert(words.end(), extra.begin(), extra.end());
    proxy = std::make_unique<ProxyProcess>(words);
    // The pointer starts in the middle, on B's head: onto A's, whose devices
    // the tests drive.
    if (proxy->ok()) warpPointerTo(proxy->display().c_str(), 100, 100);
  }
  bool ok() const { return proxy && proxy->ok(); }
  std::string why() const { return proxy ? proxy->log() : a->error() + b->error(); }

  std::unique_ptr<Xvfb> a, b;
  std::unique_ptr<ProxyProcess> proxy;
};

bool connect(RawClient& client, int display, char order = 'l') {
  return client.connectUnix(display) && client.setup(order) == 1;
}

uint32_t createWindow(RawClient& client) {
  uint32_t window = client.resourceIdBase() + 1;
  Bytes create(28);
  client.put32(create, 0, window);
  client.put32(create, 4, client.rootWindow());
  client.put16(create, 12, 10);
  client.put16(create, 14, 10);
  client.put16(create, 18, 1);  // InputOutput
  client.send(client.request(1, 0, create));
  return window;
}

// XKEYBOARD: UseExtension 1.0, answered; events of `which` with all their
// details on the core keyboard; a bell that only makes an event.
void xkbUse(RawClient& client, uint8_t major) {
  Bytes use(4);
  client.put16(use, 0, 1);
  client.send(client.request(major, 0, use));
}
void xkbSelect(RawClient& client, uint8_t major, uint16_t which) {
  Bytes select(12);
  client.put16(select, 0, 0x100);
  client.put16(select, 2, which);
  client.put16(select, 6, which);
  client.send(client.request(major, 1, select));
}
void xkbBell(RawClient& client, uint8_t major, uint32_t window, uint16_t pitch) {
  Bytes bell(24);
  client.put16(bell, 0, 0x100);
  client.put16(bell, 2, 0x300);  // the default bell class and bell
  client.put16(bell, 4, 0x400);
  bell[8] = 1;  // an event only, no sound
  client.put16(bell, 10, pitch);
  client.put32(bell, 20, window);
  client.send(client.request(major, 3, bell));
}

// --- XInputExtension ----------------------------------------------------------------------------

class XInputPrograms : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { servers = new TwoServers({}); }
  static void TearDownTestSuite() {
    delete servers;
    servers = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(servers->ok()) << servers->why(); }
  static TwoServers* servers;
};
TwoServers* XInputPrograms::servers = nullptr;

TEST_F(XInputPrograms, VersionDevicesAndPropertiesAsOnTheInputServer) {
  std::string proxy = servers->proxy->display(), a = servers->a->display();
  ProgramResult version = runProgram({"xinput", "--version"}, proxy);
  EXPECT_TRUE(contains(version.out, "XI version on server: 1.5")) << version.out << version.err;
  ProgramResult list = runProgram({"xinput", "list", "--short"}, proxy);
  EXPECT_TRUE(contains(list.out, "Xvfb mouse") && contains(list.out, "Xvfb keyboard")) << list.out << list.err;
  ProgramResult through = runProgram({"xinput", "list-props", "Xvfb mouse"}, proxy);
  ProgramResult direct = runProgram({"xinput", "list-props", "Xvfb mouse"}, a);
  EXPECT_EQ(through.status, 0) << through.err;
  EXPECT_EQ(through.out, direct.out);
}

TEST_F(XInputPrograms, DeviceKeysOfTheInputServerReachTheClient) {
  TempDir dir;
  std::string out = dir.file("keys");
  std::string script = "xinput test 'Virtual core XTEST keyboard' > " + out + " 2>&1 & pid=$!; sleep 1; DISPLAY=" +
                       servers->a->display() + " xdotool type ab; sleep 1; kill $pid";
  ProgramResult result = runProgram({"sh", "-c", script}, servers->proxy->display(), 15000);
  std::string keys = readFile(out);
  EXPECT_TRUE(contains(keys, "key press   38") && contains(keys, "key release 56")) << keys << result.err;
}

// An XI2 client told the server's 2.x would send requests the proxy does
// not offer.
TEST_F(XInputPrograms, QueryVersionGivesTheOfferedVersion) {
  RawClient client;
  ASSERT_TRUE(connect(client, servers->proxy->number()));
  ExtensionCodes xi = queryExtension(client, "XInputExtension");
  ASSERT_NE(xi.major, 0);
  Bytes body(4);
  client.put16(body, 0, 2);
  client.put16(body, 2, 2);
  client.send(client.request(xi.major, 47, body));
  Bytes reply = readAnswer(client);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(client.get16(reply, 8), 1);
  EXPECT_EQ(client.get16(reply, 10), 5);
}

// A server whose XInput is 1.4 lowers what the proxy offers: no device
// properties.
TEST(XInputVersion, LoweredToTheLowestServer) {
  Xvfb a(std::vector<std::string>{"-screen", "0", "1024x768x24"}), b(std::vector<std::string>{"-screen", "0", "1024x768x24"});
  ASSERT_TRUE(a.ok() && b.ok());
  ExtensionRelay relay(b);
  ASSERT_TRUE(relay.ok()) << relay.error();
  ExtensionRelay::Codes codes;
  ASSERT_TRUE(relay.serverCodes("XInputExtension", &codes));
  for (uint8_t minor : {1, 47}) {
    relay.rewriteReply(codes.major, minor, [](Bytes& reply, char order) {
      putWire16(reply, 8, 1, order);
      putWire16(reply, 10, 4, order);
    });
  }
  ProxyProcess proxy({"noReset", "on", "screen", a.display() + ".0", "screen", relay.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  ProgramResult version = runProgram({"xinput", "--version"}, proxy.display());
  EXPECT_TRUE(contains(version.out, "XI version on server: 1.4")) << version.out << version.err;
  RawClient client;
  ASSERT_TRUE(connect(client, proxy.number()));
  ExtensionCodes xi = queryExtension(client, "XInputExtension");
  ASSERT_NE(xi.major, 0);
  client.send(client.request(xi.major, 36, Bytes(4, 6)));  // ListDeviceProperties
  Bytes error = readAnswer(client);
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(error[1], 1);  // BadRequest
}

// --- Input on B, whose codes are one below the proxy's ------------------------------------------

struct OrderCase {
  const char* name;
  char order;
};

class InputOnB : public ::testing::TestWithParam<OrderCase> {
 protected:
  static void SetUpTestSuite() { servers = new TwoServers({"input", "on", "extensions", "+XKEYBOARD"}); }
  static void TearDownTestSuite() {
    delete servers;
    servers = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(servers->ok()) << servers->why();
    ASSERT_TRUE(connect(client, servers->proxy->number(), GetParam().order));
    xi = queryExtension(client, "XInputExtension");
    ASSERT_NE(xi.major, 0);
  }
  Bytes xiRequest(uint8_t minor, const Bytes& body) {
    client.send(client.request(xi.major, minor, body));
    return readAnswer(client);
  }
  Bytes openDevice(uint8_t device) {
    Bytes body(4);
    body[0] = device;
    return xiRequest(3, body);
  }

  static TwoServers* servers;
  RawClient client;
  ExtensionCodes xi;
};
TwoServers* InputOnB::servers = nullptr;

TEST_P(InputOnB, VersionReadsRight) {
  Bytes body(4);
  client.put16(body, 0, 15);
  body.insert(body.end(), {'X', 'I', 'n', 'p', 'u', 't', 'E', 'x', 't', 'e', 'n', 's', 'i', 'o', 'n', 0});
  Bytes reply = xiRequest(1, body);
  ASSERT_EQ(reply.size(), 32u);
  EXPECT_EQ(client.get16(reply, 8), 1);
  EXPECT_EQ(client.get16(reply, 10), 5);
}

TEST_P(InputOnB, SelectedClassesComeBackAsSent) {
  Bytes opened = openDevice(5);
  ASSERT_EQ(opened[0], 1) << int(opened[1]);
  // Every class record's event-type base is in the proxy's numbering.
  ASSERT_GE(opened[8], 1);
  EXPECT_EQ(opened[33], xi.firstEvent + 1);  // the key class's base: DeviceKeyPress
  uint32_t press = 5u << 8 | uint32_t(xi.firstEvent + 1), release = 5u << 8 | uint32_t(xi.firstEvent + 2);
  Bytes body(8);
  client.put32(body, 0, client.rootWindow());
  client.put16(body, 4, 2);
  body.resize(16);
  client.put32(body, 8, press);
  client.put32(body, 12, release);
  client.send(client.request(xi.major, 6, body));
  Bytes query(4);
  client.put32(query, 0, client.rootWindow());
  Bytes reply = xiRequest(7, query);
  ASSERT_EQ(reply[0], 1);
  ASSERT_EQ(client.get16(reply, 8), 2);
  ASSERT_GE(reply.size(), 40u);
  // The server lists them in its own order.
  std::set<uint32_t> classes{client.get32(reply, 32), client.get32(reply, 36)};
  EXPECT_EQ(classes, (std::set<uint32_t>{press, release}));
  // A key press sent to the root under the press class comes back as the
  // press, its fields read in the client's order.
  Bytes send(12);
  client.put32(send, 0, client.rootWindow());
  send[4] = 5;
  client.put16(send, 6, 1);
  send[8] = 1;
  Bytes event(32);
  event[0] = uint8_t(xi.firstEvent + 1);
  event[1] = 38;
  client.put32(event, 4, 1234);
  client.put32(event, 8, client.rootWindow());
  client.put16(event, 20, 300);
  event[31] = 5;
  send.insert(send.end(), event.begin(), event.end());
  send.resize(send.size() + 4);
  client.put32(send, send.size() - 4, press);
  client.send(client.request(xi.major, 31, send));
  Bytes back = readEvent(client, uint8_t(xi.firstEvent + 1));
  ASSERT_EQ(back.size(), 32u);
  EXPECT_EQ(back[0], 0x80 | (xi.firstEvent + 1));
  EXPECT_EQ(back[1], 38);
  EXPECT_EQ(client.get32(back, 4), 1234u);
  EXPECT_EQ(client.get16(back, 20), 300);
}

TEST_P(InputOnB, UnknownDeviceIsBadDeviceInTheProxysCode) {
  Bytes error = openDevice(200);
  ASSERT_EQ(error.size(), 32u);
  EXPECT_EQ(error[0], 0);
  EXPECT_EQ(error[1], xi.firstError);
  EXPECT_EQ(error[10], xi.major);
}

TEST_P(InputOnB, DeviceStateValuatorsReadRight) {
  ASSERT_EQ(openDevice(4)[0], 1);
  Bytes body(4);
  body[0] = 4;
  Bytes reply = xiRequest(30, body);
  ASSERT_EQ(reply[0], 1);
  // The pointer reports its buttons, then its two valuators (where it
  // stands) in records sized by their own length byte.
  size_t at = 32;
  bool valuators = false;
  for (int k = 0; k < reply[8] && at + 2 <= reply.size(); k++) {
    if (reply[at] == 2) {
      valuators = true;
      EXPECT_EQ(reply[at + 1], 4 + 4 * reply[at + 2]);
      ASSERT_EQ(reply[at + 2], 2);
      // Somewhere on B's 1024x768 screen, away from the corner (the proxy
      // keeps the input server's pointer off the edges).
      uint32_t x = client.get32(reply, at + 4), y = client.get32(reply, at + 8);
      EXPECT_TRUE(x > 0 && x < 1024 && y > 0 && y < 768) << x << "," << y;
    }
    if (reply[at + 1] == 0) break;
    at += reply[at + 1];
  }
  EXPECT_TRUE(valuators);
}

// The focus comes back as the window the client named.
TEST_P(InputOnB, DeviceFocusInClientIds) {
  uint32_t window = createWindow(client);
  Bytes map(4);
  client.put32(map, 0, window);
  client.send(client.request(8, 0, map));  // MapWindow
  ASSERT_EQ(openDevice(5)[0], 1);
  Bytes focus(12);
  client.put32(focus, 0, window);
  focus[8] = 2;  // revert to parent
  focus[9] = 5;
  client.send(client.request(xi.major, 21, focus));
  Bytes body(4);
  body[0] = 5;
  Bytes reply = xiRequest(20, body);
  ASSERT_EQ(reply[0], 1) << int(reply[1]);
  EXPECT_EQ(client.get32(reply, 8), window);
}

TEST_P(InputOnB, XkbMapReadsRight) {
  ExtensionCodes xkb = queryExtension(client, "XKEYBOARD");
  ASSERT_NE(xkb.major, 0);
  xkbUse(client, xkb.major);
  Bytes used = readAnswer(client);
  ASSERT_EQ(used[0], 1);
  EXPECT_EQ(used[1], 1);  // supported
  Bytes getMap(24);
  client.put16(getMap, 0, 0x100);  // the core keyboard
  client.put16(getMap, 2, 0x1);    // key types
  client.send(client.request(xkb.major, 8, getMap));
  Bytes reply = readAnswer(client);
  ASSERT_EQ(reply[0], 1) << int(reply[1]);
  EXPECT_EQ(reply[10], 8);    // minimum keycode
  EXPECT_EQ(reply[11], 255);  // maximum keycode
  EXPECT_EQ(client.get16(reply, 12) & 0x1, 0x1);
  EXPECT_GT(reply[15], 0);  // key types present
}

// With the pointer on B's head, B's device keys reach a client that
// selected them on the meta root.
TEST_P(InputOnB, DeviceKeysOfB) {
  Bytes warp(20);
  client.put32(warp, 4, client.rootWindow());
  client.put16(warp, 16, 1500);  // on B's half of the 2044-wide meta screen
  client.put16(warp, 18, 300);
  client.send(client.request(41, 0, warp));
  client.send(client.request(43, 0));
  ASSERT_EQ(readAnswer(client)[0], 1);
  TempDir dir;
  std::string out = dir.file("keys");
  std::string script = "xinput test 'Virtual core XTEST keyboard' > " + out + " 2>&1 & pid=$!; sleep 1; DISPLAY=" +
                       servers->b->display() + " xdotool type ab; sleep 1; kill $pid";
  ProgramResult result = runProgram({"sh", "-c", script}, servers->proxy->display(), 15000);
  std::string keys = readFile(out);
  EXPECT_TRUE(contains(keys, "key press   38") && contains(keys, "key release 56")) << keys << result.err;
}

// B numbers XKEYBOARD's event one below the proxy.
TEST_P(InputOnB, XkbEventInTheProxysCode) {
  ExtensionCodes xkb = queryExtension(client, "XKEYBOARD");
  ASSERT_NE(xkb.major, 0);
  xkbUse(client, xkb.major);
  ASSERT_EQ(readAnswer(client)[0], 1);
  xkbSelect(client, xkb.major, 0x100);  // BellNotify
  xkbBell(client, xkb.major, 0, 440);
  Bytes notify = readEvent(client, xkb.firstEvent);
  ASSERT_EQ(notify.size(), 32u);
  EXPECT_EQ(notify[1], 8);
  EXPECT_EQ(client.get16(notify, 12), 440);
}

INSTANTIATE_TEST_SUITE_P(Orders, InputOnB, ::testing::Values(OrderCase{"Ours", 'l'}, OrderCase{"Other", 'B'}),
                         [](const auto& info) { return info.param.name; });

// --- XKEYBOARD ----------------------------------------------------------------------------------


class Xkb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { servers = new TwoServers({"extensions", "+XKEYBOARD"}); }
  static void TearDownTestSuite() {
    delete servers;
    servers = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(servers->ok()) << servers->why();
    ASSERT_TRUE(connect(client, servers->proxy->number()));
    xkb = queryExtension(client, "XKEYBOARD");
    ASSERT_NE(xkb.major, 0);
  }
  static TwoServers* servers;
  RawClient client;
  ExtensionCodes xkb;
};
TwoServers* Xkb::servers = nullptr;

TEST_F(Xkb, KeymapAsOnTheInputServer) {
  TempDir dir;
  std::string through = dir.file("through.xkb"), direct = dir.file("direct.xkb");
  ProgramResult a = runProgram({"xkbcomp", "-xkb", servers->proxy->display(), through}, servers->proxy->display());
  ProgramResult b = runProgram({"xkbcomp", "-xkb", servers->a->display(), direct}, servers->a->display());
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(readFile(through), readFile(direct));
}

// Both servers hear UseExtension; the client hears one answer, and the
// next request's answer keeps its place.
TEST_F(Xkb, OneAnswerToUseExtension) {
  xkbUse(client, xkb.major);
  client.send(client.request(43, 0));  // GetInputFocus
  Bytes first = readAnswer(client), second = readAnswer(client);
  ASSERT_EQ(first.size(), 32u);
  EXPECT_EQ(first[1], 1);  // supported
  EXPECT_EQ(client.get16(first, 2), 2);
  ASSERT_EQ(second.size(), 32u);
  EXPECT_EQ(client.get16(second, 2), 3);
}

TEST_F(Xkb, StateAndBellEventsInTheProxysTerms) {
  xkbUse(client, xkb.major);
  ASSERT_EQ(readAnswer(client)[0], 1);
  uint32_t window = createWindow(client);
  xkbSelect(client, xkb.major, 0x104);  // StateNotify and BellNotify
  client.send(client.request(43, 0));  // the selection is in place once this is answered
  ASSERT_EQ(readAnswer(client)[0], 1);
  ProgramResult shift = runProgram({"xdotool", "key", "shift"}, servers->a->display());
  ASSERT_EQ(shift.status, 0) << shift.err;
  Bytes state = readEvent(client, xkb.firstEvent);
  ASSERT_EQ(state.size(), 32u);
  EXPECT_EQ(state[1], 2);
  EXPECT_NE(client.get32(state, 4), 0u);
  xkbBell(client, xkb.major, window, 0);
  Bytes notify;
  for (int k = 0; k < 5 && (notify.empty() || notify[1] != 8); k++) notify = readEvent(client, xkb.firstEvent);
  ASSERT_EQ(notify.size(), 32u);
  EXPECT_EQ(notify[1], 8);
  EXPECT_EQ(client.get32(notify, 20), window);
}

TEST(XkbLayout, SetOnTheInputServer) {
  TwoServers servers({"extensions", "+XKEYBOARD"});
  ASSERT_TRUE(servers.ok()) << servers.why();
  ProgramResult set = runProgram({"setxkbmap", "-layout", "de"}, servers.proxy->display());
  ASSERT_EQ(set.status, 0) << set.err;
  ProgramResult keys = runProgram({"xmodmap", "-pk"}, servers.a->display());
  EXPECT_TRUE(contains(keys.out, "(ssharp)")) << keys.out;
}

// --- Keyboard maps per client -------------------------------------------------------------------

constexpr uint32_t kQ = 0x71, kUpperQ = 0x51, kA = 0x61, kS = 0x73;

class Keymap : public ::testing::TestWithParam<OrderCase> {
 protected:
  static void SetUpTestSuite() { servers = new TwoServers({"options", "+Keymap"}); }
  static void TearDownTestSuite() {
    delete servers;
    servers = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(servers->ok()) << servers->why();
    ASSERT_TRUE(connect(control, servers->proxy->number(), GetParam().order));
    ASSERT_TRUE(connect(target, servers->proxy->number()));
    keymap = queryExtension(control, "MORVANDELL KEYMAP");
    ASSERT_NE(keymap.major, 0);
  }
  // Keycode `first`, `perKeycode` keysyms, `rows` rows given of `count`.
  Bytes change(uint32_t id, uint8_t first, uint8_t perKeycode, uint8_t count, const std::vector<uint32_t>& keysyms) {
    Bytes body(8 + 4 * keysyms.size());
    control.put32(body, 0, id);
    body[4] = first;
    body[5] = perKeycode;
    body[6] = count;
    for (size_t k = 0; k < keysyms.size(); k++) control.put32(body, 8 + 4 * k, keysyms[k]);
    return control.request(keymap.major, 1, body);
  }
  Bytes idRequest(uint8_t minor, uint32_t id) {
    Bytes body(4);
    control.put32(body, 0, id);
    return control.request(keymap.major, minor, body);
  }
  // GetKeyboardMapping of one keycode: its keysyms, or none after an error.
  static std::vector<uint32_t> mapping(RawClient& client, uint8_t keycode) {
    Bytes body{keycode, 1, 0, 0};
    client.send(client.request(101, 0, body));
    Bytes reply = readAnswer(client);
    std::vector<uint32_t> keysyms;
    if (reply.size() < 32 || reply[0] != 1) return keysyms;
    for (size_t at = 32; at + 4 <= reply.size(); at += 4) keysyms.push_back(client.get32(reply, at));
    return keysyms;
  }

  static TwoServers* servers;
  RawClient control, target;
  ExtensionCodes keymap;
};
TwoServers* Keymap::servers = nullptr;

TEST_P(Keymap, OverrideForOneClient) {
  uint32_t id = target.resourceIdBase();
  control.send(change(id, 38, 2, 1, {kQ, kUpperQ}));
  Bytes notify = readEvent(target, 34);
  ASSERT_EQ(notify.size(), 32u);
  EXPECT_EQ(notify[4], 1);  // keyboard
  EXPECT_EQ(notify[5], 38);
  EXPECT_EQ(notify[6], 1);
  std::vector<uint32_t> row = mapping(target, 38);
  ASSERT_EQ(row.size(), 8u);
  EXPECT_EQ(row[0], kQ);
  EXPECT_EQ(row[1], kUpperQ);
  EXPECT_EQ(row[2], 0u);
  // Every other keycode shows the server's keysyms.
  EXPECT_EQ(mapping(target, 39).at(0), kS);
  EXPECT_EQ(mapping(control, 38).at(0), kA);
  // The control client reads the override in its own byte order.
  Bytes query(8);
  control.put32(query, 0, id);
  query[4] = 38;
  query[5] = 1;
  control.send(control.request(keymap.major, 2, query));
  Bytes reply = readAnswer(control);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(reply[1], 8);
  EXPECT_EQ(control.get32(reply, 32), kQ);
  EXPECT_EQ(control.get32(reply, 36), kUpperQ);
  // A redirect shows the target's map in the control client's next answer only.
  control.send(idRequest(4, id));
  EXPECT_EQ(mapping(control, 38).at(0), kQ);
  EXPECT_EQ(mapping(control, 38).at(0), kA);
  // Deleting tells the target, which then sees the server's map.
  control.send(idRequest(3, id));
  notify = readEvent(target, 34);
  ASSERT_EQ(notify.size(), 32u);
  EXPECT_EQ(notify[5], 8);
  EXPECT_EQ(mapping(target, 38).at(0), kA);
}

TEST_P(Keymap, DefaultReachesNewClients) {
  control.send(change(1, 38, 2, 1, {kQ, kUpperQ}));
  control.send(control.request(43, 0));
  ASSERT_EQ(readAnswer(control)[0], 1);
  ProgramResult keys = runProgram({"xmodmap", "-pk"}, servers->proxy->display());
  control.send(idRequest(3, 1));
  control.send(control.request(43, 0));
  ASSERT_EQ(readAnswer(control)[0], 1);
  size_t line = keys.out.find("\n     38 ");
  ASSERT_NE(line, std::string::npos) << keys.out << keys.err;
  std::string row = keys.out.substr(line + 1, keys.out.find('\n', line + 1) - line - 1);
  EXPECT_TRUE(contains(row, "0x0071 (q)\t0x0051 (Q)")) << row;
  EXPECT_EQ(mapping(control, 38).at(0), kA);
}

struct BadChange {
  const char* name;
  uint8_t perKeycode, count;
  size_t keysyms;
  uint8_t error;
};

TEST_P(Keymap, BadChangesRefused) {
  for (const BadChange& c : {BadChange{"NinePerKeycode", 9, 1, 9, 2}, BadChange{"ShortRequest", 2, 2, 2, 16},
                             BadChange{"BeyondKeycodes", 1, 2, 2, 2}}) {
    SCOPED_TRACE(c.name);
    uint8_t first = c.name[0] == 'B' ? 255 : 38;
    control.send(change(target.resourceIdBase(), first, c.perKeycode, c.count, std::vector<uint32_t>(c.keysyms, kQ)));
    Bytes error = readAnswer(control);
    ASSERT_EQ(error.size(), 32u);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(error[1], c.error);
  }
  EXPECT_EQ(mapping(target, 38).at(0), kA);
}

INSTANTIATE_TEST_SUITE_P(Orders, Keymap, ::testing::Values(OrderCase{"Ours", 'l'}, OrderCase{"Other", 'B'}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace palvon::test

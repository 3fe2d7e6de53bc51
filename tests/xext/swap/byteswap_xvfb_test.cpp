// Special layouts on messages captured from a real X server: one client
// speaks LSB first (our order), the other MSB first, and both send the same
// requests. The foreign reply swapped in must equal ours, ours swapped out
// must equal the foreign one, and swapping back restores it. Requests with
// a special layout are built in both orders from one field list and must be
// accepted by the server in both.

#include "Xext/swap/byteswap.h"

#include "support/byteswap_wire.h"
#include "support/rawclient.h"
#include "support/xvfb.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace palvon::test {
namespace {

using Build = std::function<void(WireWriter&)>;

uint32_t get16(const Wire& w, size_t at) { return w[at] | w[at + 1] << 8; }
uint32_t get32(const Wire& w, size_t at) { return get16(w, at) | get16(w, at + 2) << 16; }

// The resource-id base that builders use for the ids they write.
uint32_t idBase = 0;
uint32_t rid(uint32_t k) { return idBase | k; }

Wire buildRequest(char order, const Build& b) {
  WireWriter w(order);
  b(w);
  w.align4().requestLength();
  return w.bytes;
}

Wire swappedBy(const std::string& layout, Wire w) {
  swapByFormat(layout.c_str(), w.data(), w.data() + w.size());
  return w;
}

// Where two messages first differ, for failure messages.
std::string firstDifference(const Wire& got, const Wire& want) {
  if (got.size() != want.size()) return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
  for (size_t k = 0; k < got.size(); k++) {
    if (got[k] != want[k]) {
      std::string text = "first difference at byte " + std::to_string(k) + " of " + std::to_string(got.size());
      char hex[8];
      for (const Wire* w : {&got, &want}) {
        text += "\n ";
        for (size_t j = k >= 16 ? k - 16 : 0; j < k + 16 && j < w->size(); j++) {
          snprintf(hex, sizeof hex, " %02x", (*w)[j]);
          text += hex;
        }
      }
      return text;
    }
  }
  return "";
}

// In, out and back again.
void expectSpecial(int number, const Wire& native, const Wire& foreign) {
  std::string in = "H" + std::to_string(number), out = "H-" + std::to_string(number);
  EXPECT_EQ(firstDifference(swappedBy(in, foreign), native), "") << in;
  EXPECT_EQ(firstDifference(swappedBy(out, native), foreign), "") << out;
  EXPECT_EQ(firstDifference(swappedBy(in, swappedBy(out, native)), native), "") << "round trip of " << in;
}

// The sequence numbers of the two connections may differ by requests that
// only one of them sent: the foreign copy takes ours.
Wire withSequenceOf(const Wire& native, Wire foreign) {
  foreign[2] = native[3];
  foreign[3] = native[2];
  return foreign;
}

// The X server sends a few 16-bit XKEYBOARD fields in its own order to a
// client of the other order: the virtual-modifier masks of a keyboard map's
// virtual-modifier map and the level-name count of a names reply. Where the
// captured foreign copy holds such a field exactly as ours, it is put into
// the foreign order a correct server would have sent, so that the comparison
// checks our swapping of those fields too.
void fixUnswappedField(const Wire& native, Wire& foreign, size_t at) {
  if (at + 2 <= native.size() && foreign[at] == native[at] && foreign[at + 1] == native[at + 1]) {
    foreign[at] = native[at + 1];
    foreign[at + 1] = native[at];
  }
}
// A keyboard map (reply or sub-reply) at `at`, `length` bytes long.
void fixServerKeyboardMap(const Wire& native, Wire& foreign, size_t at, size_t length) {
  size_t entries = native[at + 36];
  for (size_t k = 0; k < entries; k++) fixUnswappedField(native, foreign, at + length - 4 * (entries - k) + 2);
}
void fixServerKeyboardByName(const Wire& native, Wire& foreign) {
  uint32_t reported = get16(native, 14);
  size_t at = 32;
  for (uint32_t part : {0x0du, 0x02u, 0x10u, 0xa0u, 0x40u}) {
    if (!(reported & part) || at + 8 > native.size()) continue;
    size_t length = 32 + 4 * size_t{get32(native, at + 4)};
    if (part == 0x0d) fixServerKeyboardMap(native, foreign, at, length);
    if (part == 0xa0) fixUnswappedField(native, foreign, at + 26);
    at += length;
  }
}

#define ASK(...) ASSERT_NO_FATAL_FAILURE(ask(__VA_ARGS__))
#define SEND(...) ASSERT_NO_FATAL_FAILURE(sendAccepted(__VA_ARGS__))
#define EXPECT_REQUEST(...) ASSERT_NO_FATAL_FAILURE(expectRequestSpecial(__VA_ARGS__))
#define EXPECT_REQUEST_OUR_ORDER(...) ASSERT_NO_FATAL_FAILURE(expectRequestSpecial(__VA_ARGS__, true))

class Captured : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    xvfb_ = new Xvfb({"-screen", "0", "1024x768x24"});
    if (!xvfb_->ok()) return;
    lsb_ = new RawClient;
    msb_ = new RawClient;
    ready_ = lsb_->connectUnix(xvfb_->number()) && lsb_->setup('l') == 1 &&
             msb_->connectUnix(xvfb_->number()) && msb_->setup('B') == 1;
  }
  static void TearDownTestSuite() {
    delete lsb_;
    delete msb_;
    delete xvfb_;
  }
  void SetUp() override {
    ASSERT_TRUE(ready_) << (xvfb_ ? xvfb_->error() : "no server");
  }

  // Reads until the answer to request `sequence`; events are kept aside,
  // errors of earlier requests are reported.
  static Wire answer(RawClient& c, uint16_t sequence, std::vector<Wire>& events) {
    for (;;) {
      Wire m = c.readMessage(5000);
      if (m.empty()) return m;
      if (m[0] > 1) {
        events.push_back(m);
      } else if (c.get16(m, 2) == sequence) {
        return m;
      } else if (m[0] == 0) {
        ADD_FAILURE() << "error " << int(m[1]) << " on request " << int(m[10]) << "." << c.get16(m, 8);
      }
    }
  }
  static void sendBoth(const Build& b) {
    idBase = lsb_->resourceIdBase();
    ASSERT_TRUE(lsb_->send(buildRequest('l', b)));
    idBase = msb_->resourceIdBase();
    ASSERT_TRUE(msb_->send(buildRequest('B', b)));
    idBase = lsb_->resourceIdBase();
    sequence_++;
  }
  // The same request on both clients; the answer of each, which must be a
  // reply.
  void ask(const Build& b, Wire& native, Wire& foreign) {
    sendBoth(b);
    native = answer(*lsb_, sequence_, lsbEvents_);
    foreign = answer(*msb_, sequence_, msbEvents_);
    ASSERT_FALSE(native.empty() || foreign.empty()) << "no answer";
    ASSERT_EQ(native[0], 1) << "error " << int(native[1]) << " on request " << int(native[10]);
    ASSERT_EQ(foreign[0], 1) << "error " << int(foreign[1]) << " on request " << int(foreign[10]);
  }
  // A request without reply, sent in both orders; a GetInputFocus round
  // trip shows whether the server refused either.
  void sendAccepted(const Build& b) {
    sendBoth(b);
    Wire n, f;
    ask([](WireWriter& w) { w.u8(43).u8(0).u16(1); }, n, f);
  }
  // A request's special layout converts between the two orders, and the
  // server takes it in both. Where the X server mishandles the request from
  // a client of the other order (it leaves parts of the body unswapped), only
  // our order is checked against the server; the other client sends
  // NoOperation to keep the sequence numbers in step.
  void expectRequestSpecial(int number, const Build& b, bool ourOrderOnly = false) {
    expectSpecial(number, buildRequest('l', b), buildRequest('B', b));
    if (!ourOrderOnly) return sendAccepted(b);
    ASSERT_TRUE(lsb_->send(buildRequest('l', b)));
    ASSERT_TRUE(msb_->send(buildRequest('B', [](WireWriter& w) { w.u8(127).u8(0).u16(1); })));
    sequence_++;
    Wire n, f;
    ask([](WireWriter& w) { w.u8(43).u8(0).u16(1); }, n, f);
  }
  uint8_t major(const std::string& name) {
    Wire n, f;
    ask([&](WireWriter& w) { w.u8(98).u8(0).u16(0).u16(static_cast<uint16_t>(name.size())).u16(0).raw(name); }, n, f);
    return n[8] ? n[9] : 0;
  }
  uint32_t root() const { return lsb_->rootWindow(); }

  static Xvfb* xvfb_;
  static RawClient* lsb_;
  static RawClient* msb_;
  static bool ready_;
  static uint16_t sequence_;  // of the last request, the same on both clients
  std::vector<Wire> lsbEvents_, msbEvents_;
};

Xvfb* Captured::xvfb_ = nullptr;
RawClient* Captured::lsb_ = nullptr;
RawClient* Captured::msb_ = nullptr;
bool Captured::ready_ = false;
uint16_t Captured::sequence_ = 0;

// ---- Core ---------------------------------------------------------------------

TEST_F(Captured, ConnectionSetupReply) {
  Wire native = lsb_->setupReply(), foreign = msb_->setupReply();
  ASSERT_EQ(native.size(), foreign.size());
  for (int k = 0; k < 4; k++) foreign[12 + k] = native[15 - k];  // each has its own id base
  expectSpecial(23, native, foreign);
  Wire in = swappedBy("H23", foreign);
  EXPECT_EQ(get16(in, 2), 11u);
  size_t screen = 40 + ((get16(in, 24) + 3) & ~3u) + 8u * in[29];
  EXPECT_EQ(get16(in, screen + 20), 1024u);
  EXPECT_EQ(get16(in, screen + 22), 768u);
}

TEST_F(Captured, HostsFontsPropertiesAndClientMessages) {
  // ListHosts after adding a server-interpreted entry.
  Build addHost = [](WireWriter& w) { w.u8(109).u8(0).u16(0).u8(5).u8(0).u16(14).raw(std::string("localuser\0root", 14)); };
  Build listHosts = [](WireWriter& w) { w.u8(110).u8(0).u16(1); };
  SEND(addHost);
  Wire native, foreign;
  ASK(listHosts, native, foreign);
  expectSpecial(34, native, foreign);
  ASSERT_GE(get16(native, 8), 1u);
  EXPECT_EQ(native[32], 5);  // family of the first entry

  // ListFontsWithInfo (first of its replies) and QueryFont of "fixed".
  ASK([](WireWriter& w) { w.u8(50).u8(0).u16(0).u16(1).u16(5).raw("fixed"); }, native, foreign);
  expectSpecial(35, native, foreign);
  size_t name = 60 + 8 * get16(native, 46);
  EXPECT_EQ(std::string(native.begin() + name, native.begin() + name + native[1]).find("-fixed-"), 5u);
  while (native[1] != 0) {  // the remaining replies, up to the last with no name
    native = answer(*lsb_, sequence_, lsbEvents_);
    foreign = answer(*msb_, sequence_, msbEvents_);
    ASSERT_FALSE(native.empty() || foreign.empty());
  }
  SEND([](WireWriter& w) { w.u8(45).u8(0).u16(0).u32(rid(1)).u16(5).u16(0).raw("fixed"); });
  ASK([](WireWriter& w) { w.u8(47).u8(0).u16(0).u32(rid(1)); }, native, foreign);
  expectSpecial(36, native, foreign);
  uint32_t chars = get32(native, 56);
  EXPECT_EQ(chars, get16(native, 42) - get16(native, 40) + 1u);  // max - min + 1
  EXPECT_EQ(native.size(), 60u + 8 * get16(native, 46) + 12 * chars);

  // A window to hold a property and receive client messages.
  SEND([&](WireWriter& w) {
    w.u8(1).u8(0).u16(0).u32(rid(2)).u32(root()).u16(0).u16(0).u16(10).u16(10).u16(0).u16(1).u32(0).u32(0);
  });
  for (uint8_t format : {8, 16, 32}) {
    EXPECT_REQUEST(24, [format](WireWriter& w) {
      w.u8(18).u8(0).u16(0).u32(rid(2)).u32(39).u32(format == 32 ? 6 : 31).u8(format).pad(3).u32(format == 8 ? 4 : 2);
      if (format == 8) w.raw("abcd");
      if (format == 16) w.u16(0x1234).u16(0x5678);
      if (format == 32) w.u32(0x1020304).u32(0x5060708);
    });
    sendBoth([format](WireWriter& w) {
      w.u8(25).u8(0).u16(0).u32(rid(2)).u32(0).u8(33).u8(format).u16(0).u32(rid(2)).u32(31);
      for (int k = 0; k < 20 / (format / 8); k++) {
        if (format == 8) w.u8(k);
        if (format == 16) w.u16(0x101 * k);
        if (format == 32) w.u32(0x1010101u * k);
      }
    });
    ASK([](WireWriter& w) { w.u8(43).u8(0).u16(1); }, native, foreign);
    ASSERT_FALSE(lsbEvents_.empty() || msbEvents_.empty());
    Wire event = lsbEvents_.back(), theirs = msbEvents_.back();
    for (int k = 0; k < 4; k++) theirs[4 + k] = event[7 - k];  // the window id is per client
    expectSpecial(2, event, withSequenceOf(event, theirs));
    EXPECT_EQ(swappedBy("H2", theirs)[1], format);
  }
}

// ---- XKEYBOARD --------------------------------------------------------------------

TEST_F(Captured, Xkeyboard) {
  uint8_t xkb = major("XKEYBOARD");
  ASSERT_NE(xkb, 0);
  Wire native, foreign;
  ASK([xkb](WireWriter& w) { w.u8(xkb).u8(0).u16(0).u16(1).u16(0); }, native, foreign);

  ASK([xkb](WireWriter& w) { w.u8(xkb).u8(8).u16(0).u16(0x100).u16(0xff).u16(0).pad(8).u16(0).pad(8); }, native, foreign);
  fixServerKeyboardMap(native, foreign, 0, native.size());
  expectSpecial(9, native, foreign);
  EXPECT_EQ(get16(native, 12), 0xffu);  // every part present
  EXPECT_EQ(native[10], 8);             // minimum keycode

  ASK([xkb](WireWriter& w) { w.u8(xkb).u8(17).u16(0).u16(0x100).u16(0).u32(0x3fff); }, native, foreign);
  fixUnswappedField(native, foreign, 26);
  expectSpecial(13, native, foreign);
  uint32_t geometry = get32(native, 36);
  EXPECT_EQ(get32(native, 8) & 0x3u, 0x3u);  // keycodes and geometry names

  ASK([xkb, geometry](WireWriter& w) { w.u8(xkb).u8(19).u16(0).u16(0x100).u16(0).u32(geometry); }, native, foreign);
  expectSpecial(18, native, foreign);
  EXPECT_EQ(get32(native, 8), geometry);
  EXPECT_GT(get16(native, 14), 0u);  // width in millimetres
  EXPECT_GT(get16(native, 22), 0u);  // shapes

  ASK([xkb](WireWriter& w) {
    w.u8(xkb).u8(22).u16(0).u16(0x100).u16(100);
    for (int k = 0; k < 6; k++) w.u8(1).raw("*");
  }, native, foreign);
  expectSpecial(12, native, foreign);
  uint32_t listed = 0;
  for (size_t at = 8; at < 20; at += 2) listed += get16(native, at);
  EXPECT_EQ(native.size() > 32, listed > 0);

  ASK([xkb](WireWriter& w) { w.u8(xkb).u8(24).u16(0).u16(0x100).u16(0x1c).u8(0).u8(0).u8(0).u8(0).u16(0x500).u16(0x600); },
      native, foreign);
  expectSpecial(14, native, foreign);
  EXPECT_GE(get16(native, 14), 1u);  // LED feedbacks

  ASK([xkb](WireWriter& w) {
    w.u8(xkb).u8(23).u16(0).u16(0x100).u16(0).u16(0xff).u8(0).u8(0);
    w.u8(0);
    for (int k = 0; k < 5; k++) w.u8(1).raw("%");
  }, native, foreign);
  fixServerKeyboardByName(native, foreign);
  expectSpecial(11, native, foreign);
  EXPECT_NE(get16(native, 14), 0u);  // parts reported

  // SelectEvents with every detail, then a StateNotify from a locked modifier.
  EXPECT_REQUEST(10, [xkb](WireWriter& w) {
    w.u8(xkb).u8(1).u16(0).u16(0x100).u16(0xffd).u16(0).u16(0).u16(0).u16(0);
    w.u16(7).u16(7).u16(0x3fff).u16(0x3fff).u32(0xf8001fff).u32(0xf8001fff).u32(1).u32(1).u32(1).u32(1);
    w.u16(0x3fff).u16(0x3fff).u8(3).u8(3).pad(2).u8(1).u8(1).pad(2).u8(1).u8(1).pad(2);
    w.u16(0x7f).u16(0x7f).u16(0x801f).u16(0x801f);
  });
  SEND([xkb](WireWriter& w) { w.u8(xkb).u8(5).u16(0).u16(0x100).u8(2).u8(2).u8(0).u8(0).u8(0).u8(0).pad(1).u8(0).u16(0); });
  SEND([xkb](WireWriter& w) { w.u8(xkb).u8(5).u16(0).u16(0x100).u8(2).u8(0).u8(0).u8(0).u8(0).u8(0).pad(1).u8(0).u16(0); });
  ASSERT_FALSE(lsbEvents_.empty() || msbEvents_.empty());
  Wire event = lsbEvents_.front(), theirs = msbEvents_.front();
  EXPECT_EQ(event[1], 2);  // StateNotify
  expectSpecial(8, event, withSequenceOf(event, theirs));

  // Requests with counted bodies, accepted as built.
  EXPECT_REQUEST_OUR_ORDER(17, [xkb](WireWriter& w) {
    w.u8(xkb).u8(9).u16(0).u16(0x100).u16(0x03).u16(0).u8(8).u8(255);
    w.u8(1).u8(1).u8(200).u8(1).u16(1).u8(0).u8(0).u16(0).pad(12).u16(0);
    w.u8(1).u8(1).u16(0).u8(2).u8(1).u8(1).u8(0);  // type 1: shift, two levels
    w.u8(1).u8(1).u16(0);                          // its map entry
    w.u8(0).u8(0).u16(0);                          // its preserve entry
    w.u8(0).u8(0).u8(0).u8(0).u8(1).u8(1).u16(1).u32(0x61);  // keysyms of keycode 200
  });
  EXPECT_REQUEST_OUR_ORDER(16, [xkb](WireWriter& w) {
    w.u8(xkb).u8(18).u16(0).u16(0x100).u16(1).u32(0x3fc0).u8(4).u8(1).u8(0).u8(1).u32(1);
    w.u8(1).u8(1).u8(8).u8(1).u8(1).pad(1).u16(1);
    w.u32(1);                                  // type name
    w.u8(1).pad(3).u32(1);                     // level counts, level names
    w.u32(1).u32(1).u32(1);                    // indicator, virtual modifier, group names
    w.raw("AE01").raw("AB01AE02");             // key names, key aliases
    w.u32(1);                                  // radio group name
  });
  EXPECT_REQUEST_OUR_ORDER(15, [xkb](WireWriter& w) {
    w.u8(xkb).u8(25).u16(0).u16(0x100).u8(0).u8(0).u16(0x0c).u16(1);
    w.u16(0x300).u16(0x400).u32(1).u32(1).u32(0).u32(0);
    w.u32(1);                                                   // the LED's name
    w.u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u16(0).u32(0);        // its map
  });
  EXPECT_REQUEST_OUR_ORDER(19, [xkb](WireWriter& w) {
    w.u8(xkb).u8(20).u16(0).u16(0x100).u8(1).u8(1).u32(1).u16(100).u16(50).u16(1).u16(2).u16(1).u16(0).u8(0).u8(1).pad(2);
    w.u16(5).raw("fixed").pad(1);                         // label font
    w.u16(1).raw("a").pad(1).u16(1).raw("b").pad(1);      // a property
    w.u16(5).raw("black").pad(1).u16(5).raw("white").pad(1);
    w.u32(1).u8(1).u8(0).u8(0).pad(1);                    // a shape with one outline
    w.u8(2).u8(0).pad(2).u16(0).u16(0).u16(180).u16(180);
    w.u32(1).u16(0).u16(0).u16(200).u16(200).u16(0).u8(0).u8(1).u8(0).u8(0).pad(2);  // a section
    w.u16(0).u16(0).u8(1).u8(0).pad(2).raw("AE01").u16(0).u8(0).u8(0);                // one row, one key
    w.u32(1).u8(2).u8(0).u16(0).u16(0).u16(0).u8(0).u8(0).pad(6);                      // a solid doodad
  });
}

// ---- XInputExtension, RANDR, RENDER, XVideo --------------------------------------------

TEST_F(Captured, InputDevices) {
  uint8_t xi = major("XInputExtension");
  ASSERT_NE(xi, 0);
  Wire native, foreign;
  ASK([xi](WireWriter& w) { w.u8(xi).u8(1).u16(0).u16(15).u16(0).raw("XInputExtension"); }, native, foreign);
  ASK([xi](WireWriter& w) { w.u8(xi).u8(2).u16(1); }, native, foreign);
  expectSpecial(3, native, foreign);
  EXPECT_GE(native[8], 2);  // core pointer and keyboard at least
  ASK([xi](WireWriter& w) { w.u8(xi).u8(47).u16(0).u16(2).u16(2); }, native, foreign);
  EXPECT_REQUEST(99, [xi](WireWriter& w) {
    w.u8(xi).u8(43).u16(0).u8(1).pad(3);
    w.u16(1).u16(3).u16(4).u8(1).u8(1).raw("tstm");  // AddMaster
  });
}

TEST_F(Captured, Randr) {
  uint8_t rr = major("RANDR");
  ASSERT_NE(rr, 0);
  Wire native, foreign;
  ASK([rr](WireWriter& w) { w.u8(rr).u8(0).u16(0).u32(1).u32(5); }, native, foreign);
  uint32_t window = root();
  ASK([rr, window](WireWriter& w) { w.u8(rr).u8(8).u16(0).u32(window); }, native, foreign);
  expectSpecial(20, native, foreign);
  ASSERT_GE(get16(native, 16), 1u);
  ASSERT_GE(get16(native, 18), 1u);
  uint32_t crtc = get32(native, 32), output = get32(native, 32 + 4 * get16(native, 16));
  uint32_t stamp = get32(native, 12);
  ASK([rr, output, stamp](WireWriter& w) { w.u8(rr).u8(9).u16(0).u32(output).u32(stamp); }, native, foreign);
  expectSpecial(22, native, foreign);
  EXPECT_EQ(get16(native, 26), 1u);  // the output has one CRTC
  ASK([rr, crtc](WireWriter& w) { w.u8(rr).u8(27).u16(0).u32(crtc); }, native, foreign);
  expectSpecial(21, native, foreign);
  EXPECT_EQ(get32(native, 8), 0x10000u);  // identity transform, 16.16
}

TEST_F(Captured, Render) {
  uint8_t render = major("RENDER");
  ASSERT_NE(render, 0);
  Wire native, foreign;
  ASK([render](WireWriter& w) { w.u8(render).u8(0).u16(0).u32(0).u32(11); }, native, foreign);
  ASK([render](WireWriter& w) { w.u8(render).u8(1).u16(0); }, native, foreign);
  expectSpecial(30, native, foreign);
  // Find the a8 and argb32 formats.
  uint32_t a8 = 0, argb = 0;
  for (uint32_t k = 0; k < get32(native, 8); k++) {
    size_t f = 32 + 28 * k;
    if (native[f + 4] != 1 || get16(native, f + 22) != 0xff) continue;
    if (native[f + 5] == 8) a8 = get32(native, f);
    if (native[f + 5] == 32 && get16(native, f + 10) == 0xff) argb = get32(native, f);
  }
  ASSERT_TRUE(a8 && argb);
  uint32_t window = root();
  SEND([window](WireWriter& w) { w.u8(53).u8(32).u16(0).u32(rid(10)).u32(window).u16(16).u16(16); });
  SEND([render, argb](WireWriter& w) { w.u8(render).u8(4).u16(0).u32(rid(11)).u32(rid(10)).u32(argb).u32(0); });
  SEND([render](WireWriter& w) { w.u8(render).u8(33).u16(0).u32(rid(12)).u16(0xffff).u16(0).u16(0).u16(0xffff); });
  SEND([render, a8](WireWriter& w) { w.u8(render).u8(17).u16(0).u32(rid(13)).u32(a8); });
  EXPECT_REQUEST(25, [render](WireWriter& w) {
    w.u8(render).u8(20).u16(0).u32(rid(13)).u32(2).u32(1).u32(2);
    for (int g = 0; g < 2; g++) w.u16(4).u16(2).u16(0).u16(2).u16(5).u16(0);
    w.pad(16);  // two glyphs of 4 x 2 alpha bytes
  });
  EXPECT_REQUEST_OUR_ORDER(26, [render](WireWriter& w) {
    w.u8(render).u8(30).u16(0).u32(rid(11)).u16(11).u16(0).raw("convolution").pad(1);
    w.u32(3 << 16).u32(3 << 16);
    for (int k = 0; k < 9; k++) w.u32(0x1c71);
  });
  for (uint8_t width : {1, 2, 4}) {
    EXPECT_REQUEST(26 + (width == 1 ? 1 : width == 2 ? 2 : 3), [render, width](WireWriter& w) {
      w.u8(render).u8(width == 1 ? 23 : width == 2 ? 24 : 25).u16(0).u8(3).pad(3);
      w.u32(rid(12)).u32(rid(11)).u32(0).u32(rid(13)).u16(0).u16(0);
      auto glyphs = [&](int count) {
        for (int g = 0; g < count; g++) {
          if (width == 1) w.u8(1 + g % 2);
          if (width == 2) w.u16(1 + g % 2);
          if (width == 4) w.u32(1 + g % 2);
        }
        w.align4();
      };
      w.u8(3).pad(3).u16(2).u16(4);
      glyphs(3);
      w.u8(255).pad(3).u16(0).u16(0).u32(rid(13));  // switch glyph set
      w.u8(1).pad(3).u16(1).u16(1);
      glyphs(1);
    });
  }
}

TEST_F(Captured, XVideoAdaptors) {
  uint8_t xv = major("XVideo");
  if (xv == 0) GTEST_SKIP() << "the server has no XVideo";
  Wire native, foreign;
  uint32_t window = root();
  ASK([xv, window](WireWriter& w) { w.u8(xv).u8(1).u16(0).u32(window); }, native, foreign);
  if (get32(native, 4) == 0) GTEST_SKIP() << "the server offers no XVideo adaptors";
  expectSpecial(6, native, foreign);
}

}  // namespace
}  // namespace palvon::test

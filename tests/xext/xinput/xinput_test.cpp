// Pieces of the input-device modules that need no server: event classes
// renumbered between two numberings, a per-client keyboard map filled from
// a server's keysyms, and the replies whose records steer their swapping.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/dispatch/extensions.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Xext/swap/byteswap.h"
#include "Xext/xinput/keymap.h"
#include "Xext/xinput/xinput.h"
#include "Xext/xinput/xkb.h"
#include "support/byteswap_wire.h"

namespace palvon::test {
namespace {

// --- Event classes ----------------------------------------------------------------------

// The proxy numbers the device events from 66, the server from 65.
ExtensionCodeMap shiftedCodes() {
  ExtensionCodeMap codes{};
  for (u32 k = 0; k < 64; k++) codes.eventToServer[k] = codes.eventFromServer[k] = u8(k);
  for (u32 k = 0; k < 18; k++) {
    codes.eventToServer[66 + k] = u8(65 + k);
    codes.eventFromServer[65 + k] = u8(66 + k);
  }
  return codes;
}

Wire classWords(std::initializer_list<u32> classes) {
  WireWriter w('l');
  for (u32 c : classes) w.u32(c);
  return w.bytes;
}

struct ClassCase {
  const char* name;
  bool toServer;
  Wire input;
  u32 count;
  Wire expected;
};

class EventClasses : public ::testing::TestWithParam<ClassCase> {};

TEST_P(EventClasses, RenumberedWithinTheMessage) {
  const ClassCase& c = GetParam();
  ExtensionCodeMap codes = shiftedCodes();
  Wire bytes = c.input;
  renumberEventClasses(bytes.data(), bytes.data() + bytes.size(), c.count, &codes, c.toServer);
  EXPECT_EQ(bytes, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EventClasses,
    ::testing::Values(
        // Device 5's key press and release, as a client selects them.
        ClassCase{"ToServer", true, classWords({0x543, 0x544}), 2, classWords({0x542, 0x543})},
        ClassCase{"FromServer", false, classWords({0x542, 0x543}), 2, classWords({0x543, 0x544})},
        // A code the map does not know stays; the device byte never moves.
        ClassCase{"UnknownKept", true, classWords({0xff00c8}), 1, classWords({0xff00c8})},
        // A count claiming more than the message holds stops at its end.
        ClassCase{"CountBeyondEnd", true, classWords({0x143}), 5, classWords({0x142})},
        ClassCase{"ZeroCount", true, classWords({0x143}), 0, classWords({0x143})}),
    [](const auto& info) { return info.param.name; });

TEST(EventCodes, SentBitKeptAndNoMapChangesNothing) {
  ExtensionCodeMap codes = shiftedCodes();
  EXPECT_EQ(renumberEventCode(0x80 | 67, &codes, true), 0x80 | 66);
  EXPECT_EQ(renumberEventCode(67, nullptr, true), 67);
}

// --- XKEYBOARD events ----------------------------------------------------------------------------

// An XKB event names an event type and a request major of its server; the
// server numbers XKEYBOARD at 134 and XInput's events from 65, the proxy at
// 135 and from 66.
struct XkbCase {
  const char* name;
  uint8_t sent, type;
  uint8_t typeAt, eventType, majorAt;
  uint8_t expectedType;
};

class XkbEvents : public ::testing::TestWithParam<XkbCase> {
 protected:
  void SetUp() override {
    codes = shiftedCodes();
    codes.majorToServer[135] = 134;
    saved = proxyState.extensions.entries[135].name;
    proxyState.extensions.entries[135].name = "XKEYBOARD";
    link = static_cast<ServerLink*>(std::calloc(1, sizeof(ServerLink) + 8));
    link->server.codes = &codes;
  }
  void TearDown() override {
    proxyState.extensions.entries[135].name = saved;
    std::free(link);
  }
  ExtensionCodeMap codes;
  const char* saved = nullptr;
  ServerLink* link = nullptr;
};

TEST_P(XkbEvents, CodesBecomeTheProxys) {
  const XkbCase& c = GetParam();
  u8 event[32] = {};
  event[0] = u8(c.sent | 85);
  event[1] = c.type;
  if (c.typeAt) event[c.typeAt] = c.eventType;
  event[c.majorAt] = 134;
  translateXkbEvent(event, link);
  if (c.typeAt) {
    EXPECT_EQ(event[c.typeAt], c.expectedType);
  }
  EXPECT_EQ(event[c.majorAt], c.sent ? 134 : 135);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XkbEvents,
    ::testing::Values(XkbCase{"StateNotifyDeviceKey", 0, 2, 29, 66, 30, 67},
                      XkbCase{"StateNotifySentDeviceKey", 0, 2, 29, 0x80 | 66, 30, 0x80 | 67},
                      XkbCase{"StateNotifyCoreKey", 0, 2, 29, 2, 30, 2},
                      XkbCase{"ControlsNotify", 0, 3, 25, 66, 26, 67},
                      XkbCase{"NewKeyboardNotify", 0, 0, 0, 0, 14, 0},
                      XkbCase{"SentEventUntouched", 0x80, 2, 29, 66, 30, 66}),
    [](const auto& info) { return info.param.name; });

// --- Keyboard maps per client ---------------------------------------------------------------

struct Rows {
  u32 rows[256][kKeymapColumns];
  Rows() {
    for (auto& row : rows)
      for (u32& keysym : row) keysym = kKeymapUnset;
  }
};

Wire keysymWords(u32 keycodes, u32 perKeycode, char order) {
  WireWriter w(order);
  for (u32 k = 0; k < keycodes; k++)
    for (u32 c = 0; c < perKeycode; c++) w.u32(0x1000 * (k + 1) + c);
  return w.bytes;
}

TEST(KeymapFill, TakesAtMostEightKeysymsPerKeycode) {
  Rows r;
  Wire keysyms = keysymWords(3, 10, 'l');
  fillKeymapRows(r.rows, 8, 3, keysyms.data(), 30, 10, false);
  for (u32 k = 0; k < 3; k++)
    for (u32 c = 0; c < kKeymapColumns; c++) EXPECT_EQ(r.rows[8 + k][c], 0x1000 * (k + 1) + c) << k << "," << c;
  EXPECT_EQ(r.rows[11][0], kKeymapUnset);
}

TEST(KeymapFill, KeepsSetRowsPadsShortOnesAndStopsAtTheReply) {
  Rows r;
  r.rows[9][0] = 0x71;  // set by a client
  Wire keysyms = keysymWords(3, 2, 'B');
  // The reply holds 5 keysyms for 3 keycodes of 2: the third keycode gets one.
  fillKeymapRows(r.rows, 8, 3, keysyms.data(), 5, 2, true);
  EXPECT_EQ(r.rows[8][0], 0x1000u);
  EXPECT_EQ(r.rows[8][1], 0x1001u);
  EXPECT_EQ(r.rows[8][2], 0u);
  EXPECT_EQ(r.rows[9][0], 0x71u);
  EXPECT_EQ(r.rows[10][0], 0x3000u);
  EXPECT_EQ(r.rows[10][1], 0u);
}

// --- Replies whose records steer their swapping -------------------------------------------------

Wire swappedArriving(const char* layout, Wire bytes) {
  swapArriving(layout, bytes.data(), bytes.data() + bytes.size());
  return bytes;
}

// A feedback list: a pointer, a string with two keysyms and an integer
// feedback, each record sized by its own length field.
void feedbacks(WireWriter& w) {
  w.u8(1).u8(0).u16(0).u32(0).u16(3).pad(22);
  w.u8(1).u8(1).u16(12).u16(0).u16(2).u16(1).u16(4);
  w.u8(2).u8(2).u16(16).u16(2).u16(2).u32(0x61).u32(0x62);
  w.u8(3).u8(3).u16(16).u32(10).u32(0xfffffff0).u32(100);
}

// A device state: keys (bytes), then three valuators.
void deviceState(WireWriter& w) {
  w.u8(1).u8(0).u16(0).u32(0).u8(2).pad(23);
  w.u8(0).u8(36).u8(32).u8(0).pad(32);
  w.u8(2).u8(16).u8(3).u8(0).u32(1).u32(0x20000).u32(0x30000000);
}

struct RecordCase {
  const char* name;
  const char* layout;
  void (*build)(WireWriter&);
};

class RecordReplies : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordReplies, ForeignOrderBecomesOurs) {
  Wire native, foreign;
  bothOrders(GetParam().build, native, foreign);
  EXPECT_EQ(swappedArriving(GetParam().layout, foreign), native);
}

TEST_P(RecordReplies, CutAnywhereStaysInside) {
  Wire native, foreign;
  bothOrders(GetParam().build, native, foreign);
  // Under the address sanitizer a read past a cut message fails the test.
  for (size_t cut = 0; cut < foreign.size(); cut++) {
    Wire part(foreign.begin(), foreign.begin() + long(cut));
    swapArriving(GetParam().layout, part.data(), part.data() + part.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RecordReplies,
                         ::testing::Values(RecordCase{"Feedbacks", "H70", feedbacks},
                                           RecordCase{"DeviceState", "H71", deviceState}),
                         [](const auto& info) { return info.param.name; });

TEST(RecordReplies, ZeroLengthRecordEndsTheWalk) {
  WireWriter w('B');
  w.u8(1).u8(0).u16(0).u32(0).u16(2).pad(22);
  w.u8(1).u8(1).u16(0).pad(8);
  Wire bytes = w.bytes;
  swapArriving("H70", bytes.data(), bytes.data() + bytes.size());
  EXPECT_EQ(bytes[8], 2);  // the header was swapped, and the walk ended
}

}  // namespace
}  // namespace palvon::test

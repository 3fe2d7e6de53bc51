// The layout-string swapper: flat layouts at the message's end, the special
// layouts on hand-built messages (each built in both byte orders from one
// field list, so the expected result is the other order's bytes), and the
// core protocol's layout strings against the field sizes of the protocol
// description.

#include "Proxy/dispatch/rows.h"
#include "Xext/swap/byteswap.h"
#include "Xext/swap/layouts.h"
#include "support/xcbproto.h"

#include "support/byteswap_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace palvon::test {
namespace {

Wire swapped(const char* layout, Wire bytes) {
  swapByFormat(layout, bytes.data(), bytes.data() + bytes.size());
  return bytes;
}

// ---- Flat layouts --------------------------------------------------------------

struct FlatCase {
  const char* name;
  const char* layout;
  Wire input;
  Wire expected;
};

Wire iota(size_t n) {
  Wire w(n);
  for (size_t k = 0; k < n; k++) w[k] = static_cast<uint8_t>(k);
  return w;
}

class FlatLayout : public ::testing::TestWithParam<FlatCase> {};

TEST_P(FlatLayout, SwapsExactlyTheFieldsThatFit) {
  const FlatCase& c = GetParam();
  EXPECT_EQ(swapped(c.layout, c.input), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FlatLayout,
    ::testing::Values(
        // The words at 4 and 8 are swapped; bytes 12 and 13 are no whole word.
        FlatCase{"WordsToTheEnd", "bbsI", iota(14), {0, 1, 3, 2, 7, 6, 5, 4, 11, 10, 9, 8, 12, 13}},
        FlatCase{"FieldCrossingTheEndStops", "bbsii", iota(10), {0, 1, 3, 2, 7, 6, 5, 4, 8, 9}},
        FlatCase{"UnknownLetterIsSkipped", "bxs", iota(4), {0, 2, 1, 3}},
        FlatCase{"SixtyFourBit", "l", iota(9), {7, 6, 5, 4, 3, 2, 1, 0, 8}},
        FlatCase{"ShortWordsToTheEnd", "bS", iota(6), {0, 2, 1, 4, 3, 5}},
        FlatCase{"EmptyGroupEnds", "[]s", iota(4), iota(4)},
        FlatCase{"ByteOnlyGroupEnds", "[b]", iota(4), iota(4)},
        // ChangeProperty needs 24 bytes.
        FlatCase{"ShortChangeProperty", "H24", iota(20), iota(20)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlatLayout, SpecialNumbersWithoutALayoutLeaveTheBytes) {
  for (const char* layout : {"H0", "H31", "H-40", "H98", "H100", "H99999999999"})
    EXPECT_EQ(swapped(layout, iota(40)), iota(40)) << layout;
}

TEST(FlatLayout, RepeatGroupStopsAtTrailingBytes) {
  // StoreColors: header, three 12-byte colour items, then 5 bytes that hold
  // no whole item: the walk takes the item's 32-bit field that still fits and
  // stops quietly at the 16-bit field that does not.
  Wire native, foreign;
  bothOrders(
      [](WireWriter& w) {
        w.u8(89).u8(0).u16(11).u32(0x20000001);
        for (uint32_t k = 0; k < 3; k++) w.u32(0x100 + k).u16(0x1111 * k).u16(0x2222).u16(0x3333).u8(7).u8(0);
        w.u8(1).u8(2).u8(3).u8(4).u8(5);
      },
      native, foreign);
  Wire result = swapped("bbsi[isssbb]", foreign);
  Wire expected = native;
  expected[44] = 4;
  expected[45] = 3;
  expected[46] = 2;
  expected[47] = 1;
  expected[48] = 5;
  EXPECT_EQ(result, expected);
}

TEST(FlatLayout, NullAndEmptyInputsAreIgnored) {
  Wire w = iota(8);
  swapByFormat(nullptr, w.data(), w.data() + 8);
  swapByFormat("I", w.data(), w.data());
  swapByFormat("I", w.data() + 4, w.data());
  swapByFormat("I", nullptr, nullptr);
  EXPECT_EQ(w, iota(8));
}

// ---- Special layouts on hand-built messages --------------------------------------

struct SpecialCase {
  const char* name;
  int number;
  void (*build)(WireWriter&);
};

class SpecialLayout : public ::testing::TestWithParam<SpecialCase> {};

// Arriving (positive) turns the foreign bytes into ours; leaving (negative)
// turns ours into the foreign ones.
TEST_P(SpecialLayout, ConvertsBetweenTheOrders) {
  const SpecialCase& c = GetParam();
  Wire native, foreign;
  bothOrders(c.build, native, foreign);
  std::string arriving = "H" + std::to_string(c.number);
  std::string leaving = "H-" + std::to_string(c.number);
  EXPECT_EQ(swapped(arriving.c_str(), foreign), native);
  EXPECT_EQ(swapped(leaving.c_str(), native), foreign);
}

void glTypedArrays(WireWriter& w) {
  w.u32(2).u32(3).u32(77);            // multiplier, entries, word
  w.u32(0x1402).u32(3).u32(5);        // GL_SHORT, 3 per multiple
  w.u32(0x1406).u32(1).u32(6);        // GL_FLOAT, 1 per multiple
  w.u32(0x1401).u32(3).u32(0);        // GL_UNSIGNED_BYTE, untouched
  for (int k = 0; k < 6; k++) w.u16(0x100 + k);
  w.u32(0x3f800000).u32(0x40000000);
  w.u8(1).u8(2).u8(3).u8(4).u8(5).u8(6).u8(0).u8(0);
}
void countedThenWords(WireWriter& w) { w.u32(5).raw("abcde").u32(0x01020304).u32(0x05060708); }
void countedThenLongs(WireWriter& w) { w.u32(3).raw("xyz").u64(0x0102030405060708ull); }
void renderStream(WireWriter& w) {
  w.u16(12).u16(5).u32(0x11223344).u32(0x55667788);
  w.u16(8).u16(7).u32(0x99aabbcc);
}
void vendorPrivate(WireWriter& w) { w.u8(150).u8(16).u16(5).u32(0x10004).u32(9).u32(0xaabbccdd).u32(1); }
void glValue(WireWriter& w) { w.u32(0x0b21).u32(0x1403).u16(1).u16(2).u16(3).u16(4); }
void glDescribedShort(WireWriter& w) {
  w.u32(1).u32(2).u32(2).u32(2);  // multiplier 2, 2 items
  w.u32(0x140b).u32(3).u32(0).u32(0).raw("....");  // half floats
  w.u32(0x140a).u32(1).u32(0).u32(0).raw("....");  // doubles
  for (int k = 0; k < 6; k++) w.u16(0x3c00 + k);
  w.u64(0x3ff0000000000000ull).u64(0x4000000000000000ull);
}
void glDescribedLong(WireWriter& w) {
  w.u64(0x123456789abcdefull).u32(1).u32(2).u32(3).u32(1).u32(0).u32(1);  // multiplier 1, 1 item
  w.u32(0x1404).u32(2).u32(0).u32(0).raw("....");
  w.u32(0x11111111).u32(0x22222222);
}
void countedWords(WireWriter& w) { w.u32(3).u32(10).u32(20).u32(30); }
void listHosts(WireWriter& w) {
  w.u8(1).u8(1).u16(3).u32(4).u16(2).pad(22);
  w.u8(0).u8(0).u16(4).u8(127).u8(0).u8(0).u8(2);
  w.u8(5).u8(0).u16(9).raw("localuser").pad(3);
}
void xvQueryAdaptors(WireWriter& w) {
  w.u8(1).u8(0).u16(5).u32(8).u16(2).pad(22);
  w.u32(0x40).u16(5).u16(1).u16(2).u8(0x13).u8(0).raw("adapt").pad(3);  // base port, name, ports, formats
  w.u32(0x21).u8(24).pad(3).u32(0x22).u8(32).pad(3);
  w.u32(0x41).u16(3).u16(1).u16(1).u8(0x11).u8(0).raw("two").pad(1);
  w.u32(0x23).u8(24).pad(3);
}
void changeHierarchy(WireWriter& w) {
  w.u8(131).u8(43).u16(10).u8(4).pad(3);
  w.u16(1).u16(3).u16(4).u8(1).u8(1).raw("test");      // AddMaster
  w.u16(2).u16(3).u16(12).u8(1).u8(0).u16(2).u16(3);   // RemoveMaster
  w.u16(3).u16(2).u16(9).u16(2);                       // AttachSlave
  w.u16(4).u16(2).u16(9).u16(0);                       // DetachSlave
}

INSTANTIATE_TEST_SUITE_P(
    HandBuilt, SpecialLayout,
    ::testing::Values(SpecialCase{"GLTypedArrays", 1, glTypedArrays},
                      SpecialCase{"CountedBytesThenWords", 4, countedThenWords},
                      SpecialCase{"CountedBytesThenLongs", 5, countedThenLongs},
                      SpecialCase{"GLXRenderStream", 7, renderStream},
                      SpecialCase{"GLXVendorPrivate", 32, vendorPrivate},
                      SpecialCase{"GLValueByType", 33, glValue},
                      SpecialCase{"GLDescribedArraysShort", 37, glDescribedShort},
                      SpecialCase{"GLDescribedArraysLong", 38, glDescribedLong},
                      SpecialCase{"CountedWords", 39, countedWords},
                      SpecialCase{"ListHosts", 34, listHosts},
                      SpecialCase{"XvQueryAdaptors", 6, xvQueryAdaptors},
                      SpecialCase{"ChangeHierarchy", 99, changeHierarchy}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpecialLayout, ChangeOfLengthZeroEndsTheHierarchyWalk) {
  Wire native, foreign;
  bothOrders(
      [](WireWriter& w) {
        w.u8(131).u8(43).u16(6).u8(2).pad(3);
        w.u16(3).u16(0).u16(9).u16(2);  // length 0
        w.u16(4).u16(2).u16(9).u16(0);
      },
      native, foreign);
  Wire result = swapped("H99", foreign);
  // Header and the zero-length change's type and length are ours; nothing
  // after them was touched.
  EXPECT_EQ(Wire(result.begin(), result.begin() + 12), Wire(native.begin(), native.begin() + 12));
  EXPECT_EQ(Wire(result.begin() + 12, result.end()), Wire(foreign.begin() + 12, foreign.end()));
}

TEST(SpecialLayout, HandCheckedValues) {
  // ListHosts leaving: the address length is read before it is swapped, so
  // the second entry is found at 32 + 4 + 4.
  Wire native, foreign;
  bothOrders(listHosts, native, foreign);
  Wire out = swapped("H-34", native);
  EXPECT_EQ(out[8], 0);
  EXPECT_EQ(out[9], 2);   // host count, MSB first
  EXPECT_EQ(out[42], 0);
  EXPECT_EQ(out[43], 9);  // second address length
  // A render stream after an 8-byte header: "bbsiH7" hands the bytes from 8.
  Wire glx(8 + 8, 0);
  glx[8] = 0;
  glx[9] = 8;  // command length 8, MSB first
  glx[11] = 1;
  glx[12] = 1;
  swapByFormat("bbsiH7", glx.data(), glx.data() + glx.size());
  EXPECT_EQ(glx[8], 8);
  EXPECT_EQ(glx[10], 1);
  EXPECT_EQ(glx[15], 1);
}

// ---- The helpers the special layouts share -----------------------------------

TEST(SwapHelpers, SwapWhatFitsAndReportFullSizes) {
  // A text doodad: its fixed part, then the text and the font as counted
  // strings. Arriving, each string's length is read after its swap.
  Wire native, foreign;
  bothOrders(
      [](WireWriter& w) {
        w.u32(0x41).u8(3).u8(1).u16(10).u16(20).u16(90).u16(30).u16(8).u8(2).pad(3);
        w.u16(3).raw("abc").pad(3).u16(4).raw("sans");
      },
      native, foreign);
  Wire in = foreign;
  u8* after = swapKindRecord(in.data(), in.data() + in.size(), true);
  EXPECT_EQ(in, native);
  EXPECT_EQ(after, in.data() + in.size());
  Wire out = native;
  swapKindRecord(out.data(), out.data() + out.size(), false);
  EXPECT_EQ(out, foreign);

  // Arrays cut at the end still give their full size.
  Wire words = iota(10);
  EXPECT_EQ(swapArray32(5, words.data(), words.data() + words.size()), 20u);
  EXPECT_EQ(words, (Wire{3, 2, 1, 0, 7, 6, 5, 4, 8, 9}));
  EXPECT_EQ(swapArray16(2, words.data() + 8, words.data() + 10), 4u);
  EXPECT_EQ(words[8], 9);
  EXPECT_EQ(swapArray64(1, words.data(), words.data() + 7), 8u);
  EXPECT_EQ(words[0], 3);  // did not fit: untouched
  EXPECT_EQ(swap32InPlace(words.data() + 8, words.data() + 10), 4u);
  EXPECT_EQ(words[8], 9);

  // Records, each its own end: the third does not fit whole.
  Wire records = iota(10);
  u8* next = swapRecordArray(records.data(), records.data() + records.size(), 3, 4, "si");
  EXPECT_EQ(records, (Wire{1, 0, 2, 3, 5, 4, 6, 7, 9, 8}));
  EXPECT_EQ(next, records.data() + records.size());
  Wire counted = foreign;
  EXPECT_EQ(swapCountedString(counted.data() + 20, counted.data() + counted.size(), true), 8u);
}

// ---- Core layout strings against the protocol description --------------------------

// Runs the layout over the fixed part only, as a message arriving from a peer
// of the other order, and checks every field of the description: 1-byte
// fields stay, wider ones are reversed in place. Pads may be swapped or not;
// a union (ClientMessage data) is data whose swapping its format decides.
// `set` gives bytes that steer a special layout or a chooser (a format, an
// event code) their value.
void expectLayoutMatches(const std::string& what, const char* layout, const FixedPart& m,
                         const std::map<size_t, uint8_t>& set = {}) {
  Wire bytes(m.size);
  for (size_t k = 0; k < bytes.size(); k++) bytes[k] = static_cast<uint8_t>(k + 1);
  for (const auto& [at, value] : set)
    if (at < bytes.size()) bytes[at] = value;
  Wire original = bytes;
  swapArriving(layout, bytes.data(), bytes.data() + bytes.size());
  for (const Field& f : m.fields) {
    if (f.width > 8) continue;
    bool reversed = true;
    for (uint32_t b = 0; b < f.width; b++) reversed &= bytes[f.offset + b] == original[f.offset + f.width - 1 - b];
    EXPECT_TRUE(reversed) << what << " layout \"" << layout << "\": field at " << f.offset << " of width "
                          << f.width << " not swapped as such";
  }
}

// Byte values under which a row's layout is walked: a chooser or a special
// layout sees each of the formats its message can carry.
std::vector<std::map<size_t, uint8_t>> steeringBytes(LayoutString layout, bool chooser, size_t formatAt) {
  if (!chooser && !std::strchr(layout, 'H')) return {{}};
  return {{{formatAt, 8}}, {{formatAt, 16}}, {{formatAt, 32}}};
}

// Every core request row against its request in the protocol description:
// name, request layout, whether it has a reply, and the reply's layout.
TEST(CoreRows, MatchTheProtocolDescription) {
  Protocol xproto({"/usr/share/xcb/xproto.xml"});
  ASSERT_TRUE(xproto.ok());
  ASSERT_EQ(xproto.requests().size(), 120u);
  u32 walked = 0;
  for (u32 t = 0; t < kCoreRequestTableCount; t++) {
    for (u32 k = 0; k < kCoreRequestTables[t]->count; k++) {
      const RequestRow& row = kCoreRequestTables[t]->rows[k];
      auto found = xproto.requests().find(row.opcode);
      if (found == xproto.requests().end()) {
        EXPECT_STREQ(row.name, "InvalidRequest") << row.opcode;
        continue;
      }
      walked++;
      size_t at = found->second;
      std::string what = std::string(row.name) + " (" + std::to_string(row.opcode) + ")";
      EXPECT_EQ(xproto.name(at), row.name) << what;
      // ChangeProperty's format is at 16; SendEvent's event code at 12.
      size_t steer = row.opcode == 18 ? 16 : 12;
      for (const auto& set : steeringBytes(row.requestLayout, row.requestLayoutOf != nullptr, steer)) {
        Wire probe(64, 0);
        for (const auto& [byte, value] : set) probe[byte] = value;
        LayoutString layout = row.requestLayoutOf ? row.requestLayoutOf(probe.data(), 64) : row.requestLayout;
        expectLayoutMatches("request " + what, layout, xproto.request(at), set);
      }
      bool hasReply = (row.replyLayout && row.replyLayout[0]) || row.replyLayoutOf;
      EXPECT_EQ(xproto.hasReply(at), hasReply) << what;
      if (!xproto.hasReply(at)) continue;
      // A reply's format is its byte 1.
      for (const auto& set : steeringBytes(row.replyLayout, row.replyLayoutOf != nullptr, 1)) {
        Wire probe(64, 0);
        for (const auto& [byte, value] : set) probe[byte] = value;
        LayoutString layout = row.replyLayoutOf ? row.replyLayoutOf(probe.data(), 64) : row.replyLayout;
        expectLayoutMatches("reply " + what, layout, xproto.reply(at), set);
      }
    }
  }
  EXPECT_EQ(walked, 120u);
  EXPECT_EQ(checkCoreRows(), nullptr);
}

TEST(CoreRows, EventsMatchTheProtocolDescription) {
  Protocol xproto({"/usr/share/xcb/xproto.xml"});
  ASSERT_TRUE(xproto.ok());
  u32 walked = 0;
  for (u32 k = 0; k < kCoreEventRowCount; k++) {
    const EventRow& row = kCoreEventRows[k];
    auto found = xproto.events().find(row.code);
    ASSERT_NE(found, xproto.events().end()) << row.name;
    walked++;
    std::string what = std::string(row.name) + " (" + std::to_string(row.code) + ")";
    // The description spells two event names its own way.
    std::string name = xproto.eventName(row.code);
    if (name == "GraphicsExposure") name = "GraphicsExpose";
    if (name == "NoExposure") name = "NoExpose";
    EXPECT_EQ(name, row.name) << what;
    for (const auto& set : steeringBytes(row.layout, false, 1))
      expectLayoutMatches("event " + what, row.layout, xproto.event(found->second), set);
  }
  EXPECT_EQ(walked, 33u);
  EXPECT_EQ(xproto.events().size(), 34u);  // 2 to 35 (GenericEvent 35 is routed by its extension)
}

// XKEYBOARD events share one event code; the kind in byte 1 selects the layout.
TEST(CoreLayouts, KeyboardEventsMatchTheProtocolDescription) {
  Protocol xkb({"/usr/share/xcb/xproto.xml", "/usr/share/xcb/xkb.xml"});
  ASSERT_EQ(xkb.events().size(), 12u);
  for (const auto& [kind, at] : xkb.events()) {
    expectLayoutMatches("keyboard event " + std::to_string(kind), "H8", xkb.event(at), {{1, static_cast<uint8_t>(kind)}});
  }
}

}  // namespace
}  // namespace palvon::test

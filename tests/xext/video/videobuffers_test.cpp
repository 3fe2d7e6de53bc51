// The pure rules of the buffer and video modules: which adaptor of a head
// serves a virtual port range, how a port becomes a head's own, which
// visual entries of a buffer-info reply survive, and how long an alarm's
// value list is.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Xext/buffers/multibuf.h"
#include "Xext/small/sync.h"
#include "Xext/video/ports.h"

namespace palvon {
namespace {

// --- Adaptor matching -------------------------------------------------------------------

struct MatchCase {
  const char* what;
  u8 type;
  std::vector<XvAdaptorFacts> adaptors;
  u32 base;
};

class AdaptorMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(AdaptorMatch, FirstAdaptorWithEveryTypeBit) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(matchAdaptorBase(c.type, c.adaptors.data(), static_cast<u32>(c.adaptors.size())), c.base);
}

INSTANTIATE_TEST_SUITE_P(
    Video, AdaptorMatch,
    ::testing::Values(MatchCase{"none", 0x11, {}, 0}, MatchCase{"exact", 0x11, {{0x60, 2, 0x11}}, 0x60},
                      MatchCase{"more bits serve", 0x11, {{0x60, 2, 0x13}}, 0x60},
                      MatchCase{"fewer bits do not", 0x11, {{0x60, 2, 0x10}, {0x70, 1, 0x11}}, 0x70},
                      MatchCase{"first of two", 0x02, {{0x80, 1, 0x02}, {0x90, 1, 0x02}}, 0x80}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return name;
    });

// --- Ports of a range ----------------------------------------------------------------------

TEST(PortRanges, PortsBecomeEachHeadsOwnInsideTheRangeOnly) {
  MetaScreen screen{};
  Head colour{}, second{};
  second.numberInScreen = 1;
  XvPortRange* range = addXvPortRange(&screen, 0, 0x40, 2, 0x11);
  ASSERT_NE(range, nullptr);
  range->base[0] = 0x40;
  range->base[1] = 0x60;
  EXPECT_EQ(findXvPortRange(0x3f), nullptr);
  EXPECT_EQ(findXvPortRange(0x40), range);
  EXPECT_EQ(findXvPortRange(0x41), range);
  EXPECT_EQ(findXvPortRange(0x42), nullptr) << "one past the last port";
  EXPECT_EQ(xvPort2server(0x41, &second), 0x61u);
  EXPECT_EQ(xvPort2server(0x41, &colour), 0x41u);
  EXPECT_EQ(xvPort2server(0x42, &second), 0x42u) << "a port in no range stays";
  // A head the range has no adaptor for keeps the port rather than
  // naming port 1 of nothing.
  Head third{};
  third.numberInScreen = 2;
  EXPECT_EQ(xvPort2server(0x41, &third), 0x41u);
  freeXvPortRanges();
  EXPECT_EQ(findXvPortRange(0x40), nullptr);
}

// --- Buffer info entries ---------------------------------------------------------------------

// Visuals 0x21 and 0x23 exist on the meta screen as 0x121 and 0x123.
u32 mapVisual(u32 visual, void*) { return visual == 0x21 || visual == 0x23 ? visual + 0x100 : 0; }

TEST(BufferInfo, UnknownVisualsAreDroppedAndTheRestMoveUp) {
  std::vector<u8> entries(8 * 3, 0);
  u32 visuals[] = {0x21, 0x22, 0x23};
  for (u32 k = 0; k < 3; k++) {
    put32(entries.data() + 8 * k, visuals[k]);
    put16(entries.data() + 8 * k + 4, static_cast<u16>(k + 2));  // maximum buffers
    entries[8 * k + 6] = 24;
  }
  EXPECT_EQ(mapBufferInfoEntries(entries.data(), 3, mapVisual, nullptr), 2u);
  EXPECT_EQ(get32(entries.data()), 0x121u);
  EXPECT_EQ(get16(entries.data() + 4), 2u);
  EXPECT_EQ(get32(entries.data() + 8), 0x123u);
  EXPECT_EQ(get16(entries.data() + 12), 4u) << "the third entry's fields moved with it";
  EXPECT_EQ(mapBufferInfoEntries(entries.data(), 0, mapVisual, nullptr), 0u);
}

// --- Alarm value lists ---------------------------------------------------------------------

struct AlarmCase {
  u32 mask;
  u32 bytes;
};

class AlarmValues : public ::testing::TestWithParam<AlarmCase> {};

TEST_P(AlarmValues, OneWordPerBitTwoForValueAndDelta) {
  EXPECT_EQ(syncAlarmValueBytes(GetParam().mask), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Sync, AlarmValues,
                         ::testing::Values(AlarmCase{0, 0}, AlarmCase{0x1, 4}, AlarmCase{0x4, 8}, AlarmCase{0x10, 8},
                                           AlarmCase{0x3f, 32}, AlarmCase{0x25, 16}));

}  // namespace
}  // namespace palvon

// The byte-swap layouts of the RANDR messages whose shape depends on their
// content: transform parameters after a filter name of any length, and
// RRNotify, whose fields follow its sub-code.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Xext/swap/byteswap.h"
#include "base/strings.h"

namespace palvon {
namespace {

using Bytes = std::vector<u8>;

void put16(Bytes& b, size_t at, u16 v) { std::memcpy(b.data() + at, &v, 2); }
void put32(Bytes& b, size_t at, u32 v) { std::memcpy(b.data() + at, &v, 4); }
u32 bigEndian32(const Bytes& b, size_t at) {
  return u32(b[at]) << 24 | u32(b[at + 1]) << 16 | u32(b[at + 2]) << 8 | b[at + 3];
}
u16 bigEndian16(const Bytes& b, size_t at) { return u16(b[at] << 8 | b[at + 1]); }

TEST(RandrLayouts, TransformParametersFollowTheFilterName) {
  for (u16 nameLength : {0, 3, 8}) {
    u32 padded = (nameLength + 3u) & ~3u;
    Bytes request(48 + padded + 8, 0);
    put32(request, 4, 0x11223344);
    put16(request, 44, nameLength);
    for (u16 k = 0; k < nameLength; k++) request[48 + k] = u8('a' + k);
    put32(request, 48 + padded, 0x00010000);
    put32(request, 48 + padded + 4, 0xdeadbeef);
    Bytes original = request;
    swapLeaving("H60", request.data(), request.data() + request.size());
    EXPECT_EQ(bigEndian32(request, 4), 0x11223344u);
    EXPECT_EQ(bigEndian16(request, 44), nameLength);
    for (u16 k = 0; k < nameLength; k++) EXPECT_EQ(request[48 + k], 'a' + k);
    EXPECT_EQ(bigEndian32(request, 48 + padded), 0x00010000u) << nameLength;
    EXPECT_EQ(bigEndian32(request, 48 + padded + 4), 0xdeadbeefu) << nameLength;
    swapArriving("H60", request.data(), request.data() + request.size());
    EXPECT_EQ(request, original);
  }
}

struct NotifyCase {
  u8 subCode;
  std::vector<size_t> words, halves;  // offsets swapped as 32- and 16-bit fields
};

class RandrNotifyLayout : public testing::TestWithParam<NotifyCase> {};

TEST_P(RandrNotifyLayout, FieldsFollowTheSubCode) {
  const NotifyCase& c = GetParam();
  Bytes event(32, 0);
  event[0] = 90;
  event[1] = c.subCode;
  for (size_t at : c.words) put32(event, at, 0x01020304u + u32(at));
  for (size_t at : c.halves) put16(event, at, u16(0x0506 + at));
  Bytes original = event;
  swapLeaving("H61", event.data(), event.data() + event.size());
  EXPECT_EQ(event[1], c.subCode);
  for (size_t at : c.words) EXPECT_EQ(bigEndian32(event, at), 0x01020304u + u32(at)) << at;
  for (size_t at : c.halves) EXPECT_EQ(bigEndian16(event, at), u16(0x0506 + at)) << at;
  swapArriving("H61", event.data(), event.data() + event.size());
  EXPECT_EQ(event, original);
}

INSTANTIATE_TEST_SUITE_P(SubCodes, RandrNotifyLayout,
                         testing::Values(NotifyCase{0, {4, 8, 12, 16}, {20, 24, 26, 28, 30}},
                                         NotifyCase{1, {4, 8, 12, 16, 20, 24}, {28}},
                                         NotifyCase{2, {4, 8, 12, 16}, {}}));

}  // namespace
}  // namespace palvon

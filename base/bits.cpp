#include "base/bits.h"

namespace palvon {

u32 highestBit(u32 x) { return x ? 1u << (31 - __builtin_clz(x)) : 0; }

u32 bitsNeeded(u32 n) {
  if (n == 0) return 0;
  if (n <= 2) return 1;
  return static_cast<u32>(32 - __builtin_clz(n - 1));
}

u32 bitsBelow(u32 mask, u32 bit) { return bitCount(mask & (bit - 1)); }

u32 trailingZeros(u32 x) { return x ? static_cast<u32>(__builtin_ctz(x)) : 32; }

int maskContiguous(u32 x) {
  if (x == 0) return 0;
  u32 shifted = x >> trailingZeros(x);
  return (shifted & (shifted + 1)) == 0;
}

namespace {

bool bitGet(const u8* bits, u32 i) { return (bits[i / 8] >> (i % 8)) & 1; }

void bitSet(u8* bits, u32 i, bool on) {
  u8 weight = static_cast<u8>(1u << (i % 8));
  bits[i / 8] = on ? static_cast<u8>(bits[i / 8] | weight) : static_cast<u8>(bits[i / 8] & ~weight);
}

}  // namespace

void bitarrayShift(u8* bits, u32 n, i32 k) {
  if (k == 0 || n == 0) return;
  u64 distance = k > 0 ? static_cast<u64>(k) : static_cast<u64>(-static_cast<i64>(k));
  u32 d = distance > n ? n : static_cast<u32>(distance);
  if (k > 0) {
    for (u32 i = n; i-- > d;) bitSet(bits, i, bitGet(bits, i - d));
    for (u32 i = 0; i < d; i++) bitSet(bits, i, false);
  } else {
    for (u32 i = 0; i + d < n; i++) bitSet(bits, i, bitGet(bits, i + d));
    for (u32 i = n - d; i < n; i++) bitSet(bits, i, false);
  }
}

}  // namespace palvon

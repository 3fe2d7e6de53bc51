// Bit helpers for visual masks, pixel formats and bit arrays (32-bit values).
#pragma once

#include "base/strings.h"

namespace palvon {

// Inline and without a call: the build targets plain x86-64, where the
// builtin calls into libgcc, and request sizes and value lists count bits
// for every request.
inline u32 bitCount(u32 x) {
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0fu;
  return (x * 0x01010101u) >> 24;
}
u32 highestBit(u32 x);               // only the highest set bit kept; 0 for 0
// Binary digits of n - 1, at least 1; 0 for n = 0 (so 1 and 2 need 1 bit,
// 3 and 4 need 2, 5 to 8 need 3).
u32 bitsNeeded(u32 n);
u32 bitsBelow(u32 mask, u32 bit);    // set mask bits below the single bit
u32 trailingZeros(u32 x);            // 32 for 0
int maskContiguous(u32 x);           // one unbroken run of set bits; 0 for 0
// Shifts an array of n bits (bit i in byte i / 8 at weight 1 << (i % 8)) by
// k places: k > 0 towards higher indexes, clearing the k lowest bits; k < 0
// towards lower indexes, clearing the -k highest. Bits beyond n are kept.
void bitarrayShift(u8* bits, u32 n, i32 k);

}  // namespace palvon

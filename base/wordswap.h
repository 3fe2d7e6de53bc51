// Plain in-place swaps of 16-, 24- and 32-bit words, for data whose layout is
// uniform (pixel rows, metric arrays), and the one reader and writer of a
// single field in a peer's byte order. Structured messages are swapped by
// their layout strings instead.
#pragma once

#include <cstddef>
#include <cstring>

#include "base/strings.h"

namespace palvon {

// count words starting at data; data need not be aligned.
inline void swapWords16(void* data, size_t count) {
  u8* p = static_cast<u8*>(data);
  for (size_t i = 0; i < count; i++, p += 2) {
    u8 t = p[0];
    p[0] = p[1];
    p[1] = t;
  }
}

inline void swapWords24(void* data, size_t count) {
  u8* p = static_cast<u8*>(data);
  for (size_t i = 0; i < count; i++, p += 3) {
    u8 t = p[0];
    p[0] = p[2];
    p[2] = t;
  }
}

inline void swapWords32(void* data, size_t count) {
  u8* p = static_cast<u8*>(data);
  for (size_t i = 0; i < count; i++, p += 4) {
    u8 t0 = p[0], t1 = p[1];
    p[0] = p[3];
    p[1] = p[2];
    p[2] = t1;
    p[3] = t0;
  }
}

// A field at p (unaligned) in the proxy's own byte order, or in the other
// order when `foreign` is set: the peer's order differs from ours.
inline u16 loadU16(const u8* p, bool foreign = false) {
  u16 v;
  std::memcpy(&v, p, 2);
  return foreign ? __builtin_bswap16(v) : v;
}
inline u32 loadU32(const u8* p, bool foreign = false) {
  u32 v;
  std::memcpy(&v, p, 4);
  return foreign ? __builtin_bswap32(v) : v;
}
inline void storeU16(u8* p, u16 v, bool foreign = false) {
  if (foreign) v = __builtin_bswap16(v);
  std::memcpy(p, &v, 2);
}
inline void storeU32(u8* p, u32 v, bool foreign = false) {
  if (foreign) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

}  // namespace palvon

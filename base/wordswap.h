// Plain in-place swaps of 16-, 24- and 32-bit words, for data whose layout is
// uniform (pixel rows, metric arrays). Structured messages are swapped by
// their layout strings instead.
#pragma once

#include <cstddef>

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

}  // namespace palvon

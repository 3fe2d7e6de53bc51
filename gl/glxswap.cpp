#include "gl/glxswap.h"

#include <utility>

namespace palvon {

static void swapWordsFrom(u8* p, const u8* end) {
  for (; end - p >= 4; p += 4) {
    u32 v;
    __builtin_memcpy(&v, p, 4);
    v = __builtin_bswap32(v);
    __builtin_memcpy(p, &v, 4);
  }
}

// The proxy offers no GLX, so no vendor command has a layout of its own:
// every word of the body is taken as a 32-bit value.
void glxSwapVendorCommand(u32 vendorCode, u8* body, const u8* end) {
  (void)vendorCode;
  if (!body || end <= body) return;
  swapWordsFrom(body, end);
}

void swapGLXRenderStream(u8* stream, u64 length, bool positive) {
  if (!stream) return;
  u64 off = 0;
  while (length - off >= 4) {
    u8* command = stream + off;
    if (positive) std::swap(command[0], command[1]);
    u16 commandLength;
    __builtin_memcpy(&commandLength, command, 2);
    if (!positive) std::swap(command[0], command[1]);
    std::swap(command[2], command[3]);
    if (commandLength < 4) return;
    u64 end = off + commandLength < length ? off + commandLength : length;
    swapWordsFrom(stream + off + 4, stream + end);
    off += commandLength;
    if (off >= length) return;
  }
}

}  // namespace palvon

#include "gl/glxswap.h"

namespace palvon {

// The proxy offers no GLX, so no vendor command has a layout of its own:
// every word of the body is taken as a 32-bit value.
void glxSwapVendorCommand(u32 vendorCode, u8* body, const u8* end) {
  (void)vendorCode;
  if (!body || end <= body) return;
  for (u8* p = body; end - p >= 4; p += 4) {
    u32 v;
    __builtin_memcpy(&v, p, 4);
    v = __builtin_bswap32(v);
    __builtin_memcpy(p, &v, 4);
  }
}

}  // namespace palvon

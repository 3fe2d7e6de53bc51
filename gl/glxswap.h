// Byte swapping of GLX vendor-private commands.
#pragma once

#include "base/strings.h"

namespace palvon {

// Swaps the body of one vendor-private command (the bytes after its 12-byte
// header, up to end) as 32-bit words; no byte at or after end is touched.
void glxSwapVendorCommand(u32 vendorCode, u8* body, const u8* end);

}  // namespace palvon

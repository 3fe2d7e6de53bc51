// Byte swapping of GLX command streams: render commands and vendor-private
// commands. Used by the layout-string swapper's special layouts; nothing
// here touches a byte at or after the end it is given.
#pragma once

#include "base/strings.h"

namespace palvon {

// Swaps the body of one vendor-private command (the bytes after its 12-byte
// header, up to end) as 32-bit words.
void glxSwapVendorCommand(u32 vendorCode, u8* body, const u8* end);

// Swaps a GLX render stream command by command: each command's 16-bit
// length and opcode, then the rest of the command as 32-bit words. The
// length is read after swapping when positive (arriving), before when
// negative. A command shorter than its 4-byte header ends the walk.
void swapGLXRenderStream(u8* stream, u64 length, bool positive);

}  // namespace palvon

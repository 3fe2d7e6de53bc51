// Small helpers for X messages in the proxy's own byte order, shared by the
// request writers and the messages the proxy composes.
#pragma once

#include <X11/Xlib.h>

#include "base/bits.h"
#include "base/strings.h"
#include "base/wordswap.h"

namespace palvon {

// Fields in the proxy's own order (loadU16 and its kin read either order).
inline void put16(u8* p, u16 value) { storeU16(p, value); }
inline void put32(u8* p, u32 value) { storeU32(p, value); }
inline u16 get16(const u8* p) { return loadU16(p); }
inline u32 get32(const u8* p) { return loadU32(p); }
inline u32 pad4(u32 n) { return (n + 3) & ~3u; }

// The values of an Xlib attribute or GC record for the set bits of a value
// mask, one 32-bit word each in bit order; returns the number written.
u32 packWindowAttributes(u32 mask, const XSetWindowAttributes* attributes, u32* out);
u32 packGCValues(u32 mask, const XGCValues* values, u32* out);

}  // namespace palvon

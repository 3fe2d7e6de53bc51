// Extension requests the proxy writes itself on its own Display
// connections, with their replies read through the failsafe layer.
//
// A raw request only fills Xlib's output buffer: rawBegin flushes pending
// output through the failsafe layer first, so that the requests written
// after it (each at most a few KiB) never make Xlib write to a connection
// outside a wrapper. rawReply reads the reply through XfsReply; Xlib holds
// the whole reply in memory once it returns, so the reply data that follow
// are copied without touching the connection again. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

// The 32 bytes every reply starts with, and its data (owned, freed by
// rawReplyFree; null when the reply has none).
struct RawReply {
  u8 header[32];
  u8* data;
  u64 size;  // bytes of data
  u32 word(u32 offset) const;  // a 32-bit field of the header
};

// The extension's major opcode (0 when the server lacks it or is offline).
u8 rawExtensionOpcode(Display* display, const char* name);

// Flushes pending output; false when the display is offline.
bool rawBegin(Display* display);
// Appends a request of `bytes` (a multiple of 4, at most 16 KiB) with the
// major and minor opcode filled in and the rest zeroed; returns the request
// to fill, null when the display is offline.
u8* rawRequest(Display* display, u8 major, u8 minor, u32 bytes);
// Reads the reply to the last request; false for an error, a missing reply
// or a broken connection (reply then holds no data).
bool rawReply(Display* display, RawReply* reply);
void rawReplyFree(RawReply* reply);
// Sends what rawRequest wrote without waiting for anything.
void rawFlush(Display* display);

inline void rawPut32(u8* request, u32 offset, u32 value) {
  __builtin_memcpy(request + offset, &value, 4);
}

}  // namespace palvon

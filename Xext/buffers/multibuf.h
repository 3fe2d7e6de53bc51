// Multi-Buffering: image buffers of windows on every head, forwarded with
// ids translated; replies and events come from the screen's colour head.
// Its request writers also carry DOUBLE-BUFFER on emulating displays.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct RequestWriter;

// Registers "Multi-Buffering" (2 events, 1 error); refused under option
// DynamicServer. Null or the refusal text.
const char* initMultiBufferExtension(ExtensionEntry* entry);

// The major opcode of the Multi-Buffering requests the proxy writes itself:
// the proxy's own while the extension is offered, else the one the
// DOUBLE-BUFFER emulation found (0: none).
u8 proxyMbufMajor();
void setEmulationMbufMajor(u8 major);

// The proxy's own requests, ids already translated for the writer's peer;
// 0 when the request cannot be reserved.
int requestMbufCreateImageBuffers(RequestWriter* writer, u32 window, u8 updateAction, u8 updateHint, u32 first,
                                  u32 second);
int requestMbufDestroyImageBuffers(RequestWriter* writer, u32 window);
int requestMbufDisplayImageBuffers(RequestWriter* writer, u32 buffer);

// Writes one MbufCreateImageBuffers per window with buffers (on the head's
// screen, ids translated; every window with no head). 1, or 0 when a
// request cannot be written.
int copyMultiBuffersToDisplay(RequestWriter* writer, const Head* head);

// Frees every image buffer of a window.
void freeWindowMultiBuffers(u32 window);

// The visual entries of a GetBufferInfo reply from byte 32 (8 bytes each:
// visual, maximum buffers, depth, pad), with `count` entries: each visual
// becomes the meta screen's visual through `map` (0: none, the entry is
// dropped). The kept entries move up; gives their number.
u32 mapBufferInfoEntries(u8* entries, u32 count, u32 (*map)(u32 visual, void* argument), void* argument);

}  // namespace palvon

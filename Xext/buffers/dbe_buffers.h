// The back-buffer names of DOUBLE-BUFFER and how they reach each display:
// the records, the displays' emulation, and the Multi-Buffering pair that
// stands for a name on an emulating display.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "Proxy/resources/dbebuffer.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyWindow;
struct ServerLink;

// A new name on the list and in the database; null when memory or ids run
// out (nothing is left behind then).
DbeBuffer* createDbeBuffer(const ProxyWindow* window, u32 id, u8 swapAction);
// The first name allocated for the window, or null.
DbeBuffer* firstDbeBufferOf(u32 window);
// Frees the names whose window was destroyed, so that their ids are free
// again for the client.
void freeOutlivedDoubleBuffers();
// False when the resource type could not be registered.
bool registerDbeBufferType();

// The displays' part of the init: each display emulates or offers a
// standard DOUBLE-BUFFER, and the version offered falls to the lowest.
// Null or the refusal text.
const char* checkDoubleBufferDisplays(ExtensionEntry* entry);

// Emulation on one head: the pair for a new name, and a swap showing the
// buffer drawn into. False when a request could not be written.
bool writeEmulatedPair(ServerLink* link, const DbeBuffer* buffer, const Head* head);
bool displayEmulatedBuffer(ServerLink* link, const DbeBuffer* buffer, u8 action, const Head* head);

}  // namespace palvon

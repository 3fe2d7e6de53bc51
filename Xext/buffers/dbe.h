// DOUBLE-BUFFER: back buffers of windows on every head. Forwarded to the
// servers that offer it; on displays whose heads are configured with
// emulateDoubleBuffer it is carried out with Multi-Buffering: a back-buffer
// name becomes a pair of image buffers (the name and a companion id the
// proxy takes in the client's space), and a swap displays the other one.
//
// The module keeps every back-buffer name (resource type RT_DBE_BUFFER) so
// that it can re-create the buffers on a joining server and resolve drawing
// on a name to the buffer that is not shown.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct RequestWriter;
struct ServerDisplay;

// Registers "DOUBLE-BUFFER" (no events, 1 error). Null or the refusal text.
const char* initDoubleBufferExtension(ExtensionEntry* entry);

// A joining server's head: every back buffer whose window is on the head's
// screen is allocated there (or its emulating pair made) on the link of the
// client that owns it. 1.
int copyDoubleBuffersToDisplay(Head* head);

// Frees every back-buffer name of a window that is being destroyed.
void freeWindowDoubleBuffers(u32 window);

}  // namespace palvon

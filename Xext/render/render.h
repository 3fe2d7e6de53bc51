// RENDER: the proxy's own set of picture formats, matched onto every head,
// and every picture, glyph set and drawing request forwarded to the heads
// that show the client's drawing, with ids translated and coordinates
// scaled per head. Pictures and glyph sets are recorded so that a joining
// server can be given them.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct RequestWriter;

// Builds the format set from the servers and registers "RENDER" (no
// events, five errors). Null or the refusal text.
const char* initRenderExtension(ExtensionEntry* entry);
// Frees the format set and every display's formats; clears the module word.
void resetRenderExtension(ExtensionEntry* entry);
// Maps the format set onto a head whose server joins at run time; null or
// the text that makes the addition fail. Null when RENDER is not running.
const char* adjustPictFormats(Head* head);

}  // namespace palvon

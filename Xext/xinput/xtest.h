// XTEST: fake input arrives where the proxy takes its input from, the
// input-control display. Forwarded to that display's first head when the
// servers have XTEST; carried out through the input-control library when
// the proxy offers XTEST without them (the registry's
// xtestThroughInputControl). Absolute pointer motion always moves the meta
// pointer across heads, since a server knows only its own screen.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Registers "XTEST" (no events, no errors). Null or the refusal text.
const char* initXTestExtension(ExtensionEntry* entry);

}  // namespace palvon

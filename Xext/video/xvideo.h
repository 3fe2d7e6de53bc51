// XVideo: the adaptors and ports of each meta screen's colour head are the
// ones clients see (the virtual ports, ports.h); each request goes
// to the heads of the port's screen with the port turned into each head's
// own. Shared-memory images reach a head without shared memory as plain
// images.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Builds the virtual ports of every meta screen and registers "XVideo"
// (2 events, 3 errors). Null or the refusal text.
const char* initXVideoExtension(ExtensionEntry* entry);

}  // namespace palvon

// XC-MISC: ranges and lists of resource ids that a client may still use.
// The range comes from the proxy's own resource database; the version and
// the id list come from the server that gives its clients the fewest id
// bits, whose ids every other server can also hold.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Registers "XC-MISC" (no events, no errors). Null or the refusal text.
const char* initXCMiscExtension(ExtensionEntry* entry);

}  // namespace palvon

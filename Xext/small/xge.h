// The Generic Event Extension: its version query. The generic events
// themselves are routed by the server-input dispatcher by the major opcode
// they carry.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Registers "Generic Event Extension" (no events, no errors), offered even
// where no real server has it. Null or the refusal text.
const char* initGenericEventExtension(ExtensionEntry* entry);

}  // namespace palvon

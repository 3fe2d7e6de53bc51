// SYNC: counters and alarms live on one server, the primary display (the
// server of the main head of the first meta screen); every request goes
// there but SetPriority, which every server takes. Counter and alarm ids
// are kept in the client's resource table as server-only ids, so that they
// are translated like the client's other ids and freed with the client.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/strings.h"

namespace palvon {

// Registers "SYNC" (2 events, 2 errors). Null or the refusal text.
const char* initSyncExtension(ExtensionEntry* entry);

// The bytes of an alarm's value list for a value mask: one word per bit,
// two for the 64-bit value and delta; bits the protocol does not name
// count one word, as the server reads them.
u32 syncAlarmValueBytes(u32 mask);

}  // namespace palvon

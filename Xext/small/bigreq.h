// BIG-REQUESTS: lets a client send requests longer than 256 KiB. Every real
// server is switched over too, and the client is told the largest request
// the proxy accepts: the smallest of the servers' and its own limits.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Registers "BIG-REQUESTS" (no events, no errors) and lowers the proxy's
// BIG-REQUESTS limit to every open server's own. Null or the refusal text.
const char* initBigRequestsExtension(ExtensionEntry* entry);

// The largest big request the proxy accepts, in 4-byte units (what a
// client is told).
u32 bigRequestLimitUnits();

}  // namespace palvon

// RANDR: forwarded to the real servers, or, with the workaround
// RANDREmulation, answered by the proxy from its screen model (every meta
// screen one RANDR screen with one mode of its size, every head one CRTC and
// one output named by the head's id).
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "Proxy/heads/randrhooks.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ProxyWindow;

// Registers "RANDR" (2 events, 3 errors) with the minors of the offered
// version: 1.0 requests always, 1.2 from version code 66, 1.3 from 67.
// Forwarded, the offered version is no higher than any server's.
const char* initRandrExtension(ExtensionEntry* entry);

// The emulated head events (sendRandrHeadNotify sends both, in this order).
void sendRROutputChangeNotify(Head* head);
void sendRRCrtcChangeNotify(Head* head);

}  // namespace palvon

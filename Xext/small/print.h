// XpExtension: the print service of the main head of the first meta
// screen, forwarded whole. Print contexts live only on that head's server;
// the proxy keeps no record of them and gives their ids the client's own
// id space on the way out and back.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Registers "XpExtension" (2 events, 3 errors). Null or the refusal text.
const char* initPrintExtension(ExtensionEntry* entry);

}  // namespace palvon

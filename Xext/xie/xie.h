// XIE: the image extension of the one real server, forwarded with its ids
// translated and its photoflo element lists rewritten for meta screens of
// several heads (see Xext/xie/photoflo.h). Offered only when the proxy
// drives exactly one server, of the proxy's byte order, and no server can
// join at run time: its objects and photoflos live on that server alone.
#pragma once

#include "Proxy/dispatch/extensions.h"

namespace palvon {

// Registers "XIE" (5 events, 7 errors). Null or the refusal text.
const char* initXieExtension(ExtensionEntry* entry);

}  // namespace palvon

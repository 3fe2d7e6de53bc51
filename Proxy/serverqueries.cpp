// Queries of server-wide state answered by one head.
#include "Proxy/serverqueries.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include "Proxy/client.h"
#include "Proxy/dispatch.h"
#include "Proxy/heads_pending.h"
#include "Proxy/pending.h"
#include "Proxy/proxystate.h"
#include "Proxy/resource.h"
#include "Proxy/serverlink.h"
#include "Proxy/wire.h"
#include "Proxy/xerrors.h"
#include "Proxy/headlookup.h"
#include "Proxy/xpointer.h"
#include "Proxy/xscreen.h"

namespace palvon {

void ProcForwardQuery(u8* request, u32 length) { forwardRequest(request, length); }

}  // namespace palvon

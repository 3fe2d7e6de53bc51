// Queries of server-wide state answered by one head.
#include "Proxy/servers/queries.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"

namespace palvon {

void ProcForwardQuery(u8* request, u32 length) { forwardRequest(request, length); }

}  // namespace palvon

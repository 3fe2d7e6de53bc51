// Forwarding a validated request to the targets of a route that the
// handler narrows further: heads that lack a visual, servers shown in an
// obscured window, and the like. The route's walk (dispatch.h) gives the
// candidates; the filter keeps or skips each, the rewrite edits each copy.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/dispatch.h"
#include "base/strings.h"

namespace palvon {

// True keeps the target.
using TargetFilter = bool (*)(const RouteTarget& target, void* argument);

// Copies the request (swapped by the current row's layout for each server)
// to every target of the route that the filter keeps (null keeps all). A
// copy that cannot be made is answered with BadAlloc (value 0) and false is
// returned; targets before it keep their copy. *served (may be null) counts
// the copies made.
bool forwardToTargets(Route route, const u8* request, u32 length, TargetFilter filter, CopyRewrite rewrite,
                      void* argument, u32* served = nullptr);

// In a reply handler: the error goes to the client in place of the reply
// being handled (the client's sequence being answered, the request's major).
void replaceReplyByError(u8 code, u32 badValue, u8 major);

}  // namespace palvon

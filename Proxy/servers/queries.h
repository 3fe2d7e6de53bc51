// Queries of server-wide state that one head answers for the meta screen:
// keyboard and pointer control, the screen saver, the font
// path and the pointer and modifier maps (their replies are the colour and
// server-wide modules'). Each goes to the one head of its route; what comes back
// names no server id the client could not know.
//
// Handlers follow the one shape of Proxy/dispatch/rows.h. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

// Requests whose copy needs no rewriting and whose reply passes through.
void ProcForwardQuery(u8* request, u32 length);

}  // namespace palvon

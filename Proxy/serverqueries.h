// Queries of server-wide state that one head answers for the meta screen:
// the input focus, the best cursor and tile sizes, keyboard and pointer
// control, the screen saver, the font path and the keyboard, pointer and
// modifier maps. Each goes to the one head of its route; what comes back
// names no server id the client could not know.
//
// Handlers follow the one shape of Proxy/rows.h. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

void ProcGetInputFocus(u8* request, u32 length);
void ReplyGetInputFocus(u8* reply, u32 length);
void ProcQueryBestSize(u8* request, u32 length);
// Requests whose copy needs no rewriting and whose reply passes through.
void ProcForwardQuery(u8* request, u32 length);
void ProcGetKeyboardMapping(u8* request, u32 length);

}  // namespace palvon

// Atoms, properties, selections and SendEvent (core requests 16 to 25).
//
// Atoms, properties and selection ownership are not replicated over the
// heads: they live on the atom server only, whose atom numbers are the
// proxy's. A client window's properties are kept on its property window on
// that server (Proxy/sync/propertywindows.h). Every request of
// this family goes to exactly one head.
//
// Handlers follow the one shape of Proxy/dispatch/rows.h. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ProxyWindow;

void ProcInternAtom(u8* request, u32 length);
void ProcGetAtomName(u8* request, u32 length);
void ProcChangeProperty(u8* request, u32 length);
void ProcDeleteProperty(u8* request, u32 length);
void ProcGetProperty(u8* request, u32 length);
void ProcListProperties(u8* request, u32 length);
void ProcSetSelectionOwner(u8* request, u32 length);
void ProcGetSelectionOwner(u8* request, u32 length);
void ProcConvertSelection(u8* request, u32 length);
void ProcSendEvent(u8* request, u32 length);
void ReplyGetSelectionOwner(u8* reply, u32 length);

// What a property says of its client and window (the client's names for
// the logs, the size hints, the keep-visible mark), from a ChangeProperty
// in the proxy's byte order of `length` bytes that passed its checks. A
// program position in the size hints may be moved in the request (see
// keepvisible.h).
void notePropertyHints(ProxyClient* client, ProxyWindow* window, u8* request, u32 length);

}  // namespace palvon

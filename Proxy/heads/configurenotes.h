// What a window manager must be told of a client's ConfigureWindow on a
// zoomed or turned head. The head's copy of the request carries all four
// geometry values (a turned head moves the corner with every size), scaled,
// so the ConfigureRequest that the head's server sends to the client
// redirecting the parent's substructure names them all in the head's
// pixels. The value mask the client sent and the geometry it asked for are
// noted on the redirecting client when the request is forwarded and put
// back into that event when it arrives.
//
// The notes of a client are freed with dropConfigureNotes; the list is
// bounded (a note whose event never comes, because the redirection ended
// in between, is dropped as the oldest). Main thread only.
#pragma once

#include "Proxy/heads/readback.h"
#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ProxyWindow;

// For every client other than `client` that redirects the substructure of
// the window's parent: a note (window id, value mask, the geometry asked
// for: the request's values over the window's own) at the end of its list.
void queueConfigureNotes(ProxyClient* client, ProxyWindow* window, u16 mask, const WindowGeometry& asked);
// The client's oldest note for the window, taken out of its list; false
// when there is none.
bool takeConfigureNote(ProxyClient* client, u32 window, u16* mask, WindowGeometry* asked);
// Every note of the client (it leaves).
void dropConfigureNotes(ProxyClient* client);

}  // namespace palvon

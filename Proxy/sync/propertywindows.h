// Where a client window's properties and selections live: on the atom
// server, which every client shares. A window whose meta screen has a head on
// that server uses its own copy there; any other window gets a stand-in, an
// unmapped 1x1 InputOnly window made on the atom server's first head the
// first time a property or selection request names it, and kept in the
// window record until the window goes.
//
// Main thread. The stand-in is made through the window owner's connection
// to the atom server (it goes when that connection closes), or through the
// proxy's own connection for a window without an owner (a root window).
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct ProxyWindow;
struct ServerDisplay;

// The id on *head (the atom server's head) that holds the window's
// properties and selections. An unknown id is translated for the atom head
// as it is; *head is null (and the id unchanged) without an atom server.
u32 getPropertyWindow(ProxyClient* client, u32 window, Head** head);
// The client window of an id on a server: the window whose stand-in it is,
// else the ordinary reverse translation.
u32 findWindowByPropertyWindow(u32 serverWindow, const ServerDisplay* display);
// A client's event mask on a window reaches the window's stand-in as far as
// properties go (PropertyChange), through the client's own connection to
// the atom server, so that the client sees PropertyNotify for the
// properties kept there. Nothing when the window has no stand-in.
void selectStandInEvents(ProxyClient* client, const ProxyWindow* window, u32 eventMask);
// The atom server changed: stand-ins on the old one are forgotten (they go
// with their connections) and are made again on demand.
void forgetPropertyWindows();

}  // namespace palvon

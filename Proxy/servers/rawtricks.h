// Small requests the proxy writes on its own connection to a server, and
// forwarding a request unchanged to one link.
//
// Display is the proxy's Xlib connection to a server; every call goes
// through the failsafe layer and does nothing on a display marked broken.
// Main thread only.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include "base/strings.h"

namespace palvon {

struct ServerLink;

// A FreeGC written straight into Xlib's output buffer (the GC's Xlib record
// is not touched): used where the proxy knows a GC only by its id.
void rawFreeGC(Display* display, u32 gc);
// Whether the window's bounding and clip shapes are set (XShapeQueryExtents);
// its status is the result.
Status queryShapedFlags(Display* display, Window window, bool* boundingShaped, bool* clipShaped);
// Makes the server expose each rectangle (x, y, width, height) of the
// parent to the windows below: a window is mapped over it and destroyed at
// once. Rectangles without area are skipped.
void exposeRectanglesByWindows(Display* display, Window parent, const xRectangle* rectangles, u32 count);
// Copies the current request unchanged to the link (extension major
// renumbered for its server, the big form when long); BadAlloc (value 0)
// and false when the link's buffer cannot take it.
bool forwardRequestToDisplay(ServerLink* link, const u8* request, u32 length);

}  // namespace palvon

// Events on the proxy's own connection to each real server: crossings and
// motion of the real pointer over the proxy's windows, keys and buttons
// while input is controlled from that server, clock pings, selection
// traffic, colormap and visibility changes of the proxy's windows, and the
// window manager's configure and close messages for heads shown in a
// window. Also the point and image transforms used when the pointer crosses
// between heads, and the colour tables of emulated colormaps.
//
// Main thread only. Handling one display's events can stop early when a
// handler removed heads (a destroyed or closed head window, the lock
// selection lost to another proxy).
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct Head;
struct ServerDisplay;

// Handles every event available on the display; readable: the descriptor
// had input (events are read from the connection, not only the queue).
void processDisplayEvents(Display* display, bool readable);
// Makes processDisplayEvents the event hook of the server displays' offline
// handling.
void installDisplayEventHooks();
// Replays a key typed on a server's keyboard on the server of the head the
// keys go to (the focus head, else the pointer's): as on one server, every
// keyboard types into the focus.
void forwardKeyToPointerHead(ServerDisplay* server, u32 keycode, bool pressed);
// A position on `to`'s server (real coordinates) carried to the head that
// shows it: *outHead and the point on its server.
void translateCrossingPoint(Head* from, Head* to, i32 x, i32 y, Head** outHead, i32* outX, i32* outY);

// --- Point and image transforms for a head ---------------------------------------------

// Turns (x, y) inside width x height by the head's rotation ((y, W-1-x),
// (W-1-x, H-1-y), (H-1-y, x)), then multiplies by its zoom (truncated).
void rotatePointForHead(i32* x, i32* y, i32 width, i32 height, const Head* head);
// The image zoomed and turned for the head. Returns the image itself when
// nothing changes and no new image is asked for; otherwise a new image and
// *owned set (the caller destroys it; an owned input is destroyed here).
// Null when memory runs out ("Out of memory (%s:%d)").
XImage* scaleImageForHead(XImage* image, bool newImage, bool* owned, const Head* head);

// --- Emulated colormaps ----------------------------------------------------------------

// Three 16-bit tables; for TrueColor and DirectColor each component's
// index is (pixel & mask) >> shift, for the other classes pixel % entries.
struct ColormapTables {
  u16* red;
  u16* green;
  u16* blue;
  u32 entries;
  u32 visualClass;
  u32 redMask, greenMask, blueMask;
};
// flags: DoRed 1, DoGreen 2, DoBlue 4.
void setColormapEntry(ColormapTables* table, u32 pixel, u16 red, u16 green, u16 blue, u32 flags);
void getColormapEntry(const ColormapTables* table, u32 pixel, XColor* colour);

// --- Pure rules of the intake, for its handlers and tests --------------------------------

// Button 1..5 released while it was the only button held.
bool isPlainClick(u32 button, u32 state);
// One axis of device motion through the pointer acceleration.
i32 accelerateDelta(i32 delta, i32 threshold, i32 numerator, i32 denominator);
// A motion on the input-control display while the pointer is elsewhere:
// the delta to the last position, or false when the pointer jumped more
// than 200 pixels on an axis (it was warped) and the position must restart.
bool motionDelta(i32 lastX, i32 lastY, i32 x, i32 y, i32* dx, i32* dy);

}  // namespace palvon

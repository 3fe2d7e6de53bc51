// Probing the heads: after the heads are open and their capabilities
// reconciled, the proxy builds its presence on every head (the head window,
// the inner window, the meta screen's root on that head, the cursor,
// pointer-tracking and key-grab windows), copies input settings from the
// input-control display, takes the server time and places the first
// pointer. closeHeadsOnReset undoes what a session built on the heads.
//
// Windows made on a head (all on its server, with the proxy's connection):
//   head window      clip rectangle grown by the border (Proxy/heads/headwindow.h)
//   inner window     child of the head window at (border, border), clip size
//   meta root        child of the inner window at minus the logical origin,
//                    the meta screen's size (scaled and turned for the head)
//   cursor window    InputOnly 65535 x 65535 in the inner window
//   tracking window  InputOnly, root child 3 pixels inside the clip rectangle
//   key-grab window  InputOnly 1x1 at (-1, -1), root child, every key grabbed
//
// Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

struct PixmapRecord;
struct VisualRecord;

// "host:n" of the proxy's own display, set by probing.
extern char proxyDisplayName[256];

// Builds the proxy's windows and state on every head (firstTime: also the
// configured meta screen sizes). Null or the error that ends the start-up
// or the reset cycle.
const char* probeHeads(bool firstTime);

// The tracking window lies this many pixels inside the head's clip
// rectangle: a pointer in the frame between leaves it.
constexpr i32 kTrackingInset = 3;

// The inner window, meta root, cursor, tracking and key-grab windows of a
// head (nothing when its root window exists), raised when asked.
const char* createHeadRootWindows(Head* head, bool raise);

// At reset: closes the heads' connections (restoring the servers), puts the
// root pattern back on plain in-window heads, and frees visuals, matches
// and scalers of every head.
void closeHeadsOnReset();

// The pixmap's contents from the head in the client's depth; null when the
// head is offline or the read fails (logged). XDestroyImage frees it.
XImage* getPixmapImageFromHead(const PixmapRecord* pixmap, Head* head);

// Head data (width x height, format and depth on the head) copied into the
// rectangle of a target image for the image display, turned back and
// converted to the client's pixel values when a visual of the same depth is
// given (the head data is converted in place). The target wraps targetData;
// XDestroyImage frees both.
XImage* createHeadImage(Head* head, char* data, u32 width, u32 height, int format, u32 depth, char* targetData,
                        u32 targetWidth, u32 targetHeight, u32 targetDepth, const HeadRect& rect,
                        const VisualRecord* visual);

}  // namespace palvon

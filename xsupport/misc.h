// Small helpers around Xlib Displays: display names for messages, display
// numbers, XIDs as text, resource-id base and mask, window stacking through
// the window manager, a test of server grabs, and a cache of one graphics
// context per depth.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

// XDisplayName(XDisplayString(display)) without a leading "localhost" or
// "unix" word: "localhost:10.0" -> ":10.0". Points into the Display's name.
const char* xShortDisplayName(Display* display);
// The name with this host's name in place of nothing, "unix" or "localhost".
// One static buffer of 256 bytes, overwritten by the next call.
const char* xFullDisplayName(Display* display);
u32 xFullDisplayNumber(Display* display);
// The number after the last ':' (":1.0" -> 1); 0 for null or no colon.
u32 displayNameNumber(const char* name);
// "%u" below 1000, else "0x%x"; a temporary string.
const char* xidToText(unsigned long id);

unsigned long xDisplayResourceBase(Display* display);
unsigned long xDisplayResourceMask(Display* display);

void xRaiseWMWindow(Display* display, int screen, Window window);
void xLowerWMWindow(Display* display, int screen, Window window);

// 1 when another connection's requests are carried out while this server is
// grabbed; 0 when grabs hold or the test could not run.
int xServerGrabLeaksInput(Display* display);

// The cached graphics context (foreground 1, background 0, no exposures) for
// a depth on a screen, made on first use for every depth the screen and the
// display's pixmap formats offer. The contexts live until the Display closes;
// 0 for a depth the server lacks or when memory runs out.
GC getDepthGC(Display* display, int screen, int depth);

}  // namespace palvon

// The geometry and stacking of a head's window as its server reports them:
// a head shown inside a window follows what the user or the window manager
// does to that window (moved, resized, restacked), and a head tagged
// keepOnTop or keepBelow is put back in its place.
//
// Called from the display event intake and the settings; main thread only.
// Nothing is sent to an offline display.
#pragma once

#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

// The window's origin (x, y) on its root: the head's area on the real
// screen starts the border width further in.
void setHeadWindowOrigin(Head* head, i32 x, i32 y);
// The window's new size: the head's area is the size less twice the border
// (at least 1), its meta size keeps its ratio to the area, its rectangle
// stays inside a sized meta screen, and the proxy's windows on the head
// follow. Flushed.
void setHeadWindowSize(Head* head, u32 width, u32 height);
// updateHeadStacking, then the head's pointer window is brought up to date.
void applyHeadWindowState(Head* head);
// Notes the place of the head window's frame among its siblings (0 = top)
// and the frame itself; raises a keepOnTop head that is not on top and
// lowers a keepBelow head that is not at the bottom, through the window
// manager. Flushed after a change.
void updateHeadStacking(Head* head);

}  // namespace palvon

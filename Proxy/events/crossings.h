// Crossings told from the meta screen's window tree. Each server sees only
// its part of a window and only its own pointer, so when the pointer goes
// from one server's head to another's, no server's EnterNotify and
// LeaveNotify are the meta screen's: the proxy drops theirs (the seam
// phases of Proxy/input/pointer.h) and tells the move's crossings itself,
// to the clients one server of the meta screen's size tells them to.
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct MetaScreen;

// The pointer went straight from (fromX, fromY) to (x, y) of the screen:
// the LeaveNotify and EnterNotify of mode Normal between the windows it
// was and is in (pointerWindowAt), with the virtual crossings of the
// windows between, each with the pointer at (x, y) and the state of the
// input server's buttons and modifiers, and the KeymapNotify after an
// EnterNotify where one is selected. Under an active pointer grab only its
// client hears them, as the grab selects. Nothing when both points lie in
// one window.
void tellPointerCrossings(MetaScreen* screen, i32 fromX, i32 fromY, i32 x, i32 y);

}  // namespace palvon

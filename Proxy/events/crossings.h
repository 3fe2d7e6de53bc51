// Crossings told from the meta screen's window tree. Each server sees only
// its part of a window and only its own pointer, so when the pointer goes
// from one server's head to another's, or onto another screen, or a grab
// takes it to a window of another screen, no server's EnterNotify and
// LeaveNotify are those of one server of the meta screens' shape: the
// proxy tells them itself, to the clients such a server tells them to (the
// servers' own are dropped: the seam phases of Proxy/input/pointer.h).
//
// Every crossing has the pointer's root and position; one on a window of
// another screen than the pointer's has no position in it and no
// same-screen flag. An EnterNotify is followed by a KeymapNotify where
// that is selected. Under an active pointer grab only its client hears
// them, as the grab selects; a grab's own crossings are told before it
// holds (mode Grab) or after it ended (Ungrab), to every client that
// selected them. The sequence number is the one a composed event carries
// in the calling context (composedEventSequence, Proxy/links/pending.h).
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct MetaScreen;

// The pointer went straight from (fromX, fromY) to (x, y) of the screen:
// the crossings of mode Normal between the windows it was and is in
// (pointerWindowAt), with the input server's buttons and modifiers.
// Nothing when both points lie in one window.
void tellPointerCrossings(MetaScreen* screen, i32 fromX, i32 fromY, i32 x, i32 y);
// The pointer came onto the screen from another one at (x, y): as a plain
// server of several screens tells it, the screen's root has the pointer
// first, which goes from there into its window at (x, y) (LeaveNotify
// Inferior on the root, EnterNotify Virtual on the windows between,
// EnterNotify Ancestor on that window), with the state given. The screen
// it left hears nothing.
void announceScreenEntry(MetaScreen* screen, i32 x, i32 y, u16 state);
// A pointer grab on a window of another screen than the pointer's begins
// (mode NotifyGrab) or ends (NotifyUngrab): the grab window and its
// ancestors up to its root hear the pointer come in from another screen or
// go to it (NotifyNonlinear on the window, NotifyNonlinearVirtual on the
// others). The pointer's own screen's part is its server's to tell (the
// grab lent there begins or ends). The state given, or with null the
// pointer's now. Nothing for a window that is gone, not viewable or on the
// pointer's screen.
void announceGrabAcross(u32 grabWindow, u8 mode, const u16* state);
// A pointer grab on `grabWindow` begins after its confine-to window took
// the pointer onto another server's head: the crossings of mode Grab from
// the window the pointer was in before (`from`; the client's replaced
// grab's window) to the grab window, with the pointer where it is now, as
// a plain server tells them after it confined the pointer. That server
// would tell them from the window the pointer is in now. Nothing for a
// window that is gone, not viewable or on another screen than the
// pointer's.
void announceGrabFrom(u32 from, u32 grabWindow);

}  // namespace palvon

// What the extension libraries keep of the program's own connections.
//
// The libraries built on libXext's display records (XInput, XTEST, SHAPE,
// MIT-SHM, XVideo, DOUBLE-BUFFER, the program's own FBPM and CONTROL) keep
// one record per connection on a list of their own, found by the Display's
// address, and drop it in the close hook they hang on the Display. A
// connection closed without those hooks leaves its records behind, and a
// connection opened later at the same address finds them: the extension
// codes of the old server, pointers into freed memory.
//
// Every hook runs at the close, but one record may not take it: a call that
// the failsafe layer gave up part-way (it jumps out of the library when the
// server breaks or stalls) can leave the record that library was completing
// half made (XInput's holds a version pointer that was never set, which its
// hook would free). So for each followed connection the record a library
// call found last is kept with the data it held then; when a call is given
// up and that data changed since, the record is set aside, and at the close
// it is taken off its library's list here and its hook is skipped. What it
// held is lost.
//
// Follow, note and take out on the main thread; the libraries' own look-ups
// from any thread.
#pragma once

#include <X11/Xlib.h>

namespace palvon {

using LibraryCloseHook = int (*)(Display* display, XExtCodes* codes);

// From the opening on: the connection's records are watched.
void xextFollowDisplay(Display* display);

// A call on the display was given up part-way (from the jump out of it).
void xextNoteCallGivenUp(Display* display);

// At the close, before the close hooks run: the record set aside is taken
// off its library's list, and that library's close hook returned, which
// must then not run; null when nothing was set aside. The connection is no
// longer followed.
LibraryCloseHook xextTakeOutHalfMadeRecord(Display* display);

}  // namespace palvon

// What the event intake's handlers share (the intake and its crossing
// handling only).
#pragma once

#include <X11/Xlib.h>

#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

struct ServerDisplay;

// The display whose events are being handled.
struct DisplayEvents {
  Display* display;
  ServerDisplay* server;  // its record; null for a display the proxy does not list
  bool inputSeen;         // a key or button was handled
};

// The head on the display whose window member (window, trackingWindow,
// cursorWindow...) is the window; null when none.
Head* findHeadByWindow(Display* display, Window window, Window Head::*which);
// Whether the next queued event has the type (nothing is read).
bool nextEventIs(Display* display, int type);
// LeaveNotify: the pointer left a proxy window; false stops the display's
// event handling.
bool onLeaveNotify(DisplayEvents& d, XEvent* event);

}  // namespace palvon

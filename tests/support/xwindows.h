// Small windows for tests that draw through Xlib.
#pragma once

#include <X11/Xlib.h>

namespace palvon::test {

// An override-redirect window with a background pixel, mapped: no window
// manager moves it and it shows at once.
Window plainWindow(Display* display, Window parent, int x, int y, unsigned width, unsigned height,
                   unsigned long pixel);

// The pointer warped to (x, y) on the first screen of the display (its own
// connection); false when the display could not be opened.
bool warpPointerTo(const char* display, int x, int y);

}  // namespace palvon::test

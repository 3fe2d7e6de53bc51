#include "support/xwindows.h"

namespace palvon::test {

Window plainWindow(Display* display, Window parent, int x, int y, unsigned width, unsigned height,
                   unsigned long pixel) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = pixel;
  Window window = XCreateWindow(display, parent, x, y, width, height, 0, CopyFromParent, InputOutput, CopyFromParent,
                                CWOverrideRedirect | CWBackPixel, &attributes);
  XMapWindow(display, window);
  return window;
}

bool warpPointerTo(const char* name, int x, int y) {
  Display* display = XOpenDisplay(name);
  if (!display) return false;
  XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, x, y);
  XSync(display, False);
  XCloseDisplay(display);
  return true;
}

}  // namespace palvon::test

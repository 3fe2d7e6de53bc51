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

}  // namespace palvon::test

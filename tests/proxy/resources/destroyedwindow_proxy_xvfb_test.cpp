// What a destroyed window leaves behind, through the proxy program and on a
// plain Xvfb: its GC stays usable elsewhere and is refused on the window,
// its RENDER picture and DOUBLE-BUFFER back buffer go with it, and their
// ids may be used again at once.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/Xrender.h>

#include <memory>
#include <string>
#include <vector>

#include "support/proxyprocess.h"
#include "support/xvfb.h"

// Xlib's private record, to hand Xlib a chosen id (after the C++ headers:
// it defines min and max).
#include <X11/Xlibint.h>

namespace palvon::test {
namespace {

int lastError;
int keepError(Display*, XErrorEvent* event) {
  lastError = event->error_code;
  return 0;
}

XID chosenId;
XID takeChosenId(Display*) { return chosenId; }

// A pixmap made with the given id.
void createPixmapWithId(Display* display, XID id, Drawable on) {
  auto* raw = reinterpret_cast<_XPrivDisplay>(display);
  XID (*saved)(Display*) = raw->resource_alloc;
  chosenId = id;
  raw->resource_alloc = takeChosenId;
  XCreatePixmap(display, on, 4, 4, DefaultDepth(display, DefaultScreen(display)));
  raw->resource_alloc = saved;
}

// The error of each step, extension errors counted from their extension's
// first error (1000 + n for RENDER, 2000 + n for DOUBLE-BUFFER).
std::vector<int> runSteps(const std::string& name) {
  Display* d = XOpenDisplay(name.c_str());
  if (!d) return {-1};
  XSetErrorHandler(keepError);
  int major = 0, event = 0, renderError = 0, dbeError = 0;
  XQueryExtension(d, "RENDER", &major, &event, &renderError);
  XQueryExtension(d, "DOUBLE-BUFFER", &major, &event, &dbeError);
  std::vector<int> errors;
  auto step = [&] {
    XSync(d, False);
    int code = lastError;
    lastError = 0;
    if (renderError && code >= renderError && code < renderError + 5) code = 1000 + code - renderError;
    if (dbeError && code >= dbeError && code < dbeError + 1) code = 2000 + code - dbeError;
    errors.push_back(code);
  };
  int screen = DefaultScreen(d);
  Window root = RootWindow(d, screen);
  Window doomed = XCreateSimpleWindow(d, root, 0, 0, 40, 40, 0, 0, 0);
  Window other = XCreateSimpleWindow(d, root, 50, 0, 40, 40, 0, 0, 0);
  GC gc = XCreateGC(d, doomed, 0, nullptr);
  Picture picture = XRenderCreatePicture(d, doomed, XRenderFindVisualFormat(d, DefaultVisual(d, screen)), 0, nullptr);
  XdbeBackBuffer buffer = XdbeAllocateBackBufferName(d, doomed, XdbeUndefined);
  step();
  XDestroyWindow(d, doomed);
  step();
  XDrawPoint(d, other, gc, 1, 1);
  step();
  XDrawPoint(d, doomed, gc, 1, 1);
  step();
  XRenderColor red{0xffff, 0, 0, 0xffff};
  XRenderFillRectangle(d, PictOpSrc, picture, &red, 0, 0, 5, 5);
  step();
  XDrawPoint(d, buffer, gc, 1, 1);
  step();
  createPixmapWithId(d, picture, other);
  step();
  createPixmapWithId(d, buffer, other);
  step();
  XFreeGC(d, gc);
  step();
  XCloseDisplay(d);
  return errors;
}

TEST(DestroyedWindow, LeavesWhatAPlainServerLeaves) {
  Xvfb plain{{"-screen", "0", "320x200x24"}};
  Xvfb behind{{"-screen", "0", "320x200x24"}};
  ASSERT_TRUE(plain.ok() && behind.ok());
  ProxyProcess proxy({"noReset", "on", "extensions", "+DOUBLE-BUFFER", "screen", behind.display() + ".0"});
  ASSERT_TRUE(proxy.ok()) << proxy.log();
  std::vector<int> expected = runSteps(plain.display());
  ASSERT_EQ(expected.size(), 9u);
  // The plain server's answers: the ids of the picture and the buffer are
  // free again.
  EXPECT_EQ(expected[6], 0);
  EXPECT_EQ(expected[7], 0);
  EXPECT_EQ(runSteps(proxy.display()), expected) << proxy.log();
}

}  // namespace
}  // namespace palvon::test

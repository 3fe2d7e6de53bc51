// Helpers shared by the input-control library's tests on real servers:
// connections that count X errors, a mapped and focused test window, and
// waiting for events with a deadline.
#pragma once

#include <poll.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xext.h>

#include <chrono>
#include <functional>
#include <string>

#include "xsupport/xtarget.h"

namespace palvon::test {

// X errors seen on connections opened here (trapped ones included).
inline int& xErrorCount() {
  static int count = 0;
  return count;
}

inline int countingErrorHandler(Display* display, XErrorEvent* event) {
  xErrorCount()++;
  return xtargetErrorHandler(display, event);
}

inline Display* openCounted(const std::string& name) {
  Display* display = XOpenDisplay(name.c_str());
  XSetErrorHandler(countingErrorHandler);
  XSetExtensionErrorHandler(xtargetExtensionErrorHandler);
  return display;
}

// Reads events until accept returns true or the time is up.
inline bool waitForEvent(Display* display, const std::function<bool(const XEvent&)>& accept, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (accept(event)) return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd = {ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(left.count() < 50 ? left.count() : 50));
  }
}

// A mapped top-level window at 0,0 that holds the input focus.
inline Window focusedWindow(Display* display, long mask, int width = 300, int height = 200) {
  XSetWindowAttributes attributes = {};
  attributes.event_mask = mask | StructureNotifyMask;
  attributes.override_redirect = True;
  Window window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, width, height, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWEventMask | CWOverrideRedirect, &attributes);
  XMapRaised(display, window);
  waitForEvent(display, [&](const XEvent& e) { return e.type == MapNotify && e.xmap.window == window; });
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  return window;
}

}  // namespace palvon::test

// XRCLib pointer warps, screen crossings, input-only windows and
// highlights drawn on the root.
#include "xsupport/rclib/pointer.h"

#include "base/logging.h"
#include "base/rect.h"
#include "xsupport/rclib/record.h"

namespace palvon {

namespace {

// The predefined atom whose selection marks a shown window.
constexpr Atom kMarkerSelection = 61;

void autoFlush(Display* display) {
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record || record->options[kXrcOptFlush]) XFlush(display);
}

bool corePointer(u32 device) {
  if (device == kXrcMouse) return true;
  PALVON_WIP();
  return false;
}

struct PointerAt {
  Window root;
  int x, y;
};

PointerAt queryPointer(Display* display) {
  PointerAt at = {None, 0, 0};
  Window child;
  int winX, winY;
  unsigned int state;
  XQueryPointer(display, DefaultRootWindow(display), &at.root, &child, &at.x, &at.y, &winX, &winY, &state);
  return at;
}

// An inverting context on the root that draws over every child window, so
// drawing the same shapes twice leaves the screen as it was.
GC invertGC(Display* display, Drawable drawable, int lineWidth) {
  XGCValues values = {};
  values.function = GXinvert;
  values.subwindow_mode = IncludeInferiors;
  values.line_width = lineWidth;
  return XCreateGC(display, drawable, GCFunction | GCSubwindowMode | GCLineWidth, &values);
}

int validScreen(Display* display, int screen) {
  return screen < 0 || screen >= ScreenCount(display) ? DefaultScreen(display) : screen;
}

}  // namespace

// --- Pointer ----------------------------------------------------------------------------

const char* xrcWarpPointer(Display* display, u32 device, int dx, int dy) {
  if (!corePointer(device)) return nullptr;
  XWarpPointer(display, None, None, 0, 0, 0, 0, dx, dy);
  autoFlush(display);
  return nullptr;
}

const char* xrcWarpPointerTo(Display* display, u32 device, Window window, int x, int y) {
  if (!corePointer(device)) return nullptr;
  XWarpPointer(display, None, window, 0, 0, 0, 0, x, y);
  autoFlush(display);
  return nullptr;
}

int xrcGrabPointerWithCursor(Display* display, u32 device, Cursor cursor) {
  if (!corePointer(device)) return GrabNotViewable;
  int status = GrabSuccess;
  if (!cursor) XUngrabPointer(display, CurrentTime);
  else status = XGrabPointer(display, DefaultRootWindow(display), False, 0, GrabModeAsync, GrabModeAsync, None,
                             cursor, CurrentTime);
  autoFlush(display);
  return status;
}

int xrcCanWarpPointer(Display* display, u32 device) {
  if (!corePointer(device)) return 0;
  XGrabServer(display);
  PointerAt before = queryPointer(display);
  int x = before.x - 1 < 1 ? 1 : before.x - 1;
  int y = before.y - 1 < 1 ? 1 : before.y - 1;
  XWarpPointer(display, None, before.root, 0, 0, 0, 0, x, y);
  PointerAt after = queryPointer(display);
  XWarpPointer(display, None, before.root, 0, 0, 0, 0, before.x, before.y);
  XUngrabServer(display);
  XFlush(display);
  return after.root == before.root && after.x == x && after.y == y;
}

void xrcUndoScreenCrossing(Display* display, int fromScreen, int fromX, int fromY, int x, int y, int toScreen,
                           int toX, int toY, int* outX, int* outY) {
  int screen = validScreen(display, toScreen);
  Rect target = {toX, toY, static_cast<u32>(DisplayWidth(display, screen)),
                 static_cast<u32>(DisplayHeight(display, screen))};
  i32 px = fromX + x, py = fromY + y;
  rectPushPointToEdge(&px, &py, target);
  *outX = px - toX;
  *outY = py - toY;
  LOGF(logChStep, "Undo screen crossing from head %d %d,%d to head %d %d,%d ...", fromScreen, x, y, toScreen, *outX,
       *outY);
}

// --- Windows ------------------------------------------------------------------------------

Window xrcCreateInputWindow(Display* display, Window parent, int x, int y, u32 width, u32 height, long eventMask) {
  XSetWindowAttributes attributes = {};
  attributes.override_redirect = True;
  attributes.event_mask = eventMask;
  unsigned long mask = CWOverrideRedirect | (eventMask ? CWEventMask : 0);
  Window window = XCreateWindow(display, parent, x, y, width ? width : 1, height ? height : 1, 0, CopyFromParent,
                                InputOnly, CopyFromParent, mask, &attributes);
  autoFlush(display);
  return window;
}

void xrcShowMarkedWindow(Display* display, Window window) {
  XMapRaised(display, window);
  XSetSelectionOwner(display, kMarkerSelection, window, CurrentTime);
  autoFlush(display);
}

void xrcHideMarkedWindow(Display* display, Window window) {
  XUnmapWindow(display, window);
  XLowerWindow(display, window);
  XSetSelectionOwner(display, kMarkerSelection, None, CurrentTime);
  autoFlush(display);
}

int xrcMarkedWindowShown(Display* display) { return XGetSelectionOwner(display, kMarkerSelection) != None; }

// --- Highlights ---------------------------------------------------------------------------

void xrcHighlightPosition(Display* display, int screen, int x, int y) {
  xrcPrintf(display, "Highlighting position %d,%d...", x, y);
  screen = validScreen(display, screen);
  GC gc = invertGC(display, RootWindow(display, screen), 3);
  XGrabServer(display);
  for (int pass = 0; pass < 2; pass++) {
    if (pass) xrcDelay(display, 100);
    for (int diameter = 250; diameter >= 40; diameter -= 30) {
      XDrawArc(display, RootWindow(display, screen), gc, x - diameter / 2, y - diameter / 2,
               static_cast<unsigned>(diameter), static_cast<unsigned>(diameter), 0, 360 * 64);
      XFlush(display);
      xrcDelay(display, pass ? 20 : 15);
    }
  }
  XUngrabServer(display);
  XFreeGC(display, gc);
  XFlush(display);
}

void xrcHighlightGeometry(Display* display, int screen, int x, int y, u32 width, u32 height) {
  xrcPrintf(display, "Highlighting geometry %ux%u+%d+%d...", width, height, x, y);
  screen = validScreen(display, screen);
  GC gc = invertGC(display, RootWindow(display, screen), 0);
  XGrabServer(display);
  for (int pass = 0; pass < 2; pass++) {
    for (int inset = 20; inset >= 0; inset--) {
      long w = static_cast<long>(width) - 1 - 2 * inset, h = static_cast<long>(height) - 1 - 2 * inset;
      if (w < 0 || h < 0) continue;
      XDrawRectangle(display, RootWindow(display, screen), gc, x + inset, y + inset, static_cast<unsigned>(w),
                     static_cast<unsigned>(h));
      XFlush(display);
      xrcDelay(display, pass ? 15 : 10);
    }
  }
  XUngrabServer(display);
  XFreeGC(display, gc);
  XFlush(display);
}

void xrcDrawCrosshair(Display* display, Drawable drawable, int x, int y) {
  GC gc = invertGC(display, drawable, 0);
  XDrawLine(display, drawable, gc, x, 0, x, 16384);
  XDrawLine(display, drawable, gc, 0, y, 16384, y);
  XFreeGC(display, gc);
  autoFlush(display);
}

}  // namespace palvon

// The head window and the window-manager protocol spoken for it.
#include "Proxy/heads/headwindow.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "Proxy/config/files.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/input/pointerutil.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/settings.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "base/orders.h"
#include "xsupport/misc.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

// The head's cursor: a cross whose centre is the hot spot (7, 9).
constexpr u32 kCursorSize = 16;
constexpr i32 kCursorHotX = 7, kCursorHotY = 9;
constexpr unsigned char kCursorBits[] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00,
    0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0xfe, 0x3f, 0x80, 0x00, 0x80, 0x00,
    0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00,
};
constexpr unsigned char kCursorMaskBits[] = {
    0x00, 0x00, 0x00, 0x00, 0xc0, 0x01, 0xc0, 0x01, 0xc0, 0x01, 0xc0, 0x01,
    0xc0, 0x01, 0xc0, 0x01, 0xff, 0x7f, 0xff, 0x7f, 0xff, 0x7f, 0xc0, 0x01,
    0xc0, 0x01, 0xc0, 0x01, 0xc0, 0x01, 0xc0, 0x01,
};

// A side of the head's cursor under a pointer zoom: a whole pixel at least.
u32 zoomedCursorSide(double zoom) { return u32(std::max(1L, std::lround(kCursorSize * zoom))); }

// The icon: two overlapping screens over a stand.
constexpr u32 kIconSize = 48;
constexpr unsigned char kIconBits[] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xfc, 0xff, 0xff, 0x3f, 0x00, 0x00, 0xfc, 0xff, 0xff, 0x3f, 0x00, 0x00,
    0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00,
    0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00,
    0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00,
    0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00,
    0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00,
    0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00,
    0x0c, 0x00, 0xfc, 0xff, 0xff, 0x3f, 0x0c, 0x00, 0xfc, 0xff, 0xff, 0x3f,
    0x0c, 0x00, 0x0c, 0x30, 0x00, 0x30, 0x0c, 0x00, 0x0c, 0x30, 0x00, 0x30,
    0x0c, 0x00, 0x0c, 0x30, 0x00, 0x30, 0x0c, 0x00, 0x0c, 0x30, 0x00, 0x30,
    0xfc, 0xff, 0xff, 0x3f, 0x00, 0x30, 0xfc, 0xff, 0xff, 0x3f, 0x00, 0x30,
    0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30,
    0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30,
    0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30,
    0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30,
    0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30,
    0x00, 0x00, 0x0c, 0x00, 0x00, 0x30, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x30,
    0x00, 0x00, 0xfc, 0xff, 0xff, 0x3f, 0x00, 0x00, 0xfc, 0xff, 0xff, 0x3f,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

constexpr long kHeadWindowMaskInWindow = VisibilityChangeMask | StructureNotifyMask;  // 0x30000
constexpr unsigned long kHeadWindowValueMask =
    CWBackPixel | CWBorderPixel | CWOverrideRedirect | CWEventMask | CWColormap | CWCursor;  // 0x6A0A
constexpr u32 kDefaultMapWaitMs = 20000;
constexpr u32 kOverlayChildSize = 16384;
constexpr u32 kFleurGlyph = 52;

const char* brokenConnectionText(Display* display, int line) {
  return tmpPrintf("Broken connection to display %s (%u requests, %u processed, %s:%d) - Maybe the X server has "
                   "been stopped or is unavailable",
                   xShortDisplayName(display), u32(XNextRequest(display) - 1),
                   u32(XLastKnownRequestProcessed(display)), "xwm", line);
}

Visual* headVisual(const Head* head) {
  Display* display = head->display;
  Visual* fallback = DefaultVisual(display, int(head->screen));
  if (!head->defaultVisualId || head->defaultVisualId == XVisualIDFromVisual(fallback)) return fallback;
  XVisualInfo wanted{};
  wanted.visualid = head->defaultVisualId;
  wanted.screen = int(head->screen);
  int count = 0;
  XVisualInfo* info = XGetVisualInfo(display, VisualIDMask | VisualScreenMask, &wanted, &count);
  Visual* visual = info && count > 0 ? info->visual : fallback;
  if (info) XFree(info);
  return visual;
}

// The cursor bitmaps scaled for the head's pointer zoom.
Cursor makeHeadCursor(Head* head) {
  Display* display = head->display;
  Window root = head->root;
  Pixmap source = XfsCreateBitmapFromData(display, root, reinterpret_cast<const char*>(kCursorBits), kCursorSize,
                                          kCursorSize);
  Pixmap mask = XfsCreateBitmapFromData(display, root, reinterpret_cast<const char*>(kCursorMaskBits), kCursorSize,
                                        kCursorSize);
  if (!source || !mask) return 0;
  if (head->zoomX != 1.0 || head->zoomY != 1.0) {
    Pixmap scaledSource = scalePixmap(display, source, head->zoomX, head->zoomY);
    Pixmap scaledMask = scalePixmap(display, mask, head->zoomX, head->zoomY);
    if (scaledSource && scaledMask) {
      XfsFreePixmap(display, source);
      XfsFreePixmap(display, mask);
      source = scaledSource, mask = scaledMask;
    }
  }
  HeadCursorShape shape = headCursorShape(head);
  XColor black{}, white{};
  black.flags = white.flags = DoRed | DoGreen | DoBlue;
  white.red = white.green = white.blue = 65535;
  Cursor cursor = XfsCreatePixmapCursor(display, source, mask, &black, &white, u32(shape.hotX), u32(shape.hotY));
  XfsFreePixmap(display, source);
  XfsFreePixmap(display, mask);
  return cursor;
}

Colormap headColormap(const Head* head) { return head->colormap ? head->colormap : head->defaultColormap; }

u64 monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return u64(now.tv_sec) * 1000 + u64(now.tv_nsec) / 1000000;
}

// Waits for the window manager to map the window: the connection is read
// until MapNotify comes, for at most the display's offline time-out.
const char* waitForMap(Head* head) {
  Display* display = head->display;
  u64 limit = head->serverDisplay && head->serverDisplay->offlineTimeoutMs ? head->serverDisplay->offlineTimeoutMs
                                                                            : kDefaultMapWaitMs;
  u64 start = monotonicMs();
  XEvent event;
  XfsSync(display, False);
  for (;;) {
    if (isDisplayOffline(display)) return displayOfflineText(display);
    if (XfsCheckTypedWindowEvent(display, head->window, MapNotify, &event)) return nullptr;
    u64 elapsed = monotonicMs() - start;
    if (elapsed >= limit) return tmpPrintf("Window of %s not mapped within %u ms", head->name, u32(limit));
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, int(std::min<u64>(limit - elapsed, 100)));
    XfsEventsQueued(display, QueuedAfterReading);
  }
}

}  // namespace

HeadCursorShape headCursorShape(const Head* head) {
  HeadCursorShape shape{kCursorSize, kCursorSize, kCursorHotX, kCursorHotY};
  i32 last = i32(kCursorSize) - 1, x = kCursorHotX, y = kCursorHotY;
  switch (head->rotation & 3) {
    case 1: shape.hotX = y, shape.hotY = last - x; break;
    case 2: shape.hotX = last - x, shape.hotY = last - y; break;
    case 3: shape.hotX = last - y, shape.hotY = x; break;
    default: break;
  }
  // The bitmaps grow with the pointer zoom; the hot spot must stay on the
  // same pixel of the picture.
  if (head->zoomX != 1.0 || head->zoomY != 1.0) {
    shape.width = zoomedCursorSide(head->zoomX);
    shape.height = zoomedCursorSide(head->zoomY);
    shape.hotX = std::min(i32(std::lround(shape.hotX * head->zoomX)), i32(shape.width) - 1);
    shape.hotY = std::min(i32(std::lround(shape.hotY * head->zoomY)), i32(shape.height) - 1);
  }
  return shape;
}

const char* checkHeadCursorZoom(const Head* head, double zoomX, double zoomY) {
  if (!head->display) return nullptr;
  if (isDisplayOffline(head->display)) return displayOfflineText(head->display);
  u32 width = zoomedCursorSide(zoomX), height = zoomedCursorSide(zoomY);
  unsigned bestWidth = 0, bestHeight = 0;
  if (!XfsQueryBestSize(head->display, CursorShape, head->root, width, height, &bestWidth, &bestHeight) ||
      isDisplayOffline(head->display))
    return displayOfflineText(head->display);
  if (bestWidth >= width && bestHeight >= height) return nullptr;
  return tmpPrintf("Invalid pointer scaling factor on %s - Its cursor of %ux%u pixels is larger than %s can show "
                   "(%ux%u)",
                   head->name, width, height, xShortDisplayName(head->display), bestWidth, bestHeight);
}

const char* createHeadWindow(Head* head) {
  Display* display = head->display;
  if (!display || head->window) return nullptr;
  int screen = int(head->screen);
  head->cursors[0] = makeHeadCursor(head);
  head->cursors[1] = xrcCursorBlank(display, screen);
  bool overlay = head->inWindow && (head->tags & kHeadTagOverlay);
  bool managed = head->inWindow && !(head->tags & kHeadTagNotManaged);
  i32 b = head->borderWidth;
  XSetWindowAttributes attributes{};
  MetaScreen* meta = head->metaScreen;
  attributes.background_pixel =
      meta ? convertPixelToHead(u32(meta->blackPixel), meta->rootVisual, head) : BlackPixel(display, screen);
  attributes.border_pixel = 0;
  attributes.colormap = headColormap(head);
  attributes.cursor = head->cursors[1];
  Window parent = head->root;
  if (head->inWindow) {
    attributes.event_mask = kHeadWindowMaskInWindow;
    attributes.override_redirect = managed ? False : True;
    parent = head->inWindowParent ? head->inWindowParent : head->root;
  } else {
    attributes.override_redirect = True;
    attributes.event_mask = 0;
  }
  if (overlay) {
    attributes.event_mask |= LeaveWindowMask;
    head->overlayCursor = XfsCreateFontCursor(display, kFleurGlyph);
    attributes.cursor = head->overlayCursor;
  }
  head->window = XfsCreateWindow(display, parent, head->clip.x - b, head->clip.y - b,
                                 u32(std::max(head->clip.width + 2 * b, 1)), u32(std::max(head->clip.height + 2 * b, 1)),
                                 0, int(head->defaultDepth), InputOutput, headVisual(head), kHeadWindowValueMask,
                                 &attributes);
  if (!head->window || isDisplayOffline(display)) return displayOfflineText(display);
  if (!head->inWindow) {
    XfsSelectInput(display, head->root, LeaveWindowMask | ColormapChangeMask);
    return nullptr;
  }
  if (managed) {
    if (head->given & (kHeadGivenPhysicalX | kHeadGivenPhysicalY))
      setWMUserPosition(display, head->window, head->clip.x - b, head->clip.y - b);
    if (head->given & (kHeadGivenPhysicalWidth | kHeadGivenPhysicalHeight))
      setWMUserSize(display, head->window, u32(head->clip.width + 2 * b), u32(head->clip.height + 2 * b));
    if (const char* error = setInWindowHeadTitle(head)) return error;
    if (const char* error = setWMIconHints(display, head->window, kHeadIconName)) return error;
    if (const char* error = setWMDeleteProtocol(display, head->window)) return error;
  }
  if (overlay) {
    XSetWindowAttributes none{};
    head->overlayChild = XfsCreateWindow(display, head->window, 0, 0, kOverlayChildSize, kOverlayChildSize, 0, 0,
                                         InputOnly, CopyFromParent, 0, &none);
    XfsMapWindow(display, head->overlayChild);
  }
  XfsSelectInput(display, head->root, SubstructureNotifyMask | ColormapChangeMask);
  XfsMapWindow(display, head->window);
  if (const char* error = waitForMap(head)) return error;
  int x = 0, y = 0;
  Window child = 0;
  XfsTranslateCoordinates(display, head->window, head->root, 0, 0, &x, &y, &child);
  XWindowAttributes seen{};
  if (XfsGetWindowAttributes(display, head->window, &seen)) {
    head->windowGeometry = {x, y, seen.width, seen.height};
    head->windowMapState = seen.map_state;
  }
  if (isDisplayOffline(display)) return displayOfflineText(display);
  if (head->tags & kHeadTagIconify) requestWMState(display, screen, head->window, true);
  refreshHeadCursor(head);
  return nullptr;
}

const char* setWMDeleteProtocol(Display* display, Window window) {
  Atom atom = XfsInternAtom(display, "WM_DELETE_WINDOW", False);
  if (!atom) return brokenConnectionText(display, __LINE__);
  if (!XfsSetWMProtocols(display, window, &atom, 1)) return "XSetWMProtocols() failed";
  return nullptr;
}

Window isWMDeleteMessage(const XEvent* event) {
  const XClientMessageEvent& message = event->xclient;
  if (event->type != ClientMessage || !message.send_event || message.format != 32) return 0;
  Display* display = message.display;
  if (isDisplayOffline(display)) return 0;
  Atom protocols = XfsInternAtom(display, "WM_PROTOCOLS", True);
  Atom remove = XfsInternAtom(display, "WM_DELETE_WINDOW", True);
  if (!protocols || !remove || message.message_type != protocols || Atom(message.data.l[0]) != remove) return 0;
  return message.window;
}

Window findFrameWindow(Display* display, Window window) {
  for (;;) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XfsQueryTree(display, window, &root, &parent, &children, &count)) return 0;
    if (children) XFree(children);
    if (!parent || parent == root) return window;
    window = parent;
  }
}

const char* setWMIconHints(Display* display, Window window, [[maybe_unused]] const char* resourceName) {
  XWMHints* hints = XfsGetWMHints(display, window);
  if (!hints && !(hints = XAllocWMHints())) return PALVON_OOM();
  hints->flags |= IconPixmapHint;
  hints->icon_pixmap =
      XfsCreateBitmapFromData(display, window, reinterpret_cast<const char*>(kIconBits), kIconSize, kIconSize);
  XfsSetWMHints(display, window, hints);
  XFree(hints);
  if (isDisplayOffline(display)) return displayOfflineText(display);
  return nullptr;
}

void setWMColormapWindows(Display* display, Window window, const Window* windows, i32 count) {
  Atom atom = XfsInternAtom(display, "WM_COLORMAP_WINDOWS", False);
  if (!atom) return;
  if (count < 1) {
    XfsDeleteProperty(display, window, atom);
    return;
  }
  XfsChangeProperty(display, window, atom, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(windows), count);
}

bool requestWMState(Display* display, int screen, Window window, bool iconify) {
  Atom atom = XfsInternAtom(display, "WM_CHANGE_STATE", False);
  if (!atom) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = atom;
  event.xclient.format = 32;
  event.xclient.data.l[0] = iconify ? IconicState : NormalState;
  Status sent = XfsSendEvent(display, RootWindow(display, screen), False,
                             SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XfsFlush(display);
  return sent != 0;
}

bool isWindowUnmapped(Display* display, Window window) {
  XWindowAttributes attributes{};
  return XfsGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsUnmapped;
}

namespace {

void updateNormalHints(Display* display, Window window, long flag, i32 a, i32 b) {
  XSizeHints* hints = XAllocSizeHints();
  if (!hints) {
    PALVON_OOM();
    return;
  }
  long supplied = 0;
  if (!XfsGetWMNormalHints(display, window, hints, &supplied)) hints->flags = 0;
  hints->flags |= flag;
  if (flag == USPosition) hints->x = a, hints->y = b;
  else hints->width = a, hints->height = b;
  XfsSetWMNormalHints(display, window, hints);
  XFree(hints);
}

}  // namespace

void setWMUserPosition(Display* display, Window window, i32 x, i32 y) {
  updateNormalHints(display, window, USPosition, x, y);
}

void setWMUserSize(Display* display, Window window, u32 width, u32 height) {
  updateNormalHints(display, window, USSize, i32(width), i32(height));
}

const char* setInWindowHeadTitle(Head* head) {
  Display* display = head->display;
  if (!head->inWindow || !head->window || !display) return nullptr;
  if (isDisplayOffline(display)) return displayOfflineText(display);
  XfsStoreName(display, head->window, tmpPrintf("%s: %s", getProductName(), head->name));
  XfsSetIconName(display, head->window, head->name);
  XClassHint* hint = XAllocClassHint();
  if (!hint) {
    PALVON_UNE();
  } else {
    hint->res_name = const_cast<char*>(logProgramName());
    hint->res_class = const_cast<char*>("PALVON");
    XfsSetClassHint(display, head->window, hint);
    XFree(hint);
  }
  if (isDisplayOffline(display)) return displayOfflineText(display);
  return nullptr;
}

}  // namespace palvon

// The head window: the proxy's own window on every head, parent of all the
// windows the proxy shows there for its clients. On a head shown on its root
// it is override-redirect over the clip rectangle plus the border; on a head
// shown in a window (a `window` block) it is a top-level window that a window
// manager decorates, iconifies and closes, and this module speaks the
// window-manager protocol for it (delete, icon, size and position hints,
// state changes, colormap windows).
//
// Calls on the proxy's own connections go through the failsafe wrappers;
// texts returned are temporary strings. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

// The resource name of the head window's icon hints.
constexpr const char* kHeadIconName = "palvonIcon";

// Creates the head window (and its cursors). A managed in-window head is
// mapped and waited for until its MapNotify, at most the display's offline
// time-out (20 s without one): a window manager that never maps it fails the
// head with "Window of %s not mapped within %u ms". Nothing for a head
// without a display or with a window already. Null or the error.
const char* createHeadWindow(Head* head);

// WM_PROTOCOLS with WM_DELETE_WINDOW on the window.
const char* setWMDeleteProtocol(Display* display, Window window);
// The window a window manager asks to close with this event, or 0: a
// ClientMessage sent by another client, WM_PROTOCOLS, format 32, first word
// WM_DELETE_WINDOW.
Window isWMDeleteMessage(const XEvent* event);
// The ancestor that is a direct child of the root (the window manager's
// frame, or the window itself); 0 when a query fails.
Window findFrameWindow(Display* display, Window window);
// WM_HINTS with the proxy's 48x48 icon pixmap (IconPixmapHint added).
const char* setWMIconHints(Display* display, Window window, const char* resourceName);
// WM_COLORMAP_WINDOWS: the list, or removed when count is below 1.
void setWMColormapWindows(Display* display, Window window, const Window* windows, i32 count);
// WM_CHANGE_STATE to the screen's root: IconicState to iconify, else
// NormalState. Whether the request was sent.
bool requestWMState(Display* display, int screen, Window window, bool iconify);
// True when the attributes could be read and the window is unmapped.
bool isWindowUnmapped(Display* display, Window window);
// User-specified position or size in the window's WM_NORMAL_HINTS (the
// other hints there are kept).
void setWMUserPosition(Display* display, Window window, i32 x, i32 y);
void setWMUserSize(Display* display, Window window, u32 width, u32 height);

// For an in-window head with a window: WM_NAME "<product>: <head name>",
// WM_ICON_NAME the head name and WM_CLASS (program name, "PALVON"). Null,
// "UNE" when the class hint cannot be allocated, or the offline text.
const char* setInWindowHeadTitle(Head* head);

// The 16x16 cursor of the head, scaled by its pointer zoom (a zoom of 2
// gives 32x32) and its hot spot turned with the head: exposed for tests.
struct HeadCursorShape {
  u32 width, height;
  i32 hotX, hotY;
};
HeadCursorShape headCursorShape(const Head* head);

// Whether the head's server can show the head's cursor enlarged by these
// pointer zoom factors (what QueryBestSize gives for cursors: Xvfb answers
// its screen's size). Null, the reason naming the head and both sizes, or
// the offline text; null for a head without a server.
const char* checkHeadCursorZoom(const Head* head, double zoomX, double zoomY);

}  // namespace palvon

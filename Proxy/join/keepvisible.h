// Keeping top-level windows where a head shows them. A meta screen need not
// be covered by its heads (a gap in the layout, a server that left); with
// the screen's keepWindowsVisible value set, top-level windows are held at
// least partly inside the covered area: positions that clients and window
// managers ask for are adjusted, and windows are moved back whenever the
// heads change.
//
// The value v: 0 switches this off. v >= 1 keeps at least v pixels of a
// window inside the heads' extents in each direction. v < 0 leaves a window
// alone while it reaches at most |v| pixels into the uncovered part, and
// otherwise brings it wholly inside the extents grown by |v|.
//
// Main thread only. The screen owns its uncovered region (MetaScreen).
#pragma once

#include "Proxy/heads/screen.h"
#include "base/rect.h"
#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ProxyWindow;

// After the heads of the screen changed: the covered area is computed again
// and, while part of the screen is uncovered, every top-level window (and
// every child of a screen-sized desktop window) is checked.
void recalcKeepWindowsVisible(MetaScreen* screen);
// Moves the rectangle (meta coordinates) as the screen's value requires;
// only its x and y change.
void keepRectVisible(Rect* rect, const MetaScreen* screen);
// 1 when the window or an ancestor asked to be left alone.
int isKeepVisibleExempt(const ProxyWindow* window);
// Moves the window (through the window manager when one manages it) when
// its outer box must move; client null moves it through the proxy's own
// connections.
void keepWindowVisible(ProxyWindow* window, ProxyClient* client);
// For a top-level window that has just become viewable: moved when the
// screen is partly uncovered and the window is not screen-sized.
void keepNewTopLevelVisible(ProxyWindow* window, ProxyClient* client);
// WM_NORMAL_HINTS (18 words in the proxy's byte order) stored on a mapped
// top-level InputOutput window: a program position (PPosition) is moved in
// place before the property is forwarded.
void adjustSizeHintsPosition(const ProxyWindow* window, u8* hints);
// A translated ConfigureRequest event: a requested x or y is moved in place
// before a window manager sees it.
void adjustConfigureRequestPosition(u8* event);

}  // namespace palvon

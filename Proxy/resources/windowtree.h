// Changes of the proxy's window tree: mapping, unmapping, configuring,
// restacking, circulating and resizing windows, and the validation that
// follows each of them. The validation keeps every window's clip list (the
// visible inside, less its children) and border list (the visible part with
// its border) and its visibility state; the proxy sends VisibilityNotify
// itself from those states, because the servers' own VisibilityNotify events
// describe only their part of the meta screen.
//
// A validation marks the windows whose visible area may change (a saved
// position record on each, saveWindowPosition), hands the area they and
// the parent's own clip list held out again from the top of the stack down,
// and frees the marks (freeWindowTreeBuffers). Only shown windows (viewable
// and InputOutput) hold visible areas.
//
// Coordinates are absolute meta-screen pixels unless said otherwise. Main
// thread only; nothing here talks to a server.
#pragma once

#include "Proxy/resources/window.h"
#include "base/strings.h"

namespace palvon {

struct CursorRecord;
struct MetaScreen;
struct ProxyClient;
struct VisualRecord;

// What the heads layer reads of a window record: x and y are the outer
// corner in the parent, absX and absY the inside origin.
struct WindowFacts {
  i32 x, y;             // relative to the parent
  i32 absX, absY;       // in the meta screen
  u32 width, height;
  u32 borderWidth;
  u32 id;
  u8 inputOnly;
  const ProxyWindow* parent;  // null for a root window
  const VisualRecord* visual; // a visual of the meta screen
};
void describeWindow(const ProxyWindow* window, WindowFacts* out);

// Whether a crossing out of a real root on the screen's heads goes straight
// to the crossing handling. No request or setting marks a root window for
// this, so none does.
bool rootCrossingFlag(const MetaScreen* screen);

constexpr u8 kVisibilityUnobscured = 0;
constexpr u8 kVisibilityPartiallyObscured = 1;
constexpr u8 kVisibilityFullyObscured = 2;
// kVisibilityUnknown (3): not viewable.

constexpr u32 kVisibilityChangeMask = 0x10000;

// What changed, for the validation.
enum ValidationKind : int { kValidateOther = 0, kValidateStack = 1, kValidateMove = 2, kValidateUnmap = 3, kValidateMap = 4 };

// ConfigureWindow stack modes.
constexpr u8 kStackAbove = 0;
constexpr u8 kStackBelow = 1;
constexpr u8 kStackTopIf = 2;
constexpr u8 kStackBottomIf = 3;
constexpr u8 kStackOpposite = 4;

// --- Changes ---------------------------------------------------------------------
// MapWindow. A window whose parent another client than `client` redirects
// (SubstructureRedirect) and that is not override-redirect stays unmapped:
// the window manager maps it.
void mapWindowRecord(ProxyWindow* window, ProxyClient* client);
// MapSubwindows: every unmapped child that is not redirected, top first.
void mapSubwindowRecords(ProxyWindow* window, ProxyClient* client);
// UnmapWindow; fromDestroy is set when the window is being destroyed.
void unmapWindowRecord(ProxyWindow* window, int fromDestroy);
// UnmapSubwindows: every mapped child, bottom first, one validation.
void unmapSubwindowRecords(ProxyWindow* window, ProxyClient* client);
// ConfigureWindow with the request's mask and values (one word per set bit).
// 0, or the X error code: 2 (BadValue), 3 (BadWindow) or 8 (BadMatch), with
// the offending value in *badValue. A redirected window changes nothing and
// gives 0.
int configureWindowRecord(ProxyWindow* window, u16 mask, const u32* values, ProxyClient* client, u32* badValue);
// (x, y): the outer corner relative to the parent's inside, as in requests.
// The window is then stacked directly above `sibling` (null: at the bottom);
// passing its own next lower sibling keeps its place.
void moveResizeWindowRecord(ProxyWindow* window, i32 x, i32 y, u32 width, u32 height, ProxyWindow* sibling);
void moveWindowRecord(ProxyWindow* window, i32 x, i32 y, ProxyWindow* sibling, int kind);
// A move that keeps the window's place in the stack.
void moveWindowRecord(ProxyWindow* window, i32 x, i32 y);
void restackWindowRecord(ProxyWindow* window, ProxyWindow* sibling, int kind);
// A new border width with the inside origin kept.
void setBorderWidthRecord(ProxyWindow* window, u16 borderWidth);
// 0 RaiseLowest, 1 LowerHighest; `client` is the requester (a redirecting
// other client makes it a no-op). The child restacked, or null.
ProxyWindow* circulateWindowRecord(ProxyWindow* window, u8 direction, ProxyClient* client);
// A root's (or an emulated screen's) new size.
void resizeWindowRecord(ProxyWindow* window, u32 width, u32 height);
// Every visible area of the screen's tree recomputed (after the heads
// changed under it); states change, and are notified, only where they differ.
void refreshScreenWindowTree(MetaScreen* screen);
// The new position of a restacked window for a stack mode (the sibling may
// be null): its new next lower sibling, null for the bottom. (x, y, width,
// height): the window's new outer box, absolute.
ProxyWindow* stackPositionFor(ProxyWindow* window, ProxyWindow* sibling, i32 x, i32 y, u32 width, u32 height,
                              u8 stackMode);

// --- Validation ----------------------------------------------------------------
// Attaches the window's saved position (its mark) once; false when memory
// runs out (the window is then unmarked).
bool saveWindowPosition(ProxyWindow* window);
// Marks the window and its subtree when `first` is the window, then every
// viewable window from `first` down the window's siblings (and their
// descendants) whose bounding region meets the window's box. *firstMarked
// (may be null) gets the highest marked sibling. True when anything was
// marked.
bool walkViewableWindows(ProxyWindow* window, ProxyWindow* first, ProxyWindow** firstMarked);
// Its two halves: the window and its viewable subtree; every viewable
// window from `first` down its siblings (with their descendants) whose box
// meets `box`, returning the highest such sibling or null.
void markViewableSubtree(ProxyWindow* window);
ProxyWindow* markWindowsMeeting(ProxyWindow* first, const RegionBox& box);
// Redistributes the visible area among the marked children of the parent
// from `first` (null: the top child) down, and sets the parent's clip list.
void recomputeVisibleRegions(ProxyWindow* parent, ProxyWindow* first, int kind);
// Gives the window the region as its border list, its clip list and its
// visibility state (VisibilityNotify on a change), then does the same for
// its marked shown descendants. After a move (kind kValidateMove), a marked
// window that stays unobscured or fully obscured moves its subtree's areas
// instead.
void computeWindowVisibility(ProxyWindow* window, const Region* region, int kind);
// VisibilityNotify with the window's state to every client whose selection
// on it has VisibilityChange.
void sendVisibilityNotify(ProxyWindow* window);
// The window and its viewable subtree stop being viewable: flags cleared,
// visibility not viewable (no event), grabs and focus that name them end,
// their regions emptied; with emptyOwnRegions 0 the window keeps its own
// for the validation that follows.
void releaseGrabsOnUnmap(ProxyWindow* window, int emptyOwnRegions);

// --- Walks and queries ------------------------------------------------------------
// The window after `window` in a pre-order walk below root (children top
// first); null at the end.
ProxyWindow* nextWindowPreorder(ProxyWindow* window, ProxyWindow* root);
// New regions (release with regionDestroy; null when memory runs out): the
// window's outer rectangle, cut by its bounding shape; its inside rectangle,
// cut by its clip shape.
Region* windowBoundingRegion(const ProxyWindow* window);
Region* windowClipShapeRegion(const ProxyWindow* window);
// The deepest shown window at the point, descending from the window through
// the topmost shown child holding it; the window itself when none does.
ProxyWindow* windowAtPoint(ProxyWindow* window, i32 x, i32 y);
// The topmost shown child of the window holding the point, or null.
ProxyWindow* childAtPoint(ProxyWindow* window, i32 x, i32 y);
// TranslateCoordinates' child: the topmost mapped child (also InputOnly,
// also under an unmapped ancestor) whose outer rectangle, bounding shape and
// input shape hold the point of the meta screen; null when none.
const ProxyWindow* mappedChildAtPoint(const ProxyWindow* window, i32 x, i32 y);
// The deepest shown window at a point of the meta screen (its root when no
// other), null for a screen without a root record.
ProxyWindow* windowAtMetaPoint(MetaScreen* screen, i32 x, i32 y);
// The window a server's pointer at that point of the meta screen is in:
// the deepest viewable window, InputOnly ones too, whose outer box and
// bounding and input shapes hold it (the root when no other); null for a
// screen without a root record.
ProxyWindow* pointerWindowAt(MetaScreen* screen, i32 x, i32 y);
// The cursor of the window at the point, or of its nearest ancestor with
// one; null when none.
CursorRecord* cursorAtMetaPoint(MetaScreen* screen, i32 x, i32 y);
// The cursor in force at a point of the pointer head's meta screen.
CursorRecord* effectiveCursorAt(u32 device, i32 x, i32 y);

// The servers' VisibilityNotify events: the proxy sends its own.
void EventVisibilityNotify(u8* event);

}  // namespace palvon

// Per-head translations that request handlers need when they forward a
// client's request to one head: visual ids and depths the head may lack,
// ids on a given display, atoms of heads whose server is not the atom
// server, event masks completed for the proxy's input tracking, cursors
// copied onto a head, and the damage of the current drawing request. Also
// the screen-saver and clock side of adding and removing server displays.
//
// Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct PixmapRecord;
struct ProxyWindow;
struct ServerDisplay;
struct VisualRecord;

// Atoms below this are the protocol's predefined ones, equal on every server.
constexpr u32 kFirstDynamicAtom = 69;

// The input events that a head without the window's visual cannot deliver.
constexpr u32 kInputEventMask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                                PointerMotionMask | Button1MotionMask | Button2MotionMask | Button3MotionMask |
                                Button4MotionMask | Button5MotionMask | ButtonMotionMask;

// --- Visuals and depths ---------------------------------------------------------

bool isDepthMissingOnHead(u32 depth, const Head* head);
bool needsVisualEmulation(u32 id, const Head* head);
// Lets the head use depth `headDepth` for the client depth; false for a
// depth beyond 32. Logs the mapping on the Xhint channel.
bool mapSloppyPixmapDepth(Head* head, u32 clientDepth, u32 headDepth);
u32 mapVisualIdToHead(u32 visualId, const Head* head);
const VisualRecord* findScreenVisualForHeadVisual(const Head* head, u32 headVisualId);
// With a head: its screen's visuals; without: every head on that server.
u32 mapHeadVisualIdToClient(u32 headVisualId, const ServerDisplay* server, const Head* head);
bool isEmulatedVisual(bool known, const VisualRecord* clientVisual, const Head* head);

// --- Ids and atoms ----------------------------------------------------------------

// Through the first head of that display not shown in a window; unchanged
// when there is none.
u32 mapXidOnDisplay(u32 windowId, Display* display);
u32 mapServerXidOnDisplay(u32 serverId, Display* display);
u32 mapDrawableToHead(u32 id, const Head* head);
// mapDrawableToHead of the drawable and translateXid of the GC in one call:
// out[0] the drawable, out[1] the GC.
void mapDrawableAndGCToHead(u32 drawable, u32 gc, const Head* head, u32 out[2]);
// Re-interned on the head's server when it is not the atom server; 0 when
// the name cannot be had on the atom server or interned on the head's.
Atom mapAtomToHead(Atom atom, const Head* head);

// --- Event masks ------------------------------------------------------------------

// A grab's mask for the servers: with ButtonRelease, and with both crossings
// where either, or KeymapState, is asked for (what the proxy judges the
// events by).
u32 completeEventMask(u32 mask);
// The mask to select on the head's copy of the window (with what
// completeEventMask adds, and FocusChange for KeymapState). For a root window
// FocusChange is selected on the head's root through the client's link
// instead of being forwarded.
u32 adjustEventMaskForHead(ProxyClient* client, const ProxyWindow* window, u32 mask, const Head* head);

// --- Background pixmaps -----------------------------------------------------------

// One CopyArea of a shifted tile: from the tile, or within the target once
// its first cell is filled.
struct TileCopy {
  bool fromTarget;
  i16 sourceX, sourceY;
  u16 width, height;
  i16 destinationX, destinationY;
};
// The copies that fill width x height with the tile shifted by the origin
// (negative origins wrap): the tile's up to four wrapped parts into the
// first cell, then the filled part doubled across and down. Returns the
// count (at most `maximum`; 40 always suffice for 16-bit sizes).
u32 planShiftedTile(u32 tileWidth, u32 tileHeight, i32 originX, i32 originY, u32 width, u32 height, TileCopy* out,
                    u32 maximum);
// A window's background pixmap on the head: None (0) when the head lacks
// the window's visual; on a turned head a turned, shifted tile made for the
// window (*made set: the caller frees it); for a root window without a
// tile the head's own background; on a StaticDisplay head a tile larger
// than the head is shifted to the head's place in the meta screen.
u32 mapWindowRectToHead(ProxyClient* client, u32 pixmapId, const ProxyWindow* window, Head* head, bool* made);
// The same decision for a window that is not a root; a missing visual
// gives the head's own background.
u32 mapBackgroundPixmapToHead(ProxyClient* client, u32 pixmapId, const ProxyWindow* window, Head* head, bool* made);
// On a turned head, the shifted tile of a window's background or border
// pixmap for the window's size now, from the pixmap's record (a pixmap its
// client freed while windows still use it has no id to look up); 0 when the
// head is not turned or lacks the window's visual.
u32 mapTurnedTileToHead(ProxyClient* client, const PixmapRecord* pixmap, const ProxyWindow* window, Head* head,
                        bool* made);

// --- Cursors ----------------------------------------------------------------------

// The cursor made on the head through the client's link under a fresh id
// of the proxy's; that id as the head's server knows it, or 0 when it could
// not be made.
u32 copyCursorToHead(void* cursor, ProxyClient* client, Head* head);

// --- Damage of the current request ---------------------------------------------

ProxyWindow* getCurrentDamageWindow();
// The damage region becomes the rectangle clipped to the window; the window,
// or null when the target is not a window.
ProxyWindow* addDamageRect(i32 x, i32 y, u32 width, u32 height);
XFontStruct* getGCFontInfo(u32 gc);
// The text's logical box by the GC's font (the whole window without font
// information). bits is 8 or 16.
ProxyWindow* addDamageText(u32 gc, i32 x, i32 y, const char* text, u32 count, u32 bits);

// --- Server displays --------------------------------------------------------------

// Screen savers and clocks of a display joining or leaving (the display
// list itself is kept by the server-display module). Null or a message.
const char* addServerDisplay(ServerDisplay* server, bool quiet);
void removeServerDisplay(ServerDisplay* server);

}  // namespace palvon

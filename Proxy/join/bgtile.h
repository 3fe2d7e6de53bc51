// Background tiles: a pixmap on one head's server that holds a copy of a
// window's contents (its background plus everything drawn into it since).
// A window gets one per head where some layer needs its contents (the
// translucency emulation composes from it). The tile is painted with the
// window's background when made, follows the window's size and bit gravity,
// and every core drawing request on the window (or, with IncludeInferiors,
// on an ancestor) is repeated into it right after the request went to the
// head. Tiles live on ProxyWindow::tiles in order of creation and go with
// the window or with their head.
//
// Main thread only.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include "base/strings.h"

namespace palvon {

struct BackgroundTile;
struct CopyPiece;
struct Head;
struct ProxyClient;
struct ProxyWindow;
struct ServerLink;

// The number of tiles that exist. Drawing handlers test it before calling a
// mirror, so that drawing costs nothing while no tile exists.
extern u32 backgroundTileCount;

// --- Tiles ---------------------------------------------------------------------------
// A new tile of the window on the head, painted with the window's
// background. With a client the pixmap is made through the client's link
// (an id from the client's own space); without one through the proxy's
// connection; a pixmap made through a client's link lasts only as long as
// that client's connection to the server. Null, or "Out of memory (%s:%d)"
// (the offline message when the proxy's connection is offline) with
// nothing made.
const char* createBackgroundTile(ProxyClient* client, ProxyWindow* window, Head* head);
// Frees the window's tiles on the head (null: every tile), through the
// client's link when it has one, else through the proxy's connection
// (nothing is sent to an offline display).
void freeBackgroundTile(ProxyClient* client, ProxyWindow* window, Head* head);
// Paints x, y, width x height of the tile with the window's background (a
// width or height of 0 reaches the tile's edge; a window without background
// paints pixel 0). Through the client's link, or the proxy's connection.
void setupBackgroundGC(ProxyWindow* window, BackgroundTile* tile, i32 x, i32 y, u32 width, u32 height,
                       ProxyClient* client);
// As the window's size changes to width x height (dx, dy: its move, for
// Static bit gravity; called before the record takes the new geometry, whose
// old size places the window on a turned head): every tile is resized and
// its contents moved and repainted as the real server does with the window.
// Copies go through the current client's link when there is one.
void paintEmulatedBackground(ProxyWindow* window, u32 width, u32 height, i32 dx, i32 dy);

// --- Mirrors ---------------------------------------------------------------------------
// Each repeats a drawing request into the tiles on `head` of the drawn
// window and, with the GC's IncludeInferiors, of its tiled viewable
// descendants. `gc` is the client's GC id; `request` is the copy that was
// just written for the head (ids and coordinates for the head, the proxy's
// byte order, not yet swapped). Nothing happens without the GC or a tile.
void mirrorPutImage(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
void mirrorCopyArea(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
void mirrorCopyPlane(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
void mirrorPolyPointOrLine(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
void mirrorPolySegment(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
void mirrorPolyRectangle(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
void mirrorPolyArc(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
void mirrorFillPoly(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
void mirrorText(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
// ShmPutImage (40 bytes, fields as the server reads them): written anew into
// each tile with the same segment and offset and no completion event.
void mirrorShmPutImage(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
// The same for a whole image that the proxy put from a segment of its own
// (`drawable` and `gc` the client's ids, `segment` the head's id of it).
void mirrorWholeShmImage(ServerLink* link, const Head* head, u32 drawable, u32 gc, u16 width, u16 height, i16 x, i16 y,
                         u8 depth, u8 format, u32 segment);
// The pieces that complete a CopyArea or CopyPlane on a scaled head (the
// column, row and corner the scaled source lacks), after the request's copy.
void mirrorCopyPieces(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length,
                      const CopyPiece* pieces, u32 count);
// An image converted for the head (scaled, turned or in the head's layout)
// that was put at x, y of the window on the head.
void mirrorConvertedImage(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const XImage* image, i32 x,
                          i32 y);
// For drawing that is not repeated from a request's copy (text drawn from
// glyph pixmaps): visit gets each tile the drawing reaches and the drawn
// window's origin in it, in the client's pixels; false stops the walk.
using TileVisit = bool (*)(BackgroundTile* tile, i32 dx, i32 dy, void* argument);
void forEachMirrorTile(const Head* head, ProxyWindow* window, u32 gc, TileVisit visit, void* argument);
// The core drawing requests by opcode (ClearArea repaints the tile's
// background, as the server does in the window); other opcodes do nothing.
void mirrorDrawing(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const u8* request, u32 length);
// Fills the rectangles (the window's coordinates on the head) into the
// tiles with the GC's foreground, its function and fill style set to GXcopy
// and Solid for the fill and restored after it.
void mirrorTextTranslucent(ServerLink* link, const Head* head, ProxyWindow* window, u32 gc, const xRectangle* rectangles,
                           u32 count);

// --- Sizes and bit gravity (pure) ------------------------------------------------------
struct TileArea {
  i32 x, y, width, height;
};
// What a resize does to a tile's contents: one copy from the old pixmap
// (source in its coordinates, destination in the new size's) and up to four
// areas to repaint with the background.
struct TileResizePlan {
  bool copy;
  i32 sourceX, sourceY;
  TileArea destination;
  u32 paintCount;
  TileArea paint[4];
};
// Whether a pixmap of the allocated size serves the new size: it must hold
// it and the new size must be more than half of it in both dimensions.
bool keepsTilePixmap(u32 allocatedWidth, u32 allocatedHeight, u32 width, u32 height);
// The plan for bit gravity 0 (Forget) to 10 (Static); false for any other
// value. `moved` is false when the old contents stay in the same pixmap, so
// that a copy onto itself is left out.
bool planTileResize(u8 bitGravity, u32 oldWidth, u32 oldHeight, u32 width, u32 height, i32 dx, i32 dy, bool moved,
                    TileResizePlan* plan);

}  // namespace palvon

// What the translucency module's files share.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct ProxyWindow;
struct Region;
struct ServerDisplay;
struct ServerLink;

constexpr u32 kTranslucentHeadSlots = 128;
// Flags of a translucent window.
constexpr u32 kTranslucentNoSelfRepaint = 1;   // only drawing on it is evaluated
constexpr u32 kTranslucentImageTextOpaque = 2; // image text opaque by its extents
constexpr u32 kTranslucentPolyTextOpaque = 4;  // poly text the same

// The translucency of one window (zero-filled; kept by the window).
struct TranslucencyRecord {
  u32* colors;  // owned; the key colours as the client gave them
  u32 count;
  u32 flags;
  u32 holders[kTranslucentHeadSlots];  // per head slot; ids on the head's server
};

// Pairs of depth-1 pixmaps: 16 to 512 pixels square, then one of the head's
// size.
constexpr u32 kStipplePairs = 7;
constexpr u32 kHeadSizePair = 6;

// The per-head windows, pixmaps and GCs, made through the proxy's own
// connection to the head's display.
struct TranslucencyDisplayRecord {
  TranslucencyDisplayRecord* next;
  Head* head;
  ServerDisplay* display;
  Window holderRoot;    // parent of every holder; bottom of the stack
  Window marker;        // its ConfigureNotify events carry the markers
  Window copyScratch[2];
  Window childScratch;
  Pixmap masks[kStipplePairs];
  Pixmap scratch[kStipplePairs];
  u32 width, height;
  GC clearGC, orGC, orInvertedGC, andGC;
};

TranslucencyDisplayRecord* translucencyDisplayOf(const Head* head);
// The head's slot in a window's holders; kTranslucentHeadSlots when none.
u32 translucentSlot(const Head* head);
// Whether the head belongs to the auxiliary resource server (no holders).
bool isResourceHead(const Head* head);

// --- Pure rules ------------------------------------------------------------------------

// Where the marker window goes to announce that a window's exposures are
// suppressed, and the window id read back from the marker's geometry; x 0
// sets, x 1 clears.
struct MarkerGeometry {
  i16 x, y;
  u16 width, height;
};
MarkerGeometry suppressionMarker(u32 window);
u32 windowOfMarker(i32 y, u32 width, u32 height);
// The stipple pair for a w x h rectangle on a head of that size: the
// smallest square pair that holds it, the head-size pair when only it does,
// -1 when none does.
int stipplePairFor(u32 width, u32 height, u32 headWidth, u32 headHeight);
// Whether a client's version request is answered by the highest version
// offered (6.3) instead of its own.
bool translucentVersionCapped(u32 major, u32 minor);

// --- Shapes on a head (shape.cpp) ---------------------------------------

// The window's id on the head (the root's stand-in for a root window).
u32 windowOnHead(const ProxyWindow* window, const Head* head);
// The window's shape holder on the head; 0 when it has none there.
u32 translucentHolder(const ProxyWindow* window, const Head* head);
// A translucent window that repaints itself (flag bit 0 clear).
bool selfRepainting(const ProxyWindow* window);
// The window's outer box (border included) at the given inside size,
// relative to another window's inside origin, moved by (dx, dy).
Region* translucentOuterBox(const ProxyWindow* window, const ProxyWindow* relativeTo, i32 dx, i32 dy, u32 width,
                            u32 height);
// A region (window coordinates) for the window's holder on the head (a
// root window's: the head's part, in the head's terms), clipped to the
// window's clip shape when asked; null when nothing is left or memory ran
// out. The caller destroys it.
Region* translucentRegionToHead(const ProxyWindow* window, const Region* region, bool clip, const Head* head);
// A box in the window's coordinates as the head shows it, relative to the
// window's inside origin there (scaled and turned by edges, as the head's
// windows are).
HeadRect translucentBoxToHead(const ProxyWindow* window, i32 x, i32 y, u32 width, u32 height, const Head* head);
// The same for the window at another size (a turned head places the
// window's origin by its size).
HeadRect translucentBoxToHeadInSize(const ProxyWindow* window, i32 x, i32 y, u32 width, u32 height, u32 windowWidth,
                                    u32 windowHeight, const Head* head);
// Copies the holder's shape onto the window's real copy with its exposures
// suppressed, and updates translucent ancestors over the region.
void applyTranslucentShape(ServerLink* link, Head* head, ProxyWindow* window, const Region* region,
                           bool keepBackground);
void addChildrenToTranslucentShape(ServerLink* link, Head* head, u32 holder, ProxyWindow* window, i32 dx, i32 dy,
                                   const Region* region);
// A region of one colour: cut out when the pixel is a key colour (or the
// window has none), made opaque otherwise.
void fillTranslucentArea(ServerLink* link, Head* head, ProxyWindow* window, const Region* region, u32 pixel);
void repaintTranslucentArea(ServerLink* link, Head* head, ProxyWindow* window, const Region* region);
// Repaints the region (window coordinates; null: the whole window) on every
// head, with the proxy's own Expose events when asked.
void repaintTranslucency(ProxyClient* client, ProxyWindow* window, const Region* region, bool clip, bool exposures);
bool isKeyColor(const TranslucencyRecord* record, u32 pixel);

// SHAPE requests written through a link (false when nothing was written).
bool writeShapeRectangles(ServerLink* link, u8 op, u32 window, i32 x, i32 y, const Region* region, u8 ordering);
bool writeShapeBox(ServerLink* link, u8 op, u32 window, i32 x, i32 y, u32 width, u32 height);
bool writeShapeCombine(ServerLink* link, u8 op, u32 destination, i32 x, i32 y, u32 source);
bool writeShapeMask(ServerLink* link, u8 op, u32 window, i32 x, i32 y, u32 pixmap);
bool writeShapeOffset(ServerLink* link, u32 window, i32 x, i32 y);

// --- Drawing (draw.cpp) -------------------------------------------------

// The pixel evaluation: the region's opaque part read from the window's
// tile on the head.
void paintTranslucencyMask(ServerLink* link, Head* head, ProxyWindow* window, const Region* region);
void translucentDraw(ServerLink* link, Head* head, ProxyWindow* window, const u8* request, u32 length, u8* copy,
                     u64 copySequence);
void translucentClearArea(ProxyClient* client, ProxyWindow* window, const u8* request);
// Expose events for the region's rectangles (window coordinates) to every
// client that selected them on the window.
void sendTranslucentExposures(ProxyWindow* window, const Region* region);

// --- Window changes (window.cpp) ----------------------------------------

void runTranslucentRepaints(ProxyClient* client);
void translucentResize(ProxyClient* client, ProxyWindow* window, u32 width, u32 height);
void translucentMove(ProxyClient* client, ProxyWindow* window, i32 dx, i32 dy);
void queueTranslucentRepaint(ProxyClient* client, ProxyWindow* window, Region* region, bool exposures);

// --- Display records (display.cpp) --------------------------------------

bool startTranslucencyOnHead(Head* head);
void stopTranslucencyDisplay(ServerDisplay* display);
void removeTranslucencyOnHead(Head* head);
int translucentExpose(ServerLink* link, u32 window);
int translucentMarkerEvent(ServerLink* link, u32 window, u32 eventWindow, i32 x, i32 y, u32 width, u32 height);
void selectTranslucencyMarkers(ServerLink* link);
void freeTranslucency(ProxyWindow* window);
// Destroys the window's holder on the head through the proxy's own
// connection.
void destroyTranslucentHolder(ProxyWindow* window, Head* head);
void stopAllTranslucency();

}  // namespace palvon

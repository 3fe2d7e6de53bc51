// Calls of the heads and screens layer into modules that are not built yet.
// Each is declared here under the name its module will give it and has a
// stand-in in heads/pending.cpp that logs "WIP" and does nothing (or gives
// the neutral answer noted). When a module lands, its definition replaces
// the stand-in and the declaration moves to that module's header.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ProxyClient;
struct ProxyWindow;
struct ServerDisplay;
struct VisualRecord;
struct Region;
struct RequestWriter;

// --- Resources and the window tree -----------------------------------------------

// What the scaler needs of a drawable: its meta position and size
// (drawcommon.h).
struct ScalingDrawable {
  i32 x, y;
  u32 width, height;
};
// A window (its position and size), a DOUBLE-BUFFER or Multi-Buffering
// buffer (its window), a pixmap (origin 0, its size); anything else: all 0.
void describeScalingDrawable(u32 drawable, ScalingDrawable* out);

// What the heads layer reads of a window record (defined with the window
// tree; x and y are the outer corner in the parent, absX and absY the
// inside origin).
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

// Resource types of the resource database.
constexpr u32 kResWindow = 1, kResPixmap = 2, kResGC = 3, kResVisual = 4, kResColormap = 5, kResCursor = 6,
              kResFont = 7, kResHead = 9, kResDbeBuffer = 14, kResGlxContext = 15, kResGlxPixmap = 16,
              kResGlxPbuffer = 17, kResMultiBuffer = 19, kResPictFormat = 20, kResPicture = 21, kResGlyphSet = 22;
// What the heads layer reads of a pixmap record; false when there is none.
struct PixmapFacts {
  u32 width, height, depth;
};
bool describePixmap(u32 pixmapId, PixmapFacts* out);
// --- Extensions ------------------------------------------------------------------

// The picture-format id on the head's server: through the hook the RENDER
// module installs while it runs; unchanged without it (renderhook.cpp).
u32 pictFormatForHead(u32 format, const Head* head);
extern u32 (*pictFormatForHeadHook)(u32 format, const Head* head);
// A joining head gets the module's formats matched before anything made
// there names one (cursors and pictures); null or an error text.
const char* adjustPictFormatsForHead(Head* head);
extern const char* (*adjustPictFormatsHook)(Head* head);

// --- Heads, pointer and input ----------------------------------------------------

// Reparents the screen's window tree from one head to another display.
void reparentWindowTree(MetaScreen* screen, Head* from, Head* to);

// --- Pointer, keyboard and display events ------------------------------------------

struct CursorRecord;
struct HeadCursor;
// Whether crossings out of the real root go straight to the crossing
// handling (a flag of the meta root window's record). Stand-in: false.
bool rootCrossingFlag(const MetaScreen* screen);

// --- Used by event translation -----------------------------------------------------

struct ServerLink;

// --- Run-time servers ------------------------------


// --- Core services the heads layer calls ----------------------------------------------


// --- Start-up and exit steps of layers not built yet --------------------------------


// --- Core protocol services the reset and the close-down call ------------------------



}  // namespace palvon

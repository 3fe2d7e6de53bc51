// The proxy's window tree: one ProxyWindow per client window of every meta
// screen, rooted at each meta screen's root window, with geometry, stacking
// order, gravity and clip regions in meta-screen pixels.
//
// Ownership: a window record is made by createProxyWindow (or the root
// set-up), registered as RT_WINDOW, and freed only when its node leaves the
// database (destroyWindowRecord). The record owns its regions, its shapes,
// its saved buffer and, until the attribute module takes it at destruction,
// its attribute block; it holds one reference on its border pixmap, its
// background pixmap and its cursor. Main thread only. Tree walks are
// iterative, so a deep tree cannot exhaust the stack.
#pragma once

#include "base/strings.h"
#include "xsupport/region.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct VisualRecord;
struct PixmapRecord;
struct CursorRecord;
struct ProxyClient;
struct Order;
struct TranslucencyRecord;

constexpr u8 kInputOutput = 1;
constexpr u8 kInputOnly = 2;
constexpr u8 kVisibilityUnknown = 3;  // the visibility state before the first validation
constexpr u32 kSubstructureRedirectMask = 0x100000;

// Window gravities.
constexpr u8 kGravityUnmap = 0;  // also Forget for bit gravity
constexpr u8 kGravityNorthWest = 1;
constexpr u8 kGravityNorth = 2;
constexpr u8 kGravityNorthEast = 3;
constexpr u8 kGravityWest = 4;
constexpr u8 kGravityCenter = 5;
constexpr u8 kGravityEast = 6;
constexpr u8 kGravitySouthWest = 7;
constexpr u8 kGravitySouth = 8;
constexpr u8 kGravitySouthEast = 9;
constexpr u8 kGravityStatic = 10;

// A client's event selection on a window.
struct EventSelection {
  EventSelection* next;
  EventSelection* previous;
  ProxyClient* client;
  u32 eventMask;
  u32 flags;
};

// An input mask that a server has confirmed for a client.
struct ConfirmedSelection {
  ConfirmedSelection* next;
  ConfirmedSelection* previous;
  ProxyClient* client;
  u32 eventMask;
  // The client's latest change not yet confirmed: its mask, and the
  // client's request that made it (0: none). A server's message of that
  // request or later was sent under it.
  u32 nextMask;
  u32 nextFrom;
};

// The window attribute block. It is made with the window and may outlive it
// for a while (the attribute module keeps destroyed windows' blocks on a list
// and frees them in turn by one timer).
struct WindowAttributes {
  WindowAttributes* next;  // on the list of destroyed windows' blocks only
  WindowAttributes* previous;
  ConfirmedSelection* confirmed;
  u32 windowId;
  i16 x, y;  // geometry last confirmed by a server, absolute
  u16 width, height, borderWidth;
  u32 parentId;  // 0 for a root
  u64 releaseAt;  // loop clock (ms) at which a destroyed window's block goes
};

// A pixmap on one head's server holding a copy of the window's contents.
struct BackgroundTile {
  BackgroundTile* next;
  BackgroundTile* previous;
  Head* head;
  u32 pixmap;  // id on the head's server
  u16 width, height;                    // the window's size on the head
  u16 allocatedWidth, allocatedHeight;  // the pixmap's size
  u32 depth;
  u32 secondPixmap;  // attached by the translucency module, 0 when unused
  u32 glxPixmap;
};

struct ProxyWindow;

// The window module's per-window buffer: a window's position before a
// pending validation. It is also the window's mark: every mark is on one
// list, so that freeing them costs what was marked, not a walk of the tree.
struct WindowSavedPosition {
  i16 oldX, oldY;
  Region* region;
  u32 flags;
  ProxyWindow* window;
  WindowSavedPosition* nextMarked;
  WindowSavedPosition* previousMarked;
};

struct ProxyWindow {
  u8 windowClass;  // kInputOutput, kInputOnly
  u8 depth;
  u32 id;
  i16 x, y;  // absolute position of the inside origin
  u16 width, height;
  MetaScreen* screen;
  ProxyWindow* parent;      // null for a root window
  ProxyWindow* topChild;    // highest child in the stacking order
  ProxyWindow* bottomChild;
  ProxyWindow* nextLower;   // next lower sibling
  ProxyWindow* nextUpper;   // next upper sibling
  WindowSavedPosition* savedBuffer;
  // Kept by the tree changes (the validation's clip list and border list).
  Region clipList;
  Region borderList;
  Region insideRegion;  // visible inside, clipped by every ancestor and the shapes
  Region borderRegion;
  i32 relativeX, relativeY;  // inside origin relative to the parent's
  u16 borderWidth;
  u8 bitGravity;
  u8 windowGravity;
  // Kept by the tree changes: MapWindow done; mapped with every ancestor;
  // viewable and InputOutput.
  u8 mapped;
  u8 viewable;
  u8 shown;
  u8 visibility;
  u8 overrideRedirect;
  u8 saveUnder;
  u8 backgroundKind;
  u8 backingStore;
  u8 hasProperties;
  u32 doNotPropagateMask;
  u32 backingPlanes;
  u32 backingPixel;
  u32 colormap;  // 0 none, 1 the proxy's own, else the client's id
  u32 backgroundPixel;
  PixmapRecord* backgroundPixmap;  // referenced
  PixmapRecord* borderPixmap;      // referenced
  u32 borderPixel;
  CursorRecord* cursor;            // referenced
  VisualRecord* visual;
  EventSelection* selections;
  // Relative to the inside origin; null when unshaped.
  Region* clipShape;
  Region* boundingShape;
  Region* inputShape;
  u8 shapedOnServers;
  WindowAttributes* attributes;
  BackgroundTile* tiles;  // per-head copies, in order of creation
  TranslucencyRecord* translucency;
  u32 propertyWindow;  // the window's stand-in on the atom server's head
  ProxyClient* owner;
  // Added with the properties: the window manager hints a client set on the
  // window (WM_NORMAL_HINTS, 18 items as sent), and the mark that keeps the
  // window's tree out of "keep windows visible".
  u8 hasSizeHints;
  u8 noKeepVisible;
  u32 sizeHints[18];
  // Added with SHAPE: shape read-backs asked of the colour head and not yet
  // answered. While one is out, the proxy's copy of the shapes is older than
  // the servers', so later changes are read back too instead of combined.
  u16 shapeReadsPending;
  // Added with the META extension: the window's layer among its siblings
  // (0 for every new window) and whether it moves along with its head.
  std::int8_t layer;
  u8 sticking;
};

// --- Records -----------------------------------------------------------------
// A zeroed record with its zeroed attribute block and empty regions, backing
// planes all ones; null when memory runs out (nothing stays allocated).
ProxyWindow* allocProxyWindow();
void initWindowDefaults(ProxyWindow* window);
// A new child of the parent, linked as its top child, regions computed; class
// 0 takes the parent's class and depth 0 with InputOutput the parent's depth.
// Null when memory runs out. The caller registers the id.
ProxyWindow* createProxyWindow(u32 id, ProxyWindow* parent, i16 x, i16 y, u16 width, u16 height, u16 borderWidth,
                               u8 windowClass, u8 depth);
// The destructor of RT_WINDOW: the window is unmapped, its descendants leave
// the database and are freed deepest first, then the window is unlinked from
// its parent and freed.
void destroyWindowRecord(ProxyWindow* window);

// --- Stacking -----------------------------------------------------------------
// Moves the window directly above the sibling (null: to the bottom). Returns
// the highest window whose stacking changed: the window when it moved up, its
// former lower neighbour when it moved down, the window when nothing changed.
ProxyWindow* restackWindow(ProxyWindow* window, ProxyWindow* sibling);
// 0 when b lies above a among their parent's children, else 1.
int isStackedAbove(const ProxyWindow* a, const ProxyWindow* b);
ProxyWindow* getFirstChildWindow(const ProxyWindow* window);
// Unlinks the window from its parent's children (top and bottom kept right).
void unlinkWindow(ProxyWindow* window);
// Links an unlinked window as the top child of window->parent.
void linkAsTopChild(ProxyWindow* window);

// --- Walks --------------------------------------------------------------------
// Result of a traversal callback: 0 visit the children, 1 skip them, 2 stop.
using WindowVisitor = int (*)(ProxyWindow* window, void* argument);
// Pre-order over the subtree, children from the top down; 2 when a callback
// stopped the walk, else 1. The callback must not unlink windows.
int traverseWindowTree(ProxyWindow* window, WindowVisitor callback, void* argument);
// Traversal callback; argument points to the wanted u32 id.
int matchWindowId(ProxyWindow* window, void* wantedId);
// Frees the saved buffer (the mark) of every window of the subtree; one
// window's alone with dropSavedPosition.
void freeWindowTreeBuffers(ProxyWindow* window);
void dropSavedPosition(ProxyWindow* window);
// 1 when another client selects SubstructureRedirect on the window.
int hasOtherSelectingClient(const ProxyWindow* window, const ProxyClient* client);

// --- Geometry and clipping ------------------------------------------------------
// The box including the border, absolute, clamped to the region range.
// Inline: the validation asks it of every sibling it passes.
inline void getWindowBorderBox(const ProxyWindow* window, RegionBox* box) {
  i32 border = window->borderWidth;
  auto clamp = [](i32 v) { return i16(v < kRegionMin ? kRegionMin : v > kRegionMax ? kRegionMax : v); };
  box->x1 = clamp(i32(window->x) - border);
  box->y1 = clamp(i32(window->y) - border);
  box->x2 = clamp(i32(window->x) + window->width + border);
  box->y2 = clamp(i32(window->y) + window->height + border);
}
// A new region of the box, cut by the window's bounding shape; null when
// memory runs out.
Region* makeShapedBoxRegion(const ProxyWindow* window, const RegionBox* box);
int shapedBoxesOverlap(const ProxyWindow* a, const RegionBox* boxA, const ProxyWindow* b, const RegionBox* boxB);
// 1 when a mapped sibling above the window (below stopSibling) overlaps the
// box, with shapes.
int isOverlappedFromAbove(const ProxyWindow* window, const ProxyWindow* stopSibling, const RegionBox* box);
// 1 when a mapped sibling below the window overlaps the box, with shapes.
int overlapsWindowBelow(const ProxyWindow* window, const RegionBox* box);
void computeGravityPosition(i32 x, i32 y, i32 staticX, i32 staticY, i32 dw, i32 dh, u8 gravity, i32* outX, i32* outY);
// After the parent moved by (dx, dy) and changed size by (dw, dh).
void moveChildrenByGravity(ProxyWindow* parent, i32 dx, i32 dy, i32 dw, i32 dh);
void clipRegionToParent(const ProxyWindow* parent, Region* region, i32 x, i32 y, i32 width, i32 height);
// Whether the window's outer box lies wholly inside its parent's inside
// region, where no ancestor cuts it.
bool borderBoxInsideParent(const ProxyWindow* window);
// After the window moved by (dx, dy) without changing size and lay wholly
// inside its parent before and after: its regions and its subtree's are
// moved, and its descendants' positions follow. False when a descendant's
// position could not follow (16-bit wrap); then everything must be computed
// again.
bool shiftWindowRegions(ProxyWindow* window, i32 dx, i32 dy);
void computeWindowClip(ProxyWindow* window);
void computeBorderClip(ProxyWindow* window);

// --- Per-head entries -----------------------------------------------------------
// The head of the window's first per-head entry, or null.
Head* getWindowFirstHead(const ProxyWindow* window);
// The server id kept for the window on the head (null head: the first
// entry's); 0 when none.
u32 getWindowHeadId(const ProxyWindow* window, const Head* head);
// The depth kept in the window's entry for the head; 0 when none.
u32 getWindowHeadFlag(const ProxyWindow* window, const Head* head);

}  // namespace palvon

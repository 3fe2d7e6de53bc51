// What the proxy keeps of a window's attributes itself: each client's event
// selection (at once) and its input selection as a server confirmed it,
// the geometry a server last confirmed, the background and border pixmaps
// and the cursor with their references, the effective background for a
// head, the save-sets of the clients, and reparenting in the model.
//
// Selections. The selection list of a window holds every client's current
// mask and decides who gets the proxy's own events (VisibilityNotify).
// Input masks (keys, buttons, motion, crossings) are also kept as confirmed
// selections in the attribute block, changed only by a round trip after the
// server processed the change, so that input the server sent under the old
// mask is still judged by it.
//
// Attribute blocks. A block is made with its window and owned by it; when
// the window is destroyed, the block moves to a list of destroyed windows'
// blocks for 7000 ms, so that events and replies that still name the
// window find its last geometry and selections.
//
// Main thread only.
#pragma once

#include "Proxy/resources/window.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ProxyClient;
struct VisualRecord;

// ButtonPress, ResizeRedirect and SubstructureRedirect: one client at a time.
constexpr u32 kExclusiveEventMask = 0x140004;
// Bits 0 to 14, FocusChange and OwnerGrabButton: changes that the confirmed
// selections follow.
constexpr u32 kInputEventBits = 0x1207fff;
// How long a destroyed window's block stays.
constexpr u64 kDestroyedAttributesMs = 7000;

// Background kinds.
constexpr u8 kBackgroundNone = 0;
constexpr u8 kBackgroundParentRelative = 1;
constexpr u8 kBackgroundPixel = 2;
constexpr u8 kBackgroundPixmap = 3;

// --- Attribute blocks ---------------------------------------------------------------
// A zeroed block, or null when memory runs out; a block and its confirmed
// selections go with releaseWindowAttributes (which accepts null).
WindowAttributes* allocWindowAttributes();
void releaseWindowAttributes(WindowAttributes* block);
// Fills the block from the window's current geometry and parent.
void initWindowAttributes(ProxyWindow* window);
// The block of a live window, else of a destroyed one with that id, else null.
WindowAttributes* findWindowAttributes(u32 windowId);
// The current client's confirmed mask on the window; 0 when none. While a
// message of one of the client's links is handled, a change that link's
// server had processed when it sent the message counts as confirmed.
u32 eventMaskOfWindowForClient(u32 windowId);

// Round-trip records and callbacks (argument: the record, freed by the
// release free()).
struct ConfirmedSelectionRecord {
  ProxyClient* client;
  u32 windowId;
  u32 mask;
  u32 from;  // the client's request that made the change
};
void updateConfirmedSelection(const u8* reply, void* record);
struct ConfirmedGeometryRecord {
  u32 windowId;
  i16 x, y;  // absolute inside origin
  u16 width, height, borderWidth;
};
void updateConfirmedGeometry(const u8* reply, void* record);

// From the block (absolute inside origin, sizes); a missing block takes a
// pixmap of that id (origin 0, border 0); false after "UNE" when neither
// exists. The parent's size is the parent block's, the window's own for a
// root.
bool getWindowOrigin(u32 windowId, i32* x, i32* y);
bool getWindowGeometry(u32 windowId, u32* width, u32* height, u32* borderWidth, u32* parentWidth,
                       u32* parentHeight);

// --- Event selections -----------------------------------------------------------------
// CreateWindow's event mask of the current client (a new window has seen no
// input, so an input mask is confirmed at once).
void setInitialEventMask(ProxyWindow* window, u32 mask);
// ChangeWindowAttributes' event mask of the current client. False, with
// nothing changed, when another client holds an exclusive bit of the mask.
bool setWindowEventMask(ProxyWindow* window, u32 mask);
// The client's entry on the window, or null.
EventSelection* findEventSelection(const ProxyWindow* window, const ProxyClient* client);
// The client's entry on the window, appended with core mask 0 when it has
// none; null when memory runs out.
EventSelection* findOrAddEventSelection(ProxyWindow* window, ProxyClient* client);
// The OR of every client's current mask on the window.
u32 allEventMasks(const ProxyWindow* window);
// A leaving client's selections and confirmed selections on every window
// (destroyed windows' blocks included).
void removeClientEventSelections(ProxyClient* client);

// --- Backgrounds, borders, cursors -------------------------------------------------------
// The setters log an invalid id and return false, changing nothing.
bool setWindowBackgroundPixmap(ProxyWindow* window, u32 pixmapId);
void setWindowBackgroundPixel(ProxyWindow* window, u32 pixel);
bool setWindowBorderPixmap(ProxyWindow* window, u32 pixmapId);
void setWindowBorderPixel(ProxyWindow* window, u32 pixel);
bool setWindowCursor(ProxyWindow* window, u32 cursorId);
// The window's effective background for the head (null head: in the
// client's terms). 1 with *pixmap (0: none) and the tile's offset, or 0
// with *pixel.
int resolveBackgroundPixmap(ProxyWindow* window, Head* head, u32* pixmap, i32* xOffset, i32* yOffset, u32* pixel);

// --- Destruction -----------------------------------------------------------------------
// Everything the window holds beyond its tree links; its block moves to the
// destroyed list.
void destroyWindowAttributes(ProxyWindow* window);
// One block, and at a reset every block at once.
void freeDestroyedWindowAttributes(void* block);
void freeAllDestroyedWindowAttributes();

// --- Save-sets ---------------------------------------------------------------------------
constexpr u8 kSaveSetInsert = 0;
constexpr u8 kSaveSetDelete = 1;
// 0, or 11 (BadAlloc) when the save-set cannot grow.
int changeSaveSet(ProxyClient* client, ProxyWindow* window, u8 mode);
void removeFromAllSaveSets(ProxyWindow* window);
// At the client's exit: each save-set window inside a window of the client
// goes to the nearest other client's ancestor, keeping its place on the
// screen, and is mapped.
void processSaveSet(ProxyClient* client);

// --- Tree ------------------------------------------------------------------------------
// Reparents in the model ((x, y) the outer corner in the new parent). 0, or
// 8 (BadMatch): another meta screen, an InputOnly parent of an InputOutput
// window, a ParentRelative background over another depth, or a parent
// inside the window's own subtree.
int reparentWindowRecord(ProxyWindow* window, ProxyWindow* parent, i32 x, i32 y, ProxyClient* client);
// The meta screen's root: the screen's size and root visual (null: the
// screen's), mapped, registered under rootId. False when memory runs out.
bool createRootWindowRecord(MetaScreen* screen, u32 rootId, VisualRecord* visual = nullptr);
// The root's new size (the record and its block).
void resizeRootWindow(ProxyWindow* root, u32 width, u32 height);
// 0 for a root, else the number of the client whose id space holds it.
u32 windowOwnerNumber(const ProxyWindow* window);
// The next window below `window` (pre-order) that is mapped, owned by
// another client than the window's, not override-redirect, and whose parent
// only the window's owner redirects: the window a window manager moves.
ProxyWindow* findNextMappedWindowInSubtree(ProxyWindow* window);
// The same, as the heads layer names it.
ProxyWindow* findManagedWindow(ProxyWindow* window);
// The head's WM_COLORMAP_WINDOWS from the meta screen's installed
// colormaps; null or a message.
const char* setHeadColormapWindows(Head* head, const u32* colormaps, u32 count);

}  // namespace palvon

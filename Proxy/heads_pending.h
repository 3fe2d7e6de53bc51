// Calls of the heads and screens layer into modules that are not built yet.
// Each is declared here under the name its module will give it and has a
// stand-in in heads_pending.cpp that logs "WIP" and does nothing (or gives
// the neutral answer noted). When a module lands, its definition replaces
// the stand-in and the declaration moves to that module's header.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include "Proxy/resource.h"
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

// What the heads layer reads of a window record. Stand-in: all 0.
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
// The cached GC of a depth on a display's screen (server displays). Stand-in: null.
GC getDepthGC(Display* display, int screen, u32 depth);
// The depth and the meta visual of a resource record of the given type
// (visual null when it has none). Stand-in: false.
bool describeResourceVisual(u32 type, void* object, u32* depth, const VisualRecord** visual);
// The window a drawable-like resource belongs to (window, DOUBLE-BUFFER or
// Multi-Buffering buffer, picture); null for others. Stand-in: null.
ProxyWindow* resourceWindow(u32 type, void* object);
// The colormaps installed on the meta screen. Stand-in: 0.
u32 installedColormaps(const MetaScreen* screen, u32* ids, u32 maximum);
void freeHeadResources(Head* head, MetaScreen* screen, bool offline);
const char* setHeadColormapWindows(Head* head, const u32* colormaps, u32 count);
void recalcKeepWindowsVisible(MetaScreen* screen);
void resizeRootWindow(ProxyWindow* root, u32 width, u32 height);
// The client's id base on a head, and the id of a drawable on the head
// after resolving an emulated DOUBLE-BUFFER buffer. Stand-in: unchanged.
u32 resolveDoubleBufferDrawable(u32 id, const Head* head);
// --- Extensions ------------------------------------------------------------------

void sendMetaScreenEvent(Head* head, MetaScreen* screen, u32 kind, u32 detail);
void sendMetaScreenChangeEvent(MetaScreen* screen, u32 detail, u32 mask);
void sendRRScreenChangeNotify(MetaScreen* screen);
void sendRootConfigureNotify(ProxyWindow* root);
bool randrEmulationActive();  // stand-in: false
// The picture-format id on the head's server. Stand-in: unchanged.
u32 pictFormatForHead(u32 format, const Head* head);
bool startTranslucency(Head* head);  // stand-in: true
void removeTranslucencyForHead(Head* head);

// --- Heads, pointer and input ----------------------------------------------------

void sampleServerTimes();
const char* startClockSync();
// Reparents the screen's window tree from one head to another display.
void reparentWindowTree(MetaScreen* screen, Head* from, Head* to);

// --- Pointer, keyboard and display events ------------------------------------------

struct CursorRecord;
struct HeadCursor;
// The recorder learns of pointer moves and head changes.
void recordPointerHeadChange(Head* head);
void recordPointerMotion(i32 x, i32 y);
// Offers a key release to the recording hotkeys; true when taken. Stand-in:
// false.
bool offerRecordingHotkey(Display* display, const XKeyEvent* event);
// Hands an event of no other use to a running recording.
void recordDisplayEvent(Display* display, const XEvent* event);
// The topmost viewable window at a meta point, and the cursor in force
// there. Stand-ins: null.
ProxyWindow* windowAtMetaPoint(MetaScreen* screen, i32 x, i32 y);
CursorRecord* cursorAtMetaPoint(MetaScreen* screen, i32 x, i32 y);
// The images of a cursor record; false when it has none. Stand-in: false.
bool describeCursorImages(const CursorRecord* cursor, const HeadCursor** images, u32* count);
// Whether crossings out of the real root go straight to the crossing
// handling (a flag of the meta root window's record). Stand-in: false.
bool rootCrossingFlag(const MetaScreen* screen);
// A mapped window below the window that a window manager manages; null when
// none. Stand-in: null.
ProxyWindow* findManagedWindow(ProxyWindow* window);
// Moves the window record to (x, y) relative to its parent.
void moveWindowRecord(ProxyWindow* window, i32 x, i32 y);
void recordWindowMove(ProxyWindow* window);
// Active grabs of the clients released on, and repeated on, one server.
void grabPointerOnDisplay(ServerDisplay* display);
void ungrabPointerOnDisplay(ServerDisplay* display);
void grabKeyboardOnDisplay(ServerDisplay* display);
void ungrabKeyboardOnDisplay(ServerDisplay* display);
// At-exit callbacks of the run.
void addExitCallback(void (*callback)(void* argument), void* argument);
void removeExitCallback(void (*callback)(void* argument), void* argument);
// Servers at run time: removal by configured name (null or a message), and
// the first display that is not the resource server.
const char* removeServer(const char* name);
ServerDisplay* firstOrdinaryDisplay();
// Selection synchronisation.
void selectionSyncClear(ServerDisplay* display, const XSelectionClearEvent* event);
void selectionSyncRequest(ServerDisplay* display, const XSelectionRequestEvent* event);
void selectionSyncNotify(ServerDisplay* display, const XSelectionEvent* event);
// Clock synchronisation: whether the window is the display's ping window,
// and its answer.
bool isTimeSyncWindow(const ServerDisplay* display, Window window);
void timeSyncAnswer(ServerDisplay* display, Time time);
// The geometry of a head shown in a window.
void setHeadWindowOrigin(Head* head, i32 x, i32 y);
void setHeadWindowSize(Head* head, u32 width, u32 height);
void applyHeadWindowState(Head* head);

// --- Visuals ---------------------------------------------------------------------

struct EmulatedColormap;
// The emulated colormap of a colormap resource; null when it has none.
EmulatedColormap* emulatedColormapOf(u32 colormapId);

// --- Selection synchronisation, stacking, run-time servers ------------------------------

// Null or a message.
const char* startSelectionSync(ServerDisplay* display, bool refresh);
void stopSelectionSync(ServerDisplay* display);
// Restacks the head's window for its keepOnTop / keepBelow tags.
void updateHeadStacking(Head* head);
// Whether the head's server can serve one pixmap format of the proxy.
// Stand-in: true.
bool checkPixmapFormatOnHead(Head* head, u32 depth, u32 bitsPerPixel, u32 pad);
// Adds a head made at run time to its screen for the requesting client;
// null or a message. Stand-in: null.
const char* addServerToScreen(Head* head, MetaScreen* screen, ProxyClient* client);

// --- Core services the heads layer calls ----------------------------------------------

// The meta screen's root window record under the id. Stand-in: true.
bool createRootWindowRecord(MetaScreen* screen, u32 id);
// The installed-colormap list of a meta screen: emptied, or holding one map.
void clearInstalledColormaps(MetaScreen* screen);
void setInstalledColormap(MetaScreen* screen, u32 colormap);
// The proxy's current time and focus time.
void setProxyCurrentTime(Time time);
void clearFreeColorCache();
// Releases the proxy's active pointer and keyboard grabs.
void releaseProxyGrabs();
// Saved window positions and visible regions of the screen's window tree.
void refreshScreenWindowTree(MetaScreen* screen);
// Colour cells of a head's colormap: the colour head preallocates a dynamic
// visual's shared colours; every still free cell is filled once; cells
// allocated exactly at the given pixels (false when they differ).
void preallocColormapCells(u32 colormap, Head* head, const VisualRecord* visual, const VisualRecord* match);
void fillFreeColorCells(Display* display, Colormap colormap, const VisualRecord* match);
bool allocColorCellsExactly(Display* display, Colormap colormap, const unsigned long* pixels, u32 count);
bool allocPixelsExactly(Display* display, Colormap colormap, const XColor* colors, u32 count);
// Whether the colormap's allocated cells can be reproduced on another
// colormap. Stand-in: true.
bool colormapCellsReproducible(u32 colormap);
// RANDR output and CRTC change notifications for the head.
void sendRandrHeadNotify(Head* head);
// Windows that follow the head move with its logical origin.
void shiftHeadFollowers(MetaScreen* screen, Head* head, i32 dx, i32 dy);
void stopTranslucencyOnDisplay(ServerDisplay* display);

}  // namespace palvon

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
// The client id of an id on a head's server. Stand-in: the id unchanged.
u32 reverseMapServerXid(u32 serverId, const Head* head);
// The colormaps installed on the meta screen. Stand-in: 0.
u32 installedColormaps(const MetaScreen* screen, u32* ids, u32 maximum);
void freeHeadResources(Head* head, MetaScreen* screen, bool offline);
const char* setHeadColormapWindows(Head* head, const u32* colormaps, u32 count);
void recalcKeepWindowsVisible(MetaScreen* screen);
void resizeRootWindow(ProxyWindow* root, u32 width, u32 height);
// Creates the cursor on the head with the given id through the writer.
// Stand-in: false.
bool copyCursorRecordToHead(void* cursor, u32 id, Head* head, RequestWriter* writer);
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

// Head changes announced to the clients that follow them.
void announceHeadChange(Head* head, u32 mask);
void placeHeadRootWindow(Head* head, ProxyClient* client, bool moveOnly);
// Re-applies a head's screen settings after a pan (change flags given).
const char* reapplyHeadGeometry(Head* head, u32 changeFlags);
void computePointerTransformation(Head* head);
void startPointerTransformation(Head* head);
void recomputeOverlappingHeads();
// The head that holds the pointer and the focus, and the last pointer
// position in the meta screen. Stand-ins: null and 0.
Head* pointerHead();
Head* focusHead();
void setFocusHead(Head* head);
void lastPointerPosition(i32* x, i32* y);
bool pointerGrabPending();
bool pointerPollActive();
void movePointerToScreen(MetaScreen* screen, i32 x, i32 y);
// Moves the pointer on a head's display (through the input-control library
// when the head holds input control).
void warpPointerOnHead(Head* head, i32 x, i32 y);
void removeTelepointer(Head* head);
void pushPointerPollInterval(u32 key, u32 milliseconds);
void popPointerPollInterval(u32 key);
void sampleServerTimes();
const char* startClockSync();
// Reparents the screen's window tree from one head to another display.
void reparentWindowTree(MetaScreen* screen, Head* from, Head* to);

// --- Visuals ---------------------------------------------------------------------

struct EmulatedColormap;
// The emulated colormap of a colormap resource; null when it has none.
EmulatedColormap* emulatedColormapOf(u32 colormapId);

}  // namespace palvon

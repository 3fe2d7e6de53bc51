// Meta screens and their heads. A MetaScreen is one screen offered to the
// clients; a Head is one screen of one real X server shown in it.
//
// Ownership: the screen list in ProxyState owns the meta screens for the
// process's lifetime; a meta screen owns its heads. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "Proxy/input/headinput.h"
#include "base/strings.h"
#include "gl/glcaps.h"

namespace palvon {

struct ServerDisplay;
struct VisualRecord;
struct HeadScaler;
struct ProxyWindow;
struct Telepointer;
struct MetaScreen;
struct Order;
struct CursorRecord;
struct EmulatedColormap;
struct Region;

struct ProxyClient;
struct RequestWriter;

constexpr u32 kHeadNameMax = 255;
constexpr u32 kHeadCleanupSlots = 8;
constexpr u32 kHeadDepthTableMax = 33;  // depths 0..32
constexpr u32 kInstalledColormapsMax = 256;

// Head tag bits that the heads and screens read.
constexpr u32 kHeadTagAtom = 0x1;
constexpr u32 kHeadTagColor = 0x2;
constexpr u32 kHeadTagGlx = 0x40;
constexpr u32 kHeadTagStatic = 0x400;
constexpr u32 kHeadTagOverlay = 0x800;
constexpr u32 kHeadTagSloppyVisuals = 0x8000;  // visuals may be missing on the head
constexpr u32 kHeadTagSloppyDepths = 0x10000;  // depths may be missing on the head
constexpr u32 kHeadTagStaticDisplay = 0x40000;

// Change-mask bits of MetaScreenSettings (and of the screen's `changed`).
constexpr u32 kMetaName = 0x1;
constexpr u32 kMetaWidth = 0x2;
constexpr u32 kMetaHeight = 0x4;
constexpr u32 kMetaPlacement = 0x8;
constexpr u32 kMetaReference = 0x10;
constexpr u32 kMetaOffsetX = 0x20;
constexpr u32 kMetaOffsetY = 0x40;
constexpr u32 kMetaKeepVisible = 0x80;
constexpr u32 kMetaWidthMM = 0x400;
constexpr u32 kMetaHeightMM = 0x800;
constexpr u32 kMetaResizePolicy = 0x1000;
constexpr u32 kMetaPassThrough = 0x6000;  // carry no field
constexpr u32 kMetaPlaceBits = 0xc7e;     // changes that move screens

struct HeadRect {
  i32 x, y;
  i32 width, height;
};

// Run when the head is removed, last slot first.
using HeadCleanup = void (*)(struct Head* head, void* argument);

struct Head {
  Head* next;                 // next head of the meta screen
  Head* back;                 // previous head of the meta screen
  Head* nextOnDisplay;        // next head of the same server display
  MetaScreen* metaScreen;
  ServerDisplay* serverDisplay;
  u32 serverIndex;            // selects the client's ServerLink for this head
  u32 id;                     // head id (resource type 9)
  u32 numberInScreen;
  u32 numberOnDisplay;
  Head* equivalentHead;       // first head showing the same screen with the same scaler
  char name[kHeadNameMax + 1];
  char configuredDisplay[kHeadNameMax + 1];
  Display* display;
  u32 screen;
  Window root;
  Colormap defaultColormap;
  u32 defaultDepth;
  u64 blackPixel, whitePixel;
  u32 width, height;          // pixels
  u32 widthMM, heightMM;
  VisualRecord* visuals;      // the screen's visuals, then the emulated ones
  i32 visualCount;
  VisualRecord* visualMatches;  // parallel to the meta screen's visuals (id 0: none)
  u8 depthTable[33];          // client depth -> depth used on the head
  double zoomX, zoomY;
  i16 panOffsetX, panOffsetY;
  u32 panModifiers;
  // Geometry.
  i32 borderWidth;
  HeadRect clip;              // on the real screen
  HeadRect logical;           // in the meta screen
  i32 offsetX, offsetY;       // offset on its real screen
  u32 rotation;               // 0..3
  HeadScaler* scaler;
  u32 tags;                   // HeadTags
  u32 given;                  // union of the settings' change bits
  Telepointer* telepointer;
  // The proxy's windows on the head's server.
  Window window;              // the head window
  Window innerWindow;
  Window rootWindow;          // the meta screen's root on this head
  Window cursorWindow;
  Window trackingWindow;
  Window keyGrabWindow;
  Pixmap backgroundPixmap;
  u8 inWindow;
  Window inWindowParent;
  HeadCleanup cleanup[kHeadCleanupSlots];
  void* cleanupArgument[kHeadCleanupSlots];
  // Added with the heads layer.
  u8 depthTableSize;          // entries of depthTable in use (0: no mapping)
  u8 fontBitmaps;             // text is drawn as bitmaps on this head
  u8 warpsPointer;            // a pan moves the pointer along
  Head* relatedHead;          // a head this one follows; forgotten when it goes
  Colormap colormap;          // the head's own colormap, 0 when it uses the default
  Order* timer;               // the head's own timer, cancelled at removal
  Cursor cursors[2];          // the proxy's cursors on the head (freed at removal)
  // Added for the cursor records: the cursor the head shows
  // (kCursorUnknown: to be set again).
  CursorRecord* currentCursor;
  // Added for the visual matches.
  i32 visualMatchCount;       // records in visualMatches (the meta screen's count when built)
  // Set when no match converts pixels (the usual head), so that every GC
  // change and drawing request need not look its visual up: 0 means ask.
  u8 pixelsAsIs;
  // Added with the head settings, the head window and probing.
  u32 direction;              // placement against relativeHead: 0 none, 1..5
  Head* relativeHead;
  i32 relativeOffsetX, relativeOffsetY;
  u8 pointerHidden;           // the head shows a blank cursor
  u8 noEntry;                 // the pointer is not moved onto the head
  u8 pointerSync;             // synchronise the display after each pointer move
  u8 wrapX, wrapY;
  u8 clickTransfer;
  u8 pointerRotation;         // the pointer turns with the head's rotation
  u8 panJump;                 // follow-pointer jumps instead of scrolling
  u8 probed;
  u16 minimumTextSize;
  u32 pointerSampleRate;      // pointer moves per second, 0 unlimited
  // cursors[0] is the head's default cursor, cursors[1] the blank cursor.
  Cursor overlayCursor;       // the fleur of an overlay head
  Window overlayChild;        // InputOnly child of an overlay head's window
  HeadRect windowGeometry;    // the head window relative to the root, as last seen
  i32 windowMapState;         // IsUnmapped, IsUnviewable or IsViewable, as last seen
  i32 stacking;               // position among the frame's siblings, 0 top
  // A probe-only head keeps what its display was opened with.
  u32 savedConnectTimeoutMs, savedOfflineTimeoutMs, savedPriority;
  u32 visualFlags;            // the visual preference the head was made with
  u32 defaultVisualId;        // on the head's server: the match of the meta root visual
  u8 colormapChosen;          // the head's default colormap is decided
  EmulatedColormap* emulatedColormap;  // of an emulated root visual, else null
  // Added with pointer and keyboard coordination: crossing, rate limit,
  // auxiliary windows and telepointer state.
  HeadInput input;
  // With the workaround ActiveDrawInWindow, on a head shown in a window:
  // the parts of the meta screen that pans uncovered since the last server
  // grab began, in meta coordinates (owned; null when none).
  Region* staleRegion;
};

struct MetaScreen {
  MetaScreen* next;
  MetaScreen* tail;           // in the first element only: the last element
  u32 number;
  Head* heads;
  VisualRecord* rootVisual;
  ProxyWindow* rootWindow;
  u32 rootId;
  u32 defaultColormap;
  u16 headCount;
  u8 backingStore;
  u8 saveUnders;
  u8 visualIdsConsecutive;
  u32 changed;
  i32 x, y;
  u32 width, height;
  double positionMMX, positionMMY;
  double widthMM, heightMM;
  u64 blackPixel, whitePixel;
  u32 minInstalledMaps, maxInstalledMaps;
  char* name;
  u32 placement;
  u32 referenceScreen;
  i32 offsetX, offsetY;
  Head* colorHead;
  Head* mainHead;
  VisualRecord* visuals;
  i32 visualCount;
  u32 glVersionCode;
  GLCapabilities gl;
  Head* tag40Head;
  u32 resizePolicy;
  i32 keepVisible;
  // Added with probing: heads removed after probing (probe-only), linked by next.
  Head* probeOnlyHeads;
  // Added with the colormap requests: the installed colormaps, most
  // recently installed last (see colorheads.h).
  u32 installedColormapIds[kInstalledColormapsMax];
  u32 installedColormapCount;
  // Added with the RANDR emulation: the time of the last configuration
  // change, of the last screen change announced, and the primary output (a
  // head id, 0 none).
  u32 randrTimestamp;
  u32 randrConfigTimestamp;
  u32 randrPrimaryOutput;
  // Added with keeping windows visible: set while part of the screen lies
  // outside every head; the heads' extents (grown by the value when it is
  // negative) and the part of the screen no head shows (owned; null or
  // empty while the heads cover the screen).
  u8 keepVisibleActive;
  HeadRect keepVisibleRect;
  Region* uncoveredRegion;
};

struct MetaScreenSettings {
  u32 mask;
  char* name;         // 0x1
  i32 width;          // 0x2
  i32 height;         // 0x4
  u32 placement;      // 0x8
  u32 referenceScreen;  // 0x10
  i32 offsetX;        // 0x20
  i32 offsetY;        // 0x40
  i32 keepVisible;    // 0x80
  u32 widthMM;        // 0x400
  u32 heightMM;       // 0x800
  u32 resizePolicy;   // 0x1000
};

// What the RANDR emulation offers for every meta screen: any size from 1
// to 65535, one size (index 0), no rotation.
constexpr u32 kRandrMinSize = 1;
constexpr u32 kRandrMaxSize = 65535;
constexpr u32 kRandrSizeCount = 1;
constexpr u32 kRandrSizeIndex = 0;
constexpr u32 kRandrRotation = 1;

// --- Meta screens ------------------------------------------------------------------

// Null when memory is exhausted. Numbered from the proxy's screen counter
// and appended to proxyState.screens.
MetaScreen* createMetaScreen();
MetaScreen* findMetaScreen(u32 number);
MetaScreen* findMetaScreenByRoot(u32 rootId);
MetaScreen* firstMetaScreen();
// Printable names; the texts live in the ring of temporary strings, except
// clientName's, which lives in one static buffer until the next call.
const char* screenName(const MetaScreen* screen);
const char* headName(const Head* head);
const char* clientName(const ProxyClient* client);
VisualRecord* findScreenVisual(const MetaScreen* screen, u32 visualId);
// One head per server display, in server-list order; null starts, null ends.
Head* nextHeadPerServer(const Head* head);
bool isHeadOnline(const Head* head);
bool isMetaScreenResizable(const MetaScreen* screen);

// Applies the settings; null or a message. Values applied before a failing
// step stay.
const char* computeMetaScreenSize(MetaScreen* screen, const MetaScreenSettings* settings);
const char* relayoutMetaScreens(MetaScreen* screen, u32 mask);
// The place of one screen in millimetres; false for a missing reference or
// a chain deeper than `depth` - 1 (a cycle).
bool computeScreenPlacement(const MetaScreen* screen, u32 depth, double* x, double* y, double* w, double* h);

double pixelsToMillimetresX(const MetaScreen* screen, i64 pixels);
double pixelsToMillimetresY(const MetaScreen* screen, i64 pixels);
u32 headMillimetreX(const Head* head);
u32 headMillimetreY(const Head* head);
u32 headGlobalX(const Head* head);
u32 headGlobalY(const Head* head);
u32 headsPixelWidth(const MetaScreen* screen);   // 1 when no head is online
u32 headsPixelHeight(const MetaScreen* screen);
u32 headsMillimetreWidth(const MetaScreen* screen);
u32 headsMillimetreHeight(const MetaScreen* screen);
void normalizeHeadPositions(MetaScreen* screen);
void setupMetaScreenColors(MetaScreen* screen);
VisualRecord* headRootVisual(Head* head);
bool isScreenSharedByHeads(const Head* head);
// At most 80 bytes, in the ring of temporary strings.
const char* describeMetaScreen(const MetaScreen* screen);
const char* describeHead(const Head* head);

// The head's match for a visual of its meta screen (null when the head has
// none), and the index of a meta visual (-1 when it is not one).
VisualRecord* headVisualMatch(const Head* head, const VisualRecord* screenVisual);
i32 screenVisualIndex(const MetaScreen* screen, const VisualRecord* visual);

// --- Client output helpers -------------------------------------------------------

// The copy in the client's output (swapped by the layout for a client of
// the other byte order), or null.
u8* queueClientBytes(const void* data, u32 length, const char* layout, ProxyClient* client);
const char* writeClientServerLinks(ProxyClient* client);
const char* flushClientServerLinks(ProxyClient* client);
const char* flushAllServerLinks();
// Lets other work run: the client is read again 8 ms later.
void scheduleClientFlush(ProxyClient* client);

// --- Heads -----------------------------------------------------------------------

const char* createHead(const char* name, const char* displayText, Display* display, u32 screen, u32 visualFlags,
                       Head** out);
// The screen's visuals followed by the emulated ones the flags ask for (the
// head has none yet); null or a message.
const char* readHeadVisuals(Head* head, u32 visualFlags);
void addHeadToScreen(Head* head, MetaScreen* screen);
void bindHeadToServerDisplay(Head* head, ServerDisplay* server);
void unbindHeadFromServerDisplay(Head* head);
Head* findEquivalentHead(Head* head);
void destroyHead(Head* head, bool offline);
const char* removeServerFromScreen(Head* head, bool offline);
// Why the head may not pan by that offset, or null; setHeadPanOffset stores
// it unless refused.
const char* panOffsetRefusal(const Head* head, i32 x, i32 y);
const char* setHeadPanOffset(Head* head, i32 x, i32 y);
bool isPanModifierPressed(const Head* head, u32 state);
bool panHead(Head* head, i32 x, i32 y, ProxyClient* client, bool bounded);
bool panHeadWithPointer(Head* head, const XCrossingEvent* event);
// The workaround ActiveDrawInWindow: a client that grabs the server may draw
// straight onto a window-shown head while a pan moves the view under it,
// leaving its drawing where the view uncovered new parts. A server grab
// forgets what earlier pans uncovered; its end exposes what the pans during
// it uncovered anew on each such head, through the proxy's own connection,
// and frees the regions. Both do nothing without the workaround.
void forgetStaleDrawing();
void refreshStaleDrawing();
// A point on the head's real screen in meta-screen coordinates.
void mapPointToHead(const Head* head, i32 x, i32 y, i32* outX, i32* outY);
const char* queryMetaPointer(Display* display, ProxyClient* client, Head** outHead, i32* outX, i32* outY);
bool windowOverlapsHead(const Head* head, const ProxyWindow* window);
void installColormapsOnHead(Head* head, RequestWriter* writer);
void uninstallColormapsOnHead(Head* head);
// The head's rectangle in the meta screen (its logical rectangle).
inline HeadRect headRect(const Head* head) { return head->logical; }

}  // namespace palvon

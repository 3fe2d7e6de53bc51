// Stand-ins for calls into modules that are not built yet (see
// heads_pending.h). Each logs "WIP" once, at its first call, and gives the
// neutral answer its declaration notes.
#include "Proxy/heads_pending.h"

#include "Proxy/proxystate.h"
#include "Proxy/window.h"
#include "Proxy/xdisplay.h"
#include "Proxy/xfs.h"
// Xlibint.h (through xfs.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/xscreen.h"
#include "base/logging.h"
#include "xsupport/misc.h"

#include <cstdlib>

namespace palvon {

// "WIP" on the problem channel, once per stand-in.
#define PENDING()              \
  do {                         \
    static bool reported;      \
    if (!reported) {           \
      reported = true;         \
      PALVON_WIP();            \
    }                          \
  } while (0)

void describeScalingDrawable([[maybe_unused]] u32 drawable, [[maybe_unused]] ScalingDrawable* out) {
  PENDING();
  *out = {};
}

void describeWindow([[maybe_unused]] const ProxyWindow* window, [[maybe_unused]] WindowFacts* out) {
  PENDING();
  *out = {};
}

bool describePixmap([[maybe_unused]] u32 pixmapId, PixmapFacts* out) {
  PENDING();
  *out = {};
  return false;
}

GC getDepthGC([[maybe_unused]] Display* display, [[maybe_unused]] int screen, [[maybe_unused]] u32 depth) {
  PENDING();
  return nullptr;
}

bool describeResourceVisual([[maybe_unused]] u32 type, [[maybe_unused]] void* object, [[maybe_unused]] u32* depth, [[maybe_unused]] const VisualRecord** visual) {
  PENDING();
  return false;
}

ProxyWindow* resourceWindow([[maybe_unused]] u32 type, [[maybe_unused]] void* object) {
  PENDING();
  return nullptr;
}

u32 reverseMapServerXid([[maybe_unused]] u32 serverId, [[maybe_unused]] const Head* head) {
  PENDING();
  return serverId;
}

u32 installedColormaps([[maybe_unused]] const MetaScreen* screen, [[maybe_unused]] u32* ids, [[maybe_unused]] u32 maximum) {
  PENDING();
  return 0;
}

void freeHeadResources([[maybe_unused]] Head* head, [[maybe_unused]] MetaScreen* screen, [[maybe_unused]] bool offline) {
  PENDING();
}

const char* setHeadColormapWindows([[maybe_unused]] Head* head, [[maybe_unused]] const u32* colormaps, [[maybe_unused]] u32 count) {
  PENDING();
  return nullptr;
}

void recalcKeepWindowsVisible([[maybe_unused]] MetaScreen* screen) {
  PENDING();
}

void resizeRootWindow([[maybe_unused]] ProxyWindow* root, [[maybe_unused]] u32 width, [[maybe_unused]] u32 height) {
  PENDING();
}

bool copyCursorRecordToHead([[maybe_unused]] void* cursor, [[maybe_unused]] u32 id, [[maybe_unused]] Head* head, [[maybe_unused]] RequestWriter* writer) {
  PENDING();
  return false;
}

u32 resolveDoubleBufferDrawable([[maybe_unused]] u32 id, [[maybe_unused]] const Head* head) {
  PENDING();
  return id;
}

XFontStruct* gcFontInfo([[maybe_unused]] u32 gc) {
  PENDING();
  return nullptr;
}

bool describeGC([[maybe_unused]] u32 gc, GCFacts* out) {
  PENDING();
  *out = {};
  return false;
}

void notePreparedDrawable([[maybe_unused]] u32 gc, [[maybe_unused]] u32 drawable) { PENDING(); }

u32 currentDamageTarget([[maybe_unused]] void** object) {
  PENDING();
  *object = nullptr;
  return 0;
}

Region* currentDamageRegion() {
  PENDING();
  return nullptr;
}

void sendMetaScreenEvent([[maybe_unused]] Head* head, [[maybe_unused]] MetaScreen* screen, [[maybe_unused]] u32 kind, [[maybe_unused]] u32 detail) {
  PENDING();
}

void sendMetaScreenChangeEvent([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] u32 detail, [[maybe_unused]] u32 mask) {
  PENDING();
}

void sendRRScreenChangeNotify([[maybe_unused]] MetaScreen* screen) {
  PENDING();
}

void sendRootConfigureNotify([[maybe_unused]] ProxyWindow* root) {
  PENDING();
}

bool randrEmulationActive() {
  PENDING();
  return false;
}

u32 pictFormatForHead([[maybe_unused]] u32 format, [[maybe_unused]] const Head* head) {
  PENDING();
  return format;
}

bool startTranslucency([[maybe_unused]] Head* head) {
  PENDING();
  return true;
}

void removeTranslucencyForHead([[maybe_unused]] Head* head) {
  PENDING();
}

void announceHeadChange([[maybe_unused]] Head* head, [[maybe_unused]] u32 mask) {
  PENDING();
}

void placeHeadRootWindow([[maybe_unused]] Head* head, [[maybe_unused]] ProxyClient* client, [[maybe_unused]] bool moveOnly) {
  PENDING();
}

const char* reapplyHeadGeometry([[maybe_unused]] Head* head, [[maybe_unused]] u32 changeFlags) {
  PENDING();
  return nullptr;
}

void computePointerTransformation([[maybe_unused]] Head* head) {
  PENDING();
}

void startPointerTransformation([[maybe_unused]] Head* head) {
  PENDING();
}

void recomputeOverlappingHeads() {
  PENDING();
}

Head* pointerHead() {
  PENDING();
  return nullptr;
}

Head* focusHead() {
  PENDING();
  return nullptr;
}

void setFocusHead([[maybe_unused]] Head* head) {
  PENDING();
}

void lastPointerPosition([[maybe_unused]] i32* x, [[maybe_unused]] i32* y) {
  PENDING();
  *x = 0, *y = 0;
}

bool pointerGrabPending() {
  PENDING();
  return false;
}

bool pointerPollActive() {
  PENDING();
  return false;
}

void movePointerToScreen([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] i32 x, [[maybe_unused]] i32 y) {
  PENDING();
}

void warpPointerOnHead([[maybe_unused]] Head* head, [[maybe_unused]] i32 x, [[maybe_unused]] i32 y) {
  PENDING();
}

void removeTelepointer([[maybe_unused]] Head* head) {
  PENDING();
}

void pushPointerPollInterval([[maybe_unused]] u32 key, [[maybe_unused]] u32 milliseconds) {
  PENDING();
}

void popPointerPollInterval([[maybe_unused]] u32 key) {
  PENDING();
}

void sampleServerTimes() {
  PENDING();
}

const char* startClockSync() {
  PENDING();
  return nullptr;
}

void reparentWindowTree([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] Head* from, [[maybe_unused]] Head* to) {
  PENDING();
}


EmulatedColormap* emulatedColormapOf([[maybe_unused]] u32 colormapId) {
  PENDING();
  return nullptr;
}


// --- Ids, properties and time stamps on the heads (minimal working forms) ---------

u32 mapServerXidToClient(u32 id, const ServerDisplay* display) {
  if (id <= 1 || !display) return id;
  for (Head* head = display->firstHead; head; head = head->nextOnDisplay) {
    if (!head->metaScreen) continue;
    if (id == head->root || id == head->rootWindow) return head->metaScreen->rootId;
    if (id == head->defaultColormap || (head->colormap && id == head->colormap)) return head->metaScreen->defaultColormap;
  }
  // An id of a client connection: the slot whose base on this server it
  // carries; ids of the server itself or of the proxy's connection stay.
  u32 serverMask = display->display ? u32(xDisplayResourceMask(display->display)) : 0;
  if (!serverMask || display->index >= kMaxServerIndexes) return id;
  u32 base = id & ~serverMask;
  u32 local = ((id & serverMask) >> (display->proxyIdShift < 32 ? display->proxyIdShift : 0)) & proxyState.resourceIdMask;
  for (u32 slot = 1; slot < kMaxClientSlots; slot++) {
    const ClientResourceTable& table = proxyState.resources.slots[slot];
    if (table.bucketCount && table.hasIdBases && table.serverIdBases[display->index] == base)
      return (slot << proxyState.resourceIdShift) | local;
  }
  return id;
}

u32 getPropertyWindow([[maybe_unused]] ProxyClient* client, u32 window, Head** head) {
  Head* atom = atomDisplay ? atomDisplay->firstHead : nullptr;
  if (ProxyWindow* record = lookupWindow(window)) {
    if (MetaScreen* screen = record->screen)
      for (Head* h = screen->heads; h; h = h->next)
        if (h->serverDisplay == atomDisplay) atom = h;
  }
  *head = atom;
  return atom ? translateXid(window, RT_WINDOW, atom) : window;
}

u32 findWindowByPropertyWindow(u32 serverWindow, const ServerDisplay* display) {
  return mapServerXidToClient(serverWindow, display);
}

// With one server, and until the clocks are synchronised, meta time is the
// servers' own.
u32 metaToServerTimestamp(u32 time, [[maybe_unused]] const Head* head) { return time; }

// --- Core protocol services the reset calls --------------------------------------

void releasePendingWindowAttributes() { PENDING(); }
void freeProxyFontPath() { PENDING(); }
void freeClientColormapCells([[maybe_unused]] ProxyClient* client) { PENDING(); }
void removeClientEventSelections([[maybe_unused]] ProxyClient* client) { PENDING(); }

}  // namespace palvon

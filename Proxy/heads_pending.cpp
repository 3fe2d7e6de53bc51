// Stand-ins for calls into modules that are not built yet (see
// heads_pending.h). Each logs "WIP" once, at its first call, and gives the
// neutral answer its declaration notes.
#include "Proxy/heads_pending.h"

#include "Proxy/xdisplay.h"
#include "Proxy/xfs.h"
// Xlibint.h (through xfs.h) defines min and max as macros.
#undef min
#undef max
#include "base/logging.h"

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

u32 resolveDoubleBufferDrawable([[maybe_unused]] u32 id, [[maybe_unused]] const Head* head) {
  PENDING();
  return id;
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

void recordPointerHeadChange([[maybe_unused]] Head* head) { PENDING(); }
void recordPointerMotion([[maybe_unused]] i32 x, [[maybe_unused]] i32 y) { PENDING(); }

bool offerRecordingHotkey([[maybe_unused]] Display* display, [[maybe_unused]] const XKeyEvent* event) {
  PENDING();
  return false;
}

void recordDisplayEvent([[maybe_unused]] Display* display, [[maybe_unused]] const XEvent* event) { PENDING(); }

ProxyWindow* windowAtMetaPoint([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] i32 x, [[maybe_unused]] i32 y) {
  PENDING();
  return nullptr;
}

CursorRecord* cursorAtMetaPoint([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] i32 x, [[maybe_unused]] i32 y) {
  PENDING();
  return nullptr;
}

bool describeCursorImages([[maybe_unused]] const CursorRecord* cursor, const HeadCursor** images, u32* count) {
  PENDING();
  *images = nullptr, *count = 0;
  return false;
}

bool rootCrossingFlag([[maybe_unused]] const MetaScreen* screen) {
  PENDING();
  return false;
}

ProxyWindow* findManagedWindow([[maybe_unused]] ProxyWindow* window) {
  PENDING();
  return nullptr;
}

void moveWindowRecord([[maybe_unused]] ProxyWindow* window, [[maybe_unused]] i32 x, [[maybe_unused]] i32 y) { PENDING(); }
void recordWindowMove([[maybe_unused]] ProxyWindow* window) { PENDING(); }
void grabPointerOnDisplay([[maybe_unused]] ServerDisplay* display) { PENDING(); }
void ungrabPointerOnDisplay([[maybe_unused]] ServerDisplay* display) { PENDING(); }
void grabKeyboardOnDisplay([[maybe_unused]] ServerDisplay* display) { PENDING(); }
void ungrabKeyboardOnDisplay([[maybe_unused]] ServerDisplay* display) { PENDING(); }
void addExitCallback([[maybe_unused]] void (*callback)(void*), [[maybe_unused]] void* argument) { PENDING(); }
void removeExitCallback([[maybe_unused]] void (*callback)(void*), [[maybe_unused]] void* argument) { PENDING(); }

const char* removeServer([[maybe_unused]] const char* name) {
  PENDING();
  return nullptr;
}

ServerDisplay* firstOrdinaryDisplay() {
  PENDING();
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server != resourceServerDisplay && server->display) return server;
  return nullptr;
}

void selectionSyncClear([[maybe_unused]] ServerDisplay* display, [[maybe_unused]] const XSelectionClearEvent* event) {
  PENDING();
}

void selectionSyncRequest([[maybe_unused]] ServerDisplay* display,
                          [[maybe_unused]] const XSelectionRequestEvent* event) {
  PENDING();
}

void selectionSyncNotify([[maybe_unused]] ServerDisplay* display, [[maybe_unused]] const XSelectionEvent* event) {
  PENDING();
}

bool isTimeSyncWindow([[maybe_unused]] const ServerDisplay* display, [[maybe_unused]] Window window) {
  PENDING();
  return false;
}

void timeSyncAnswer([[maybe_unused]] ServerDisplay* display, [[maybe_unused]] Time time) { PENDING(); }
void setHeadWindowOrigin([[maybe_unused]] Head* head, [[maybe_unused]] i32 x, [[maybe_unused]] i32 y) { PENDING(); }
void setHeadWindowSize([[maybe_unused]] Head* head, [[maybe_unused]] u32 width, [[maybe_unused]] u32 height) {
  PENDING();
}
void applyHeadWindowState([[maybe_unused]] Head* head) { PENDING(); }

EmulatedColormap* emulatedColormapOf([[maybe_unused]] u32 colormapId) {
  PENDING();
  return nullptr;
}

const char* startSelectionSync([[maybe_unused]] ServerDisplay* display, [[maybe_unused]] bool refresh) {
  PENDING();
  return nullptr;
}

void stopSelectionSync([[maybe_unused]] ServerDisplay* display) { PENDING(); }
void updateHeadStacking([[maybe_unused]] Head* head) { PENDING(); }

bool checkPixmapFormatOnHead([[maybe_unused]] Head* head, [[maybe_unused]] u32 depth,
                             [[maybe_unused]] u32 bitsPerPixel, [[maybe_unused]] u32 pad) {
  PENDING();
  return true;
}

const char* addServerToScreen([[maybe_unused]] Head* head, [[maybe_unused]] MetaScreen* screen,
                              [[maybe_unused]] ProxyClient* client) {
  PENDING();
  return nullptr;
}

bool createRootWindowRecord([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] u32 id) {
  PENDING();
  return true;
}

void clearInstalledColormaps([[maybe_unused]] MetaScreen* screen) { PENDING(); }
void setInstalledColormap([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] u32 colormap) { PENDING(); }
void setProxyCurrentTime([[maybe_unused]] Time time) { PENDING(); }
void clearFreeColorCache() { PENDING(); }
void releaseProxyGrabs() { PENDING(); }
void refreshScreenWindowTree([[maybe_unused]] MetaScreen* screen) { PENDING(); }

void preallocColormapCells([[maybe_unused]] u32 colormap, [[maybe_unused]] Head* head,
                           [[maybe_unused]] const VisualRecord* visual, [[maybe_unused]] const VisualRecord* match) {
  PENDING();
}

void fillFreeColorCells([[maybe_unused]] Display* display, [[maybe_unused]] Colormap colormap,
                        [[maybe_unused]] const VisualRecord* match) {
  PENDING();
}

bool allocColorCellsExactly([[maybe_unused]] Display* display, [[maybe_unused]] Colormap colormap,
                            [[maybe_unused]] const unsigned long* pixels, [[maybe_unused]] u32 count) {
  PENDING();
  return true;
}

bool allocPixelsExactly([[maybe_unused]] Display* display, [[maybe_unused]] Colormap colormap,
                        [[maybe_unused]] const XColor* colors, [[maybe_unused]] u32 count) {
  PENDING();
  return true;
}

bool colormapCellsReproducible([[maybe_unused]] u32 colormap) {
  PENDING();
  return true;
}

void sendRandrHeadNotify([[maybe_unused]] Head* head) { PENDING(); }

void shiftHeadFollowers([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] Head* head, [[maybe_unused]] i32 dx,
                        [[maybe_unused]] i32 dy) {
  PENDING();
}

void stopTranslucencyOnDisplay([[maybe_unused]] ServerDisplay* display) { PENDING(); }

}  // namespace palvon

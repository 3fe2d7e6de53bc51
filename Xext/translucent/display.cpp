// Translucency per head: the holder root, the marker and scratch windows,
// the stipple pixmaps and GCs on each head's display; the exposure
// suppression markers on the client links; holders going with windows and
// heads.
#include <X11/extensions/shape.h>

#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Xext/translucent/internal.h"
#include "base/logging.h"

namespace palvon {

namespace {

TranslucencyDisplayRecord* displayRecords;

constexpr unsigned kStippleSizes[kHeadSizePair] = {16, 32, 64, 128, 256, 512};

Window makeInputOnly(Display* display, Window parent, int x, int y, bool overrideRedirect) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = overrideRedirect ? True : False;
  return XfsCreateWindow(display, parent, x, y, 1, 1, 0, 0, InputOnly, CopyFromParent,
                         overrideRedirect ? CWOverrideRedirect : 0, &attributes);
}

GC makeBitGC(Display* display, Drawable drawable, int function, unsigned long foreground) {
  XGCValues values{};
  values.function = function;
  values.foreground = foreground;
  values.background = 0;
  values.graphics_exposures = False;
  return XfsCreateGC(display, drawable, GCFunction | GCForeground | GCBackground | GCGraphicsExposures, &values);
}

// Everything the record made on its display (the holder root takes its
// children along, the holders included).
void destroyOnDisplay(TranslucencyDisplayRecord* record) {
  Display* display = record->head ? record->head->display : nullptr;
  if (!display) return;
  if (record->holderRoot) XfsDestroyWindow(display, record->holderRoot);
  for (u32 k = 0; k < kStipplePairs; k++) {
    if (record->masks[k]) XfsFreePixmap(display, record->masks[k]);
    if (record->scratch[k]) XfsFreePixmap(display, record->scratch[k]);
  }
  for (GC gc : {record->clearGC, record->orGC, record->orInvertedGC, record->andGC})
    if (gc) XfsFreeGC(display, gc);
}

void unlinkRecord(TranslucencyDisplayRecord* record) {
  for (TranslucencyDisplayRecord** p = &displayRecords; *p; p = &(*p)->next) {
    if (*p == record) {
      *p = record->next;
      return;
    }
  }
}

// Forgets every window's holder on the head (the server destroyed them
// with the holder root, or lost them with the display).
void forgetHolders(Head* head, bool freeTiles) {
  u32 slot = translucentSlot(head);
  MetaScreen* screen = head->metaScreen;
  if (!screen || !screen->rootWindow) return;
  for (ProxyWindow* w = screen->rootWindow; w; w = nextWindowPreorder(w, screen->rootWindow)) {
    if (!w->translucency) continue;
    if (slot < kTranslucentHeadSlots) w->translucency->holders[slot] = 0;
    if (freeTiles && w->tiles) freeBackgroundTile(nullptr, w, head);
  }
}

}  // namespace

// --- Pure rules ---------------------------------------------------------------------------

MarkerGeometry suppressionMarker(u32 window) {
  return {0, i16(window >> 24), u16(((window >> 12) & 0xfff) | 0x1000), u16((window & 0xfff) | 0x1000)};
}

u32 windowOfMarker(i32 y, u32 width, u32 height) {
  return u32(y) << 24 | (width & 0xfff) << 12 | (height & 0xfff);
}

int stipplePairFor(u32 width, u32 height, u32 headWidth, u32 headHeight) {
  for (int k = 0; k < int(kHeadSizePair); k++)
    if (width <= kStippleSizes[k] && height <= kStippleSizes[k]) return k;
  if (width <= headWidth && height <= headHeight) return int(kHeadSizePair);
  return -1;
}

// --- Records --------------------------------------------------------------------------------

TranslucencyDisplayRecord* translucencyDisplayOf(const Head* head) {
  for (TranslucencyDisplayRecord* r = displayRecords; r; r = r->next)
    if (r->head == head) return r;
  return nullptr;
}

u32 translucentSlot(const Head* head) {
  return head && head->numberInScreen < kTranslucentHeadSlots ? head->numberInScreen : kTranslucentHeadSlots;
}

bool isResourceHead(const Head* head) {
  return !head || (resourceServerDisplay && head->serverDisplay == resourceServerDisplay);
}

bool startTranslucencyOnHead(Head* head) {
  if (translucencyDisplayOf(head)) return true;
  Display* display = head->display;
  if (!display) return true;
  auto* record = static_cast<TranslucencyDisplayRecord*>(std::calloc(1, sizeof(TranslucencyDisplayRecord)));
  if (!record) return false;
  LOGF(logChInfo, "Starting transparency for %s", head->name);
  record->head = head;
  record->display = head->serverDisplay;
  record->width = head->width;
  record->height = head->height;
  record->holderRoot = makeInputOnly(display, head->root, -1, -1, true);
  if (record->holderRoot) XfsLowerWindow(display, record->holderRoot);
  record->marker = makeInputOnly(display, record->holderRoot, 0, 0, false);
  for (Window& w : record->copyScratch) w = makeInputOnly(display, record->holderRoot, 0, 0, false);
  record->childScratch = makeInputOnly(display, record->holderRoot, 0, 0, false);
  for (u32 k = 0; k < kStipplePairs; k++) {
    unsigned w = k < kHeadSizePair ? kStippleSizes[k] : std::max(head->width, 1u);
    unsigned h = k < kHeadSizePair ? kStippleSizes[k] : std::max(head->height, 1u);
    record->masks[k] = XfsCreatePixmap(display, head->root, w, h, 1);
    record->scratch[k] = XfsCreatePixmap(display, head->root, w, h, 1);
  }
  if (Pixmap on = record->masks[1]) {
    record->clearGC = makeBitGC(display, on, GXcopy, 0);
    record->orGC = makeBitGC(display, on, GXor, 1);
    record->orInvertedGC = makeBitGC(display, on, GXorInverted, 1);
    record->andGC = makeBitGC(display, on, GXand, 1);
  }
  XfsFlush(display);
  record->next = displayRecords;
  displayRecords = record;
  // Links opened before this head came select its marker now. A server
  // joining at run time has no links yet (its head is numbered later): the
  // copy onto it selects the marker once they exist.
  for (ProxyClient* client = clientList; client; client = client->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    if (link && link->server.display == head->serverDisplay && link->setupAnswered == kSetupAnswered &&
        record->marker)
      xprotoSelectInput(&link->writer, u32(record->marker), StructureNotifyMask);
  }
  return true;
}

void stopTranslucencyDisplay(ServerDisplay* display) {
  TranslucencyDisplayRecord** p = &displayRecords;
  while (TranslucencyDisplayRecord* record = *p) {
    if (record->display != display) {
      p = &record->next;
      continue;
    }
    *p = record->next;
    if (display && display->display) destroyOnDisplay(record);
    forgetHolders(record->head, false);
    std::free(record);
  }
}

// Only the leaving head: the display's other heads keep theirs.
void removeTranslucencyOnHead(Head* head) {
  TranslucencyDisplayRecord* record = translucencyDisplayOf(head);
  forgetHolders(head, true);
  if (!record) return;
  unlinkRecord(record);
  destroyOnDisplay(record);
  if (head->display) XfsFlush(head->display);
  std::free(record);
}

void stopAllTranslucency() {
  while (TranslucencyDisplayRecord* record = displayRecords) {
    displayRecords = record->next;
    destroyOnDisplay(record);
    std::free(record);
  }
}

void destroyTranslucentHolder(ProxyWindow* window, Head* head) {
  u32 slot = translucentSlot(head);
  TranslucencyRecord* record = window->translucency;
  if (!record || slot >= kTranslucentHeadSlots || !record->holders[slot]) return;
  if (head->display && !isResourceHead(head)) XfsDestroyWindow(head->display, record->holders[slot]);
  record->holders[slot] = 0;
}

void freeTranslucency(ProxyWindow* window) {
  TranslucencyRecord* record = window->translucency;
  if (!record) return;
  if (MetaScreen* screen = window->screen) {
    for (Head* head = screen->heads; head; head = head->next) {
      destroyTranslucentHolder(window, head);
      if (head->display) XfsFlush(head->display);
    }
  }
  std::free(record->colors);
  std::free(record);
  window->translucency = nullptr;
}

// --- Markers on the client links ---------------------------------------------------------

void selectTranslucencyMarkers(ServerLink* link) {
  for (TranslucencyDisplayRecord* r = displayRecords; r; r = r->next)
    if (r->display == link->server.display && r->marker)
      xprotoSelectInput(&link->writer, u32(r->marker), StructureNotifyMask);
}

int translucentMarkerEvent(ServerLink* link, u32 window, u32 eventWindow, i32 x, i32 y, u32 width, u32 height) {
  if (!link || window != eventWindow) return 0;
  for (TranslucencyDisplayRecord* r = displayRecords; r; r = r->next) {
    if (r->display != link->server.display || u32(r->marker) != window) continue;
    if (x == 0) link->suppressedExposureWindow = windowOfMarker(y, width, height);
    else if (x == 1) link->suppressedExposureWindow = 0;
    else PALVON_UNE();
    return 1;
  }
  return 0;
}

int translucentExpose(ServerLink* link, u32 window) {
  u32 suppressed = link ? link->suppressedExposureWindow : 0;
  if (!suppressed) return 0;
  if (window == suppressed) return 1;
  for (ProxyWindow* w = lookupWindow(suppressed); w; w = w->parent)
    if (w->id == window) return 1;
  return 0;
}

}  // namespace palvon

// MORVANDELL TRANSLUCENT: the requests, enabling and disabling windows, and
// the hooks the core calls.
#include "Xext/translucent/translucent.h"

#include <X11/X.h>
#include <X11/Xproto.h>
#include <X11/extensions/shape.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/join/translucency.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/failsafe.h"
#include "Xext/extmodule.h"
#include "Xext/translucent/internal.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

constexpr u8 kQueryVersion = 0, kQueryWindow = 1, kEnableWindow = 2, kEnableInferiors = 3, kEnableAncestors = 4,
             kDisableWindow = 5, kDisableInferiors = 6, kDisableAncestors = 7, kRaiseWindow = 8, kLowerWindow = 9;
constexpr u32 kHighestMajor = 6, kHighestMinor = 3;

// --- Enabling and disabling -------------------------------------------------------------------

bool sameColors(const TranslucencyRecord* record, const u32* colors, u32 count, u32 flags) {
  if (record->flags != flags || record->count != count) return false;
  return count == 0 || std::memcmp(record->colors, colors, 4 * count) == 0;
}

// A new holder on the head, shaped like the window's real copy there. The
// window's CreateWindow may still wait in a client's link: the links are
// synced first, since the proxy's own connection reads the window's shape.
const char* makeHolder(ProxyClient* client, ProxyWindow* window, Head* head) {
  u32 slot = translucentSlot(head);
  const TranslucencyDisplayRecord* display = translucencyDisplayOf(head);
  if (slot >= kTranslucentHeadSlots || !display || !head->display) return nullptr;
  TranslucencyRecord* record = window->translucency;
  if (record->holders[slot]) return nullptr;
  // The window's CreateWindow went through its owner's link.
  for (ProxyClient* c : {window->owner, client == window->owner ? nullptr : client}) {
    ServerLink* link = c ? clientLink(c, head->serverIndex) : nullptr;
    if (!link) continue;
    if (const char* error = syncServerLink(link)) return error;
  }
  XSetWindowAttributes attributes{};
  Window holder = XfsCreateWindow(head->display, display->holderRoot, 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent,
                                  0, &attributes);
  if (!holder) return PALVON_OOM();
  XfsShapeCombineShape(head->display, holder, ShapeBounding, 0, 0, windowOnHead(window, head), ShapeBounding,
                       ShapeSet);
  XfsSync(head->display, False);
  record->holders[slot] = u32(holder);
  return nullptr;
}

void freeTiles(ProxyClient* client, ProxyWindow* window) {
  if (window->tiles) freeBackgroundTile(client, window, nullptr);
}

// Null or the failure text (the request then answers BadAlloc).
const char* enableTranslucency(ProxyWindow* window, const u32* colors, u32 count, u32 flags, const u8* request) {
  ProxyClient* client = currentClient;
  if (window->windowClass == kInputOnly) {
    LOGF(logChWarning, "Translucent InputOnly window has no effect in %s by %s", describeClientRequest(request),
         clientName(client));
    return nullptr;
  }
  if (!window->parent) {
    LOGF(logChWarning, "Translucent root window has no effect in %s by %s", describeClientRequest(request),
         clientName(client));
    return nullptr;
  }
  TranslucencyRecord* record = window->translucency;
  if (record && sameColors(record, colors, count, flags)) return nullptr;
  if (record) {
    freeTiles(client, window);
    std::free(record->colors);
    record->colors = nullptr;
    record->count = 0;
  } else {
    record = static_cast<TranslucencyRecord*>(std::calloc(1, sizeof(TranslucencyRecord)));
    if (!record) return PALVON_OOM();
    window->translucency = record;
  }
  record->flags = flags;
  if (count) {
    record->colors = static_cast<u32*>(std::malloc(4 * size_t(count)));
    if (!record->colors) return PALVON_OOM();
    std::memcpy(record->colors, colors, 4 * size_t(count));
    record->count = count;
  }
  MetaScreen* screen = window->screen;
  for (Head* head = screen ? screen->heads : nullptr; head; head = head->next) {
    if (count) {
      if (const char* error = createBackgroundTile(client, window, head)) return error;
    }
    if (isResourceHead(head)) continue;
    if (const char* error = makeHolder(client, window, head)) return error;
  }
  if (client) client->requestTranslucentWindow = window;
  if (window->viewable && !(flags & kTranslucentNoSelfRepaint)) repaintTranslucency(client, window, nullptr, false, true);
  return nullptr;
}

void repaintParentOver(ProxyClient* client, ProxyWindow* window) {
  ProxyWindow* parent = window->parent;
  if (!selfRepainting(parent)) return;
  Region* area = translucentOuterBox(window, parent, 0, 0, window->width, window->height);
  if (!area) return (void)PALVON_OOM();
  repaintTranslucency(client, parent, area, false, false);
  regionDestroy(area);
}

void disableTranslucency(ProxyClient* client, ProxyWindow* window) {
  if (!window->translucency) return;
  MetaScreen* screen = window->screen;
  for (Head* head = screen ? screen->heads : nullptr; head; head = head->next) {
    if (isResourceHead(head)) continue;
    u32 real = windowOnHead(window, head);
    if (ServerLink* link = client ? clientLink(client, head->serverIndex) : nullptr) {
      writeShapeMask(link, ShapeSet, real, 0, 0, None);
    } else if (head->display) {
      XfsShapeCombineMask(head->display, real, ShapeBounding, 0, 0, None, ShapeSet);
      XfsFlush(head->display);
    }
  }
  freeTiles(client, window);
  freeTranslucency(window);
  if (client && client->requestTranslucentWindow == window) client->requestTranslucentWindow = nullptr;
  if (window->parent && window->mapped) repaintParentOver(client, window);
}

// --- Requests ------------------------------------------------------------------------------------

ProxyWindow* requestWindow(u32 id, const u8* request, u32 length) {
  ProxyWindow* window = lookupWindow(id);
  if (!window) sendXError(BadWindow, id, request, length, nullptr);
  return window;
}

void ProcTranslucentQueryVersion(u8* request, u32) {
  u32 major = get16(request + 4), minor = get16(request + 6);
  if (translucentVersionCapped(major, minor)) major = kHighestMajor, minor = kHighestMinor;
  u8 reply[32] = {};
  reply[0] = X_Reply;
  put16(reply + 8, u16(major));
  put16(reply + 10, u16(minor));
  sendComposedReply(request[0], request[1], reply, sizeof reply, "bbsiss", currentClient);
}

void ProcTranslucentQueryWindow(u8* request, u32 length) {
  ProxyWindow* window = requestWindow(get32(request + 4), request, length);
  if (!window) return;
  const TranslucencyRecord* record = window->translucency;
  u32 count = record ? record->count : 0;
  u32 size = 32 + 4 * count;
  auto* reply = static_cast<u8*>(std::calloc(1, size));
  if (!reply) {
    PALVON_OOM();
    return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  reply[0] = X_Reply;
  reply[1] = 1;
  put32(reply + 4, count);
  put32(reply + 8, record ? record->flags : 0);
  put32(reply + 12, count);
  for (u32 k = 0; k < count; k++) put32(reply + 32 + 4 * k, record->colors[k]);
  sendComposedReply(request[0], request[1], reply, size, "bbsI", currentClient);
  std::free(reply);
}

struct EnableWalk {
  const u32* colors;
  u32 count;
  u32 flags;
  const u8* request;
  const char* error;
};

void ProcTranslucentEnableWindow(u8* request, u32 length) {
  ProxyWindow* window = requestWindow(get32(request + 4), request, length);
  if (!window) return;
  auto* colors = reinterpret_cast<const u32*>(request + 12);
  if (enableTranslucency(window, colors, (length - 12) / 4, get32(request + 8), request))
    sendXError(BadAlloc, 0, request, length, nullptr);
}

void ProcTranslucentEnableInferiors(u8* request, u32 length) {
  ProxyWindow* window = requestWindow(get32(request + 4), request, length);
  if (!window) return;
  auto* colors = reinterpret_cast<const u32*>(request + 12);
  u32 count = (length - 12) / 4, flags = get32(request + 8);
  for (ProxyWindow* w = nextWindowPreorder(window, window); w; w = nextWindowPreorder(w, window)) {
    if (enableTranslucency(w, colors, count, flags, request)) return sendXError(BadAlloc, 0, request, length, nullptr);
  }
}

// The ancestors strictly between the stop window and the window, from the
// top down (every ancestor below the root when the stop window is none of
// them), handed to `step` until it fails.
template <class Step>
bool walkAncestors(ProxyWindow* window, ProxyWindow* stop, Step step) {
  if (window == stop || window->parent == stop) return true;
  u32 depth = 0;
  for (ProxyWindow* a = window->parent; a && a != stop && a->parent; a = a->parent) depth++;
  // From the top down without a list: the walk is short and rare.
  while (depth) {
    ProxyWindow* a = window->parent;
    for (u32 k = 1; k < depth; k++) a = a->parent;
    if (!step(a)) return false;
    depth--;
  }
  return true;
}

void ProcTranslucentEnableAncestors(u8* request, u32 length) {
  ProxyWindow* window = requestWindow(get32(request + 4), request, length);
  if (!window) return;
  ProxyWindow* stop = requestWindow(get32(request + 8), request, length);
  if (!stop) return;
  auto* colors = reinterpret_cast<const u32*>(request + 16);
  u32 count = (length - 16) / 4, flags = get32(request + 12);
  bool ok = walkAncestors(window, stop, [&](ProxyWindow* a) {
    return enableTranslucency(a, colors, count, flags, request) == nullptr;
  });
  if (!ok) sendXError(BadAlloc, 0, request, length, nullptr);
}

void ProcTranslucentDisableWindow(u8* request, u32 length) {
  ProxyWindow* window = requestWindow(get32(request + 4), request, length);
  if (window) disableTranslucency(currentClient, window);
}

void ProcTranslucentDisableInferiors(u8* request, u32 length) {
  ProxyWindow* window = requestWindow(get32(request + 4), request, length);
  if (!window) return;
  for (ProxyWindow* w = nextWindowPreorder(window, window); w; w = nextWindowPreorder(w, window))
    disableTranslucency(currentClient, w);
}

void ProcTranslucentDisableAncestors(u8* request, u32 length) {
  ProxyWindow* window = requestWindow(get32(request + 4), request, length);
  if (!window) return;
  ProxyWindow* stop = requestWindow(get32(request + 8), request, length);
  if (!stop) return;
  walkAncestors(window, stop, [](ProxyWindow* a) {
    disableTranslucency(currentClient, a);
    return true;
  });
}

void restack(u8* request, u32 length, u32 mode) {
  ProxyWindow* window = requestWindow(get32(request + 4), request, length);
  if (!window || !window->screen) return;
  for (Head* head = window->screen->heads; head; head = head->next) {
    ServerLink* link = clientLink(currentClient, head->serverIndex);
    if (!link || isResourceHead(head)) continue;
    xprotoConfigureWindow(&link->writer, windowOnHead(window, head), CWStackMode, &mode);
  }
}

void ProcTranslucentRaiseWindow(u8* request, u32 length) { restack(request, length, Above); }
void ProcTranslucentLowerWindow(u8* request, u32 length) { restack(request, length, Below); }

constexpr RequestRow kRequests[] = {
    {kQueryVersion, "TranslucentQueryVersion", ProcTranslucentQueryVersion, nullptr, "bbsss", "bbsiss",
     exactSize(8), Route::kLocal},
    {kQueryWindow, "TranslucentQueryWindow", ProcTranslucentQueryWindow, nullptr, "bbsi", "bbsI", exactSize(8),
     Route::kLocal},
    {kEnableWindow, "TranslucentEnableWindow", ProcTranslucentEnableWindow, nullptr, "bbsI", "", listSize(12, 4),
     Route::kNone},
    {kEnableInferiors, "TranslucentEnableInferiors", ProcTranslucentEnableInferiors, nullptr, "bbsI", "",
     listSize(12, 4), Route::kNone},
    {kEnableAncestors, "TranslucentEnableAncestors", ProcTranslucentEnableAncestors, nullptr, "bbsI", "",
     listSize(16, 4), Route::kNone},
    {kDisableWindow, "TranslucentDisableWindow", ProcTranslucentDisableWindow, nullptr, "bbsi", "", exactSize(8),
     Route::kNone},
    {kDisableInferiors, "TranslucentDisableInferiors", ProcTranslucentDisableInferiors, nullptr, "bbsi", "",
     exactSize(8), Route::kNone},
    {kDisableAncestors, "TranslucentDisableAncestors", ProcTranslucentDisableAncestors, nullptr, "bbsii", "",
     exactSize(12), Route::kNone},
    {kRaiseWindow, "TranslucentRaiseWindow", ProcTranslucentRaiseWindow, nullptr, "bbsi", "", exactSize(8),
     Route::kNone},
    {kLowerWindow, "TranslucentLowerWindow", ProcTranslucentLowerWindow, nullptr, "bbsi", "", exactSize(8),
     Route::kNone},
};

// --- Hooks of the core -----------------------------------------------------------------------------

void mapHook(ProxyClient* client, ProxyWindow* window) {
  const TranslucencyRecord* record = window->translucency;
  if (record && record->count) return repaintTranslucency(client, window, nullptr, false, false);
  repaintParentOver(client, window);
}

// Queued: the window may be on its way out (DestroyWindow), and its
// parent's children are added back only once it is gone.
void unmapHook(ProxyClient* client, ProxyWindow* window) {
  ProxyWindow* parent = window->parent;
  if (!selfRepainting(parent)) return;
  Region* area = translucentOuterBox(window, parent, 0, 0, window->width, window->height);
  if (!area) return (void)PALVON_OOM();
  queueTranslucentRepaint(client, parent, area, false);
}

void resetTranslucent(ExtensionEntry* entry) {
  translucencyHooks = {};
  // The windows that outlive the module keep no record: their holders go
  // with the holder roots.
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    ProxyWindow* root = screen->rootWindow;
    for (ProxyWindow* w = root; w; w = nextWindowPreorder(w, root)) {
      if (!w->translucency) continue;
      std::free(w->translucency->colors);
      std::free(w->translucency);
      w->translucency = nullptr;
    }
  }
  stopAllTranslucency();
  clearModuleWord(entry);
}

}  // namespace

bool translucentVersionCapped(u32 major, u32 minor) {
  return major > kHighestMajor || (major == kHighestMajor && minor > kHighestMinor);
}

void repaintTranslucentArea(ServerLink* link, Head* head, ProxyWindow* window, const Region* region) {
  const TranslucencyRecord* record = window->translucency;
  if (!record) return;
  if (!record->count) return fillTranslucentArea(link, head, window, region, 0);
  u32 pixmap = 0, pixel = 0;
  i32 dx = 0, dy = 0;
  if (resolveBackgroundPixmap(window, nullptr, &pixmap, &dx, &dy, &pixel) && pixmap)
    return paintTranslucencyMask(link, head, window, region);
  fillTranslucentArea(link, head, window, region, pixel);
}

void repaintTranslucency(ProxyClient* client, ProxyWindow* window, const Region* region, bool clip, bool exposures) {
  TranslucencyRecord* record = window->translucency;
  MetaScreen* screen = window->screen;
  if (!record || !screen || !client) return;
  Region* whole = region ? nullptr : regionCreateRect(0, 0, window->width, window->height);
  const Region* area = region ? region : whole;
  if (!area) return (void)PALVON_OOM();
  for (Head* head = screen->heads; head; head = head->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    Region* onHead = link ? translucentRegionToHead(window, area, clip, head) : nullptr;
    if (!onHead) continue;
    u32 holder = translucentHolder(window, head);
    if (holder && (record->flags & kTranslucentNoSelfRepaint)) {
      writeShapeRectangles(link, ShapeSubtract, holder, 0, 0, onHead, YXBanded);
      addChildrenToTranslucentShape(link, head, holder, window, 0, 0, onHead);
      applyTranslucentShape(link, head, window, onHead, false);
    } else if (holder) {
      repaintTranslucentArea(link, head, window, onHead);
    }
    if (exposures) {
      const RegionBox* e = regionExtents(onHead);
      xprotoClearArea(&link->writer, windowOnHead(window, head), e->x1, e->y1, u16(e->x2 - e->x1),
                      u16(e->y2 - e->y1));
    }
    regionDestroy(onHead);
  }
  if (exposures) sendTranslucentExposures(window, area);
  regionDestroy(whole);
}

const char* copyTranslucencyToHead(ProxyClient* client, Head* head) {
  if (!translucencyDisplayOf(head) && !startTranslucencyOnHead(head)) return PALVON_OOM();
  const TranslucencyDisplayRecord* display = translucencyDisplayOf(head);
  for (ProxyClient* c = clientList; c && display && display->marker; c = c->next) {
    ServerLink* link = clientLink(c, head->serverIndex);
    if (!link || link->setupAnswered != kSetupAnswered) continue;
    xprotoSelectInput(&link->writer, u32(display->marker), StructureNotifyMask);
    if (const char* error = syncServerLink(link)) return error;
  }
  MetaScreen* screen = head->metaScreen;
  ProxyWindow* root = screen ? screen->rootWindow : nullptr;
  if (isResourceHead(head)) return nullptr;
  for (ProxyWindow* w = root; w; w = nextWindowPreorder(w, root)) {
    TranslucencyRecord* record = w->translucency;
    if (!record) continue;
    if (isDisplayOffline(head->display)) return displayOfflineText(head->display);
    // The window's own client wrote its copy on the new server: the holder
    // reads its shape through the proxy's connection once that is synced.
    if (const char* error = makeHolder(w->owner, w, head)) return error;
    if (record->count) {
      if (const char* error = createBackgroundTile(client, w, head)) return error;
    }
    XfsSync(head->display, False);
    if (w->viewable && !(record->flags & kTranslucentNoSelfRepaint) && w->owner)
      repaintTranslucency(w->owner, w, nullptr, false, false);
  }
  return nullptr;
}

void refreshTranslucentParent(ProxyClient* client, ProxyWindow* window) { repaintParentOver(client, window); }

const char* initTranslucentExtension(ExtensionEntry* entry) {
  entry->version = kHighestMajor * 64 + kHighestMinor;
  const char* refused =
      registerModule(entry, "MORVANDELL TRANSLUCENT", {kRequests, rowCount(kRequests), nullptr, 0, nullptr, 0},
                     {kModuleTranslucent, nullptr, resetTranslucent, true});
  if (refused) return refused;
  translucencyHooks = {.start = startTranslucencyOnHead,
                       .removeHead = removeTranslucencyOnHead,
                       .stopDisplay = stopTranslucencyDisplay,
                       .expose = translucentExpose,
                       .configureNotify = translucentMarkerEvent,
                       .setup = selectTranslucencyMarkers,
                       .freeRecord = freeTranslucency,
                       .draw = translucentDraw,
                       .clearArea = translucentClearArea,
                       .configure = runTranslucentRepaints,
                       .resize = translucentResize,
                       .move = translucentMove,
                       .map = mapHook,
                       .unmap = unmapHook,
                       .copyToHead = copyTranslucencyToHead};
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (!startTranslucencyOnHead(head)) return PALVON_OOM();
  return nullptr;
}

}  // namespace palvon

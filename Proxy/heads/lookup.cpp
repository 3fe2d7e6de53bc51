// Head look-up by point and by server-side id, server-side ids back to the
// ids clients know, rectangles inside drawables, warping the pointer by a
// motion, the stack of pointer-polling intervals, and the decision whether
// the auxiliary resource server is needed.
#include "Proxy/heads/lookup.h"

#include <X11/Xlibint.h>
#undef min
#undef max

#include <algorithm>

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/pointer.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/sync/selections.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "base/orders.h"
#include "xsupport/rclib/input.h"
#include "xsupport/rclib/rclib.h"
#include "xsupport/region.h"

namespace palvon {

// --- Heads by point and by id ------------------------------------------------------------

Head* findHeadAtPoint(const MetaScreen* screen, i32 x, i32 y) {
  if (!screen) return nullptr;
  for (Head* head = screen->heads; head; head = head->next) {
    const HeadRect& r = head->logical;
    if (x >= r.x && y >= r.y && i64(x) < i64(r.x) + r.width && i64(y) < i64(r.y) + r.height) return head;
  }
  return nullptr;
}

namespace {

// The bits a server gave every connection for its ids: the head bits and
// the proxy's client-local part above them.
u32 serverIdMask(const ServerDisplay* display) {
  u32 low = display->baseShift >= 32 ? 0xffffffffu : (1u << display->baseShift) - 1;
  u32 local = display->proxyIdShift >= 32 ? 0 : proxyState.resourceIdMask << display->proxyIdShift;
  return display->indexMask | local | low;
}

// The windows and colormap the proxy keeps on a head.
bool isHeadOwnId(const Head* head, u32 id) {
  const XID own[] = {head->window,       head->innerWindow,  head->rootWindow,   head->cursorWindow,
                     head->trackingWindow, head->keyGrabWindow, head->colormap,   head->backgroundPixmap};
  for (XID x : own)
    if (x && x == id) return true;
  return false;
}

}  // namespace

bool isOwnConnectionId(u32 id, const ServerDisplay* display) {
  if (!display || !display->display) return false;
  auto* own = reinterpret_cast<struct _XDisplay*>(display->display);
  return (id & ~u32(own->resource_mask)) == u32(own->resource_base);
}

Head* findHeadForServerXid(u32 id, const ServerDisplay* display) {
  if (!display) return nullptr;
  if (isSelectionSyncWindow(display, id)) return display->firstHead;
  if (isOwnConnectionId(id, display)) {
    for (Head* head = display->firstHead; head; head = head->nextOnDisplay)
      if (isHeadOwnId(head, id)) return head;
    return nullptr;
  }
  if (id & ~serverIdMask(display)) return findHeadByServerXid(id, display);
  for (Head* head = display->firstHead; head; head = head->nextOnDisplay)
    if (head->root == id) return head;
  return nullptr;
}

u32 mapServerXidToClient(u32 id, const ServerDisplay* display) {
  if (id <= PointerRoot || !display || isSelectionSyncWindow(display, id)) return id;
  if (isOwnConnectionId(id, display)) {
    for (Head* head = display->firstHead; head; head = head->nextOnDisplay) {
      if (!head->metaScreen || !isHeadOwnId(head, id)) continue;
      if (id == head->rootWindow) return head->metaScreen->rootId;
      if (id == head->colormap) return head->metaScreen->defaultColormap;
      return 0;
    }
    return id;
  }
  for (Head* head = display->firstHead; head; head = head->nextOnDisplay) {
    if (!head->metaScreen) continue;
    if (id == head->root) return head->metaScreen->rootId;
    if (id == head->defaultColormap) return head->metaScreen->defaultColormap;
  }
  Head* head = findHeadByServerXid(id, display);
  if (!head || head->serverIndex >= kMaxServerIndexes) return id;
  u32 clientPart = id & ~serverIdMask(display);
  const ResourceDatabase& db = proxyState.resources;
  for (u32 slot = 1; slot < kMaxClientSlots; slot++) {
    const ClientResourceTable& table = db.slots[slot];
    if (!table.hasIdBases || table.serverIdBases[head->serverIndex] != clientPart) continue;
    u32 local = display->proxyIdShift >= 32 ? 0 : (id >> display->proxyIdShift) & proxyState.resourceIdMask;
    return (proxyState.resourceIdShift >= 32 ? 0 : slot << proxyState.resourceIdShift) | local;
  }
  return id;
}

u32 mapServerXidToClientByType(u32 type, u32 id, const Head* head) {
  if (id <= PointerRoot || !head) return id;
  const MetaScreen* screen = head->metaScreen;
  if (type == RT_VISUAL && screen) {
    i32 count = std::min(head->visualMatchCount, screen->visualCount);
    for (i32 i = count - 1; i >= 0; i--) {
      const VisualRecord& match = head->visualMatches[i];
      if (match.visualId && (match.visualId == id || match.emulatedVisualId == id)) return screen->visuals[i].visualId;
    }
  }
  if (screen) {
    if (id == head->root || (head->rootWindow && id == head->rootWindow)) return screen->rootId;
    if (id == head->defaultColormap || (head->colormap && id == head->colormap)) return screen->defaultColormap;
  }
  return mapServerXidToClient(id, head->serverDisplay);
}

u32 reverseMapServerXid(u32 serverId, const Head* head) {
  return head ? mapServerXidToClient(serverId, head->serverDisplay) : serverId;
}

// --- Rectangles in drawables ----------------------------------------------------------------

int isRectInsideDrawable(u32 drawable, i32 x, i32 y, u32 width, u32 height) {
  if (!width || !height) return 0;
  void* object = nullptr;
  u32 type = lookupResourceAnyType(drawable, &object);
  if (type == RT_PIXMAP) {
    auto* pixmap = static_cast<PixmapRecord*>(object);
    return x >= 0 && i64(x) + width <= pixmap->width && y >= 0 && i64(y) + height <= pixmap->height;
  }
  if (type != RT_WINDOW) return 1;
  auto* window = static_cast<ProxyWindow*>(object);
  if (!window->viewable) return 0;
  i64 ax = i64(window->x) + x, ay = i64(window->y) + y;
  if (ax < 0 || ay < 0 || ax + width > kRegionMax || ay + height > kRegionMax) return 0;
  RegionBox box{i16(ax), i16(ay), i16(ax + width), i16(ay + height)};
  RegionBox border{};
  getWindowBorderBox(window, &border);
  bool inBox = box.x1 >= border.x1 && box.y1 >= border.y1 && box.x2 <= border.x2 && box.y2 <= border.y2;
  if (!inBox) return 0;
  if (window->boundingShape) {
    RegionBox inShape{i16(x), i16(y), i16(x + i64(width)), i16(y + i64(height))};
    if (regionContainsRect(window->boundingShape, &inShape) != 1) return 0;
  }
  const MetaScreen* screen = window->screen;
  if (!screen) return 1;
  return ax + width <= screen->width && ay + height <= screen->height;
}

// --- The pointer ------------------------------------------------------------------------------

void warpPointerOnHead(u32 device, [[maybe_unused]] u32 time, Head* head, i32 dx, i32 dy) {
  if (!head || !head->metaScreen) return;
  i32 x = inputState.pointerX + dx, y = inputState.pointerY + dy;
  syncInputAcrossHeads(device, nullptr, head->metaScreen, x, y, true);
}

void warpPointerOnHead(Head* head, i32 x, i32 y) {
  if (!headDisplayOpen(head)) return;
  logProblem(xrcMovePointer(head->display, kXrcMouse, int(head->screen), x, y, 0), __FILE__, __LINE__);
}

// --- Polling intervals ------------------------------------------------------------------------

void pushPointerPollInterval([[maybe_unused]] u32 device, u32 interval) {
  if (inputState.pollCount >= kPollStackSlots) {
    PALVON_UNE();
    return;
  }
  if (inputState.pollCount) {
    orderCancel(inputState.pollTimer);
    inputState.pollTimer = nullptr;
  }
  inputState.pollStack[inputState.pollCount++] = interval;
  if (inputState.pollCount == 1 || interval < inputState.pollInterval) inputState.pollInterval = interval;
  restartPointerTracking();
}

void popPointerPollInterval([[maybe_unused]] u32 device) {
  if (!inputState.pollCount) return;
  inputState.pollCount--;
  if (!inputState.pollCount) {
    orderCancel(inputState.pollTimer);
    inputState.pollTimer = nullptr;
    inputState.polling = 0;
    return;
  }
  inputState.pollInterval = *std::min_element(inputState.pollStack, inputState.pollStack + inputState.pollCount);
}

// --- The resource server ----------------------------------------------------------------------

namespace {

constexpr u32 kTagFont = 0x4;
constexpr u32 kTagsOfColourHead = 0x4a;  // color, image and the unnamed 0x40

bool screenNeedsServer(const MetaScreen* screen, bool dynamic) {
  bool allInWindow = screen->heads != nullptr, anyStatic = false;
  for (const Head* head = screen->heads; head; head = head->next) {
    if (!head->inWindow || headIsOverlay(head) || (head->tags & kHeadTagStatic)) allInWindow = false;
    if (head->tags & kHeadTagStatic) anyStatic = true;
  }
  return allInWindow || (dynamic && !anyStatic);
}

const char* addTags(Head* head, u32 tags) {
  HeadSettings settings{};
  settings.tags = getHeadTags(head) | tags;
  return applyScreenSettings(nullptr, head, kHeadGivenTags, &settings);
}

Head* firstStaticHead(const MetaScreen* screen, bool unscaledOnly) {
  for (Head* head = screen->heads; head; head = head->next)
    if ((head->tags & kHeadTagStatic) && (!unscaledOnly || !head->scaler)) return head;
  return nullptr;
}

}  // namespace

const char* decideResourceServer(bool* needed) {
  bool dynamic = proxyConfig.options & kOptionDynamicServer;
  *needed = false;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    if (screenNeedsServer(screen, false)) *needed = true;
  if (*needed || !dynamic) return nullptr;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    if (screenNeedsServer(screen, true)) *needed = true;
  if (*needed) return nullptr;
  if (Head* first = proxyState.screens ? firstStaticHead(proxyState.screens, false) : nullptr) {
    // A role tag names its server as it is applied; it is not kept in the
    // head's tag word.
    u32 roles = (atomDisplay ? 0 : kHeadTagAtom) | (fontDisplay ? 0 : kTagFont);
    if (roles)
      if (const char* error = addTags(first, roles)) return error;
  }
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    Head* colour = firstStaticHead(screen, true);
    if (!colour) {
      *needed = true;
      continue;
    }
    if (const char* error = addTags(colour, kTagsOfColourHead)) return error;
  }
  return nullptr;
}

}  // namespace palvon

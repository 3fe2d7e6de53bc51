// Window requests without a reply: CreateWindow to CirculateWindow. Each is
// checked against the proxy's tree, changes the tree, and goes to every
// head of the window's meta screen rewritten for that head.
#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/grabs.h"
#include "Proxy/heads/configurenotes.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/metacore.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/join/translucency.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/windows.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/rawtricks.h"
#include "Proxy/sync/propertywindows.h"
#include "Proxy/sync/selections.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/bits.h"
#include "base/logging.h"

namespace palvon {

namespace {

ProxyWindow* windowOrError(u32 id, const u8* request, u32 length) {
  ProxyWindow* window = lookupWindow(id);
  if (!window) sendXError(BadWindow, id, request, length, nullptr);
  return window;
}

// Requests that would change a meta root are dropped with a hint.
bool isRootWithoutEffect(const ProxyWindow* window, const u8* request) {
  if (window->parent) return false;
  LOGF(logChXhint, "No effect for root window in %s by %s", describeClientRequest(request), clientName(currentClient));
  return true;
}

// The window field of a fixed request, translated by the kind given.
void rewriteWindowField(u8* copy, u32, const RouteTarget& target, void* kind) {
  if (target.head) put32(copy + 4, translateXid(get32(copy + 4), *static_cast<u32*>(kind), target.head));
}

// The common path of the 8-byte requests on one window: the window looked
// up (BadWindow), recorded, and copied to every head with its id
// translated. Null when the request was answered with an error.
ProxyWindow* checkAndForward(u8* request, u32 length, u32 kind, bool rootAllowed) {
  u32 id = get32(request + 4);
  ProxyWindow* window = windowOrError(id, request, length);
  if (!window) return nullptr;
  setRequestResource(currentClient, id);
  if (!rootAllowed && isRootWithoutEffect(window, request)) return nullptr;
  return forwardRequest(request, length, rewriteWindowField, &kind) ? window : nullptr;
}

// Destroying or unmapping a viewable window moves no pointer, but it makes
// crossings on the proxy's own windows of the heads. While a grab holds a
// device frozen those would be taken for the pointer's moves: the windows
// select nothing while the request goes out.
ProxyWindow* checkAndForwardDeselected(u8* request, u32 length, u32 kind, bool rootAllowed) {
  u32 id = get32(request + 4);
  ProxyWindow* window = windowOrError(id, request, length);
  if (!window) return nullptr;
  setRequestResource(currentClient, id);
  if (!rootAllowed && isRootWithoutEffect(window, request)) return nullptr;
  bool frozen = (inputState.pointerGrab.client && pointerFrozen()) ||
                (inputState.keyboardGrab.client && keyboardFrozen());
  bool deselect = frozen && window->viewable;
  if (deselect) selectInputOnHeads(currentClient, 0);
  bool forwarded = forwardRequest(request, length, rewriteWindowField, &kind);
  if (deselect) selectInputOnHeads(currentClient, EnterWindowMask | LeaveWindowMask);
  return forwarded ? window : nullptr;
}

// A change of a window with children costs the model a walk of its
// subtree: what the links hold (this request too, when it went first) goes
// to the servers before it, so that they need not wait for the walk.
void handOverIfLong(const ProxyWindow* window) {
  if (window->topChild) handOverBeforeLongWork(currentClient);
}

bool anyScaledHead(const MetaScreen* screen) {
  for (const Head* head = screen ? screen->heads : nullptr; head; head = head->next) {
    if (head->scaler) return true;
  }
  return false;
}

// A child's geometry on a scaled or turned head: its inside rectangle and
// its parent's scaled in the meta screen's frame, the border scaled, the
// position made relative to the scaled parent again.
void scaleChildGeometry(const Head* head, const ProxyWindow* parent, i32 absX, i32 absY, u16* width, u16* height,
                        u16* borderWidth, i16* x, i16* y) {
  const HeadScaler* scaler = head->scaler;
  const MetaScreen* screen = head->metaScreen;
  u32 frameWidth = screen ? screen->width : 0, frameHeight = screen ? screen->height : 0;
  HeadRect inside{absX, absY, *width ? i32(*width) : 1, *height ? i32(*height) : 1};
  HeadRect outer{parent->x, parent->y, parent->width ? i32(parent->width) : 1, parent->height ? i32(parent->height) : 1};
  scaleRectangleRotated(scaler, &inside, frameWidth, frameHeight);
  scaleRectangleRotated(scaler, &outer, frameWidth, frameHeight);
  u32 border = scaleBorderWidth(scaler, *borderWidth);
  *x = i16(inside.x - outer.x - i32(border));
  *y = i16(inside.y - outer.y - i32(border));
  *width = u16(inside.width);
  *height = u16(inside.height);
  *borderWidth = u16(border);
}

// --- CreateWindow -------------------------------------------------------------------------

struct CreateCopy {
  const u8* request;
  u32 length;
  ProxyWindow* window;
  u8 depth;
  u32 visual;
  i16 x, y;
  u16 width, height, borderWidth, windowClass;
  WindowValueList values;
};

// The depth of an InputOutput window on the head: its matching visual's
// (the emulated visual's real depth), else the head's depth for it.
u8 headDepthOf(const ProxyWindow* window, const Head* head) {
  return u8(drawableDepthOnHead(window->visual, window->depth, head));
}

// A window with a colormap on an inactive head that is not the colour head
// would take its colours from nowhere: the colormaps are installed, through
// the same link, on the first active head showing the same real screen.
void installColormapsOnSibling(const RouteTarget& target, u32 mask) {
  Head* head = target.head;
  if (!(mask & CWColormap) || !head || !head->metaScreen || head->metaScreen->colorHead == head ||
      !isHeadInactive(head))
    return;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* other = screen->heads; other; other = other->next)
      if (other != head && other->serverDisplay == head->serverDisplay && other->screen == head->screen &&
          !isHeadInactive(other)) {
        installColormapsOnHead(other, &target.link->writer);
        return;
      }
}

// The request itself, its ids translated, for a head that takes the value
// list as sent.
bool copyCreateWindow(const CreateCopy& c, const RouteTarget& target) {
  const ProxyWindow* window = c.window;
  const Head* head = target.head;
  u8* p = copyRequestToServer(c.request, c.length, target.link);
  if (!p) return false;
  if (window->windowClass == kInputOutput) p[1] = headDepthOf(window, head);
  put32(p + 4, translateXid(window->id, RT_SERVER_ID, head));
  put32(p + 8, translateXid(window->parent->id, RT_WINDOW, head));
  if (c.visual) put32(p + 24, mapVisualIdToHead(c.visual, head));
  translateWindowValueIds(window, head, c.values.mask, p + 32);
  swapServerRequest(target.link, p, c.length, currentRequest.row->requestLayout);
  installColormapsOnSibling(target, c.values.mask);
  return true;
}

bool writeCreateWindow(const RouteTarget& target, void* argument) {
  auto* c = static_cast<CreateCopy*>(argument);
  ProxyWindow* window = c->window;
  Head* head = target.head;
  if (head && windowValuesPassAsIs(c->values, window, head)) return copyCreateWindow(*c, target);
  RequestWriter* writer = &target.link->writer;
  CreateCopy copy = *c;
  u32 id = window->id, parent = window->parent->id;
  if (head) {
    id = translateXid(id, RT_SERVER_ID, head);
    parent = translateXid(parent, RT_WINDOW, head);
    copy.visual = copy.visual ? mapVisualIdToHead(copy.visual, head) : CopyFromParent;
    bool inputOutput = window->windowClass == kInputOutput;
    if (inputOutput) copy.depth = headDepthOf(window, head);
    if (head->scaler) {
      scaleChildGeometry(head, window->parent, window->x, window->y, &copy.width, &copy.height, &copy.borderWidth,
                         &copy.x, &copy.y);
    }
    if (headLacksWindowVisual(head, window)) {
      const VisualRecord* own = headRootVisual(head);
      copy.visual = own ? own->visualId : CopyFromParent;
      if (inputOutput) {
        copy.depth = u8(head->defaultDepth);
        copy.borderWidth = 0;
      }
    }
    rewriteWindowValues(&copy.values, window, head, true);
  }
  u32 length = 32 + 4 * bitCount(copy.values.mask);
  u8* p = beginRequest(writer, X_CreateWindow, copy.depth, length);
  if (!p) return false;
  put32(p + 4, id);
  put32(p + 8, parent);
  put16(p + 12, u16(copy.x));
  put16(p + 14, u16(copy.y));
  put16(p + 16, copy.width);
  put16(p + 18, copy.height);
  put16(p + 20, copy.borderWidth);
  put16(p + 22, copy.windowClass);
  put32(p + 24, copy.visual);
  put32(p + 28, copy.values.mask);
  packWindowValues(copy.values, p + 32);
  finishRequest(writer, p, length, X_CreateWindow, copy.depth);
  for (u32 k = 0; k < copy.values.temporaryCount; k++) xprotoFreePixmap(writer, copy.values.temporary[k]);
  installColormapsOnSibling(target, copy.values.mask);
  return true;
}

// Sends a request whose copies differ in length per head through `write`;
// a copy that cannot be written stops the walk with BadAlloc.
bool forwardWritten(TargetVisit write, void* argument, const u8* request, u32 length) {
  struct Walk {
    TargetVisit write;
    void* argument;
    bool failed;
  } walk{write, argument, false};
  forEachTarget(
      Route::kEveryHead,
      [](const RouteTarget& target, void* a) {
        auto* w = static_cast<Walk*>(a);
        if (w->write(target, w->argument)) return true;
        w->failed = true;
        return false;
      },
      &walk);
  if (walk.failed) sendXError(BadAlloc, 0, request, length, nullptr);
  return !walk.failed;
}

// What a plain server answers BadMatch to once the visual is known: an
// InputOutput window under an InputOnly one, or whose depth its visual does
// not have, or of another depth than its parent without a border of its
// own, or of another visual without a colormap of its own; an InputOnly
// window with a depth.
bool createShapeMismatch(const ProxyWindow* parent, const ProxyWindow* window, u8 resolvedClass, u8 depth,
                         u32 mask) {
  if (resolvedClass != kInputOutput) return depth != 0;
  if (parent->windowClass != kInputOutput) return true;
  if (window->visual && window->visual->depth != window->depth) return true;
  if (!(mask & (CWBorderPixmap | CWBorderPixel)) && window->depth != parent->depth) return true;
  return !(mask & CWColormap) && window->visual != parent->visual;
}

// A new window lands on top of its siblings in the order a server takes
// the requests; a head takes each client's link in its own order, so the
// sibling another client made just before (two programs starting at once)
// may still wait on that client's link and land above the new one. That
// link is brought up to date first, so that every head stacks as the model.
// Only links the server has not caught up on are waited for; one that may
// not be waited on now (its client held or not reading) is left alone.
void settleLowerSibling(const ProxyWindow* window, const ProxyClient* client) {
  ProxyClient* owner = window->nextLower ? window->nextLower->owner : nullptr;
  if (!owner || owner == client) return;
  for (ServerLink* link : linksOf(owner))
    if (link->lastServerSequence < link->requestsSent) settleServerLink(link);
}

}  // namespace

void ProcCreateWindow(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 id = get32(request + 4), parentId = get32(request + 8), visualId = get32(request + 24);
  u32 mask = get32(request + 28);
  u16 width = get16(request + 16), height = get16(request + 18), borderWidth = get16(request + 20);
  u16 windowClass = get16(request + 22);
  if (mask & ~0x7fffu) return sendXError(BadValue, mask, request, length, "invalid value mask");
  ProxyWindow* parent = lookupWindow(parentId);
  if (!parent) return sendXError(BadWindow, parentId, request, length, nullptr);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  // What the servers would refuse is refused here, so that the tree never
  // keeps a window that no head has.
  if (windowClass > kInputOnly) return sendXError(BadValue, windowClass, request, length, nullptr);
  if (width == 0 || height == 0) return sendXError(BadValue, 0, request, length, nullptr);
  u8 resolvedClass = windowClass ? u8(windowClass) : parent->windowClass;
  if (resolvedClass == kInputOnly && borderWidth) return sendXError(BadMatch, id, request, length, nullptr);
  ProxyWindow* window = createProxyWindow(id, parent, i16(get16(request + 12)), i16(get16(request + 14)), width,
                                          height, borderWidth, u8(windowClass), request[1]);
  if (!window || !addResource(id, RT_WINDOW, window)) return sendXError(BadAlloc, 0, request, length, nullptr);
  window->visual = parent->visual;
  if (visualId != CopyFromParent) {
    window->visual = findScreenVisual(window->screen, visualId);
    if (!window->visual) {
      freeResourceById(id, RT_NONE);
      return sendXError(BadValue, visualId, request, length, "invalid visual");
    }
  }
  if (createShapeMismatch(parent, window, resolvedClass, request[1], mask)) {
    freeResourceById(id, RT_NONE);
    return sendXError(BadMatch, id, request, length, nullptr);
  }
  window->colormap = resolvedClass == kInputOnly ? 0 : parent->colormap;
  initWindowAttributes(window);
  CreateCopy copy{request,     length,     window,      request[1], visualId, i16(get16(request + 12)),
                  i16(get16(request + 14)), width, height, borderWidth, windowClass, {}};
  readWindowValues(mask, request + 32, &copy.values);
  u32 bad = 0;
  if (u8 error = refusedWindowValue(window, copy.values, &bad)) {
    freeResourceById(id, RT_NONE);
    return sendXError(error, bad, request, length, nullptr);
  }
  storeWindowValues(window, copy.values, true);
  setRequestResource(client, id);
  settleLowerSibling(window, client);
  if (!forwardWritten(writeCreateWindow, &copy, request, length)) return;
  placeWindowByLayer(window);
}

// --- ChangeWindowAttributes -------------------------------------------------------------

namespace {

struct AttributeCopy {
  ProxyWindow* window;
  u32 id;
  WindowValueList values;
};

bool writeChangeAttributes(const RouteTarget& target, void* argument) {
  auto* c = static_cast<AttributeCopy*>(argument);
  RequestWriter* writer = &target.link->writer;
  WindowValueList values = c->values;
  u32 id = c->id;
  if (target.head && c->window) {
    id = translateXid(id, RT_WINDOW, target.head);
    rewriteWindowValues(&values, c->window, target.head, false);
  } else if (target.head && !isSelectionSyncWindow(target.head->serverDisplay, id)) {
    return true;  // another display's own window
  }
  u32 length = 12 + 4 * bitCount(values.mask);
  u8* p = beginRequest(writer, X_ChangeWindowAttributes, 0, length);
  if (!p) return false;
  put32(p + 4, id);
  put32(p + 8, values.mask);
  packWindowValues(values, p + 12);
  finishRequest(writer, p, length, X_ChangeWindowAttributes, 0);
  for (u32 k = 0; k < values.temporaryCount; k++) xprotoFreePixmap(writer, values.temporary[k]);
  if (c->window) installColormapsOnSibling(target, values.mask);
  return true;
}

// A server's selection-synchronisation window, which is no client window.
bool isAnySyncWindow(u32 id) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (isSelectionSyncWindow(head->serverDisplay, id)) return true;
    }
  }
  return false;
}

}  // namespace

void ProcChangeWindowAttributes(u8* request, u32 length) {
  u32 id = get32(request + 4), mask = get32(request + 8);
  if (mask & ~0x7fffu) return sendXError(BadValue, mask, request, length, "invalid value mask");
  ProxyWindow* window = lookupWindow(id);
  if (!window && !isAnySyncWindow(id)) return sendXError(BadWindow, id, request, length, nullptr);
  AttributeCopy copy{window, id, {}};
  readWindowValues(mask, request + 12, &copy.values);
  u32 bad = 0;
  if (u8 error = window ? refusedWindowValue(window, copy.values, &bad) : 0)
    return sendXError(error, bad, request, length, nullptr);
  if (window) {
    setRequestResource(currentClient, id);
    // A refused event mask is still sent: every server holds the same
    // selections and answers BadAccess itself.
    storeWindowValues(window, copy.values, false);
  }
  forwardWritten(writeChangeAttributes, &copy, request, length);
  if (window && (mask & CWEventMask) && window->propertyWindow)
    selectStandInEvents(currentClient, window, copy.values.values[11]);  // bit 11: the event mask
}

// --- Destroying and the save-set ---------------------------------------------------------

namespace {

// Windows about to be unmapped or destroyed (the window, or its children):
// a translucent parent is evaluated again where the mapped ones were, once
// they are gone (translucentConfigureHook). False without translucency.
bool leavingTranslucentParent(ProxyWindow* window, bool children) {
  if (!(proxyConfig.options & kOptionTranslucent)) return false;
  if (!children && window->mapped) translucentUnmapHook(currentClient, window);
  for (ProxyWindow* child = children ? window->bottomChild : nullptr; child; child = child->nextUpper)
    if (child->mapped) translucentUnmapHook(currentClient, child);
  return true;
}

}  // namespace

void ProcDestroyWindow(u8* request, u32 length) {
  ProxyWindow* window = checkAndForwardDeselected(request, length, RT_REAL_ROOT, false);
  if (!window) return;
  handOverIfLong(window);
  bool translucency = leavingTranslucentParent(window, false);
  freeResourceById(window->id, RT_NONE);
  if (translucency) translucentConfigureHook(currentClient);
}

void ProcDestroySubwindows(u8* request, u32 length) {
  ProxyWindow* window = checkAndForwardDeselected(request, length, RT_WINDOW, true);
  if (!window) return;
  handOverIfLong(window);
  bool translucency = leavingTranslucentParent(window, true);
  // Bottom to top, as the servers do it.
  while (ProxyWindow* child = window->bottomChild) {
    freeResourceById(child->id, RT_NONE);
    if (window->bottomChild == child) destroyWindowRecord(child);  // not in the database
  }
  if (translucency) translucentConfigureHook(currentClient);
}

void ProcChangeSaveSet(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u8 mode = request[1];
  u32 id = get32(request + 4);
  // The window, then whose it is, then the mode, as a plain server checks.
  ProxyWindow* window = windowOrError(id, request, length);
  if (!window) return;
  if (windowOwnerNumber(window) == client->number) return sendXError(BadMatch, id, request, length, nullptr);
  if (mode > kSaveSetDelete) return sendXError(BadValue, mode, request, length, nullptr);
  setRequestResource(client, id);
  if (changeSaveSet(client, window, mode)) return sendXError(BadAlloc, 0, request, length, nullptr);
  u32 kind = RT_WINDOW;
  forwardRequest(request, length, rewriteWindowField, &kind);
}

// --- ReparentWindow -----------------------------------------------------------------------

namespace {

void rewriteReparent(u8* copy, u32, const RouteTarget& target, void* argument) {
  Head* head = target.head;
  if (!head) return;
  auto* window = static_cast<ProxyWindow*>(argument);
  put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, head));
  put32(copy + 8, translateXid(get32(copy + 8), RT_WINDOW, head));
  if (!head->scaler) return;
  u16 width = window->width, height = window->height, border = window->borderWidth;
  i16 x, y;
  scaleChildGeometry(head, window->parent, window->x, window->y, &width, &height, &border, &x, &y);
  put16(copy + 12, u16(x));
  put16(copy + 14, u16(y));
}

}  // namespace

void ProcReparentWindow(u8* request, u32 length) {
  u32 id = get32(request + 4), parentId = get32(request + 8);
  ProxyWindow* parent = windowOrError(parentId, request, length);
  if (!parent) return;
  ProxyWindow* window = windowOrError(id, request, length);
  if (!window) return;
  setRequestResource(currentClient, id);
  if (int error = reparentWindowRecord(window, parent, i16(get16(request + 12)), i16(get16(request + 14)), currentClient))
    return sendXError(u8(error), id, request, length, nullptr);
  if (!forwardRequest(request, length, rewriteReparent, window)) return;
  placeWindowByLayer(window);
}

// --- Mapping ------------------------------------------------------------------------------

void ProcMapWindow(u8* request, u32 length) {
  if (ProxyWindow* window = checkAndForward(request, length, RT_REAL_ROOT, false)) {
    handOverIfLong(window);
    mapWindowRecord(window, currentClient);
    placeWindowByLayer(window);
    if (proxyConfig.options & kOptionTranslucent) translucentMapHook(currentClient, window);
  }
}

void ProcMapSubwindows(u8* request, u32 length) {
  ProxyWindow* window = checkAndForward(request, length, RT_WINDOW, true);
  if (!window) return;
  handOverIfLong(window);
  mapSubwindowRecords(window, currentClient);
  if (proxyConfig.options & kOptionTranslucent) {
    for (ProxyWindow* child = window->bottomChild; child; child = child->nextUpper)
      if (child->mapped) translucentMapHook(currentClient, child);
  }
}

void ProcUnmapWindow(u8* request, u32 length) {
  ProxyWindow* window = checkAndForwardDeselected(request, length, RT_REAL_ROOT, false);
  if (!window) return;
  handOverIfLong(window);
  bool translucency = leavingTranslucentParent(window, false);
  unmapWindowRecord(window, 0);
  if (translucency) translucentConfigureHook(currentClient);
}

void ProcUnmapSubwindows(u8* request, u32 length) {
  ProxyWindow* window = checkAndForwardDeselected(request, length, RT_WINDOW, true);
  if (!window) return;
  handOverIfLong(window);
  bool translucency = leavingTranslucentParent(window, true);
  unmapSubwindowRecords(window, currentClient);
  if (translucency) translucentConfigureHook(currentClient);
}

// --- ConfigureWindow ----------------------------------------------------------------------

namespace {

constexpr u16 kGeometryBits = CWX | CWY | CWWidth | CWHeight | CWBorderWidth;

struct ConfigureCopy {
  ProxyWindow* window;
  u16 mask;
  u32 values[7];  // by bit
};

// A turned head shows a window's background and border tiles from another
// corner of the window, which a new size moves: they are shifted anew
// before the window takes the size, so that what the server repaints lines
// up. Window managers often free such a pixmap once the window has it.
bool reshiftTurnedTiles(const RouteTarget& target, ProxyWindow* window, u16 mask) {
  Head* head = target.head;
  if (!head || !head->rotation || !(mask & (CWWidth | CWHeight))) return true;
  const PixmapRecord* tiles[2] = {window->backgroundKind == kBackgroundPixmap ? window->backgroundPixmap : nullptr,
                                  window->borderPixmap};
  const u32 bits[2] = {CWBackPixmap, CWBorderPixmap};
  u32 values[2], made[2], valueMask = 0, count = 0, madeCount = 0;
  for (u32 k = 0; k < 2; k++) {
    bool fresh = false;
    u32 id = tiles[k] ? mapTurnedTileToHead(currentClient, tiles[k], window, head, &fresh) : 0;
    if (!id) continue;
    valueMask |= bits[k], values[count++] = id;
    if (fresh) made[madeCount++] = id;
  }
  if (!valueMask) return true;
  RequestWriter* writer = &target.link->writer;
  u8* p = beginRequest(writer, X_ChangeWindowAttributes, 0, 12 + 4 * count);
  if (!p) return false;
  put32(p + 4, translateXid(window->id, RT_WINDOW, head));
  put32(p + 8, valueMask);
  for (u32 k = 0; k < count; k++) put32(p + 12 + 4 * k, values[k]);
  finishRequest(writer, p, 12 + 4 * count, X_ChangeWindowAttributes, 0);
  for (u32 k = 0; k < madeCount; k++) xprotoFreePixmap(writer, made[k]);
  return true;
}

bool writeConfigure(const RouteTarget& target, void* argument) {
  auto* c = static_cast<ConfigureCopy*>(argument);
  Head* head = target.head;
  if (!reshiftTurnedTiles(target, c->window, c->mask)) return false;
  u32 packed[7], scaled[7];
  u16 mask = c->mask;
  u32 count = 0;
  for (u32 bit = 0; bit < 7; bit++) {
    if (mask & (1u << bit)) packed[count++] = c->values[bit];
  }
  const u32* values = packed;
  u32 id = c->window->id;
  if (head) {
    id = translateXid(id, RT_REAL_ROOT, head);
    if (head->scaler && (mask & kGeometryBits)) {
      mask = scaleConfigureValues(head, c->window, mask, packed, scaled);
      values = scaled;
    }
    if (mask & CWSibling) {
      u32 at = bitCount(mask & (CWSibling - 1));
      u32* list = values == scaled ? scaled : packed;
      list[at] = translateXid(list[at], RT_WINDOW, head);
    }
  }
  u32 words = bitCount(mask);
  u32 length = 12 + 4 * words;
  RequestWriter* writer = &target.link->writer;
  u8* p = beginRequest(writer, X_ConfigureWindow, 0, length);
  if (!p) return false;
  put32(p + 4, id);
  put16(p + 8, mask);
  put16(p + 10, 0);
  for (u32 k = 0; k < words; k++) put32(p + 12 + 4 * k, values[k]);
  finishRequest(writer, p, length, X_ConfigureWindow, 0);
  return true;
}

// TopIf, BottomIf and Opposite were decided on the model: the heads get
// where the window went, so that no head decides otherwise on its own
// (scaled) geometry.
void settleConditionalStacking(ConfigureCopy* copy) {
  u32 mode = copy->values[6];
  if (!(copy->mask & CWStackMode) || mode < kStackTopIf) return;
  copy->mask &= u16(~CWSibling);
  if (!copy->window->nextUpper) {
    copy->values[6] = kStackAbove;
  } else if (!copy->window->nextLower) {
    copy->values[6] = kStackBelow;
  } else {
    copy->mask &= u16(~CWStackMode);  // it stayed where it was
  }
}

// The geometry a redirected ConfigureWindow asks for: its values over the
// window's own (16-bit fields, as a server reads them).
WindowGeometry askedGeometry(const ConfigureCopy& copy) {
  WindowGeometry asked = modelGeometry(copy.window);
  i32* fields[5] = {&asked.x, &asked.y, &asked.width, &asked.height, &asked.border};
  for (u32 bit = 0; bit < 5; bit++) {
    if (copy.mask & (1u << bit)) *fields[bit] = bit < 2 ? i16(copy.values[bit]) : u16(copy.values[bit]);
  }
  return asked;
}

void confirmGeometryLater(ProxyWindow* window) {
  ProxyClient* client = currentClient;
  MetaScreen* first = proxyState.screens;
  Head* main = first ? (first->mainHead ? first->mainHead : first->heads) : nullptr;
  ServerLink* link = main && client ? clientLink(client, main->serverIndex) : nullptr;
  if (!link) {
    initWindowAttributes(window);
    return;
  }
  auto* record = static_cast<ConfirmedGeometryRecord*>(std::malloc(sizeof(ConfirmedGeometryRecord)));
  if (!record) {
    PALVON_OOM();
    return;
  }
  *record = {window->id, window->x, window->y, window->width, window->height, window->borderWidth};
  if (!queueRoundTripCallback(link, updateConfirmedGeometry, record, std::free)) std::free(record);
}

// A pointer grab confines the pointer to a window that may just have moved
// away from it (itself or with an ancestor): as a plain server does, the
// pointer is brought to the nearest point of the window's new rectangle,
// once the servers have made the change. The position is asked of the
// server then: the one holding the grab has confined its pointer itself,
// and the last position the proxy saw may be older than that.
void keepPointerConfined(ProxyClient* client, const ProxyWindow* configured) {
  const InputGrab& grab = inputState.pointerGrab;
  ProxyWindow* confine = grab.client && grab.confineTo ? lookupWindow(grab.confineTo) : nullptr;
  if (!confine || !confine->screen || !confine->width || !confine->height) return;
  const ProxyWindow* moved = confine;
  while (moved && moved != configured) moved = moved->parent;
  if (!moved) return;
  logProblem(syncClientLinks(client), __FILE__, __LINE__);
  Head* head = nullptr;
  i32 x = 0, y = 0;
  if (const char* error = queryMetaPointer(nullptr, nullptr, &head, &x, &y)) logProblem(error, __FILE__, __LINE__);
  i32 right = confine->x + i32(confine->width) - 1, bottom = confine->y + i32(confine->height) - 1;
  i32 inX = std::clamp(x, i32(confine->x), right), inY = std::clamp(y, i32(confine->y), bottom);
  if (inX == x && inY == y && head && head->metaScreen == confine->screen) return;
  movePointerToScreen(confine->screen, inX, inY);
}

constexpr u32 kWorkaroundRefreshBitGravity = 0x8;

// Servers that keep a moved or resized window's pixels by its bit gravity
// may leave stale ones: with the workaround, a top-level window's area is
// exposed anew on every head of its screen once the servers have changed it.
void refreshChangedWindow(ProxyClient* client, const ProxyWindow* window) {
  if (!(proxyConfig.workarounds & kWorkaroundRefreshBitGravity)) return;
  if (!window->parent || window->parent->parent || window->windowClass != kInputOutput || !window->width ||
      !window->height || !window->screen)
    return;
  logProblem(syncClientLinks(client), __FILE__, __LINE__);
  MetaScreen* screen = window->screen;
  u32 border = window->borderWidth;
  for (Head* head = screen->heads; head; head = head->next) {
    if (!head->rootWindow || !isHeadOnline(head)) continue;
    // The top-level window's outer rectangle in its root, the meta frame.
    xRectangle area{i16(window->x - i32(border)), i16(window->y - i32(border)), u16(window->width + 2 * border),
                    u16(window->height + 2 * border)};
    if (head->scaler) {
      setScalerDrawable(head->scaler, screen->rootId);
      scaleRectangles(head->scaler, &area, 1);
    }
    exposeRectanglesByWindows(head->display, head->rootWindow, &area, 1);
  }
}

}  // namespace

void ProcConfigureWindow(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 id = get32(request + 4);
  u16 mask = get16(request + 8);
  if (mask & ~0x7fu) return sendXError(BadValue, mask, request, length, "invalid value mask");
  ProxyWindow* window = windowOrError(id, request, length);
  if (!window) return;
  setRequestResource(client, id);
  if (isRootWithoutEffect(window, request)) return;
  ConfigureCopy copy{window, mask, {}};
  const u8* list = request + 12;
  u32 words[7];
  u32 count = 0;
  for (u32 bit = 0; bit < 7; bit++) {
    if (!(mask & (1u << bit))) continue;
    copy.values[bit] = words[count++] = get32(list);
    list += 4;
  }
  u32 badValue = 0;
  i32 oldX = window->x, oldY = window->y;
  u32 oldWidth = window->width, oldHeight = window->height;
  // The change is settled on the model before it is written; the requests
  // before it go ahead meanwhile.
  handOverIfLong(window);
  if (int error = configureWindowRecord(window, mask, words, client, &badValue))
    return sendXError(u8(error), badValue, request, length, nullptr);
  bool translucency = proxyConfig.options & kOptionTranslucent;
  if (translucency) {
    translucentTreeHook(client, window, oldWidth, oldHeight);
    translucentRegionHook(client, window, window->x - oldX, window->y - oldY);
  }
  ProxyWindow* parent = window->parent;
  bool redirected = !window->overrideRedirect && hasOtherSelectingClient(parent, client);
  if ((mask & kGeometryBits) && (window->selections || parent->selections || anyScaledHead(window->screen)))
    confirmGeometryLater(window);
  MetaScreen* screen = window->screen;
  Head* main = screen ? (screen->mainHead ? screen->mainHead : screen->heads) : nullptr;
  // A scaled head's copy carries all four geometry values: the window
  // manager gets the client's own mask back from the note.
  if (redirected && main && main->scaler) queueConfigureNotes(client, window, mask, askedGeometry(copy));
  if (!redirected) settleConditionalStacking(&copy);
  if (mask & kGeometryBits) unconfineGrabLeavingHead(window, client);
  bool written = forwardWritten(writeConfigure, &copy, request, length);
  // The repaints the change left behind follow it to the servers.
  if (translucency) translucentConfigureHook(client);
  if (!written) return;
  checkGrabsAfterConfigure();
  if (mask & (CWX | CWY | CWWidth | CWHeight)) refreshChangedWindow(client, window);
  if (mask & kGeometryBits) keepPointerConfined(client, window);
  if (mask & CWStackMode) placeWindowByLayer(window);
}

// --- CirculateWindow ----------------------------------------------------------------------

void ProcCirculateWindow(u8* request, u32 length) {
  u8 direction = request[1];
  if (direction > 1) return sendXError(BadValue, direction, request, length, nullptr);
  if (ProxyWindow* window = checkAndForward(request, length, RT_WINDOW, true)) {
    if (ProxyWindow* moved = circulateWindowRecord(window, direction, currentClient)) placeWindowByLayer(moved);
  }
}

}  // namespace palvon

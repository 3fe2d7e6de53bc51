// SHAPE.
#include "Xext/small/shape.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/translate.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/drawmath.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowshape.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Xext/extmodule.h"
#include "Xext/translucent/translucent.h"
#include "base/logging.h"
#include "xsupport/misc.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

constexpr u8 kQueryVersion = 0, kRectangles = 1, kMask = 2, kCombine = 3, kOffset = 4, kQueryExtents = 5,
             kSelectInput = 6, kInputSelected = 7, kGetRectangles = 8;

constexpr LayoutString kNotifyLayout = "bbsissssi";
constexpr LayoutString kGetRectanglesReplyLayout = "bbsiiS";

// --- Per-head rewriting --------------------------------------------------------------------

// What a shape change needs on each head.
struct ShapeChange {
  ProxyWindow* window;
  ProxyWindow* source;  // ShapeCombine's source window
  u32 sourceWidth, sourceHeight;  // ShapeMask's pixmap, ShapeCombine's window
};

bool skipEmulatedHead(const RouteTarget& target, void* argument) {
  auto* change = static_cast<ShapeChange*>(argument);
  if (!target.head) return false;
  if (needsVisualEmulation(change->window->id, target.head)) return true;
  return change->source && needsVisualEmulation(change->source->id, target.head);
}

void translateWindowAt(u8* copy, u32 at, const Head* head) {
  if (head) put32(copy + at, translateXid(get32(copy + at), RT_WINDOW, head));
}

void setWindowFrame(HeadScaler* scaler, const ProxyWindow* window, u32 width, u32 height) {
  setScalerFrame(scaler, window->x, window->y, std::max(width, 1u), std::max(height, 1u));
}

// The offset at byte 12 as the corner of an area of the given size.
void scaleOffsetArea(u8* copy, HeadScaler* scaler, const ProxyWindow* window, u32 width, u32 height) {
  setWindowFrame(scaler, window, window->width, window->height);
  HeadRect area{i16(get16(copy + 12)), i16(get16(copy + 14)), i32(std::max(width, 1u)), i32(std::max(height, 1u))};
  scaleArea32(scaler, &area);
  put16(copy + 12, u16(area.x));
  put16(copy + 14, u16(area.y));
}

void rewriteRectangles(u8* copy, u32 length, const RouteTarget& target, void* argument) {
  auto* change = static_cast<ShapeChange*>(argument);
  translateWindowAt(copy, 8, target.head);
  HeadScaler* scaler = target.head ? target.head->scaler : nullptr;
  if (!scaler) return;
  auto* rectangles = reinterpret_cast<xRectangle*>(copy + 16);
  u32 count = (length - 16) / 8;
  // The offset is put into the rectangles, which are then scaled as areas:
  // a scaled offset plus scaled sizes would not meet the scaled edges.
  i16 dx = i16(get16(copy + 12)), dy = i16(get16(copy + 14));
  for (u32 k = 0; (dx || dy) && k < count; k++) {
    rectangles[k].x = i16(rectangles[k].x + dx);
    rectangles[k].y = i16(rectangles[k].y + dy);
  }
  put16(copy + 12, 0);
  put16(copy + 14, 0);
  // Every kind turns within the window's inside, as its contents do.
  setWindowFrame(scaler, change->window, change->window->width, change->window->height);
  scaleShapeRectangles(scaler, rectangles, count);
  copy[6] = Unsorted;
}

void rewriteMask(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* change = static_cast<ShapeChange*>(argument);
  const Head* head = target.head;
  if (!head) return;
  translateWindowAt(copy, 8, head);
  if (u32 pixmap = get32(copy + 16)) put32(copy + 16, translateXid(pixmap, RT_PIXMAP, head));
  if (head->scaler) scaleOffsetArea(copy, head->scaler, change->window, change->sourceWidth, change->sourceHeight);
}

void rewriteCombine(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* change = static_cast<ShapeChange*>(argument);
  const Head* head = target.head;
  if (!head) return;
  translateWindowAt(copy, 8, head);
  translateWindowAt(copy, 16, head);
  if (head->scaler) scaleOffsetArea(copy, head->scaler, change->window, change->sourceWidth, change->sourceHeight);
}

void rewriteOffset(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* change = static_cast<ShapeChange*>(argument);
  const Head* head = target.head;
  if (!head) return;
  translateWindowAt(copy, 8, head);
  if (!head->scaler) return;
  setWindowFrame(head->scaler, change->window, change->window->width, change->window->height);
  // A shift: where a pixel moved by it lands on the head less where it stood
  // (a point scaled on its own would be measured from the far edge on a
  // turned head).
  HeadRect from{0, 0, 1, 1}, to{i16(get16(copy + 12)), i16(get16(copy + 14)), 1, 1};
  scaleArea32(head->scaler, &from);
  scaleArea32(head->scaler, &to);
  put16(copy + 12, u16(to.x - from.x));
  put16(copy + 14, u16(to.y - from.y));
}

// --- Validation shared by the changes --------------------------------------------------------

// The window of the change at byte 8, recorded as the request's resource;
// null after an error was sent.
ProxyWindow* changedWindow(const u8* request, u32 length) {
  u32 id = get32(request + 8);
  ProxyWindow* window = lookupWindow(id);
  if (!window) {
    sendXError(BadWindow, id, request, length, nullptr);
    return nullptr;
  }
  setRequestResource(currentClient, id);
  return window;
}

// Translucent windows take their shapes from the translucency emulation.
bool shapedByTranslucency(const ProxyWindow* window) {
  return (proxyConfig.options & kOptionTranslucent) && window->translucency;
}

// A shape that changes under a translucent parent changes what of the
// parent shows.
void refreshTranslucentParentOf(ProxyWindow* window) {
  if (proxyConfig.options & kOptionTranslucent) refreshTranslucentParent(currentClient, window);
}

bool badByte(u8 value, u8 highest, const u8* request, u32 length) {
  if (value <= highest) return false;
  sendXError(BadValue, value, request, length, nullptr);
  return true;
}

bool readBackInstead(ProxyWindow* window, u8 kind);

// --- The proxy's records as the answer ----------------------------------------------------
//
// A zoomed-out head shows neighbouring meta positions in one of its pixels,
// so its answers scaled back can name a shape the client never set (13
// comes back as 14), and a turned head's come back turned: queries and
// events of a scaled head are answered from the proxy's records of the
// shapes instead. Not while a mask's shape is being read back (the record
// is older than the servers' shape) or while translucency makes the shapes.

struct ShapeBox {
  i32 x, y;
  u32 width, height;
  bool shaped;
};

bool recordAnswers(const ProxyWindow* window) {
  return window && !window->shapeReadsPending && !shapedByTranslucency(window);
}

ShapeBox recordExtents(ProxyWindow* window, u8 kind) {
  const Region* region = *windowShapeSlot(window, kind);
  ShapeBox box{};
  if (!region) {
    defaultShapeBox(window, kind, &box.x, &box.y, &box.width, &box.height);
    return box;
  }
  const RegionBox* e = regionExtents(region);
  return {e->x1, e->y1, u32(e->x2 - e->x1), u32(e->y2 - e->y1), true};
}

void putBox(u8* at, const ShapeBox& box) {
  put16(at, u16(box.x));
  put16(at + 2, u16(box.y));
  put16(at + 4, u16(box.width));
  put16(at + 6, u16(box.height));
}

// The extents after the last changes, for the ShapeNotify events that
// report them: a client may change a shape again before the head's event
// of the first change comes. A turned head turned them within the window's
// size of that time.
struct NotedShape {
  u32 window;
  u8 kind;
  ShapeBox box;
  u32 width, height;
};
constexpr u32 kNotedShapesMax = 32;
NotedShape notedShapes[kNotedShapesMax];
u32 nextNotedShape;

void noteShapeChange(ProxyWindow* window, u8 kind) {
  if (kind > kShapeInput) return;
  notedShapes[nextNotedShape] = {window->id, kind, recordExtents(window, kind), window->width, window->height};
  nextNotedShape = (nextNotedShape + 1) % kNotedShapesMax;
}

// How far the head shows the box, in a window of that size, from what it
// reported: the largest edge distance in head pixels, or ~0u when the
// shaped flags differ.
u32 boxDistance(HeadScaler* scaler, const ProxyWindow* window, u32 width, u32 height, const ShapeBox& box,
                const u8* reported) {
  if (box.shaped != (reported[12] != 0)) return ~0u;
  setWindowFrame(scaler, window, width, height);
  i16 x = i16(box.x), y = i16(box.y);
  u16 w = u16(box.width), h = u16(box.height);
  scaleArea16(scaler, &x, &y, &w, &h);
  i32 rx = i16(get16(reported)), ry = i16(get16(reported + 2));
  i32 edges[4] = {x - rx, y - ry, x + w - rx - get16(reported + 4), y + h - ry - get16(reported + 6)};
  u32 distance = 0;
  for (i32 edge : edges) distance = std::max(distance, u32(std::abs(edge)));
  return distance;
}

// The box the client set that the head reports at `reported` (x, y, width,
// height, then the event's time and shaped flag): the record's, else the
// nearest noted one, the newest first. A shift is scaled on its own, so
// the head may show a moved shape a pixel from the moved record scaled:
// one pixel off is taken when nothing fits better. False when nothing is
// that near.
bool findReportedBox(HeadScaler* scaler, ProxyWindow* window, u8 kind, const u8* reported, ShapeBox* found) {
  if (kind > kShapeInput) return false;
  *found = recordExtents(window, kind);
  u32 best = boxDistance(scaler, window, window->width, window->height, *found, reported);
  for (u32 k = 1; best && k <= kNotedShapesMax; k++) {
    const NotedShape& noted = notedShapes[(nextNotedShape + kNotedShapesMax - k) % kNotedShapesMax];
    if (noted.window != window->id || noted.kind != kind) continue;
    u32 distance = boxDistance(scaler, window, noted.width, noted.height, noted.box, reported);
    if (distance < best) best = distance, *found = noted.box;
  }
  return best <= 1;
}

// --- ShapeRectangles -----------------------------------------------------------------------

Region* regionOfRectangles(const u8* list, u32 count, i32 dx, i32 dy) {
  Region* region = regionCreate(nullptr, 0);
  for (u32 k = 0; region && k < count; k++) {
    const u8* r = list + 8 * k;
    if (!regionAppendRect(region, i16(get16(r)) + dx, i16(get16(r + 2)) + dy, get16(r + 4), get16(r + 6))) {
      regionDestroy(region);
      return nullptr;
    }
  }
  if (region && !regionValidate(region, nullptr)) {
    regionDestroy(region);
    return nullptr;
  }
  return region;
}

void ProcShapeRectangles(u8* request, u32 length) {
  u8 op = request[4], kind = request[5], ordering = request[6];
  if (badByte(op, kShapeInvert, request, length) || badByte(kind, kShapeInput, request, length) ||
      badByte(ordering, YXBanded, request, length))
    return;
  ProxyWindow* window = changedWindow(request, length);
  if (!window) return;
  if (!rectanglesInClaimedOrder(request + 16, (length - 16) / 8, ordering))
    return sendXError(BadMatch, 0, request, length, nullptr);
  if (shapedByTranslucency(window)) return;
  ShapeChange change{window, nullptr, 0, 0};
  if (!forwardToHeads(request, length, skipEmulatedHead, rewriteRectangles, &change)) return;
  refreshTranslucentParentOf(window);
  if (readBackInstead(window, kind)) return;
  Region* region = regionOfRectangles(request + 16, (length - 16) / 8, i16(get16(request + 12)),
                                      i16(get16(request + 14)));
  if (!applyShapeOperation(window, kind, op, region)) PALVON_OOM();
  noteShapeChange(window, kind);
}

// --- ShapeMask -----------------------------------------------------------------------------

// The scaler of the window's head on the link's server, framed on the
// window; null when that head does not scale.
HeadScaler* linkScaler(const ServerLink* link, ProxyWindow* window) {
  if (!window->screen) return nullptr;
  for (Head* head = window->screen->heads; head; head = head->next)
    if (head->serverIndex == link->server.serverIndex && head->scaler) {
      setWindowFrame(head->scaler, window, window->width, window->height);
      return head->scaler;
    }
  return nullptr;
}

// The shape a mask made is read back from the colour head on the client's
// own link: the proxy's own connection would wait behind a server grab the
// client holds, and the queries that the records answer go there after it.
// A zoomed-out head gives the mask's shape at its own pixels. The hook's
// argument packs the window id and the kind.
int shapeReadBack(ServerLink* link, const u8* reply, void* argument) {
  auto packed = reinterpret_cast<uintptr_t>(argument);
  u32 windowId = u32(packed);
  u8 kind = u8(packed >> 32);
  ProxyWindow* window = lookupWindow(windowId);
  if (window && window->shapeReadsPending) window->shapeReadsPending--;
  if (!window || reply[0] != X_Reply) return 1;
  bool swap = link->writer.swap != 0;
  u64 room = (u64(loadU32(reply + 4, swap)) * 4) / 8;
  u64 count = std::min<u64>(loadU32(reply + 8, swap), room);
  HeadScaler* scaler = linkScaler(link, window);
  Region* region = regionCreate(nullptr, 0);
  for (u64 k = 0; region && k < count; k++) {
    const u8* r = reply + 32 + 8 * k;
    xRectangle box{i16(loadU16(r, swap)), i16(loadU16(r + 2, swap)), loadU16(r + 4, swap), loadU16(r + 6, swap)};
    if (scaler) unscaleRectangles(scaler, &box, 1);
    if (!regionAppendRect(region, box.x, box.y, box.width, box.height)) {
      regionDestroy(region);
      region = nullptr;
    }
  }
  if (!region || !regionValidate(region, nullptr)) {
    regionDestroy(region);
    PALVON_OOM();
    return 1;
  }
  setWindowShapeRegion(window, kind, region);
  noteShapeChange(window, kind);
  return 1;
}

bool requestShapeGetRectangles(ServerLink* link, u32 window, u8 kind) {
  const ExtensionEntry* entry = moduleEntry(kModuleShape);
  u8* p = entry ? beginRequest(&link->writer, entry->major, kGetRectangles, 12) : nullptr;
  if (!p) return false;
  put32(p + 4, window);
  p[8] = kind;
  p[9] = p[10] = p[11] = 0;
  finishRequest(&link->writer, p, 12, entry->major, kGetRectangles);
  return true;
}

void readMaskShapeBack(ProxyWindow* window, u8 kind) {
  MetaScreen* screen = window->screen;
  Head* head = screen ? (screen->colorHead ? screen->colorHead : screen->heads) : nullptr;
  ServerLink* link = head ? currentHeadLink(head) : nullptr;
  if (!link || !requestShapeGetRectangles(link, translateXid(window->id, RT_WINDOW, head), kind)) {
    LOGF(logChProblem, "Cannot read the shape of window 0x%x back", window->id);
    return;
  }
  addReplyHook(link, shapeReadBack, reinterpret_cast<void*>(uintptr_t(window->id) | uintptr_t(kind) << 32));
  window->shapeReadsPending++;
}

// A change made while a read-back is out is read back as well: combined
// with the proxy's older copy it would give another shape than the servers'.
bool readBackInstead(ProxyWindow* window, u8 kind) {
  if (!window->shapeReadsPending) return false;
  readMaskShapeBack(window, kind);
  return true;
}

void ProcShapeMask(u8* request, u32 length) {
  u8 op = request[4], kind = request[5];
  if (badByte(op, kShapeInvert, request, length) || badByte(kind, kShapeInput, request, length)) return;
  ProxyWindow* window = changedWindow(request, length);
  if (!window) return;
  u32 pixmapId = get32(request + 16);
  PixmapRecord* pixmap = pixmapId ? lookupPixmap(pixmapId) : nullptr;
  ShapeChange change{window, nullptr, 0, 0};
  if (pixmapId) {
    if (!pixmap) return sendXError(BadPixmap, pixmapId, request, length, nullptr);
    if (pixmap->depth != 1) return sendXError(BadMatch, pixmapId, request, length, nullptr);
    change.sourceWidth = pixmap->width, change.sourceHeight = pixmap->height;
  }
  if (shapedByTranslucency(window)) return;
  if (!forwardToHeads(request, length, skipEmulatedHead, rewriteMask, &change)) return;
  refreshTranslucentParentOf(window);
  if (pixmapId) return readMaskShapeBack(window, kind);
  if (readBackInstead(window, kind)) return;
  setWindowShapeRegion(window, kind, nullptr);
  noteShapeChange(window, kind);
}

// --- ShapeCombine --------------------------------------------------------------------------

void ProcShapeCombine(u8* request, u32 length) {
  u8 op = request[4], kind = request[5], sourceKind = request[6];
  if (badByte(op, kShapeInvert, request, length) || badByte(kind, kShapeInput, request, length) ||
      badByte(sourceKind, kShapeInput, request, length))
    return;
  ProxyWindow* window = changedWindow(request, length);
  if (!window) return;
  u32 sourceId = get32(request + 16);
  ProxyWindow* source = lookupWindow(sourceId);
  if (!source) return sendXError(BadWindow, sourceId, request, length, nullptr);
  if (shapedByTranslucency(window)) return;
  ShapeChange change{window, source, source->width, source->height};
  if (!forwardToHeads(request, length, skipEmulatedHead, rewriteCombine, &change)) return;
  refreshTranslucentParentOf(window);
  // Windows of two screens meet only on the servers, and a source whose
  // read-back is out is as old as its own copy: the servers' shape is read.
  if (source->screen != window->screen || window->shapeReadsPending || source->shapeReadsPending)
    return readMaskShapeBack(window, kind);
  Region* region = getWindowShapeRegion(sourceId, sourceKind, nullptr);
  if (region) regionTranslate(region, i16(get16(request + 12)), i16(get16(request + 14)));
  if (!applyShapeOperation(window, kind, op, region)) PALVON_OOM();
  noteShapeChange(window, kind);
}

// --- ShapeOffset ---------------------------------------------------------------------------

void ProcShapeOffset(u8* request, u32 length) {
  u8 kind = request[4];
  if (badByte(kind, kShapeInput, request, length)) return;
  ProxyWindow* window = changedWindow(request, length);
  if (!window || shapedByTranslucency(window)) return;
  ShapeChange change{window, nullptr, 0, 0};
  if (!forwardToHeads(request, length, skipEmulatedHead, rewriteOffset, &change)) return;
  refreshTranslucentParentOf(window);
  if (readBackInstead(window, kind)) return;
  Region* region = *windowShapeSlot(window, kind);
  if (!region || !regionNotEmpty(region)) return;
  Region* moved = regionCreate(nullptr, 0);
  if (!moved || !regionCopy(moved, region)) {
    regionDestroy(moved);
    PALVON_OOM();
    return;
  }
  regionTranslate(moved, i16(get16(request + 12)), i16(get16(request + 14)));
  setWindowShapeRegion(window, kind, moved);
  noteShapeChange(window, kind);
}

// --- Queries answered by the colour head ------------------------------------------------------

// The window id (and GetRectangles' kind above it), kept for the reply.
void stashWindow(u8* copy, u32, const RouteTarget& target, void* argument) {
  translateWindowAt(copy, 4, target.head);
  u8 minor = copy[1];
  if (minor == kQueryExtents || minor == kGetRectangles)
    stashRequestData(target.link, minor, argument, nullptr);
}

void ProcShapeQuery(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (!lookupWindow(id)) return sendXError(BadWindow, id, request, length, nullptr);
  setRequestResource(currentClient, id);
  uintptr_t kind = request[1] == kGetRectangles ? request[8] : 0;
  forwardRequest(request, length, stashWindow, reinterpret_cast<void*>(uintptr_t(id) | kind << 32));
}

// The scaler of the head that answered, framed on the stashed window; null
// when the answer needs no scaling back.
HeadScaler* replyScaler(u8 minor, ProxyWindow** window, u8* kind) {
  if (!currentLink) return nullptr;
  auto packed = reinterpret_cast<uintptr_t>(takeStashedData(currentLink, minor));
  auto id = u32(packed);
  *kind = u8(packed >> 32);
  *window = id ? lookupWindow(id) : nullptr;
  return *window ? linkScaler(currentLink, *window) : nullptr;
}

void unscaleBoxAt(const HeadScaler* scaler, u8* at) {
  i16 x = i16(get16(at)), y = i16(get16(at + 2));
  u16 width = get16(at + 4), height = get16(at + 6);
  unscaleArea16(scaler, &x, &y, &width, &height);
  put16(at, u16(x));
  put16(at + 2, u16(y));
  put16(at + 4, width);
  put16(at + 6, height);
}

void ReplyShapeQueryExtents(u8* reply, u32 length) {
  ProxyWindow* window = nullptr;
  u8 kind = 0;
  const HeadScaler* scaler = replyScaler(kQueryExtents, &window, &kind);
  if (scaler && length >= 28 && recordAnswers(window)) {
    for (u8 k : {kShapeBounding, kShapeClip}) {
      ShapeBox box = recordExtents(window, k);
      reply[8 + k] = box.shaped;
      putBox(reply + 12 + 8 * k, box);
    }
  } else if (scaler && length >= 28) {
    unscaleBoxAt(scaler, reply + 12);
    unscaleBoxAt(scaler, reply + 20);
  }
  sendReplyToClient(reply, length, "bbsibbsssssssssi");
}

// The window's rectangles of that kind as a plain server lists them: the
// region's bands, or for a window without that shape its default box,
// which a plain server gives one border width short at the right and the
// bottom for the bounding and input kinds.
void replyRectanglesFromRecord(const u8* reply, ProxyWindow* window, u8 kind) {
  const Region* region = *windowShapeSlot(window, kind);
  long count = region ? regionNumRects(region) : 1;
  u32 length = 32 + 8 * u32(count);
  u8* answer = static_cast<u8*>(memAlloc(length));
  if (!answer) return (void)PALVON_OOM();
  memcpy(answer, reply, 32);
  answer[1] = YXBanded;
  put32(answer + 4, u32(count) * 2);
  put32(answer + 8, u32(count));
  if (region) {
    const RegionBox* boxes = regionRects(region);
    for (long k = 0; k < count; k++) {
      const RegionBox& b = boxes[k];
      putBox(answer + 32 + 8 * k, {b.x1, b.y1, u32(b.x2 - b.x1), u32(b.y2 - b.y1), true});
    }
  } else {
    ShapeBox box{};
    defaultShapeBox(window, kind, &box.x, &box.y, &box.width, &box.height);
    if (kind != kShapeClip) box.width += box.x, box.height += box.y;
    putBox(answer + 32, box);
  }
  sendReplyToClient(answer, length, kGetRectanglesReplyLayout);
  free(answer);
}

void ReplyShapeGetRectangles(u8* reply, u32 length) {
  ProxyWindow* window = nullptr;
  u8 kind = 0;
  const HeadScaler* scaler = replyScaler(kGetRectangles, &window, &kind);
  if (scaler && kind <= kShapeInput && recordAnswers(window))
    return replyRectanglesFromRecord(reply, window, kind);
  if (scaler) {
    u64 count = std::min<u64>(get32(reply + 8), (length - 32) / 8);
    for (u64 k = 0; k < count; k++) unscaleBoxAt(scaler, reply + 32 + 8 * k);
    reply[1] = Unsorted;
  }
  sendReplyToClient(reply, length, kGetRectanglesReplyLayout);
}

void ReplyShapeQueryVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleShape, "bbsiss"); }

void ProcShapeSelectInput(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (!lookupWindow(id)) return sendXError(BadWindow, id, request, length, nullptr);
  if (badByte(request[8], 1, request, length)) return;
  setRequestResource(currentClient, id);
  forwardRequest(request, length, stashWindow, nullptr);
}

// --- ShapeNotify ---------------------------------------------------------------------------

// Only the colour head's event reaches the client: every head sends one.
void EventShapeNotify(u8* event) {
  if (passedUntranslated(event)) return;
  ServerDisplay* server = currentLink ? currentLink->server.display : nullptr;
  Head* head = findHeadForServerXid(get32(event + 4), server);
  MetaScreen* screen = head ? head->metaScreen : nullptr;
  if (!screen) return;
  Head* colorHead = screen->colorHead ? screen->colorHead : (screen->mainHead ? screen->mainHead : screen->heads);
  if (head != colorHead) return;
  u32 id = mapServerXidToClientByType(RT_WINDOW, get32(event + 4), head);
  ProxyWindow* window = lookupWindow(id);
  if (window && shapedByTranslucency(window)) return;
  put32(event + 4, id);
  put32(event + 16, translateServerTimestamp(get32(event + 16), server));
  // The extents as a whole rectangle: width and height change with the zoom
  // as much as x and y.
  if (head->scaler && window) {
    ShapeBox box{};
    bool found = recordAnswers(window) && findReportedBox(head->scaler, window, event[1], event + 8, &box);
    setWindowFrame(head->scaler, window, window->width, window->height);
    if (found)
      putBox(event + 8, box);
    else
      unscaleBoxAt(head->scaler, event + 8);
  }
  deliverEvent(event);
}

void lostShapeServer(ProxyClient* client, u64 sequence, u8 minor, u16 key) {
  if (minor == kQueryVersion) return composeVersionReply(client, sequence, key, kModuleShape);
  composeImplementationError(client, sequence, key);
}

constexpr RequestRow kRequests[] = {
    {kQueryVersion, "ShapeQueryVersion", forwardOrAnswer, ReplyShapeQueryVersion, "bbs", "bbsiss", exactSize(4),
     Route::kMainHead},
    {kRectangles, "ShapeRectangles", ProcShapeRectangles, nullptr, "bbsbbbbiS", "", listSize(16, 8),
     Route::kEveryHead},
    {kMask, "ShapeMask", ProcShapeMask, nullptr, "bbsbbsissi", "", exactSize(20), Route::kEveryHead},
    {kCombine, "ShapeCombine", ProcShapeCombine, nullptr, "bbsbbbbissi", "", exactSize(20), Route::kEveryHead},
    {kOffset, "ShapeOffset", ProcShapeOffset, nullptr, "bbsbbsiss", "", exactSize(16), Route::kEveryHead},
    {kQueryExtents, "ShapeQueryExtents", ProcShapeQuery, ReplyShapeQueryExtents, "bbsi", "bbsibbsssssssssi",
     exactSize(8), Route::kColorHead},
    {kSelectInput, "ShapeSelectInput", ProcShapeSelectInput, nullptr, "bbsibbs", "", exactSize(12),
     Route::kColorHead},
    {kInputSelected, "ShapeInputSelected", ProcShapeQuery, nullptr, "bbsi", "bbsi", exactSize(8), Route::kColorHead},
    {kGetRectangles, "ShapeGetRectangles", ProcShapeQuery, ReplyShapeGetRectangles, "bbsibbs",
     kGetRectanglesReplyLayout, exactSize(12), Route::kColorHead},
};

constexpr EventRow kEvents[] = {{0, "ShapeNotify", EventShapeNotify, kNotifyLayout}};

}  // namespace

const char* initShapeExtension(ExtensionEntry* entry) {
  u16 version = entry->version ? entry->version : 65;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display) continue;
    int major = 0, minor = 0;
    if (!XfsShapeQueryVersion(server->display, &major, &minor))
      return tmpPrintf("Display %s does not support extension %s", xShortDisplayName(server->display), "SHAPE");
    version = u16(std::min(u32(version), u32(major) * 64 + u32(minor)));
  }
  entry->version = version;
  const char* refusal =
      registerModule(entry, "SHAPE", {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), nullptr, 0},
                     {kModuleShape, lostShapeServer, nullptr, false});
  // No copy hook: a joining server gets the windows' shapes with the
  // windows themselves, and the extension keeps nothing else there.
  return refusal;
}

}  // namespace palvon

// The drawing requests ClearArea (61) to PolyFillArc (71). Each is checked
// (its size rule ran in the prologue), its damage computed when some head
// needs it, the GC prepared for scaled heads, and then one walk over the
// target heads copies it, translates its ids and scales its coordinates.
#include "Proxy/requests/drawing.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/everyhead.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/join/translucency.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/copies.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/drawmath.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/resourcefind.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/xidpair.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/pixels.h"
#include "xsupport/region.h"

namespace palvon {

// Stash code under which a held copy leaves whether its source is a pixmap.
constexpr u8 kStashCopyExposures = 62;

// --- Damage and culling --------------------------------------------------------------

u32 currentDamageTarget(void** object) {
  ProxyClient* client = currentClient;
  *object = client ? client->requestResourceObject : nullptr;
  return client ? client->requestResourceType : 0;
}

Region* currentDamageRegion() { return currentClient ? currentClient->region : nullptr; }

bool damageWanted() {
  return (currentClient && currentClient->requestTranslucentWindow) || anyOptimizedDrawHead();
}

bool cullsWindowHead(const Head* head, const ProxyWindow* window) {
  return head && window && (head->tags & kHeadTagOptimizedDraw) && !windowOverlapsHead(head, window);
}

bool cullsByDamage(const Head* head, const ProxyWindow* window, const Region* damage) {
  if (!head || !window || !damage || !(head->tags & kHeadTagOptimizedDraw)) return false;
  HeadRect r = headRect(head);
  return damageMissesHead(*regionExtents(damage), r.x, r.y, u32(r.width), u32(r.height), window->x, window->y);
}

bool prepareGCForDrawing(u32 gc, u32 drawable, const u8* request, u32 length) {
  if (!liveScalerCount() || prepareScaledGC(currentClient, gc, drawable)) return true;
  sendXError(BadAlloc, 0, request, length, nullptr);
  return false;
}

namespace {

// --- The walk over the heads ---------------------------------------------------------------

struct Drawing;
// How a member rewrites its copy for a scaled head (the frame is set).
using ScaleCopy = void (*)(const Drawing& d, u8* copy, u32 length, HeadScaler* scaler);

struct Drawing {
  const u8* request;
  u32 length;
  u32 drawable;      // the destination
  u32 source;        // CopyArea, CopyPlane
  u32 gc;            // 0 for ClearArea
  const GCRecord* gcRecord;
  DrawableInfo info;
  bool known;        // info describes the drawable
  bool damaged;      // the damage region holds the request's damage
  bool noCulling;    // ClearArea with exposures reaches every head
  bool cullByDamage;  // ClearArea, CopyArea, CopyPlane
  bool exposures;    // a head must answer with an exposure event
  bool hold;         // exposure events collected over the heads
  ScaleCopy scale;
  u32 targets;       // heads the walk visits
  u32 visited;
  u32 served;
  bool failed;
  LayoutString layout;
  CopyPlan* plan;    // a copy whose source heads show in parts, or null
};

static_assert(std::is_trivially_copyable_v<Drawing> && sizeof(Drawing) > 64);

// Every field zero, cleared in two halves: the compiler makes one string
// store of a whole clear, whose start-up cost exceeds the rest of a small
// request's handling.
void clearDrawing(Drawing& d) {
  auto* bytes = reinterpret_cast<unsigned char*>(&d);
  __builtin_memset(bytes, 0, 64);
  __builtin_memset(bytes + 64, 0, sizeof d - 64);
}

bool countTarget(const RouteTarget&, void*) { return true; }

// Whether the walk leaves the head out.
bool skipsHead(Drawing& d, const Head* head) {
  if (!head) return false;
  // Most heads show every visual: their tag spares the call.
  if ((head->tags & kHeadTagSloppyVisuals) && needsVisualEmulation(d.drawable, head)) return true;
  if (!d.known || !d.info.window || d.noCulling) return false;
  bool culled = d.cullByDamage ? d.damaged && cullsByDamage(head, d.info.window, currentDamageRegion())
                               : cullsWindowHead(head, d.info.window);
  // With exposures on, some head must answer: the last one is kept when
  // none was served before it.
  if (culled && d.exposures && d.visited == d.targets && d.served == 0) return false;
  return culled;
}

[[gnu::always_inline]] inline void translateIds(Drawing& d, u8* copy, const Head* head) {
  switch (copy[0]) {
    case X_ClearArea: put32(copy + 4, translateXid(d.drawable, RT_WINDOW, head)); return;
    case X_CopyArea:
    case X_CopyPlane:
      put32(copy + 4, mapDrawableToHead(d.source, head));
      put32(copy + 8, mapDrawableToHead(d.drawable, head));
      put32(copy + 12, translateXid(d.gc, RT_GC, head));
      return;
    default: {
      u32 ids[2];
      mapDrawableAndGCToHead(d.drawable, d.gc, head, ids);
      put32(copy + 4, ids[0]);
      put32(copy + 8, ids[1]);
      return;
    }
  }
}

// CopyArea and CopyPlane on a scaled head. Source and destination scale
// apart and may round to sizes one pixel apart: the copy keeps the common
// part and `extra` receives the pieces that fill the destination's extra
// column, row and corner from the last ones of the source.
u32 scaleCopy(Drawing& d, u8* copy, HeadScaler* s, CopyPiece extra[3]) {
  i16 sx = i16(get16(copy + 16)), sy = i16(get16(copy + 18)), dx = i16(get16(copy + 20)), dy = i16(get16(copy + 22));
  u16 w = get16(copy + 24), h = get16(copy + 26);
  if (!w || !h) return 0;
  if (d.source == d.drawable) {
    setScalerDrawable(s, d.drawable);
    if (scaleCopyArea(s, &sx, &sy, &dx, &dy, &w, &h)) {
      put16(copy + 16, u16(sx)), put16(copy + 18, u16(sy)), put16(copy + 20, u16(dx)), put16(copy + 22, u16(dy));
      put16(copy + 24, w), put16(copy + 26, h);
      return 0;
    }
  }
  u16 ws = w, hs = h, wd = w, hd = h;
  setScalerDrawable(s, d.source);
  scaleArea16(s, &sx, &sy, &ws, &hs);
  setScalerDrawable(s, d.drawable);
  scaleArea16(s, &dx, &dy, &wd, &hd);
  CopyPiece pieces[4];
  u32 n = planCopyStrips(sx, sy, ws, hs, dx, dy, wd, hd, pieces);
  const CopyPiece& p = pieces[0];
  put16(copy + 16, u16(p.sourceX)), put16(copy + 18, u16(p.sourceY));
  put16(copy + 20, u16(p.destinationX)), put16(copy + 22, u16(p.destinationY));
  put16(copy + 24, u16(p.width)), put16(copy + 26, u16(p.height));
  for (u32 i = 1; i < n; i++) extra[i - 1] = pieces[i];
  return n - 1;
}

// The bit plane of a CopyPlane for the head: a converted visual moves bits.
u32 headBitPlane(const Drawing& d, const Head* head) {
  u32 plane = get32(d.request + 28);
  DrawableInfo src;
  if (!head || !describeDrawable(d.source, &src) || !src.visual) return plane;
  const VisualRecord* headVisual = getHeadVisualIfConverting(src.visual, head);
  return headVisual ? rescalePixelToHead(plane, src.visual, headVisual) : plane;
}

bool writeExtraCopies(const Drawing& d, const RouteTarget& target, const CopyPiece* pieces, u32 count) {
  u32 source = mapDrawableToHead(d.source, target.head), destination = mapDrawableToHead(d.drawable, target.head);
  u32 gc = translateXid(d.gc, RT_GC, target.head);
  bool plane = d.request[0] == X_CopyPlane;
  u32 bitPlane = plane ? headBitPlane(d, target.head) : 0;
  for (u32 i = 0; i < count; i++) {
    const CopyPiece& p = pieces[i];
    u64 before = target.link->requestsSent;
    if (plane) {
      requestCopyPlane(target.link, source, destination, gc, i16(p.sourceX), i16(p.sourceY), i16(p.destinationX),
                       i16(p.destinationY), u16(p.width), u16(p.height), bitPlane);
    } else {
      xprotoCopyArea(&target.link->writer, source, destination, gc, i16(p.sourceX), i16(p.sourceY), u16(p.width),
                     u16(p.height), i16(p.destinationX), i16(p.destinationY));
    }
    if (!wroteRequest(target.link, before)) return false;
  }
  return true;
}

// One copy of the request, or of a piece of a copy, on the head: its ids,
// its scaling, its tiles, the server's byte order and a scaled copy's
// extra strips. The copy (null when the link could not take it all), its
// own sequence in *sequence.
[[gnu::always_inline]] inline u8* writeOnHead(Drawing& d, const RouteTarget& target, const u8* request,
                                              u64* sequence) {
  u8* copy = copyRequestToServer(request, d.length, target.link);
  if (!copy) return nullptr;
  *sequence = target.link->requestsSent;
  translateIds(d, copy, target.head);
  HeadScaler* s = target.head ? target.head->scaler : nullptr;
  CopyPiece extra[3];
  u32 extraCount = 0;
  if (s && d.scale) {
    setScalerDrawable(s, d.drawable);
    d.scale(d, copy, d.length, s);
  } else if (s && (copy[0] == X_CopyArea || copy[0] == X_CopyPlane)) {
    extraCount = scaleCopy(d, copy, s, extra);
  }
  if (copy[0] == X_CopyPlane && target.head) put32(copy + 28, headBitPlane(d, target.head));
  if (backgroundTileCount && d.known) {
    mirrorDrawing(target.link, target.head, d.info.window, d.gc, copy, d.length);
    mirrorCopyPieces(target.link, target.head, d.info.window, d.gc, copy, d.length, extra, extraCount);
  }
  swapServerRequest(target.link, copy, d.length, d.layout);
  return !extraCount || writeExtraCopies(d, target, extra, extraCount) ? copy : nullptr;
}

// Every head's exposure events of a held copy are collected: the link
// notes whether the source is a pixmap.
void stashHeldCopy(const Drawing& d, const RouteTarget& target) {
  DrawableInfo src;
  bool fromPixmap = describeDrawable(d.source, &src) && src.pixmap;
  stashRequestData(target.link, kStashCopyExposures, reinterpret_cast<void*>(uintptr_t(fromPixmap)), nullptr);
}

// drawOnHead for a copy across heads: the pieces the head makes (or the
// request). No translucent window has such a plan.
[[gnu::noinline]] bool drawCopyPiecesOnHead(Drawing& d, const RouteTarget& target) {
  struct Walk {
    Drawing* d;
    const RouteTarget* target;
  } walk{&d, &target};
  int written = writeHeadCopyPieces(
      d.plan, target.head, d.request, d.length, d.exposures,
      [](const u8* piece, void* argument) {
        auto* w = static_cast<Walk*>(argument);
        u64 sequence;
        return writeOnHead(*w->d, *w->target, piece, &sequence) != nullptr;
      },
      &walk);
  u64 sequence;
  if (written < 0 || (written == 0 && !writeOnHead(d, target, d.request, &sequence))) {
    d.failed = true;
    return false;
  }
  d.served++;
  if (d.hold) stashHeldCopy(d, target);
  return true;
}

bool drawOnHead(const RouteTarget& target, void* argument) {
  auto& d = *static_cast<Drawing*>(argument);
  d.visited++;
  if (skipsHead(d, target.head)) return true;
  if (d.plan) return drawCopyPiecesOnHead(d, target);
  u64 copySequence = 0;
  u8* copy = writeOnHead(d, target, d.request, &copySequence);
  if (!copy) {
    d.failed = true;
    return false;
  }
  d.served++;
  // Behind the copy and its tile mirror; a copy moved behind shape requests
  // keeps its sequence for the stash below.
  if (ProxyWindow* translucent = currentClient->requestTranslucentWindow)
    drawOnTranslucentWindow(target.link, target.head, translucent, d.request, d.length, copy, copySequence);
  if (d.hold) stashHeldCopy(d, target);
  return true;
}

// drawOnHead for a list member on a head that neither scales, culls,
// emulates visuals nor resolves double buffers, when no tile mirror and no
// translucent window follow the request: what remains is the copy and its
// two ids. Any other head takes the whole path.
// idSlot is plainIdPairSlot of the drawable and the GC.
[[gnu::always_inline]] inline bool drawPlainOnHead(const RouteTarget& target, Drawing& d, u32 idSlot) {
  const Head* head = target.head;
  if (!head || (head->tags & (kHeadTagSloppyVisuals | kHeadTagOptimizedDraw)) || head->scaler ||
      (head->serverDisplay && head->serverDisplay->dbeEmulated))
    return drawOnHead(target, &d);
  d.visited++;
  u8* copy = copySmallRequestToServer(d.request, d.length, target.link);
  if (!copy) copy = copyRequestToServer(d.request, d.length, target.link);
  if (!copy) {
    d.failed = true;
    return false;
  }
  u32 ids[2];
  translateIdPairOfSlot(idSlot, d.drawable, d.gc, head, ids);
  put32(copy + 4, ids[0]);
  put32(copy + 8, ids[1]);
  swapServerRequest(target.link, copy, d.length, d.layout);
  d.served++;
  return true;
}

bool drawPlainOnHead(const RouteTarget& target, void* argument) {
  auto& d = *static_cast<Drawing*>(argument);
  return drawPlainOnHead(target, d, plainIdPairSlot(d.drawable, d.gc));
}

// --- Scaling of each member -------------------------------------------------------------

// A zero size reaches the window's far edge: made explicit before scaling,
// as the window's size on the head is another.
void scaleClearArea(const Drawing& d, u8* copy, u32, HeadScaler* s) {
  i16 x = i16(get16(copy + 8)), y = i16(get16(copy + 10));
  u16 w = get16(copy + 12), h = get16(copy + 14);
  if (d.known && !w && d.info.width > u32(std::max<i32>(x, 0))) w = u16(d.info.width - x);
  if (d.known && !h && d.info.height > u32(std::max<i32>(y, 0))) h = u16(d.info.height - y);
  scaleArea16(s, &x, &y, &w, &h);
  put16(copy + 8, u16(x)), put16(copy + 10, u16(y)), put16(copy + 12, w), put16(copy + 14, h);
}

template <typename Element>
Element* listOf(u8* copy, u32 offset) {
  return reinterpret_cast<Element*>(copy + offset);
}

void scalePointList(const Drawing&, u8* copy, u32 length, HeadScaler* s) {
  scalePoints(s, listOf<xPoint>(copy, 12), (length - 12) / 4, copy[1]);
}
void scaleSegmentList(const Drawing&, u8* copy, u32 length, HeadScaler* s) {
  scaleSegments(s, listOf<xSegment>(copy, 12), (length - 12) / 8);
}
void scaleRectangleList(const Drawing&, u8* copy, u32 length, HeadScaler* s) {
  scaleRectangles(s, listOf<xRectangle>(copy, 12), (length - 12) / 8);
}

// An outline covers its far edge too (x + width is drawn): on a turned head
// its box follows its two corners as points, not the area between them.
void outlineBox(HeadScaler* s, i16* x, i16* y, u16* width, u16* height) {
  i32 x0 = *x, y0 = *y, x1 = *x + i32(*width), y1 = *y + i32(*height);
  scalePoint(s, &x0, &y0);
  scalePoint(s, &x1, &y1);
  *x = i16(std::clamp(std::min(x0, x1), -32768, 32767)), *y = i16(std::clamp(std::min(y0, y1), -32768, 32767));
  *width = u16(std::min(std::abs(x1 - x0), 65535)), *height = u16(std::min(std::abs(y1 - y0), 65535));
}

void scaleOutlineRectangles(const Drawing&, u8* copy, u32 length, HeadScaler* s) {
  xRectangle* r = listOf<xRectangle>(copy, 12);
  for (u32 i = 0; i < (length - 12) / 8; i++) outlineBox(s, &r[i].x, &r[i].y, &r[i].width, &r[i].height);
}

void scaleArcList(const Drawing&, u8* copy, u32 length, HeadScaler* s) { scaleArcs(s, listOf<xArc>(copy, 12), (length - 12) / 12); }

// Arc outlines: the angles as for any arc, the box as an outline's.
void scaleOutlineArcs(const Drawing&, u8* copy, u32 length, HeadScaler* s) {
  xArc* arcs = listOf<xArc>(copy, 12);
  for (u32 i = 0; i < (length - 12) / 12; i++) {
    xArc box = arcs[i];
    scaleArcs(s, &arcs[i], 1);
    outlineBox(s, &box.x, &box.y, &box.width, &box.height);
    arcs[i].x = box.x, arcs[i].y = box.y, arcs[i].width = box.width, arcs[i].height = box.height;
  }
}

// A polygon is filled by the pixel centres inside it: its vertices move as
// the edges between pixels do, so that the turned polygon covers the
// turned pixels.
void scalePolygon(const Drawing&, u8* copy, u32 length, HeadScaler* s) {
  xPoint* points = listOf<xPoint>(copy, 16);
  bool relative = copy[13] == CoordModePrevious;
  i64 ax = 0, ay = 0;
  i32 px = 0, py = 0;
  for (u32 i = 0; i < (length - 16) / 4; i++) {
    if (relative && i > 0) ax += points[i].x, ay += points[i].y;
    else ax = points[i].x, ay = points[i].y;
    HeadRect at{i32(std::clamp<i64>(ax, INT32_MIN, INT32_MAX)), i32(std::clamp<i64>(ay, INT32_MIN, INT32_MAX)), 0, 0};
    scaleArea32(s, &at);
    i32 x = relative && i > 0 ? at.x - px : at.x, y = relative && i > 0 ? at.y - py : at.y;
    points[i].x = i16(std::clamp(x, -32768, 32767)), points[i].y = i16(std::clamp(y, -32768, 32767));
    px = at.x, py = at.y;
  }
}

// The region becomes the damage clipped to the window; false when memory
// ran out (the region then reads as empty: nothing is culled by it).
bool setListDamage(const Drawing& d, const u8* request, u32 length) {
  Region* region = currentDamageRegion();
  if (!region || !d.info.window) return false;
  regionEmpty(region);
  XGCValues none{};
  const XGCValues& v = d.gcRecord ? d.gcRecord->values : none;
  LineStyle style{u32(v.line_width), u8(v.join_style), u8(v.cap_style)};
  if (!appendDrawingDamage(region, request, length, style)) return false;
  return regionIntersectRect(region, region, 0, 0, d.info.width, d.info.height);
}

// Exposures of a copy are held when more than one head answers it.
bool holdsExposures(const Drawing& d) {
  if (!d.exposures) return false;
  const MetaScreen* screen = currentClient->requestResourceScreen;
  return (screen && screen->headCount >= 2) || proxyState.screenCount >= 2 ||
         (proxyConfig.options & kOptionDynamicServer);
}

// The damage of ClearArea, CopyArea and CopyPlane: their rectangle.
bool setRectangleDamage(const Drawing& d, const u8* request) {
  bool clear = request[0] == X_ClearArea;
  i16 x = i16(get16(request + (clear ? 8 : 20))), y = i16(get16(request + (clear ? 10 : 22)));
  u32 w = get16(request + (clear ? 12 : 24)), h = get16(request + (clear ? 14 : 26));
  if (clear && !w && d.info.width > u32(std::max<i32>(x, 0))) w = d.info.width - x;
  if (clear && !h && d.info.height > u32(std::max<i32>(y, 0))) h = d.info.height - y;
  return addDamageRect(x, y, w, h) != nullptr;
}

// The GC or a copy's source on another meta screen than the drawable: no
// head has both, and a plain server answers BadMatch, after the GC's own
// BadGC and before the source's BadDrawable (left to the heads, as an
// unknown id is). False when the request was answered so. The GC found is
// kept for the later steps.
bool sharesScreen(Drawing& d, const u8* request, u32 length) {
  const MetaScreen* screen = currentClient->requestResourceScreen;
  const GCRecord* gc = d.gc ? lookupGC(d.gc) : nullptr;
  d.gcRecord = gc;
  if (d.gc && !gc) return true;
  bool other = gc && gc->screen != screen;
  DrawableInfo source;
  if (!other && d.source) other = describeDrawable(d.source, &source) && source.screen != screen;
  if (other) sendXError(BadMatch, d.drawable, request, length, nullptr);
  return !other;
}

// The GC, and a copy's source, of another depth than the drawable, where a
// head would not refuse them (proxyState.headsFoldDepths): BadMatch, after
// the GC's own BadGC and before the source's BadDrawable, as sharesScreen.
bool sharesDepth(Drawing& d, const u8* request, u32 length) {
  if (!d.gcRecord) d.gcRecord = lookupGC(d.gc);
  bool other = d.gcRecord && d.gcRecord->depth != d.info.depth;
  DrawableInfo source;
  if (!other && request[0] == X_CopyArea) other = describeDrawable(d.source, &source) && source.depth != d.info.depth;
  if (other) sendXError(BadMatch, 0, request, length, nullptr);
  return !other;
}

// CopyPlane's bit plane is one bit within the source's depth: a head that
// converts the visual would move a bad one elsewhere and draw with it, or
// name another plane in its error. BadValue with the plane, after the
// checks of the drawables and the GC (an InputOnly window at either end is
// BadMatch); an unknown source or GC is left to the heads. False when the
// request was answered so.
bool planeFits(const u8* request, u32 length, const DrawableInfo& destination, u32 source) {
  u32 plane = get32(request + 28);
  DrawableInfo info;
  if (!describeDrawable(source, &info)) return true;
  if (destination.inputOnly || info.inputOnly) {
    sendXError(BadMatch, 0, request, length, nullptr);
    return false;
  }
  bool fits = plane && !(plane & (plane - 1)) && (info.depth >= 32 || plane < (1u << info.depth));
  if (!fits) sendXError(BadValue, plane, request, length, nullptr);
  return fits;
}

// A plain server refuses a bad coordinate mode or polygon shape before it
// looks at the drawable and the GC: the heads answer such a request.
bool ownValuesBad(const u8* request) {
  switch (request[0]) {
    case X_PolyPoint:
    case X_PolyLine: return request[1] > CoordModePrevious;
    case X_FillPoly: return request[12] > Convex || request[13] > CoordModePrevious;
    default: return false;
  }
}

// Common steps of every member, then the walk. kList: d is a list member
// (no copy, no exposures, no culling by damage rectangle), known at
// compile time so that a list member's path carries none of the others'
// branches.
template <bool kList>
[[gnu::always_inline]] inline void drawRequestOf(u8* request, u32 length, Drawing& d) {
  d.request = request;
  d.length = length;
  d.layout = currentRequest.row->requestLayout;
  // One look-up of the drawable serves both its description and the
  // request's resource; the GC is looked up only where its values count.
  ResourceNode* node = findResourceNode(d.drawable);
  u32 type = node ? node->type : RT_NONE;
  void* object = node ? node->object : nullptr;
  // Of a pixmap a list member reads only that it is known: the rest of the
  // description serves windows (damage, culling) and ClearArea's sizes.
  bool checkDepth = proxyState.headsFoldDepths && d.gc;
  if (kList && type == RT_PIXMAP && !checkDepth) d.known = true;
  else d.known = describeFoundDrawable(type, object, &d.info);
  setRequestResourceQuickly(currentClient, d.drawable, type, object);
  // With one meta screen everything shares it: the look-ups are spared. A
  // request refused for its own values is the heads' to answer.
  bool matchChecked = (proxyState.screenCount > 1 || checkDepth) && d.known && !(kList && ownValuesBad(request));
  if (matchChecked && proxyState.screenCount > 1 && !sharesScreen(d, request, length)) return;
  if (matchChecked && checkDepth && !sharesDepth(d, request, length)) return;
  if (!kList && request[0] == X_CopyPlane && d.known) {
    if (!d.gcRecord) d.gcRecord = lookupGC(d.gc);
    if (d.gcRecord && !planeFits(request, length, d.info, d.source)) return;
  }
  bool copy = !kList && (request[0] == X_CopyArea || request[0] == X_CopyPlane);
  if (copy) {
    if (d.gc && !d.gcRecord) d.gcRecord = lookupGC(d.gc);
    d.exposures = d.gcRecord && d.gcRecord->values.graphics_exposures;
    d.hold = holdsExposures(d);
  }
  if (d.known && d.info.window && damageWanted()) {
    if (!kList && d.cullByDamage) {
      d.damaged = setRectangleDamage(d, request);
    } else if (d.gc) {
      if (!d.gcRecord) d.gcRecord = lookupGC(d.gc);
      if (d.gcRecord) d.damaged = setListDamage(d, request, length);
    }
  }
  if (d.gc && !prepareGCForDrawing(d.gc, d.drawable, request, length)) return;
  // A copy whose source the heads show in parts: its carried pixels are
  // read before any head copies over them.
  bool carrying = false;
  const MetaScreen* screen = d.info.screen;  // null when the drawable is unknown
  if (!kList && copy && screen && screen->headCount > 1) {
    bool within = d.source == d.drawable && d.info.window;
    if (!within || !copyStaysOnAHead(screen, d.info.window, request)) {
      d.plan = planCopyAcrossHeads(request, d.info, within ? d.info.window : nullptr, d.gcRecord);
      carrying = d.plan && readCarriedPixels(d.plan, request);
    }
  }
  // Only a request that must get an exposure back needs the count (the
  // last head is kept when none was served).
  if (!kList && d.exposures) d.targets = forEachTarget(currentRequest.row->route, countTarget, nullptr);
  Route route = currentRequest.row->route;
  if (kList && !(backgroundTileCount && d.known) && !currentClient->requestTranslucentWindow) {
    // The walk of forEachTarget, with the visit inlined and the ids'
    // slot asked once.
    if (MetaScreen* screen = route == Route::kEveryHead ? everyHeadScreen(currentClient) : nullptr) {
      u32 idSlot = plainIdPairSlot(d.drawable, d.gc);
      visitEveryHead(currentClient, screen,
                     [&](const RouteTarget& target) { return drawPlainOnHead(target, d, idSlot); });
    } else {
      forEachTarget(route, drawPlainOnHead, &d);
    }
  } else {
    forEachTarget(route, drawOnHead, &d);
  }
  if (d.failed) {
    sendXError(BadAlloc, 0, request, length, nullptr);
    return;
  }
  // Every head's GraphicsExpose or NoExpose is collected for this sequence
  // (the read of carried pixels may have made its entry already).
  ProxyClient* client = currentClient;
  bool noted = carrying && client->pendingTail && client->pendingTail->sequence == client->requestCounter;
  if (!kList && d.hold && d.served && !noted) noteRequestWithoutReply(request);
}

void drawRequest(u8* request, u32 length, Drawing& d) { drawRequestOf<false>(request, length, d); }

void copyRequest(u8* request, u32 length) {
  Drawing d;
  clearDrawing(d);
  d.source = get32(request + 4);
  d.drawable = get32(request + 8);
  d.gc = get32(request + 12);
  d.cullByDamage = true;
  drawRequest(request, length, d);
  if (d.plan) freeCopyPlan(d.plan);
}

[[gnu::noinline]] void listRequest(u8* request, u32 length, ScaleCopy scale) {
  Drawing d;
  clearDrawing(d);
  d.drawable = get32(request + 4);
  d.gc = get32(request + 8);
  d.scale = scale;
  drawRequestOf<true>(request, length, d);
}

}  // namespace

// --- Handlers -------------------------------------------------------------------------------

void ProcClearArea(u8* request, u32 length) {
  Drawing d;
  clearDrawing(d);
  d.drawable = get32(request + 4);
  d.cullByDamage = true;
  // With exposures every head's server reports its own part.
  d.noCulling = request[1] != 0;
  d.scale = scaleClearArea;
  drawRequest(request, length, d);
  if (ProxyWindow* translucent = currentClient->requestTranslucentWindow)
    translucentClearAreaHook(currentClient, translucent, request);
}

void ProcCopyArea(u8* request, u32 length) { copyRequest(request, length); }
void ProcCopyPlane(u8* request, u32 length) { copyRequest(request, length); }
void ProcPolyPoint(u8* request, u32 length) { listRequest(request, length, scalePointList); }
void ProcPolyLine(u8* request, u32 length) { listRequest(request, length, scalePointList); }
void ProcPolySegment(u8* request, u32 length) { listRequest(request, length, scaleSegmentList); }
void ProcPolyRectangle(u8* request, u32 length) { listRequest(request, length, scaleOutlineRectangles); }
void ProcPolyArc(u8* request, u32 length) { listRequest(request, length, scaleOutlineArcs); }
void ProcFillPoly(u8* request, u32 length) { listRequest(request, length, scalePolygon); }
void ProcPolyFillRectangle(u8* request, u32 length) { listRequest(request, length, scaleRectangleList); }
void ProcPolyFillArc(u8* request, u32 length) { listRequest(request, length, scaleArcList); }

}  // namespace palvon

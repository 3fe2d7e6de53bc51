// The request lists of scaled heads: rectangles, segments, arcs, points,
// clip lists, regions, text and glyph origins, RENDER fixed-point geometry
// and overlapping copies. Each rewrites the per-head copy of a request.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "Proxy/heads/scaling.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

i16 toI16(i64 v) { return i16(std::clamp<i64>(v, INT16_MIN, INT16_MAX)); }
u16 toU16(i64 v) { return u16(std::clamp<i64>(v, 0, 65535)); }

void areaInFrame(const HeadScaler* s, i16* x, i16* y, u16* width, u16* height) {
  HeadRect r{*x, *y, *width, *height};
  scaleArea32(s, &r);
  *x = toI16(r.x), *y = toI16(r.y), *width = toU16(r.width), *height = toU16(r.height);
}

void pointInFrame(const HeadScaler* s, i16* x, i16* y) {
  i32 px = *x, py = *y;
  scalePoint(s, &px, &py);
  *x = toI16(px), *y = toI16(py);
}

bool uniformZoom(const HeadScaler* s) { return s->xNum == s->yNum && s->xDen == s->yDen; }

// An arc angle (1/64 degree) after the axes were stretched by fx and fy.
// Multiples of 90 degrees stay; inside a quadrant the direction of the
// point on the stretched ellipse gives the new angle.
i64 stretchAngle(i64 angle, double fx, double fy) {
  i64 quadrant = angle >= 0 ? angle / kArcQuarter : -((-angle + kArcQuarter - 1) / kArcQuarter);
  i64 within = angle - quadrant * kArcQuarter;
  if (within == 0) return angle;
  double t = within * M_PI / (2.0 * kArcQuarter);
  double ratio = (quadrant & 1) ? fx / fy : fy / fx;
  double turned = std::atan(ratio * std::tan(t));
  return quadrant * kArcQuarter + std::llround(turned * 2.0 * kArcQuarter / M_PI);
}

}  // namespace

void scaleRectangles(const HeadScaler* s, xRectangle* rectangles, u32 count) {
  for (u32 i = 0; i < count; i++) {
    xRectangle& r = rectangles[i];
    areaInFrame(s, &r.x, &r.y, &r.width, &r.height);
  }
}

void scaleShapeRectangles(const HeadScaler* s, xRectangle* rectangles, u32 count) {
  scaleRectangles(s, rectangles, count);
}

void scaleSegments(const HeadScaler* s, xSegment* segments, u32 count) {
  for (u32 i = 0; i < count; i++) {
    pointInFrame(s, &segments[i].x1, &segments[i].y1);
    pointInFrame(s, &segments[i].x2, &segments[i].y2);
  }
}

void scaleArcs(const HeadScaler* s, xArc* arcs, u32 count) {
  for (u32 i = 0; i < count; i++) {
    xArc& a = arcs[i];
    areaInFrame(s, &a.x, &a.y, &a.width, &a.height);
    if (a.angle1 == 0 && a.angle2 == kArcFull) continue;
    i64 start = i64(a.angle1) + i64(s->rotation) * kArcQuarter;
    if (!uniformZoom(s)) {
      i64 end = stretchAngle(start + a.angle2, s->xFactor, s->yFactor);
      start = stretchAngle(start, s->xFactor, s->yFactor);
      a.angle2 = toI16(std::clamp<i64>(end - start, -kArcFull, kArcFull));
    }
    // Reduced to one turn: the sum may leave the 16-bit field.
    a.angle1 = i16(start % kArcFull);
  }
}

void scalePoints(const HeadScaler* s, xPoint* points, u32 count, u8 coordinateMode) {
  if (coordinateMode != CoordModePrevious) {
    for (u32 i = 0; i < count; i++) pointInFrame(s, &points[i].x, &points[i].y);
    return;
  }
  i64 ax = 0, ay = 0;    // absolute meta position
  i32 px = 0, py = 0;    // previous scaled position
  for (u32 i = 0; i < count; i++) {
    ax += points[i].x, ay += points[i].y;
    i32 x = i32(std::clamp<i64>(ax, INT32_MIN, INT32_MAX)), y = i32(std::clamp<i64>(ay, INT32_MIN, INT32_MAX));
    scalePoint(s, &x, &y);
    points[i].x = toI16(i64(x) - px), points[i].y = toI16(i64(y) - py);
    px = x, py = y;
  }
}

xRectangle* scaleClipRectangles(const HeadScaler* s, i16* originX, i16* originY,
                                const xRectangle* rectangles, u32 count, u32* outCount) {
  *outCount = 0;
  i32 ox = *originX, oy = *originY;
  scalePoint(s, &ox, &oy);
  Region region;
  regionInit(&region, nullptr, 0);
  bool ok = true;
  for (u32 i = 0; i < count && ok; i++) {
    const xRectangle& r = rectangles[i];
    if (!r.width || !r.height) continue;
    HeadRect a{i32(*originX) + r.x, i32(*originY) + r.y, r.width, r.height};
    scaleArea32(s, &a);
    ok = regionAppendRect(&region, a.x - ox, a.y - oy, u32(a.width), u32(a.height));
  }
  bool overlap;
  if (ok) ok = regionValidate(&region, &overlap);
  long n = ok ? regionNumRects(&region) : 0;
  auto* list = static_cast<xRectangle*>(memAlloc(sizeof(xRectangle) * size_t(std::max<long>(n, 1))));
  if (!ok || !list) {
    regionUninit(&region);
    free(list);
    PALVON_OOM();
    return nullptr;
  }
  const RegionBox* boxes = regionRects(&region);
  for (long i = 0; i < n; i++) {
    const RegionBox& b = boxes[i];
    list[i] = {b.x1, b.y1, u16(b.x2 - b.x1), u16(b.y2 - b.y1)};
  }
  regionUninit(&region);
  *originX = toI16(ox), *originY = toI16(oy);
  *outCount = u32(n);
  return list;
}

bool scaleRegion(const HeadScaler* s, Region* region) {
  Region scaled;
  regionInit(&scaled, nullptr, 0);
  long n = regionNumRects(region);
  const RegionBox* boxes = regionRects(region);
  bool ok = !regionBroken(region);
  for (long i = 0; i < n && ok; i++) {
    const RegionBox& b = boxes[i];
    HeadRect a{b.x1, b.y1, b.x2 - b.x1, b.y2 - b.y1};
    scaleArea32(s, &a);
    ok = regionAppendRect(&scaled, a.x, a.y, u32(a.width), u32(a.height));
  }
  bool overlap;
  if (ok) ok = regionValidate(&scaled, &overlap);
  if (ok) ok = regionCopy(region, &scaled);
  regionUninit(&scaled);
  if (!ok) PALVON_OOM();
  return ok;
}

void scaleTextOrigin(const HeadScaler* s, i16* x, i16* y) { scalePoint16(s, x, y); }

void scaleGlyphOrigin(const HeadScaler* s, i16* sourceX, i16* sourceY, u8* items, u32 length,
                      u32 glyphBytes) {
  pointInFrame(s, sourceX, sourceY);
  i64 ax = 0, ay = 0;   // accumulated meta offsets
  i32 px = 0, py = 0;   // previous scaled position
  u32 at = 0;
  // Each element: length byte, 3 pad bytes, dx, dy, then its glyphs padded
  // to 4 bytes; a length of 255 changes the glyph set (4 more bytes).
  while (at + 8 <= length) {
    u8* item = items + at;
    u32 n = item[0];
    if (n == 255) {
      PALVON_UNE();
      at += 12;
      continue;
    }
    i16 dx, dy;
    memcpy(&dx, item + 4, 2);
    memcpy(&dy, item + 6, 2);
    ax += dx, ay += dy;
    i32 x = i32(std::clamp<i64>(ax, INT32_MIN, INT32_MAX)), y = i32(std::clamp<i64>(ay, INT32_MIN, INT32_MAX));
    scalePoint(s, &x, &y);
    dx = toI16(i64(x) - px), dy = toI16(i64(y) - py);
    memcpy(item + 4, &dx, 2);
    memcpy(item + 6, &dy, 2);
    px = x, py = y;
    at += 8 + ((n * glyphBytes + 3) & ~3u);
  }
}

namespace {

// Fixed-point geometry is continuous: a corner at x = 0 lies on the far
// edge W after a quarter turn (pixel centres use W - 1 - x instead).
void rotateFixed(const HeadScaler* s, i64* x, i64* y) {
  i64 w = (i64(s->widthMinus1) + 1) << 16, h = (i64(s->heightMinus1) + 1) << 16;
  i64 px = *x, py = *y;
  switch (s->rotation) {
    case 1: *x = py, *y = w - px; break;
    case 2: *x = w - px, *y = h - py; break;
    case 3: *x = h - py, *y = px; break;
    default: break;
  }
}

i32 scaleFixedAxis(i64 v, i64 origin, i64 scaledOrigin, u32 num, u32 den) {
  __int128 p = (__int128(origin) * 65536 + v) * num / den - __int128(scaledOrigin) * 65536;
  return i32(std::clamp<__int128>(p, INT32_MIN, INT32_MAX));
}

void scaleFixedPoint(const HeadScaler* s, xPointFixed* p) {
  i64 x = p->x, y = p->y;
  rotateFixed(s, &x, &y);
  p->x = scaleFixedAxis(x, s->originX, s->scaledOriginX, s->xNum, s->xDen);
  p->y = scaleFixedAxis(y, s->originY, s->scaledOriginY, s->yNum, s->yDen);
}

i32 mulFixed(i32 v, u32 num, u32 den) {
  return i32(std::clamp<i64>(i64(v) * num / den, INT32_MIN, INT32_MAX));
}

// A trapezoid that the zoom takes near the limits of 32-bit fixed point
// would wrap on the head, whose server adds the drawable's place on its
// screen to each coordinate, takes an edge's ends and the top and bottom
// apart, and steps the edges' x along every row in 32 bits, where a plain
// server drew it as given. Such a one is redrawn within a reach of 2^30 -
// 2^28 head units (12288 pixels) from the drawable's origin, cut into bands
// of rows in which each edge runs inside the reach, beside it (then the
// reach's side stands for it) or past the other side (nothing to draw).
// Others go as they are: a server draws only what lies within the box of
// the edges' ends, which other ends would change.
using i128 = __int128;
constexpr i128 kHeadFar = (i128(1) << 31) - (i128(1) << 28);
constexpr i128 kHeadSpan = i128(1) << 31;
constexpr i128 kHeadReach = (i128(1) << 30) - (i128(1) << 28);
// Two cuts per edge give at most five bands.
constexpr u32 kMaxBands = 5;

// The larger factor of the two axes (either may become either on a turned
// head), as a fraction.
void largerFactor(const HeadScaler* s, u32* num, u32* den) {
  bool x = u64(s->xNum) * s->yDen >= u64(s->yNum) * s->xDen;
  *num = x ? s->xNum : s->yNum, *den = x ? s->xDen : s->yDen;
}

// Whether the servers draw it at all: no edge's ends on one row, the bottom
// below the top.
bool drawable(const xTrapezoid& t) {
  return t.left.p1.y != t.left.p2.y && t.right.p1.y != t.right.p2.y && t.bottom > t.top;
}

bool wrapsOnHead(const xTrapezoid& t, u32 num, u32 den) {
  auto far = [&](i64 v) { return (v < 0 ? -i128(v) : i128(v)) * num / den > kHeadFar; };
  auto apart = [&](i64 a, i64 b) { return (a < b ? i128(b) - a : i128(a) - b) * num / den >= kHeadSpan; };
  bool wraps = far(t.top) || far(t.bottom) || apart(t.top, t.bottom);
  for (const xLineFixed* e : {&t.left, &t.right})
    wraps = wraps || far(e->p1.x) || far(e->p1.y) || far(e->p2.x) || far(e->p2.y) || apart(e->p1.x, e->p2.x) ||
            apart(e->p1.y, e->p2.y);
  return wraps;
}

// An edge as a line x(y) in 128 bits (its ends apart in y).
struct Edge {
  i128 x1, y1, dx, dy;
  explicit Edge(const xLineFixed& e) : x1(e.p1.x), y1(e.p1.y), dx(i128(e.p2.x) - x1), dy(i128(e.p2.y) - y1) {}
  i128 xAt(i128 y) const { return x1 + (y - y1) * dx / dy; }
  // The row where it crosses x = c; none (false) for an upright edge.
  bool rowAt(i128 c, i128* y) const { return dx && (*y = y1 + (c - x1) * dy / dx, true); }
};

// The edge between rows y0 and y1 of a band: itself through its points
// there, or the reach's side when it runs beside it; false when it runs
// past the other side (`outside` is the side a left edge may run past, -1,
// or a right edge, +1).
bool bandEdge(const Edge& e, i128 y0, i128 y1, i64 reach, int outside, xLineFixed* line) {
  i128 middle = e.xAt((y0 + y1) / 2);
  if (middle < -reach || middle > reach) {
    if ((middle < 0 ? -1 : 1) != outside) return false;
    i32 side = i32(outside * reach);
    *line = {{side, i32(y0)}, {side, i32(y1)}};
    return true;
  }
  auto x = [&](i128 y) { return i32(std::clamp<i128>(e.xAt(y), -reach, reach)); };
  *line = {{x(y0), i32(y0)}, {x(y1), i32(y1)}};
  return true;
}

// The bands of a trapezoid that would wrap on the head, in `out` (room for
// kMaxBands); their number.
u32 confineTrapezoid(const xTrapezoid& t, i64 reach, xTrapezoid* out) {
  i128 top = std::clamp<i64>(t.top, -reach, reach), bottom = std::clamp<i64>(t.bottom, -reach, reach);
  Edge edges[2] = {Edge(t.left), Edge(t.right)};
  i128 cuts[2 + 4] = {top, bottom};
  u32 n = 2;
  for (const Edge& e : edges)
    for (i128 side : {-i128(reach), i128(reach)})
      if (i128 y; e.rowAt(side, &y) && y > top && y < bottom) cuts[n++] = y;
  for (u32 i = 1; i < n; i++)
    for (u32 j = i; j > 0 && cuts[j] < cuts[j - 1]; j--) std::swap(cuts[j], cuts[j - 1]);
  u32 bands = 0;
  for (u32 k = 0; k + 1 < n; k++) {
    if (cuts[k] == cuts[k + 1]) continue;
    xTrapezoid& band = out[bands];
    band.top = i32(cuts[k]), band.bottom = i32(cuts[k + 1]);
    if (bandEdge(edges[0], cuts[k], cuts[k + 1], reach, -1, &band.left) &&
        bandEdge(edges[1], cuts[k], cuts[k + 1], reach, 1, &band.right))
      bands++;
  }
  return bands;
}

// The trapezoids in meta terms, those that would wrap on the head as bands
// within its reach (memAlloc'ed); null when memory is exhausted.
xTrapezoid* confinedTrapezoids(const HeadScaler* s, const xTrapezoid* trapezoids, u32 count, u32* outCount) {
  u32 num, den;
  largerFactor(s, &num, &den);
  auto wraps = [&](const xTrapezoid& t) { return drawable(t) && wrapsOnHead(t, num, den); };
  u64 room = count;
  for (u32 i = 0; i < count; i++) room += wraps(trapezoids[i]) ? kMaxBands - 1 : 0;
  auto* list = static_cast<xTrapezoid*>(memAlloc(sizeof(xTrapezoid) * std::max<u64>(room, 1)));
  if (!list) return PALVON_OOM(), nullptr;
  i64 reach = i64(std::min<i128>(kHeadReach * den / num, INT32_MAX));
  u32 n = 0;
  for (u32 i = 0; i < count; i++) {
    if (wraps(trapezoids[i])) n += confineTrapezoid(trapezoids[i], reach, list + n);
    else list[n++] = trapezoids[i];
  }
  *outCount = n;
  return list;
}

}  // namespace

void scaleRenderPoints(const HeadScaler* s, xPointFixed* points, u32 count) {
  for (u32 i = 0; i < count; i++) scaleFixedPoint(s, &points[i]);
}

bool scaleTrapezoids(const HeadScaler* s, const xTrapezoid* trapezoids, u32 count, i16* sourceX,
                     i16* sourceY, ScaledTrapezoids* out) {
  *out = {};
  pointInFrame(s, sourceX, sourceY);
  u32 n = 0;
  xTrapezoid* list = confinedTrapezoids(s, trapezoids, count, &n);
  if (!list) return false;
  if (s->rotation == 0) {
    for (u32 i = 0; i < n; i++) {
      xTrapezoid& t = list[i];
      t.top = mulFixed(t.top, s->yNum, s->yDen);
      t.bottom = mulFixed(t.bottom, s->yNum, s->yDen);
      for (xPointFixed* p : {&t.left.p1, &t.left.p2, &t.right.p1, &t.right.p2}) {
        p->x = mulFixed(p->x, s->xNum, s->xDen);
        p->y = mulFixed(p->y, s->yNum, s->yDen);
      }
    }
    *out = {0, n, list};
    return true;
  }
  auto* points = static_cast<xPointFixed*>(memAlloc(sizeof(xPointFixed) * 4 * std::max(n, 1u)));
  if (!points) {
    free(list);
    return PALVON_OOM(), false;
  }
  for (u32 i = 0; i < n; i++) {
    const xTrapezoid& t = list[i];
    const xLineFixed& l = t.left;
    const xLineFixed& r = t.right;
    xPointFixed* c = points + 4 * i;
    c[0] = {interpolateLine(l.p1.x, l.p1.y, l.p2.x, l.p2.y, t.top), t.top};
    c[1] = {interpolateLine(r.p1.x, r.p1.y, r.p2.x, r.p2.y, t.top), t.top};
    c[2] = {interpolateLine(r.p1.x, r.p1.y, r.p2.x, r.p2.y, t.bottom), t.bottom};
    c[3] = {interpolateLine(l.p1.x, l.p1.y, l.p2.x, l.p2.y, t.bottom), t.bottom};
    for (int k = 0; k < 4; k++) scaleFixedPoint(s, &c[k]);
  }
  free(list);
  *out = {1, 4 * n, points};
  return true;
}

namespace {

// An offset of the copy on the head: scaled and rounded, but never lost
// when it is below one head pixel.
i64 scaleCopyOffset(i64 offset, double factor) {
  if (offset == 0) return 0;
  double v = std::fabs(double(offset)) * factor;
  i64 m = v < 1.0 ? i64(v + 0.9) : i64(v + 0.5);
  return offset < 0 ? -m : m;
}

// Shrinks a copy by one head pixel on a side where its source leaves the
// drawable.
void keepInside(i64* source, i64* destination, i64* size, i64 limit) {
  if (*source < 0) (*source)++, (*destination)++, (*size)--;
  if (*source + *size > limit) (*size)--;
}

}  // namespace

int scaleCopyArea(const HeadScaler* s, i16* sourceX, i16* sourceY, i16* destinationX, i16* destinationY,
                  u16* width, u16* height) {
  i64 sx = *sourceX, sy = *sourceY, dx = *destinationX, dy = *destinationY, w = *width, h = *height;
  if (sx == dx && sy == dy) return 0;
  bool overlap = sx < dx + w && dx < sx + w && sy < dy + h && dy < sy + h;
  if (!overlap) return 0;
  HeadRect d{i32(dx), i32(dy), i32(w), i32(h)};
  scaleArea32(s, &d);
  i32 ox = i32(sx - dx), oy = i32(sy - dy);
  rotateVector(s, &ox, &oy, false);
  i64 offX = scaleCopyOffset(ox, s->xFactor), offY = scaleCopyOffset(oy, s->yFactor);
  i64 nsx = d.x + offX, nsy = d.y + offY, ndx = d.x, ndy = d.y, nw = d.width, nh = d.height;
  i64 limitX = scaleX(s, s->originX + i32(s->rotation & 1 ? s->heightMinus1 : s->widthMinus1) + 1) - s->scaledOriginX;
  i64 limitY = scaleY(s, s->originY + i32(s->rotation & 1 ? s->widthMinus1 : s->heightMinus1) + 1) - s->scaledOriginY;
  keepInside(&nsx, &ndx, &nw, limitX);
  keepInside(&nsy, &ndy, &nh, limitY);
  *sourceX = toI16(nsx), *sourceY = toI16(nsy), *destinationX = toI16(ndx), *destinationY = toI16(ndy);
  *width = toU16(std::max<i64>(nw, 1)), *height = toU16(std::max<i64>(nh, 1));
  return 1;
}

}  // namespace palvon

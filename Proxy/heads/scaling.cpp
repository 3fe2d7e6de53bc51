// Head scalers: creation and sharing, the coordinate tables, and the point,
// area, length and inverse transforms that every scaled request and event
// passes through. Request lists are in heads/scaling_lists.cpp.
#include "Proxy/heads/scaling.h"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

#include "Proxy/config/config.h"
#include "Proxy/config/files.h"
#include "Proxy/heads/open.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/drawablefacts.h"
#include "Proxy/resources/resource.h"
#include "base/logging.h"
#include "base/rect.h"

namespace palvon {

u32 liveScalers;

namespace {

using i128 = __int128;

i32 clampI32(i128 v) { return i32(std::clamp<i128>(v, INT32_MIN, INT32_MAX)); }
i32 clampI16(i64 v) { return i32(std::clamp<i64>(v, INT16_MIN, INT16_MAX)); }

// round(v * num / den), halves away from zero, in exact integer arithmetic
// so that the tables and the values computed beyond them agree to the bit.
i32 ratioRound(i64 v, u32 num, u32 den) {
  i128 p = i128(v) * num;
  i128 magnitude = p < 0 ? -p : p;
  i128 q = (2 * magnitude + den) / (2 * i128(den));
  return clampI32(p < 0 ? -q : q);
}

// trunc(v * den / num): the inverse of a factor num / den, towards zero.
i32 ratioTrunc(i64 v, u32 num, u32 den) { return clampI32(i128(v) * den / num); }

// The scaled coordinate on one axis: the table inside -1000..8000, the same
// formula outside; both held to the 16-bit range of the wire.
i32 scaleAxis(const i16* table, u32 num, u32 den, i64 c) {
  if (c >= kScaleTableMin && c <= kScaleTableMax) return table[c - kScaleTableMin];
  return clampI16(ratioRound(c, num, den));
}

void fillTable(i16* table, u32 num, u32 den) {
  for (i32 c = kScaleTableMin; c <= kScaleTableMax; c++)
    table[c - kScaleTableMin] = i16(clampI16(ratioRound(c, num, den)));
}

i32 sx(const HeadScaler* s, i64 c) { return scaleAxis(s->xTable, s->xNum, s->xDen, c); }
i32 sy(const HeadScaler* s, i64 c) { return scaleAxis(s->yTable, s->yNum, s->yDen, c); }

// The frame a transform works in: origin and the drawable's meta size.
struct Frame {
  i64 ox, oy, sox, soy;
  i64 w, h;
};

Frame currentFrame(const HeadScaler* s) {
  return {s->originX, s->originY, s->scaledOriginX, s->scaledOriginY, i64(s->widthMinus1) + 1,
          i64(s->heightMinus1) + 1};
}

Frame sizeFrame(u32 width, u32 height) { return {0, 0, 0, 0, width, height}; }

struct Area {
  i64 x, y, w, h;
};

Area rotateArea(Area a, u32 rotation, const Frame& f) {
  switch (rotation) {
    case 1: return {a.y, f.w - a.x - a.w, a.h, a.w};
    case 2: return {f.w - a.x - a.w, f.h - a.y - a.h, a.w, a.h};
    case 3: return {f.h - a.y - a.h, a.x, a.h, a.w};
    default: return a;
  }
}

Area unrotateArea(Area a, u32 rotation, const Frame& f) {
  switch (rotation) {
    case 1: return {f.w - a.y - a.h, a.x, a.h, a.w};
    case 2: return {f.w - a.x - a.w, f.h - a.y - a.h, a.w, a.h};
    case 3: return {a.y, f.h - a.x - a.w, a.h, a.w};
    default: return a;
  }
}

void rotatePoint(i64* x, i64* y, u32 rotation, const Frame& f) {
  i64 px = *x, py = *y;
  switch (rotation) {
    case 1: *x = py, *y = f.w - 1 - px; break;
    case 2: *x = f.w - 1 - px, *y = f.h - 1 - py; break;
    case 3: *x = f.h - 1 - py, *y = px; break;
    default: break;
  }
}

void unrotatePoint(i64* x, i64* y, u32 rotation, const Frame& f) {
  i64 px = *x, py = *y;
  switch (rotation) {
    case 1: *x = f.w - 1 - py, *y = px; break;
    case 2: *x = f.w - 1 - px, *y = f.h - 1 - py; break;
    case 3: *x = py, *y = f.h - 1 - px; break;
    default: break;
  }
}

i64 clampSize(i64 v) { return std::clamp<i64>(v, 1, 65535); }

// Rotated, then edges scaled; a size of 0 stays 0.
Area scaleAreaIn(const HeadScaler* s, Area a, const Frame& f) {
  Area r = rotateArea(a, s->rotation, f);
  i64 x = sx(s, f.ox + r.x) - f.sox;
  i64 y = sy(s, f.oy + r.y) - f.soy;
  i64 w = r.w ? clampSize(sx(s, f.ox + r.x + r.w) - f.sox - x) : 0;
  i64 h = r.h ? clampSize(sy(s, f.oy + r.y + r.h) - f.soy - y) : 0;
  return {x, y, w, h};
}

void scalePointIn(const HeadScaler* s, i64* x, i64* y, const Frame& f) {
  rotatePoint(x, y, s->rotation, f);
  *x = sx(s, f.ox + *x) - f.sox;
  *y = sy(s, f.oy + *y) - f.soy;
}

// The frame of an unscaled area is the rotated drawable: its axes are
// swapped for 90 and 270 degrees.
Area unscaleAreaIn(const HeadScaler* s, Area a, const Frame& f) {
  i64 x0 = ratioTrunc(a.x + f.sox, s->xNum, s->xDen) - f.ox;
  i64 x1 = ratioTrunc(a.x + a.w + f.sox, s->xNum, s->xDen) - f.ox;
  i64 y0 = ratioTrunc(a.y + f.soy, s->yNum, s->yDen) - f.oy;
  i64 y1 = ratioTrunc(a.y + a.h + f.soy, s->yNum, s->yDen) - f.oy;
  Area r{x0, y0, std::max<i64>(x1 - x0, 1), std::max<i64>(y1 - y0, 1)};
  return unrotateArea(r, s->rotation, f);
}

void unscalePointIn(const HeadScaler* s, i64* x, i64* y, const Frame& f) {
  *x = ratioTrunc(*x + f.sox, s->xNum, s->xDen) - f.ox;
  *y = ratioTrunc(*y + f.soy, s->yNum, s->yDen) - f.oy;
  unrotatePoint(x, y, s->rotation, f);
}

i16 toI16(i64 v) { return i16(std::clamp<i64>(v, INT16_MIN, INT16_MAX)); }
u16 toU16(i64 v) { return u16(std::clamp<i64>(v, 0, 65535)); }

bool sameZoom(const HeadScaler* a, const HeadScaler* b) {
  return a->xNum == b->xNum && a->xDen == b->xDen && a->yNum == b->yNum && a->yDen == b->yDen &&
         a->rotation == b->rotation;
}

// Another head on the same server display whose scaler equals `fresh`.
HeadScaler* findSharedScaler(const Head* head, const HeadScaler* fresh) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* other = screen->heads; other; other = other->next) {
      if (other != head && other->scaler && other->serverDisplay == head->serverDisplay &&
          sameZoom(other->scaler, fresh))
        return other->scaler;
    }
  }
  return nullptr;
}

}  // namespace

// --- Life cycle ------------------------------------------------------------------

HeadScaler* createScaler(u32 zoomedWidth, u32 metaWidth, u32 zoomedHeight, u32 metaHeight, u32 rotation) {
  if (rotation == 1 || rotation == 3) std::swap(metaWidth, metaHeight);
  zoomedWidth = std::max(zoomedWidth, 1u), zoomedHeight = std::max(zoomedHeight, 1u);
  metaWidth = std::max(metaWidth, 1u), metaHeight = std::max(metaHeight, 1u);
  auto* s = static_cast<HeadScaler*>(memCalloc(1, sizeof(HeadScaler)));
  if (!s) return nullptr;
  s->xTable = static_cast<i16*>(memAlloc(2 * kScalerTableSize * sizeof(i16)));
  if (!s->xTable) {
    free(s);
    return nullptr;
  }
  s->yTable = s->xTable + kScalerTableSize;
  u32 g = gcd(zoomedWidth, metaWidth);
  s->xNum = zoomedWidth / g, s->xDen = metaWidth / g;
  g = gcd(zoomedHeight, metaHeight);
  s->yNum = zoomedHeight / g, s->yDen = metaHeight / g;
  s->xFactor = double(s->xNum) / s->xDen;
  s->yFactor = double(s->yNum) / s->yDen;
  if (!fractionAverage(s->xNum, s->xDen, s->yNum, s->yDen, &s->uniformNum, &s->uniformDen)) {
    // Beyond 32 bits: the average as a double is close enough for widths.
    s->uniformNum = 0, s->uniformDen = 1;
  }
  s->uniformFactor = s->uniformNum ? double(s->uniformNum) / s->uniformDen : (s->xFactor + s->yFactor) / 2;
  s->rotation = rotation & 3;
  s->zoomInOnly = s->xFactor >= 1.0 && s->yFactor >= 1.0;
  fillTable(s->xTable, s->xNum, s->xDen);
  fillTable(s->yTable, s->yNum, s->yDen);
  liveScalers++;
  return s;
}

void releaseScaler(HeadScaler** scaler) {
  HeadScaler* s = *scaler;
  if (!s) return;
  *scaler = nullptr;
  if (s->extraUsers) {
    s->extraUsers--;
    return;
  }
  for (ScaledFontName* f = s->scaledFonts; f;) {
    ScaledFontName* next = f->next;
    free(f->scaledName);
    free(f->requestedName);
    free(f);
    f = next;
  }
  free(s->xTable);
  free(s);
  liveScalers--;
}

const char* setupHeadScaling(Head* head) {
  releaseScaler(&head->scaler);
  u32 zw = u32(std::max(head->clip.width, 1)), zh = u32(std::max(head->clip.height, 1));
  u32 mw = u32(std::max(head->logical.width, 1)), mh = u32(std::max(head->logical.height, 1));
  if (zw == mw && zh == mh && head->rotation == 0) return nullptr;
  if (head->tags & kHeadTagStatic) return "Can't zoom or rotate head with attribute static set";
  if (!(proxyConfig.options & kOptionTavel))
    return tmpPrintf("%s option %s is used but not enabled - Make sure this option is enabled in your configuration",
                     getProductName(), "Tavel");
  HeadScaler* s = createScaler(zw, mw, zh, mh, head->rotation);
  if (!s) return PALVON_OOM();
  logStepf("Scaling %s to %ux%u (%gx%g, rotation %d) ...", head->name, zw, zh, s->xFactor, s->yFactor,
           int(90 * s->rotation));
  if (HeadScaler* shared = findSharedScaler(head, s)) {
    releaseScaler(&s);
    shared->extraUsers++;
    s = shared;
  }
  head->scaler = s;
  announceHeadChange(head, kHeadChangeChanged, 0x10000);
  return nullptr;
}

void setScalerFrame(HeadScaler* s, i32 originX, i32 originY, u32 width, u32 height) {
  s->originX = originX, s->originY = originY;
  s->scaledOriginX = sx(s, originX), s->scaledOriginY = sy(s, originY);
  s->widthMinus1 = width ? width - 1 : 0;
  s->heightMinus1 = height ? height - 1 : 0;
}

bool (*pictureFrameHook)(const void* picture, ScalingDrawable* frame);

void setScalerDrawable(HeadScaler* s, u32 drawable) {
  ScalingDrawable d{};
  void* object = nullptr;
  if (pictureFrameHook && lookupResourceAnyType(drawable, &object) == RT_PICTURE) {
    if (!pictureFrameHook(object, &d)) d = {};
  } else {
    describeScalingDrawable(drawable, &d);
  }
  setScalerFrame(s, d.x, d.y, d.width, d.height);
}

// --- Coordinates and lengths -----------------------------------------------------

i32 scaleX(const HeadScaler* s, i32 x) { return sx(s, x); }
i32 scaleY(const HeadScaler* s, i32 y) { return sy(s, y); }

u32 scaleLengthX(const HeadScaler* s, u32 length) { return length ? u32(clampSize(sx(s, length))) : 0; }
u32 scaleLengthY(const HeadScaler* s, u32 length) { return length ? u32(clampSize(sy(s, length))) : 0; }

namespace {
i64 uniformRound(const HeadScaler* s, u32 v) {
  if (s->uniformNum) return ratioRound(v, s->uniformNum, s->uniformDen);
  return i64(std::llround(v * s->uniformFactor));
}
}  // namespace

u32 scaleLineWidth(const HeadScaler* s, u32 width) { return u32(std::clamp<i64>(uniformRound(s, width), 0, 65535)); }

u32 scaleBorderWidth(const HeadScaler* s, u32 width) { return width ? u32(clampSize(uniformRound(s, width))) : 0; }

void scaleDashes(const HeadScaler* s, u8* dashes, u32 count) {
  for (u32 i = 0; i < count; i++) {
    if (dashes[i]) dashes[i] = u8(std::min<u32>(scaleBorderWidth(s, dashes[i]), 255));
  }
}

void scaleSize(const HeadScaler* s, u16* width, u16* height) {
  u32 w = *width, h = *height;
  if (s->rotation & 1) std::swap(w, h);
  *width = u16(scaleLengthX(s, w));
  *height = u16(scaleLengthY(s, h));
}

// --- Points and areas ------------------------------------------------------------

void scalePointInSize(const HeadScaler* s, i32* x, i32* y, u32 width, u32 height) {
  i64 px = *x, py = *y;
  scalePointIn(s, &px, &py, sizeFrame(width, height));
  *x = i32(px), *y = i32(py);
}

void scaleRectangleRotated(const HeadScaler* s, HeadRect* area, u32 width, u32 height) {
  Area a = scaleAreaIn(s, {area->x, area->y, area->width, area->height}, sizeFrame(width, height));
  *area = {i32(a.x), i32(a.y), i32(a.w), i32(a.h)};
}

void scalePoint(const HeadScaler* s, i32* x, i32* y) {
  i64 px = *x, py = *y;
  scalePointIn(s, &px, &py, currentFrame(s));
  *x = i32(px), *y = i32(py);
}

void scaleArea32(const HeadScaler* s, HeadRect* area) {
  Area a = scaleAreaIn(s, {area->x, area->y, area->width, area->height}, currentFrame(s));
  *area = {i32(a.x), i32(a.y), i32(a.w), i32(a.h)};
}

void scalePoint32(const HeadScaler* s, i32* x, i32* y, i32* width, i32* height) {
  if (!width || !height) {
    scalePoint(s, x, y);
    return;
  }
  HeadRect r{*x, *y, *width, *height};
  scaleArea32(s, &r);
  *x = r.x, *y = r.y, *width = r.width, *height = r.height;
}

void scalePoint16(const HeadScaler* s, i16* x, i16* y) {
  i64 px = *x, py = *y;
  scalePointIn(s, &px, &py, currentFrame(s));
  *x = toI16(px), *y = toI16(py);
}

void scaleArea16(const HeadScaler* s, i16* x, i16* y, u16* width, u16* height) {
  Area a = scaleAreaIn(s, {*x, *y, *width, *height}, currentFrame(s));
  *x = toI16(a.x), *y = toI16(a.y), *width = toU16(a.w), *height = toU16(a.h);
}

void unscaleArea16(const HeadScaler* s, i16* x, i16* y, u16* width, u16* height) {
  Area a = unscaleAreaIn(s, {*x, *y, *width, *height}, currentFrame(s));
  *x = toI16(a.x), *y = toI16(a.y), *width = toU16(a.w), *height = toU16(a.h);
}

void unscaleArea32(const HeadScaler* s, HeadRect* area) {
  Area a = unscaleAreaIn(s, {area->x, area->y, area->width, area->height}, currentFrame(s));
  *area = {i32(a.x), i32(a.y), i32(a.w), i32(a.h)};
}


void unscalePoint(const HeadScaler* s, i32* x, i32* y) {
  i64 px = *x, py = *y;
  unscalePointIn(s, &px, &py, currentFrame(s));
  *x = i32(px), *y = i32(py);
}

void unscalePoint32(const HeadScaler* s, i32* x, i32* y, i32* width, i32* height) {
  if (!width || !height) {
    unscalePoint(s, x, y);
    return;
  }
  HeadRect r{*x, *y, *width, *height};
  unscaleArea32(s, &r);
  *x = r.x, *y = r.y, *width = r.width, *height = r.height;
}

void unscalePointInSize(const HeadScaler* s, i32* x, i32* y, u32 width, u32 height) {
  i64 px = *x, py = *y;
  unscalePointIn(s, &px, &py, sizeFrame(width, height));
  *x = i32(px), *y = i32(py);
}

void unscaleGeometry(const HeadScaler* s, HeadRect* area, u32 parentWidth, u32 parentHeight) {
  Area a = unscaleAreaIn(s, {area->x, area->y, area->width, area->height}, sizeFrame(parentWidth, parentHeight));
  *area = {i32(a.x), i32(a.y), i32(a.w), i32(a.h)};
}

void unscaleRectangles(const HeadScaler* s, xRectangle* rectangles, u32 count) {
  Frame f = currentFrame(s);
  for (u32 i = 0; i < count; i++) {
    xRectangle& r = rectangles[i];
    Area a = unscaleAreaIn(s, {r.x, r.y, r.width, r.height}, f);
    r.x = toI16(a.x), r.y = toI16(a.y), r.width = toU16(a.w), r.height = toU16(a.h);
  }
}

void unscaleExtent(const HeadScaler* s, u32* width, u32* height) {
  *width = u32(std::max<i64>(ratioTrunc(i64(std::max(*width, 1u)) - 1, s->xNum, s->xDen), 0) + 1);
  *height = u32(std::max<i64>(ratioTrunc(i64(std::max(*height, 1u)) - 1, s->yNum, s->yDen), 0) + 1);
}

void unscaleSize(const HeadScaler* s, u16* width, u16* height) {
  u32 w = *width, h = *height;
  unscaleExtent(s, &w, &h);
  if (s->rotation & 1) std::swap(w, h);
  *width = toU16(w), *height = toU16(h);
}

u32 unscaleLength(const HeadScaler* s, u32 length) {
  if (!length) return 0;
  i64 v = s->uniformNum ? ratioTrunc(length, s->uniformNum, s->uniformDen) : i64(length / s->uniformFactor);
  return u32(clampSize(v));
}

void unscaleExposeArea(const HeadScaler* s, HeadRect* area) {
  Frame f = currentFrame(s);
  // The unrotated meta frame of the head's axes.
  i64 fw = (s->rotation & 1) ? f.h : f.w, fh = (s->rotation & 1) ? f.w : f.h;
  i64 x0 = ratioTrunc(i64(area->x) + f.sox, s->xNum, s->xDen) - f.ox;
  i64 y0 = ratioTrunc(i64(area->y) + f.soy, s->yNum, s->yDen) - f.oy;
  i64 x1 = ratioRound(i64(area->x) + area->width + f.sox, s->xDen, s->xNum) - f.ox;
  i64 y1 = ratioRound(i64(area->y) + area->height + f.soy, s->yDen, s->yNum) - f.oy;
  x1 = std::max(x1, x0 + 1), y1 = std::max(y1, y0 + 1);
  x0 = std::max<i64>(x0 - 1, 0), y0 = std::max<i64>(y0 - 1, 0);
  // Kept inside the drawable so that the unrotated area stays in it too.
  x1 = std::min(x1 + 1, std::max(fw, x0 + 1)), y1 = std::min(y1 + 1, std::max(fh, y0 + 1));
  Area a = unrotateArea({x0, y0, x1 - x0, y1 - y0}, s->rotation, f);
  *area = {i32(a.x), i32(a.y), i32(a.w), i32(a.h)};
}

void rotateVector(const HeadScaler* s, i32* dx, i32* dy, bool scaled) {
  i64 x = *dx, y = *dy;
  switch (s->rotation) {
    case 1: std::tie(x, y) = std::pair<i64, i64>(y, -x); break;
    case 2: x = -x, y = -y; break;
    case 3: std::tie(x, y) = std::pair<i64, i64>(-y, x); break;
    default: break;
  }
  if (scaled) x = ratioRound(x, s->xNum, s->xDen), y = ratioRound(y, s->yNum, s->yDen);
  *dx = clampI32(x), *dy = clampI32(y);
}

void scaleFloatPair(const HeadScaler* s, float* x, float* y) {
  *x = float(*x * s->xFactor);
  *y = float(*y * s->yFactor);
}

void unscaleDoublePair(const HeadScaler* s, double* x, double* y) {
  double a = *x / s->xFactor, b = *y / s->yFactor;
  if (s->rotation & 1) std::swap(a, b);
  *x = a, *y = b;
}

i32 interpolateLine(i32 x1, i32 y1, i32 x2, i32 y2, i32 y) {
  if (y1 == y2) return x1;
  // Both factors reach 2^32 for ends at the limits of 32 bits.
  return clampI32(x1 + i128(i64(x2) - x1) * (i64(y) - y1) / (i64(y2) - y1));
}

// --- GC values, gravities and helpers ---------------------------------------------

u32 adjustGCMaskForScaling(u32 mask) {
  if (mask & (GCTile | GCStipple | GCTileStipXOrigin | GCTileStipYOrigin)) mask |= GCTileStipXOrigin | GCTileStipYOrigin;
  if (mask & (GCClipXOrigin | GCClipYOrigin | GCClipMask)) mask |= GCClipXOrigin | GCClipYOrigin;
  return mask;
}

u8 rotateGravityBy(u8 gravity, u32 rotation) {
  // Rows: gravities 1..9 (5 Center stays); columns: 90, 180, 270 degrees.
  static constexpr u8 kTurned[10][3] = {
      {0, 0, 0}, {7, 9, 3}, {4, 8, 6}, {1, 7, 9}, {8, 6, 2}, {5, 5, 5}, {2, 4, 8}, {9, 3, 1}, {6, 2, 4}, {3, 1, 7},
  };
  if (gravity < 1 || gravity > 9 || rotation < 1 || rotation > 3) return gravity;
  return kTurned[gravity][rotation - 1];
}

u8 rotateGravity(u8 gravity, const Head* head) { return rotateGravityBy(gravity, head ? head->rotation : 0); }

void rectanglesExtent(const xRectangle* rectangles, const xRectangle* end, i32* right, i32* bottom) {
  i32 r = 0, b = 0;
  for (const xRectangle* p = rectangles; p < end; p++) {
    r = std::max(r, i32(p->x) + p->width);
    b = std::max(b, i32(p->y) + p->height);
  }
  *right = r, *bottom = b;
}

void pointerSpanPixels(u32 spanX, u32 spanY, Display* display, int screen, u32* width, u32* height) {
  double mmW = DisplayWidthMM(display, screen), mmH = DisplayHeightMM(display, screen);
  double pxW = DisplayWidth(display, screen), pxH = DisplayHeight(display, screen);
  *width = mmW > 0 ? u32(std::lround(spanX / 10000.0 * pxW / mmW)) : 0;
  *height = mmH > 0 ? u32(std::lround(spanY / 10000.0 * pxH / mmH)) : 0;
}

// --- Exposure bookkeeping -----------------------------------------------------------

namespace {
struct ScaledExposure {
  ScaledExposure* next;
  u32 window;
  u64 sequence;
  u32 value;
};
ScaledExposure* scaledExposures;
}  // namespace

bool noteScaledExposure(u32 window, u64 sequence, u32 value) {
  auto* e = static_cast<ScaledExposure*>(memAlloc(sizeof(ScaledExposure)));
  if (!e) {
    PALVON_OOM();
    return false;
  }
  *e = {scaledExposures, window, sequence, value};
  scaledExposures = e;
  return true;
}

u32 takeScaledExposure(u32 window, u64 sequence) {
  for (ScaledExposure** p = &scaledExposures; *p; p = &(*p)->next) {
    ScaledExposure* e = *p;
    if (e->window == window && e->sequence == sequence) {
      u32 value = e->value;
      *p = e->next;
      free(e);
      return value;
    }
  }
  PALVON_UNE();
  return 0;
}

}  // namespace palvon

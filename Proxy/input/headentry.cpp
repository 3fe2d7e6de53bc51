// Where the pointer that leaves one head's area enters another: probes
// beyond the side or corner it leaves by, scored by distance, with
// wrap-around along rows and columns. Pure arithmetic over HeadArea records
// (1/10000 mm units), apart from reading a screen's size.
#include <algorithm>

#include "Proxy/input/pointerutil.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u32 kMaxScore = 0xfffffffdu;

// Inclusive bounds of an area; an empty area has none.
bool areaBounds(const HeadArea* area, i64* x0, i64* y0, i64* x1, i64* y1) {
  if (area->width <= 0 || area->height <= 0) return false;
  *x0 = area->x, *y0 = area->y;
  *x1 = i64(area->x) + area->width - 1, *y1 = i64(area->y) + area->height - 1;
  return true;
}

bool insideArea(const HeadArea* area, i64 x, i64 y) {
  i64 x0, y0, x1, y1;
  return areaBounds(area, &x0, &y0, &x1, &y1) && x >= x0 && x <= x1 && y >= y0 && y <= y1;
}

i64 distanceOnAxis(i64 v, i64 low, i64 high) { return v < low ? low - v : v > high ? v - high : 0; }

void setEntry(HeadArea* to, i64 x, i64 y) {
  to->entryX = i32(x);
  to->entryY = i32(y);
}

}  // namespace

void pointerOffsetToUnitsBySize(HeadArea* area, u32 widthPixels, u32 widthMM, u32 heightPixels, u32 heightMM,
                                i32 dx, i32 dy) {
  i64 ux = widthPixels ? i64(dx) * widthMM * 10000 / widthPixels : 0;
  i64 uy = heightPixels ? i64(dy) * heightMM * 10000 / heightPixels : 0;
  area->pointerX = area->entryX = i32(std::clamp<i64>(area->originX + ux, kMinusInfinity, kPlusInfinity));
  area->pointerY = area->entryY = i32(std::clamp<i64>(area->originY + uy, kMinusInfinity, kPlusInfinity));
}

void pointerOffsetToUnits(HeadArea* area, Display* display, int screen, i32 dx, i32 dy) {
  pointerOffsetToUnitsBySize(area, u32(DisplayWidth(display, screen)), u32(DisplayWidthMM(display, screen)),
                             u32(DisplayHeight(display, screen)), u32(DisplayHeightMM(display, screen)), dx, dy);
}

u32 scoreEntryInto(i32* x, i32* y, const HeadArea* area, i32 x0, i32 y0, i32 x1, i32 y1) {
  i64 ax0, ay0, ax1, ay1;
  if (!areaBounds(area, &ax0, &ay0, &ax1, &ay1)) return kNoEntry;
  if (x1 < ax0 || x0 > ax1 || y1 < ay0 || y0 > ay1) return kNoEntry;
  i64 distance = distanceOnAxis(*x, ax0, ax1) + distanceOnAxis(*y, ay0, ay1);
  *x = i32(std::clamp<i64>(*x, ax0, ax1));
  *y = i32(std::clamp<i64>(*y, ay0, ay1));
  return u32(std::min<i64>(distance + 2, kMaxScore));
}

u32 findHeadEntry(const HeadArea* from, HeadArea* to) {
  if (to->excluded) return kNoEntry;
  bool same = from == to;
  if (!same && insideArea(to, from->pointerX, from->pointerY)) {
    setEntry(to, from->pointerX, from->pointerY);
    return 0;
  }
  // The pointer held one pixel outside the area it leaves.
  i64 gx0 = i64(from->x) - 1, gy0 = i64(from->y) - 1;
  i64 gx1 = i64(from->x) + std::max(from->width, 0), gy1 = i64(from->y) + std::max(from->height, 0);
  i64 px = std::clamp<i64>(from->pointerX, gx0, gx1), py = std::clamp<i64>(from->pointerY, gy0, gy1);
  if (insideArea(to, px, py)) {
    setEntry(to, px, py);
    return 1;
  }
  bool left = px == gx0, right = px == gx1, top = py == gy0, bottom = py == gy1;
  i64 x0, y0, x1, y1;
  if ((left || right) && (top || bottom)) {
    if (same) return kNoEntrySameArea;
    // The quadrant beyond the corner.
    x0 = left ? kMinusInfinity : px, x1 = left ? px : kPlusInfinity;
    y0 = top ? kMinusInfinity : py, y1 = top ? py : kPlusInfinity;
  } else if (left || right) {
    x0 = left ? kMinusInfinity : px, x1 = left ? px : kPlusInfinity;
    y0 = y1 = py;
    i64 ax0, ay0, ax1, ay1;
    bool meets = areaBounds(to, &ax0, &ay0, &ax1, &ay1) && py >= ay0 && py <= ay1 && x1 >= ax0 && x0 <= ax1;
    if (!meets && from->wrapX) {
      // Around the row: the pointer comes back from the far end.
      px = left ? kPlusInfinity : kMinusInfinity;
      x0 = kMinusInfinity, x1 = kPlusInfinity;
    }
  } else if (top || bottom) {
    y0 = top ? kMinusInfinity : py, y1 = top ? py : kPlusInfinity;
    x0 = x1 = px;
    i64 ax0, ay0, ax1, ay1;
    bool meets = areaBounds(to, &ax0, &ay0, &ax1, &ay1) && px >= ax0 && px <= ax1 && y1 >= ay0 && y0 <= ay1;
    if (!meets && from->wrapY) {
      py = top ? kPlusInfinity : kMinusInfinity;
      y0 = kMinusInfinity, y1 = kPlusInfinity;
    }
  } else {
    PALVON_UNE();
    return kNoEntry;
  }
  i32 ex = i32(px), ey = i32(py);
  u32 score = scoreEntryInto(&ex, &ey, to, i32(x0), i32(y0), i32(x1), i32(y1));
  if (score == kNoEntry) return same ? kNoEntrySameArea : kNoEntry;
  setEntry(to, ex, ey);
  return score;
}

}  // namespace palvon

// The arithmetic of a tile's resize: when its pixmap can stay, and where
// the old contents go under each bit gravity.
#include <algorithm>

#include "Proxy/join/bgtile.h"
#include "Proxy/resources/window.h"

namespace palvon {

bool keepsTilePixmap(u32 allocatedWidth, u32 allocatedHeight, u32 width, u32 height) {
  return allocatedWidth >= width && allocatedHeight >= height && u64(allocatedWidth) * 50 / 100 < width &&
         u64(allocatedHeight) * 50 / 100 < height;
}

namespace {

// Where the server puts the old contents' origin: the size differences
// are signed, so a shrinking axis moves the contents the other way (the
// halves truncate towards zero, as the server's do). Static keeps them
// where they were on the screen.
void gravityOffset(u8 gravity, i32 dw, i32 dh, i32 dx, i32 dy, i32* x, i32* y) {
  switch (gravity) {
    case kGravityNorth: *x = dw / 2, *y = 0; return;
    case kGravityNorthEast: *x = dw, *y = 0; return;
    case kGravityWest: *x = 0, *y = dh / 2; return;
    case kGravityCenter: *x = dw / 2, *y = dh / 2; return;
    case kGravityEast: *x = dw, *y = dh / 2; return;
    case kGravitySouthWest: *x = 0, *y = dh; return;
    case kGravitySouth: *x = dw / 2, *y = dh; return;
    case kGravitySouthEast: *x = dw, *y = dh; return;
    case kGravityStatic: *x = -dx, *y = -dy; return;
    default: *x = *y = 0; return;
  }
}

void addPaint(TileResizePlan* plan, i64 x, i64 y, i64 width, i64 height) {
  if (width <= 0 || height <= 0) return;
  plan->paint[plan->paintCount++] = {i32(x), i32(y), i32(width), i32(height)};
}

}  // namespace

bool planTileResize(u8 bitGravity, u32 oldWidth, u32 oldHeight, u32 width, u32 height, i32 dx, i32 dy, bool moved,
                    TileResizePlan* plan) {
  *plan = TileResizePlan{};
  if (bitGravity > kGravityStatic) return false;
  if (bitGravity == kGravityUnmap) {
    addPaint(plan, 0, 0, width, height);
    return true;
  }
  i32 ox, oy;
  gravityOffset(bitGravity, i32(width) - i32(oldWidth), i32(height) - i32(oldHeight), dx, dy, &ox, &oy);
  // The old contents at their new place, cut to the new size.
  i64 x0 = std::max<i64>(ox, 0), y0 = std::max<i64>(oy, 0);
  i64 x1 = std::min<i64>(i64(ox) + oldWidth, width), y1 = std::min<i64>(i64(oy) + oldHeight, height);
  if (x1 <= x0 || y1 <= y0) {
    addPaint(plan, 0, 0, width, height);
    return true;
  }
  plan->destination = {i32(x0), i32(y0), i32(x1 - x0), i32(y1 - y0)};
  plan->sourceX = i32(x0 - ox), plan->sourceY = i32(y0 - oy);
  plan->copy = moved || ox != 0 || oy != 0;
  // The rest of the new size: bands above and below, strips beside.
  addPaint(plan, 0, 0, width, y0);
  addPaint(plan, 0, y1, width, i64(height) - y1);
  addPaint(plan, 0, y0, x0, y1 - y0);
  addPaint(plan, x1, y0, i64(width) - x1, y1 - y0);
  return true;
}

}  // namespace palvon

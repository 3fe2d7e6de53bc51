// Window geometry: border boxes, shaped overlap tests, window gravity and
// the inside and border clip regions.
#include <algorithm>

#include "Proxy/heads/readback.h"
#include "Proxy/resources/window.h"

namespace palvon {

namespace {

bool boxesOverlap(const RegionBox& a, const RegionBox& b) {
  return a.x1 < b.x2 && b.x1 < a.x2 && a.y1 < b.y2 && b.y1 < a.y2;
}

// One scratch region for the shape intersections (main thread only); its
// box array is reused, so steady state allocates nothing.
Region* shapeScratch() {
  static Region scratch;
  static bool ready = false;
  if (!ready) {
    regionInit(&scratch, nullptr, 0);
    ready = true;
  }
  return &scratch;
}

// region := region ∩ (shape moved to (x, y)). The shape is moved rather than
// the region, so that nothing representable in absolute coordinates is cut
// by the coordinate range on the way.
void intersectWithShape(Region* region, const Region* shape, i32 x, i32 y) {
  Region* moved = shapeScratch();
  regionCopy(moved, shape);
  regionTranslate(moved, x, y);
  regionIntersect(region, region, moved);
}

// The window's region after a move or resize of an ancestor: position from
// the parent, then both clip regions.
void refreshWindow(ProxyWindow* window) {
  window->x = i16(window->parent->x + window->relativeX);
  window->y = i16(window->parent->y + window->relativeY);
  computeWindowClip(window);
  computeBorderClip(window);
}

}  // namespace

Region* makeShapedBoxRegion(const ProxyWindow* window, const RegionBox* box) {
  Region* region = regionCreate(box, 0);
  if (!region || !window->boundingShape) return region;
  // The shape is placed at the window's position inside its parent, as the
  // real servers do for the same test, so that both decide alike.
  intersectWithShape(region, window->boundingShape, window->relativeX, window->relativeY);
  return region;
}

int shapedBoxesOverlap(const ProxyWindow* a, const RegionBox* boxA, const ProxyWindow* b, const RegionBox* boxB) {
  if (!a->boundingShape && !b->boundingShape) return 1;
  Region* regionA = makeShapedBoxRegion(a, boxA);
  Region* regionB = makeShapedBoxRegion(b, boxB);
  int result = 1;  // when memory runs out, assume they overlap
  if (regionA && regionB && regionIntersect(regionA, regionA, regionB)) result = regionNotEmpty(regionA) ? 1 : 0;
  regionDestroy(regionA);
  regionDestroy(regionB);
  return result;
}

int isOverlappedFromAbove(const ProxyWindow* window, const ProxyWindow* stopSibling, const RegionBox* box) {
  for (const ProxyWindow* sibling = window->nextUpper; sibling && sibling != stopSibling; sibling = sibling->nextUpper) {
    if (!sibling->mapped) continue;
    RegionBox siblingBox;
    getWindowBorderBox(sibling, &siblingBox);
    if (boxesOverlap(siblingBox, *box) && shapedBoxesOverlap(window, box, sibling, &siblingBox)) return 1;
  }
  return 0;
}

int overlapsWindowBelow(const ProxyWindow* window, const RegionBox* box) {
  for (const ProxyWindow* sibling = window->nextLower; sibling; sibling = sibling->nextLower) {
    if (!sibling->mapped) continue;
    RegionBox siblingBox;
    getWindowBorderBox(sibling, &siblingBox);
    if (boxesOverlap(siblingBox, *box) && shapedBoxesOverlap(window, box, sibling, &siblingBox)) return 1;
  }
  return 0;
}

void computeGravityPosition(i32 x, i32 y, i32 staticX, i32 staticY, i32 dw, i32 dh, u8 gravity, i32* outX,
                            i32* outY) {
  // Halves are signed divisions truncated towards zero.
  switch (gravity) {
    case kGravityNorth: *outX = x + dw / 2, *outY = y; break;
    case kGravityNorthEast: *outX = x + dw, *outY = y; break;
    case kGravityWest: *outX = x, *outY = y + dh / 2; break;
    case kGravityCenter: *outX = x + dw / 2, *outY = y + dh / 2; break;
    case kGravityEast: *outX = x + dw, *outY = y + dh / 2; break;
    case kGravitySouthWest: *outX = x, *outY = y + dh; break;
    case kGravitySouth: *outX = x + dw / 2, *outY = y + dh; break;
    case kGravitySouthEast: *outX = x + dw, *outY = y + dh; break;
    case kGravityStatic: *outX = staticX, *outY = staticY; break;
    default: *outX = x, *outY = y; break;
  }
}

void moveChildrenByGravity(ProxyWindow* parent, i32 dx, i32 dy, i32 dw, i32 dh) {
  for (ProxyWindow* child = parent->topChild; child; child = child->nextLower) {
    bool gravity = (dw || dh) && child->windowGravity > kGravityNorthWest;
    if (gravity) {
      i32 x, y;
      computeGravityPosition(child->relativeX, child->relativeY, child->relativeX - dx, child->relativeY - dy, dw, dh,
                             child->windowGravity, &x, &y);
      child->relativeX = x;
      child->relativeY = y;
    }
    refreshWindow(child);
    if (gravity) noteWindowGeometry(child);
    traverseWindowTree(
        child,
        [](ProxyWindow* window, void* start) {
          if (window != start) refreshWindow(window);
          return 0;
        },
        child);
  }
}

bool borderBoxInsideParent(const ProxyWindow* window) {
  if (!window->parent) return false;
  i32 border = window->borderWidth;
  i32 x1 = i32(window->x) - border, y1 = i32(window->y) - border;
  i32 x2 = i32(window->x) + window->width + border, y2 = i32(window->y) + window->height + border;
  if (x1 < kRegionMin || y1 < kRegionMin || x2 > kRegionMax || y2 > kRegionMax) return false;
  RegionBox box{i16(x1), i16(y1), i16(x2), i16(y2)};
  return regionContainsRect(&window->parent->insideRegion, &box) == 1;
}

bool shiftWindowRegions(ProxyWindow* window, i32 dx, i32 dy) {
  struct Shift {
    const ProxyWindow* start;
    i32 dx, dy;
  } shift{window, dx, dy};
  regionTranslate(&window->insideRegion, dx, dy);
  regionTranslate(&window->borderRegion, dx, dy);
  int stopped = traverseWindowTree(
      window,
      [](ProxyWindow* each, void* argument) {
        const auto* s = static_cast<const Shift*>(argument);
        if (each == s->start) return 0;
        // Positions are 16-bit: one that wraps round does not move along.
        i16 x = i16(each->parent->x + each->relativeX), y = i16(each->parent->y + each->relativeY);
        if (i32(x) - each->x != s->dx || i32(y) - each->y != s->dy) return 2;
        each->x = x;
        each->y = y;
        regionTranslate(&each->insideRegion, s->dx, s->dy);
        regionTranslate(&each->borderRegion, s->dx, s->dy);
        return 0;
      },
      &shift);
  return stopped != 2;
}

void clipRegionToParent(const ProxyWindow* parent, Region* region, i32 x, i32 y, i32 width, i32 height) {
  const RegionBox* extents = regionExtents(&parent->insideRegion);
  RegionBox box;
  box.x1 = i16(std::clamp(x, i32(extents->x1), i32(extents->x2)));
  box.y1 = i16(std::clamp(y, i32(extents->y1), i32(extents->y2)));
  box.x2 = i16(std::clamp(x + width, i32(box.x1), i32(extents->x2)));
  box.y2 = i16(std::clamp(y + height, i32(box.y1), i32(extents->y2)));
  if (box.x1 >= box.x2 || box.y1 >= box.y2 || !regionNotEmpty(&parent->insideRegion)) {
    regionEmpty(region);
    return;
  }
  regionReset(region, &box);
  // Within the extents of a one-box region the box is the intersection.
  if (parent->insideRegion.data) regionIntersect(region, region, &parent->insideRegion);
}

void computeWindowClip(ProxyWindow* window) {
  Region* inside = &window->insideRegion;
  if (window->parent) {
    clipRegionToParent(window->parent, inside, window->x, window->y, window->width, window->height);
  } else {
    regionResetRect(inside, window->x, window->y, window->width, window->height);
  }
  if (window->boundingShape) intersectWithShape(inside, window->boundingShape, window->x, window->y);
  if (window->clipShape) intersectWithShape(inside, window->clipShape, window->x, window->y);
}

void computeBorderClip(ProxyWindow* window) {
  Region* border = &window->borderRegion;
  if (window->borderWidth == 0 && !window->clipShape) {
    regionCopy(border, &window->insideRegion);
    return;
  }
  i32 width = window->borderWidth;
  i32 x = i32(window->x) - width, y = i32(window->y) - width;
  i32 outerWidth = window->width + 2 * width, outerHeight = window->height + 2 * width;
  if (window->parent) {
    clipRegionToParent(window->parent, border, x, y, outerWidth, outerHeight);
  } else {
    regionResetRect(border, x, y, u32(outerWidth), u32(outerHeight));
  }
  if (!window->boundingShape) return;
  intersectWithShape(border, window->boundingShape, window->x, window->y);
  regionSubtract(border, border, &window->insideRegion);
}

}  // namespace palvon

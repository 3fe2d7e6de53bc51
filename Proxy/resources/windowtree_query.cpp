// Queries of the proxy's window tree: pre-order walks, bounding and clip
// regions, the window at a point, the cursor in force there, and what the
// heads layer reads of a window.
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/windowtree.h"

namespace palvon {

namespace {

// The point lies in the window's outer rectangle and in its bounding shape.
bool boundingHolds(const ProxyWindow* window, i32 x, i32 y) {
  RegionBox box;
  getWindowBorderBox(window, &box);
  if (x < box.x1 || x >= box.x2 || y < box.y1 || y >= box.y2) return false;
  return !window->boundingShape || regionContainsPoint(x - window->x, y - window->y, window->boundingShape);
}

}  // namespace

ProxyWindow* nextWindowPreorder(ProxyWindow* window, ProxyWindow* root) {
  if (!window) return nullptr;
  if (window->topChild) return window->topChild;
  while (window && window != root) {
    if (window->nextLower) return window->nextLower;
    window = window->parent;
  }
  return nullptr;
}

Region* windowBoundingRegion(const ProxyWindow* window) {
  RegionBox box;
  getWindowBorderBox(window, &box);
  Region* region = regionCreate(&box, 0);
  if (!region || !window->boundingShape) return region;
  Region* shape = regionCreate(nullptr, 0);
  if (!shape || !regionCopy(shape, window->boundingShape)) {
    regionDestroy(shape);
    regionDestroy(region);
    return nullptr;
  }
  regionTranslate(shape, window->x, window->y);
  regionIntersect(region, region, shape);
  regionDestroy(shape);
  return region;
}

Region* windowClipShapeRegion(const ProxyWindow* window) {
  if (!window->clipShape) return regionCreateRect(window->x, window->y, window->width, window->height);
  Region* region = regionCreate(nullptr, 0);
  if (!region || !regionCopy(region, window->clipShape)) {
    regionDestroy(region);
    return nullptr;
  }
  regionTranslate(region, window->x, window->y);
  return region;
}

ProxyWindow* childAtPoint(ProxyWindow* window, i32 x, i32 y) {
  for (ProxyWindow* child = window->topChild; child; child = child->nextLower) {
    if (child->shown && boundingHolds(child, x, y)) return child;
  }
  return nullptr;
}

const ProxyWindow* mappedChildAtPoint(const ProxyWindow* window, i32 x, i32 y) {
  for (const ProxyWindow* child = window->topChild; child; child = child->nextLower) {
    if (child->mapped && boundingHolds(child, x, y) &&
        (!child->inputShape || regionContainsPoint(x - child->x, y - child->y, child->inputShape)))
      return child;
  }
  return nullptr;
}

ProxyWindow* windowAtPoint(ProxyWindow* window, i32 x, i32 y) {
  while (ProxyWindow* child = childAtPoint(window, x, y)) window = child;
  return window;
}

ProxyWindow* windowAtMetaPoint(MetaScreen* screen, i32 x, i32 y) {
  return screen && screen->rootWindow ? windowAtPoint(screen->rootWindow, x, y) : nullptr;
}

ProxyWindow* pointerWindowAt(MetaScreen* screen, i32 x, i32 y) {
  ProxyWindow* window = screen ? screen->rootWindow : nullptr;
  if (!window) return nullptr;
  for (ProxyWindow* child = window->topChild; child;) {
    bool holds = child->viewable && boundingHolds(child, x, y) &&
                 (!child->inputShape || regionContainsPoint(x - child->x, y - child->y, child->inputShape));
    if (holds) {
      window = child;
      child = child->topChild;
    } else {
      child = child->nextLower;
    }
  }
  return window;
}

CursorRecord* cursorAtMetaPoint(MetaScreen* screen, i32 x, i32 y) {
  for (ProxyWindow* window = windowAtMetaPoint(screen, x, y); window; window = window->parent) {
    if (window->cursor) return window->cursor;
  }
  return nullptr;
}

CursorRecord* effectiveCursorAt(u32, i32 x, i32 y) {
  Head* head = pointerHead();
  return cursorAtMetaPoint(head ? head->metaScreen : proxyState.screens, x, y);
}

bool rootCrossingFlag(const MetaScreen*) { return false; }

void describeWindow(const ProxyWindow* window, WindowFacts* out) {
  *out = {};
  if (!window) return;
  out->x = window->relativeX - window->borderWidth;
  out->y = window->relativeY - window->borderWidth;
  out->absX = window->x;
  out->absY = window->y;
  out->width = window->width;
  out->height = window->height;
  out->borderWidth = window->borderWidth;
  out->id = window->id;
  out->inputOnly = window->windowClass == kInputOnly;
  out->parent = window->parent;
  out->visual = window->visual;
}

}  // namespace palvon

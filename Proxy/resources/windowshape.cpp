// Window shapes in the proxy's window tree.
#include "Proxy/resources/windowshape.h"

#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

Region** windowShapeSlot(ProxyWindow* window, u8 kind) {
  switch (kind) {
    case kShapeBounding: return &window->boundingShape;
    case kShapeClip: return &window->clipShape;
    case kShapeInput: return &window->inputShape;
    default: return nullptr;
  }
}

void defaultShapeBox(const ProxyWindow* window, u8 kind, i32* x, i32* y, u32* width, u32* height) {
  i32 border = kind == kShapeClip ? 0 : window->borderWidth;
  *x = -border;
  *y = -border;
  *width = u32(window->width) + 2 * u32(border);
  *height = u32(window->height) + 2 * u32(border);
}

namespace {

Region* defaultShapeRegion(const ProxyWindow* window, u8 kind) {
  i32 x, y;
  u32 width, height;
  defaultShapeBox(window, kind, &x, &y, &width, &height);
  return regionCreateRect(x, y, width, height);
}

}  // namespace

Region* getWindowShapeRegion(u32 windowId, u8 kind, ProxyWindow** found) {
  ProxyWindow* window = lookupWindow(windowId);
  if (found) *found = window;
  if (!window || kind > kShapeInput) return nullptr;
  const Region* own = *windowShapeSlot(window, kind);
  if (!own) return defaultShapeRegion(window, kind);
  Region* copy = regionCreate(nullptr, 0);
  if (copy && !regionCopy(copy, own)) {
    regionDestroy(copy);
    return nullptr;
  }
  return copy;
}

void setWindowShapeRegion(ProxyWindow* window, u8 kind, Region* region) {
  Region** slot = windowShapeSlot(window, kind);
  if (!slot) {
    LOGF(logChProblem, "Invalid shape kind %u", kind);
    regionDestroy(region);
    return;
  }
  ProxyWindow* parent = window->parent;
  bool shown = window->shown && parent;
  // Marked at the old shape and again at the new one: what either covered
  // is handed out again.
  bool changed = shown && walkViewableWindows(window, window, nullptr);
  regionDestroy(*slot);
  *slot = region;
  computeWindowClip(window);
  computeBorderClip(window);
  moveChildrenByGravity(window, 0, 0, 0, 0);
  if (!shown) return;
  changed = walkViewableWindows(window, window, nullptr) || changed;
  if (changed) recomputeVisibleRegions(parent, nullptr, kValidateOther);
  freeWindowTreeBuffers(parent);
}

bool combineShapeRegions(Region* dst, const Region* current, const Region* source, u8 op) {
  switch (op) {
    case kShapeSet: return regionCopy(dst, source);
    case kShapeUnion: return regionUnion(dst, current, source);
    case kShapeIntersect: return regionIntersect(dst, current, source);
    case kShapeSubtract: return regionSubtract(dst, current, source);
    case kShapeInvert: return regionSubtract(dst, source, current);
    default: return false;
  }
}

bool applyShapeOperation(ProxyWindow* window, u8 kind, u8 op, Region* source) {
  Region** slot = windowShapeSlot(window, kind);
  Region* current = slot ? (*slot ? *slot : defaultShapeRegion(window, kind)) : nullptr;
  Region* result = regionCreate(nullptr, 0);
  bool ok = current && source && result && combineShapeRegions(result, current, source, op);
  if (slot && current != *slot) regionDestroy(current);
  regionDestroy(source);
  if (!ok) {
    regionDestroy(result);
    return false;
  }
  setWindowShapeRegion(window, kind, result);
  return true;
}

}  // namespace palvon

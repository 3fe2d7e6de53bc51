// Changes of the proxy's window tree: map, unmap, configure, restack,
// circulate and resize, each followed by the validation of the parent's
// children (windowtree_valid.cpp). The protocol's own rules decide what
// happens; the servers make the exposures.
#include <X11/X.h>

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/heads/readback.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/join/keepvisible.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowtree.h"

namespace palvon {

namespace {

// Every mapped window of the subtree becomes viewable, and shown when
// InputOutput.
void makeSubtreeViewable(ProxyWindow* window) {
  traverseWindowTree(
      window,
      [](ProxyWindow* each, void*) {
        if (!each->mapped) return 1;
        each->viewable = 1;
        each->shown = each->windowClass == kInputOutput;
        return 0;
      },
      nullptr);
}

// The validation starts at the highest marked child: the ones above keep
// what they have.
ProxyWindow* highestMarkedChild(ProxyWindow* parent) {
  ProxyWindow* child = parent->topChild;
  while (child && !child->savedBuffer) child = child->nextLower;
  return child;
}

// Marks the window's place, lets the change run, marks the new place and
// validates the parent's children.
void validateAround(ProxyWindow* window, ProxyWindow* firstChange, int kind) {
  ProxyWindow* parent = window->parent;
  walkViewableWindows(window, firstChange, nullptr);
  // Marks made before the change may lie above the ones made now.
  recomputeVisibleRegions(parent, highestMarkedChild(parent), kind);
  freeWindowTreeBuffers(parent);
}

// Children with UnmapGravity are unmapped when their parent changes size.
void unmapGravityChildren(ProxyWindow* window) {
  for (ProxyWindow* child = window->topChild; child; child = child->nextLower) {
    if (child->windowGravity != kGravityUnmap || !child->mapped) continue;
    child->mapped = 0;
    if (child->viewable) releaseGrabsOnUnmap(child, 1);
  }
}

// One geometry change: (x, y) the outer corner in the parent, the new
// border width, and the sibling the window goes directly above.
void applyGeometry(ProxyWindow* window, i32 x, i32 y, u32 width, u32 height, u16 borderWidth, ProxyWindow* sibling,
                   int kind) {
  ProxyWindow* parent = window->parent;
  if (!parent) return;
  i32 relativeX = x + borderWidth, relativeY = y + borderWidth;
  i32 dx = relativeX - window->relativeX, dy = relativeY - window->relativeY;
  i32 dw = i32(width) - window->width, dh = i32(height) - window->height;
  if (dw || dh) paintEmulatedBackground(window, width, height, dx, dy);
  bool shown = window->shown;
  if (shown) walkViewableWindows(window, window, nullptr);
  // A move within the parent's inside, before and after, only moves the
  // regions of the window and of its subtree.
  bool rigid = !dw && !dh && borderWidth == window->borderWidth && borderBoxInsideParent(window);
  i32 oldX = window->x, oldY = window->y;
  window->borderWidth = borderWidth;
  window->relativeX = relativeX;
  window->relativeY = relativeY;
  window->x = i16(parent->x + relativeX);
  window->y = i16(parent->y + relativeY);
  window->width = u16(width);
  window->height = u16(height);
  noteWindowGeometry(window);
  ProxyWindow* firstChange = window;
  if (sibling != window && sibling != window->nextLower) firstChange = restackWindow(window, sibling);
  if (!rigid || !borderBoxInsideParent(window) || !shiftWindowRegions(window, window->x - oldX, window->y - oldY)) {
    computeWindowClip(window);
    computeBorderClip(window);
    moveChildrenByGravity(window, dx, dy, dw, dh);
  }
  if (dw || dh) unmapGravityChildren(window);
  if (shown) validateAround(window, firstChange, kind);
}

bool boxMeetsWindow(const ProxyWindow* window, const RegionBox& box) {
  RegionBox own;
  getWindowBorderBox(window, &own);
  if (!(own.x1 < box.x2 && box.x1 < own.x2 && own.y1 < box.y2 && box.y1 < own.y2)) return false;
  if (!window->boundingShape) return true;
  Region* region = makeShapedBoxRegion(window, &own);
  bool meets = !region || regionContainsRect(region, &box) != 0;
  regionDestroy(region);
  return meets;
}

}  // namespace

// --- Mapping ---------------------------------------------------------------------------

void mapWindowRecord(ProxyWindow* window, ProxyClient* client) {
  if (window->mapped) return;
  ProxyWindow* parent = window->parent;
  if (!parent) {
    window->mapped = window->viewable = 1;
    window->shown = window->windowClass == kInputOutput;
    return;
  }
  // The window manager gets a MapRequest from the servers instead.
  if (!window->overrideRedirect && hasOtherSelectingClient(parent, client)) return;
  window->mapped = 1;
  if (!parent->viewable) return;
  makeSubtreeViewable(window);
  if (!window->shown) return;
  ProxyWindow* first = nullptr;
  walkViewableWindows(window, window, &first);
  recomputeVisibleRegions(parent, first, kValidateMap);
  freeWindowTreeBuffers(parent);
  keepNewTopLevelVisible(window, client);
}

void mapSubwindowRecords(ProxyWindow* window, ProxyClient* client) {
  bool redirected = hasOtherSelectingClient(window, client);
  // The siblings below the new windows that they may cover are found in one
  // walk, by the box of them all: one walk for each would cost the number
  // of children squared when a program maps hundreds at once.
  ProxyWindow* highest = nullptr;
  RegionBox reach{kRegionMax, kRegionMax, kRegionMin, kRegionMin};
  for (ProxyWindow* child = window->topChild; child; child = child->nextLower) {
    if (child->mapped || (redirected && !child->overrideRedirect)) continue;
    child->mapped = 1;
    if (!window->viewable) continue;
    makeSubtreeViewable(child);
    if (!child->shown) continue;
    markViewableSubtree(child);
    if (!highest) highest = child;
    RegionBox box;
    getWindowBorderBox(child, &box);
    reach = {std::min(reach.x1, box.x1), std::min(reach.y1, box.y1), std::max(reach.x2, box.x2),
             std::max(reach.y2, box.y2)};
  }
  if (!highest) return;
  if (highest->nextLower) markWindowsMeeting(highest->nextLower, reach);
  recomputeVisibleRegions(window, nullptr, kValidateMap);
  freeWindowTreeBuffers(window);
  // On a root every shown child is looked at; those already in view stay.
  if (window->parent) return;
  for (ProxyWindow* child = window->topChild; child; child = child->nextLower) keepNewTopLevelVisible(child, client);
}

void unmapWindowRecord(ProxyWindow* window, int) {
  ProxyWindow* parent = window->parent;
  if (!window->mapped || !parent) return;
  // A destroyed window is validated away like an unmapped one: the windows
  // it covered must learn that they are visible again.
  bool shown = window->shown;
  if (shown) {
    saveWindowPosition(window);
    if (window->nextLower) walkViewableWindows(window, window->nextLower, nullptr);
  }
  window->mapped = 0;
  if (window->viewable) releaseGrabsOnUnmap(window, 0);
  if (!shown) return;
  recomputeVisibleRegions(parent, window, kValidateUnmap);
  freeWindowTreeBuffers(parent);
}

void unmapSubwindowRecords(ProxyWindow* window, ProxyClient*) {
  bool any = false;
  for (ProxyWindow* child = window->bottomChild; child; child = child->nextUpper) {
    if (!child->mapped) continue;
    // A shown child's area goes back to the window.
    if (child->shown && saveWindowPosition(child)) any = true;
    child->mapped = 0;
    if (child->viewable) releaseGrabsOnUnmap(child, 0);
  }
  if (!any) return;
  recomputeVisibleRegions(window, nullptr, kValidateUnmap);
  freeWindowTreeBuffers(window);
}

// --- Configuring -------------------------------------------------------------------------

ProxyWindow* stackPositionFor(ProxyWindow* window, ProxyWindow* sibling, i32 x, i32 y, u32 width, u32 height,
                              u8 stackMode) {
  ProxyWindow* parent = window->parent;
  if (parent->topChild == window && parent->bottomChild == window) return nullptr;
  ProxyWindow* first = parent->topChild;
  RegionBox box{i16(std::clamp(x, kRegionMin, kRegionMax)), i16(std::clamp(y, kRegionMin, kRegionMax)),
                i16(std::clamp(i64(x) + width, i64(kRegionMin), i64(kRegionMax))),
                i16(std::clamp(i64(y) + height, i64(kRegionMin), i64(kRegionMax)))};
  bool unmappedParty = !window->mapped || (sibling && !sibling->mapped);
  // Whether the sibling lies above the window, and meets its new box.
  bool siblingAbove = sibling && isStackedAbove(window, sibling) == 0;
  bool siblingMeets = sibling && boxMeetsWindow(sibling, box);
  switch (stackMode) {
    case kStackAbove:
      if (sibling) return sibling;
      return window == first ? window->nextLower : first;
    case kStackBelow:
      if (sibling) return sibling->nextLower != window ? sibling->nextLower : window->nextLower;
      return nullptr;
    case kStackTopIf:
      if (unmappedParty) return window->nextLower;
      if (sibling) return siblingAbove && siblingMeets ? first : window->nextLower;
      return isOverlappedFromAbove(window, nullptr, &box) ? first : window->nextLower;
    case kStackBottomIf:
      if (unmappedParty) return window->nextLower;
      if (sibling) return !siblingAbove && siblingMeets ? nullptr : window->nextLower;
      return overlapsWindowBelow(window, &box) ? nullptr : window->nextLower;
    case kStackOpposite:
      if (unmappedParty) return window->nextLower;
      if (sibling) {
        if (!siblingMeets) return window->nextLower;
        return siblingAbove ? first : nullptr;
      }
      if (isOverlappedFromAbove(window, nullptr, &box)) return first;
      return overlapsWindowBelow(window, &box) ? nullptr : window->nextLower;
    default: return window->nextLower;
  }
}

int configureWindowRecord(ProxyWindow* window, u16 mask, const u32* values, ProxyClient* client, u32* badValue) {
  *badValue = 0;
  ProxyWindow* parent = window->parent;
  if (mask & ~0x7fu) {
    *badValue = mask;
    return BadValue;
  }
  // These two are refused before any value is read, naming the window.
  if ((window->windowClass == kInputOnly && (mask & CWBorderWidth)) || (mask & (CWSibling | CWStackMode)) == CWSibling) {
    *badValue = window->id;
    return BadMatch;
  }
  i32 x = window->relativeX - window->borderWidth, y = window->relativeY - window->borderWidth;
  u32 width = window->width, height = window->height;
  u16 borderWidth = window->borderWidth;
  ProxyWindow* sibling = nullptr;
  u8 stackMode = kStackAbove;
  const u32* v = values;
  if (mask & CWX) x = i16(*v++);
  if (mask & CWY) y = i16(*v++);
  if (mask & CWWidth) width = u16(*v++);
  if (mask & CWHeight) height = u16(*v++);
  if ((mask & (CWWidth | CWHeight)) && (width == 0 || height == 0)) return BadValue;
  if (mask & CWBorderWidth) borderWidth = u16(*v++);
  if (mask & CWSibling) {
    u32 siblingId = *v++;
    *badValue = siblingId;
    sibling = lookupWindow(siblingId);
    if (!sibling) return BadWindow;
    if (sibling == window || sibling->parent != parent) return BadMatch;
  }
  if (mask & CWStackMode) {
    u32 mode = *v++;
    if (mode > kStackOpposite) {
      *badValue = mode;
      return BadValue;
    }
    stackMode = u8(mode);
  }
  *badValue = 0;
  if (!parent) return 0;
  // The window manager gets a ConfigureRequest from the servers instead.
  if (!window->overrideRedirect && hasOtherSelectingClient(parent, client)) return 0;
  ProxyWindow* target = window->nextLower;
  if (mask & CWStackMode) {
    target = stackPositionFor(window, sibling, parent->x + x, parent->y + y, width + 2u * borderWidth,
                              height + 2u * borderWidth, stackMode);
  }
  bool restack = target != window->nextLower && target != window;
  bool resized = width != window->width || height != window->height;
  bool moved = x + borderWidth != window->relativeX || y + borderWidth != window->relativeY;
  bool rebordered = borderWidth != window->borderWidth;
  if (resized) {
    applyGeometry(window, x, y, width, height, borderWidth, target, kValidateOther);
  } else if (moved) {
    applyGeometry(window, x, y, width, height, borderWidth, target, rebordered ? kValidateOther : kValidateMove);
  } else if (rebordered) {
    setBorderWidthRecord(window, borderWidth);
    if (restack) restackWindowRecord(window, target, kValidateOther);
  } else if (restack) {
    restackWindowRecord(window, target, kValidateStack);
  }
  return 0;
}

void moveResizeWindowRecord(ProxyWindow* window, i32 x, i32 y, u32 width, u32 height, ProxyWindow* sibling) {
  applyGeometry(window, x, y, width, height, window->borderWidth, sibling, kValidateOther);
}

void moveWindowRecord(ProxyWindow* window, i32 x, i32 y, ProxyWindow* sibling, int kind) {
  applyGeometry(window, x, y, window->width, window->height, window->borderWidth, sibling, kind);
}

void moveWindowRecord(ProxyWindow* window, i32 x, i32 y) {
  moveWindowRecord(window, x, y, window->nextLower, kValidateMove);
}

void restackWindowRecord(ProxyWindow* window, ProxyWindow* sibling, int kind) {
  if (!window->parent || sibling == window || sibling == window->nextLower) return;
  ProxyWindow* firstChange = restackWindow(window, sibling);
  if (!window->shown) return;
  if (walkViewableWindows(window, firstChange, nullptr)) recomputeVisibleRegions(window->parent, firstChange, kind);
  freeWindowTreeBuffers(window->parent);
}

void setBorderWidthRecord(ProxyWindow* window, u16 borderWidth) {
  if (borderWidth == window->borderWidth || !window->parent) return;
  bool shown = window->shown;
  // Marked at the old and at the new box, whichever is larger.
  if (shown) walkViewableWindows(window, window, nullptr);
  window->borderWidth = borderWidth;
  noteWindowGeometry(window);
  computeBorderClip(window);
  if (shown) validateAround(window, window, kValidateOther);
}

ProxyWindow* circulateWindowRecord(ProxyWindow* window, u8 direction, ProxyClient* client) {
  if (hasOtherSelectingClient(window, client)) return nullptr;
  RegionBox box;
  if (direction == 0) {
    // RaiseLowest: the lowest mapped child that a sibling covers.
    for (ProxyWindow* child = window->bottomChild; child; child = child->nextUpper) {
      if (!child->mapped) continue;
      getWindowBorderBox(child, &box);
      if (!isOverlappedFromAbove(child, nullptr, &box)) continue;
      restackWindowRecord(child, window->topChild, kValidateStack);
      return child;
    }
    return nullptr;
  }
  // LowerHighest: the highest mapped child that covers a sibling.
  for (ProxyWindow* child = window->topChild; child; child = child->nextLower) {
    if (!child->mapped) continue;
    getWindowBorderBox(child, &box);
    if (!overlapsWindowBelow(child, &box)) continue;
    restackWindowRecord(child, nullptr, kValidateStack);
    return child;
  }
  return nullptr;
}

void resizeWindowRecord(ProxyWindow* window, u32 width, u32 height) {
  window->width = u16(width);
  window->height = u16(height);
  computeWindowClip(window);
  computeBorderClip(window);
  moveChildrenByGravity(window, 0, 0, 0, 0);
  if (window->shown) {
    walkViewableWindows(window, window, nullptr);
    Region* rectangle = regionCreateRect(window->x, window->y, width, height);
    if (rectangle) computeWindowVisibility(window, rectangle, kValidateOther);
    regionDestroy(rectangle);
    freeWindowTreeBuffers(window);
  }
  paintEmulatedBackground(window, width, height, 0, 0);
}

void refreshScreenWindowTree(MetaScreen* screen) {
  ProxyWindow* root = screen->rootWindow;
  if (!root || !root->shown) return;
  walkViewableWindows(root, root, nullptr);
  Region* rectangle = regionCreateRect(root->x, root->y, root->width, root->height);
  if (rectangle) computeWindowVisibility(root, rectangle, kValidateOther);
  regionDestroy(rectangle);
  freeWindowTreeBuffers(root);
}

}  // namespace palvon

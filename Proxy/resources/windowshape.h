// A window's three shapes (bounding, clip, input) in the proxy's window
// tree. The tree's clip and visible regions depend on them, so a change
// revalidates the window like a geometry change does.
//
// Regions are relative to the window's inside origin. A window without a
// shape of a kind has the region null. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyWindow;
struct Region;

constexpr u8 kShapeBounding = 0, kShapeClip = 1, kShapeInput = 2;
constexpr u8 kShapeSet = 0, kShapeUnion = 1, kShapeIntersect = 2, kShapeSubtract = 3, kShapeInvert = 4;

// The slot of the window's region of that kind; null for a kind above 2.
Region** windowShapeSlot(ProxyWindow* window, u8 kind);

// What a window without a shape of that kind has: its border box
// (-bw, -bw, w + 2bw, h + 2bw) for the bounding and input shapes, its
// inside (0, 0, w, h) for the clip shape. A server starts combining from
// the same box, so a combination into a shapeless window must too, or a
// head that joins later gets another shape than the heads that saw it.
void defaultShapeBox(const ProxyWindow* window, u8 kind, i32* x, i32* y, u32* width, u32* height);

// The window of the id and a new copy of its region of that kind (the
// default box when it has none); null for an unknown window, a kind above 2
// or when memory runs out. The caller destroys the region.
Region* getWindowShapeRegion(u32 windowId, u8 kind, ProxyWindow** window);

// Replaces the window's region of the kind (the old one is destroyed; the
// region, which may be null, becomes the window's) and redoes what the tree
// does after a geometry change. A kind above 2 is logged and changes
// nothing (the region is destroyed).
void setWindowShapeRegion(ProxyWindow* window, u8 kind, Region* region);

// dst := current (op) source, for the combine operations 0 Set, 1 Union,
// 2 Intersect, 3 Subtract (current minus source), 4 Invert (source minus
// current). current may be null (then the default box of the window's kind
// is used by the caller). False when memory runs out or the op is unknown.
bool combineShapeRegions(Region* dst, const Region* current, const Region* source, u8 op);

// The window's region of that kind combined with `source` by op and stored
// (setWindowShapeRegion); source is consumed. False when memory ran out
// (nothing changed).
bool applyShapeOperation(ProxyWindow* window, u8 kind, u8 op, Region* source);

}  // namespace palvon

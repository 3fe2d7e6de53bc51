// The validation of the proxy's window tree: marking the windows whose
// visible area may change, handing the area out again from the top of the
// stack down, visibility states and the proxy's own VisibilityNotify.
#include <X11/X.h>

#include <algorithm>
#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/grabs.h"
#include "Proxy/events/translate.h"
#include "Proxy/links/pending.h"
#include "Proxy/resources/windowtree.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Scratch regions of the validation (main thread only). Their box arrays
// are kept, so a validation in steady state allocates nothing. The outer
// loop and the descent below one child use separate ones.
struct Scratch {
  Region total, parentPart, topBounding, topUniverse, united, bounding, universe, shape;
};

Scratch& scratch() {
  static Scratch s;
  static bool ready = false;
  if (!ready) {
    for (Region* r : {&s.total, &s.parentPart, &s.topBounding, &s.topUniverse, &s.united, &s.bounding, &s.universe,
                      &s.shape})
      regionInit(r, nullptr, 0);
    ready = true;
  }
  return s;
}

void widenBox(RegionBox* box, const RegionBox& other) {
  box->x1 = std::min(box->x1, other.x1);
  box->y1 = std::min(box->y1, other.y1);
  box->x2 = std::max(box->x2, other.x2);
  box->y2 = std::max(box->y2, other.y2);
}

bool boxesMeet(const RegionBox& a, const RegionBox& b) {
  return a.x1 < b.x2 && b.x1 < a.x2 && a.y1 < b.y2 && b.y1 < a.y2;
}

// The window's outer rectangle cut by its bounding shape, into `out`.
void boundingInto(const ProxyWindow* window, Region* out) {
  RegionBox box;
  getWindowBorderBox(window, &box);
  regionReset(out, &box);
  if (!window->boundingShape) return;
  Region* shape = &scratch().shape;
  regionCopy(shape, window->boundingShape);
  regionTranslate(shape, window->x, window->y);
  regionIntersect(out, out, shape);
}

bool isMarked(const ProxyWindow* window) { return window->savedBuffer != nullptr; }

// The state a window has with `universe` visible of it: its border box, or
// each box of its bounding shape, against the region.
u8 visibilityIn(const ProxyWindow* window, const Region* universe) {
  RegionBox outer;
  getWindowBorderBox(window, &outer);
  if (!window->boundingShape) {
    switch (regionContainsRect(universe, &outer)) {
      case 1: return kVisibilityUnobscured;
      case 2: return kVisibilityPartiallyObscured;
      default: return kVisibilityFullyObscured;
    }
  }
  bool anyIn = false, anyOut = false;
  const Region* shape = window->boundingShape;
  for (long i = 0; i < regionNumRects(shape); i++) {
    const RegionBox& s = regionRects(shape)[i];
    RegionBox box{i16(std::max(i32(s.x1) + window->x, i32(outer.x1))), i16(std::max(i32(s.y1) + window->y, i32(outer.y1))),
                  i16(std::min(i32(s.x2) + window->x, i32(outer.x2))), i16(std::min(i32(s.y2) + window->y, i32(outer.y2)))};
    if (box.x1 >= box.x2 || box.y1 >= box.y2) continue;
    switch (regionContainsRect(universe, &box)) {
      case 1: anyIn = true; break;
      case 2: return kVisibilityPartiallyObscured;
      default: anyOut = true; break;
    }
    if (anyIn && anyOut) return kVisibilityPartiallyObscured;
  }
  return anyIn ? kVisibilityUnobscured : kVisibilityFullyObscured;
}

void setVisibility(ProxyWindow* window, u8 state) {
  if (window->visibility == state) return;
  window->visibility = state;
  sendVisibilityNotify(window);
}

// The window's own share: its border list, its state, its clip list (the
// inside of the share; its children take theirs out of it afterwards).
void assignShare(ProxyWindow* window, const Region* universe) {
  regionCopy(&window->borderList, universe);
  regionIntersect(&window->clipList, universe, &window->insideRegion);
  setVisibility(window, visibilityIn(window, universe));
}

// A shown window that was not viewable before and got no share: it and its
// shown descendants are fully obscured.
void treeObscured(ProxyWindow* window) {
  traverseWindowTree(
      window,
      [](ProxyWindow* each, void*) {
        if (!each->shown) return 1;
        setVisibility(each, kVisibilityFullyObscured);
        return 0;
      },
      nullptr);
}

void forgetRegions(ProxyWindow* window) {
  regionEmpty(&window->clipList);
  regionEmpty(&window->borderList);
}

// A child's share of its parent's clip list, when it is marked; a shown
// child also takes its bounding region out of the list, at once or, when
// the parent's children lie apart, with theirs together. True when the
// child's own children are to be served next.
bool serveChild(ProxyWindow* child, bool apart) {
  bool marked = isMarked(child);
  if (!child->shown) {
    if (marked) forgetRegions(child);
    return false;
  }
  Scratch& s = scratch();
  ProxyWindow* parent = child->parent;
  if (marked || !apart) boundingInto(child, &s.bounding);
  if (marked) {
    regionIntersect(&s.universe, &parent->clipList, &s.bounding);
    assignShare(child, &s.universe);
  } else if (child->visibility == kVisibilityUnknown) {
    treeObscured(child);
  }
  if (!apart) regionSubtract(&parent->clipList, &parent->clipList, &s.bounding);
  return marked && child->topChild;
}

// Children that cover no part of one another each take their share of the
// parent's clip list as it stands, and their united bounding regions leave
// it once, after the last: taken out one by one, each child would cost as
// many boxes as its siblings had already cut out of the list, which makes
// mapping or moving a window of many children cost their number squared.
// Below this many shown children the one by one way is as cheap.
constexpr u32 kApartFrom = 8;

// The bounding regions of the shown children from `first` down (of the
// marked ones only, with markedOnly) united into `united`: true when they
// are at least kApartFrom and no two of them overlap.
bool uniteApart(ProxyWindow* first, bool markedOnly, Region* united) {
  // Two unshaped neighbours that overlap settle it without the union: a
  // crowd of top-levels stacked over one another, the usual case that
  // fails, would unite them all for nothing on every change.
  u32 count = 0;
  bool previousUnshaped = false;
  RegionBox previous{}, box;
  for (ProxyWindow* child = first; child && count < kApartFrom; child = child->nextLower) {
    if (!child->shown || (markedOnly && !isMarked(child))) continue;
    count++;
    bool unshaped = !child->boundingShape;
    if (unshaped) {
      getWindowBorderBox(child, &box);
      if (previousUnshaped && boxesMeet(box, previous)) return false;
      previous = box;
    }
    previousUnshaped = unshaped;
  }
  if (count < kApartFrom) return false;
  regionEmpty(united);
  Scratch& s = scratch();
  for (ProxyWindow* child = first; child; child = child->nextLower) {
    if (!child->shown || (markedOnly && !isMarked(child))) continue;
    boundingInto(child, &s.bounding);
    regionAppend(united, &s.bounding);
  }
  bool overlap = true;
  return regionValidate(united, &overlap) && !overlap;
}

// The levels of a walk whose children lie apart, innermost last, each with
// its children's united region (kept between walks: steady state
// allocates nothing).
class Levels {
 public:
  // Before the window's children are served.
  void enter(ProxyWindow* parent) {
    Region* united = slot(depth_);
    if (united && uniteApart(parent->topChild, false, united)) parents_[depth_++] = parent;
  }
  bool apart(const ProxyWindow* parent) const { return depth_ && parents_[depth_ - 1] == parent; }
  // After the last child's subtree.
  void leave(ProxyWindow* parent) {
    if (!apart(parent)) return;
    depth_--;
    regionSubtract(&parent->clipList, &parent->clipList, slot(depth_));
  }

 private:
  // Deeper levels than this are served one by one.
  static constexpr u32 kMaxDepth = 32;
  static Region* slot(u32 depth) {
    static Region united[kMaxDepth];
    static bool ready[kMaxDepth];
    if (depth >= kMaxDepth) return nullptr;
    if (!ready[depth]) regionInit(&united[depth], nullptr, 0);
    ready[depth] = true;
    return &united[depth];
  }
  ProxyWindow* parents_[kMaxDepth] = {};
  u32 depth_ = 0;
};

// A move that leaves a marked window as visible as it was, wholly or not at
// all, moves its visible areas and its subtree's with it, as a server
// validates a move: nothing of it is computed again. Its inside regions
// were moved with it already (a move within the parent's inside). True
// when that was the case.
bool movedWhole(ProxyWindow* window, const Region* region) {
  const WindowSavedPosition* saved = window->savedBuffer;
  if (!saved) return false;
  u8 state = visibilityIn(window, region);
  if (state != window->visibility || (state != kVisibilityUnobscured && state != kVisibilityFullyObscured))
    return false;
  i32 move[2] = {window->x - saved->oldX, window->y - saved->oldY};
  if (move[0] == 0 && move[1] == 0) return true;
  traverseWindowTree(
      window,
      [](ProxyWindow* each, void* argument) {
        if (!each->viewable) return 1;
        const i32* move = static_cast<const i32*>(argument);
        regionTranslate(&each->clipList, move[0], move[1]);
        regionTranslate(&each->borderList, move[0], move[1]);
        return 0;
      },
      move);
  return true;
}

}  // namespace

void markViewableSubtree(ProxyWindow* window) {
  traverseWindowTree(
      window,
      [](ProxyWindow* each, void*) {
        if (!each->viewable) return 1;
        saveWindowPosition(each);
        return 0;
      },
      nullptr);
}

ProxyWindow* markWindowsMeeting(ProxyWindow* first, const RegionBox& box) {
  ProxyWindow* highest = nullptr;
  ProxyWindow* level = first ? first->parent : nullptr;
  ProxyWindow* each = first;
  while (each) {
    bool descend = false;
    if (each->viewable) {
      RegionBox other;
      getWindowBorderBox(each, &other);
      if (boxesMeet(box, other)) {
        saveWindowPosition(each);
        if (!highest && each->parent == level) highest = each;
        descend = each->topChild != nullptr;
      }
    }
    if (descend) {
      each = each->topChild;
      continue;
    }
    while (each->parent != level && !each->nextLower) each = each->parent;
    each = each->nextLower;
  }
  return highest;
}

bool walkViewableWindows(ProxyWindow* window, ProxyWindow* first, ProxyWindow** firstMarked) {
  ProxyWindow* highest = nullptr;
  if (first == window) {
    // The window and all of its viewable inferiors, whatever they overlap.
    markViewableSubtree(window);
    highest = window;
    first = window->nextLower;
  }
  if (first) {
    RegionBox box;
    getWindowBorderBox(window, &box);
    ProxyWindow* below = markWindowsMeeting(first, box);
    if (!highest) highest = below;
  }
  if (firstMarked) *firstMarked = highest;
  return highest != nullptr;
}

void computeWindowVisibility(ProxyWindow* window, const Region* region, int kind) {
  if (kind == kValidateMove && movedWhole(window, region)) return;
  assignShare(window, region);
  Levels levels;
  if (!window->topChild) return;
  levels.enter(window);
  // Pre-order, children top first, as a server notifies: each child's
  // subtree is served before its next sibling.
  ProxyWindow* each = window->topChild;
  while (true) {
    if (serveChild(each, levels.apart(each->parent))) {
      levels.enter(each);
      each = each->topChild;
      continue;
    }
    while (!each->nextLower) {
      each = each->parent;
      levels.leave(each);
      if (each == window) return;
    }
    each = each->nextLower;
  }
}

void recomputeVisibleRegions(ProxyWindow* parent, ProxyWindow* first, int kind) {
  Scratch& s = scratch();
  if (!first) first = parent->topChild;
  regionEmpty(&s.total);
  // Where any visible area can change: what the marked windows held and
  // where they lie now. The parent's clip list takes part only there; the
  // rest of it, often most of a crowded root's, stays as it is. What they
  // held is gathered first and banded once.
  RegionBox reach{kRegionMax, kRegionMax, kRegionMin, kRegionMin};
  for (ProxyWindow* each = first; each; each = each->nextLower) {
    if (!isMarked(each)) continue;
    regionAppend(&s.total, &each->borderList);
    if (regionNotEmpty(&each->borderList)) widenBox(&reach, *regionExtents(&each->borderList));
    if (each->shown) {
      RegionBox outer;
      getWindowBorderBox(each, &outer);
      widenBox(&reach, outer);
    }
  }
  regionValidate(&s.total, nullptr);
  bool withParent = kind != kValidateStack && reach.x1 < reach.x2;
  if (withParent) {
    Region area;
    regionInit(&area, &reach, 0);
    regionIntersect(&s.parentPart, &parent->clipList, &area);
    regionSubtract(&parent->clipList, &parent->clipList, &area);
    regionUnion(&s.total, &s.total, &s.parentPart);
  }
  // Only a marked window takes its share out of the total: the total holds
  // the parent's own clip list and what the marked windows held, and an
  // unmarked window meets neither (it would have been marked had it met
  // the changed window's box). Subtracting every sibling would make each
  // change cost as much as the number of windows. Marked windows that lie
  // apart take theirs out together, after the last.
  bool apart = uniteApart(first, true, &s.united);
  for (ProxyWindow* each = first; each; each = each->nextLower) {
    if (each->shown) {
      if (isMarked(each)) {
        boundingInto(each, &s.topBounding);
        regionIntersect(&s.topUniverse, &s.total, &s.topBounding);
        computeWindowVisibility(each, &s.topUniverse, kind);
        if (!apart) regionSubtract(&s.total, &s.total, &s.topBounding);
      } else if (each->visibility == kVisibilityUnknown) {
        treeObscured(each);
      }
    } else if (isMarked(each)) {
      forgetRegions(each);
    }
  }
  if (apart) regionSubtract(&s.total, &s.total, &s.united);
  // What no marked window took goes back to the parent. A restack hands
  // out only what the marked windows held: the parent's own share is
  // unchanged.
  if (withParent) regionUnion(&parent->clipList, &parent->clipList, &s.total);
}

void sendVisibilityNotify(ProxyWindow* window) {
  u8 event[32] = {};
  event[0] = VisibilityNotify;
  put32(event + 4, window->id);
  event[8] = window->visibility;
  for (EventSelection* selection = window->selections; selection; selection = selection->next) {
    if (!(selection->eventMask & kVisibilityChangeMask) || !selection->client) continue;
    put16(event + 2, u16(selection->client->requestCounter));
    sendComposedEvent(event, "bbsi", selection->client);
  }
}

void releaseGrabsOnUnmap(ProxyWindow* window, int emptyOwnRegions) {
  struct Walk {
    ProxyWindow* start;
    int emptyOwn;
  } walk{window, emptyOwnRegions};
  traverseWindowTree(
      window,
      [](ProxyWindow* each, void* argument) {
        auto* w = static_cast<Walk*>(argument);
        if (!each->viewable) return 1;
        each->viewable = 0;
        endGrabsOnUnmappedWindow(each);
        each->visibility = kVisibilityUnknown;
        each->shown = 0;
        if (each != w->start || w->emptyOwn) forgetRegions(each);
        return 0;
      },
      &walk);
}

// The servers' own visibility is the proxy's to compute (heads overlap and
// cover each other); only what a client sent with SendEvent passes.
void EventVisibilityNotify(u8* event) {
  if (event[0] & 0x80) passedUntranslated(event);
}

}  // namespace palvon

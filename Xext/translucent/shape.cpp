// Translucency on one head: the shape requests a client's link carries to
// keep a window's holder and its real copy in step.
//
// Regions handed to the shape writers are in the window's coordinates on
// the head (its inside origin there): the same on every head, scaled and
// turned on a zoomed or turned one.
#include <X11/X.h>
#include <X11/Xproto.h>
#include <X11/extensions/shape.h>

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowshape.h"
#include "Xext/extmodule.h"
#include "Xext/translucent/internal.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

constexpr u8 kShapeRectanglesMinor = 1, kShapeMaskMinor = 2, kShapeCombineMinor = 3, kShapeOffsetMinor = 4;

u8* beginShape(ServerLink* link, u8 minor, u32 length, u8* major) {
  const ExtensionEntry* entry = moduleEntry(kModuleShape);
  if (!entry || !link) return nullptr;
  *major = entry->major;
  return beginRequest(&link->writer, entry->major, minor, length);
}

void writeGrabServer(ServerLink* link) {
  if (u8* p = beginRequest(&link->writer, X_GrabServer, 0, 4)) finishRequest(&link->writer, p, 4, X_GrabServer, 0);
}

void moveMarker(ServerLink* link, const Head* head, const MarkerGeometry& at) {
  const TranslucencyDisplayRecord* record = translucencyDisplayOf(head);
  if (!record || !record->marker) return;
  u32 values[4] = {u32(i32(at.x)), u32(i32(at.y)), at.width, at.height};
  xprotoConfigureWindow(&link->writer, u32(record->marker), CWX | CWY | CWWidth | CWHeight, values);
}

// The selection when exactly one client selected events on the window.
const EventSelection* onlySelection(const ProxyWindow* window, u32* count) {
  *count = 0;
  const EventSelection* only = nullptr;
  for (const EventSelection* s = window->selections; s; s = s->next) {
    if (!s->eventMask) continue;
    ++*count;
    only = s;
  }
  return *count == 1 ? only : nullptr;
}

void writeEventMask(ServerLink* link, const Head* head, const ProxyWindow* window, const EventSelection* selection,
                    bool withExposure) {
  XSetWindowAttributes attributes{};
  u32 mask = adjustEventMaskForHead(selection->client, window, selection->eventMask, head);
  attributes.event_mask = long(withExposure ? mask : mask & ~u32(ExposureMask));
  xprotoChangeWindowAttributes(&link->writer, windowOnHead(window, head), CWEventMask, &attributes);
}

bool hidesBackground(const ProxyWindow* window) {
  const TranslucencyRecord* record = window->translucency;
  return record && record->count && window->backgroundKind != kBackgroundNone;
}

void setBackgroundNone(ServerLink* link, const Head* head, const ProxyWindow* window) {
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;
  xprotoChangeWindowAttributes(&link->writer, windowOnHead(window, head), CWBackPixmap, &attributes);
}

void restoreBackground(ServerLink* link, Head* head, ProxyWindow* window) {
  XSetWindowAttributes attributes{};
  u32 mask = CWBackPixmap;
  if (window->backgroundKind == kBackgroundParentRelative) {
    attributes.background_pixmap = ParentRelative;
  } else {
    u32 pixmap = 0, pixel = 0;
    i32 dx = 0, dy = 0;
    if (resolveBackgroundPixmap(window, head, &pixmap, &dx, &dy, &pixel)) {
      attributes.background_pixmap = pixmap;
    } else {
      mask = CWBackPixel;
      attributes.background_pixel = pixel;
    }
  }
  xprotoChangeWindowAttributes(&link->writer, windowOnHead(window, head), mask, &attributes);
}

bool meetsRegion(const Region* region, i32 x, i32 y, u32 width, u32 height) {
  RegionBox box{i16(std::clamp(x, kRegionMin, kRegionMax)), i16(std::clamp(y, kRegionMin, kRegionMax)),
                i16(std::clamp(x + i32(width), kRegionMin, kRegionMax)),
                i16(std::clamp(y + i32(height), kRegionMin, kRegionMax))};
  return regionContainsRect(region, &box) != 0;
}

// The ancestors' holders lose the window's area over the region and take
// their children's shapes back; their real copies follow.
void updateTranslucentAncestors(ServerLink* link, Head* head, ProxyWindow* window, const Region* region) {
  for (ProxyWindow* a = window->parent; a && a->translucency; a = a->parent) {
    u32 holder = translucentHolder(a, head);
    if (!holder) break;
    HeadRect at = translucentBoxToHead(a, window->x - a->x, window->y - a->y, window->width, window->height, head);
    i32 dx = at.x, dy = at.y;
    writeShapeRectangles(link, ShapeSubtract, holder, dx, dy, region, YXBanded);
    Region* moved = regionCreate(nullptr, 0);
    if (moved && regionCopy(moved, region)) {
      regionTranslate(moved, dx, dy);
      addChildrenToTranslucentShape(link, head, holder, a, 0, 0, moved);
    }
    regionDestroy(moved);
    writeShapeCombine(link, ShapeSet, windowOnHead(a, head), 0, 0, holder);
  }
}

}  // namespace

// --- Shape requests ---------------------------------------------------------------------------

bool writeShapeRectangles(ServerLink* link, u8 op, u32 window, i32 x, i32 y, const Region* region, u8 ordering) {
  long count = regionNumRects(region);
  u32 length = 16 + 8 * u32(count);
  u8 major = 0;
  u8* p = beginShape(link, kShapeRectanglesMinor, length, &major);
  if (!p) return false;
  p[4] = op, p[5] = ShapeBounding, p[6] = ordering, p[7] = 0;
  put32(p + 8, window);
  put16(p + 12, u16(i16(x)));
  put16(p + 14, u16(i16(y)));
  const RegionBox* boxes = regionRects(region);
  for (long k = 0; k < count; k++) {
    u8* r = p + 16 + 8 * k;
    put16(r, u16(boxes[k].x1));
    put16(r + 2, u16(boxes[k].y1));
    put16(r + 4, u16(boxes[k].x2 - boxes[k].x1));
    put16(r + 6, u16(boxes[k].y2 - boxes[k].y1));
  }
  finishRequest(&link->writer, p, length, major, kShapeRectanglesMinor);
  return true;
}

bool writeShapeBox(ServerLink* link, u8 op, u32 window, i32 x, i32 y, u32 width, u32 height) {
  Region box;
  RegionBox b{i16(std::clamp(x, kRegionMin, kRegionMax)), i16(std::clamp(y, kRegionMin, kRegionMax)),
              i16(std::clamp(x + i32(width), kRegionMin, kRegionMax)),
              i16(std::clamp(y + i32(height), kRegionMin, kRegionMax))};
  regionInit(&box, &b, 1);
  bool wrote = writeShapeRectangles(link, op, window, 0, 0, &box, YXBanded);
  regionUninit(&box);
  return wrote;
}

bool writeShapeCombine(ServerLink* link, u8 op, u32 destination, i32 x, i32 y, u32 source) {
  u8 major = 0;
  u8* p = beginShape(link, kShapeCombineMinor, 20, &major);
  if (!p) return false;
  p[4] = op, p[5] = ShapeBounding, p[6] = ShapeBounding, p[7] = 0;
  put32(p + 8, destination);
  put16(p + 12, u16(i16(x)));
  put16(p + 14, u16(i16(y)));
  put32(p + 16, source);
  finishRequest(&link->writer, p, 20, major, kShapeCombineMinor);
  return true;
}

bool writeShapeOffset(ServerLink* link, u32 window, i32 x, i32 y) {
  u8 major = 0;
  u8* p = beginShape(link, kShapeOffsetMinor, 16, &major);
  if (!p) return false;
  p[4] = ShapeBounding, p[5] = p[6] = p[7] = 0;
  put32(p + 8, window);
  put16(p + 12, u16(i16(x)));
  put16(p + 14, u16(i16(y)));
  finishRequest(&link->writer, p, 16, major, kShapeOffsetMinor);
  return true;
}

bool writeShapeMask(ServerLink* link, u8 op, u32 window, i32 x, i32 y, u32 pixmap) {
  u8 major = 0;
  u8* p = beginShape(link, kShapeMaskMinor, 20, &major);
  if (!p) return false;
  p[4] = op, p[5] = ShapeBounding, p[6] = p[7] = 0;
  put32(p + 8, window);
  put16(p + 12, u16(i16(x)));
  put16(p + 14, u16(i16(y)));
  put32(p + 16, pixmap);
  finishRequest(&link->writer, p, 20, major, kShapeMaskMinor);
  return true;
}

// --- Windows on a head ---------------------------------------------------------------------------

u32 translucentHolder(const ProxyWindow* window, const Head* head) {
  u32 slot = translucentSlot(head);
  return window->translucency && slot < kTranslucentHeadSlots ? window->translucency->holders[slot] : 0;
}

bool selfRepainting(const ProxyWindow* window) {
  return window && window->translucency && !(window->translucency->flags & kTranslucentNoSelfRepaint);
}

Region* translucentOuterBox(const ProxyWindow* window, const ProxyWindow* relativeTo, i32 dx, i32 dy, u32 width,
                            u32 height) {
  i32 border = window->borderWidth;
  return regionCreateRect(window->x - relativeTo->x - border + dx, window->y - relativeTo->y - border + dy,
                          width + 2 * u32(border), height + 2 * u32(border));
}

HeadRect translucentBoxToHeadInSize(const ProxyWindow* window, i32 x, i32 y, u32 width, u32 height, u32 windowWidth,
                                    u32 windowHeight, const Head* head) {
  HeadRect box{x, y, i32(width), i32(height)};
  if (!head->scaler || !window->parent || !width || !height) return box;
  setScalerFrame(head->scaler, window->x, window->y, std::max<u32>(windowWidth, 1), std::max<u32>(windowHeight, 1));
  scaleArea32(head->scaler, &box);
  return box;
}

HeadRect translucentBoxToHead(const ProxyWindow* window, i32 x, i32 y, u32 width, u32 height, const Head* head) {
  return translucentBoxToHeadInSize(window, x, y, width, height, window->width, window->height, head);
}

u32 windowOnHead(const ProxyWindow* window, const Head* head) {
  if (!window->parent) return u32(head->rootWindow);
  return translateXid(window->id, RT_WINDOW, head);
}

bool isKeyColor(const TranslucencyRecord* record, u32 pixel) {
  for (u32 k = 0; record && k < record->count; k++)
    if (record->colors[k] == pixel) return true;
  return false;
}

Region* translucentRegionToHead(const ProxyWindow* window, const Region* region, bool clip, const Head* head) {
  if (isResourceHead(head)) return nullptr;
  // A window's holders follow the whole window on every head, not only the
  // part the head shows: a CopyArea inside the window carries shape from
  // parts another head shows into the part this one does.
  Region* out = regionCreate(nullptr, 0);
  bool made = out && (window->parent ? regionCopy(out, region)
                                     : regionIntersectRect(out, region, head->logical.x, head->logical.y,
                                                           u32(head->logical.width), u32(head->logical.height)));
  if (!made) {
    regionDestroy(out);
    return nullptr;
  }
  if (clip && regionNotEmpty(out)) {
    bool clipped = window->clipShape ? regionIntersect(out, out, window->clipShape)
                                     : regionIntersectRect(out, out, 0, 0, window->width, window->height);
    if (!clipped) {
      regionDestroy(out);
      return nullptr;
    }
  }
  if (!regionNotEmpty(out)) {
    regionDestroy(out);
    return nullptr;
  }
  if (head->scaler && window->parent) {
    setScalerFrame(head->scaler, window->x, window->y, std::max<u32>(window->width, 1), std::max<u32>(window->height, 1));
    if (!scaleRegion(head->scaler, out)) {
      regionDestroy(out);
      return nullptr;
    }
  }
  if (!window->parent) {
    regionTranslate(out, -head->logical.x, -head->logical.y);
    if (!head->inWindow) regionTranslate(out, head->offsetX, head->offsetY);
  }
  return out;
}

void addChildrenToTranslucentShape(ServerLink* link, Head* head, u32 holder, ProxyWindow* window, i32 dx, i32 dy,
                                   const Region* region) {
  const TranslucencyDisplayRecord* display = translucencyDisplayOf(head);
  for (ProxyWindow* child = window->bottomChild; child; child = child->nextUpper) {
    if (!child->mapped) continue;
    i32 border = child->borderWidth;
    HeadRect inside = translucentBoxToHead(window, child->x - window->x, child->y - window->y, child->width,
                                           child->height, head);
    HeadRect outer = translucentBoxToHead(window, child->x - window->x - border, child->y - window->y - border,
                                          child->width + 2 * u32(border), child->height + 2 * u32(border), head);
    i32 x = inside.x + dx, y = inside.y + dy;
    if (!meetsRegion(region, outer.x + dx, outer.y + dy, u32(outer.width), u32(outer.height))) continue;
    // The outer box relative to the child's inside origin, on the head.
    i32 ox = outer.x - inside.x, oy = outer.y - inside.y;
    if (u32 childHolder = translucentHolder(child, head)) {
      writeShapeCombine(link, ShapeUnion, holder, x, y, childHolder);
    } else if (child->boundingShape && display && display->childScratch) {
      u32 scratch = u32(display->childScratch);
      writeShapeCombine(link, ShapeSet, scratch, 0, 0, windowOnHead(child, head));
      writeShapeBox(link, ShapeIntersect, scratch, ox, oy, u32(outer.width), u32(outer.height));
      writeShapeCombine(link, ShapeUnion, holder, x, y, scratch);
    } else {
      writeShapeCombine(link, ShapeUnion, holder, x, y, windowOnHead(child, head));
    }
  }
}

void applyTranslucentShape(ServerLink* link, Head* head, ProxyWindow* window, const Region* region,
                           bool keepBackground) {
  u32 holder = translucentHolder(window, head);
  if (!link || !holder) return;
  u32 selecting = 0;
  const EventSelection* only = onlySelection(window, &selecting);
  bool ownMask = only && only->client == link->client;
  if (ownMask) {
    writeEventMask(link, head, window, only, false);
  } else if (selecting) {
    writeGrabServer(link);
    moveMarker(link, head, suppressionMarker(window->id));
  }
  if (!keepBackground) {
    for (ProxyWindow* w = window; w; w = w->parent)
      if (hidesBackground(w)) setBackgroundNone(link, head, w);
  }
  writeShapeCombine(link, ShapeSet, windowOnHead(window, head), 0, 0, holder);
  updateTranslucentAncestors(link, head, window, region);
  if (!keepBackground) {
    for (ProxyWindow* w = window; w; w = w->parent)
      if (hidesBackground(w)) restoreBackground(link, head, w);
  }
  if (ownMask) {
    writeEventMask(link, head, window, only, true);
  } else if (selecting) {
    moveMarker(link, head, {1, 0, 4096, 4096});
    xprotoUngrabServer(&link->writer);
  }
}

void fillTranslucentArea(ServerLink* link, Head* head, ProxyWindow* window, const Region* region, u32 pixel) {
  u32 holder = translucentHolder(window, head);
  if (!holder) return;
  const TranslucencyRecord* record = window->translucency;
  if (!record->count || isKeyColor(record, pixel)) {
    u8 ordering = head->scaler ? Unsorted : YXBanded;
    writeShapeRectangles(link, ShapeSubtract, holder, 0, 0, region, ordering);
    addChildrenToTranslucentShape(link, head, holder, window, 0, 0, region);
  } else {
    writeShapeRectangles(link, ShapeUnion, holder, 0, 0, region, YXBanded);
  }
  applyTranslucentShape(link, head, window, region, false);
}

}  // namespace palvon

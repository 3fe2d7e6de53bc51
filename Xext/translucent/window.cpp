// Translucent windows that move or change size: their holders follow at
// once, and the areas whose pixels must be evaluated again are repainted
// once the ConfigureWindow has gone to every head.
#include <X11/X.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Xext/translucent/internal.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

// A repaint waiting for the end of the ConfigureWindow. The window is kept
// by id: the request may have destroyed nothing, but a later one might
// before the queue runs.
struct PendingTranslucentRepaint {
  PendingTranslucentRepaint* next;
  ProxyClient* client;
  u32 window;
  Region* region;  // owned; window coordinates
  bool exposures;
};

PendingTranslucentRepaint* repaintHead;
PendingTranslucentRepaint* repaintTail;

// The region (window coordinates) made opaque in the window's holders on
// every head and applied.
void uniteOnHeads(ProxyClient* client, ProxyWindow* window, const Region* region) {
  MetaScreen* screen = window->screen;
  for (Head* head = screen ? screen->heads : nullptr; head; head = head->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    u32 holder = translucentHolder(window, head);
    Region* onHead = link && holder ? translucentRegionToHead(window, region, false, head) : nullptr;
    if (!onHead) continue;
    writeShapeRectangles(link, ShapeUnion, holder, 0, 0, onHead, YXBanded);
    applyTranslucentShape(link, head, window, onHead, false);
    regionDestroy(onHead);
  }
}

// The holder's shape applied over the whole window.
void applyWholeWindow(ServerLink* link, Head* head, ProxyWindow* window) {
  Region* box = regionCreateRect(0, 0, window->width, window->height);
  Region* onHead = box ? translucentRegionToHead(window, box, false, head) : nullptr;
  if (onHead) applyTranslucentShape(link, head, window, onHead, false);
  regionDestroy(onHead);
  regionDestroy(box);
}

// The translucent inferiors of a window that shrank keep only what shows
// of them inside their ancestors (up to the window) at the new size.
void clipInferiors(ProxyClient* client, ProxyWindow* window) {
  for (ProxyWindow* w = nextWindowPreorder(window, window); w; w = nextWindowPreorder(w, window)) {
    if (!w->translucency) continue;
    i32 border = w->borderWidth;
    i32 x1 = -border, y1 = -border, x2 = i32(w->width) + border, y2 = i32(w->height) + border;
    for (ProxyWindow* a = w->parent; a; a = a->parent) {
      x1 = std::max(x1, a->x - w->x), y1 = std::max(y1, a->y - w->y);
      x2 = std::min(x2, a->x - w->x + i32(a->width)), y2 = std::min(y2, a->y - w->y + i32(a->height));
      if (a == window) break;
    }
    MetaScreen* screen = w->screen;
    for (Head* head = screen ? screen->heads : nullptr; head; head = head->next) {
      ServerLink* link = clientLink(client, head->serverIndex);
      u32 holder = translucentHolder(w, head);
      if (!link || !holder) continue;
      HeadRect kept = translucentBoxToHead(w, x1, y1, u32(std::max(x2 - x1, 0)), u32(std::max(y2 - y1, 0)), head);
      writeShapeBox(link, ShapeIntersect, holder, kept.x, kept.y, u32(kept.width), u32(kept.height));
      applyWholeWindow(link, head, w);
    }
  }
}

}  // namespace

void queueTranslucentRepaint(ProxyClient* client, ProxyWindow* window, Region* region, bool exposures) {
  auto* entry = static_cast<PendingTranslucentRepaint*>(std::calloc(1, sizeof(PendingTranslucentRepaint)));
  if (!entry) {
    regionDestroy(region);
    return (void)PALVON_OOM();
  }
  *entry = {nullptr, client, window->id, region, exposures};
  if (repaintTail) repaintTail->next = entry;
  else repaintHead = entry;
  repaintTail = entry;
}

void runTranslucentRepaints(ProxyClient*) {
  PendingTranslucentRepaint* entry = repaintHead;
  repaintHead = repaintTail = nullptr;
  while (entry) {
    PendingTranslucentRepaint* next = entry->next;
    ProxyWindow* window = lookupWindow(entry->window);
    if (window && window->translucency && !entry->client->stopped)
      repaintTranslucency(entry->client, window, entry->region, false, entry->exposures);
    regionDestroy(entry->region);
    std::free(entry);
    entry = next;
  }
}

void translucentResize(ProxyClient* client, ProxyWindow* window, u32 oldWidth, u32 oldHeight) {
  u32 width = window->width, height = window->height;
  if (width == oldWidth && height == oldHeight) return;
  ProxyWindow* parent = window->parent;
  if (parent && selfRepainting(parent)) {
    if (Region* area = translucentOuterBox(window, parent, 0, 0, std::max(width, oldWidth), std::max(height, oldHeight)))
      queueTranslucentRepaint(client, parent, area, false);
  }
  TranslucencyRecord* record = window->translucency;
  if (!record) return;
  if (width < oldWidth || height < oldHeight) clipInferiors(client, window);
  u8 gravity = window->bitGravity;
  if (gravity > kGravityStatic) PALVON_UNE();
  // Contents kept at the top left keep their opacity there: only the new
  // strips are opaque until evaluated. Other gravities repaint it all.
  bool keeps = gravity == kGravityNorthWest || gravity == kGravityStatic;
  Region* fresh = regionCreateRect(0, 0, width, height);
  if (!fresh) return (void)PALVON_OOM();
  if (keeps && !regionSubtractRect(fresh, fresh, 0, 0, oldWidth, oldHeight)) {
    regionDestroy(fresh);
    return (void)PALVON_OOM();
  }
  i32 border = window->borderWidth;
  MetaScreen* screen = window->screen;
  for (Head* head = screen ? screen->heads : nullptr; head; head = head->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    u32 holder = translucentHolder(window, head);
    if (!link || !holder) continue;
    HeadRect outer = translucentBoxToHead(window, -border, -border, width + 2 * u32(border), height + 2 * u32(border),
                                          head);
    if (keeps) {
      // The kept contents stay at the window's top left, which a turned
      // head places by the window's size: the holes move with it there.
      HeadRect before = translucentBoxToHeadInSize(window, 0, 0, 1, 1, oldWidth, oldHeight, head);
      HeadRect after = translucentBoxToHead(window, 0, 0, 1, 1, head);
      if (before.x != after.x || before.y != after.y) writeShapeOffset(link, holder, after.x - before.x, after.y - before.y);
      writeShapeBox(link, ShapeIntersect, holder, outer.x, outer.y, u32(outer.width), u32(outer.height));
      if (Region* strips = regionNotEmpty(fresh) ? translucentRegionToHead(window, fresh, false, head) : nullptr) {
        writeShapeRectangles(link, ShapeUnion, holder, 0, 0, strips, YXBanded);
        regionDestroy(strips);
      }
    } else {
      writeShapeBox(link, ShapeSet, holder, outer.x, outer.y, u32(outer.width), u32(outer.height));
    }
    applyWholeWindow(link, head, window);
  }
  if (record->count && regionNotEmpty(fresh)) queueTranslucentRepaint(client, window, fresh, true);
  else regionDestroy(fresh);
}

void translucentMove(ProxyClient* client, ProxyWindow* window, i32 dx, i32 dy) {
  if (!dx && !dy) return;
  ProxyWindow* parent = window->parent;
  if (parent && selfRepainting(parent) && window->viewable) {
    Region* area = translucentOuterBox(window, parent, 0, 0, window->width, window->height);
    Region* before = translucentOuterBox(window, parent, -dx, -dy, window->width, window->height);
    if (area && before && regionUnion(area, area, before)) {
      uniteOnHeads(client, parent, area);
      queueTranslucentRepaint(client, parent, area, false);
      area = nullptr;
    }
    regionDestroy(area);
    regionDestroy(before);
  }
  // The window's own holders need nothing: they follow the whole window on
  // every head, so the parts a move brings onto a head are already right.
}

}  // namespace palvon

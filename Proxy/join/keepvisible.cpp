#include "Proxy/join/keepvisible.h"

#include <X11/X.h>

#include <algorithm>

#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/input/pointer.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

namespace {

constexpr u32 kHintsPPosition = 4;
constexpr u32 kHintsPSize = 8;
constexpr u16 kConfigureXY = CWX | CWY;

// Heads that show nothing to a user leave their part uncovered: a head
// without a server, the auxiliary resource server's, and an iconified
// in-window head.
bool headCovers(const Head* head) {
  if (!head->serverDisplay || head->serverDisplay == resourceServerDisplay) return false;
  if (head->inWindow && headIconified(head)) return false;
  return head->logical.width > 0 && head->logical.height > 0;
}

bool isTopLevel(const ProxyWindow* window) { return window->parent && !window->parent->parent; }

bool isScreenSized(const ProxyWindow* window) {
  const MetaScreen* screen = window->screen;
  return screen && window->width == screen->width && window->height == screen->height;
}

// The children of the root, and those of screen-sized (desktop) windows
// below it; the walk is iterative, so nested desktops cannot exhaust the
// stack.
int checkShownWindow(ProxyWindow* window, void*) {
  if (!window->parent) return 0;
  if (!window->shown) return 1;
  if (isScreenSized(window)) return 0;
  keepWindowVisible(window, nullptr);
  return 1;
}

// Replaces the screen's uncovered region; false when memory ran out.
bool computeCoverage(MetaScreen* screen) {
  Region covered;
  regionInit(&covered, nullptr, 0);
  for (Head* head = screen->heads; head; head = head->next) {
    if (!headCovers(head)) continue;
    const HeadRect& r = head->logical;
    regionUnionRect(&covered, &covered, r.x, r.y, u32(r.width), u32(r.height));
  }
  bool ok = !regionBroken(&covered);
  if (!screen->uncoveredRegion) screen->uncoveredRegion = regionCreate(nullptr, 0);
  Region* uncovered = screen->uncoveredRegion;
  if (!uncovered) ok = false;
  if (ok && regionNotEmpty(&covered)) {
    const RegionBox* e = regionExtents(&covered);
    HeadRect visible{e->x1, e->y1, e->x2 - e->x1, e->y2 - e->y1};
    if (screen->keepVisible < 0) {
      i32 grow = -screen->keepVisible;
      visible = {visible.x - grow, visible.y - grow, visible.width + 2 * grow, visible.height + 2 * grow};
    }
    screen->keepVisibleRect = visible;
    regionResetRect(uncovered, 0, 0, screen->width, screen->height);
    ok = regionSubtract(uncovered, uncovered, &covered);
  } else if (ok) {
    screen->keepVisibleRect = {};
    regionEmpty(uncovered);
  }
  regionUninit(&covered);
  return ok;
}

}  // namespace

void recalcKeepWindowsVisible(MetaScreen* screen) {
  screen->keepVisibleActive = 0;
  // Switched off, nothing is judged: an old region must not move windows.
  if (screen->uncoveredRegion) regionEmpty(screen->uncoveredRegion);
  if (!screen->keepVisible || !screen->width || !screen->height) return;
  logStepf("Recalc keeping windows visible on screen %u ...", screen->number);
  if (!computeCoverage(screen)) {
    // Without the region nothing can be judged: windows stay where they are.
    if (screen->uncoveredRegion) regionEmpty(screen->uncoveredRegion);
    PALVON_OOM();
    return;
  }
  if (!regionNotEmpty(screen->uncoveredRegion)) return;
  screen->keepVisibleActive = 1;
  if (screen->rootWindow) traverseWindowTree(screen->rootWindow, checkShownWindow, nullptr);
}

void keepRectVisible(Rect* rect, const MetaScreen* screen) {
  const Region* uncovered = screen->uncoveredRegion;
  if (!uncovered || !regionNotEmpty(uncovered)) return;
  Region part;
  regionInit(&part, nullptr, 0);
  regionIntersectRect(&part, uncovered, rect->x, rect->y, rect->width, rect->height);
  bool inside = !regionNotEmpty(&part);
  const RegionBox extents = *regionExtents(&part);
  regionUninit(&part);
  if (inside) return;
  i64 v = screen->keepVisible;
  const HeadRect& visible = screen->keepVisibleRect;
  i64 x = visible.x, y = visible.y, width = visible.width, height = visible.height;
  if (v < 1) {
    if (extents.x2 - extents.x1 <= -v && extents.y2 - extents.y1 <= -v) return;
  } else {
    // Grown by all of the window but v pixels: v of it stay inside.
    i64 growX = i64(rect->width) - v, growY = i64(rect->height) - v;
    if (growX > 0 && growY > 0) x -= growX, y -= growY, width += 2 * growX, height += 2 * growY;
  }
  auto clamp32 = [](i64 n) { return u32(std::clamp<i64>(n, 0, 0xffffffff)); };
  Rect bounds{i32(std::clamp<i64>(x, INT32_MIN / 2, INT32_MAX / 2)),
              i32(std::clamp<i64>(y, INT32_MIN / 2, INT32_MAX / 2)), clamp32(width), clamp32(height)};
  Rect moved;
  rectClampToBounds(&moved, *rect, bounds);
  rect->x = moved.x;
  rect->y = moved.y;
}

int isKeepVisibleExempt(const ProxyWindow* window) {
  for (; window; window = window->parent) {
    if (window->noKeepVisible) return 1;
  }
  return 0;
}

void keepWindowVisible(ProxyWindow* window, ProxyClient* client) {
  if (!window->screen || isKeepVisibleExempt(window)) return;
  // The outer box: the border shows as much as the inside.
  i32 border = window->borderWidth;
  Rect box{window->x - border, window->y - border, u32(window->width) + 2 * border,
           u32(window->height) + 2 * border};
  Rect before = box;
  keepRectVisible(&box, window->screen);
  if (box.x == before.x && box.y == before.y) return;
  moveClientWindow(client, window, box.x + border, box.y + border);
}

void keepNewTopLevelVisible(ProxyWindow* window, ProxyClient* client) {
  const MetaScreen* screen = window->screen;
  if (!screen || !screen->keepVisibleActive || !isTopLevel(window) || !window->viewable) return;
  if (isScreenSized(window)) return;
  keepWindowVisible(window, client);
}

void adjustSizeHintsPosition(const ProxyWindow* window, u8* hints) {
  u32 flags = get32(hints);
  const MetaScreen* screen = window->screen;
  if (!(flags & kHintsPPosition) || !screen || !screen->keepVisibleActive) return;
  if (!isTopLevel(window) || window->windowClass != kInputOutput || !window->mapped) return;
  if (isKeepVisibleExempt(window)) return;
  Rect rect{i32(get32(hints + 4)), i32(get32(hints + 8)), window->width, window->height};
  if (flags & kHintsPSize) rect.width = get32(hints + 12), rect.height = get32(hints + 16);
  Rect before = rect;
  keepRectVisible(&rect, screen);
  if (rect.x != before.x) put32(hints + 4, u32(rect.x));
  if (rect.y != before.y) put32(hints + 8, u32(rect.y));
}

void adjustConfigureRequestPosition(u8* event) {
  u16 mask = get16(event + 26);
  if (!(mask & kConfigureXY)) return;
  const ProxyWindow* window = lookupWindow(get32(event + 8));
  if (!window || !window->screen || !window->screen->keepVisibleActive) return;
  if (!isTopLevel(window) || window->windowClass != kInputOutput || !window->mapped) return;
  if (isKeepVisibleExempt(window)) return;
  Rect rect{i16(get16(event + 16)), i16(get16(event + 18)), get16(event + 20), get16(event + 22)};
  Rect before = rect;
  keepRectVisible(&rect, window->screen);
  // A coordinate the client left out carries the window's own; once moved
  // it is asked for too, or the window manager would keep the old one.
  if (rect.x != before.x) {
    put16(event + 16, u16(std::clamp<i32>(rect.x, INT16_MIN, INT16_MAX)));
    mask |= CWX;
  }
  if (rect.y != before.y) {
    put16(event + 18, u16(std::clamp<i32>(rect.y, INT16_MIN, INT16_MAX)));
    mask |= CWY;
  }
  put16(event + 26, mask);
}

}  // namespace palvon

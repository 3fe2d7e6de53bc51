// Window records: creation, linking, stacking, walks, destruction and the
// per-head entries.
#include "Proxy/events/grabs.h"
#include "Proxy/heads/readback.h"
#include "Proxy/join/translucency.h"
#include "Proxy/resources/window.h"

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/links/pool.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"

namespace palvon {

namespace {

// The deepest window below `window` reached through top children.
ProxyWindow* deepestTopDescendant(ProxyWindow* window) {
  while (window->topChild) window = window->topChild;
  return window;
}

// Records of destroyed windows kept for new ones: programs make and
// destroy windows by the hundred (a toolkit's widgets, a menu's items).
BlockPool<sizeof(ProxyWindow), 4096>& recordPool() {
  static BlockPool<sizeof(ProxyWindow), 4096> pool;
  return pool;
}

// Every mark, and spare records for the next ones: a validation marks and
// frees dozens of windows, which would otherwise each cost an allocation.
WindowSavedPosition* markedList;
WindowSavedPosition* spareMarks;
u32 spareMarkCount;
constexpr u32 kSpareMarks = 1024;

}  // namespace

void dropSavedPosition(ProxyWindow* window) {
  WindowSavedPosition* saved = window->savedBuffer;
  if (!saved) return;
  window->savedBuffer = nullptr;
  regionDestroy(saved->region);
  saved->region = nullptr;
  if (saved->previousMarked) saved->previousMarked->nextMarked = saved->nextMarked;
  else markedList = saved->nextMarked;
  if (saved->nextMarked) saved->nextMarked->previousMarked = saved->previousMarked;
  if (spareMarkCount == kSpareMarks) {
    std::free(saved);
    return;
  }
  saved->nextMarked = spareMarks;
  spareMarks = saved;
  spareMarkCount++;
}

bool saveWindowPosition(ProxyWindow* window) {
  if (window->savedBuffer) return true;
  WindowSavedPosition* saved = spareMarks;
  if (saved) {
    spareMarks = saved->nextMarked;
    spareMarkCount--;
  } else if (!(saved = static_cast<WindowSavedPosition*>(std::malloc(sizeof(WindowSavedPosition))))) {
    PALVON_OOM();
    return false;
  }
  *saved = {window->x, window->y, nullptr, 0, window, markedList, nullptr};
  if (markedList) markedList->previousMarked = saved;
  markedList = saved;
  window->savedBuffer = saved;
  return true;
}

namespace {

// Frees the record and everything it still owns or references. Layers that
// take over a part (the attribute block, the tiles) clear its field first.
void freeWindowRecord(ProxyWindow* window) {
  unrefPixmap(window->borderPixmap, 0);
  unrefPixmap(window->backgroundPixmap, 0);
  unrefCursor(window->cursor);
  window->borderPixmap = window->backgroundPixmap = nullptr;
  window->cursor = nullptr;
  if (window->translucency) freeTranslucencyRecord(window);
  if (window->tiles) freeBackgroundTile(nullptr, window, nullptr);
  while (BackgroundTile* tile = window->tiles) {
    window->tiles = tile->next;
    std::free(tile);
  }
  while (EventSelection* selection = window->selections) {
    window->selections = selection->next;
    std::free(selection);
  }
  releaseWindowAttributes(window->attributes);
  dropSavedPosition(window);
  regionUninit(&window->clipList);
  regionUninit(&window->borderList);
  regionUninit(&window->insideRegion);
  regionUninit(&window->borderRegion);
  regionDestroy(window->clipShape);
  regionDestroy(window->boundingShape);
  regionDestroy(window->inputShape);
  recordPool().give(window);
}

// A descendant going with its destroyed ancestor: its other resources under
// the same id go, then grabs and focus let go of it, then the record.
void destroyDescendant(ProxyWindow* window) {
  freeResourceById(window->id, RT_WINDOW);
  window->shown = 0;
  if (window->viewable) {
    window->viewable = 0;
    endGrabsOnDestroyedWindow(window);
  }
  destroyWindowAttributes(window);
  freeWindowRecord(window);
}

}  // namespace

// --- Records ---------------------------------------------------------------------

ProxyWindow* allocProxyWindow() {
  void* block = recordPool().take();
  if (!block) return nullptr;
  auto* window = static_cast<ProxyWindow*>(std::memset(block, 0, sizeof(ProxyWindow)));
  window->attributes = allocWindowAttributes();
  if (!window->attributes) {
    recordPool().give(window);
    return nullptr;
  }
  window->backingPlanes = 0xffffffffu;
  regionInit(&window->clipList, nullptr, 0);
  regionInit(&window->borderList, nullptr, 0);
  regionInit(&window->insideRegion, nullptr, 0);
  regionInit(&window->borderRegion, nullptr, 0);
  return window;
}

void initWindowDefaults(ProxyWindow* window) {
  window->topChild = window->bottomChild = nullptr;
  window->nextLower = window->nextUpper = nullptr;
  window->savedBuffer = nullptr;
  window->mapped = window->viewable = window->shown = 0;
  window->visibility = kVisibilityUnknown;
  window->overrideRedirect = 0;
  window->bitGravity = kGravityUnmap;
  window->windowGravity = kGravityNorthWest;
  if (ProxyWindow* parent = window->parent) {
    window->borderPixmap = parent->borderPixmap;
    refPixmap(window->borderPixmap, window->id);
    window->borderPixel = parent->borderPixel;
  } else {
    window->borderPixmap = nullptr;
    window->borderPixel = window->screen ? u32(window->screen->blackPixel) : 0;
  }
}

ProxyWindow* createProxyWindow(u32 id, ProxyWindow* parent, i16 x, i16 y, u16 width, u16 height, u16 borderWidth,
                               u8 windowClass, u8 depth) {
  if (!parent) return nullptr;
  if (windowClass == 0) windowClass = parent->windowClass;
  if (depth == 0 && windowClass == kInputOutput) depth = parent->depth;
  ProxyWindow* window = allocProxyWindow();
  if (!window) return nullptr;
  window->id = id;
  window->parent = parent;
  window->screen = parent->screen;
  window->windowClass = windowClass;
  window->depth = depth;
  initWindowDefaults(window);
  window->backgroundKind = 0;
  window->borderWidth = borderWidth;
  window->relativeX = i32(x) + borderWidth;
  window->relativeY = i32(y) + borderWidth;
  window->x = i16(parent->x + window->relativeX);
  window->y = i16(parent->y + window->relativeY);
  window->width = width;
  window->height = height;
  window->owner = currentClient;
  linkAsTopChild(window);
  computeWindowClip(window);
  computeBorderClip(window);
  noteWindowGeometry(window);
  return window;
}

void destroyWindowRecord(ProxyWindow* window) {
  if (!window) return;
  unmapWindowRecord(window, 1);
  // Post-order without recursion: each window's children (top first, each
  // subtree deepest first) go before it.
  ProxyWindow* current = window->topChild ? deepestTopDescendant(window->topChild) : nullptr;
  while (current && current != window) {
    ProxyWindow* next = current->nextLower ? deepestTopDescendant(current->nextLower) : current->parent;
    destroyDescendant(current);
    current = next;
  }
  window->topChild = window->bottomChild = nullptr;
  destroyWindowAttributes(window);
  unlinkWindow(window);
  freeWindowRecord(window);
}

// --- Stacking -----------------------------------------------------------------------

void unlinkWindow(ProxyWindow* window) {
  ProxyWindow* parent = window->parent;
  if (!parent) return;
  if (window->nextUpper) {
    window->nextUpper->nextLower = window->nextLower;
  } else if (parent->topChild == window) {
    parent->topChild = window->nextLower;
  }
  if (window->nextLower) {
    window->nextLower->nextUpper = window->nextUpper;
  } else if (parent->bottomChild == window) {
    parent->bottomChild = window->nextUpper;
  }
  window->nextUpper = window->nextLower = nullptr;
}

void linkAsTopChild(ProxyWindow* window) {
  ProxyWindow* parent = window->parent;
  window->nextUpper = nullptr;
  window->nextLower = parent->topChild;
  if (parent->topChild) {
    parent->topChild->nextUpper = window;
  } else {
    parent->bottomChild = window;
  }
  parent->topChild = window;
}

ProxyWindow* restackWindow(ProxyWindow* window, ProxyWindow* sibling) {
  ProxyWindow* parent = window->parent;
  if (!parent || sibling == window || (sibling && sibling->parent != parent)) return window;
  if (window->nextLower == sibling) return window;  // already directly above it
  bool movesUp = sibling && !isStackedAbove(window, sibling);
  ProxyWindow* formerLower = window->nextLower;
  unlinkWindow(window);
  if (!sibling) {
    window->nextUpper = parent->bottomChild;
    if (parent->bottomChild) {
      parent->bottomChild->nextLower = window;
    } else {
      parent->topChild = window;
    }
    parent->bottomChild = window;
  } else {
    window->nextLower = sibling;
    window->nextUpper = sibling->nextUpper;
    if (sibling->nextUpper) {
      sibling->nextUpper->nextLower = window;
    } else {
      parent->topChild = window;
    }
    sibling->nextUpper = window;
  }
  return movesUp ? window : formerLower;
}

int isStackedAbove(const ProxyWindow* a, const ProxyWindow* b) {
  if (!a->parent) return 1;
  for (const ProxyWindow* window = a->parent->topChild; window; window = window->nextLower) {
    if (window == b) return 0;
    if (window == a) return 1;
  }
  return 1;
}

ProxyWindow* getFirstChildWindow(const ProxyWindow* window) { return window->topChild; }

// --- Walks ---------------------------------------------------------------------------

int traverseWindowTree(ProxyWindow* window, WindowVisitor callback, void* argument) {
  if (!window) return 1;
  ProxyWindow* current = window;
  while (true) {
    int result = callback(current, argument);
    if (result == 2) return 2;
    if (result == 0 && current->topChild) {
      current = current->topChild;
      continue;
    }
    while (current != window && !current->nextLower) current = current->parent;
    if (current == window) return 1;
    current = current->nextLower;
  }
}

int matchWindowId(ProxyWindow* window, void* wantedId) { return window->id == *static_cast<u32*>(wantedId) ? 2 : 0; }

void freeWindowTreeBuffers(ProxyWindow* window) {
  for (WindowSavedPosition* saved = markedList; saved;) {
    WindowSavedPosition* next = saved->nextMarked;
    const ProxyWindow* inside = saved->window;
    while (inside && inside != window) inside = inside->parent;
    if (inside) dropSavedPosition(saved->window);
    saved = next;
  }
}

int hasOtherSelectingClient(const ProxyWindow* window, const ProxyClient* client) {
  for (const EventSelection* selection = window->selections; selection; selection = selection->next) {
    if (selection->client != client && (selection->eventMask & kSubstructureRedirectMask)) return 1;
  }
  return 0;
}

// --- Per-head entries ------------------------------------------------------------------

Head* getWindowFirstHead(const ProxyWindow* window) { return window->tiles ? window->tiles->head : nullptr; }

u32 getWindowHeadId(const ProxyWindow* window, const Head* head) {
  for (const BackgroundTile* tile = window->tiles; tile; tile = tile->next) {
    if (!head || tile->head == head) return tile->pixmap;
  }
  return 0;
}

u32 getWindowHeadFlag(const ProxyWindow* window, const Head* head) {
  for (const BackgroundTile* tile = window->tiles; tile; tile = tile->next) {
    if (tile->head == head) return tile->depth;
  }
  return 0;
}

}  // namespace palvon

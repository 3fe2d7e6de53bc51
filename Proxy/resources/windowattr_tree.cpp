// Save-sets, reparenting in the model, the meta screen's root record, the
// owner of a window and the head's colormap-windows list.
#include <X11/Xatom.h>

#include <cstdlib>
#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/heads/readback.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/screen.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"

namespace palvon {

namespace {

i32 findInSaveSet(const ProxyClient* client, const ProxyWindow* window) {
  for (i32 k = 0; k < client->saveSetCount; k++) {
    if (client->saveSet[k] == window) return k;
  }
  return -1;
}

bool ownedBy(const ProxyWindow* window, const ProxyClient* client) {
  return window->parent && windowOwnerNumber(window) == client->number;
}

// The first shown window of the screen (pre-order) whose colormap it is.
ProxyWindow* firstWindowWithColormap(ProxyWindow* root, u32 colormap) {
  for (ProxyWindow* window = root; window; window = nextWindowPreorder(window, root)) {
    if (window->shown && window->colormap == colormap) return window;
  }
  return nullptr;
}

}  // namespace

// --- Save-sets ---------------------------------------------------------------------------

int changeSaveSet(ProxyClient* client, ProxyWindow* window, u8 mode) {
  i32 at = findInSaveSet(client, window);
  if (mode == kSaveSetInsert) {
    if (at >= 0) return 0;
    auto* grown = static_cast<ProxyWindow**>(
        std::realloc(client->saveSet, sizeof(ProxyWindow*) * (u32(client->saveSetCount) + 1)));
    if (!grown) return BadAlloc;
    client->saveSet = grown;
    client->saveSet[client->saveSetCount++] = window;
    return 0;
  }
  if (at < 0) return 0;
  for (i32 k = at + 1; k < client->saveSetCount; k++) client->saveSet[k - 1] = client->saveSet[k];
  if (--client->saveSetCount == 0) {
    std::free(client->saveSet);
    client->saveSet = nullptr;
  }
  return 0;
}

void removeFromAllSaveSets(ProxyWindow* window) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    if (client->saveSetCount) changeSaveSet(client, window, kSaveSetDelete);
  }
}

void processSaveSet(ProxyClient* client) {
  ProxyWindow** saved = client->saveSet;
  i32 count = client->saveSetCount;
  client->saveSet = nullptr;
  client->saveSetCount = 0;
  for (i32 k = 0; k < count; k++) {
    ProxyWindow* window = saved[k];
    ProxyWindow* parent = window->parent;
    while (parent && ownedBy(parent, client)) parent = parent->parent;
    if (!parent) continue;
    if (parent != window->parent) {
      // The same place on the screen inside the other client's window.
      reparentWindowRecord(window, parent, window->x - window->borderWidth - parent->x,
                           window->y - window->borderWidth - parent->y, client);
      if (!window->viewable && window->mapped) window->mapped = 0;
    }
    mapWindowRecord(window, client);
  }
  std::free(saved);
}

// --- Tree ------------------------------------------------------------------------------

int reparentWindowRecord(ProxyWindow* window, ProxyWindow* parent, i32 x, i32 y, ProxyClient* client) {
  if (!window->parent || parent->screen != window->screen) return BadMatch;
  if (parent->windowClass == kInputOnly && window->windowClass != kInputOnly) return BadMatch;
  if (window->backgroundKind == kBackgroundParentRelative && window->depth != parent->depth) return BadMatch;
  for (const ProxyWindow* ancestor = parent; ancestor; ancestor = ancestor->parent) {
    if (ancestor == window) return BadMatch;
  }
  bool wasMapped = window->mapped;
  if (wasMapped) unmapWindowRecord(window, 0);
  unlinkWindow(window);
  window->parent = parent;
  linkAsTopChild(window);
  window->relativeX = x + window->borderWidth;
  window->relativeY = y + window->borderWidth;
  window->x = i16(parent->x + window->relativeX);
  window->y = i16(parent->y + window->relativeY);
  computeWindowClip(window);
  computeBorderClip(window);
  moveChildrenByGravity(window, 0, 0, 0, 0);
  noteWindowGeometry(window);
  if (window->attributes) window->attributes->parentId = parent->id;
  if (wasMapped) mapWindowRecord(window, client);
  return 0;
}

bool createRootWindowRecord(MetaScreen* screen, u32 rootId, VisualRecord* visual) {
  ProxyWindow* root = allocProxyWindow();
  if (!root) return false;
  root->id = rootId;
  root->screen = screen;
  root->windowClass = kInputOutput;
  root->visual = visual ? visual : screen->rootVisual;
  root->depth = root->visual ? root->visual->depth : 0;
  root->width = u16(screen->width);
  root->height = u16(screen->height);
  initWindowDefaults(root);
  root->backgroundKind = kBackgroundPixmap;
  root->colormap = screen->defaultColormap;
  for (Region* region : {&root->insideRegion, &root->borderRegion, &root->clipList, &root->borderList})
    regionResetRect(region, 0, 0, screen->width, screen->height);
  initWindowAttributes(root);
  if (!addResource(rootId, RT_WINDOW, root)) return false;
  screen->rootId = rootId;
  screen->rootWindow = root;
  mapWindowRecord(root, nullptr);
  root->visibility = kVisibilityUnobscured;
  return true;
}

void resizeRootWindow(ProxyWindow* root, u32 width, u32 height) {
  resizeWindowRecord(root, width, height);
  if (root->attributes) {
    root->attributes->width = u16(width);
    root->attributes->height = u16(height);
  }
}

u32 windowOwnerNumber(const ProxyWindow* window) {
  if (!window->parent) return 0;
  u32 shift = proxyState.resourceIdShift;
  return shift >= 32 ? 0 : window->id >> shift;
}

ProxyWindow* findNextMappedWindowInSubtree(ProxyWindow* window) {
  if (!window->parent) return nullptr;
  u32 owner = windowOwnerNumber(window);
  for (ProxyWindow* each = nextWindowPreorder(window, window); each; each = nextWindowPreorder(each, window)) {
    if (each->mapped && windowOwnerNumber(each) != owner && !each->overrideRedirect &&
        !hasOtherSelectingClient(each->parent, window->owner))
      return each;
  }
  return nullptr;
}

ProxyWindow* findManagedWindow(ProxyWindow* window) { return findNextMappedWindowInSubtree(window); }

const char* setHeadColormapWindows(Head* head, const u32* colormaps, u32 count) {
  Display* display = head->display;
  MetaScreen* screen = head->metaScreen;
  if (!display || !head->window || !screen) return nullptr;
  Atom property = XfsInternAtom(display, "WM_COLORMAP_WINDOWS", False);
  if (!property) return nullptr;
  if (count == 0 || (count == 1 && colormaps[0] == screen->defaultColormap)) {
    XfsDeleteProperty(display, head->window, property);
    XfsFlush(display);
    return nullptr;
  }
  auto* ids = static_cast<unsigned long*>(std::calloc(count, sizeof(unsigned long)));
  if (!ids) return PALVON_OOM();
  int used = 0;
  for (u32 k = count; k-- > 0;) {
    ProxyWindow* window = firstWindowWithColormap(screen->rootWindow, colormaps[k]);
    if (!window) continue;
    ids[used++] = window->parent ? translateXid(window->id, RT_WINDOW, head) : head->window;
  }
  if (used) {
    XfsChangeProperty(display, head->window, property, XA_WINDOW, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(ids), used);
  } else {
    XfsDeleteProperty(display, head->window, property);
  }
  std::free(ids);
  XfsFlush(display);
  return nullptr;
}

}  // namespace palvon

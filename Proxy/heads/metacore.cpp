// META events, window layers and sticking windows (see metacore.h).
#include "Proxy/heads/metacore.h"

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/links/pending.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/window.h"
#include "base/rect.h"

namespace palvon {

namespace {

constexpr const char* kScreenEventLayout = "bbsssi";
constexpr const char* kHeadEventLayout = "bbsissiiissi";

const ExtensionEntry* metaEntry() {
  return static_cast<const ExtensionEntry*>(proxyState.extensions.moduleState[kModuleMeta]);
}

// The event, stamped with each selecting client's own sequence.
void sendToSelecting(u8* event, const char* layout, u8 bit) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    if (client->stopped || !(client->metaEvents & bit)) continue;
    put16(event + 2, u16(client->requestCounter));
    sendComposedEvent(event, layout, client);
  }
}

}  // namespace

void sendMetaScreenEvent(Head* head, MetaScreen* screen, u32 kind, u32 mask) {
  const ExtensionEntry* entry = metaEntry();
  if (!entry || !entry->firstEvent || !head) return;
  u8 event[32] = {};
  event[0] = u8(entry->firstEvent + 1);
  event[1] = u8(kind);
  put32(event + 4, head->id);
  put16(event + 8, screen ? u16(screen->number) : 0);
  put32(event + 12, mask);
  put32(event + 16, u32(head->logical.x));
  put32(event + 20, u32(head->logical.y));
  put16(event + 24, u16(head->clip.x));
  put16(event + 26, u16(head->clip.y));
  put32(event + 28, head->tags);
  sendToSelecting(event, kHeadEventLayout, kMetaSelectHead);
}

void sendMetaScreenChangeEvent(MetaScreen* screen, u32 detail, u32 mask) {
  const ExtensionEntry* entry = metaEntry();
  if (!entry || !entry->firstEvent || !screen) return;
  u8 event[32] = {};
  event[0] = entry->firstEvent;
  event[1] = u8(detail);
  put16(event + 4, u16(screen->number));
  put32(event + 8, mask);
  sendToSelecting(event, kScreenEventLayout, kMetaSelectScreen);
}

// --- Layers ------------------------------------------------------------------------

bool findLayerPlace(const ProxyWindow* window, ProxyWindow** above) {
  std::int8_t layer = window->layer;
  ProxyWindow* upper = window->nextUpper;
  if (upper && upper->layer < layer) {
    // Up past every sibling of a lower layer: directly above the last one.
    ProxyWindow* last = upper;
    for (ProxyWindow* s = upper; s && layer > s->layer; s = s->nextUpper) last = s;
    *above = last;
    return true;
  }
  ProxyWindow* lower = window->nextLower;
  if (lower && lower->layer > layer) {
    // Down past every sibling of a higher layer: directly above the first
    // one that is not, or to the bottom.
    ProxyWindow* s = lower;
    while (s && layer < s->layer) s = s->nextLower;
    *above = s;
    return true;
  }
  return false;
}

void placeWindowByLayer(ProxyWindow* window) {
  if (!window || !window->parent) return;
  ProxyWindow* above = nullptr;
  if (findLayerPlace(window, &above)) restackWindowOnHeads(window, above);
}

// --- Sticking windows -----------------------------------------------------------------

namespace {

bool holdsStickingWindowIn(const ProxyWindow* window, const Rect& area) {
  if (!window->viewable) return false;
  if (window->sticking) {
    Rect w{window->x, window->y, window->width, window->height}, both;
    rectIntersect(&both, w, area);
    if (both.width && both.height) return true;
  }
  for (const ProxyWindow* child = window->topChild; child; child = child->nextLower) {
    if (holdsStickingWindowIn(child, area)) return true;
  }
  return false;
}

}  // namespace

void shiftHeadFollowers(MetaScreen* screen, Head* head, i32 dx, i32 dy) {
  ProxyWindow* root = screen ? screen->rootWindow : nullptr;
  if (!root || (dx == 0 && dy == 0)) return;
  // Where the head stood before the move: the windows that stood on it.
  Rect before{head->logical.x - dx, head->logical.y - dy, u32(std::max(head->logical.width, 0)),
              u32(std::max(head->logical.height, 0))};
  for (ProxyWindow* top = root->topChild; top; top = top->nextLower) {
    if (!holdsStickingWindowIn(top, before)) continue;
    moveClientWindow(currentClient, top, top->x + dx, top->y + dy);
  }
}

}  // namespace palvon

// Ids of the resource database: the proxy's own ids inside a client's space,
// free id ranges, and the translation between a client's ids and the ids its
// objects carry on each real server.
//
// A client has one connection to every server, and each connection got its
// own id base B from its server. The proxy's client-local part of an id
// (id & mask) is placed above the head bits of the server's id mask, and the
// head bits hold the head's sub-index on its server, so two heads showing
// two screens of one server get different ids for one client id:
//   server id = B | (sub-index << head shift) | ((id & mask) << client-part shift)
#include <cstdint>

#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/resourcefind.h"
#include "Proxy/resources/xidpair.h"
#include "Proxy/servers/display.h"
#include "Proxy/sync/selections.h"
#include "base/logging.h"

namespace palvon {

namespace {

ResourceDatabase& db() { return proxyState.resources; }

bool idInUse(u32 id) { return lookupResourceObject(id) || isZombiePixmapId(id); }

// The head that holds fonts for the head: the first head showing the same
// screen of the same server with the same scaling.
const Head* fontHeadOf(const Head* head) { return head->equivalentHead ? head->equivalentHead : head; }

// With several meta screens, a resource of another screen is named on that
// screen's head on the same server (or that screen's first head).
const Head* headForResource(u32 id, const Head* head) {
  MetaScreen* screen = getResourceScreen(id);
  if (!screen || screen == head->metaScreen) return head;
  for (Head* other = screen->heads; other; other = other->next) {
    if (other->serverDisplay == head->serverDisplay) return other;
  }
  return screen->heads ? screen->heads : head;
}

// Slot-0 ids: a meta screen's root window or default colormap stands for the
// head's own window or colormap; every other id is the same on every server.
u32 translateProxyId(u32 id, u32 kind, const Head* head) {
  for (const MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    if (id == screen->rootId) return kind == RT_REAL_ROOT ? head->root : head->rootWindow;
    if (id == screen->defaultColormap) {
      // The head's own colormap stands for the meta default colormap; 0
      // when the head uses its real default.
      return kind == RT_REAL_COLORMAP || !head->colormap ? head->defaultColormap : head->colormap;
    }
  }
  return id;
}

}  // namespace

// --- The proxy's own ids ---------------------------------------------------------------

u32 allocProxyXid(ProxyClient* client) {
  u32 mask = proxyState.resourceIdMask;
  if (!client) client = clientList;
  if (!client) {
    // The proxy's own slot, from the top of its space down towards the
    // default ids that count up from 32: no client ever owns these.
    u32& counter = db().proxyIdCounter;
    while (true) {
      counter = (counter == 0 ? mask : counter - 1) & mask;
      if (counter <= db().defaultIdCounter) {
        PALVON_UNE();
        counter = 0;
        return 0;
      }
      if (!idInUse(counter)) return counter;
    }
  }
  u32 base = idShiftLeft(client->number, proxyState.resourceIdShift);
  for (u64 tries = 0; tries <= mask; tries++) {
    client->ownIdCounter--;
    u32 id = base | (client->ownIdCounter & mask);
    if (!idInUse(id)) return id;
  }
  PALVON_UNE();
  return 0;
}

void findFreeXidRange(u32 slot, u32* first, u32* last) {
  *first = *last = 0;
  if (slot >= kMaxClientSlots) return;
  // i64 bounds: a side may become empty (last below first).
  i64 low = idShiftLeft(slot, proxyState.resourceIdShift);
  i64 high = low | proxyState.resourceIdMask;
  const ClientResourceTable& table = db().slots[slot];
  bool haveFound = false;
  u32 lastFound = 0;
  // An unused id inside [from, to]; the last one found is tried first.
  auto hasUnused = [&](i64 from, i64 to) {
    if (from > to) return false;
    if (haveFound && lastFound >= from && lastFound <= to && !lookupResourceObject(lastFound)) return true;
    for (i64 candidate = from; candidate <= to; candidate++) {
      if (!lookupResourceObject(u32(candidate))) {
        haveFound = true;
        lastFound = u32(candidate);
        return true;
      }
    }
    return false;
  };
  for (u32 b = 0; b < table.bucketCount; b++) {
    for (ResourceNode* node = table.buckets[b]; node; node = node->next) {
      i64 id = node->id;
      if (id < low || id > high) continue;
      if (id - low < (high - low + 1) / 2) {
        if (hasUnused(id + 1, high)) {
          low = id + 1;
        } else {
          high = id - 1;
        }
      } else if (hasUnused(low, id - 1)) {
        high = id - 1;
      } else {
        low = id + 1;
      }
      if (low > high) return;
    }
  }
  *first = u32(low);
  *last = u32(high);
}

// --- Translation --------------------------------------------------------------------

void setClientServerIdBase(u32 slot, const Head* head, u32 base) {
  if (slot == 0 || slot >= kMaxClientSlots || !head || head->serverIndex >= kMaxServerIndexes) return;
  db().slots[slot].serverIdBases[head->serverIndex] = base;
}

namespace {

// The id on the head that names it. No calls on the way: the usual case
// (one meta screen, no window) runs for every id of every forwarded
// request and then saves no registers.
[[gnu::always_inline]] inline u32 translateOnHead(u32 id, u32 kind, const Head* head) {
  // A head whose server is gone takes no ids: everything becomes None there,
  // so requests built for it need no special cases.
  const ServerDisplay* display = head->serverDisplay;
  if (!display || !display->display) return 0;
  u32 slot = resourceSlotOf(id);
  if (slot >= 1 && slot < kMaxClientSlots && db().slots[slot].hasIdBases) {
    if (head->serverIndex >= kMaxServerIndexes) return 0;
    const Head* idHead = kind == RT_FONT ? fontHeadOf(head) : head;
    const ServerDisplay* idDisplay = idHead->serverDisplay ? idHead->serverDisplay : display;
    return clientIdOnHead(slot, id, head, idHead, idDisplay, display);
  }
  return translateProxyId(id, kind, head);
}

// Window ids (a selection window keeps its id) and several meta screens.
[[gnu::noinline]] u32 translateXidSlowly(u32 id, u32 kind, const Head* head) {
  if (proxyState.screenCount >= 2 && head->metaScreen && kind != RT_CURSOR && kind != RT_FONT &&
      kind != RT_ATOM_WINDOW && kind != RT_SHM_SEGMENT) {
    head = headForResource(id, head);
  }
  const ServerDisplay* display = head->serverDisplay;
  if (kind == RT_WINDOW && display && display->display && isSelectionSyncWindow(display, id)) return id;
  return translateOnHead(id, kind, head);
}

}  // namespace

u32 translateXid(u32 id, u32 kind, const Head* head) {
  if (!head) return id;
  if (kind == RT_WINDOW || proxyState.screenCount >= 2) return translateXidSlowly(id, kind, head);
  return translateOnHead(id, kind, head);
}

void translateDrawableAndGCSlowly(u32 drawable, u32 gc, const Head* head, u32 out[2]) {
  out[0] = translateXid(drawable, RT_DRAWABLE, head);
  out[1] = translateXid(gc, RT_GC, head);
}

Head* findHeadByServerXid(u32 serverId, const ServerDisplay* display) {
  if (!display || (serverId & 0xe0000000u)) return nullptr;
  u32 subIndex = display->baseShift >= 32 ? 0 : (serverId & display->indexMask) >> display->baseShift;
  for (Head* head = display->firstHead; head; head = head->nextOnDisplay) {
    if (head->numberOnDisplay == subIndex) return head;
  }
  return nullptr;
}

}  // namespace palvon

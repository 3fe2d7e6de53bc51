// The look-up of an id's node and the note of the request's resource,
// inline: every request that names a resource runs both, and a small
// drawing request spends more on the calls than on the work. Main thread
// only.
#pragma once

#include "Proxy/config/config.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"

namespace palvon {

// hashResourceId: for b bits, ((i >> b) ^ i ^ (i >> third)) & (2^b - 1),
// where the third term is 12, 13 and 16 for 6, 7 and 8 bits and none from
// 9 bits on (a shift by 32 of the 64-bit value is 0). Without a branch but
// the one for a table that was never set up.
[[gnu::always_inline]] inline u32 resourceBucketOf(const ClientResourceTable& table, u32 id) {
  static constexpr u8 kThirdShift[6] = {12, 13, 16, 32, 32, 32};
  u32 bits = table.hashBits - kInitialHashBits;
  if (bits > kMaxHashBits - kInitialHashBits) return 0;
  u64 i = id & proxyState.resourceIdMask;
  return u32(((i >> table.hashBits) ^ i ^ (i >> kThirdShift[bits])) & ((1u << table.hashBits) - 1));
}

// The client slot an id belongs to (0, the proxy's, without clients).
[[gnu::always_inline]] inline u32 resourceSlotOf(u32 id) {
  u32 shift = proxyState.resourceIdShift;
  return shift >= 32 ? 0 : id >> shift;
}

// The table holding the id, or null when its slot is out of range or free.
[[gnu::always_inline]] inline ClientResourceTable* resourceTableOf(u32 id) {
  u32 slot = resourceSlotOf(id);
  if (slot >= kMaxClientSlots) return nullptr;
  ClientResourceTable* table = &proxyState.resources.slots[slot];
  return table->bucketCount ? table : nullptr;
}

// The first node with the id, or null when its slot is out of range or free
// or holds no such id.
[[gnu::always_inline]] inline ResourceNode* findResourceNode(u32 id) {
  const ClientResourceTable* table = resourceTableOf(id);
  if (!table) return nullptr;
  for (ResourceNode* node = table->buckets[resourceBucketOf(*table, id)]; node; node = node->next) {
    if (node->id == id) return node;
  }
  return nullptr;
}

// setRequestResourceFound's cases with several meta screens or a window
// that may be translucent.
void setRequestResourceFoundSlowly(ProxyClient* client, u32 id, u32 type, void* object);

// setRequestResourceFound for a caller that found the node itself; with
// one meta screen and no translucent window possible it is four stores.
[[gnu::always_inline]] inline void setRequestResourceQuickly(ProxyClient* client, u32 id, u32 type, void* object) {
  if (proxyState.screenCount != 1 || (type == RT_WINDOW && (proxyConfig.options & kOptionTranslucent)))
    return setRequestResourceFoundSlowly(client, id, type, object);
  client->requestResourceType = type;
  client->requestResourceObject = object;
  client->requestResourceScreen = proxyState.screens;
  client->requestTranslucentWindow = nullptr;
}

}  // namespace palvon

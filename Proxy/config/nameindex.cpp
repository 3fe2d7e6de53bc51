// Open addressing with linear probing; removed slots keep a mark so probes
// pass over them, and are dropped when the table is rebuilt.
#include "Proxy/config/nameindex.h"

#include <cstdlib>
#include <strings.h>

namespace palvon {

namespace {

constexpr u32 kFirstCapacity = 16;

char foldCase(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// FNV-1a over the case-folded bytes.
u64 hashName(const char* name) {
  u64 hash = 0xcbf29ce484222325ull;
  for (; *name; name++) {
    hash ^= u8(foldCase(*name));
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// The slot holding the name, or the first free slot of its probe sequence
// (a removed slot before an empty one, so removals are reused).
NameIndex::Slot* findSlot(const NameIndex& index, const char* name) {
  u32 mask = index.capacity - 1;
  NameIndex::Slot* reusable = nullptr;
  for (u32 at = u32(hashName(name)) & mask;; at = (at + 1) & mask) {
    NameIndex::Slot* slot = &index.slots[at];
    if (slot->name) {
      if (strcasecmp(slot->name, name) == 0) return slot;
    } else if (!slot->entry) {
      return reusable ? reusable : slot;
    } else if (!reusable) {
      reusable = slot;
    }
  }
}

// Rebuilds the table with room for twice the live entries at half load.
bool rebuild(NameIndex& index) {
  u32 capacity = kFirstCapacity;
  while (capacity < 4 * (index.live + 1)) capacity *= 2;
  auto* slots = static_cast<NameIndex::Slot*>(memCalloc(capacity, sizeof(NameIndex::Slot)));
  if (!slots) return false;
  NameIndex grown{slots, capacity, index.live, index.live};
  for (u32 i = 0; i < index.capacity; i++)
    if (index.slots[i].name) *findSlot(grown, index.slots[i].name) = index.slots[i];
  free(index.slots);
  index = grown;
  return true;
}

}  // namespace

void* nameIndexFind(const NameIndex& index, const char* name) {
  if (!index.capacity) return nullptr;
  const NameIndex::Slot* slot = findSlot(index, name);
  return slot->name ? slot->entry : nullptr;
}

bool nameIndexAdd(NameIndex& index, const char* name, void* entry) {
  // At most half the slots filled, so every probe meets an empty slot soon.
  if (2 * (index.filled + 1) > index.capacity && !rebuild(index)) return false;
  NameIndex::Slot* slot = findSlot(index, name);
  if (!slot->name) {
    if (!slot->entry) index.filled++;
    index.live++;
  }
  *slot = NameIndex::Slot{name, entry};
  return true;
}

void nameIndexRemove(NameIndex& index, const char* name, const void* entry) {
  if (!index.capacity) return;
  NameIndex::Slot* slot = findSlot(index, name);
  if (!slot->name || slot->entry != entry) return;
  slot->name = nullptr;  // the entry stays as the removal mark
  index.live--;
}

void nameIndexFree(NameIndex& index) {
  free(index.slots);
  index = NameIndex{};
}

}  // namespace palvon

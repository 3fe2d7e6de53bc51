// A hash index of records by name, the names compared without regard to ASCII
// case, so that a configuration of many blocks finds each by name in constant
// time.
//
// The index does not copy names: each slot points at the name its record
// owns, so a record must be removed before its name is freed or changed.
// Names are unique in an index. Main thread only (the configuration parser).
#pragma once

#include "base/strings.h"

namespace palvon {

struct NameIndex {
  struct Slot {
    const char* name;  // null: empty, or removed when entry is set
    void* entry;
  };
  Slot* slots;
  u32 capacity;  // a power of two, or 0 before the first add
  u32 filled;    // slots holding an entry or a removal mark
  u32 live;
};

// The entry of that name, or null.
void* nameIndexFind(const NameIndex& index, const char* name);
// Adds an entry under a name not yet in the index; false when out of memory.
bool nameIndexAdd(NameIndex& index, const char* name, void* entry);
// Removes the entry if it is the one indexed under the name.
void nameIndexRemove(NameIndex& index, const char* name, const void* entry);
// Releases the slots; the index is empty and usable again.
void nameIndexFree(NameIndex& index);

}  // namespace palvon

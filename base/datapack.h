// Argument packs: small heap arrays of machine words handed, with
// freeIfNotNull as their destructor, to code that calls back later.
#pragma once

#include "base/strings.h"

namespace palvon {

using DataPack = void*;

// A new pack holding the words in argument order, or nullptr after an
// "Out of memory" line.
DataPack* datapackNew3(void* a, void* b, void* c);
DataPack* datapackNew6(void* a, void* b, void* c, void* d, void* e, void* f);
DataPack* datapackNew7(void* a, void* b, void* c, void* d, void* e, void* f, void* g);

}  // namespace palvon

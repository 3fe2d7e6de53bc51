#include "base/datapack.h"

#include <cstring>
#include <initializer_list>

#include "base/logging.h"

namespace palvon {

namespace {

DataPack* packOf(std::initializer_list<void*> words) {
  auto* pack = static_cast<DataPack*>(memAlloc(words.size() * sizeof(DataPack)));
  if (!pack) {
    PALVON_OOM();
    return nullptr;
  }
  std::memcpy(pack, words.begin(), words.size() * sizeof(DataPack));
  return pack;
}

}  // namespace

DataPack* datapackNew3(void* a, void* b, void* c) { return packOf({a, b, c}); }

DataPack* datapackNew6(void* a, void* b, void* c, void* d, void* e, void* f) {
  return packOf({a, b, c, d, e, f});
}

DataPack* datapackNew7(void* a, void* b, void* c, void* d, void* e, void* f, void* g) {
  return packOf({a, b, c, d, e, f, g});
}

}  // namespace palvon

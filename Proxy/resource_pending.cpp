// Placeholders for the calls of resource_pending.h; see there.
#include "Proxy/resource_pending.h"

#include "base/logging.h"

namespace palvon {

void freeResourceOnHead(u32, u32, void*, Head*, MetaScreen*) { PALVON_WIP(); }
void recordCursorChange(u32) {}

}  // namespace palvon

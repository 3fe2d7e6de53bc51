// Placeholders for the calls of resource_pending.h; see there.
#include "Proxy/resource_pending.h"

#include "base/logging.h"

namespace palvon {

void freeResourceOnHead(u32, u32, void*, Head*, MetaScreen*) { PALVON_WIP(); }
void recordCursorChange(u32) {}
void freeBackgroundTile(ProxyClient*, ProxyWindow*, Head*) { PALVON_WIP(); }
const char* createBackgroundTile(ProxyClient*, ProxyWindow*, Head*) { return nullptr; }
void mirrorTextTranslucent(ServerLink*, const Head*, ProxyWindow*, u32, const xRectangle*, u32) {}

}  // namespace palvon

// Placeholders for the calls of resource_pending.h; see there.
#include "Proxy/resource_pending.h"

#include "base/logging.h"

namespace palvon {

void processSaveSet(ProxyClient*) { PALVON_WIP(); }
// Called for every destroyed window: quiet until the attribute layer lands.
void destroyWindowAttributes(ProxyWindow*) {}
void dropClientKeymapOverride(ProxyClient*) {}
void freeResourceOnHead(u32, u32, void*, Head*, MetaScreen*) { PALVON_WIP(); }
// Hot path (every window id translated): quiet.
bool isSelectionSyncWindow(const ServerDisplay*, u32) { return false; }
void recordCursorChange(u32) {}
// An unmapped window record needs nothing more until the tree changes land.
void unmapWindowRecord(ProxyWindow*, int) {}
void endGrabsOnDestroyedWindow(ProxyWindow*) {}
void freeBackgroundTile(ProxyClient*, ProxyWindow*, Head*) { PALVON_WIP(); }
int allocColorCellsOnHeads(ProxyClient*, ColormapRecord*, const u32*, u32, const u32*, u32) {
  PALVON_WIP();
  return 1;
}
void removeInstalledColormap(MetaScreen*, u32) {}

}  // namespace palvon

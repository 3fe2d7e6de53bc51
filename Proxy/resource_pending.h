// Calls from the resource database, the records and the window tree into
// layers that are not in the tree yet. Each name is the one its layer will
// define; resource_pending.cpp holds placeholders that log "WIP" (or, on hot
// paths, answer the neutral value quietly) and goes away as the layers land.
#pragma once

#include "Proxy/windowattr.h"
#include "Proxy/windowtree.h"
#include "base/strings.h"

namespace palvon {

struct FontRecord;
struct Head;
struct MetaScreen;
struct ProxyClient;
struct ProxyWindow;
struct ServerDisplay;

// Copying and freeing resources per server: the server copy of one resource
// on one head, through the proxy's own connection.
void freeResourceOnHead(u32 id, u32 type, void* object, Head* head, MetaScreen* screen);
// Heads and screens (defined with the selection synchronisation,
// Proxy/xselsync.h).
bool isSelectionSyncWindow(const ServerDisplay* display, u32 window);
void recordCursorChange(u32 device);

}  // namespace palvon

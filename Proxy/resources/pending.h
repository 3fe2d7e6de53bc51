// Calls from the resource database, the records and the window tree into
// layers that are not in the tree yet. Each name is the one its layer will
// define; resources/pending.cpp holds placeholders that log "WIP" (or, on hot
// paths, answer the neutral value quietly) and goes away as the layers land.
#pragma once

#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "base/strings.h"

namespace palvon {

struct FontRecord;
struct Head;
struct MetaScreen;
struct ProxyClient;
struct ProxyWindow;
struct ServerDisplay;

// Heads and screens (defined with the selection synchronisation,
// Proxy/sync/selections.h).
bool isSelectionSyncWindow(const ServerDisplay* display, u32 window);

}  // namespace palvon

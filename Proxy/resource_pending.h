// Calls from the resource database, the records and the window tree into
// layers that are not in the tree yet. Each name is the one its layer will
// define; resource_pending.cpp holds placeholders that log "WIP" (or, on hot
// paths, answer the neutral value quietly) and goes away as the layers land.
#pragma once

#include "base/strings.h"

namespace palvon {

struct FontRecord;
struct Head;
struct MetaScreen;
struct ProxyClient;
struct ProxyWindow;
struct ServerDisplay;
struct ColormapRecord;

// Window attributes and the save-set.
void processSaveSet(ProxyClient* client);
void destroyWindowAttributes(ProxyWindow* window);
// Keyboard mappings per client.
void dropClientKeymapOverride(ProxyClient* client);
// Copying and freeing resources per server: the server copy of one resource
// on one head, through the proxy's own connection.
void freeResourceOnHead(u32 id, u32 type, void* object, Head* head, MetaScreen* screen);
// Heads and screens.
bool isSelectionSyncWindow(const ServerDisplay* display, u32 window);
void recordCursorChange(u32 device);
// Window tree changes: unmapping as from a destroy.
void unmapWindowRecord(ProxyWindow* window, int fromDestroy);
// Grabs and focus: the focus and grab checks for a viewable window that is
// destroyed with an ancestor (no log lines).
void endGrabsOnDestroyedWindow(ProxyWindow* window);
// Background tiles: frees the window's tiles on one head (null: all).
void freeBackgroundTile(ProxyClient* client, ProxyWindow* window, Head* head);
// Colour cells on the servers and colormap installation.
int allocColorCellsOnHeads(ProxyClient* client, ColormapRecord* colormap, const u32* pixels, u32 count,
                           const u32* masks, u32 maskCount);
void removeInstalledColormap(MetaScreen* screen, u32 colormap);

}  // namespace palvon

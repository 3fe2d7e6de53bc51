// The resource-id database: per-slot hash tables, type rows, lookups,
// enumeration, adding and freeing.
#include "Proxy/resources/resource.h"

#include <strings.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "Proxy/config/config.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/rescopy.h"
#include "Proxy/links/pool.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resourcefind.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

// --- Rows of the types whose records this layer knows ---------------------------

void destroyWindowRow(u32, void* object) { destroyWindowRecord(static_cast<ProxyWindow*>(object)); }
void destroyPixmapRow(u32 id, void* object) { destroyPixmapResource(id, static_cast<PixmapRecord*>(object)); }
void destroyColormapRow(u32, void* object) { destroyColormapResource(static_cast<ColormapRecord*>(object)); }
void destroyCursorRow(u32, void* object) { destroyCursorResource(static_cast<CursorRecord*>(object)); }
void destroyFontRow(u32 id, void* object) { destroyFontResource(id, static_cast<FontRecord*>(object)); }
void destroyGCRow(u32, void* object) { destroyGCRecord(static_cast<GCRecord*>(object)); }

MetaScreen* windowScreen(u32, void* object) { return static_cast<ProxyWindow*>(object)->screen; }
MetaScreen* pixmapScreen(u32, void* object) { return static_cast<PixmapRecord*>(object)->screen; }
MetaScreen* colormapScreen(u32, void* object) { return static_cast<ColormapRecord*>(object)->screen; }
MetaScreen* gcScreen(u32, void* object) { return gcRecordScreen(static_cast<GCRecord*>(object)); }
MetaScreen* headScreen(u32, void* object) { return static_cast<Head*>(object)->metaScreen; }
// A server-only object stores the meta screen it was made on.
MetaScreen* serverIdScreen(u32, void* object) { return static_cast<MetaScreen*>(object); }
MetaScreen* visualScreen(u32, void* object) {
  const VisualRecord* visual = static_cast<VisualRecord*>(object);
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    if (screen->visuals && visual >= screen->visuals && visual < screen->visuals + screen->visualCount) return screen;
  }
  return nullptr;
}

VisualRecord* windowVisual(void* object) { return static_cast<ProxyWindow*>(object)->visual; }
VisualRecord* pixmapVisual(void* object) { return static_cast<PixmapRecord*>(object)->visual; }

constexpr ResourceTypeRow kCoreRows[] = {
    {RT_WINDOW, "WINDOW", destroyWindowRow, windowScreen, windowVisual},
    {RT_PIXMAP, "PIXMAP", destroyPixmapRow, pixmapScreen, pixmapVisual},
    {RT_GC, "GC", destroyGCRow, gcScreen, nullptr},
    {RT_VISUAL, "VISUAL", nullptr, visualScreen, nullptr},
    {RT_COLORMAP, "COLORMAP", destroyColormapRow, colormapScreen, nullptr},
    {RT_CURSOR, "CURSOR", destroyCursorRow, nullptr, nullptr},
    {RT_FONT, "FONT", destroyFontRow, nullptr, nullptr},
    {RT_HEAD, "HEAD", nullptr, headScreen, nullptr},
    {RT_SERVER_ID, "SERVER_ID", nullptr, serverIdScreen, nullptr},
};

constexpr std::array<ResourceTypeRow, kResourceTypeLimit> buildTypeRows() {
  std::array<ResourceTypeRow, kResourceTypeLimit> rows{};
  for (const ResourceTypeRow& row : kCoreRows) rows[row.type] = row;
  return rows;
}

// Constant-initialised: rows are usable before any start-up code runs.
std::array<ResourceTypeRow, kResourceTypeLimit> typeRows = buildTypeRows();
constexpr ResourceTypeRow kNoRow{};

ResourceDatabase& db() { return proxyState.resources; }

// Nodes come and go with every resource made and freed.
BlockPool<sizeof(ResourceNode)>& nodePool() {
  static BlockPool<sizeof(ResourceNode)> pool;
  return pool;
}

// Doubles the buckets, keeping each chain's relative order. On failure the
// table keeps its size: chains only grow longer.
void growTable(ClientResourceTable* table) {
  u32 newCount = table->bucketCount * 2;
  auto** buckets = static_cast<ResourceNode**>(std::calloc(newCount, sizeof(ResourceNode*)));
  auto** tails = static_cast<ResourceNode**>(std::calloc(newCount, sizeof(ResourceNode*)));
  if (!buckets || !tails) {
    std::free(buckets);
    std::free(tails);
    return;
  }
  table->hashBits++;
  for (u32 b = 0; b < table->bucketCount; b++) {
    ResourceNode* node = table->buckets[b];
    while (node) {
      ResourceNode* next = node->next;
      u32 target = hashResourceId(*table, node->id);
      node->next = nullptr;
      if (tails[target]) {
        tails[target]->next = node;
      } else {
        buckets[target] = node;
      }
      tails[target] = node;
      node = next;
    }
  }
  std::free(tails);
  std::free(table->buckets);
  table->buckets = buckets;
  table->bucketCount = newCount;
}

// The head's server copy, destroyed through the proxy's own connection with
// errors trapped (the copy may be gone already).
void freeResourceOnHeadTrapped(u32 id, u32 type, void* object, Head* head, MetaScreen* screen) {
  Display* display = head->serverDisplay ? head->serverDisplay->display : nullptr;
  if (!display) return;
  xErrorTrapBegin(display);
  freeResourceOnHead(id, type, object, head, screen);
  XfsSync(display, False);
  xErrorTrapEnd();
}

}  // namespace

// --- Type rows -------------------------------------------------------------------

bool registerResourceType(const ResourceTypeRow& row) {
  if (row.type == RT_NONE || row.type >= kResourceTypeLimit) return false;
  ResourceTypeRow& slot = typeRows[row.type];
  if (slot.type != RT_NONE) {
    return slot.destroy == row.destroy && slot.screenOf == row.screenOf && slot.visualOf == row.visualOf;
  }
  slot = row;
  return true;
}

const ResourceTypeRow& resourceTypeRow(u32 type) { return type < kResourceTypeLimit ? typeRows[type] : kNoRow; }

void destroyResourceObject(u32 type, u32 id, void* object) {
  const ResourceTypeRow& row = resourceTypeRow(type);
  if (row.destroy && object) row.destroy(id, object);
}

// --- Hash --------------------------------------------------------------------------

u32 hashResourceId(const ClientResourceTable& table, u32 id) { return resourceBucketOf(table, id); }

// --- Lookups -----------------------------------------------------------------------

void* lookupResourceByType(u32 id, u32 type) {
  ClientResourceTable* table = resourceTableOf(id);
  if (!table) return nullptr;
  for (ResourceNode* node = table->buckets[hashResourceId(*table, id)]; node; node = node->next) {
    if (node->id == id && node->type == type) return node->object;
  }
  return nullptr;
}

ProxyWindow* lookupWindow(u32 id) { return static_cast<ProxyWindow*>(lookupResourceByType(id, RT_WINDOW)); }
PixmapRecord* lookupPixmap(u32 id) { return static_cast<PixmapRecord*>(lookupResourceByType(id, RT_PIXMAP)); }
GCRecord* lookupGC(u32 id) { return static_cast<GCRecord*>(lookupResourceByType(id, RT_GC)); }
FontRecord* lookupFont(u32 id) { return static_cast<FontRecord*>(lookupResourceByType(id, RT_FONT)); }

void* lookupResourceObject(u32 id) {
  ResourceNode* node = findResourceNode(id);
  return node ? node->object : nullptr;
}

u32 lookupResourceAnyType(u32 id, void** object) {
  ResourceNode* node = findResourceNode(id);
  if (object) *object = node ? node->object : nullptr;
  return node ? node->type : RT_NONE;
}

int isBadIdChoice(u32 id) {
  if (!currentClient || resourceSlotOf(id) != currentClient->number) return 1;
  return findResourceNode(id) ? 1 : 0;
}

FontRecord* findFontRecordByName(const char* name) {
  if (!name) return nullptr;
  for (u32 slot = kMaxClientSlots; slot-- > 0;) {
    const ClientResourceTable& table = db().slots[slot];
    for (u32 b = table.bucketCount; b-- > 0;) {
      for (ResourceNode* node = table.buckets[b]; node; node = node->next) {
        if (node->type != RT_FONT || !node->object) continue;
        auto* font = static_cast<FontRecord*>(node->object);
        if (font->name && strcasecmp(font->name, name) == 0) return font;
      }
    }
  }
  return nullptr;
}

namespace {

MetaScreen* screenOfFound(u32 id, u32 type, void* object) {
  if (type == RT_NONE) return nullptr;
  if (type > RT_GLYPHSET) {
    PALVON_UNE();
    return nullptr;
  }
  const ResourceTypeRow& row = typeRows[type];
  return row.screenOf && object ? row.screenOf(id, object) : nullptr;
}

// The resource's meta screen, the first when it has none.
[[gnu::noinline]] MetaScreen* ownScreenOfFound(u32 id, u32 type, void* object) {
  MetaScreen* own = screenOfFound(id, type, object);
  return own ? own : proxyState.screens;
}

}  // namespace

MetaScreen* getResourceScreen(u32 id) {
  void* object = nullptr;
  u32 type = lookupResourceAnyType(id, &object);
  return screenOfFound(id, type, object);
}

MetaScreen* lookupScreenOfXid(u32 id) {
  if (proxyState.screenCount == 1) return proxyState.screens;
  MetaScreen* screen = getResourceScreen(id);
  return screen ? screen : proxyState.screens;
}

MetaScreen* lookupWindowScreen(u32 id) {
  ProxyWindow* window = lookupWindow(id);
  return window ? window->screen : nullptr;
}

VisualRecord* visualOfDrawable(u32 id) {
  void* object = nullptr;
  u32 type = lookupResourceAnyType(id, &object);
  const ResourceTypeRow& row = resourceTypeRow(type);
  return row.visualOf && object ? row.visualOf(object) : nullptr;
}

void setRequestResource(ProxyClient* client, u32 id) {
  if (!client) return;
  void* object = nullptr;
  u32 type = lookupResourceAnyType(id, &object);
  setRequestResourceFound(client, id, type, object);
}

void setRequestResourceFound(ProxyClient* client, u32 id, u32 type, void* object) {
  if (client) setRequestResourceQuickly(client, id, type, object);
}

void setRequestResourceFoundSlowly(ProxyClient* client, u32 id, u32 type, void* object) {
  client->requestResourceType = type;
  client->requestResourceObject = object;
  // As lookupScreenOfXid, without a second look-up.
  client->requestResourceScreen =
      type != RT_NONE && proxyState.screenCount != 1 ? ownScreenOfFound(id, type, object) : proxyState.screens;
  client->requestTranslucentWindow = nullptr;
  if ((proxyConfig.options & kOptionTranslucent) && type == RT_WINDOW) {
    auto* window = static_cast<ProxyWindow*>(object);
    if (window->translucency) client->requestTranslucentWindow = window;
  }
}

// --- Enumeration -------------------------------------------------------------------

u32* listResourceIdsOfType(u32 type, u32* count) {
  constexpr u32 kStep = 1024;
  u32* ids = nullptr;
  u32 used = 0, capacity = 0;
  *count = 0;
  for (u32 slot = 0; slot < kMaxClientSlots; slot++) {
    const ClientResourceTable& table = db().slots[slot];
    for (u32 b = 0; b < table.bucketCount; b++) {
      for (ResourceNode* node = table.buckets[b]; node; node = node->next) {
        if (node->type != type) continue;
        if (used == capacity) {
          auto* grown = static_cast<u32*>(std::realloc(ids, (u64(capacity) + kStep) * sizeof(u32)));
          if (!grown) {
            std::free(ids);
            PALVON_OOM();
            return nullptr;
          }
          ids = grown;
          capacity += kStep;
        }
        ids[used++] = node->id;
      }
    }
  }
  *count = used;
  return ids;
}

int forEachResourceOfType(u32 type, ResourceCallback callback, void* argument, Head* head) {
  for (u32 slot = 0; slot < kMaxClientSlots; slot++) {
    const ClientResourceTable& table = db().slots[slot];
    if (!table.bucketCount) continue;
    ProxyClient* client = findClientByNumber(slot);
    for (u32 b = 0; b < table.bucketCount; b++) {
      for (ResourceNode* node = table.buckets[b]; node; node = node->next) {
        if (node->type == type && !callback(node->id, node->object, client, argument, head)) return 0;
      }
    }
  }
  return 1;
}

// --- Changes -----------------------------------------------------------------------

int initClientResourceTable(u32 slot) {
  if (slot >= kMaxClientSlots) return 0;
  ClientResourceTable& table = db().slots[slot];
  // Already in use: keep it (its nodes would be lost otherwise).
  if (table.bucketCount) return 1;
  auto** buckets = static_cast<ResourceNode**>(std::calloc(u64(1) << kInitialHashBits, sizeof(ResourceNode*)));
  if (!buckets) return 0;
  if (slot != 0 && !table.hasIdBases) {
    std::memset(table.serverIdBases, 0, sizeof table.serverIdBases);
    table.hasIdBases = 1;
  }
  table.buckets = buckets;
  table.closeDownMode = kDestroyAll;
  table.nodeCount = 0;
  table.hashBits = kInitialHashBits;
  table.bucketCount = 1u << kInitialHashBits;
  return 1;
}

u32 findFreeClientSlot() {
  // Slot 0 is the proxy's; slots above the id bits' reach would give ids
  // that no server accepts.
  u32 last = maxClientNumber();
  for (u32 slot = 1; slot <= last && slot < kMaxClientSlots; slot++) {
    if (!db().slots[slot].bucketCount) return slot;
  }
  PALVON_UNE();
  return 0;
}

int addResource(u32 id, u32 type, void* object) {
  ClientResourceTable* table = resourceTableOf(id);
  if (!table) {
    destroyResourceObject(type, id, object);
    return 0;
  }
  if (table->nodeCount >= 4 * table->bucketCount && table->hashBits < kMaxHashBits) growTable(table);
  auto* node = static_cast<ResourceNode*>(nodePool().take());
  if (!node) {
    destroyResourceObject(type, id, object);
    return 0;
  }
  ResourceNode** bucket = &table->buckets[hashResourceId(*table, id)];
  node->next = *bucket;
  node->id = id;
  node->type = type;
  node->object = object;
  *bucket = node;
  table->nodeCount++;
  return 1;
}

void freeResourceById(u32 id, u32 sparedType) {
  ClientResourceTable* table = resourceTableOf(id);
  if (!table) return;
  ResourceNode** link = &table->buckets[hashResourceId(*table, id)];
  while (*link) {
    ResourceNode* node = *link;
    if (node->id != id) {
      link = &node->next;
      continue;
    }
    *link = node->next;
    table->nodeCount--;
    u32 countBefore = table->nodeCount;
    if (node->type != sparedType) destroyResourceObject(node->type, id, node->object);
    nodePool().give(node);
    // A destructor that freed other resources of the slot may have unlinked
    // the node `link` lies in: start the chain again.
    if (table->nodeCount != countBefore) {
      if (!table->bucketCount) return;
      link = &table->buckets[hashResourceId(*table, id)];
    }
  }
}

void freeResource(u32 id) {
  freeResourceById(id, RT_NONE);
  if (id != 0 && id == db().defaultIdCounter) db().defaultIdCounter--;
}

void freeResourceOnAllHeads(u32 id) {
  void* object = nullptr;
  u32 type = lookupResourceAnyType(id, &object);
  if (type != RT_NONE) {
    for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
      for (Head* head = screen->heads; head; head = head->next) freeResourceOnHeadTrapped(id, type, object, head, screen);
    }
  }
  freeResourceById(id, RT_NONE);
}

void freeClientResources(u32 slot) {
  if (slot >= kMaxClientSlots) return;
  if (ProxyClient* client = findClientByNumber(slot)) {
    processSaveSet(client);
    if (serviceHooks.dropClientKeymap) serviceHooks.dropClientKeymap(client);
  }
  ClientResourceTable& table = db().slots[slot];
  if (table.bucketCount) {
    // Each node is unlinked before its object is destroyed, and every step
    // takes the bucket's head afresh: destructors free other nodes of this
    // slot (a window's descendants) while the loop runs.
    for (u32 b = table.bucketCount; b-- > 0;) {
      while (table.bucketCount && table.buckets[b]) {
        ResourceNode* node = table.buckets[b];
        table.buckets[b] = node->next;
        table.nodeCount--;
        destroyResourceObject(node->type, node->id, node->object);
        nodePool().give(node);
      }
      if (b >= table.bucketCount) break;
    }
    std::free(table.buckets);
    table.buckets = nullptr;
    table.bucketCount = 0;
    table.nodeCount = 0;
    table.hashBits = 0;
  }
  clearZombieOwners(slot);
}

void freeRetainedTemporaryClients() {
  ProxyClient* saved = currentClient;
  currentClient = nullptr;
  for (u32 slot = kMaxClientSlots; slot-- > 0;) {
    const ClientResourceTable& table = db().slots[slot];
    if (table.bucketCount && table.closeDownMode == kRetainTemporary) freeClientResources(slot);
  }
  currentClient = saved;
}

void freeAllClientResources() {
  for (u32 slot = kMaxClientSlots; slot-- > 0;) {
    ClientResourceTable& table = db().slots[slot];
    table.hasIdBases = 0;
    if (table.bucketCount) freeClientResources(slot);
  }
  initDefaultXids();
}

void initDefaultXids() {
  db().defaultIdCounter = kDefaultIdCounterStart;
  db().proxyIdCounter = 0;
}

u32 allocDefaultXid() {
  if (db().defaultIdCounter < kDefaultIdCounterStart) db().defaultIdCounter = kDefaultIdCounterStart;
  // Heads count their ids up from 1 in this slot as well: one in use is
  // passed over.
  do {
    ++db().defaultIdCounter;
  } while (lookupResourceObject(db().defaultIdCounter));
  return db().defaultIdCounter;
}

}  // namespace palvon

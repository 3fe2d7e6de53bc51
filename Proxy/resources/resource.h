// The resource-id database: every id a client names (windows, pixmaps, GCs,
// fonts, cursors, colormaps, extension objects) bound to its type and to the
// proxy's record of the object, one hash table per client slot; the
// translation of a client's id into the id the object carries on one head's
// real server and back; ids the proxy takes inside a client's id space; and
// freeing a client's or every client's resources.
//
// Ownership: the tables live in proxyState.resources. A node owns nothing but
// itself; the object it names is destroyed through its type's row
// (destroyResourceObject) when the node leaves the database, unless the
// caller spares that type. Main thread only; nothing here blocks, and lookups
// and translations allocate nothing.
#pragma once

#include "Proxy/clients/client.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ServerDisplay;
struct VisualRecord;
struct ProxyWindow;
struct PixmapRecord;
struct FontRecord;
struct GCRecord;
struct CursorRecord;

// Resource types (the type of a node) and the id kinds of translateXid that
// are not types.
constexpr u32 RT_NONE = 0;
constexpr u32 RT_WINDOW = 1;
constexpr u32 RT_PIXMAP = 2;
constexpr u32 RT_GC = 3;
constexpr u32 RT_VISUAL = 4;
constexpr u32 RT_COLORMAP = 5;
constexpr u32 RT_CURSOR = 6;
constexpr u32 RT_FONT = 7;
constexpr u32 RT_DRAWABLE = 8;        // id kind: a window or a pixmap
constexpr u32 RT_HEAD = 9;
constexpr u32 RT_SERVER_ID = 10;      // known only by id on the servers
constexpr u32 RT_REAL_ROOT = 11;      // id kind: the head's real root window
constexpr u32 RT_REAL_COLORMAP = 12;  // id kind: the head's real default colormap
constexpr u32 RT_ATOM_WINDOW = 13;    // id kind: a window on the atom server's head
constexpr u32 RT_DBE_BUFFER = 14;
constexpr u32 RT_GLX_CONTEXT = 15;
constexpr u32 RT_GLX_PIXMAP = 16;
constexpr u32 RT_GLX_PBUFFER = 17;
constexpr u32 RT_SHM_SEGMENT = 18;
constexpr u32 RT_MBUF_BUFFER = 19;
constexpr u32 RT_PICT_FORMAT = 20;
constexpr u32 RT_PICTURE = 21;
constexpr u32 RT_GLYPHSET = 22;
constexpr u32 RT_XIE_PHOTOFLO = 23;
constexpr u32 kResourceTypeLimit = 24;  // one past the largest type

// Server displays a client can be linked to (the links' index range).
constexpr u32 kMaxServerIndexes = 32;

constexpr u32 kInitialHashBits = 6;
constexpr u32 kMaxHashBits = 11;
// The slot-0 counter of default ids starts here; the first default id is 32.
constexpr u32 kDefaultIdCounterStart = 31;

struct ResourceNode {
  ResourceNode* next;
  u32 id;
  u32 type;
  void* object;  // the type's record; for RT_SERVER_ID what its module stores
};

// One client slot. bucketCount 0 means the slot is free.
struct ClientResourceTable {
  ResourceNode** buckets;
  u32 nodeCount;
  u32 bucketCount;  // 2 to the hashBits; 64 when initialised, at most 2048
  u32 hashBits;
  u32 closeDownMode;  // the mode with which the slot's client stopped
  // Set for a client slot when it is first initialised and kept until every
  // slot is freed: the id bases below are valid.
  u8 hasIdBases;
  // The resource-id base that this client's connection to each server
  // received, by server index. The head's own bits (its sub-index on its
  // server) are added when an id is translated, so every head of a server
  // shares one entry.
  u32 serverIdBases[kMaxServerIndexes];
};

struct ResourceDatabase {
  ClientResourceTable slots[kMaxClientSlots];
  u32 defaultIdCounter;  // the last default id taken in slot 0
  u32 proxyIdCounter;    // the last proxy-global id (0: none taken yet)
};

// The proxy's lists of reference-counted records (records.h).
struct ResourceRecordLists {
  FontRecord* fonts;  // head's previous is the tail
  CursorRecord* cursors;
  PixmapRecord* zombies;
  u32 zombieCount;
};

// What the database does with the records of one type. Rows of the core types
// are built in; a module that owns another type registers its row when it
// starts. A missing operation does nothing (destroy) or gives none.
struct ResourceTypeRow {
  u32 type;
  const char* name;
  // Runs when a node of the type leaves the database.
  void (*destroy)(u32 id, void* object);
  // The meta screen the object belongs to, or null.
  MetaScreen* (*screenOf)(u32 id, void* object);
  // The visual of a drawable, or null.
  VisualRecord* (*visualOf)(void* object);
};

// False when the type is out of range or already has another row.
bool registerResourceType(const ResourceTypeRow& row);
// The row of a type (a row with null operations for unknown types).
const ResourceTypeRow& resourceTypeRow(u32 type);
// Runs the type's destructor for an object that leaves the database.
void destroyResourceObject(u32 type, u32 id, void* object);

// --- Lookups (a slot above 1023 or unused gives "not found") ----------------
void* lookupResourceByType(u32 id, u32 type);
ProxyWindow* lookupWindow(u32 id);
PixmapRecord* lookupPixmap(u32 id);
GCRecord* lookupGC(u32 id);
FontRecord* lookupFont(u32 id);
// The object of the first node with the id, whatever its type.
void* lookupResourceObject(u32 id);
// The type of the first node with the id (RT_NONE when none); its object
// through *object (may be null).
u32 lookupResourceAnyType(u32 id, void** object);
// 1 when the current client may not create the id (another client's space,
// or already used), else 0.
int isBadIdChoice(u32 id);
// The font record registered under a name, ignoring case; null when none.
FontRecord* findFontRecordByName(const char* name);
MetaScreen* getResourceScreen(u32 id);
MetaScreen* lookupScreenOfXid(u32 id);
MetaScreen* lookupWindowScreen(u32 id);
VisualRecord* visualOfDrawable(u32 id);
// Records in the client the type, object and meta screen of the resource that
// its current request names.
void setRequestResource(ProxyClient* client, u32 id);
// The same for a resource the caller has looked up already (type RT_NONE
// when the id names none).
void setRequestResourceFound(ProxyClient* client, u32 id, u32 type, void* object);

// --- Enumeration ------------------------------------------------------------
// A new array (release with free) of the ids of every node of the type,
// slots, buckets and chains ascending; null and 0 when none.
u32* listResourceIdsOfType(u32 type, u32* count);
// callback(id, object, client of the slot or null, argument, head) for every
// node of the type, slots ascending; stops at the first result 0 and returns
// 0, else 1. The callback must not add or free resources.
using ResourceCallback = int (*)(u32 id, void* object, ProxyClient* client, void* argument, Head* head);
int forEachResourceOfType(u32 type, ResourceCallback callback, void* argument, Head* head);

// --- Changes ----------------------------------------------------------------
// 1, or 0 when memory runs out.
int initClientResourceTable(u32 slot);
// The lowest free client slot (never 0, the proxy's own); 0 after "UNE" when
// every slot that ids can address is taken.
u32 findFreeClientSlot();
// Adds the id at the head of its bucket; the caller has checked the id with
// isBadIdChoice. 1, or 0 with the object destroyed (unknown slot, no memory).
int addResource(u32 id, u32 type, void* object);
// Removes every node with the id; objects of the spared type (RT_NONE spares
// none) are not destroyed: the caller disposes of them.
void freeResourceById(u32 id, u32 sparedType);
// freeResourceById(id, RT_NONE), then gives the id back when it was the last
// default id taken.
void freeResource(u32 id);
// Destroys the server copies on every head of every meta screen, then frees
// the id.
void freeResourceOnAllHeads(u32 id);
// Empties a slot (after a live client's save-set and keyboard state), then
// clears the owner of the slot's zombie pixmaps. The callers clear the
// current client while it runs.
void freeClientResources(u32 slot);
void freeRetainedTemporaryClients();
// At reset: every slot from 1023 down to 0, then "Init default xids...".
void freeAllClientResources();

// --- Ids of the proxy's own --------------------------------------------------
// Sets the counter of default ids back (the next default id is 32).
void initDefaultXids();
// The next default id of slot 0 (32, 33, ...).
u32 allocDefaultXid();
// An id inside the client's own space, from the top downwards, that no node
// and no zombie pixmap uses. A null client takes the first client; with no
// client at all the id lies in slot 0 (the proxy's), counting down from the
// top of its space. 0 when the space is exhausted.
u32 allocProxyXid(ProxyClient* client);
// The largest range of unused ids of the slot that the search finds (XC-MISC
// GetXIDRange); 0 and 0 when none.
void findFreeXidRange(u32 slot, u32* first, u32* last);

// --- Translation --------------------------------------------------------------
// Stores the id base that the slot's connection to the head's server received.
void setClientServerIdBase(u32 slot, const Head* head, u32 base);
// The id to use for a proxy id of the kind in a request for the head's server.
// A head without a server connection gives 0 (None). A null head gives the
// id unchanged.
u32 translateXid(u32 id, u32 kind, const Head* head);
// translateDrawableAndGC (both ids of a drawing request) is in xidpair.h.
// The head of the display to which a server id of a client connection
// belongs, or null.
Head* findHeadByServerXid(u32 serverId, const ServerDisplay* display);

// The bucket of an id for the table's hash bits.
u32 hashResourceId(const ClientResourceTable& table, u32 id);

}  // namespace palvon

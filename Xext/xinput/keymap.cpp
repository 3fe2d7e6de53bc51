// The KEYMAP extension: keyboard-mapping overrides per client.
#include "Xext/xinput/keymap.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Xext/extmodule.h"
#include "base/logging.h"
#include "base/wordswap.h"

namespace palvon {

namespace {

constexpr u8 kQueryExtension = 0, kChangeMapping = 1, kQueryMapping = 2, kDeleteMapping = 3, kChangeNext = 4;
constexpr u32 kDefaultId = 1;
constexpr u32 kKeycodes = 256;

struct KeymapOverride {
  KeymapOverride* next;
  ProxyClient* client;  // null for the default
  u32 keysyms[kKeycodes][kKeymapColumns];
};

struct KeymapNextQuery {
  KeymapNextQuery* next;
  ProxyClient* client;  // who asked
  u32 id;               // whose override its next answer shows
};

// Overrides and redirects outlive a reset of the extension.
KeymapOverride* overrides;
KeymapOverride* defaultOverride;
KeymapNextQuery* nextQueries;

template <class T>
void appendTail(T*& head, T* node) {
  T** at = &head;
  while (*at) at = &(*at)->next;
  *at = node;
}

KeymapOverride* overrideOf(const ProxyClient* client) {
  for (KeymapOverride* o = overrides; o; o = o->next)
    if (o->client == client) return o;
  return nullptr;
}

KeymapOverride* overrideForId(u32 id) {
  if (id == kDefaultId) return defaultOverride;
  ProxyClient* client = findClientByXid(id);
  return client ? overrideOf(client) : nullptr;
}

KeymapOverride* newOverride(ProxyClient* client) {
  auto* o = static_cast<KeymapOverride*>(memAlloc(sizeof(KeymapOverride)));
  if (!o) return nullptr;
  o->next = nullptr;
  o->client = client;
  for (auto& row : o->keysyms)
    for (u32& keysym : row) keysym = kKeymapUnset;
  return o;
}

void removeOverride(KeymapOverride* gone) {
  for (KeymapOverride** at = &overrides; *at; at = &(*at)->next) {
    if (*at != gone) continue;
    *at = gone->next;
    std::free(gone);
    return;
  }
}

void removeNextQueries(const ProxyClient* client) {
  for (KeymapNextQuery** at = &nextQueries; *at;) {
    KeymapNextQuery* q = *at;
    if (q->client != client) {
      at = &q->next;
      continue;
    }
    *at = q->next;
    std::free(q);
  }
}

bool keycodesFit(u32 first, u32 count) {
  return first >= proxyState.minKeycode && first + count - 1 <= proxyState.maxKeycode && first + count <= kKeycodes;
}

ServerLink* firstServerLink(ProxyClient* client) {
  for (ServerLink* link : linksOf(client))
    if (link) return link;
  return nullptr;
}

// The core reply handler's mark of a GetKeyboardMapping it answers with the
// server's keysyms (with the count in the low byte, no first keycode).
constexpr uintptr_t kKeymapServerAnswer = 0x100;

bool hostIsBigEndian() { return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__; }

// --- The fill from the server's mapping ------------------------------------------------
// A change waiting for the server's keysyms travels in the reply hook's
// argument word: the id, the changed range and whether the override was new.
struct PendingChange {
  u32 id;
  u8 first;
  u8 count;
  bool created;
};

void* packChange(const PendingChange& c) {
  return reinterpret_cast<void*>(uintptr_t(c.id) | uintptr_t(c.first) << 32 | uintptr_t(c.count) << 40 |
                                 uintptr_t(c.created) << 48);
}

PendingChange unpackChange(void* word) {
  auto v = reinterpret_cast<uintptr_t>(word);
  return {u32(v), u8(v >> 32), u8(v >> 40), bool((v >> 48) & 1)};
}

void finishChange(const PendingChange& change, const u8* reply, u32 available, bool foreign) {
  KeymapOverride* o = overrideForId(change.id);
  if (!o) return;
  if (change.id != kDefaultId)
    sendEventMappingNotify(o->client, u16(o->client->requestCounter), MappingKeyboard, change.first, change.count);
  if (!change.created || !reply) return;
  u32 perKeycode = reply[1];
  u32 count = available / 4;
  fillKeymapRows(o->keysyms, proxyState.minKeycode, proxyState.maxKeycode - proxyState.minKeycode + 1, reply + 32,
                 count, perKeycode, foreign);
}

int fillFromServerReply(ServerLink* link, const u8* reply, void* argument) {
  bool foreign = link->server.bigEndian != hostIsBigEndian();
  u64 words = loadU32(reply + 4, foreign);
  // The hook sees the whole reply; a length beyond what a GetKeyboardMapping
  // of 256 keycodes can hold is a broken server's.
  u64 available = reply[0] == 1 && words <= kKeycodes * 255 ? 4 * words : 0;
  finishChange(unpackChange(argument), reply, u32(available), foreign);
  return 1;
}

// --- Requests ------------------------------------------------------------------------

u16 requestKeyOf(const u8* request) { return u16(request[0] | request[1] << 8); }

void ProcKeymapQueryExtension(u8* request, u32) {
  ProxyClient* client = currentClient;
  composeVersionReply(client, client->requestCounter, requestKeyOf(request), kModuleKeymap);
}

void ProcKeymapChangeMapping(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 id = get32(request + 4), first = request[8], perKeycode = request[9], count = request[10];
  // A row holds 8 keysyms; nothing is read beyond the request.
  if (perKeycode > kKeymapColumns) return sendXError(BadValue, perKeycode, request, length, nullptr);
  if (u64{length} < 12 + 4ull * count * perKeycode) return sendXError(BadLength, length, request, length, nullptr);
  if (count && !keycodesFit(first, count)) return sendXError(BadValue, first, request, length, nullptr);
  ProxyClient* target = nullptr;
  if (id != kDefaultId && !(target = findClientByXid(id))) return sendXError(BadValue, id, request, length, nullptr);
  KeymapOverride* o = id == kDefaultId ? defaultOverride : overrideOf(target);
  bool created = !o;
  if (created) {
    if (!(o = newOverride(target))) return sendXError(BadAlloc, 0, request, length, nullptr);
    if (target) appendTail(overrides, o);
    else defaultOverride = o;
  }
  for (u32 k = 0; k < count; k++) {
    u32* row = o->keysyms[first + k];
    std::memset(row, 0, 4 * kKeymapColumns);
    for (u32 c = 0; c < perKeycode; c++) row[c] = get32(request + 12 + 4 * (k * perKeycode + c));
  }
  PendingChange change{id, u8(first), u8(count), created};
  ServerLink* link = firstServerLink(client);
  if (!created || !link) return finishChange(change, nullptr, 0, false);
  // The rest of a new override comes from the server's mapping.
  requestGetKeyboardMapping(link, u8(proxyState.minKeycode), u8(proxyState.maxKeycode - proxyState.minKeycode + 1));
  addReplyHook(link, fillFromServerReply, packChange(change));
}

void ProcKeymapQueryMapping(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 id = get32(request + 4), first = request[8], count = request[9];
  KeymapOverride* o = overrideForId(id);
  if (o && count && keycodesFit(first, count)) {
    u8 reply[32 + kKeycodes * kKeymapColumns * 4] = {};
    reply[0] = 1;
    reply[1] = kKeymapColumns;
    put16(reply + 2, u16(client->requestCounter));
    put32(reply + 4, count * kKeymapColumns);
    for (u32 k = 0; k < count; k++)
      for (u32 c = 0; c < kKeymapColumns; c++) put32(reply + 32 + 4 * (k * kKeymapColumns + c), o->keysyms[first + k][c]);
    return sendComposedReply(request[0], request[1], reply, 32 + 4 * count * kKeymapColumns, "bbsiI", client);
  }
  // No override to show: the server's own mapping answers.
  ServerLink* link = firstServerLink(client);
  if (!link) return sendXError(BadImplementation, 0, request, length, nullptr);
  requestGetKeyboardMapping(link, u8(first), u8(count));
  stashRequestData(link, X_GetKeyboardMapping, reinterpret_cast<void*>(kKeymapServerAnswer | count), nullptr);
  if (openLinkCount(client) > 1) noteRequestWithoutReply(request);
}

void ProcKeymapDeleteMapping(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (id == kDefaultId) {
    std::free(defaultOverride);
    defaultOverride = nullptr;
    return;
  }
  ProxyClient* target = findClientByXid(id);
  if (!target) return sendXError(BadValue, id, request, length, nullptr);
  u32 first = proxyState.minKeycode;
  sendEventMappingNotify(target, u16(target->requestCounter), MappingKeyboard, u8(first),
                         u8(proxyState.maxKeycode - first + 1));
  dropClientKeymapOverride(target);
}

void ProcKeymapChangeNext(u8* request, u32 length) {
  auto* q = static_cast<KeymapNextQuery*>(memAlloc(sizeof(KeymapNextQuery)));
  if (!q) return sendXError(BadAlloc, 0, request, length, nullptr);
  *q = {nullptr, currentClient, get32(request + 4)};
  appendTail(nextQueries, q);
}

constexpr RequestRow kRequests[] = {
    {kQueryExtension, "KeymapQueryExtension", ProcKeymapQueryExtension, nullptr, "bbsss", "bbsissii", exactSize(8),
     Route::kLocal},
    {kChangeMapping, "KeymapChangeClientKeyboardMapping", ProcKeymapChangeMapping, nullptr, "bbsibbbbI", nullptr,
     atLeastSize(12), Route::kLocal},
    {kQueryMapping, "KeymapQueryClientKeyboardMapping", ProcKeymapQueryMapping, nullptr, "bbsibbs", "bbsiI",
     exactSize(12), Route::kLocal},
    {kDeleteMapping, "KeymapDeleteClientKeyboardMapping", ProcKeymapDeleteMapping, nullptr, "bbsi", nullptr,
     exactSize(8), Route::kLocal},
    {kChangeNext, "KeymapChangeNextGetKeyboardMapping", ProcKeymapChangeNext, nullptr, "bbsi", nullptr, exactSize(8),
     Route::kLocal},
};

}  // namespace

void fillKeymapRows(u32 (*rows)[kKeymapColumns], u32 fillFirst, u32 fillCount, const u8* keysyms, u32 count,
                    u32 perKeycode, bool foreign) {
  if (!perKeycode) return;
  u32 take = perKeycode < kKeymapColumns ? perKeycode : kKeymapColumns;
  for (u32 k = 0; k < fillCount && fillFirst + k < kKeycodes; k++) {
    u32* row = rows[fillFirst + k];
    if (row[0] != kKeymapUnset) continue;
    std::memset(row, 0, 4 * kKeymapColumns);
    u64 at = u64{k} * perKeycode;
    for (u32 c = 0; c < take && at + c < count; c++) row[c] = loadU32(keysyms + 4 * (at + c), foreign);
  }
}

void createClientKeymapOverride(ProxyClient* client) {
  if (!defaultOverride || !client) return;
  KeymapOverride* o = newOverride(client);
  if (!o) return PALVON_UNE();
  std::memcpy(o->keysyms, defaultOverride->keysyms, sizeof o->keysyms);
  appendTail(overrides, o);
}

void dropClientKeymapOverride(ProxyClient* client) {
  if (KeymapOverride* o = overrideOf(client)) removeOverride(o);
  removeNextQueries(client);
}

bool applyKeymapOverride(ProxyClient* client, u16 sequence, u32 first, u32 count) {
  KeymapOverride* o = overrideOf(client);
  for (KeymapNextQuery** at = &nextQueries; *at; at = &(*at)->next) {
    KeymapNextQuery* q = *at;
    if (q->client != client) continue;
    *at = q->next;
    if (ProxyClient* named = q->id == kDefaultId ? nullptr : findClientByXid(q->id)) o = overrideOf(named);
    else if (q->id == kDefaultId) o = defaultOverride;
    std::free(q);
    break;
  }
  if (!o || !count || first + count > kKeycodes) return false;
  if (!sendReplyGetKeyboardMapping(client, sequence, o->keysyms[first], kKeymapColumns, count, count))
    PALVON_OOM();
  return true;
}

const char* initKeymapExtension(ExtensionEntry* entry) {
  serviceHooks.createClientKeymap = createClientKeymapOverride;
  serviceHooks.dropClientKeymap = dropClientKeymapOverride;
  serviceHooks.applyClientKeymap = applyKeymapOverride;
  return registerModule(entry, "MORVANDELL KEYMAP", {kRequests, rowCount(kRequests), nullptr, 0, nullptr, 0},
                        {kModuleKeymap, nullptr, nullptr, true});
}

}  // namespace palvon

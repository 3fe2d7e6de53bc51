// XIE.
#include "Xext/xie/xie.h"

#include <X11/X.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/requests/input.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Xext/extmodule.h"
#include "Xext/xie/photoflo.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kExecuteImmediate = 16, kCreatePhotoflo = 17, kDestroyPhotoflo = 18, kExecutePhotoflo = 19,
             kModifyPhotoflo = 20, kRedefinePhotoflo = 21;
// The import map of an execution waits under this code for its events.
constexpr u8 kStashImportMap = 16;

// --- The model as the element arithmetic sees it ----------------------------------------

Head* xieHead() { return proxyState.screens ? proxyState.screens->heads : nullptr; }

u32 splitHeads() {
  u32 n = proxyState.maxHeadsPerScreen ? proxyState.maxHeadsPerScreen : 1;
  return n < kFloMaxHeads ? n : kFloMaxHeads;
}

Rect metaRect(const Head* head) {
  return {head->logical.x, head->logical.y, u32(head->logical.width > 0 ? head->logical.width : 0),
          u32(head->logical.height > 0 ? head->logical.height : 0)};
}

bool floScreenOf(u32 drawable, FloScreen* out, Rect* window, bool* isWindow, void*) {
  MetaScreen* screen = lookupScreenOfXid(drawable);
  if (!screen || !screen->heads) return false;
  out->first = screen->heads;
  out->firstRect = metaRect(screen->heads);
  for (Head* head = screen->heads; head && out->headCount < kFloMaxHeads; head = head->next) {
    out->heads[out->headCount] = head;
    out->headRects[out->headCount++] = metaRect(head);
    if (head->screen < kFloMaxHeads && !out->byNumber[head->screen]) {
      out->byNumber[head->screen] = head;
      out->rects[head->screen] = metaRect(head);
    }
  }
  const ProxyWindow* w = lookupWindow(drawable);
  *isWindow = w != nullptr;
  if (w) *window = {w->x, w->y, w->width, w->height};
  return true;
}

u32 floDrawableOnHead(u32 drawable, const Head* head, void*) {
  return head ? mapDrawableToHead(drawable, head) : drawable;
}
u32 floIdOnHead(u32 id, u32 kind, const Head* head, void*) { return head ? translateXid(id, kind, head) : id; }

FloModel currentModel() { return {splitHeads(), floScreenOf, floDrawableOnHead, floIdOnHead, xieHead(), nullptr}; }

u32 xieId(u32 id) {
  Head* head = xieHead();
  return head ? translateXid(id, RT_SERVER_ID, head) : id;
}

ServerLink* xieLink() {
  Head* head = xieHead();
  ProxyClient* client = currentClient;
  if (head) return clientLink(client, head->serverIndex);
  for (ServerLink* link : linksOf(client)) return link;
  return nullptr;
}

// --- Stored photoflos -----------------------------------------------------------------

struct PhotofloRecord {
  u32 count;
  u32 imports;
  FloElementInfo* info;    // count + 1 entries
  FloImportMapEntry* map;  // imports + 1 entries, or null
};

void destroyPhotofloRecord(u32, void* object) {
  auto* record = static_cast<PhotofloRecord*>(object);
  if (!record) return;
  std::free(record->info);
  std::free(record->map);
  std::free(record);
}

// An import map kept for one execution's events.
struct StashedMap {
  u32 entries;
  u32 n;
  FloImportMapEntry map[1];
};

void stashImportMap(ServerLink* link, const FloImportMapEntry* map, u32 entries) {
  if (!map || !entries) return;
  auto* stashed = static_cast<StashedMap*>(std::malloc(sizeof(StashedMap) + entries * sizeof(FloImportMapEntry)));
  if (!stashed) {
    PALVON_OOM();
    return;
  }
  stashed->entries = entries;
  stashed->n = splitHeads();
  std::memcpy(stashed->map, map, entries * sizeof(FloImportMapEntry));
  stashRequestData(link, kStashImportMap, stashed, std::free);
  // Anything the server sends after the round trip releases the stash.
  queueRoundTripCallback(
      link, [](const u8*, void*) {}, nullptr, nullptr);
}

// --- Photoflo requests -------------------------------------------------------------------

// The element lists are rewritten where they lie and are not swapped: a
// client or a link of the other byte order cannot send them.
bool refusesOtherOrder(const u8* request, u32 length, ServerLink* link) {
  if (!currentClient->parser.swapped && link && !link->writer.swap) return false;
  sendXError(BadImplementation, 0, request, length, nullptr);
  return true;
}

// A list measured and the room it needs; false after BadLength.
bool measureList(const u8* request, u32 length, u32 header, u32 count, FloMeasure* measure) {
  u64 total = 0;
  if (photofloMeasure(request + header, length - header, count, splitHeads(), measure)) {
    total = header + measure->translatedBytes + measure->appendedBytes;
    // The new element count is 16 bits, and the whole must fit a request.
    u64 limit = currentClient->bigRequests ? proxyState.maxBigRequestBytes : kMaxPlainRequest;
    if (u64{measure->elements} + measure->appended <= 0xffff && total <= (limit ? limit : kMaxPlainRequest))
      return true;
  }
  sendXError(BadLength, length, request, length, nullptr);
  return false;
}

// Reserves the new request on the link and writes header and translated
// list; null after BadAlloc. `countAt` is the 16-bit element count.
u8* writeTranslated(const u8* request, u32 length, u32 header, u32 countAt, const FloMeasure& m, u32 firstTag,
                    FloImportMapEntry* map, FloElementInfo* info, ServerLink* link) {
  u32 total = u32(header + m.translatedBytes + m.appendedBytes);
  u8* p = allocServerRequest(link, request[0], request[1], total);
  if (!p) {
    sendXError(BadAlloc, 0, request, length, nullptr);
    return nullptr;
  }
  std::memcpy(p + 4, request + 4, header - 4);
  FloModel model = currentModel();
  u32 appended = photofloTranslate(request + header, get16(request + countAt), 1, p + header,
                                   p + header + m.translatedBytes, firstTag, map, info, model);
  put16(p + countAt, static_cast<u16>(get16(request + countAt) + appended));
  if (openLinkCount(currentClient) > 1) noteRequestWithoutReply(request);
  return p;
}

// A new record for a list; null after BadAlloc.
PhotofloRecord* newRecord(const u8* request, u32 length, u32 count, const FloMeasure& m) {
  auto* record = static_cast<PhotofloRecord*>(std::calloc(1, sizeof(PhotofloRecord)));
  if (record) {
    record->count = count;
    record->imports = m.imports;
    record->info = static_cast<FloElementInfo*>(std::calloc(count + 1, sizeof(FloElementInfo)));
    record->map =
        m.imports ? static_cast<FloImportMapEntry*>(std::calloc(m.imports + 1, sizeof(FloImportMapEntry))) : nullptr;
  }
  if (!record || !record->info || (m.imports && !record->map)) {
    destroyPhotofloRecord(0, record);
    PALVON_OOM();
    sendXError(BadAlloc, 0, request, length, nullptr);
    return nullptr;
  }
  return record;
}

void ProcXieCreatePhotoflo(u8* request, u32 length) {
  ServerLink* link = xieLink();
  if (refusesOtherOrder(request, length, link)) return;
  u32 id = get32(request + 4), count = get16(request + 8);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  FloMeasure m;
  if (!measureList(request, length, 12, count, &m)) return;
  PhotofloRecord* record = newRecord(request, length, count, m);
  if (!record) return;
  if (!link) return destroyPhotofloRecord(0, record);
  if (!addResource(id, RT_XIE_PHOTOFLO, record)) return sendXError(BadAlloc, 0, request, length, nullptr);
  u8* p = writeTranslated(request, length, 12, 8, m, count + 1, record->map, record->info, link);
  if (!p) return freeResourceById(id, RT_NONE);
  put32(p + 4, xieId(id));
}

void ProcXieRedefinePhotoflo(u8* request, u32 length) {
  ServerLink* link = xieLink();
  if (refusesOtherOrder(request, length, link) || !link) return;
  u32 id = get32(request + 4), count = get16(request + 8);
  auto* record = static_cast<PhotofloRecord*>(lookupResourceByType(id, RT_XIE_PHOTOFLO));
  if (!record) {
    u8* copy = copyRequestToServer(request, length, link);
    if (!copy) return sendXError(BadAlloc, 0, request, length, nullptr);
    put32(copy + 4, xieId(id));
    return;
  }
  FloMeasure m;
  if (!measureList(request, length, 12, count, &m)) return;
  PhotofloRecord* fresh = newRecord(request, length, count, m);
  if (!fresh) return;
  u8* p = writeTranslated(request, length, 12, 8, m, count + 1, fresh->map, fresh->info, link);
  if (!p) return destroyPhotofloRecord(0, fresh);
  put32(p + 4, xieId(id));
  std::swap(*record, *fresh);
  destroyPhotofloRecord(0, fresh);
}

void ProcXieExecuteImmediate(u8* request, u32 length) {
  ServerLink* link = xieLink();
  if (refusesOtherOrder(request, length, link) || !link) return;
  u32 count = get16(request + 12);
  FloMeasure m;
  if (!measureList(request, length, 16, count, &m)) return;
  FloImportMapEntry* map = nullptr;
  if (m.imports && !(map = static_cast<FloImportMapEntry*>(std::calloc(m.imports, sizeof(FloImportMapEntry))))) {
    PALVON_OOM();
    return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  u8* p = writeTranslated(request, length, 16, 12, m, count + 1, map, nullptr, link);
  if (p) {
    u32 photospace = get32(request + 4);
    if (photospace)
      put32(p + 4, xieId(photospace));
    else
      put32(p + 8, xieId(get32(request + 8)));
    stashImportMap(link, map, m.imports);
  }
  std::free(map);
}

// XieModifyPhotoflo of `count` elements from phototag `first`; false when
// it could not be reserved.
bool writeModifyPhotoflo(ServerLink* link, u8 major, u32 photoflo, u32 first, u32 count, const u8* elements,
                         u32 bytes) {
  u8* p = allocServerRequest(link, major, kModifyPhotoflo, 12 + bytes);
  if (!p) return false;
  put32(p + 4, photoflo);
  put16(p + 8, static_cast<u16>(first));
  put16(p + 10, static_cast<u16>(count));
  std::memcpy(p + 12, elements, bytes);
  swapServerRequest(link, p, 12 + bytes, "bbsiss");
  return true;
}

// The import maps' index of the first import at or after element `from`.
u32 importsBefore(const PhotofloRecord* record, u32 from) {
  u32 imports = 0;
  for (u32 i = 0; i + 1 < from && i < record->count; i++) {
    u16 type = get16(record->info[i].element);
    imports += type == kFloImportDrawable || type == kFloImportDrawablePlane;
  }
  return imports;
}

// The stored elements s .. s + c - 1 have the types of the new ones.
bool typesMatch(const PhotofloRecord* record, const u8* list, u32 first, u32 count) {
  for (u32 j = 0; j < count; j++) {
    u32 bytes = u32{get16(list + 2)} * 4;
    if (bytes == 0) return true;
    if (get16(record->info[first - 1 + j].element) != get16(list)) return false;
    list += bytes;
  }
  return true;
}

void ProcXieModifyPhotoflo(u8* request, u32 length) {
  ServerLink* link = xieLink();
  if (refusesOtherOrder(request, length, link) || !link) return;
  u32 id = get32(request + 4), first = get16(request + 8), count = get16(request + 10);
  auto* record = static_cast<PhotofloRecord*>(lookupResourceByType(id, RT_XIE_PHOTOFLO));
  FloMeasure m;
  if (!measureList(request, length, 12, count, &m)) return;
  bool consistent = record && first != 0 && u64{first} + count - 1 <= record->count;
  if (consistent && !typesMatch(record, request + 12, first, count)) {
    PALVON_UNE();
    consistent = false;
  }
  if (!consistent) {
    // The server judges a modification that does not fit the photoflo.
    u8* copy = copyRequestToServer(request, length, link);
    if (!copy) return sendXError(BadAlloc, 0, request, length, nullptr);
    put32(copy + 4, xieId(id));
    return;
  }
  u32 n = splitHeads(), firstTag = photofloFirstAppendedTag(record->info, record->count, first, n);
  u8* translated = static_cast<u8*>(std::malloc(m.translatedBytes + m.appendedBytes + 4));
  if (!translated) {
    PALVON_OOM();
    return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  FloImportMapEntry* map = record->map ? record->map + importsBefore(record, first) : nullptr;
  FloModel model = currentModel();
  u32 appended = photofloTranslate(request + 12, count, first, translated, translated + m.translatedBytes, firstTag,
                                   map, record->info + first - 1, model);
  u32 xid = xieId(id);
  if (appended && !writeModifyPhotoflo(link, request[0], xid, firstTag, appended, translated + m.translatedBytes,
                                       u32(m.appendedBytes))) {
    std::free(translated);
    return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  bool sent = writeModifyPhotoflo(link, request[0], xid, first, count, translated, u32(m.translatedBytes));
  std::free(translated);
  if (!sent) return sendXError(BadAlloc, 0, request, length, nullptr);
  if (openLinkCount(currentClient) > 1) noteRequestWithoutReply(request);
}

// An import whose window moved since the last split is split again, and
// the server's copy of the photoflo modified before it runs.
bool resplitMoved(PhotofloRecord* record, u32 xid, u8 major, ServerLink* link) {
  u32 n = splitHeads();
  u8 pasteUp[12 * kFloMaxHeads + 28];
  u8 imports[28 * kFloMaxHeads];
  for (u32 i = 0; i < record->count; i++) {
    FloElementInfo& entry = record->info[i];
    if (entry.window.width == 0 || entry.window.height == 0) continue;
    const ProxyWindow* window = lookupWindow(get32(entry.element + 4));
    if (!window) continue;
    if (window->x == entry.window.x && window->y == entry.window.y && window->width == entry.window.width &&
        window->height == entry.window.height)
      continue;
    u8 element[28];
    std::memcpy(element, entry.element, sizeof element);
    u32 bytes = u32{get16(element + 2)} * 4;
    if (bytes > sizeof element) put16(element + 2, sizeof element / 4);
    u32 firstTag = photofloFirstAppendedTag(record->info, record->count, i + 1, n);
    FloImportMapEntry* map = record->map ? record->map + importsBefore(record, i + 1) : nullptr;
    FloModel model = currentModel();
    u32 appended = photofloTranslate(element, 1, i + 1, pasteUp, imports, firstTag, map, &entry, model);
    u32 copyBytes = u32{get16(element + 2)} * 4;
    if (!writeModifyPhotoflo(link, major, xid, i + 1, 1, pasteUp, 12 * n + 28) ||
        !writeModifyPhotoflo(link, major, xid, firstTag, appended, imports, appended * copyBytes))
      return false;
  }
  return true;
}

// --- Simple requests ----------------------------------------------------------------------

enum class IdRule : u8 { kNone, kCreate, kUse, kDestroy, kSpaceOrFlo };

struct SimpleCall {
  IdRule rule;
  u32 id;  // the client's id named at 4
};

void rewriteSimple(u8* copy, u32, const RouteTarget&, void* argument) {
  auto* call = static_cast<SimpleCall*>(argument);
  switch (call->rule) {
    case IdRule::kNone: return;
    case IdRule::kSpaceOrFlo:
      if (get32(copy + 4))
        put32(copy + 4, xieId(get32(copy + 4)));
      else
        put32(copy + 8, xieId(get32(copy + 8)));
      return;
    default: put32(copy + 4, xieId(call->id)); return;
  }
}

IdRule idRuleOf(u8 minor) {
  switch (minor) {
    case 1:
    case 2: return IdRule::kNone;
    case 3:
    case 7:
    case 9:
    case 12:
    case 14: return IdRule::kCreate;
    case 4:
    case 8:
    case 10:
    case 13:
    case 15:
    case kDestroyPhotoflo: return IdRule::kDestroy;
    case 5:
    case 6:
    case 11:
    case kExecutePhotoflo: return IdRule::kUse;
    default: return IdRule::kSpaceOrFlo;
  }
}

void ProcXieSimple(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u8 minor = request[1];
  SimpleCall call{idRuleOf(minor), get32(request + 4)};
  if (call.rule == IdRule::kCreate && isBadIdChoice(call.id))
    return sendXError(BadIDChoice, call.id, request, length, nullptr);
  ServerLink* link = xieLink();
  if (!link) return forwardOrAnswer(request, length);
  if (minor == kExecutePhotoflo) {
    auto* record = static_cast<PhotofloRecord*>(lookupResourceByType(call.id, RT_XIE_PHOTOFLO));
    if (record && !client->parser.swapped && !link->writer.swap &&
        !resplitMoved(record, xieId(call.id), request[0], link))
      return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  bool failed = false;
  forwardToHead(xieHead(), request, length, rewriteSimple, &call, &failed);
  if (failed) return;
  if (minor == kExecutePhotoflo) {
    auto* record = static_cast<PhotofloRecord*>(lookupResourceByType(call.id, RT_XIE_PHOTOFLO));
    if (record) stashImportMap(link, record->map, record->imports);
  }
  if (call.rule == IdRule::kCreate && !addResource(call.id, RT_SERVER_ID, proxyState.screens)) {
    PALVON_OOM();
  }
  if (call.rule == IdRule::kDestroy) freeResourceById(call.id, minor == kDestroyPhotoflo ? RT_NONE : RT_SERVER_ID);
}

// --- Replies, events and errors -----------------------------------------------------------

const ServerDisplay* linkDisplay() { return currentLink ? currentLink->server.display : nullptr; }

void ReplyXieQueryColorList(u8* reply, u32 length) {
  if (length >= 12) put32(reply + 8, mapServerXidToClient(get32(reply + 8), linkDisplay()));
  sendReplyToClient(reply, length, "bbsii");
}

void xieEvent(u8* event, LayoutString layout) {
  if (!(event[0] & 0x80)) {
    const ServerDisplay* display = linkDisplay();
    put32(event + 4, translateServerTimestamp(get32(event + 4), display));
    u32 at = get32(event + 8) ? 8 : 12;
    put32(event + at, mapServerXidToClient(get32(event + at), display));
  }
  sendEventToClient(event, layout, 0);
}

void EventXieColorAlloc(u8* event) {
  if (!(event[0] & 0x80)) put32(event + 20, mapServerXidToClient(get32(event + 20), linkDisplay()));
  xieEvent(event, "bbsiiississi");
}
void EventXieDecodeNotify(u8* event) { xieEvent(event, "bbsiiisssbbii"); }
void EventXieExportAvailable(u8* event) { xieEvent(event, "bbsiiissiii"); }
void EventXiePhotofloDone(u8* event) { xieEvent(event, "bbsiii"); }

// An appended import's phototag names the client's own import.
void EventXieImportObscured(u8* event) {
  if (!(event[0] & 0x80)) {
    auto* stashed = currentLink ? static_cast<StashedMap*>(peekStashedData(currentLink, kStashImportMap)) : nullptr;
    if (stashed)
      put16(event + 16,
            static_cast<u16>(photofloClientTag(stashed->map, stashed->entries, stashed->n, get16(event + 16))));
    put32(event + 20, mapServerXidToClient(get32(event + 20), linkDisplay()));
  }
  xieEvent(event, "bbsiiississss");
}

void ErrorXieNoFlo(u8* error) {
  const ServerDisplay* display = linkDisplay();
  u32 at = get32(error + 12) ? 12 : 4;
  put32(error + at, mapServerXidToClient(get32(error + at), display));
  switch (error[11]) {
    case 3:
    case 4:
    case 6:
    case 8:
    case 11:
    case 14:
    case 15: put32(error + 20, mapServerXidToClient(get32(error + 20), display)); break;
    default: break;
  }
  logServerError(error, "XieNoFlo error code %d, flo 0x%x, resource 0x%x", error[11], get32(error + 4),
                 get32(error + 20));
  sendErrorToClient(error, "bbsisbbissi");
}

constexpr Route kNo = Route::kNone;

constexpr RequestRow kRequests[] = {
    {1, "XieQueryImageExtension", ProcXieSimple, nullptr, "bbsss", "bbsissbbsI", exactSize(8), kNo},
    {2, "XieQueryTechniques", ProcXieSimple, nullptr, "bbs", "bbsis", exactSize(8), kNo},
    {3, "XieCreateColorList", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {4, "XieDestroyColorList", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {5, "XiePurgeColorList", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {6, "XieQueryColorList", ProcXieSimple, ReplyXieQueryColorList, "bbsi", "bbsii", exactSize(8), kNo},
    {7, "XieCreateLUT", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {8, "XieDestroyLUT", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {9, "XieCreatePhotomap", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {10, "XieDestroyPhotomap", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {11, "XieQueryPhotomap", ProcXieSimple, nullptr, "bbsi", "bbsibbsI", exactSize(8), kNo},
    {12, "XieCreateROI", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {13, "XieDestroyROI", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {14, "XieCreatePhotospace", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {15, "XieDestroyPhotospace", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {kExecuteImmediate, "XieExecuteImmediate", ProcXieExecuteImmediate, nullptr, "bbs", "", atLeastSize(16), kNo},
    {kCreatePhotoflo, "XieCreatePhotoflo", ProcXieCreatePhotoflo, nullptr, "bbs", "", atLeastSize(12), kNo},
    {kDestroyPhotoflo, "XieDestroyPhotoflo", ProcXieSimple, nullptr, "bbsi", "", exactSize(8), kNo},
    {kExecutePhotoflo, "XieExecutePhotoflo", ProcXieSimple, nullptr, "bbsi", "", exactSize(12), kNo},
    {kModifyPhotoflo, "XieModifyPhotoflo", ProcXieModifyPhotoflo, nullptr, "bbs", "", atLeastSize(12), kNo},
    {kRedefinePhotoflo, "XieRedefinePhotoflo", ProcXieRedefinePhotoflo, nullptr, "bbs", "", atLeastSize(12), kNo},
    {22, "XiePutClientData", ProcXieSimple, nullptr, "bbsiisbbi", "", atLeastSize(20), kNo},
    {23, "XieGetClientData", ProcXieSimple, nullptr, "bbsiiis", "bbsii", exactSize(20), kNo},
    {24, "XieQueryPhotoflo", ProcXieSimple, nullptr, "bbsI", "bbsiss", atLeastSize(12), kNo},
    {25, "XieAwait", ProcXieSimple, nullptr, "bbsii", "", exactSize(12), kNo},
    {26, "XieAbort", ProcXieSimple, nullptr, "bbsii", "", exactSize(12), kNo},
};

constexpr EventRow kEvents[] = {
    {0, "XieColorAlloc", EventXieColorAlloc, "bbsiiississi"},
    {1, "XieDecodeNotify", EventXieDecodeNotify, "bbsiiisssbbii"},
    {2, "XieExportAvailable", EventXieExportAvailable, "bbsiiissiii"},
    {3, "XieImportObscured", EventXieImportObscured, "bbsiiississss"},
    {4, "XiePhotofloDone", EventXiePhotofloDone, "bbsiii"},
};

constexpr ErrorRow kErrors[] = {
    {0, "XieNoColorList", nullptr, ErrorValue::kResourceId},  {1, "XieNoLUT", nullptr, ErrorValue::kResourceId},
    {2, "XieNoPhotoflo", nullptr, ErrorValue::kResourceId},   {3, "XieNoPhotomap", nullptr, ErrorValue::kResourceId},
    {4, "XieNoPhotospace", nullptr, ErrorValue::kResourceId}, {5, "XieNoROI", nullptr, ErrorValue::kResourceId},
    {6, "XieNoFlo", ErrorXieNoFlo, ErrorValue::kResourceId},
};

}  // namespace

const char* initXieExtension(ExtensionEntry* entry) {
  // The options first: run-time servers bring a holding server of their own,
  // and the option is the truer reason.
  if (proxyConfig.options & kOptionDynamicServer)
    return tmpPrintf("Extension XIE disabled to support option %s", "DynamicServer");
  if (proxyConfig.options & kOptionTavel) return tmpPrintf("Extension XIE disabled to support option %s", "Tavel");
  if (serverDisplayCount > 1) return "Extension XIE disabled to support multiple X servers";
  // Photoflo element lists travel in the proxy's order.
  if (serverDisplayList && serverDisplayList->byteOrderDiffers)
    return "Extension XIE disabled: the server's byte order differs from the proxy's";
  registerResourceType({RT_XIE_PHOTOFLO, "XIE_PHOTOFLO", destroyPhotofloRecord, nullptr, nullptr});
  return registerModule(entry, "XIE",
                        {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), kErrors, rowCount(kErrors)},
                        {kModuleXie, nullptr, nullptr, false});
}

}  // namespace palvon

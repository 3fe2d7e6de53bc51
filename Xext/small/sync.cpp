// SYNC.
#include "Xext/small/sync.h"

#include <X11/X.h>

#include <utility>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/resource.h"
#include "Xext/extmodule.h"
#include "base/bits.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kInitialize = 0, kListSystemCounters = 1, kCreateCounter = 2, kSetCounter = 3, kChangeCounter = 4,
             kQueryCounter = 5, kDestroyCounter = 6, kAwait = 7, kCreateAlarm = 8, kChangeAlarm = 9, kQueryAlarm = 10,
             kDestroyAlarm = 11, kSetPriority = 12, kGetPriority = 13;
constexpr u32 kAlarmCounterBit = 0x1, kAlarmValueBit = 0x4, kAlarmDeltaBit = 0x10;
constexpr u32 kWaitConditionBytes = 28;

// --- Ids of the primary display ---------------------------------------------------------

// The id at byte 4 of every copy is a counter or an alarm.
void rewriteId(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, target.head));
}

// A new counter or alarm: entered before it is forwarded, so that the copy
// can be translated and the id is freed with the client.
void ProcSyncCreate(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  if (!addResource(id, RT_SERVER_ID, firstMetaScreen())) return sendXError(BadAlloc, 0, request, length, nullptr);
  forwardRequest(request, length, rewriteId, nullptr);
}

void ProcSyncOnId(u8* request, u32 length) { forwardRequest(request, length, rewriteId, nullptr); }

// Only the client's own counter or alarm leaves its table: another kind of
// resource under that id stays, and the server answers the mistake.
void ProcSyncDestroy(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (!forwardRequest(request, length, rewriteId, nullptr)) return;
  if (lookupResourceByType(id, RT_SERVER_ID)) freeResourceById(id, RT_NONE);
}

// Every wait condition names its counter first.
void rewriteAwait(u8* copy, u32 length, const RouteTarget& target, void*) {
  for (u32 at = 4; at + kWaitConditionBytes <= length; at += kWaitConditionBytes)
    put32(copy + at, translateXid(get32(copy + at), RT_SERVER_ID, target.head));
}

// The server holds the client's link until the wait is over, as long as
// the client likes: its next requests wait in the proxy instead, so that
// none of them makes the proxy wait on that link, and every other client
// goes on (one of them may be the one to end the wait).
void ProcSyncAwait(u8* request, u32 length) {
  if (!forwardRequest(request, length, rewriteAwait, nullptr)) return;
  if (ServerLink* link = firstTargetLink(Route::kMainHead)) holdUntilServerPasses(link);
}

// The alarm, and its counter when the mask names one (the first value).
void rewriteAlarm(u8* copy, u32, const RouteTarget& target, void*) {
  rewriteId(copy, 0, target, nullptr);
  if (get32(copy + 8) & kAlarmCounterBit) put32(copy + 12, translateXid(get32(copy + 12), RT_SERVER_ID, target.head));
}

bool alarmLengthFits(const u8* request, u32 length) {
  return length >= 12 && u64{length} == 12 + u64{syncAlarmValueBytes(get32(request + 8))};
}

void ProcSyncCreateAlarm(u8* request, u32 length) {
  if (!alarmLengthFits(request, length)) return sendXError(BadLength, length, request, length, nullptr);
  u32 id = get32(request + 4);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  if (!addResource(id, RT_SERVER_ID, firstMetaScreen())) return sendXError(BadAlloc, 0, request, length, nullptr);
  forwardRequest(request, length, rewriteAlarm, nullptr);
}

void ProcSyncChangeAlarm(u8* request, u32 length) {
  if (!alarmLengthFits(request, length)) return sendXError(BadLength, length, request, length, nullptr);
  forwardRequest(request, length, rewriteAlarm, nullptr);
}

// A client's priority is set on every server that serves it. Any of the
// client's resources names the client; None names the requester.
void rewritePriority(u8* copy, u32, const RouteTarget& target, void*) {
  u32 id = get32(copy + 4);
  if (id != None) put32(copy + 4, translateXid(id, RT_SERVER_ID, target.head));
}

void ProcSyncPriority(u8* request, u32 length) { forwardRequest(request, length, rewritePriority, nullptr); }

// --- Replies, events and errors -------------------------------------------------------------

void ReplySyncInitialize(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleSync, "bbsi", 8, 1); }

// The system counters' entries have names of their own length, which no
// layout can walk: they are swapped here, the lengths read in the proxy's
// order (after swapping when arriving, before when leaving).
void swapCounterEntries(u8* reply, u32 length, bool arriving) {
  u32 count = get32(reply + 8);
  u32 at = 32;
  for (u32 k = 0; k < count && at + 14 <= length; k++) {
    for (u32 word = 0; word < 12; word += 4) swap32InPlace(reply + at + word, reply + length);
    u8* nameLength = reply + at + 12;
    if (!arriving) at += pad4(14 + get16(nameLength));
    std::swap(nameLength[0], nameLength[1]);
    if (arriving) at += pad4(14 + get16(nameLength));
  }
}

void ReplySyncListSystemCounters(u8* reply, u32 length) {
  if (currentLink && currentLink->server.bigEndian) swapCounterEntries(reply, length, true);
  ProxyClient* client = currentLink ? currentLink->client : nullptr;
  if (client && client->parser.swapped) swapCounterEntries(reply, length, false);
  sendReplyToClient(reply, length, "bbsiiiiiii");
}

// The alarm's trigger names its counter as the server knows it.
void ReplySyncQueryAlarm(u8* reply, u32 length) {
  if (length >= 12 && currentLink)
    put32(reply + 8, mapServerXidToClient(get32(reply + 8), currentLink->server.display));
  sendReplyToClient(reply, length, "bbsiiiiiiii");
}

// A counter or alarm event of the primary display: the id becomes the
// client's, the time the proxy's. A client's SendEvent is passed as sent.
void EventSyncNotify(u8* event) {
  if (!(event[0] & 0x80) && currentLink) {
    const ServerDisplay* display = currentLink->server.display;
    put32(event + 4, mapServerXidToClient(get32(event + 4), display));
    put32(event + 24, translateServerTimestamp(get32(event + 24), display));
  }
  sendEventToClient(event, eventLayoutOf(event), 0);
}

constexpr RequestRow kRequests[] = {
    {kInitialize, "SyncInitialize", forwardOrAnswer, ReplySyncInitialize, "bbs", "bbsi", exactSize(8),
     Route::kMainHead},
    {kListSystemCounters, "SyncListSystemCounters", forwardOrAnswer, ReplySyncListSystemCounters, "bbs", "bbsiiiiiii",
     exactSize(4), Route::kMainHead},
    {kCreateCounter, "SyncCreateCounter", ProcSyncCreate, nullptr, "bbsiii", "", exactSize(16), Route::kMainHead},
    {kSetCounter, "SyncSetCounter", ProcSyncOnId, nullptr, "bbsiii", "", exactSize(16), Route::kMainHead},
    {kChangeCounter, "SyncChangeCounter", ProcSyncOnId, nullptr, "bbsiii", "", exactSize(16), Route::kMainHead},
    {kQueryCounter, "SyncQueryCounter", ProcSyncOnId, nullptr, "bbsi", "bbsiii", exactSize(8), Route::kMainHead},
    {kDestroyCounter, "SyncDestroyCounter", ProcSyncDestroy, nullptr, "bbsi", "", exactSize(8), Route::kMainHead},
    {kAwait, "SyncAwait", ProcSyncAwait, nullptr, "bbsI", "", listSize(4, kWaitConditionBytes), Route::kMainHead},
    {kCreateAlarm, "SyncCreateAlarm", ProcSyncCreateAlarm, nullptr, "bbsI", "", atLeastSize(12), Route::kMainHead},
    {kChangeAlarm, "SyncChangeAlarm", ProcSyncChangeAlarm, nullptr, "bbsI", "", atLeastSize(12), Route::kMainHead},
    {kQueryAlarm, "SyncQueryAlarm", ProcSyncOnId, ReplySyncQueryAlarm, "bbsi", "bbsiiiiiiii", exactSize(8),
     Route::kMainHead},
    {kDestroyAlarm, "SyncDestroyAlarm", ProcSyncDestroy, nullptr, "bbsi", "", exactSize(8), Route::kMainHead},
    {kSetPriority, "SyncSetPriority", ProcSyncPriority, nullptr, "bbsii", "", exactSize(12), Route::kEveryServer},
    {kGetPriority, "SyncGetPriority", ProcSyncPriority, nullptr, "bbsi", "bbsii", exactSize(8), Route::kMainHead},
};

constexpr EventRow kEvents[] = {
    {0, "SyncCounterNotify", EventSyncNotify, "bbsiiiiiis"},
    {1, "SyncAlarmNotify", EventSyncNotify, "bbsiiiiii"},
};

constexpr ErrorRow kErrors[] = {
    {0, "SyncBadCounter", nullptr, ErrorValue::kIdChoice},
    {1, "SyncBadAlarm", nullptr, ErrorValue::kIdChoice},
};

}  // namespace

u32 syncAlarmValueBytes(u32 mask) { return 4 * (bitCount(mask) + bitCount(mask & (kAlarmValueBit | kAlarmDeltaBit))); }

const char* initSyncExtension(ExtensionEntry* entry) {
  const char* refusal =
      registerModule(entry, "SYNC",
                     {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), kErrors, rowCount(kErrors)},
                     {kModuleSync, nullptr, nullptr, false});
  if (refusal) return refusal;
  // Counters and alarms live on the primary head's server alone; a joining
  // server is not given them yet, and the log says so.
  entry->copyHook = [](ExtensionEntry*, void*) -> const char* {
    PALVON_WIP();
    return nullptr;
  };
  return nullptr;
}

}  // namespace palvon

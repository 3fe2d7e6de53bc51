// XKEYBOARD, forwarded to the input server.
#include "Xext/xinput/xkb.h"

#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/sync/clocks.h"
#include "Xext/extmodule.h"
#include "Xext/xinput/xinput.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kUseExtension = 0, kBell = 3, kGetNamedIndicator = 15, kSetNamedIndicator = 16, kGetGeometry = 19,
             kSetGeometry = 20;
constexpr LayoutString kEventLayout = "H8";
// Below this a window value is None or PointerRoot, not an id.
constexpr u32 kFirstRealId = 4;

// The fields of a request naming the client's atoms and windows; 0 = none.
struct Fields {
  u8 atom;
  u8 window;
};

Fields fieldsOf(u8 minor) {
  switch (minor) {
    case kBell: return {20, 24};
    case kGetNamedIndicator:
    case kSetNamedIndicator: return {12, 0};
    case kGetGeometry:
    case kSetGeometry: return {8, 0};
    default: return {0, 0};
  }
}

void rewriteForInputServer(u8* copy, u32, const RouteTarget& target, void* argument) {
  const Fields& f = *static_cast<const Fields*>(argument);
  if (f.atom && get32(copy + f.atom) && target.head)
    put32(copy + f.atom, u32(mapAtomToHead(get32(copy + f.atom), target.head)));
  if (f.window && get32(copy + f.window) >= kFirstRealId)
    put32(copy + f.window, translateXid(get32(copy + f.window), RT_WINDOW, target.head));
}

void ProcXkbRequest(u8* request, u32 length) {
  Fields fields = fieldsOf(request[1]);
  if (!firstTargetLink(Route::kInputHead)) return forwardOrAnswer(request, length);
  forwardRequest(request, length, rewriteForInputServer, &fields);
}

// Each server must know the client as an XKB client; one answer reaches it.
void ProcXkbUseExtension(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  if (!firstTargetLink(Route::kEveryServer)) return forwardOrAnswer(request, length);
  client->usesXkb = 1;
  if (!forwardRequest(request, length)) return;
  if (openLinkCount(client) > 1) noteRequestWithoutReply(request);
}

bool fromInputServer(const ServerLink* link) {
  Head* head = routeHeadHook ? routeHeadHook(Route::kInputHead) : nullptr;
  return !head || !link || head->serverDisplay == link->server.display;
}

void ReplyXkbUseExtension(u8* reply, u32 length) {
  if (!fromInputServer(currentLink)) return;
  sendReplyToClient(reply, length, "bbsiss");
}

void lostXkbServer(ProxyClient* client, u64 sequence, u8 minor, u16 key) {
  if (minor == kUseExtension) return composeVersionReply(client, sequence, key, kModuleXkb);
  composeImplementationError(client, sequence, key);
}

void EventXkb(u8* event) {
  ServerLink* link = currentLink;
  translateXkbEvent(event, link);
  ProxyClient* client = link ? link->client : currentClient;
  if (client && client->recording && serviceHooks.recordEvent) serviceHooks.recordEvent(client, event);
  sendEventToClient(event, kEventLayout, 0);
}

// Discards the answer to a UseExtension the proxy repeated.
int dropRepeatedReply(ServerLink*, const u8*, void*) { return 1; }

constexpr Route kIn = Route::kInputHead;
#define XKB_ROW(minor, name, reqLayout, replyLayout, size) \
  {minor, name, ProcXkbRequest, nullptr, reqLayout, replyLayout, size, kIn}

constexpr RequestRow kRequests[] = {
    {kUseExtension, "xkbUseExtension", ProcXkbUseExtension, ReplyXkbUseExtension, "bbsss", "bbsiss", exactSize(8),
     Route::kEveryServer},
    XKB_ROW(1, "xkbSelectEvents", "H10", nullptr, atLeastSize(16)),
    XKB_ROW(kBell, "xkbBell", "bbssssbbbbsssii", nullptr, exactSize(28)),
    XKB_ROW(4, "xkbGetState", "bbss", "bbsibbbbbbssbbbbbbs", exactSize(8)),
    XKB_ROW(5, "xkbLatchLockState", "bbssbbbbbbbbs", nullptr, exactSize(16)),
    XKB_ROW(6, "xkbGetControls", "bbss", "bbsibbbbbbbbssssssssssssssssiii", exactSize(8)),
    XKB_ROW(7, "xkbSetControls", "bbssbbbbssssbbssiiissssssssssiiss", nullptr, exactSize(100)),
    XKB_ROW(8, "xkbGetMap", "bbssssbbbbbbbbs", "H9", exactSize(28)),
    XKB_ROW(9, "xkbSetMap", "H17", nullptr, atLeastSize(36)),
    XKB_ROW(10, "xkbGetCompatMap", "bbssbbss", "bbsibbsssiiii[ibbbbbbbbbbbb]", exactSize(12)),
    XKB_ROW(11, "xkbSetCompatMap", "bbssbbbbsss[ibbbbbbbbbbbb]", nullptr, atLeastSize(16)),
    XKB_ROW(12, "xkbGetIndicatorState", "bbss", "bbsii", exactSize(8)),
    XKB_ROW(13, "xkbGetIndicatorMap", "bbsssi", "bbsiiibbsiii[bbbbbbsi]", exactSize(12)),
    XKB_ROW(14, "xkbSetIndicatorMap", "bbsssi[bbbbbbsi]", nullptr, atLeastSize(12)),
    XKB_ROW(kGetNamedIndicator, "xkbGetNamedIndicator", "bbsssssi", "bbsiibbbbbbbbbbsibbs", exactSize(16)),
    XKB_ROW(kSetNamedIndicator, "xkbSetNamedIndicator", "bbsssssibbbbbbbbbbsi", nullptr, exactSize(32)),
    XKB_ROW(17, "xkbGetNames", "bbsssi", "H13", exactSize(12)),
    XKB_ROW(18, "xkbSetNames", "H16", nullptr, atLeastSize(28)),
    XKB_ROW(kGetGeometry, "xkbGetGeometry", "bbsssi", "H18", exactSize(12)),
    XKB_ROW(kSetGeometry, "xkbSetGeometry", "H19", nullptr, atLeastSize(28)),
    XKB_ROW(21, "xkbPerClientFlags", "bbsssiiiii", "bbsI", exactSize(28)),
    XKB_ROW(22, "xkbListComponents", "bbsss", "H12", atLeastSize(8)),
    XKB_ROW(23, "xkbGetKbdByName", "bbssss", "H11", atLeastSize(12)),
    XKB_ROW(24, "xkbGetDeviceInfo", "bbsssbbbbss", "H14", exactSize(16)),
    XKB_ROW(25, "xkbSetDeviceInfo", "H15", nullptr, atLeastSize(12)),
    // Without a message a plain server takes any longer request.
    XKB_ROW(101, "xkbSetDebuggingFlags", "bbsssiiii", "bbsiiiii", atLeastSize(24)),
};
#undef XKB_ROW

constexpr EventRow kEvents[] = {{0, "xkbEvent", EventXkb, kEventLayout}};
constexpr ErrorRow kErrors[] = {{0, "xkbBadKeyboard", nullptr, ErrorValue::kText}};

// An event type named inside an XKB event: a core code stays, an
// extension's becomes the proxy's; bit 7 (sent) is kept.
void renumberNamedEvent(u8* at, const ServerLink* link) {
  if ((*at & 0x7f) > 35) *at = renumberEventCode(*at, link->server.codes, false);
}

}  // namespace

void translateXkbEvent(u8* event, const ServerLink* link) {
  if ((event[0] & 0x80) || !link) return;
  const ServerDisplay* server = link->server.display;
  if (server) put32(event + 4, translateServerTimestamp(get32(event + 4), server));
  switch (event[1]) {
    case 0: event[14] = mapServerMajorToProxy(event[14], link); break;
    case 2:
      renumberNamedEvent(event + 29, link);
      event[30] = mapServerMajorToProxy(event[30], link);
      break;
    case 3:
      renumberNamedEvent(event + 25, link);
      event[26] = mapServerMajorToProxy(event[26], link);
      break;
    case 8:
      if (server && get32(event + 20) >= kFirstRealId) put32(event + 20, mapServerXidToClient(get32(event + 20), server));
      break;
    case 1:
    case 4:
    case 5:
    case 6:
    case 7:
    case 9:
    case 10:
    case 11: break;
    default: PALVON_UNE(); break;
  }
}

bool requestXkbUseExtension(RequestWriter* writer) {
  const ExtensionEntry* entry = moduleEntry(kModuleXkb);
  if (!entry) return true;
  u8* p = beginRequest(writer, entry->major, kUseExtension, 8);
  if (!p) return false;
  put16(p + 4, u16(entry->version / 64));
  put16(p + 6, u16(entry->version % 64));
  finishRequest(writer, p, 8, entry->major, kUseExtension);
  return true;
}

bool repeatXkbUseExtension(ProxyClient* client, u32 serverIndex) {
  ServerLink* link = clientLink(client, serverIndex);
  if (!link || !client->usesXkb) return true;
  if (!requestXkbUseExtension(&link->writer)) return false;
  addReplyHook(link, dropRepeatedReply, nullptr);
  return true;
}

bool copyXkbStateToDisplay(RequestWriter*, Head* head) {
  if (!head || !moduleEntry(kModuleXkb)) return true;
  for (ProxyClient* client = clientList; client; client = client->next)
    if (!repeatXkbUseExtension(client, head->serverIndex)) return false;
  return true;
}

const char* initXkbExtension(ExtensionEntry* entry) {
  if (!entry->version) entry->version = 64;
  const char* refused =
      registerModule(entry, "XKEYBOARD",
                     {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), kErrors, rowCount(kErrors)},
                     {kModuleXkb, lostXkbServer, nullptr, false});
  if (refused) return refused;
  // A joining server's head: the clients that use XKB say so there too.
  entry->copyHook = [](ExtensionEntry*, void* head) -> const char* {
    return copyXkbStateToDisplay(nullptr, static_cast<Head*>(head)) ? nullptr : PALVON_OOM();
  };
  return nullptr;
}

}  // namespace palvon

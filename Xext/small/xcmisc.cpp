// XC-MISC.
#include "Xext/small/xcmisc.h"

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/resource.h"
#include "Xext/extmodule.h"

namespace palvon {

namespace {

constexpr u8 kGetVersion = 0, kGetXIDRange = 1, kGetXIDList = 2;

void ReplyXCMiscGetVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleXCMisc, "bbsiss"); }

// Never reaches a server: the free ids are those of the proxy's database.
void ProcXCMiscGetXIDRange(u8* request, u32) {
  ProxyClient* client = currentClient;
  u32 first = 0, last = 0;
  findFreeXidRange(client->number, &first, &last);
  u8 reply[32] = {};
  put16(reply + 2, static_cast<u16>(client->requestCounter));
  put32(reply + 8, first);
  // Both ends are free; a slot without a free id gives 0 and 0, no range.
  put32(reply + 12, first == 0 && last == 0 ? 0 : last - first + 1);
  sendComposedReply(request[0], request[1], reply, sizeof reply, "bbsiii", client);
}

// The server's ids become the client's, as the client will name them.
void ReplyXCMiscGetXIDList(u8* reply, u32 length) {
  u64 room = length >= 32 ? (length - 32) / 4 : 0;
  u64 count = length >= 12 ? get32(reply + 8) : 0;
  if (count > room) count = room;
  const ServerDisplay* display = currentLink ? currentLink->server.display : nullptr;
  for (u64 k = 0; k < count; k++) {
    u8* id = reply + 32 + 4 * k;
    put32(id, mapServerXidToClient(get32(id), display));
  }
  sendReplyToClient(reply, length, "bbsI");
}

void lostXCMiscServer(ProxyClient* client, u64 sequence, u8 minor, u16 key) {
  if (minor == kGetVersion) return composeVersionReply(client, sequence, key, kModuleXCMisc);
  composeImplementationError(client, sequence, key);
}

constexpr RequestRow kRequests[] = {
    {kGetVersion, "XCMiscGetVersion", forwardOrAnswer, ReplyXCMiscGetVersion, "bbsss", "bbsiss", exactSize(8),
     Route::kFewestIdBits},
    {kGetXIDRange, "XCMiscGetXIDRange", ProcXCMiscGetXIDRange, nullptr, "bbs", "bbsiii", exactSize(4),
     Route::kLocal},
    {kGetXIDList, "XCMiscGetXIDList", forwardOrAnswer, ReplyXCMiscGetXIDList, "bbsi", "bbsI", exactSize(8),
     Route::kFewestIdBits},
};

}  // namespace

const char* initXCMiscExtension(ExtensionEntry* entry) {
  return registerModule(entry, "XC-MISC", {kRequests, rowCount(kRequests), nullptr, 0, nullptr, 0},
                        {kModuleXCMisc, lostXCMiscServer, nullptr, false});
}

}  // namespace palvon

// The Generic Event Extension.
#include "Xext/small/xge.h"

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Xext/extmodule.h"

namespace palvon {

namespace {

constexpr u8 kQueryVersion = 0;

// The main head's server answers; where it lacks the extension (the proxy
// offers it regardless) the proxy answers in its place.
void ProcGEQueryVersion(u8* request, u32 length) {
  ServerLink* link = firstTargetLink(Route::kMainHead);
  if (link && linkHasExtension(link, request[0])) {
    forwardRequest(request, length);
    return;
  }
  ProxyClient* client = currentClient;
  composeVersionReply(client, client->requestCounter, static_cast<u16>(request[0] | request[1] << 8),
                      kModuleGenericEvent);
}

void ReplyGEQueryVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleGenericEvent, "bbsiss"); }

void lostGenericEventServer(ProxyClient* client, u64 sequence, u8 minor, u16 key) {
  if (minor == kQueryVersion) return composeVersionReply(client, sequence, key, kModuleGenericEvent);
  composeImplementationError(client, sequence, key);
}

constexpr RequestRow kRequests[] = {
    {kQueryVersion, "GEQueryVersion", ProcGEQueryVersion, ReplyGEQueryVersion, "bbsss", "bbsiss", exactSize(8),
     Route::kMainHead},
};

}  // namespace

const char* initGenericEventExtension(ExtensionEntry* entry) {
  return registerModule(entry, "Generic Event Extension", {kRequests, rowCount(kRequests), nullptr, 0, nullptr, 0},
                        {kModuleGenericEvent, lostGenericEventServer, nullptr, true});
}

}  // namespace palvon

// The extension queries, answered by the proxy in request order.
#include "Proxy/queries.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstring>

#include "Proxy/client.h"
#include "Proxy/core11G.h"
#include "Proxy/extensions.h"
#include "Proxy/pending.h"
#include "Proxy/wire.h"
#include "Proxy/xerrors.h"

namespace palvon {

// What a server would say matters nothing here: only the registry knows
// which extensions the proxy offers and under which codes.
void ProcQueryExtension(u8* request, u32 length) {
  u32 nameLength = get16(request + 4);
  const ExtensionEntry* entry = findExtensionByCountedName(request + 8, nameLength);
  u8 reply[32] = {};
  reply[1] = 0;
  put16(reply + 2, static_cast<u16>(currentClient->requestCounter));
  if (entry) {
    reply[8] = 1;
    reply[9] = entry->major;
    reply[10] = entry->firstEvent;
    reply[11] = entry->firstError;
  }
  sendComposedReply(X_QueryExtension, 0, reply, sizeof reply, "bbsi", currentClient);
  (void)length;
}

void ProcListExtensions(u8* request, u32 length) {
  if (!sendReplyListExtensions(currentClient)) sendXError(BadAlloc, 0, request, length, nullptr);
}

}  // namespace palvon

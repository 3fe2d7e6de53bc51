// Host access, close-down, KillClient and RotateProperties (core opcodes
// 109 to 114), ordered by opcode.
#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/targets.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/server.h"
#include "Proxy/resources/resource.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kHostInsert = 0, kHostDelete = 1;

u32 slotOfXid(u32 id) {
  u32 shift = proxyState.resourceIdShift;
  return shift >= 32 ? 0 : id >> shift;
}

// AllTemporary: every client that went in RetainTemporary mode is ended,
// then what such clients left behind is freed.
void killRetainedTemporary() {
  for (ProxyClient* client = clientList; client;) {
    ProxyClient* next = client->next;
    if (client->closeDownMode == kRetainTemporary && !client->transport) {
      client->closeDownMode = kDestroyAll;
      stopClient(client, "KillClient", 0);
    }
    client = next;
  }
  freeRetainedTemporaryClients();
}

}  // namespace

void ProcChangeHosts(u8* request, u32 length) {
  u8 mode = request[1];
  if (mode != kHostInsert && mode != kHostDelete) return sendXError(BadValue, mode, request, length, nullptr);
  ProxyClient* client = currentClient;
  u32 errorValue = 0;
  int family = request[4], addressLength = get16(request + 6);
  int result = mode == kHostInsert ? addAccessHost(client->transport, family, addressLength, request + 8, &errorValue)
                                   : removeAccessHost(client->transport, family, addressLength, request + 8, &errorValue);
  if (result) sendXError(u8(result), errorValue, request, length, nullptr);
}

void ProcListHosts(u8* request, u32 length) { forwardRequest(request, length); }

void ReplyListHosts(u8* reply, u32 length) {
  ProxyClient* client = currentClient;
  if (!client) return;
  u8* data = nullptr;
  int count = 0, dataLength = 0;
  bool enabled = false;
  if (listAccessHosts(&data, &count, &dataLength, &enabled)) {
    // The server's own list is all there is to show.
    PALVON_UNE();
    return sendReplyToClient(reply, length, replyLayoutOf(requestRowOf(X_ListHosts), reply, length));
  }
  bool sent = sendReplyListHosts(client, client->sequenceAnswered, enabled ? 1 : 0, u16(count), data, u32(dataLength));
  std::free(data);
  if (!sent) replaceReplyByError(BadAlloc, 0, X_ListHosts);
}

void ProcSetAccessControl(u8* request, u32 length) {
  u8 mode = request[1];
  if (mode > EnableAccess) return sendXError(BadValue, mode, request, length, "invalid mode");
  if (changeAccessControl(currentClient->transport, mode)) sendXError(BadAccess, 0, request, length, nullptr);
}

void ProcSetCloseDownMode(u8* request, u32 length) {
  u8 mode = request[1];
  if (mode > kRetainTemporary) return sendXError(BadValue, mode, request, length, "invalid mode");
  currentClient->closeDownMode = mode;
}

void ProcKillClient(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (id == AllTemporary) return killRetainedTemporary();
  ProxyClient* requester = currentClient;
  u32 slot = slotOfXid(id);
  // Slot 0 holds the proxy's own resources (meta roots, default colormaps):
  // no client owns them, as on a server.
  if (slot == 0 || slot >= kMaxClientSlots || lookupResourceAnyType(id, nullptr) == RT_NONE)
    return sendXError(BadValue, id, request, length, nullptr);
  ProxyClient* owner = findClientByXid(id);
  if (owner == requester) {
    refuseClientInput(requester, "client killed");
    return;
  }
  if (owner) {
    owner->closeDownMode = kDestroyAll;
    stopClient(owner, "KillClient", 0);
    return;
  }
  currentClient = nullptr;
  freeClientResources(slot);
  currentClient = requester;
}

void ProcRotateProperties(u8* request, u32 length) {
  u32 window = get32(request + 4);
  if (!lookupWindow(window)) return sendXError(BadWindow, window, request, length, nullptr);
  setRequestResource(currentClient, window);
  auto rewrite = [](u8* copy, u32, const RouteTarget& target, void*) {
    put32(copy + 4, translateXid(get32(copy + 4), RT_ATOM_WINDOW, target.head));
  };
  forwardRequest(request, length, rewrite);
}

}  // namespace palvon

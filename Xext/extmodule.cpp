// The shared part of every extension module.
#include "Xext/extmodule.h"

#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"

namespace palvon {

const char* registerModule(ExtensionEntry* entry, const char* name, const ProtocolRows& rows,
                           const ModuleHooks& hooks) {
  if (const char* refusal = registerExtensionRows(entry, name, rows)) return refusal;
  entry->lostServerHook = hooks.lostServer;
  entry->closeHook = hooks.reset ? hooks.reset : clearModuleWord;
  if (hooks.needsNoServer) entry->needsNoServer = 1;
  proxyState.extensions.moduleState[hooks.word] = entry;
  return nullptr;
}

void clearModuleWord(ExtensionEntry* entry) {
  for (void*& word : proxyState.extensions.moduleState) {
    if (word == entry) word = nullptr;
  }
}

u16 offeredVersion(ExtensionModuleWord word) {
  const ExtensionEntry* entry = moduleEntry(word);
  return entry ? entry->version : 0;
}

static void putVersion(u8* message, ExtensionModuleWord word, u32 at, u32 width) {
  u16 version = offeredVersion(word);
  u16 major = version / 64, minor = version % 64;
  if (width == 1) {
    message[at] = static_cast<u8>(major);
    message[at + 1] = static_cast<u8>(minor);
  } else {
    put16(message + at, major);
    put16(message + at + 2, minor);
  }
}

void sendVersionReply(u8* reply, u32 length, ExtensionModuleWord word, LayoutString layout, u32 at, u32 width) {
  // A reply too short for the fields goes on as the server wrote it.
  if (u64{at} + 2 * width <= length) putVersion(reply, word, at, width);
  sendReplyToClient(reply, length, layout);
}

bool linkHasExtension(const ServerLink* link, u8 major) {
  return !link->server.codes || major < 128 || link->server.codes->majorToServer[major] != 0;
}

static bool takeLink(const RouteTarget& target, void* argument) {
  *static_cast<ServerLink**>(argument) = target.link;
  return false;
}

ServerLink* firstTargetLink(Route route) {
  ServerLink* link = nullptr;
  forEachTarget(route, takeLink, &link);
  return link;
}

void forwardOrAnswer(u8* request, u32 length) {
  if (firstTargetLink(currentRequest.row->route)) {
    forwardRequest(request, length);
    return;
  }
  ProxyClient* client = currentClient;
  u16 key = static_cast<u16>(request[0] | request[1] << 8);
  ExtensionLostServerHook answer = proxyState.extensions.entries[request[0]].lostServerHook;
  if (answer)
    answer(client, client->requestCounter, request[1], key);
  else
    composeImplementationError(client, client->requestCounter, key);
}

void composeReply(ProxyClient* client, u64 sequence, u16, u8* reply, LayoutString layout) {
  sendComposedReplyAt(sequence, reply, 32, layout, client);
}

void composeVersionReply(ProxyClient* client, u64 sequence, u16 key, ExtensionModuleWord word) {
  u8 reply[32] = {};
  putVersion(reply, word, 8, 2);
  composeReply(client, sequence, key, reply, "bbsiss");
}

void composeImplementationError(ProxyClient* client, u64 sequence, u16 key) {
  // The request's header as the error's log line and fields read it.
  u8 header[4] = {static_cast<u8>(key), static_cast<u8>(key >> 8), 1, 0};
  put16(header + 2, 1);
  sendClientXError(BadImplementation, 0, header, 4, static_cast<u16>(sequence), nullptr, client);
}

}  // namespace palvon

// X errors to clients and the names used in their log lines.
#include "Proxy/links/errors.h"

#include <cstdarg>
#include <cstdio>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "base/logging.h"

namespace palvon {

u32 detailFlags = 0;

void sendXError(u8 code, u32 badValue, const u8* request, u32 length, const char* text) {
  ProxyClient* client = currentClient;
  if (!client) return;
  sendClientXError(code, badValue, request, length, static_cast<u16>(client->requestCounter), text, client);
}

void sendExtensionError(u8 code, u32 badValue, const u8* request, u32 length, const char* text) {
  ExtensionEntry& entry = proxyState.extensions.entries[request[0]];
  entry.errorsSent++;
  sendXError(static_cast<u8>(entry.firstError + code), badValue, request, length, text);
}

const char* getRequestName(u32 major, u32 minor) {
  const char* name = nullptr;
  if (major >= 1 && major <= 127)
    name = coreRequestRow(static_cast<u8>(major)).name;
  else if (major >= 128 && major <= 255 && minor < 256)
    name = requestRowOf(requestKey(static_cast<u8>(major), static_cast<u8>(minor)))->name;
  return name ? name : tmpPrintf("request %u.%u", major, minor);
}

const char* describeClientRequest(const u8* request) {
  static char text[256];
  ProxyClient* client = currentClient;
  bool big = get16(request + 2) == 0;
  std::snprintf(text, sizeof text, "%s%s #%u", big ? "big " : "", getRequestName(request[0], request[1]),
                client ? client->requestCounter : 0);
  return text;
}

const char* getErrorName(u32 code) {
  const char* name = code < 256 ? errorRowOf(static_cast<u8>(code))->name : nullptr;
  return name ? name : "?";
}

const char* clientNameText(const ProxyClient* client) {
  if (!client) return "(no client)";
  if (clientHooks.clientName) return clientHooks.clientName(client);
  return tmpPrintf("#%u", client->number);
}

void logServerError(const u8* error, const char* format, ...) {
  ProxyClient* client = currentClient;
  if ((detailFlags & kDetailClientErrors) && logOn(logChXerror)) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ServerLink* link = currentLink;
    LOGF(logChXerror, "X error %s in %s %u from %s to %s", text, getRequestName(error[10], get16(error + 8)),
         get16(error + 2), link ? link->server.displayName : "(NULL)", clientNameText(client));
  }
  if (client) client->errorCounter++;
}

}  // namespace palvon

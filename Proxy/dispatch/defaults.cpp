// The handlers every slot has until a module gives it its own: invalid,
// unsupported and not yet implemented requests, replies nobody expected,
// events and errors passed on as the server sent them.
#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdio>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/join/capture.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "base/logging.h"

namespace palvon {

u32 (*serverXidToClientHook)(u32 xid, const ServerLink* link) = nullptr;

namespace {

const char* linkName(const ServerLink* link) { return link ? link->server.displayName : "(NULL)"; }

// "Unexpected X reply (%u bytes) of %s #%u from %s #%u for %s" and its kin.
void logOddReply(const char* kind, u32 length) {
  ServerLink* link = currentLink;
  ProxyClient* client = link ? link->client : currentClient;
  u16 key = link ? link->requestKeyAnswered : 0;
  LOGF(logChWarning, "%s X reply (%u bytes) of %s #%u from %s #%u for %s", kind, length,
       getRequestName(key & 0xff, key >> 8), client ? client->sequenceAnswered : 0, linkName(link),
       link ? static_cast<u32>(link->lastServerSequence) : 0, clientNameText(client));
}

const char* hexText(const u8* data, u32 length) {
  char* text = tmpAlloc(2 * length + 1);
  for (u32 k = 0; k < length; k++) std::snprintf(text + 2 * k, 3, "%02x", data[k]);
  text[2 * length] = '\0';
  return text;
}

u32 eventLength(const u8* event) { return (event[0] & 0x7f) == GenericEvent ? 32 + 4 * get32(event + 4) : 32; }

u32 translatedId(u32 value) {
  return serverXidToClientHook && currentLink ? serverXidToClientHook(value, currentLink) : value;
}

}  // namespace

// --- Requests ---------------------------------------------------------------------

void ProcInvalidRequest(u8* request, u32 length) {
  sendXError(BadRequest, request[0], request, length, "invalid request");
}

void ProcNoOperation(u8*, u32) {}

void handleUnsupportedRequest(u8* request, u32 length) {
  sendXError(BadRequest, request[1], request, length, "unsupported");
}

void handleUnimplementedRequest(u8* request, u32 length) {
  sendXError(BadImplementation, request[0], request, length, "unimplemented");
}

// --- Replies ------------------------------------------------------------------------

void forwardReply(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  const RequestRow* row = requestRowOf(link ? link->requestKeyAnswered : 0);
  sendReplyToClient(reply, length, replyLayoutOf(row, reply, length));
}

void handleUnexpectedReply(u8* reply, u32 length) {
  logOddReply("Unexpected", length);
  sendReplyToClient(reply, length, kReplyHeaderLayout);
}

void handleUnsupportedReply(u8* reply, u32 length) {
  logOddReply("Unsupported", length);
  sendReplyToClient(reply, length, kReplyHeaderLayout);
}

// --- Events -------------------------------------------------------------------------

void forwardEvent(u8* event) {
  u8 code = event[0] & 0x7f;
  // A crossing passed on unchanged is one the client is to see.
  uintptr_t tag = code == EnterNotify || code == LeaveNotify ? kCrossingDelivered : 0;
  sendEventToClient(event, eventLayoutOf(event), tag);
}

void handleUnsupportedEvent(u8* event) {
  ServerLink* link = currentLink;
  ProxyClient* client = link ? link->client : currentClient;
  if (client && client->recording && serviceHooks.recordEvent) serviceHooks.recordEvent(client, event);
  u8 code = event[0] & 0x7f;
  u32 type = code == GenericEvent ? get16(event + 8) : code;
  LOGF(logChWarning, "UNSUPPORTED event type %u, detail %u serial %u for %s: %s", type, event[1], get16(event + 2),
       clientNameText(client), hexText(event, eventLength(event) < 64 ? eventLength(event) : 64));
  sendEventToClient(event, eventLayoutOf(event), 0);
}

// --- Errors -------------------------------------------------------------------------

void handleServerError(u8* error) {
  const ErrorRow* row = errorRowOf(error[1]);
  // A GrabPointer the proxy sent on its own leaves no stash: its BadWindow
  // is the proxy's business, not the client's.
  if (error[1] == BadWindow && error[10] == X_GrabPointer && currentLink &&
      !releaseStashedData(currentLink, X_GrabPointer))
    return;
  // A capture's read the server refused: the capture's business.
  if (error[10] == X_GetImage && dropCapturedImageOfError(currentLink)) return;
  u32 value = get32(error + 4);
  ServerLink* link = currentLink;
  bool killClient = link && (link->requestKeyAnswered & 0xff) == X_KillClient;
  switch (row->value) {
    case ErrorValue::kResourceId:
    case ErrorValue::kIdChoice: value = translatedId(value); break;
    case ErrorValue::kKillClient:
      if (killClient) value = translatedId(value);
      break;
    default:
      // A server names the resource it refused in other errors too (a
      // BadAccess of a colormap, an extension's device error): one of this
      // link's ids goes back into the client's terms. A BadValue's or a
      // BadLength's number stays.
      if (error[1] != BadValue && error[1] != BadLength && link && link->serverIdMask &&
          (value & ~link->serverIdMask) == link->serverIdBase)
        value = translatedId(value);
      break;
  }
  put32(error + 4, value);
  const char* name = row->name ? row->name : "?";
  switch (row->value) {
    case ErrorValue::kNone: logServerError(error, "%s", name); break;
    case ErrorValue::kResourceId: logServerError(error, "%s 0x%x", name, value); break;
    case ErrorValue::kAtom: logServerError(error, "%s %u", name, value); break;
    default: logServerError(error, "%s %s", name, value < 1000 ? tmpPrintf("%u", value) : tmpPrintf("0x%x", value));
  }
  sendErrorToClient(error, kErrorLayout);
}

void handleUnsupportedError(u8* error) {
  u32 value = get32(error + 4);
  logServerError(error, "Unsupported #%u (%s)", error[1], value < 1000 ? tmpPrintf("%u", value) : tmpPrintf("0x%x", value));
  sendErrorToClient(error, kErrorLayout);
}

}  // namespace palvon

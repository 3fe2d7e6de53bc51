// The dispatch tables, the request prologue, the default handlers and the
// one loop over a request's target heads.
//
// Request slots are indexed by the request key: the major opcode plus 256
// times the second byte of the request (the minor opcode of an extension;
// for core requests a data byte, so a core major owns all 256 keys). Each
// slot holds the request's row (rows.h), which gives its handlers, layouts,
// size rule and route. Event slots are indexed by event code, error slots
// by error code. Every slot is filled by initCoreDispatchTables at start-up;
// extension modules overwrite their own major, events and errors, and the
// registry puts the unsupported rows back when it resets an extension. The
// tables live in ProxyState for the process's lifetime.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/rows.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ProxyClient;
struct ServerLink;

inline constexpr u32 kRequestKeys = 65536;

// Major opcode plus 256 times the minor opcode.
inline constexpr u32 requestKey(u8 major, u8 minor) { return major + 256u * minor; }

struct DispatchTables {
  const RequestRow* requests[kRequestKeys];
  const EventRow* events[256];
  const ErrorRow* errors[256];
  // GenericEvent (35) rows by the extension's major opcode less 128.
  const EventRow* genericEvents[128];
};

// The row of a request key, of an event or error code; never null once
// initCoreDispatchTables ran.
const RequestRow* requestRowOf(u32 key);
const EventRow* eventRowOf(u8 code);
const ErrorRow* errorRowOf(u8 code);
// The layout of this reply to the row's request ("bbsi" when the row has
// none), and of this request.
LayoutString replyLayoutOf(const RequestRow* row, const u8* reply, u32 length);
LayoutString requestLayoutOf(const RequestRow* row, const u8* request, u32 length);
// The layout of an event as the tables give it ("bbs" when none is known;
// a GenericEvent's header "bbsis" unless its extension registered one).
LayoutString eventLayoutOf(const u8* event);

// The handlers of a row or message, defaults filled in for null members.
ReplyHandler replyHandlerOf(const RequestRow* row);
EventHandler eventHandlerOf(const u8* event);
ErrorHandler errorHandlerOf(u8 code);

// The registry's side: an extension's major, events and errors go back to
// the unsupported rows.
void clearExtensionRows(u8 major);
void clearEventRows(u8 first, u8 count);
void clearErrorRows(u8 first, u8 count);

// The request being handled: its row, set by the prologue and read by
// forwardRequest. The meta screen a route's heads come from is the one of
// the request's resource (client->requestResourceScreen, which the handler
// sets through setRequestResource; the prologue clears it), else the first.
struct RequestContext {
  const RequestRow* row;
};
extern RequestContext currentRequest;

// The prologue (see rows.h), then the row's handler. Called by the client
// input parser for every framed request. Returns the row the request was
// dispatched by.
const RequestRow* dispatchClientRequest(ProxyClient* client, u8* request, u32 length);

// --- Routing ---------------------------------------------------------------------

// One target of a request: the head (null when the proxy has no heads and
// a server stands for itself) and the client's link to the head's server.
struct RouteTarget {
  Head* head;
  ServerLink* link;
};

// The single head of a role (pointer, input, atom, property, font, image
// head), installed by the heads layer; null, or a hook that gives null,
// falls back to the main head.
extern Head* (*routeHeadHook)(Route route);

// Calls visit(target, argument) for every target of the route for the
// current client, in head order, and gives the number of targets visited;
// a visit returning false stops the walk. Links of servers that left are
// skipped. Without meta screens every live link counts as one head.
using TargetVisit = bool (*)(const RouteTarget& target, void* argument);
u32 forEachTarget(Route route, TargetVisit visit, void* argument);

// Edits one head's copy of a request (ids, coordinates) before it is
// swapped for the server.
using CopyRewrite = void (*)(u8* copy, u32 length, const RouteTarget& target, void* argument);

// Copies the request to every target of the current row's route (or of
// `route` when given), rewriting each copy (rewrite may be null) and
// swapping it by the row's request layout for a server of the other order.
// A route to one head is also noted for in-order delivery when the client
// has links to two or more servers. A copy that cannot be made is answered
// with BadAlloc (value 0) and false is returned; heads before it keep their
// copy.
bool forwardRequest(const u8* request, u32 length, CopyRewrite rewrite = nullptr, void* argument = nullptr);
bool forwardRequestTo(Route route, const u8* request, u32 length, CopyRewrite rewrite, void* argument);

// --- Default handlers ------------------------------------------------------------
// Requests: BadRequest for the invalid opcodes and unclaimed extension
// majors; BadImplementation for a core request whose handler is not
// written; NoOperation does nothing.
void ProcInvalidRequest(u8* request, u32 length);
void ProcNoOperation(u8* request, u32 length);
void handleUnsupportedRequest(u8* request, u32 length);
void handleUnimplementedRequest(u8* request, u32 length);
// Replies: passed on to the client with the client's sequence; the
// unexpected and unsupported ones are logged first.
void forwardReply(u8* reply, u32 length);
void handleUnexpectedReply(u8* reply, u32 length);
void handleUnsupportedReply(u8* reply, u32 length);
// Events: a core event is passed on; an unclaimed code is logged, then
// passed on.
void forwardEvent(u8* event);
void handleUnsupportedEvent(u8* event);
// Errors: logged by the row's value kind and passed on.
void handleServerError(u8* error);
void handleUnsupportedError(u8* error);

// Translates a resource id of a server back to the client's; installed by
// the resource layer (null: ids stay as the server gave them).
extern u32 (*serverXidToClientHook)(u32 xid, const ServerLink* link);

}  // namespace palvon

// RANDR: registration, forwarding to the real servers and the way back.
//
// Ids of CRTCs, outputs and modes pass between client and servers as they
// are: the requests that name them go to one server (the main head), whose
// ids the client learned. Queries about a screen go to the screen's main
// head; changes of a screen go to every head of it, and of their replies
// only the main head's reaches the client (one request, one answer). The
// version query goes to every server, since a server sizes some requests
// by the version its client announced; the client is answered with the
// lower of the main server's version and the one the proxy offers, which
// is no higher than any server's.
#include "Xext/randr/randr.h"

#include <X11/X.h>

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/raw.h"
#include "Proxy/sync/clocks.h"
#include "Xext/extmodule.h"
#include "Xext/randr/internal.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Where a request's fields need the target head's terms (0: no such field).
struct Toward {
  u8 windowAt;      // a window of the proxy, translated per head
  u8 drawableAt;    // a drawable, translated per head
  u8 timeAt[2];     // meta time stamps, as each head's server counts them
  u8 atomAt[2];     // atoms, re-interned where the head is not the atom server
  bool mainReplyOnly;  // goes to every head; the other heads' replies are dropped
};

constexpr Toward kToward[kRRMinors] = {
    /* 0 QueryVersion */ {0, 0, {}, {}, true},
    {},
    /* 2 SetScreenConfig */ {0, 4, {8, 12}, {}, true},
    {},
    /* 4 SelectInput */ {4, 0, {}, {}, false},
    /* 5 GetScreenInfo */ {4, 0, {}, {}, false},
    /* 6 GetScreenSizeRange */ {4, 0, {}, {}, false},
    /* 7 SetScreenSize */ {4, 0, {}, {}, false},
    /* 8 GetScreenResources */ {4, 0, {}, {}, false},
    /* 9 GetOutputInfo */ {0, 0, {8, 0}, {}, false},
    /* 10 */ {},
    /* 11 QueryOutputProperty */ {0, 0, {}, {8, 0}, false},
    /* 12 ConfigureOutputProperty */ {0, 0, {}, {8, 0}, false},
    /* 13 ChangeOutputProperty */ {0, 0, {}, {8, 12}, false},
    /* 14 DeleteOutputProperty */ {0, 0, {}, {8, 0}, false},
    /* 15 GetOutputProperty */ {0, 0, {}, {8, 12}, false},
    /* 16 CreateMode */ {4, 0, {}, {}, true},
    {}, {}, {},
    /* 20 GetCrtcInfo */ {0, 0, {8, 0}, {}, false},
    /* 21 SetCrtcConfig */ {0, 0, {8, 12}, {}, false},
    {}, {}, {},
    /* 25 GetScreenResourcesCurrent */ {4, 0, {}, {}, false},
    {}, {}, {},
    /* 29 SetPanning */ {0, 0, {8, 0}, {}, false},
    /* 30 SetOutputPrimary */ {4, 0, {}, {}, false},
    /* 31 GetOutputPrimary */ {4, 0, {}, {}, false},
};

// The mark stashed on a copy whose reply the client must not see.
void* const kDropReply = reinterpret_cast<void*>(uintptr_t{1});

struct ForwardState {
  const Toward* toward;
  const Head* main;  // the head whose reply is passed on
  u8 major;
};

void rewriteTowardHead(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* state = static_cast<ForwardState*>(argument);
  const Toward& t = *state->toward;
  const Head* head = target.head;
  if (t.mainReplyOnly && head && head != state->main) stashRequestData(target.link, state->major, kDropReply, nullptr);
  if (!head) return;
  if (t.windowAt) put32(copy + t.windowAt, translateXid(get32(copy + t.windowAt), RT_WINDOW, head));
  if (t.drawableAt) put32(copy + t.drawableAt, mapDrawableToHead(get32(copy + t.drawableAt), head));
  for (u8 at : t.timeAt) {
    if (at) put32(copy + at, metaToServerTimestamp(get32(copy + at), head));
  }
  for (u8 at : t.atomAt) {
    if (at && get32(copy + at)) put32(copy + at, u32(mapAtomToHead(get32(copy + at), head)));
  }
}

// The one handler of every RANDR request: emulated, or forwarded along the
// row's route with the fields of the table above translated.
void ProcRandr(u8* request, u32 length) {
  if (randrEmulationActive()) return emulateRandrRequest(request, length);
  ProxyClient* client = currentClient;
  u8 minor = request[1];
  const Toward& toward = kToward[minor < kRRMinors ? minor : 0];
  if (u8 at = toward.windowAt ? toward.windowAt : toward.drawableAt) setRequestResource(client, get32(request + at));
  MetaScreen* screen = client->requestResourceScreen ? client->requestResourceScreen : proxyState.screens;
  ForwardState state{&toward, screen ? (screen->mainHead ? screen->mainHead : screen->heads) : nullptr, request[0]};
  if (!forwardRequest(request, length, rewriteTowardHead, &state)) return;
  // The main head's reply waits until every server has passed the request.
  if (toward.mainReplyOnly && openLinkCount(client) > 1) noteRequestWithoutReply(request);
}

// Output properties carry data of their format: only 8, 16 and 32 exist.
void ProcRRChangeOutputProperty(u8* request, u32 length) {
  u8 format = request[16];
  if (format != 8 && format != 16 && format != 32) return sendXError(BadValue, format, request, length, nullptr);
  if (request[17] > PropModeAppend) return sendXError(BadValue, request[17], request, length, nullptr);
  ProcRandr(request, length);
}

// The filter name is followed by any number of 32-bit parameters.
void ProcRRSetCrtcTransform(u8* request, u32 length) {
  if (length < 48 || 48 + ((u64{get16(request + 44)} + 3) & ~u64{3}) > length)
    return sendXError(BadLength, length, request, length, nullptr);
  ProcRandr(request, length);
}

// --- Replies ------------------------------------------------------------------------------

const ServerDisplay* replyDisplay() { return currentLink ? currentLink->server.display : nullptr; }

void timeBack(u8* message, u32 at) {
  if (u32 time = get32(message + at)) put32(message + at, translateServerTimestamp(time, replyDisplay()));
}

void idBack(u8* message, u32 at) { put32(message + at, mapServerXidToClient(get32(message + at), replyDisplay())); }

// A reply of a head other than the main head to a change sent to every head.
bool droppedReply() {
  if (!currentLink) return false;
  return takeStashedData(currentLink, static_cast<u8>(currentLink->requestKeyAnswered)) == kDropReply;
}

// The client gets no more than both the server and the proxy speak.
void ReplyRRQueryVersion(u8* reply, u32 length) {
  if (droppedReply()) return;
  u32 server = get32(reply + 8) * 64 + get32(reply + 12);
  u32 version = std::min<u32>(server, offeredVersion(kModuleRandr));
  put32(reply + 8, version / 64);
  put32(reply + 12, version % 64);
  sendReplyToClient(reply, length, "bbsiii");
}

void ReplyRRSetScreenConfig(u8* reply, u32 length) {
  if (droppedReply()) return;
  timeBack(reply, 8);
  timeBack(reply, 12);
  idBack(reply, 16);
  sendReplyToClient(reply, length, "bbsiiiis");
}

void ReplyRRGetScreenInfo(u8* reply, u32 length) {
  idBack(reply, 8);
  timeBack(reply, 12);
  timeBack(reply, 16);
  sendReplyToClient(reply, length, "bbsiiiiS");
}

void ReplyRRGetScreenResources(u8* reply, u32 length) {
  timeBack(reply, 8);
  timeBack(reply, 12);
  sendReplyToClient(reply, length, "H20");
}

void ReplyRRGetOutputInfo(u8* reply, u32 length) {
  timeBack(reply, 8);
  sendReplyToClient(reply, length, "H22");
}

LayoutString outputPropertyReplyLayout(const u8* reply, u32) {
  switch (reply[1]) {
    case 16: return "bbsiiiibbbbbbbbbbbbS";
    case 32: return "bbsiiiibbbbbbbbbbbbI";
    default: return "bbsiiii";
  }
}

LayoutString changeOutputPropertyLayout(const u8* request, u32 length) {
  switch (length > 16 ? request[16] : 0) {
    case 16: return "bbsiiibbsiS";
    case 32: return "bbsiiibbsiI";
    default: return "bbsiiibbsi";
  }
}

void ReplyRRGetOutputProperty(u8* reply, u32 length) {
  sendReplyToClient(reply, length, outputPropertyReplyLayout(reply, length));
}

void ReplyRRCreateMode(u8* reply, u32 length) {
  if (droppedReply()) return;
  sendReplyToClient(reply, length, "bbsii");
}

void ReplyRRGetCrtcInfo(u8* reply, u32 length) {
  timeBack(reply, 8);
  sendReplyToClient(reply, length, "bbsiissssissssI");
}

void ReplyRRTimeAt8(u8* reply, u32 length) {
  timeBack(reply, 8);
  sendReplyToClient(reply, length, "bbsii");
}

void ReplyRRGetPanning(u8* reply, u32 length) {
  timeBack(reply, 8);
  sendReplyToClient(reply, length, "bbsiiS");
}

// --- Events ---------------------------------------------------------------------------------

constexpr u8 kSynthetic = 0x80;

void EventRRScreenChangeNotify(u8* event) {
  if (!(event[0] & kSynthetic)) {
    timeBack(event, 4);
    timeBack(event, 8);
    idBack(event, 12);
    idBack(event, 16);
  }
  sendEventToClient(event, "bbsiiiiS", 0);
}

void EventRRNotify(u8* event) {
  if (!(event[0] & kSynthetic)) {
    switch (event[1]) {
      case 0:  // CRTC change
        timeBack(event, 4);
        idBack(event, 8);
        break;
      case 1:  // output change
        timeBack(event, 4);
        timeBack(event, 8);
        idBack(event, 12);
        break;
      case 2:  // output property
        idBack(event, 4);
        timeBack(event, 16);
        break;
      default:
        logProblem("UNE", __FILE__, __LINE__);
        idBack(event, 4);
        timeBack(event, 16);
        break;
    }
  }
  sendEventToClient(event, "H61", 0);
}

// --- Rows -----------------------------------------------------------------------------------
// Ordered by minor: the 1.0 requests, then those of 1.2, then those of 1.3,
// so that a version registers a prefix of the table.

constexpr u32 kRows10 = 4, kRows12 = 23;

constexpr RequestRow kRequests[] = {
    // Every server learns the version the client speaks: some requests
    // change their length with it.
    {kRRQueryVersion, "RRQueryVersion", ProcRandr, ReplyRRQueryVersion, "bbsii", "bbsiii", exactSize(12),
     Route::kEveryServer},
    {kRRSetScreenConfig, "RRSetScreenConfig", ProcRandr, ReplyRRSetScreenConfig, "bbsiiissss", "bbsiiiis",
     exactSize(24), Route::kEveryHead},
    {kRRSelectInput, "RRSelectInput", ProcRandr, nullptr, "bbsiss", nullptr, exactSize(12), Route::kEveryHead},
    {kRRGetScreenInfo, "RRGetScreenInfo", ProcRandr, ReplyRRGetScreenInfo, "bbsi", "bbsiiiiS", exactSize(8),
     Route::kMainHead},
    // 1.2
    {kRRGetScreenSizeRange, "RRGetScreenSizeRange", ProcRandr, nullptr, "bbsi", "bbsiS", exactSize(8),
     Route::kMainHead},
    {kRRSetScreenSize, "RRSetScreenSize", ProcRandr, nullptr, "bbsissii", nullptr, exactSize(20),
     Route::kEveryHead},
    {kRRGetScreenResources, "RRGetScreenResources", ProcRandr, ReplyRRGetScreenResources, "bbsi", "H20",
     exactSize(8), Route::kMainHead},
    {kRRGetOutputInfo, "RRGetOutputInfo", ProcRandr, ReplyRRGetOutputInfo, "bbsii", "H22", exactSize(12),
     Route::kMainHead},
    {kRRListOutputProperties, "RRListOutputProperties", ProcRandr, nullptr, "bbsi", "bbsissI", exactSize(8),
     Route::kMainHead},
    {kRRQueryOutputProperty, "RRQueryOutputProperty", ProcRandr, nullptr, "bbsii", "bbsibbbbI", exactSize(12),
     Route::kMainHead},
    {kRRConfigureOutputProperty, "RRConfigureOutputProperty", ProcRandr, nullptr, "bbsiibbsI", nullptr,
     listSize(16, 4), Route::kMainHead},
    {kRRChangeOutputProperty, "RRChangeOutputProperty", ProcRRChangeOutputProperty, nullptr, "bbsiiibbsi",
     nullptr, countedSize(24, 20, 4, 1, 16), Route::kMainHead, changeOutputPropertyLayout},
    {kRRDeleteOutputProperty, "RRDeleteOutputProperty", ProcRandr, nullptr, "bbsii", nullptr, exactSize(12),
     Route::kMainHead},
    {kRRGetOutputProperty, "RRGetOutputProperty", ProcRandr, ReplyRRGetOutputProperty, "bbsiiiii", "bbsiiii",
     exactSize(28), Route::kMainHead, nullptr, outputPropertyReplyLayout},
    {kRRCreateMode, "RRCreateMode", ProcRandr, ReplyRRCreateMode, "bbsiississssssssi", "bbsii",
     atLeastSize(40), Route::kEveryHead},  // a plain server takes a name shorter than the request
    {kRRDestroyMode, "RRDestroyMode", ProcRandr, nullptr, "bbsi", nullptr, exactSize(8), Route::kMainHead},
    {kRRAddOutputMode, "RRAddOutputMode", ProcRandr, nullptr, "bbsii", nullptr, exactSize(12), Route::kMainHead},
    {kRRDeleteOutputMode, "RRDeleteOutputMode", ProcRandr, nullptr, "bbsii", nullptr, exactSize(12),
     Route::kMainHead},
    {kRRGetCrtcInfo, "RRGetCrtcInfo", ProcRandr, ReplyRRGetCrtcInfo, "bbsii", "bbsiissssissssI", exactSize(12),
     Route::kMainHead},
    {kRRSetCrtcConfig, "RRSetCrtcConfig", ProcRandr, ReplyRRTimeAt8, "bbsiiississI", "bbsii", listSize(28, 4),
     Route::kMainHead},
    {kRRGetCrtcGammaSize, "RRGetCrtcGammaSize", ProcRandr, nullptr, "bbsi", "bbsis", exactSize(8),
     Route::kMainHead},
    {kRRGetCrtcGamma, "RRGetCrtcGamma", ProcRandr, nullptr, "bbsi", "bbsissiiiiiS", exactSize(8), Route::kMainHead},
    {kRRSetCrtcGamma, "RRSetCrtcGamma", ProcRandr, nullptr, "bbsisS", nullptr, countedSize(12, 8, 2, 48),
     Route::kMainHead},
    // 1.3
    {kRRGetScreenResourcesCurrent, "RRGetScreenResourcesCurrent", ProcRandr, ReplyRRGetScreenResources, "bbsi",
     "H20", exactSize(8), Route::kMainHead},
    {kRRSetCrtcTransform, "RRSetCrtcTransform", ProcRRSetCrtcTransform, nullptr, "H60", nullptr, anySize(),
     Route::kMainHead},
    {kRRGetCrtcTransform, "RRGetCrtcTransform", ProcRandr, nullptr, "bbsi", "H21", exactSize(8), Route::kMainHead},
    {kRRGetPanning, "RRGetPanning", ProcRandr, ReplyRRGetPanning, "bbsi", "bbsiiS", exactSize(8), Route::kMainHead},
    {kRRSetPanning, "RRSetPanning", ProcRandr, ReplyRRTimeAt8, "bbsiiS", "bbsii", exactSize(36), Route::kMainHead},
    {kRRSetOutputPrimary, "RRSetOutputPrimary", ProcRandr, nullptr, "bbsii", nullptr, exactSize(12),
     Route::kMainHead},
    {kRRGetOutputPrimary, "RRGetOutputPrimary", ProcRandr, nullptr, "bbsi", "bbsii", exactSize(8),
     Route::kMainHead},
};
static_assert(rowCount(kRequests) == 30, "every minor from 0 to 31 but 1 and 3");

constexpr EventRow kEvents[] = {
    {0, "RRScreenChangeNotify", EventRRScreenChangeNotify, "bbsiiiiS"},
    {1, "RRNotify", EventRRNotify, "H61"},
};

constexpr ErrorRow kErrors[] = {
    {kRRBadOutput, "RRBadOutput", nullptr, ErrorValue::kText},
    {kRRBadCrtc, "RRBadCrtc", nullptr, ErrorValue::kText},
    {kRRBadMode, "RRBadMode", nullptr, ErrorValue::kText},
};

// The version a server speaks when asked for `offered` (it answers the
// lower of the two); 0 when it cannot be asked.
u16 serverRandrVersion(Display* display, u16 offered) {
  u8 major = rawExtensionOpcode(display, "RANDR");
  if (!major || !rawBegin(display)) return 0;
  u8* request = rawRequest(display, major, kRRQueryVersion, 12);
  if (!request) return 0;
  rawPut32(request, 4, offered / 64);
  rawPut32(request, 8, offered % 64);
  RawReply reply{};
  if (!rawReply(display, &reply)) return 0;
  u32 version = reply.word(8) * 64 + reply.word(12);
  rawReplyFree(&reply);
  return static_cast<u16>(std::min<u32>(version, offered));
}

// Forwarded, no request may reach a server that does not know it.
u16 lowestServerVersion(u16 offered) {
  for (ServerDisplay* server = serverDisplayList; server; server = server->next) {
    if (!server->display || server == resourceServerDisplay) continue;
    if (u16 version = serverRandrVersion(server->display, offered)) offered = version;
  }
  return offered;
}

void resetRandr(ExtensionEntry* entry) {
  installRandrEmulationHooks(false);
  chooseRandrEmulation(false);
  clearModuleWord(entry);
}

}  // namespace

const char* initRandrExtension(ExtensionEntry* entry) {
  // A meta screen of several heads, or of one head that is not its
  // server's whole screen, is a screen the servers' RANDR cannot
  // describe: the proxy answers from its model.
  bool emulated = (proxyConfig.workarounds & kWorkaroundRandrEmulation) != 0 || anyScreenBeyondItsServer();
  chooseRandrEmulation(emulated);
  if (!entry->version) entry->version = 67;
  if (!emulated) entry->version = lowestServerVersion(entry->version);
  u32 version = entry->version;
  u32 requests = version >= 67 ? rowCount(kRequests) : version > 65 ? kRows12 : kRows10;
  ProtocolRows rows{kRequests, requests, kEvents, version > 65 ? 2u : 1u, kErrors, rowCount(kErrors)};
  if (const char* refusal = registerModule(entry, "RANDR", rows, {kModuleRandr, nullptr, resetRandr, emulated}))
    return refusal;
  if (emulated) {
    startRandrEmulation();
    installRandrEmulationHooks(true);
  }
  return nullptr;
}

}  // namespace palvon

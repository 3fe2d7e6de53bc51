// MIT-SCREEN-SAVER and SCREEN-SAVER.
#include "Xext/small/screensaver.h"

#include <X11/X.h>

#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/heads/settings.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/input.h"
#include "Proxy/requests/server.h"
#include "Proxy/requests/windows.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/pixels.h"
#include "Xext/extmodule.h"
#include "base/bits.h"

namespace palvon {

Head* screenSaverHead(u32 drawable) {
  MetaScreen* screen = lookupScreenOfXid(drawable);
  if (!screen) return nullptr;
  for (Head* head = screen->heads; head; head = head->next) {
    if (inputControlDisplay && head->serverDisplay == inputControlDisplay) return head;
  }
  return screen->mainHead ? screen->mainHead : screen->heads;
}

namespace {

constexpr u8 kMitQueryVersion = 0, kMitQueryInfo = 1, kMitSelectInput = 2, kMitSetAttributes = 3,
             kMitUnsetAttributes = 4;
constexpr u8 kSgiQueryVersion = 0, kSgiEnable = 1, kSgiDisable = 2;

// Value-list attributes start here; the mask sits at 24.
constexpr u32 kAttributesFixed = 28;

// --- MIT-SCREEN-SAVER ------------------------------------------------------------------

void ReplyMitQueryVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleMitScreenSaver, "bbsiss"); }

void mapDrawableCopy(u8* copy, u32, const RouteTarget& target, void*) {
  if (target.head) put32(copy + 4, mapDrawableToHead(get32(copy + 4), target.head));
}

// QueryInfo and SelectInput: one head, the drawable's screen-saver head.
void ProcMitOnSaverHead(u8* request, u32 length) {
  u32 drawable = get32(request + 4);
  Head* head = screenSaverHead(drawable);
  if (!head && proxyState.screens) return sendXError(BadDrawable, drawable, request, length, nullptr);
  setRequestResource(currentClient, drawable);
  bool failed = false;
  ServerLink* link = forwardToHead(head, request, length, mapDrawableCopy, nullptr, &failed);
  // No server left to answer: the client must not wait for a reply.
  if (!link && !failed && request[1] == kMitQueryInfo) {
    ProxyClient* client = currentClient;
    composeImplementationError(client, client->requestCounter, static_cast<u16>(request[0] | request[1] << 8));
  }
}

// The saver window the server made is known to the client by the proxy's id.
void ReplyMitQueryInfo(u8* reply, u32 length) {
  if (length >= 12 && currentLink)
    put32(reply + 8, mapServerXidToClient(get32(reply + 8), currentLink->server.display));
  sendReplyToClient(reply, length, "bbsiiiii");
}

// A head in a window of its own shows no real root, unless it alone stands
// on its server.
bool takesSaverAttributes(const Head* head) {
  if (!head->inWindow) return true;
  return !(head->tags & kHeadTagOverlay) && (head->tags & kHeadTagNotManaged) && (head->tags & kHeadTagStatic);
}
bool takesSaverUnset(const Head* head) {
  if (!head->inWindow) return true;
  return !(head->tags & kHeadTagOverlay) && (head->tags & kHeadTagNotManaged);
}

// One head's SetAttributes: geometry scaled, depth and visual mapped, and the
// value list translated as a window's (pixmaps, pixels, colormap, cursor).
bool writeSaverAttributes(const u8* request, ProxyWindow* root, Head* head, ServerLink* link) {
  WindowValueList values{};
  values.mask = get32(request + 24) & 0x7fff;
  readWindowValues(values.mask, request + kAttributesFixed, &values);
  if (root) rewriteWindowValues(&values, root, head, false);
  u32 length = kAttributesFixed + 4 * bitCount(values.mask);
  u8* p = allocServerRequest(link, request[0], request[1], length);
  if (!p) return false;
  std::memcpy(p + 4, request + 4, kAttributesFixed - 4);
  put32(p + 4, translateXid(get32(request + 4), RT_REAL_ROOT, head));
  auto x = static_cast<i16>(get16(request + 8)), y = static_cast<i16>(get16(request + 10));
  u16 width = get16(request + 12), height = get16(request + 14);
  u32 border = get16(request + 16);
  if (head->scaler) {
    scaleArea16(head->scaler, &x, &y, &width, &height);
    border = scaleBorderWidth(head->scaler, border);
  }
  put16(p + 8, static_cast<u16>(x));
  put16(p + 10, static_cast<u16>(y));
  put16(p + 12, width);
  put16(p + 14, height);
  put16(p + 16, static_cast<u16>(border));
  if (request[19]) p[19] = static_cast<u8>(mapDepthForHead(request[19], head));
  if (u32 visual = get32(request + 20)) put32(p + 20, mapVisualIdToHead(visual, head));
  put32(p + 24, values.mask);
  packWindowValues(values, p + kAttributesFixed);
  swapServerRequest(link, p, length, "bbsisssssbbiiI");
  for (u32 k = 0; k < values.temporaryCount; k++) xprotoFreePixmap(&link->writer, values.temporary[k]);
  return true;
}

void ProcMitSetAttributes(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 drawable = get32(request + 4);
  MetaScreen* screen = lookupScreenOfXid(drawable);
  if (!screen) return sendXError(BadDrawable, drawable, request, length, nullptr);
  setRequestResource(client, drawable);
  for (Head* head = screen->heads; head; head = head->next) {
    ServerLink* link = clientLink(client, head->serverIndex);
    if (!link || !takesSaverAttributes(head)) continue;
    if (!writeSaverAttributes(request, screen->rootWindow, head, link))
      return sendXError(BadAlloc, 0, request, length, nullptr);
  }
}

void ProcMitUnsetAttributes(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 drawable = get32(request + 4);
  MetaScreen* screen = lookupScreenOfXid(drawable);
  if (!screen) return sendXError(BadDrawable, drawable, request, length, nullptr);
  setRequestResource(client, drawable);
  for (Head* head = screen->heads; head; head = head->next) {
    if (!takesSaverUnset(head)) continue;
    bool failed = false;
    copyToHead(head, request, length, mapDrawableCopy, nullptr, &failed);
    if (failed) return;
  }
}

// The server's root and saver window become the proxy's, its time the
// proxy's clock; an event a client sent is passed on as it is.
void EventScreenSaverNotify(u8* event) {
  if (!(event[0] & 0x80) && currentLink && currentLink->server.display && currentLink->server.display->display) {
    const ServerDisplay* display = currentLink->server.display;
    Head* head = findHeadByRoot(display->display, get32(event + 8));
    if (head) {
      put32(event + 8, mapServerXidToClientByType(RT_WINDOW, get32(event + 8), head));
      put32(event + 12, mapServerXidToClientByType(RT_WINDOW, get32(event + 12), head));
    }
    put32(event + 4, translateServerTimestamp(get32(event + 4), display));
  }
  sendEventToClient(event, "bbsiii", 0);
}

constexpr RequestRow kMitRequests[] = {
    {kMitQueryVersion, "ScreenSaverQueryVersion", forwardOrAnswer, ReplyMitQueryVersion, "bbs", "bbsiss", exactSize(8),
     Route::kInputHead},
    {kMitQueryInfo, "ScreenSaverQueryInfo", ProcMitOnSaverHead, ReplyMitQueryInfo, "bbsi", "bbsiiiii", exactSize(8),
     Route::kNone},
    {kMitSelectInput, "ScreenSaverSelectInput", ProcMitOnSaverHead, nullptr, "bbsii", "", exactSize(12), Route::kNone},
    {kMitSetAttributes, "ScreenSaverSetAttributes", ProcMitSetAttributes, nullptr, "bbsisssssbbiiI", "",
     maskSize(kAttributesFixed, 24, 4), Route::kNone},
    {kMitUnsetAttributes, "ScreenSaverUnsetAttributes", ProcMitUnsetAttributes, nullptr, "bbsi", "", exactSize(8),
     Route::kNone},
};

constexpr EventRow kMitEvents[] = {
    {0, "ScreenSaverNotify", EventScreenSaverNotify, "bbsiii"},
};

// --- SCREEN-SAVER -------------------------------------------------------------------

// The server's own version stands unless it is newer than the proxy's.
void ReplySgiQueryVersion(u8* reply, u32 length) {
  if (length >= 12) {
    u32 server = get16(reply + 8) * 64u + get16(reply + 10);
    if (server > offeredVersion(kModuleSgiScreenSaver))
      return sendVersionReply(reply, length, kModuleSgiScreenSaver, "bbsiss");
  }
  sendReplyToClient(reply, length, "bbsiss");
}

// The client's screen number means the meta screen; the server's is that of
// the input-control server's first head.
void screenOfInputHead(u8* copy, u32, const RouteTarget& target, void*) {
  if (target.head) put32(copy + 4, target.head->screen);
}

void ProcSgiEnableDisable(u8* request, u32 length) { forwardRequest(request, length, screenOfInputHead, nullptr); }

// The id in both events is a window of the server's.
void EventSgiScreenSaver(u8* event) {
  if (!(event[0] & 0x80) && currentLink)
    put32(event + 4, mapServerXidToClient(get32(event + 4), currentLink->server.display));
  sendEventToClient(event, "bbsii", 0);
}

constexpr RequestRow kSgiRequests[] = {
    {kSgiQueryVersion, "SgiScreenSaverQueryVersion", forwardOrAnswer, ReplySgiQueryVersion, "bbsbbs", "bbsiss",
     exactSize(8), Route::kInputHead},
    {kSgiEnable, "SgiScreenSaverEnable", ProcSgiEnableDisable, nullptr, "bbsi", "bbsi", exactSize(8),
     Route::kInputHead},
    {kSgiDisable, "SgiScreenSaverDisable", ProcSgiEnableDisable, nullptr, "bbsi", "bbsi", exactSize(8),
     Route::kInputHead},
};

constexpr EventRow kSgiEvents[] = {
    {0, "SgiScreenSaverStart", EventSgiScreenSaver, "bbsii"},
    {1, "SgiScreenSaverEnd", EventSgiScreenSaver, "bbsii"},
};

}  // namespace

const char* initMitScreenSaverExtension(ExtensionEntry* entry) {
  return registerModule(entry, "MIT-SCREEN-SAVER",
                        {kMitRequests, rowCount(kMitRequests), kMitEvents, rowCount(kMitEvents), nullptr, 0},
                        {kModuleMitScreenSaver, nullptr, nullptr, false});
}

const char* initSgiScreenSaverExtension(ExtensionEntry* entry) {
  return registerModule(entry, "SCREEN-SAVER",
                        {kSgiRequests, rowCount(kSgiRequests), kSgiEvents, rowCount(kSgiEvents), nullptr, 0},
                        {kModuleSgiScreenSaver, nullptr, nullptr, false});
}

}  // namespace palvon

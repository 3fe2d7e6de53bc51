// XINERAMA from the proxy's heads.
#include "Xext/randr/xinerama.h"

#include <X11/X.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Xext/extmodule.h"
#include "Xext/randr/internal.h"
#include "base/logging.h"

namespace palvon {

// A head of the auxiliary resource server, or one whose server is gone, is
// the proxy's business, not a screen or monitor the client may place
// windows on.
bool isExcludedHead(const Head* head) {
  return !head->serverDisplay || isResourceServerHead(head);
}

bool isResourceServerHead(const Head* head) {
  return resourceServerDisplay && head->serverDisplay == resourceServerDisplay;
}

namespace {

constexpr u8 kQueryVersion = 0, kGetState = 1, kGetScreenCount = 2, kGetScreenSize = 3, kIsActive = 4,
             kQueryScreens = 5;
// The per-window form of minor 4: one 28-byte entry for each of 16 screens.
constexpr u32 kWindowInfoEntries = 16, kWindowInfoEntryBytes = 28;
constexpr u32 kWindowInfoBytes = 12 + kWindowInfoEntries * kWindowInfoEntryBytes;

bool reversedOrder() {
  const char* order = std::getenv("XineramaOrdering");
  return order && strcasecmp(order, "reverse") == 0;
}

Rect xineramaRectOf(const Head* head) {
  return {head->logical.x, head->logical.y, u32(head->logical.width), u32(head->logical.height)};
}

bool sameRect(const Head* head, const MetaScreen* screen) {
  return head->logical.x == screen->x && head->logical.y == screen->y && u32(head->logical.width) == screen->width &&
         u32(head->logical.height) == screen->height;
}

// The head at position `at` of the screen's order before any reversal.
const Head* screenInListOrder(const MetaScreen* screen, u32 at) {
  for (const Head* head = screen->heads; head; head = head->next) {
    if (isExcludedHead(head)) continue;
    if (at-- == 0) return head;
  }
  for (const Head* probe = screen->probeOnlyHeads; probe; probe = probe->next) {
    if (!isUnmatchedProbeHead(probe, screen)) continue;
    if (at-- == 0) return probe;
  }
  return nullptr;
}

u32 countOne(const MetaScreen* screen) {
  u32 count = 0;
  for (const Head* head = screen->heads; head; head = head->next) count += !isExcludedHead(head);
  for (const Head* probe = screen->probeOnlyHeads; probe; probe = probe->next)
    count += isUnmatchedProbeHead(probe, screen);
  return count;
}

const Head* screenAtOne(const MetaScreen* screen, u32 index, bool reversed) {
  u32 count = countOne(screen);
  if (index >= count) return nullptr;
  return screenInListOrder(screen, reversed ? count - 1 - index : index);
}

u8* setReplyHeader(u8* reply) {
  put16(reply + 2, static_cast<u16>(currentClient->requestCounter));
  return reply;
}

// --- Requests, by minor -----------------------------------------------------------------

void ProcXineramaQueryVersion(u8* request, u32) {
  u8 reply[32] = {};
  u16 version = offeredVersion(kModuleXinerama);
  put16(reply + 8, version / 64);
  put16(reply + 10, version % 64);
  sendComposedReply(request[0], request[1], setReplyHeader(reply), sizeof reply, "bbsiss", currentClient);
}

void ProcXineramaGetState(u8* request, u32 length) {
  u32 window = get32(request + 4);
  MetaScreen* screen = lookupWindowScreen(window);
  if (!screen) return sendXError(BadWindow, window, request, length, nullptr);
  u8 reply[32] = {};
  reply[1] = isXineramaActive(screen);
  put32(reply + 8, window);
  sendComposedReply(request[0], request[1], setReplyHeader(reply), sizeof reply, "bbsii", currentClient);
}

void ProcXineramaGetScreenCount(u8* request, u32) {
  // An unknown window counts the screens of every meta screen.
  u32 window = get32(request + 4);
  u32 count = xineramaScreenCount(lookupWindowScreen(window));
  u8 reply[32] = {};
  reply[1] = static_cast<u8>(std::min<u32>(count, 255));
  put32(reply + 8, window);
  sendComposedReply(request[0], request[1], setReplyHeader(reply), sizeof reply, "bbsii", currentClient);
}

void ProcXineramaGetScreenSize(u8* request, u32 length) {
  u32 window = get32(request + 4), index = get32(request + 8);
  MetaScreen* screen = lookupWindowScreen(window);
  if (!screen) return sendXError(BadWindow, window, request, length, nullptr);
  Rect rect{};
  if (!xineramaScreenRect(screen, index, &rect)) return sendXError(BadValue, index, request, length, nullptr);
  u8 reply[32] = {};
  put32(reply + 8, rect.width);
  put32(reply + 12, rect.height);
  put32(reply + 16, window);
  put32(reply + 20, index);
  sendComposedReply(request[0], request[1], setReplyHeader(reply), sizeof reply, "bbsiiiii", currentClient);
}

// Each screen's share of the window, for up to 16 screens.
void sendWindowScreenInfo(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ProxyWindow* window = lookupWindow(id);
  if (!window) return sendXError(BadWindow, id, request, length, nullptr);
  u8 reply[kWindowInfoBytes] = {};
  put32(reply + 8, id);
  u32 count = std::min(xineramaScreenCount(window->screen), kWindowInfoEntries);
  Rect area{window->x, window->y, window->width, window->height};
  for (u32 i = 0; i < count; i++) {
    Rect screen{};
    if (!xineramaScreenRect(window->screen, i, &screen)) continue;
    Rect part = xineramaIntersect(area, screen);
    u8* entry = reply + 12 + i * kWindowInfoEntryBytes;
    put32(entry, id);
    put32(entry + 4, u32(screen.x));
    put32(entry + 8, u32(screen.y));
    put32(entry + 12, u32(part.x - screen.x));
    put32(entry + 16, u32(part.y - screen.y));
    put32(entry + 20, part.width);
    put32(entry + 24, part.height);
  }
  sendComposedReply(request[0], request[1], setReplyHeader(reply), sizeof reply, "bbsI", currentClient);
}

void ProcXineramaIsActive(u8* request, u32 length) {
  if (length == 8) return sendWindowScreenInfo(request, length);
  if (length != 4) return sendXError(BadLength, length, request, length, nullptr);
  u8 reply[32] = {};
  put32(reply + 8, isXineramaActive(firstMetaScreen()));
  sendComposedReply(request[0], request[1], setReplyHeader(reply), sizeof reply, "bbsii", currentClient);
}

void ProcXineramaQueryScreens(u8* request, u32 length) {
  u32 count = xineramaScreenCount(nullptr);
  u32 bytes = 32 + 8 * count;
  u8* reply = static_cast<u8*>(std::calloc(1, bytes));
  if (!reply) return sendXError(BadAlloc, 0, request, length, nullptr);
  put32(reply + 8, count);
  bool reversed = reversedOrder();
  u32 k = 0;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    u32 here = countOne(screen);
    for (u32 i = 0; i < here && k < count; i++, k++) {
      const Head* head = screenAtOne(screen, i, reversed);
      if (!head) continue;
      u8* record = reply + 32 + 8 * k;
      put16(record, static_cast<u16>(head->logical.x));
      put16(record + 2, static_cast<u16>(head->logical.y));
      put16(record + 4, static_cast<u16>(head->logical.width));
      put16(record + 6, static_cast<u16>(head->logical.height));
    }
  }
  sendComposedReply(request[0], request[1], setReplyHeader(reply), bytes, "bbsiiS", currentClient);
  std::free(reply);
}

// Minor 4 comes in two lengths: the plain query and the per-window one.
LayoutString isActiveRequestLayout(const u8*, u32 length) { return length == 8 ? "bbsi" : "bbs"; }
LayoutString isActiveReplyLayout(const u8*, u32 length) { return length == kWindowInfoBytes ? "bbsI" : "bbsii"; }

void lostXineramaServer(ProxyClient*, u64, u8, u16) { logProblem("WIP", __FILE__, __LINE__); }

constexpr RequestRow kRequests[] = {
    {kQueryVersion, "XineramaQueryVersion", ProcXineramaQueryVersion, nullptr, "bbsbbs", "bbsiss", exactSize(8),
     Route::kLocal},
    {kGetState, "XineramaGetState", ProcXineramaGetState, nullptr, "bbsi", "bbsii", exactSize(8), Route::kLocal},
    {kGetScreenCount, "XineramaGetScreenCount", ProcXineramaGetScreenCount, nullptr, "bbsi", "bbsii", exactSize(8),
     Route::kLocal},
    {kGetScreenSize, "XineramaGetScreenSize", ProcXineramaGetScreenSize, nullptr, "bbsii", "bbsiiiii",
     exactSize(12), Route::kLocal},
    {kIsActive, "XineramaIsActive", ProcXineramaIsActive, nullptr, "bbs", "bbsii", anySize(), Route::kLocal,
     isActiveRequestLayout, isActiveReplyLayout},
    {kQueryScreens, "XineramaQueryScreens", ProcXineramaQueryScreens, nullptr, "bbs", "bbsiiS", exactSize(4),
     Route::kLocal},
};

}  // namespace

bool isUnmatchedProbeHead(const Head* probe, const MetaScreen* screen) {
  for (const Head* head = screen->heads; head; head = head->next) {
    if (head->screen == probe->screen && isSameDisplay(head->configuredDisplay, probe->configuredDisplay))
      return false;
  }
  return true;
}

const Head* xineramaScreenAt(const MetaScreen* screen, u32 index) {
  bool reversed = reversedOrder();
  if (screen) return screenAtOne(screen, index, reversed);
  for (const MetaScreen* s = proxyState.screens; s; s = s->next) {
    u32 count = countOne(s);
    if (index < count) return screenAtOne(s, index, reversed);
    index -= count;
  }
  return nullptr;
}

bool xineramaScreenRect(const MetaScreen* screen, u32 index, Rect* out) {
  const Head* head = xineramaScreenAt(screen, index);
  if (!head) return false;
  *out = xineramaRectOf(head);
  return true;
}

u32 xineramaScreenCount(const MetaScreen* screen) {
  if (screen) return countOne(screen);
  u32 count = 0;
  for (const MetaScreen* s = proxyState.screens; s; s = s->next) count += countOne(s);
  return count;
}

bool isXineramaActive(const MetaScreen* screen) {
  if (!screen) return false;
  for (const Head* head = screen->heads; head; head = head->next) {
    if (!sameRect(head, screen)) return true;
  }
  if (proxyConfig.options & kOptionDynamicServer) return true;
  for (const Head* probe = screen->probeOnlyHeads; probe; probe = probe->next) {
    if (isUnmatchedProbeHead(probe, screen) && !sameRect(probe, screen)) return true;
  }
  return false;
}

Rect xineramaIntersect(const Rect& window, const Rect& screen) {
  i64 x = std::max(window.x, screen.x), y = std::max(window.y, screen.y);
  i64 right = std::min(i64{window.x} + window.width - 1, i64{screen.x} + screen.width - 1);
  i64 bottom = std::min(i64{window.y} + window.height - 1, i64{screen.y} + screen.height - 1);
  if (x > right || y > bottom) return {window.x, window.y, 0, window.height};
  return {i32(x), i32(y), u32(right - x + 1), u32(bottom - y + 1)};
}

const char* initXineramaExtension(ExtensionEntry* entry) {
  return registerModule(entry, "XINERAMA", {kRequests, rowCount(kRequests), nullptr, 0, nullptr, 0},
                        {kModuleXinerama, lostXineramaServer, nullptr, true});
}

}  // namespace palvon

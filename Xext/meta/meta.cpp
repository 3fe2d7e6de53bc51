// MORVANDELL META: the rows, the answers every area shares, and the screen
// requests, the head lists and id translation.
#include "Xext/meta/meta.h"

#include <X11/X.h>

#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/metacore.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Xext/extmodule.h"
#include "Xext/meta/private.h"
#include "base/logging.h"

namespace palvon {

// --- Shared answers -------------------------------------------------------------------

u32 clientWord(const u8* at) { return loadU32(at, currentClient && currentClient->parser.swapped); }

void sendMetaReply(const u8* request, u8* reply, u32 length, const char* layout) {
  ProxyClient* client = currentClient;
  reply[0] = 1;
  put16(reply + 2, u16(client->requestCounter));
  sendComposedReply(request[0], request[1], reply, length, layout, client);
}

void refuseMetaReply(const u8* request, u32 length, u32 size) {
  sendXError(BadAlloc, size, request, length, nullptr);
}

void sendMetaStatus(const u8* request, const char* text) {
  // Texts are temporary strings: at most 1,024 bytes with their zero.
  u8 reply[32 + 1028] = {};
  u32 textLength = 0;
  if (text) {
    LOGF(logChWarning, "%s in %s by %s", text, describeClientRequest(request), clientName(currentClient));
    textLength = u32(strnlen(text, 1023)) + 1;
    memcpy(reply + 32, text, textLength - 1);
  }
  put32(reply + 8, text ? textLength : 0);
  sendMetaReply(request, reply, 32 + pad4(textLength), kMetaStatusLayout);
}

namespace {

u16 metaScreenCount() {
  u16 count = 0;
  for (MetaScreen* s = proxyState.screens; s; s = s->next) count++;
  return count;
}

// --- Query, selection, end ----------------------------------------------------------------

constexpr u32 kClientOptionBits = 0x15010;  // Keymap, 0x1000, 0x4000, VisEmu
constexpr u32 kNoChange = 0xffffffff;

void ProcMetaQueryExtension(u8* request, u32) {
  ProxyClient* client = currentClient;
  u32 options = get32(request + 8), workarounds = get32(request + 12);
  if (options != kNoChange)
    proxyConfig.options = (proxyConfig.options & ~kClientOptionBits) | (options & kClientOptionBits);
  if (workarounds != kNoChange) {
    logStepf("Changing workarounds to %s by %s ...", formatWorkarounds(workarounds), clientName(client));
    proxyConfig.workarounds = workarounds;
  }
  u16 version = offeredVersion(kModuleMeta);
  u8 reply[32] = {};
  put16(reply + 8, version / 64);
  put16(reply + 10, version % 64);
  put32(reply + 12, proxyConfig.options);
  put32(reply + 16, proxyConfig.workarounds);
  put32(reply + 20, proxyState.headCount);
  put32(reply + 24, 0x1fffff);
  put16(reply + 28, metaScreenCount());
  sendMetaReply(request, reply, sizeof reply, "bbsissiiiiss");
  client->metaClient = 1;
}

// The bits are the low byte of the 32-bit field at 4, which the request's
// layout swaps for a client of the other byte order.
void ProcMetaSelectEvents(u8* request, u32) { currentClient->metaEvents = u8(get32(request + 4)); }

void ProcMetaTerminateProxy(u8*, u32) { requestProxyExit("Exit by META"); }

// --- Screens ----------------------------------------------------------------------------

void ProcMetaGetScreenValues(u8* request, u32 length) {
  u16 number = get16(request + 4);
  MetaScreen* screen = findMetaScreen(number);
  if (!screen) return sendExtensionError(kPalvoBadScreen, number, request, length, nullptr);
  u32 nameLength = screen->name ? u32(strnlen(screen->name, kHeadNameMax)) : 0;
  u8 reply[60 + kHeadNameMax + 4] = {};
  put32(reply + 8, u32(screen->x));
  put32(reply + 12, u32(screen->y));
  put32(reply + 16, screen->width);
  put32(reply + 20, screen->height);
  put32(reply + 24, u32(roundToInt(screen->positionMMX)));
  put32(reply + 28, u32(roundToInt(screen->positionMMY)));
  put32(reply + 32, u32(roundToInt(screen->widthMM)));
  put32(reply + 36, u32(roundToInt(screen->heightMM)));
  put32(reply + 40, u32(screen->keepVisible));
  put16(reply + 44, u16(screen->placement));
  put16(reply + 46, u16(screen->referenceScreen));
  put32(reply + 48, u32(screen->offsetX));
  put32(reply + 52, u32(screen->offsetY));
  put16(reply + 56, u16(pad4(nameLength)));
  put16(reply + 58, u16(screen->resizePolicy));
  if (nameLength) memcpy(reply + 60, screen->name, nameLength);
  sendMetaReply(request, reply, 60 + pad4(nameLength), "bbsiiiiiiiiiissiiss");
}

// Reads the values of a SetScreenValues mask; false (BadLength sent) when
// they run past the request. *text is the status text of a bad value.
bool readScreenValues(u8* request, u32 length, MetaScreenSettings* settings, const char** text) {
  u32 mask = get16(request + 6) & 0xff;
  u32 at = 8;
  if (mask & kMetaName) {
    const u8* name = request + at;
    const void* zero = memchr(name, 0, length - at);
    if (!zero) {
      *text = "Invalid meta screen name";
      return true;
    }
    settings->name = reinterpret_cast<char*>(request + at);
    at += pad4(u32(static_cast<const u8*>(zero) - name) + 1);
  }
  i32* fields[] = {&settings->width, &settings->height, reinterpret_cast<i32*>(&settings->placement),
                   reinterpret_cast<i32*>(&settings->referenceScreen), &settings->offsetX, &settings->offsetY,
                   &settings->keepVisible};
  for (u32 k = 0; k < 7; k++) {
    if (!(mask & (kMetaWidth << k))) continue;
    if (u64{at} + 4 > length) {
      sendXError(BadLength, length, request, length, nullptr);
      return false;
    }
    *fields[k] = i32(clientWord(request + at));
    at += 4;
  }
  settings->mask = mask;
  return true;
}

void ProcMetaSetScreenValues(u8* request, u32 length) {
  MetaScreenSettings settings{};
  const char* text = nullptr;
  if (!readScreenValues(request, length, &settings, &text)) return;
  u16 number = get16(request + 4);
  MetaScreen* screen = findMetaScreen(number);
  if (!text && !screen) text = tmpPrintf("Unknown screen %d", number);
  if (!text && (settings.mask & kMetaReference) && settings.referenceScreen != kNoChange &&
      !findMetaScreen(settings.referenceScreen))
    text = tmpPrintf("Unknown relativeto meta screen %d", i32(settings.referenceScreen));
  if (!text) text = computeMetaScreenSize(screen, &settings);
  sendMetaStatus(request, text);
}

// --- Heads -------------------------------------------------------------------------------

bool listedHead(const Head* head) { return head->serverDisplay != resourceServerDisplay || !resourceServerDisplay; }

void ProcMetaListHeads(u8* request, u32 length) {
  u16 number = get16(request + 4);
  MetaScreen* only = nullptr;
  if (number != 0xffff && !(only = findMetaScreen(number)))
    return sendExtensionError(kPalvoBadScreen, number, request, length, nullptr);
  u32 count = 0;
  for (MetaScreen* s = only ? only : proxyState.screens; s; s = only ? nullptr : s->next)
    for (Head* head = s->heads; head; head = head->next) count += listedHead(head);
  u32 size = 32 + 4 * count;
  auto* reply = static_cast<u8*>(scratchAlloc(size));
  if (!reply) return refuseMetaReply(request, length, size);
  memset(reply, 0, 32);
  u8* out = reply + 32;
  for (MetaScreen* s = only ? only : proxyState.screens; s; s = only ? nullptr : s->next)
    for (Head* head = s->heads; head; head = head->next)
      if (listedHead(head)) put32(out, head->id), out += 4;
  put32(reply + 8, count);
  sendMetaReply(request, reply, size, "bbsiiI");
  scratchFree(reply);
}

void ProcMetaGetHeadDisplayName(u8* request, u32 length) {
  u32 id = get32(request + 4);
  auto* head = static_cast<Head*>(lookupResourceByType(id, RT_HEAD));
  if (!head) return sendExtensionError(kPalvoBadHead, id, request, length, nullptr);
  u32 nameLength = u32(strnlen(head->configuredDisplay, kHeadNameMax));
  u8 reply[32 + kHeadNameMax + 4] = {};
  memcpy(reply + 32, head->configuredDisplay, nameLength);
  put32(reply + 8, pad4(nameLength + 1));
  sendMetaReply(request, reply, 32 + pad4(nameLength + 1), "bbsii");
}

// --- Ids -----------------------------------------------------------------------------------

void ProcMetaTranslateXID(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 id = get32(request + 4);
  setRequestResource(client, id);
  u32 type = client->requestResourceType;
  if (type == 0 || type > RT_VISUAL) return sendXError(BadValue, id, request, length, nullptr);
  MetaScreen* screen = client->requestResourceScreen;
  u32 heads = screen ? screen->headCount : 0;
  u32 size = 32 + 8 * heads;
  auto* reply = static_cast<u8*>(scratchAlloc(size));
  if (!reply) return refuseMetaReply(request, length, size);
  memset(reply, 0, size);
  u8* out = reply + 32;
  u32 words = 0;
  for (Head* head = screen ? screen->heads : nullptr; head && words < 2 * heads; head = head->next, words += 2) {
    put32(out, head->id);
    put32(out + 4, type == RT_VISUAL ? mapVisualIdToHead(id, head) : mapDrawableToHead(id, head));
    out += 8;
  }
  put32(reply + 8, screen ? screen->number : 0);
  put32(reply + 12, words);
  sendMetaReply(request, reply, 32 + 4 * words, "bbsI");
  scratchFree(reply);
}

// --- Rows ------------------------------------------------------------------------------------

// A reply from a server: ids after the header, or a text.
LayoutString addServerReplyLayout(const u8* reply, u32 length) {
  bool text = length >= 12 && (reply[10] | reply[11]);
  return text ? kMetaAddServerTextLayout : kMetaAddServerIdsLayout;
}

constexpr RequestRow kRequests[] = {
    {kMetaQueryExtension, "MetaQueryExtension", ProcMetaQueryExtension, nullptr, "bbsssii", "bbsissiiiiss",
     exactSize(16), Route::kLocal},
    {kMetaGetScreenValues, "MetaGetScreenValues", ProcMetaGetScreenValues, nullptr, "bbsss", "bbsiiiiiiiiiissiiss",
     exactSize(8), Route::kLocal},
    {kMetaSetScreenValues, "MetaSetScreenValues", ProcMetaSetScreenValues, nullptr, "bbsss", kMetaStatusLayout,
     atLeastSize(8), Route::kLocal},
    {kMetaListHeads, "MetaListHeads", ProcMetaListHeads, nullptr, "bbsss", "bbsiiI", exactSize(8), Route::kLocal},
    {kMetaAddServer, "MetaAddServer", ProcMetaAddServer, nullptr, "bbsssss", kMetaAddServerIdsLayout,
     atLeastSize(12), Route::kLocal, nullptr, addServerReplyLayout},
    {kMetaRemoveServer, "MetaRemoveServer", ProcMetaRemoveServer, nullptr, "bbs", kMetaStatusLayout, atLeastSize(8),
     Route::kLocal},
    {kMetaGetHeadDisplayName, "MetaGetHeadDisplayName", ProcMetaGetHeadDisplayName, nullptr, "bbsi", "bbsii",
     exactSize(8), Route::kLocal},
    {kMetaGetHeadValues, "MetaGetHeadValues", ProcMetaGetHeadValues, nullptr, "bbsi", kMetaHeadValuesLayout,
     exactSize(8), Route::kLocal},
    {kMetaSetHeadValues, "MetaSetHeadValues", ProcMetaSetHeadValues, nullptr, "bbsii", kMetaStatusLayout,
     atLeastSize(12), Route::kLocal},
    {kMetaSelectEvents, "MetaSelectEvents", ProcMetaSelectEvents, nullptr, "bbsi", "", exactSize(8), Route::kLocal},
    {kMetaTerminateProxy, "MetaTerminateProxy", ProcMetaTerminateProxy, nullptr, "bbs", "", exactSize(4),
     Route::kLocal},
    {kMetaAddHead, "MetaAddHead", ProcMetaAddHead, nullptr, "bbsssii", "bbsiis", atLeastSize(16), Route::kLocal},
    {kMetaRemoveHead, "MetaRemoveHead", ProcMetaRemoveHead, nullptr, "bbsi", kMetaStatusLayout, exactSize(8),
     Route::kLocal},
    {kMetaTranslateXID, "MetaTranslateXID", ProcMetaTranslateXID, nullptr, "bbsi", "bbsI", exactSize(8),
     Route::kLocal},
    {kMetaSetWindowLayer, "MetaSetWindowLayer", ProcMetaSetWindowLayer, nullptr, "bbsi", "", exactSize(12),
     Route::kLocal},
    {kMetaGetWindowLayer, "MetaGetWindowLayer", ProcMetaGetWindowLayer, nullptr, "bbsi", "bbsi", exactSize(8),
     Route::kLocal},
    {kMetaGetParameter, "MetaGetParameter", ProcMetaGetParameter, nullptr, "bbsii", "bbsii", exactSize(12),
     Route::kLocal},
    {kMetaSetWindowSticking, "MetaSetWindowSticking", ProcMetaSetWindowSticking, nullptr, "bbsi", "", exactSize(12),
     Route::kLocal},
    {kMetaGrabDeviceForOtherClient, "MetaGrabDeviceForOtherClient", ProcMetaGrabDeviceForOtherClient, nullptr,
     "bbsiii", "", exactSize(16), Route::kLocal},
    {kMetaUngrabDeviceForOtherClient, "MetaUngrabDeviceForOtherClient", ProcMetaUngrabDeviceForOtherClient, nullptr,
     "bbsii", "", exactSize(12), Route::kLocal},
};

constexpr EventRow kEvents[] = {
    {0, "MetaScreenChangeNotify", nullptr, "bbsssi"},
    {1, "MetaHeadChangeNotify", nullptr, "bbsissiiissi"},
    {2, "MetaReservedNotify", nullptr, nullptr},
};

// A META error from a server (a proxy among the servers): its value is a
// screen number or a head id, never one of the client's ids.
void ErrorPalvoBadScreen(u8* error) {
  logServerError(error, "PalvoBadScreen #%u", get32(error + 4));
  sendErrorToClient(error, kErrorLayout);
}

void ErrorPalvoBadHead(u8* error) {
  logServerError(error, "PalvoBadHead #%u", get32(error + 4));
  sendErrorToClient(error, kErrorLayout);
}

constexpr ErrorRow kErrors[] = {
    {kPalvoBadScreen, "PalvoBadScreen", ErrorPalvoBadScreen, ErrorValue::kText},
    {kPalvoBadHead, "PalvoBadHead", ErrorPalvoBadHead, ErrorValue::kText},
};

}  // namespace

const char* initMetaExtension(ExtensionEntry* entry) {
  return registerModule(entry, "MORVANDELL META",
                        {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), kErrors, rowCount(kErrors)},
                        {kModuleMeta, nullptr, nullptr, true});
}

}  // namespace palvon

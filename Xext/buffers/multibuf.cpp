// Multi-Buffering.
#include "Xext/buffers/multibuf.h"

#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/dbebuffer.h"
#include "Proxy/resources/drawableusers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/visuals/visual.h"
#include "Xext/extmodule.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kGetBufferVersion = 0, kCreateImageBuffers = 1, kDestroyImageBuffers = 2, kDisplayImageBuffers = 3,
             kSetMBufferAttributes = 4, kGetMBufferAttributes = 5, kSetBufferAttributes = 6, kGetBufferAttributes = 7,
             kGetBufferInfo = 8, kCreateStereoWindow = 9, kClearImageBufferArea = 10;
// Stash codes: the head a copy went to, for the replies of several heads.
constexpr u8 kStashCreateHead = 1, kStashInfoHead = 8;

struct MbufState {
  MbufBuffer* buffers;  // the head's previous is the tail
  u8 emulationMajor;    // the first emulating display's own major
  u32 created;          // buffers made, for the copy log
} state;

void destroyMbufBuffer(u32, void* object) {
  auto* buffer = static_cast<MbufBuffer*>(object);
  if (state.buffers == buffer) {
    state.buffers = buffer->next;
    if (state.buffers) state.buffers->previous = buffer->previous;
  } else {
    buffer->previous->next = buffer->next;
    if (buffer->next)
      buffer->next->previous = buffer->previous;
    else
      state.buffers->previous = buffer->previous;
  }
  freeIfNotNull(buffer);
}

MetaScreen* mbufBufferScreen(u32, void* object) { return lookupWindowScreen(static_cast<MbufBuffer*>(object)->window); }

VisualRecord* mbufBufferVisual(void* object) {
  ProxyWindow* window = lookupWindow(static_cast<MbufBuffer*>(object)->window);
  return window ? window->visual : nullptr;
}

constexpr ResourceTypeRow kMbufBufferRow = {RT_MBUF_BUFFER, "MbufBuffer", destroyMbufBuffer, mbufBufferScreen,
                                            mbufBufferVisual};

MbufBuffer* firstBufferOf(u32 window) {
  for (MbufBuffer* buffer = state.buffers; buffer; buffer = buffer->next)
    if (buffer->window == window) return buffer;
  return nullptr;
}

// Buffers of destroyed windows: their ids are free again for the client.
void freeOutlivedBuffers() {
  for (MbufBuffer* buffer = state.buffers; buffer;) {
    if (!bufferOutlivedWindow(buffer->window, buffer->windowRecord)) {
      buffer = buffer->next;
      continue;
    }
    freeResourceById(buffer->id, RT_NONE);
    buffer = state.buffers;
  }
}

bool addBuffer(u32 id, const ProxyWindow* window, u8 action, u8 hint) {
  auto* buffer = static_cast<MbufBuffer*>(memCalloc(1, sizeof(MbufBuffer)));
  if (!buffer) return false;
  *buffer = {nullptr, nullptr, id, window->id, action, hint, window};
  if (state.buffers) {
    buffer->previous = state.buffers->previous;
    state.buffers->previous->next = buffer;
    state.buffers->previous = buffer;
  } else {
    buffer->previous = buffer;
    state.buffers = buffer;
  }
  if (!addResource(id, RT_MBUF_BUFFER, buffer)) return false;
  state.created++;
  return true;
}

bool skipsHead(const Head* head, u32 window) {
  return head && (head->tags & kHeadTagSloppyVisuals) && needsVisualEmulation(window, head);
}

// --- Forwarding ----------------------------------------------------------------------

struct Copying {
  const u8* request;
  u32 length;
  u32 window;  // for the visual test
  CopyRewrite rewrite;
  u8 stash;        // 0: none, else the code the head is stashed under
  bool firstOnly;  // one head: the first that shows the window's visual
  bool failed;
};

bool copyToHead(const RouteTarget& target, void* argument) {
  auto* copying = static_cast<Copying*>(argument);
  if (skipsHead(target.head, copying->window)) return true;
  u8* copy = copyRequestToServer(copying->request, copying->length, target.link);
  if (!copy) {
    copying->failed = true;
    return false;
  }
  if (copying->rewrite) copying->rewrite(copy, copying->length, target, nullptr);
  swapServerRequest(target.link, copy, copying->length, currentRequest.row->requestLayout);
  if (copying->stash) stashRequestData(target.link, copying->stash, target.head, nullptr);
  return !copying->firstOnly;
}

// Every head of the window's screen, or the first that shows it.
void copyForWindow(u8* request, u32 length, u32 window, CopyRewrite rewrite, u8 stash, bool firstOnly) {
  setRequestResource(currentClient, window);
  Copying copying{request, length, window, rewrite, stash, firstOnly, false};
  forEachTarget(Route::kEveryHead, copyToHead, &copying);
  if (copying.failed) return sendXError(BadAlloc, 0, request, length, nullptr);
  // One head answers: its reply waits until every server has passed the
  // request, so that the client sees it in request order.
  if (currentRequest.row->replyLayout && *currentRequest.row->replyLayout && openLinkCount(currentClient) > 1)
    noteRequestWithoutReply(request);
}

void translateWindowAt4(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
}

void translateBufferAt4(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, target.head));
}

// The window of a buffer, or of a window id.
u32 windowOf(u32 id) {
  auto* buffer = static_cast<MbufBuffer*>(lookupResourceByType(id, RT_MBUF_BUFFER));
  return buffer ? buffer->window : id;
}

// --- Requests ------------------------------------------------------------------------

void ReplyMbufGetBufferVersion(u8* reply, u32 length) {
  sendVersionReply(reply, length, kModuleMultiBuffer, "bbsibbs", 8, 1);
}

void rewriteCreate(u8* copy, u32 length, const RouteTarget& target, void*) {
  translateWindowAt4(copy, length, target, nullptr);
  for (u32 at = 12; at + 4 <= length; at += 4)
    put32(copy + at, translateXid(get32(copy + at), RT_SERVER_ID, target.head));
}

void ProcMbufCreateImageBuffers(u8* request, u32 length) {
  u32 window = get32(request + 4);
  ProxyWindow* record = lookupWindow(window);
  if (!record) return sendXError(BadWindow, window, request, length, nullptr);
  freeOutlivedBuffers();
  for (u32 at = 12; at < length; at += 4)
    if (isBadIdChoice(get32(request + at)))
      return sendXError(BadIDChoice, get32(request + at), request, length, nullptr);
  freeWindowMultiBuffers(window);
  for (u32 at = 12; at < length; at += 4)
    if (!addBuffer(get32(request + at), record, request[8], request[9]))
      return sendXError(BadAlloc, 0, request, length, nullptr);
  copyForWindow(request, length, window, rewriteCreate, kStashCreateHead, false);
}

// Every head answers; the colour head speaks for the screen.
void ReplyMbufCreateImageBuffers(u8* reply, u32 length) {
  auto* head = currentLink ? static_cast<Head*>(takeStashedData(currentLink, kStashCreateHead)) : nullptr;
  if (head && head->metaScreen && head->metaScreen->colorHead != head) return;
  sendReplyToClient(reply, length, "bbsis");
}

void ProcMbufDestroyImageBuffers(u8* request, u32 length) {
  u32 window = get32(request + 4);
  copyForWindow(request, length, window, translateWindowAt4, 0, false);
  if (lookupWindow(window)) freeWindowMultiBuffers(window);
}

void rewriteDisplay(u8* copy, u32 length, const RouteTarget& target, void*) {
  for (u32 at = 12; at + 4 <= length; at += 4)
    put32(copy + at, translateXid(get32(copy + at), RT_SERVER_ID, target.head));
}

void ProcMbufDisplayImageBuffers(u8* request, u32 length) {
  u32 window = length >= 16 ? windowOf(get32(request + 12)) : None;
  copyForWindow(request, length, window, rewriteDisplay, 0, false);
}

void ProcMbufOnWindow(u8* request, u32 length) {
  bool one = request[1] == kGetMBufferAttributes;
  copyForWindow(request, length, get32(request + 4), translateWindowAt4, 0, one);
}

void ProcMbufOnBuffer(u8* request, u32 length) {
  bool one = request[1] == kGetBufferAttributes;
  copyForWindow(request, length, windowOf(get32(request + 4)), translateBufferAt4, 0, one);
}

void ReplyMbufGetMBufferAttributes(u8* reply, u32 length) {
  const ServerDisplay* display = currentLink ? currentLink->server.display : nullptr;
  u32 count = length >= 12 ? get16(reply + 8) : 0;
  for (u32 k = 0; k < count && 32 + 4 * u64{k} + 4 <= length; k++)
    put32(reply + 32 + 4 * k, mapServerXidToClient(get32(reply + 32 + 4 * k), display));
  sendReplyToClient(reply, length, "bbsisbbbbsI");
}

void ReplyMbufGetBufferAttributes(u8* reply, u32 length) {
  if (length >= 12 && currentLink)
    put32(reply + 8, mapServerXidToClient(get32(reply + 8), currentLink->server.display));
  sendReplyToClient(reply, length, "bbsiiisbbiii");
}

void rewriteInfo(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, mapDrawableToHead(get32(copy + 4), target.head));
}

void ProcMbufGetBufferInfo(u8* request, u32 length) {
  copyForWindow(request, length, get32(request + 4), rewriteInfo, kStashInfoHead, true);
}

struct VisualMap {
  const Head* head;
};

// The meta visual at the index of the head's visual with that id.
u32 headVisualToMeta(u32 visual, void* argument) {
  const Head* head = static_cast<VisualMap*>(argument)->head;
  const MetaScreen* screen = head->metaScreen;
  for (i32 i = 0; head->visualMatches && screen && i < screen->visualCount; i++)
    if (head->visualMatches[i].visualId == visual && head->visualMatches[i].visualId != 0)
      return screen->visuals[i].visualId;
  return 0;
}

void ReplyMbufGetBufferInfo(u8* reply, u32 length) {
  auto* head = currentLink ? static_cast<Head*>(takeStashedData(currentLink, kStashInfoHead)) : nullptr;
  if (!head || length < 32) {
    PALVON_UNE();
    return sendReplyToClient(reply, length, "bbsissiiiii[isbb]");
  }
  // Mono entries then stereo entries, each list mapped on its own so that
  // both counts stay true to what follows.
  u32 room = (length - 32) / 8;
  u32 mono = get16(reply + 8), stereo = get16(reply + 10);
  if (mono > room) mono = room;
  if (stereo > room - mono) stereo = room - mono;
  VisualMap map{head};
  u32 keptMono = mapBufferInfoEntries(reply + 32, mono, headVisualToMeta, &map);
  u32 keptStereo = mapBufferInfoEntries(reply + 32 + 8 * mono, stereo, headVisualToMeta, &map);
  memmove(reply + 32 + 8 * keptMono, reply + 32 + 8 * mono, 8 * keptStereo);
  put16(reply + 8, static_cast<u16>(keptMono));
  put16(reply + 10, static_cast<u16>(keptStereo));
  u32 kept = 32 + 8 * (keptMono + keptStereo);
  put32(reply + 4, (kept - 32) / 4);
  sendReplyToClient(reply, kept, "bbsissiiiii[isbb]");
}

// The proxy makes no stereo windows: no server would agree on one.
void ProcMbufCreateStereoWindow(u8* request, u32 length) { sendXError(BadMatch, 0, request, length, nullptr); }

void rewriteClear(u8* copy, u32 length, const RouteTarget& target, void*) {
  translateBufferAt4(copy, length, target, nullptr);
  if (!target.head || !target.head->scaler) return;
  i16 x = static_cast<i16>(get16(copy + 8)), y = static_cast<i16>(get16(copy + 10));
  u16 width = get16(copy + 12), height = get16(copy + 14);
  scaleArea16(target.head->scaler, &x, &y, &width, &height);
  put16(copy + 8, static_cast<u16>(x));
  put16(copy + 10, static_cast<u16>(y));
  put16(copy + 12, width);
  put16(copy + 14, height);
}

void ProcMbufClearImageBufferArea(u8* request, u32 length) {
  copyForWindow(request, length, windowOf(get32(request + 4)), rewriteClear, 0, false);
}

// --- Events --------------------------------------------------------------------------

// Every head sends the event; the colour head's copy speaks for the screen.
void EventMbuf(u8* event) {
  if (!(event[0] & 0x80) && currentLink) {
    const ServerDisplay* display = currentLink->server.display;
    Head* head = findHeadByServerXid(get32(event + 4), display);
    if (!head || !head->metaScreen || head->metaScreen->colorHead != head) return;
    put32(event + 4, mapServerXidToClient(get32(event + 4), display));
  }
  sendEventToClient(event, eventLayoutOf(event), 0);
}

constexpr RequestRow kRequests[] = {
    {kGetBufferVersion, "MbufGetBufferVersion", forwardOrAnswer, ReplyMbufGetBufferVersion, "bbs", "bbsibbs",
     exactSize(4), Route::kMainHead},
    {kCreateImageBuffers, "MbufCreateImageBuffers", ProcMbufCreateImageBuffers, ReplyMbufCreateImageBuffers, "bbsibbsI",
     "bbsis", listSize(12, 4), Route::kEveryHead},
    {kDestroyImageBuffers, "MbufDestroyImageBuffers", ProcMbufDestroyImageBuffers, nullptr, "bbsi", "", exactSize(8),
     Route::kEveryHead},
    {kDisplayImageBuffers, "MbufDisplayImageBuffers", ProcMbufDisplayImageBuffers, nullptr, "bbsssI", "",
     listSize(8, 4), Route::kEveryHead},
    {kSetMBufferAttributes, "MbufSetMBufferAttributes", ProcMbufOnWindow, nullptr, "bbsI", "", maskSize(12, 8, 4),
     Route::kEveryHead},
    {kGetMBufferAttributes, "MbufGetMBufferAttributes", ProcMbufOnWindow, ReplyMbufGetMBufferAttributes, "bbsi",
     "bbsisbbbbsI", exactSize(8), Route::kEveryHead},
    {kSetBufferAttributes, "MbufSetBufferAttributes", ProcMbufOnBuffer, nullptr, "bbsI", "", maskSize(12, 8, 4),
     Route::kEveryHead},
    {kGetBufferAttributes, "MbufGetBufferAttributes", ProcMbufOnBuffer, ReplyMbufGetBufferAttributes, "bbsi",
     "bbsiiisbbiii", exactSize(8), Route::kEveryHead},
    {kGetBufferInfo, "MbufGetBufferInfo", ProcMbufGetBufferInfo, ReplyMbufGetBufferInfo, "bbsi", "bbsissiiiii[isbb]",
     exactSize(8), Route::kEveryHead},
    {kCreateStereoWindow, "MbufCreateStereoWindow", ProcMbufCreateStereoWindow, nullptr, "bbsbbbbiiiissssssii", "",
     exactSize(44), Route::kLocal},
    {kClearImageBufferArea, "MbufClearImageBufferArea", ProcMbufClearImageBufferArea, nullptr, "bbsissss", "",
     exactSize(20), Route::kEveryHead},
};

constexpr EventRow kEvents[] = {
    {0, "MbufClobberNotify", EventMbuf, "bbsi"},
    {1, "MbufUpdateNotify", EventMbuf, "bbsii"},
};

constexpr ErrorRow kErrors[] = {
    {0, "BadMultibuffer", nullptr, ErrorValue::kResourceId},
};

void resetMultiBuffer(ExtensionEntry* entry) {
  clearModuleWord(entry);
  state.emulationMajor = 0;
}

// --- Request writers -----------------------------------------------------------------

u8* beginMbuf(RequestWriter* writer, u8 minor, u32 length) {
  u8 major = proxyMbufMajor();
  return major ? beginRequest(writer, major, minor, length) : nullptr;
}

}  // namespace

u8 proxyMbufMajor() {
  const ExtensionEntry* entry = moduleEntry(kModuleMultiBuffer);
  return entry ? entry->major : state.emulationMajor;
}

void setEmulationMbufMajor(u8 major) { state.emulationMajor = major; }

int requestMbufCreateImageBuffers(RequestWriter* writer, u32 window, u8 updateAction, u8 updateHint, u32 first,
                                  u32 second) {
  u8* request = beginMbuf(writer, kCreateImageBuffers, 20);
  if (!request) return 0;
  put32(request + 4, window);
  request[8] = updateAction;
  request[9] = updateHint;
  put16(request + 10, 0);
  put32(request + 12, first);
  put32(request + 16, second);
  finishWriterRequest(writer, request, 20, "bbsibbsI");
  return 1;
}

int requestMbufDestroyImageBuffers(RequestWriter* writer, u32 window) {
  u8* request = beginMbuf(writer, kDestroyImageBuffers, 8);
  if (!request) return 0;
  put32(request + 4, window);
  finishWriterRequest(writer, request, 8, "bbsi");
  return 1;
}

int requestMbufDisplayImageBuffers(RequestWriter* writer, u32 buffer) {
  u8* request = beginMbuf(writer, kDisplayImageBuffers, 12);
  if (!request) return 0;
  put16(request + 4, 0);
  put16(request + 6, 0);
  put32(request + 8, buffer);
  finishWriterRequest(writer, request, 12, "bbsssI");
  return 1;
}

void freeWindowMultiBuffers(u32 window) {
  for (MbufBuffer* buffer = firstBufferOf(window); buffer; buffer = firstBufferOf(window))
    freeResourceById(buffer->id, RT_NONE);
}

u32 mapBufferInfoEntries(u8* entries, u32 count, u32 (*map)(u32 visual, void* argument), void* argument) {
  u32 kept = 0;
  for (u32 k = 0; k < count; k++) {
    u32 visual = map(get32(entries + 8 * k), argument);
    if (!visual) continue;
    if (kept != k) memmove(entries + 8 * kept, entries + 8 * k, 8);
    put32(entries + 8 * kept, visual);
    kept++;
  }
  return kept;
}

int copyMultiBuffersToDisplay(RequestWriter* writer, const Head* head) {
  if (state.created && state.buffers) logStepf("Copying %u multi buffers...", state.created);
  // Windows in the order their first buffer was made; each once.
  for (const MbufBuffer* first = state.buffers; first; first = first->next) {
    if (firstBufferOf(first->window) != first) continue;
    const MetaScreen* screen = lookupWindowScreen(first->window);
    if (head && screen != head->metaScreen) continue;
    u32 count = 0;
    for (const MbufBuffer* b = first; b; b = b->next) count += b->window == first->window ? 1 : 0;
    u32 length = 12 + 4 * count;
    u8* request = beginMbuf(writer, kCreateImageBuffers, length);
    if (!request) return 0;
    put32(request + 4, head ? translateXid(first->window, RT_WINDOW, head) : first->window);
    request[8] = first->updateAction;
    request[9] = first->updateHint;
    put16(request + 10, 0);
    u32 at = 12;
    for (const MbufBuffer* b = first; b; b = b->next) {
      if (b->window != first->window) continue;
      put32(request + at, head ? translateXid(b->id, RT_SERVER_ID, head) : b->id);
      at += 4;
    }
    finishWriterRequest(writer, request, length, "bbsibbsI");
  }
  return 1;
}

const char* initMultiBufferExtension(ExtensionEntry* entry) {
  if (proxyConfig.options & kOptionDynamicServer)
    return "Multi-Buffering extension disabled to support option DynamicServer";
  if (!registerResourceType(kMbufBufferRow)) return "UNE";
  const char* refused =
      registerModule(entry, "Multi-Buffering",
                     {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), kErrors, rowCount(kErrors)},
                     {kModuleMultiBuffer, nullptr, resetMultiBuffer, false});
  if (!refused) drawableUserHooks.freeWindowImageBuffers = freeWindowMultiBuffers;
  return refused;
}

}  // namespace palvon

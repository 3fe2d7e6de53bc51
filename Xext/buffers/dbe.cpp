// DOUBLE-BUFFER.
#include "Xext/buffers/dbe.h"

#include <X11/X.h>

#include <algorithm>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/rescopy.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/drawableusers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/visual.h"
#include "Xext/buffers/dbe_buffers.h"
#include "Xext/buffers/multibuf.h"
#include "Xext/extmodule.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kGetVersion = 0, kAllocate = 1, kDeallocate = 2, kSwap = 3, kBeginIdiom = 4, kEndIdiom = 5,
             kGetVisualInfo = 6, kGetAttributes = 7;
constexpr u8 kBadBuffer = 0;
constexpr u8 kStashCreated = 255;
constexpr u32 kSwapEntryBytes = 8;
constexpr u64 kLargestVisualInfoReply = u64{1} << 28;

u8 dbeMajor() {
  const ExtensionEntry* entry = moduleEntry(kModuleDoubleBuffer);
  return entry ? entry->major : 0;
}

bool headEmulates(const Head* head) { return head && displayEmulatesDoubleBuffer(head->serverDisplay); }

// A head that shows the window's visual only by emulation draws nothing
// of it, so it has no buffers either.
bool skipsHead(const Head* head, u32 window) {
  return head && (head->tags & kHeadTagSloppyVisuals) && needsVisualEmulation(window, head);
}

// --- GetVersion ----------------------------------------------------------------------

void answerVersion(const u8* request) {
  u8 reply[32] = {};
  u16 version = offeredVersion(kModuleDoubleBuffer);
  put16(reply + 2, static_cast<u16>(currentClient->requestCounter));
  reply[8] = static_cast<u8>(version / 64);
  reply[9] = static_cast<u8>(version % 64);
  sendComposedReply(request[0], request[1], reply, sizeof reply, "bbsi", currentClient);
}

void ProcDbeGetVersion(u8* request, u32 length) {
  Head* first = nextHeadPerServer(nullptr);
  if (headEmulates(first) || !firstTargetLink(Route::kMainHead)) return answerVersion(request);
  forwardRequest(request, length);
}

void ReplyDbeGetVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleDoubleBuffer, "bbsi", 8, 1); }

// --- AllocateBackBufferName ----------------------------------------------------------

struct Allocation {
  const u8* request;
  u32 length;
  DbeBuffer* buffer;
  bool failed;
};

bool allocateOnHead(const RouteTarget& target, void* argument) {
  auto* allocation = static_cast<Allocation*>(argument);
  DbeBuffer* buffer = allocation->buffer;
  if (skipsHead(target.head, buffer->window)) return true;
  ServerLink* link = target.link;
  if (headEmulates(target.head)) {
    allocation->failed = !writeEmulatedPair(link, buffer, target.head);
    return !allocation->failed;
  }
  u8* copy = copyRequestToServer(allocation->request, allocation->length, link);
  if (!copy) {
    allocation->failed = true;
    return false;
  }
  put32(copy + 4, translateXid(buffer->window, RT_WINDOW, target.head));
  put32(copy + 8, translateXid(buffer->id, RT_SERVER_ID, target.head));
  swapServerRequest(link, copy, allocation->length, "bbsii");
  // An error of the server for this request frees the new name everywhere;
  // the window is the client's and stays.
  stashRequestData(link, kStashCreated, reinterpret_cast<void*>(uintptr_t{buffer->id}), nullptr);
  return true;
}

void ProcDbeAllocateBackBufferName(u8* request, u32 length) {
  u32 windowId = get32(request + 4), id = get32(request + 8);
  ProxyWindow* window = lookupWindow(windowId);
  if (!window) return sendXError(BadWindow, windowId, request, length, nullptr);
  // A window without contents has nothing to buffer; the servers would say
  // the same, but after the name was entered here.
  if (window->windowClass == InputOnly) return sendXError(BadMatch, windowId, request, length, nullptr);
  freeOutlivedDoubleBuffers();
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  DbeBuffer* buffer = createDbeBuffer(window, id, request[12]);
  if (!buffer) return sendXError(BadAlloc, 40, request, length, nullptr);
  setRequestResource(currentClient, windowId);
  Allocation allocation{request, length, buffer, false};
  forEachTarget(Route::kEveryHead, allocateOnHead, &allocation);
  if (allocation.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

// --- DeallocateBackBufferName --------------------------------------------------------

bool deallocateOnHead(const RouteTarget& target, void* argument) {
  auto* allocation = static_cast<Allocation*>(argument);
  DbeBuffer* buffer = allocation->buffer;
  if (skipsHead(target.head, buffer->window)) return true;
  ServerLink* link = target.link;
  if (headEmulates(target.head)) {
    allocation->failed =
        !requestMbufDestroyImageBuffers(&link->writer, translateXid(buffer->window, RT_WINDOW, target.head));
    return !allocation->failed;
  }
  u8* copy = copyRequestToServer(allocation->request, allocation->length, link);
  if (!copy) {
    allocation->failed = true;
    return false;
  }
  put32(copy + 4, translateXid(buffer->id, RT_SERVER_ID, target.head));
  swapServerRequest(link, copy, allocation->length, "bbsi");
  return true;
}

void ProcDbeDeallocateBackBufferName(u8* request, u32 length) {
  u32 id = get32(request + 4);
  DbeBuffer* buffer = lookupDbeBuffer(id);
  if (!buffer) return sendExtensionError(kBadBuffer, id, request, length, nullptr);
  setRequestResource(currentClient, buffer->window);
  Allocation allocation{request, length, buffer, false};
  forEachTarget(Route::kEveryHead, deallocateOnHead, &allocation);
  if (allocation.failed) sendXError(BadAlloc, 0, request, length, nullptr);
  freeResourceById(id, RT_NONE);
}

// --- SwapBuffers ---------------------------------------------------------------------

// A window that comes twice among the entries, or 0. A request may hold
// millions of entries: beyond a few, the ids are sorted in a copy rather
// than compared pairwise. 0 with *failed set when no copy can be made.
u32 repeatedSwapWindow(const u8* request, u32 count, bool* failed) {
  constexpr u32 kPairwise = 16;
  if (count <= kPairwise) {
    for (u32 k = 1; k < count; k++)
      for (u32 j = 0; j < k; j++)
        if (get32(request + 8 + kSwapEntryBytes * j) == get32(request + 8 + kSwapEntryBytes * k))
          return get32(request + 8 + kSwapEntryBytes * k);
    return 0;
  }
  u32* windows = static_cast<u32*>(memAlloc(sizeof(u32) * count));
  if (!windows) return *failed = true, 0;
  for (u32 k = 0; k < count; k++) windows[k] = get32(request + 8 + kSwapEntryBytes * k);
  std::sort(windows, windows + count);
  u32* twice = std::adjacent_find(windows, windows + count);
  u32 repeated = twice != windows + count ? *twice : 0;
  freeIfNotNull(windows);
  return repeated;
}

// Every entry is checked before anything is sent: a bad one leaves every
// window as it was.
bool checkSwapEntries(const u8* request, u32 length, u32 count) {
  for (u32 k = 0; k < count; k++) {
    u32 window = get32(request + 8 + kSwapEntryBytes * k);
    if (!lookupWindow(window)) {
      sendXError(BadWindow, window, request, length, nullptr);
      return false;
    }
    if (!firstDbeBufferOf(window)) {
      sendXError(BadMatch, window, request, length, nullptr);
      return false;
    }
  }
  bool failed = false;
  if (u32 repeated = repeatedSwapWindow(request, count, &failed)) {
    sendXError(BadMatch, repeated, request, length, nullptr);
    return false;
  }
  if (failed) sendXError(BadAlloc, 0, request, length, nullptr);
  return !failed;
}

struct Swap {
  DbeBuffer* buffer;
  u8 action;
  bool failed;
};

bool swapOnHead(const RouteTarget& target, void* argument) {
  auto* swap = static_cast<Swap*>(argument);
  DbeBuffer* buffer = swap->buffer;
  if (skipsHead(target.head, buffer->window)) return true;
  ServerLink* link = target.link;
  if (headEmulates(target.head)) {
    swap->failed = !displayEmulatedBuffer(link, buffer, swap->action, target.head);
    return !swap->failed;
  }
  // One window per request: the windows of one request may lie on
  // different screens, each of its own heads.
  u8* copy = beginRequest(&link->writer, dbeMajor(), kSwap, 16);
  if (!copy) {
    swap->failed = true;
    return false;
  }
  put32(copy + 4, 1);
  put32(copy + 8, translateXid(buffer->window, RT_WINDOW, target.head));
  copy[12] = swap->action;
  copy[13] = copy[14] = copy[15] = 0;
  finishWriterRequest(&link->writer, copy, 16, "bbsi[ibbs]");
  return true;
}

void ProcDbeSwapBuffers(u8* request, u32 length) {
  u32 count = get32(request + 4);
  if (u64{8} + u64{kSwapEntryBytes} * count != length) return sendXError(BadLength, length, request, length, nullptr);
  if (!checkSwapEntries(request, length, count)) return;
  for (u32 k = 0; k < count; k++) {
    const u8* entry = request + 8 + kSwapEntryBytes * k;
    Swap swap{firstDbeBufferOf(get32(entry)), entry[4], false};
    setRequestResource(currentClient, swap.buffer->window);
    forEachTarget(Route::kEveryHead, swapOnHead, &swap);
    if (swap.failed) return sendXError(BadAlloc, 0, request, length, nullptr);
    swap.buffer->toggle ^= 1;
  }
}

// --- Idioms --------------------------------------------------------------------------

bool idiomOnServer(const RouteTarget& target, void* argument) {
  auto* allocation = static_cast<Allocation*>(argument);
  if (headEmulates(target.head)) return true;
  u8* copy = copyRequestToServer(allocation->request, allocation->length, target.link);
  if (!copy) {
    allocation->failed = true;
    return false;
  }
  swapServerRequest(target.link, copy, allocation->length, "bbs");
  return true;
}

void ProcDbeIdiom(u8* request, u32 length) {
  Allocation allocation{request, length, nullptr, false};
  forEachTarget(Route::kEveryServer, idiomOnServer, &allocation);
  if (allocation.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

// --- GetVisualInfo -------------------------------------------------------------------

u32 dbeVisualCount(const MetaScreen* screen) {
  u32 count = 0;
  for (i32 i = 0; i < screen->visualCount; i++) count += screen->visuals[i].dbeCapable ? 1 : 0;
  return count;
}

// One screen's list: its count, then visual id, depth and performance
// level per double-buffered visual; the words swapped for the client.
u32 putScreenVisuals(u8* at, const MetaScreen* screen, bool swapped) {
  u32 count = dbeVisualCount(screen);
  put32(at, count);
  if (swapped) swap32InPlace(at, at + 4);
  u32 offset = 4;
  for (i32 i = 0; i < screen->visualCount; i++) {
    const VisualRecord& visual = screen->visuals[i];
    if (!visual.dbeCapable) continue;
    put32(at + offset, visual.visualId);
    if (swapped) swap32InPlace(at + offset, at + offset + 4);
    at[offset + 4] = static_cast<u8>(visual.depth);
    at[offset + 5] = visual.dbePerfLevel;
    at[offset + 6] = at[offset + 7] = 0;
    offset += 8;
  }
  return offset;
}

MetaScreen* drawableScreen(u32 id) {
  void* object = nullptr;
  u32 type = lookupResourceAnyType(id, &object);
  if (type != RT_WINDOW && type != RT_PIXMAP) return nullptr;
  return lookupScreenOfXid(id);
}

void ProcDbeGetVisualInfo(u8* request, u32 length) {
  u32 count = get32(request + 4);
  if (u64{8} + 4 * u64{count} != length) return sendXError(BadLength, length, request, length, nullptr);
  u64 bytes = 32;
  for (u32 k = 0; k < count; k++) {
    MetaScreen* screen = drawableScreen(get32(request + 8 + 4 * k));
    if (!screen) return sendXError(BadDrawable, get32(request + 8 + 4 * k), request, length, nullptr);
    bytes += 4 + 8 * u64{dbeVisualCount(screen)};
  }
  if (count == 0)
    for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
      bytes += 4 + 8 * u64{dbeVisualCount(screen)};
  // A reply no client could read in one piece is not made.
  if (bytes > kLargestVisualInfoReply) return sendXError(BadAlloc, 0, request, length, nullptr);
  u8* reply = static_cast<u8*>(memCalloc(1, bytes));
  if (!reply) return sendXError(BadAlloc, 0, request, length, nullptr);
  bool swapped = currentClient->parser.swapped != 0;
  u32 at = 32, screens = 0;
  if (count == 0) {
    for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next, screens++)
      at += putScreenVisuals(reply + at, screen, swapped);
  }
  for (u32 k = 0; k < count; k++, screens++)
    at += putScreenVisuals(reply + at, drawableScreen(get32(request + 8 + 4 * k)), swapped);
  put16(reply + 2, static_cast<u16>(currentClient->requestCounter));
  put32(reply + 8, screens);
  sendComposedReply(request[0], request[1], reply, static_cast<u32>(bytes), "bbsii", currentClient);
  freeIfNotNull(reply);
}

// --- GetBackBufferAttributes ---------------------------------------------------------

void ProcDbeGetBackBufferAttributes(u8* request, u32 length) {
  u32 id = get32(request + 4);
  DbeBuffer* buffer = lookupDbeBuffer(id);
  MetaScreen* screen = buffer ? lookupWindowScreen(buffer->window) : firstMetaScreen();
  Head* first = screen ? screen->heads : nullptr;
  if (headEmulates(first) || !firstTargetLink(Route::kMainHead)) {
    u8 reply[32] = {};
    put16(reply + 2, static_cast<u16>(currentClient->requestCounter));
    put32(reply + 8, buffer ? buffer->window : None);
    return sendComposedReply(request[0], request[1], reply, sizeof reply, "bbsii", currentClient);
  }
  if (buffer) setRequestResource(currentClient, buffer->window);
  forwardRequest(request, length, [](u8* copy, u32, const RouteTarget& target, void*) {
    put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, target.head));
  });
}

void ReplyDbeGetBackBufferAttributes(u8* reply, u32 length) {
  if (length >= 12 && currentLink)
    put32(reply + 8, mapServerXidToClient(get32(reply + 8), currentLink->server.display));
  sendReplyToClient(reply, length, "bbsii");
}

void lostDbeServer(ProxyClient*, u64, u8, u16) { logProblem("WIP", __FILE__, __LINE__); }

constexpr RequestRow kRequests[] = {
    {kGetVersion, "DbeGetVersion", ProcDbeGetVersion, ReplyDbeGetVersion, "bbsbbs", "bbsi", exactSize(8),
     Route::kMainHead},
    {kAllocate, "DbeAllocateBackBufferName", ProcDbeAllocateBackBufferName, nullptr, "bbsii", "", exactSize(16),
     Route::kEveryHead},
    {kDeallocate, "DbeDeallocateBackBufferName", ProcDbeDeallocateBackBufferName, nullptr, "bbsi", "", exactSize(8),
     Route::kEveryHead},
    {kSwap, "DbeSwapBuffers", ProcDbeSwapBuffers, nullptr, "bbsi[ibbs]", "", listSize(8, kSwapEntryBytes),
     Route::kEveryHead},
    {kBeginIdiom, "DbeBeginIdiom", ProcDbeIdiom, nullptr, "bbs", "", exactSize(4), Route::kEveryServer},
    {kEndIdiom, "DbeEndIdiom", ProcDbeIdiom, nullptr, "bbs", "", exactSize(4), Route::kEveryServer},
    {kGetVisualInfo, "DbeGetVisualInfo", ProcDbeGetVisualInfo, nullptr, "bbsI", "bbsii", listSize(8, 4), Route::kLocal},
    {kGetAttributes, "DbeGetBackBufferAttributes", ProcDbeGetBackBufferAttributes, ReplyDbeGetBackBufferAttributes,
     "bbsi", "bbsii", exactSize(8), Route::kMainHead},
};

constexpr ErrorRow kErrors[] = {
    {kBadBuffer, "DbeBadBuffer", nullptr, ErrorValue::kResourceId},
};

}  // namespace

const char* initDoubleBufferExtension(ExtensionEntry* entry) {
  if (const char* refusal = checkDoubleBufferDisplays(entry)) return refusal;
  if (!registerDbeBufferType()) return "UNE";
  const char* refused = registerModule(entry, "DOUBLE-BUFFER",
                                       {kRequests, rowCount(kRequests), nullptr, 0, kErrors, rowCount(kErrors)},
                                       {kModuleDoubleBuffer, lostDbeServer, nullptr, false});
  if (refused) return refused;
  drawableUserHooks.freeWindowBackBuffers = freeWindowDoubleBuffers;
  entry->copyHook = [](ExtensionEntry*, void* head) -> const char* {
    copyDoubleBuffersToDisplay(static_cast<Head*>(head));
    return nullptr;
  };
  return nullptr;
}

namespace {

// A joining server's head: the buffer allocated there on its owner's link,
// as the allocation went to the other heads; an error of the server for it
// is the proxy's (the copy's), not the client's.
int allocateOnJoiningHead(u32, void* object, ProxyClient* client, void* argument, Head*) {
  auto* head = static_cast<Head*>(argument);
  auto* buffer = static_cast<DbeBuffer*>(object);
  ServerLink* link = client ? clientLink(client, head->serverIndex) : nullptr;
  if (!link || bufferOutlivedWindow(buffer->window, buffer->windowRecord) || skipsHead(head, buffer->window)) return 1;
  if (lookupWindowScreen(buffer->window) != head->metaScreen) return 1;
  if (headEmulates(head)) {
    writeEmulatedPair(link, buffer, head);
  } else if (u8* request = beginRequest(&link->writer, dbeMajor(), kAllocate, 16)) {
    put32(request + 4, translateXid(buffer->window, RT_WINDOW, head));
    put32(request + 8, translateXid(buffer->id, RT_SERVER_ID, head));
    request[12] = buffer->swapAction;
    request[13] = request[14] = request[15] = 0;
    finishWriterRequest(&link->writer, request, 16, "bbsii");
  }
  markProxyCopy(&link->writer);
  return 1;
}

}  // namespace

int copyDoubleBuffersToDisplay(Head* head) {
  if (!dbeMajor()) return 1;
  logStepf("Copying double buffers...");
  forEachResourceOfType(RT_DBE_BUFFER, allocateOnJoiningHead, head, nullptr);
  return 1;
}

}  // namespace palvon

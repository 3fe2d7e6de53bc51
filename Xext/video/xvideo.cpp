// XVideo.
#include "Xext/video/xvideo.h"

#include <X11/Xlib.h>

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
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "Proxy/sync/clocks.h"
#include "Proxy/sync/selections.h"
#include "Proxy/visuals/visual.h"
#include "Xext/extmodule.h"
#include "Xext/shm/shm.h"
#include "Xext/video/ports.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

namespace {

constexpr u8 kQueryExtension = 0, kQueryAdaptors = 1, kQueryEncodings = 2, kGrabPort = 3, kUngrabPort = 4,
             kPutVideo = 5, kPutStill = 6, kGetVideo = 7, kGetStill = 8, kStopVideo = 9, kSelectVideoNotify = 10,
             kSelectPortNotify = 11, kQueryBestSize = 12, kSetPortAttribute = 13, kGetPortAttribute = 14,
             kQueryPortAttributes = 15, kListImageFormats = 16, kQueryImageAttributes = 17, kPutImage = 18,
             kShmPutImage = 19;
constexpr u8 kStashGrabHead = 3;

// --- Building the ports ----------------------------------------------------------------

// The adaptors of one head as its server lists them on the head's root,
// asked with a request of the proxy's own, so that no client library starts
// talking to the server on the proxy's connection.
bool headAdaptors(const Head* head, XvAdaptorFacts* out, u32 room, u32* count) {
  *count = 0;
  int major = 0, event = 0, error = 0;
  if (!head->display || !XfsQueryExtension(head->display, "XVideo", &major, &event, &error)) return false;
  if (!rawBegin(head->display)) return false;
  u8* request = rawRequest(head->display, static_cast<u8>(major), kQueryAdaptors, 8);
  if (!request) return false;
  rawPut32(request, 4, static_cast<u32>(head->root));
  RawReply reply;
  if (!rawReply(head->display, &reply)) return false;
  u16 adaptors = 0;
  memcpy(&adaptors, reply.header + 8, 2);
  u64 at = 0;
  for (u32 k = 0; k < adaptors && *count < room && at + 12 <= reply.size; k++) {
    u32 base = 0;
    u16 nameSize = 0, ports = 0, formats = 0;
    memcpy(&base, reply.data + at, 4);
    memcpy(&nameSize, reply.data + at + 4, 2);
    memcpy(&ports, reply.data + at + 6, 2);
    memcpy(&formats, reply.data + at + 8, 2);
    out[(*count)++] = {base, ports, reply.data[at + 10]};
    at += 12 + pad4(nameSize) + 8 * u64{formats};
  }
  rawReplyFree(&reply);
  return true;
}

constexpr u32 kAdaptorRoom = 32;

// Null, or why the head cannot serve the range.
const char* matchXvAdaptors(XvPortRange* range, const Head* head) {
  XvAdaptorFacts adaptors[kAdaptorRoom];
  u32 count = 0;
  headAdaptors(head, adaptors, kAdaptorRoom, &count);
  if (count == 0) return tmpPrintf("Display %s has no X-Video adaptors", headName(head));
  // The colour head's own adaptor is the range; another adaptor of the
  // same type on it would take the range's ports.
  u32 base = head == range->screen->colorHead && range->adaptor < count
                 ? adaptors[range->adaptor].basePort
                 : matchAdaptorBase(range->type, adaptors, count);
  if (!base)
    return tmpPrintf("Display %s does not support X-Video adaptor #%u, type %d", headName(head), range->adaptor,
                     range->type);
  if (head->numberInScreen < kXvHeadSlots) range->base[head->numberInScreen] = base;
  return nullptr;
}

const char* buildScreenPorts(MetaScreen* screen) {
  const Head* colour = screen->colorHead;
  XvAdaptorFacts adaptors[kAdaptorRoom];
  u32 count = 0;
  if (!colour || !headAdaptors(colour, adaptors, kAdaptorRoom, &count)) return nullptr;
  for (u32 k = 0; k < count; k++) {
    if (findXvPortRange(adaptors[k].basePort)) continue;
    XvPortRange* range =
        addXvPortRange(screen, k, adaptors[k].basePort, static_cast<u16>(adaptors[k].portCount), adaptors[k].type);
    if (!range) return PALVON_OOM();
    for (Head* head = screen->heads; head; head = head->next) {
      if (const char* failure = matchXvAdaptors(range, head)) {
        LOGF(logChWarning, "%s", failure);
        removeXvPortRange(range);
        break;
      }
    }
  }
  return nullptr;
}

// --- Routing ---------------------------------------------------------------------------

// The port's screen becomes the request's screen, so that the routes take
// their heads from it; a port in no range leaves the first screen.
void setXvPortRequestScreen(u32 port) {
  const XvPortRange* range = findXvPortRange(port);
  if (range) currentClient->requestResourceScreen = range->screen;
}

struct XvCopy {
  const u8* request;
  u32 length;
  u32 drawable;  // 0: no drawable to test heads against
  CopyRewrite rewrite;
  bool stashHead;
  bool failed;
  Head* shmHead;  // the first head given the shared-memory form
};

bool skipsHead(const XvCopy& copy, const Head* head) {
  if (!head || !copy.drawable) return false;
  ProxyWindow* window = lookupWindow(copy.drawable);
  if (window && (head->tags & kHeadTagOptimizedDraw) && !windowOverlapsHead(head, window)) return true;
  return (head->tags & kHeadTagSloppyVisuals) && needsVisualEmulation(copy.drawable, head);
}

bool copyToHead(const RouteTarget& target, void* argument) {
  auto* copy = static_cast<XvCopy*>(argument);
  if (skipsHead(*copy, target.head)) return true;
  u8* out = copyRequestToServer(copy->request, copy->length, target.link);
  if (!out) {
    copy->failed = true;
    return false;
  }
  // The port at byte 4 in every request that names one.
  if (copy->request[1] != kQueryAdaptors && copy->request[1] != kSelectVideoNotify &&
      copy->request[1] != kQueryExtension)
    put32(out + 4, xvPort2server(get32(out + 4), target.head));
  if (copy->rewrite) copy->rewrite(out, copy->length, target, copy);
  swapServerRequest(target.link, out, copy->length, currentRequest.row->requestLayout);
  if (copy->stashHead) stashRequestData(target.link, kStashGrabHead, target.head, nullptr);
  return true;
}

void forwardXv(u8* request, u32 length, Route route, u32 drawable, CopyRewrite rewrite, bool stashHead = false) {
  XvCopy copy{request, length, drawable, rewrite, stashHead, false, nullptr};
  forEachTarget(route, copyToHead, &copy);
  if (copy.failed) return sendXError(BadAlloc, 0, request, length, nullptr);
  bool reply = currentRequest.row->replyLayout && *currentRequest.row->replyLayout;
  if (reply && route == Route::kEveryHead && openLinkCount(currentClient) > 1) noteRequestWithoutReply(request);
}

// --- Rewrites --------------------------------------------------------------------------

void scaleArea(u8* at, const Head* head) {
  if (!head || !head->scaler) return;
  i16 x = static_cast<i16>(get16(at)), y = static_cast<i16>(get16(at + 2));
  u16 width = get16(at + 4), height = get16(at + 6);
  scaleArea16(head->scaler, &x, &y, &width, &height);
  put16(at, static_cast<u16>(x));
  put16(at + 2, static_cast<u16>(y));
  put16(at + 4, width);
  put16(at + 6, height);
}

void scaleSizeAt(u8* at, const Head* head) {
  if (!head || !head->scaler) return;
  u16 width = get16(at), height = get16(at + 2);
  scaleSize(head->scaler, &width, &height);
  put16(at, width);
  put16(at + 2, height);
}

// Drawable at 8, GC at 12, the destination area at `area`.
template <u32 area>
void rewriteDrawing(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 8, mapDrawableToHead(get32(copy + 8), target.head));
  put32(copy + 12, translateXid(get32(copy + 12), RT_GC, target.head));
  scaleArea(copy + area, target.head);
}

void rewriteTime(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 8, metaToServerTimestamp(get32(copy + 8), target.head));
}

void rewriteDrawableAt8(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 8, mapDrawableToHead(get32(copy + 8), target.head));
}

void rewriteWindowAt4(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
}

void rewriteDrawableAt4(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, mapDrawableToHead(get32(copy + 4), target.head));
}

// Attributes are atoms of the atom server; each head's server has its own.
void rewriteAtomAt8(u8* copy, u32, const RouteTarget& target, void*) {
  if (!target.head || !target.head->display || !atomDisplay || !atomDisplay->display) return;
  if (target.head->display == atomDisplay->display) return;
  put32(copy + 8,
        static_cast<u32>(translateAtomBetweenDisplays(atomDisplay->display, get32(copy + 8), target.head->display)));
}

void rewriteBestSize(u8* copy, u32, const RouteTarget& target, void*) { scaleSizeAt(copy + 12, target.head); }
void rewriteImageSize(u8* copy, u32, const RouteTarget& target, void*) { scaleSizeAt(copy + 12, target.head); }

// --- Handlers ----------------------------------------------------------------------------

void ProcXvOnPort(u8* request, u32 length) {
  setXvPortRequestScreen(get32(request + 4));
  u8 minor = request[1];
  CopyRewrite rewrite = nullptr;
  switch (minor) {
    case kGetVideo:
    case kGetStill:
      rewrite = rewriteDrawing<24>;
      break;
    case kQueryBestSize:
      rewrite = rewriteBestSize;
      break;
    case kGetPortAttribute:
      rewrite = rewriteAtomAt8;
      break;
    case kQueryImageAttributes:
      rewrite = rewriteImageSize;
      break;
    default:
      break;
  }
  forwardXv(request, length, Route::kColorHead, 0, rewrite);
}

void ProcXvQueryAdaptors(u8* request, u32 length) {
  setRequestResource(currentClient, get32(request + 4));
  forwardXv(request, length, Route::kColorHead, 0, rewriteWindowAt4);
}

void ProcXvSelectVideoNotify(u8* request, u32 length) {
  setRequestResource(currentClient, get32(request + 4));
  forwardXv(request, length, Route::kColorHead, 0, rewriteDrawableAt4);
}

void ProcXvGrab(u8* request, u32 length) {
  setXvPortRequestScreen(get32(request + 4));
  forwardXv(request, length, Route::kEveryHead, 0, rewriteTime, request[1] == kGrabPort);
}

void ProcXvSetPortAttribute(u8* request, u32 length) {
  setXvPortRequestScreen(get32(request + 4));
  forwardXv(request, length, Route::kEveryHead, 0, rewriteAtomAt8);
}

void ProcXvDraw(u8* request, u32 length) {
  u32 drawable = get32(request + 8);
  setXvPortRequestScreen(get32(request + 4));
  u8 minor = request[1];
  CopyRewrite rewrite = minor == kPutImage    ? rewriteDrawing<28>
                        : minor == kStopVideo ? rewriteDrawableAt8
                                              : rewriteDrawing<24>;
  forwardXv(request, length, Route::kEveryHead, drawable, rewrite);
}

// --- Replies -----------------------------------------------------------------------------

void ReplyXvQueryExtension(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleXVideo, "bbsiss"); }

void ReplyXvGrabPort(u8* reply, u32 length) {
  auto* head = currentLink ? static_cast<Head*>(takeStashedData(currentLink, kStashGrabHead)) : nullptr;
  if (head && head->metaScreen && head->metaScreen->colorHead != head) return;
  sendReplyToClient(reply, length, "bbsi");
}

u32 headVisualToMeta(const Head* head, u32 visual) {
  const MetaScreen* screen = head ? head->metaScreen : nullptr;
  for (i32 i = 0; screen && head->visualMatches && i < screen->visualCount; i++)
    if (head->visualMatches[i].visualId == visual && visual != 0) return screen->visuals[i].visualId;
  return visual;
}

// Only adaptors that are virtual ports stay; their formats' visuals become
// the client's.
void ReplyXvQueryAdaptors(u8* reply, u32 length) {
  u32 count = length >= 12 ? get16(reply + 8) : 0, kept = 0, at = 32, end = length;
  for (u32 k = 0; k < count && at + 12 <= end; k++) {
    u32 base = get32(reply + at), nameSize = get16(reply + at + 4), formats = get16(reply + at + 8);
    u64 size = 12 + u64{pad4(nameSize)} + 8 * u64{formats};
    if (at + size > end) break;
    if (!findXvPortRange(base)) {
      memmove(reply + at, reply + at + size, end - at - size);
      end -= static_cast<u32>(size);
      continue;
    }
    kept++;
    const Head* colour = findXvPortRange(base)->screen->colorHead;
    u8* format = reply + at + 12 + pad4(nameSize);
    for (u32 f = 0; f < formats; f++) put32(format + 8 * f, headVisualToMeta(colour, get32(format + 8 * f)));
    at += static_cast<u32>(size);
  }
  put16(reply + 8, static_cast<u16>(kept));
  put32(reply + 4, (at - 32) / 4);
  sendReplyToClient(reply, at, "H-6");
}

// --- Events ------------------------------------------------------------------------------

void EventXvVideoNotify(u8* event) {
  if (currentLink) {
    const ServerDisplay* display = currentLink->server.display;
    put32(event + 4, translateServerTimestamp(get32(event + 4), display));
    put32(event + 8, mapServerXidToClient(get32(event + 8), display));
  }
  sendEventToClient(event, eventLayoutOf(event), 0);
}

void EventXvPortNotify(u8* event) {
  if (currentLink) put32(event + 4, translateServerTimestamp(get32(event + 4), currentLink->server.display));
  sendEventToClient(event, eventLayoutOf(event), 0);
}

void resetXVideo(ExtensionEntry* entry) {
  freeXvPortRanges();
  clearModuleWord(entry);
}

void ProcXvShmPutImage(u8* request, u32 length);

constexpr RequestRow kRequests[] = {
    {kQueryExtension, "xvQueryExtension", forwardOrAnswer, ReplyXvQueryExtension, "bbs", "bbsiss", exactSize(4),
     Route::kMainHead},
    {kQueryAdaptors, "xvQueryAdaptors", ProcXvQueryAdaptors, ReplyXvQueryAdaptors, "bbsi", "H6", exactSize(8),
     Route::kColorHead},
    {kQueryEncodings, "xvQueryEncodings", ProcXvOnPort, nullptr, "bbsi", "bbsis", exactSize(8), Route::kColorHead},
    {kGrabPort, "xvGrabPort", ProcXvGrab, ReplyXvGrabPort, "bbsii", "bbsi", exactSize(12), Route::kEveryHead},
    {kUngrabPort, "xvUngrabPort", ProcXvGrab, nullptr, "bbsii", "", exactSize(12), Route::kEveryHead},
    {kPutVideo, "xvPutVideo", ProcXvDraw, nullptr, "bbsiiissssssss", "", atLeastSize(32), Route::kEveryHead},
    {kPutStill, "xvPutStill", ProcXvDraw, nullptr, "bbsiiissssssss", "", atLeastSize(32), Route::kEveryHead},
    {kGetVideo, "xvGetVideo", ProcXvOnPort, nullptr, "bbsiiissssssss", "", exactSize(32), Route::kColorHead},
    {kGetStill, "xvGetStill", ProcXvOnPort, nullptr, "bbsiiissssssss", "", exactSize(32), Route::kColorHead},
    {kStopVideo, "xvStopVideo", ProcXvDraw, nullptr, "bbsii", "", exactSize(12), Route::kEveryHead},
    {kSelectVideoNotify, "xvSelectVideoNotify", ProcXvSelectVideoNotify, nullptr, "bbsi", "", exactSize(12),
     Route::kColorHead},
    {kSelectPortNotify, "xvSelectPortNotify", ProcXvOnPort, nullptr, "bbsi", "", exactSize(12), Route::kColorHead},
    {kQueryBestSize, "xvQueryBestSize", ProcXvOnPort, nullptr, "bbsissss", "bbsiss", exactSize(20), Route::kColorHead},
    {kSetPortAttribute, "xvSetPortAttribute", ProcXvSetPortAttribute, nullptr, "bbsiii", "", exactSize(16),
     Route::kEveryHead},
    {kGetPortAttribute, "xvGetPortAttribute", ProcXvOnPort, nullptr, "bbsii", "bbsii", exactSize(12),
     Route::kColorHead},
    {kQueryPortAttributes, "xvQueryPortAttributes", ProcXvOnPort, nullptr, "bbsi", "bbsiii", exactSize(8),
     Route::kColorHead},
    {kListImageFormats, "xvListImageFormats", ProcXvOnPort, nullptr, "bbsi", "bbsii", exactSize(8), Route::kColorHead},
    {kQueryImageAttributes, "xvQueryImageAttributes", ProcXvOnPort, nullptr, "bbsiiss", "bbsiiiss", exactSize(16),
     Route::kColorHead},
    {kPutImage, "xvPutImage", ProcXvDraw, nullptr, "bbsiiiissssssssss", "", atLeastSize(40), Route::kEveryHead},
    {kShmPutImage, "xvShmPutImage", ProcXvShmPutImage, nullptr, "bbsiiiiiissssssssss", "", exactSize(52),
     Route::kEveryHead},
};

constexpr EventRow kEvents[] = {
    {0, "XvVideoNotify", EventXvVideoNotify, "bbsiii"},
    {1, "XvPortNotify", EventXvPortNotify, "bbsiii"},
};

constexpr ErrorRow kErrors[] = {
    {0, "xvBadPort", nullptr, ErrorValue::kText},
    {1, "xvBadEncoding", nullptr, ErrorValue::kText},
    {2, "xvBadControl", nullptr, ErrorValue::kText},
};

// --- ShmPutImage ---------------------------------------------------------------------------

constexpr u32 kPutImageHeader = 40;

// A head whose display cannot read the client's segment gets the image as
// a plain xvPutImage with the segment's bytes from the offset on.
struct ShmImage {
  const u8* request;
  u32 length;
  const u8* bytes;  // the segment from the offset; null: no head needs them
  u32 size;
  bool completionSent;  // a server was asked for the completion event
  bool failed;
};

bool putShmOnHead(const RouteTarget& target, void* argument) {
  auto* image = static_cast<ShmImage*>(argument);
  XvCopy test{image->request, image->length, get32(image->request + 8), nullptr, false, false, nullptr};
  if (skipsHead(test, target.head)) return true;
  const Head* head = target.head;
  const ServerDisplay* display = head ? head->serverDisplay : nullptr;
  u8* out = nullptr;
  if (!display || display->shmUsable) {
    if (!(out = copyRequestToServer(image->request, image->length, target.link))) return image->failed = true, false;
    rewriteDrawing<36>(out, image->length, target, nullptr);
    put32(out + 16, translateXid(get32(out + 16), RT_SHM_SEGMENT, display ? display->firstHead : head));
    // One completion for the client: the first server that reads the
    // segment sends it.
    if (out[48] && image->completionSent) out[48] = 0;
    if (out[48]) image->completionSent = true;
    put32(out + 4, xvPort2server(get32(out + 4), head));
    swapServerRequest(target.link, out, image->length, "bbsiiiiiissssssssss");
    return true;
  }
  u32 length = kPutImageHeader + pad4(image->size);
  if (!(out = beginRequest(&target.link->writer, image->request[0], kPutImage, length)))
    return image->failed = true, false;
  const u8* in = image->request;
  put32(out + 4, xvPort2server(get32(in + 4), head));
  put32(out + 8, get32(in + 8));
  put32(out + 12, get32(in + 12));
  put32(out + 16, get32(in + 20));  // image format
  memcpy(out + 20, in + 28, 16);    // source and destination areas
  memcpy(out + 36, in + 44, 4);     // width, height
  rewriteDrawing<28>(out, length, target, nullptr);
  memcpy(out + kPutImageHeader, image->bytes, image->size);
  memset(out + kPutImageHeader + image->size, 0, length - kPutImageHeader - image->size);
  finishWriterRequest(&target.link->writer, out, length, "bbsiiiissssssssss");
  return true;
}

bool anyHeadWithoutShm() {
  const MetaScreen* screen =
      currentClient->requestResourceScreen ? currentClient->requestResourceScreen : firstMetaScreen();
  for (const Head* head = screen ? screen->heads : nullptr; head; head = head->next)
    if (head->serverDisplay && !head->serverDisplay->shmUsable) return true;
  return false;
}

// The completion the client asked for when no server sends one: the
// MIT-SHM event, as a server would have sent it.
void composeCompletion(const u8* request) {
  const ExtensionEntry* shm = findExtensionByName("MIT-SHM");
  if (!shm || !shm->firstEvent) return;
  u8 event[32] = {};
  event[0] = shm->firstEvent;
  put16(event + 2, static_cast<u16>(currentClient->requestCounter));
  put32(event + 4, get32(request + 8));
  put16(event + 8, kShmPutImage);
  event[10] = request[0];
  put32(event + 12, get32(request + 16));
  put32(event + 16, get32(request + 24));
  sendComposedEvent(event, "bbsisbbii", currentClient);
}

void ProcXvShmPutImage(u8* request, u32 length) {
  setXvPortRequestScreen(get32(request + 4));
  ShmImage image{request, length, nullptr, 0, false, false};
  if (anyHeadWithoutShm()) {
    u32 segment = get32(request + 16), offset = get32(request + 24);
    const u8* bytes = nullptr;
    u64 size = 0;
    if (!clientShmSegmentBytes(segment, &bytes, &size)) return sendXError(BadAccess, segment, request, length, nullptr);
    // Nothing of the segment lies at an offset past its end; more than a
    // server takes in one request cannot be sent.
    if (offset > size) return sendXError(BadValue, offset, request, length, nullptr);
    u64 total = kPutImageHeader + ((size - offset + 3) & ~u64{3});
    if (total > proxyState.maxBigRequestBytes) return sendXError(BadAlloc, 0, request, length, nullptr);
    image.bytes = bytes + offset;
    image.size = static_cast<u32>(size - offset);
  }
  forEachTarget(Route::kEveryHead, putShmOnHead, &image);
  if (image.failed) return sendXError(BadAlloc, 0, request, length, nullptr);
  if (request[48] && !image.completionSent) composeCompletion(request);
}

}  // namespace

const char* initXVideoExtension(ExtensionEntry* entry) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    if (const char* failure = buildScreenPorts(screen)) return failure;
  return registerModule(entry, "XVideo",
                        {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), kErrors, rowCount(kErrors)},
                        {kModuleXVideo, nullptr, resetXVideo, false});
}

}  // namespace palvon

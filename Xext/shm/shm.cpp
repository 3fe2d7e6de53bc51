// MIT-SHM.
#include "Xext/shm/shm.h"

#include <X11/X.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <emmintrin.h>

#include "Proxy/clients/access.h"
#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/events/translate.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/drawing.h"
#include "Proxy/requests/images.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "Xext/extmodule.h"
#include "Xext/shm/pool.h"
#include "Xext/shm/ring.h"
#include "base/logging.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

constexpr u8 kQueryVersion = 0, kAttach = 1, kDetach = 2, kPutImage = 3, kGetImage = 4, kCreatePixmap = 5;
constexpr u8 kBadShmSeg = 0;
constexpr LayoutString kCompletionLayout = "bbsisbbii";
constexpr LayoutString kGetImageReplyLayout = "bbsiiiiiii";

ClientShmSegment* segmentList;  // tail: the head's previous
u64 putImageMinSize = 1;
u64 getImageMinSize = 16384;
constexpr u8 kStashOwnRead = 121;  // the argument of a read-back without a callback

ExtensionEntry* shmEntry() { return moduleEntry(kModuleShm); }

u64 sizeFromEnvironment(const char* name, u64 fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  return end && *end == 0 ? value : fallback;
}

// --- Records ---------------------------------------------------------------------------

ClientShmSegment* findSegment(u32 shmid) {
  for (ClientShmSegment* s = segmentList; s; s = s->next)
    if (s->shmid == shmid) return s;
  return nullptr;
}

void appendSegment(ClientShmSegment* segment) {
  if (!segmentList) {
    segmentList = segment;
    segment->previous = segment;
    return;
  }
  ClientShmSegment* tail = segmentList->previous;
  tail->next = segment;
  segment->previous = tail;
  segmentList->previous = segment;
}

void unlinkSegment(ClientShmSegment* segment) {
  if (segment == segmentList) {
    segmentList = segment->next;
    if (segmentList) segmentList->previous = segment->previous;
    return;
  }
  segment->previous->next = segment->next;
  ClientShmSegment* after = segment->next ? segment->next : segmentList;
  after->previous = segment->previous;
}

void destroyShmResource(u32, void* object) { detachShmSegment(static_cast<ClientShmSegment*>(object)); }

ClientShmSegment* lookupSegment(u32 id) {
  return static_cast<ClientShmSegment*>(lookupResourceByType(id, RT_SHM_SEGMENT));
}

ShmRequester requesterOf(const ProxyClient* client) {
  ShmRequester who{};
  AccessClient access{};
  accessClientFromSocket(&access, client->descriptor);
  const gid_t* groups = nullptr;
  int groupCount = 0;
  who.known = getLocalClientCredentials(&access, &who.user, &who.group, &groups, &groupCount) == 0;
  return who;
}

// --- Request writers ---------------------------------------------------------------------

void requestShmGetImage(ServerLink* link, u32 drawable, i16 x, i16 y, u16 width, u16 height, u32 planeMask,
                        u32 serverId) {
  ExtensionEntry* entry = shmEntry();
  u8* p = entry ? beginRequest(&link->writer, entry->major, kGetImage, 32) : nullptr;
  if (!p) return;
  put32(p + 4, drawable);
  put16(p + 8, u16(x));
  put16(p + 10, u16(y));
  put16(p + 12, width);
  put16(p + 14, height);
  put32(p + 16, planeMask);
  p[20] = ZPixmap;
  p[21] = p[22] = p[23] = 0;
  put32(p + 24, serverId);
  put32(p + 28, 0);
  finishRequest(&link->writer, p, 32, entry->major, kGetImage);
}

// The segment id on a display: one id per display, that of its first head.
u32 segmentOnDisplay(u32 id, const Head* head) {
  const Head* first = head && head->serverDisplay ? head->serverDisplay->firstHead : head;
  return translateXid(id, RT_SHM_SEGMENT, first ? first : head);
}

bool sharesMemory(const Head* head) { return head && head->serverDisplay && head->serverDisplay->shmUsable; }

// --- ShmQueryVersion ---------------------------------------------------------------------

void ProcShmQueryVersion(u8* request, u32) {
  u16 version = offeredVersion(kModuleShm);
  u8 reply[32] = {};
  reply[1] = 0;  // no shared pixmaps
  put16(reply + 8, u16(version >> 6));
  put16(reply + 10, u16(version & 63));
  put16(reply + 12, u16(geteuid()));
  put16(reply + 14, u16(getegid()));
  reply[16] = ZPixmap;
  sendComposedReply(request[0], request[1], reply, sizeof reply, "bbsissss", currentClient);
}

// --- ShmAttach and ShmDetach -------------------------------------------------------------

bool skipUnsharedDisplay(const RouteTarget& target, void*) { return target.head && !sharesMemory(target.head); }

void rewriteSegmentId(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, segmentOnDisplay(get32(copy + 4), target.head));
}

// The record of the shmid for a new attachment, or null after an error was
// sent. The client must have the rights the segment gives it: the proxy
// attaches with its own, and so do the servers it asks.
ClientShmSegment* attachSegment(u32 id, u32 shmid, u8 readOnly, const u8* request, u32 length) {
  shmid_ds info{};
  if (shmctl(int(shmid), IPC_STAT, &info) < 0 ||
      !shmAccessAllowed(info.shm_perm, requesterOf(currentClient), readOnly)) {
    sendXError(BadAccess, shmid, request, length, nullptr);
    return nullptr;
  }
  if (ClientShmSegment* found = findSegment(shmid)) {
    if (!readOnly && found->readOnly) {
      sendXError(BadAccess, shmid, request, length, "segment is read only");
      return nullptr;
    }
    found->references++;
    return found;
  }
  auto* segment = static_cast<ClientShmSegment*>(memCalloc(1, sizeof(ClientShmSegment)));
  if (!segment) {
    sendXError(BadAlloc, 0, request, length, nullptr);
    return nullptr;
  }
  void* address = shmat(int(shmid), nullptr, readOnly ? SHM_RDONLY : 0);
  if (address == reinterpret_cast<void*>(-1)) {
    std::free(segment);
    sendXError(BadAccess, shmid, request, length, "failed shmat()");
    return nullptr;
  }
  *segment = {nullptr, nullptr, id, shmid, 1, readOnly, static_cast<u8*>(address), u64(info.shm_segsz)};
  appendSegment(segment);
  return segment;
}

void ProcShmAttach(u8* request, u32 length) {
  u32 id = get32(request + 4), shmid = get32(request + 8);
  u8 readOnly = request[12];
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  if (readOnly > 1) return sendXError(BadValue, readOnly, request, length, nullptr);
  ClientShmSegment* segment = attachSegment(id, shmid, readOnly, request, length);
  if (!segment) return;
  // Without the node the reference goes again (the type's destructor).
  if (!addResource(id, RT_SHM_SEGMENT, segment)) return sendXError(BadAlloc, 0, request, length, nullptr);
  forwardToHeads(request, length, skipUnsharedDisplay, rewriteSegmentId, nullptr);
}

void ProcShmDetach(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (!lookupSegment(id)) return sendExtensionError(kBadShmSeg, id, request, length, nullptr);
  forwardToHeads(request, length, skipUnsharedDisplay, rewriteSegmentId, nullptr);
  freeResource(id);
}

// --- ShmPutImage --------------------------------------------------------------------------

struct ShmPut {
  u8* request;
  u32 length;
  u32 drawable, gc, segmentId, offset;
  u16 totalWidth, totalHeight, sourceX, sourceY, width, height;
  i16 x, y;
  u8 depth, format;
  DrawableInfo info;
  ClientShmSegment* segment;
  XImage whole;   // the segment's image, over the segment's bytes
  XImage* image;  // the source area in the client's layout, made once
  bool failed;
};

const ImageFormat* clientLayout(u32 format, u32 depth) {
  Display* display = clientImageDisplay();
  if (!display) return format == ZPixmap ? ximageZPixmapFormat(depth) : ximageBitmapFormat();
  return ximageFormatForDisplay(display, format, depth, nullptr);
}

// The source area as an image: the segment's image in place when the whole
// of it is put, else the area cut out into an image of its own.
XImage* takeSourceImage(ShmPut& p) {
  const ImageFormat* layout = clientLayout(p.format, p.depth);
  char* data = reinterpret_cast<char*>(p.segment->address + p.offset);
  if (!ximageInit(&p.whole, p.totalWidth, p.totalHeight, 0, data, layout)) return nullptr;
  if (p.sourceX == 0 && p.sourceY == 0 && p.width == p.totalWidth && p.height == p.totalHeight) return &p.whole;
  XImage* image = ximageCreateWithData(layout, p.width, p.height);
  if (image) ximageCopy(&p.whole, p.sourceX, p.sourceY, p.width, p.height, image, 0, 0);
  return image;
}

void dropSourceImage(ShmPut& p) {
  if (p.image && p.image != &p.whole) XDestroyImage(p.image);
  p.image = nullptr;
}

bool putConverted(ShmPut& p, const RouteTarget& target) {
  Head* head = target.head;
  if (!p.image && !(p.image = takeSourceImage(p))) return false;
  if (!imageNeedsConversion(p.format, p.depth, p.info.visual, head))
    return putImageOnHead(target.link, head, p.drawable, p.gc, p.image, p.x, p.y);
  HeadRect area{p.x, p.y, p.width, p.height};
  if (head && head->scaler) {
    setScalerDrawable(head->scaler, p.drawable);
    scaleArea32(head->scaler, &area);
  }
  XImage* converted =
      convertImageForHeadToScratch(p.image, p.info.visual, head, u32(area.width), u32(area.height));
  return converted && putImageOnHead(target.link, head, p.drawable, p.gc, converted, area.x, area.y);
}

bool shmPutOnHead(const RouteTarget& target, void* argument) {
  auto& p = *static_cast<ShmPut*>(argument);
  Head* head = target.head;
  if (head && (cullsWindowHead(head, p.info.window) || needsVisualEmulation(p.drawable, head))) return true;
  if (sharesMemory(head) && !imageNeedsConversion(p.format, p.depth, p.info.visual, head)) {
    u8* copy = copyRequestToServer(p.request, p.length, target.link);
    if (!copy) return !(p.failed = true);
    put32(copy + 4, mapDrawableToHead(p.drawable, head));
    put32(copy + 8, translateXid(p.gc, RT_GC, head));
    copy[28] = u8(mapDepthForHead(p.depth, head));
    put32(copy + 32, segmentOnDisplay(p.segmentId, head));
    if (backgroundTileCount) mirrorShmPutImage(target.link, head, p.info.window, p.gc, copy, p.length);
    swapServerRequest(target.link, copy, p.length, currentRequest.row->requestLayout);
    // Only the first server that takes the request makes the completion.
    p.request[30] = 0;
    return true;
  }
  if (!p.width || !p.height) return true;
  if (putConverted(p, target)) return true;
  p.failed = true;
  return false;
}

// Null after an error was sent.
ClientShmSegment* checkedSegment(u32 id, const u8* request, u32 length) {
  ClientShmSegment* segment = lookupSegment(id);
  if (!segment) sendExtensionError(kBadShmSeg, id, request, length, nullptr);
  return segment;
}

// The image must lie inside the segment: the proxy reads and writes it
// through its own mapping.
bool imageInSegment(const ClientShmSegment* segment, u32 offset, u64 bytes, const u8* request, u32 length) {
  if (shmRangeFits(segment->size, offset, bytes)) return true;
  sendXError(BadAccess, offset, request, length, nullptr);
  return false;
}

void sendCompletion(const ShmPut& p) {
  ExtensionEntry* entry = shmEntry();
  if (!entry) return;
  u8 event[32] = {};
  event[0] = entry->firstEvent;
  put16(event + 2, u16(currentClient->requestCounter));
  put32(event + 4, p.drawable);
  put16(event + 8, kPutImage);
  event[10] = p.request[0];
  put32(event + 12, p.segmentId);
  put32(event + 16, p.offset);
  sendComposedEvent(event, kCompletionLayout, currentClient);
}

bool readShmPut(ShmPut& p, u8* request, u32 length) {
  p.request = request;
  p.length = length;
  p.drawable = get32(request + 4);
  p.gc = get32(request + 8);
  p.totalWidth = get16(request + 12), p.totalHeight = get16(request + 14);
  p.sourceX = get16(request + 16), p.sourceY = get16(request + 18);
  p.width = get16(request + 20), p.height = get16(request + 22);
  p.x = i16(get16(request + 24)), p.y = i16(get16(request + 26));
  p.depth = request[28], p.format = request[29];
  p.segmentId = get32(request + 32), p.offset = get32(request + 36);
  setRequestResource(currentClient, p.drawable);
  if (!describeDrawable(p.drawable, &p.info)) return sendXError(BadDrawable, p.drawable, request, length, nullptr), false;
  if (const GCRecord* gc = lookupGC(p.gc); gc && gc->depth != p.info.depth)
    return sendXError(BadMatch, 0, request, length, nullptr), false;
  if (p.format > ZPixmap) return sendXError(BadValue, p.format, request, length, "invalid format"), false;
  if (p.format == XYBitmap ? p.depth != 1 : p.depth != p.info.depth)
    return sendXError(BadMatch, p.depth, request, length, "invalid depth"), false;
  if (!prepareGCForDrawing(p.gc, p.drawable, request, length)) return false;
  if (!(p.segment = checkedSegment(p.segmentId, request, length))) return false;
  if (request[30] > 1) return sendXError(BadValue, request[30], request, length, nullptr), false;
  if (u32(p.sourceX) + p.width > p.totalWidth)
    return sendXError(BadAccess, p.totalWidth, request, length, "source width too big"), false;
  if (u32(p.sourceY) + p.height > p.totalHeight)
    return sendXError(BadAccess, p.totalHeight, request, length, "source height too big"), false;
  u64 bytes = clientImageBytes(p.format, p.depth, p.totalWidth, p.totalHeight, ~0u);
  return imageInSegment(p.segment, p.offset, bytes, request, length);
}

void ProcShmPutImage(u8* request, u32 length) {
  ShmPut p{};
  if (!readShmPut(p, request, length)) return;
  if (damageWanted() && p.info.window && p.width && p.height) addDamageRect(p.x, p.y, p.width, p.height);
  forEachTarget(Route::kEveryHead, shmPutOnHead, &p);
  dropSourceImage(p);
  if (p.failed) return sendXError(BadAlloc, 0, request, length, nullptr);
  if (request[30]) sendCompletion(p);
}

// --- ShmGetImage --------------------------------------------------------------------------

// One ShmGetImage read through core GetImage; holds a reference on the
// segment until the read ends, however it ends.
struct ShmRead {
  ClientShmSegment* segment;
  u32 offset;
  u8* request;
  u32 length;
  u32 drawable;
  u32 segmentId;
  u8 format, depth;
  const VisualRecord* visual;
};

void releaseShmRead(void* argument) {
  auto* read = static_cast<ShmRead*>(argument);
  detachShmSegment(read->segment);
  std::free(read);
}

void shmReadDone(GetImageJob* job, u16 sequence, void* argument) {
  auto* read = static_cast<ShmRead*>(argument);
  ExtensionEntry* entry = shmEntry();
  if (job->failed || !entry || !shmRangeFits(read->segment->size, read->offset, job->size)) {
    const u8 header[4] = {entry ? entry->major : u8(0), kGetImage, 8, 0};
    sendClientXError(BadAlloc, 0, header, 32, sequence, nullptr, currentClient);
    return;
  }
  std::memcpy(read->segment->address + read->offset, job->buffer, job->size);
  u8 reply[32] = {};
  reply[0] = X_Reply;
  reply[1] = job->depth;
  put16(reply + 2, sequence);
  put32(reply + 8, job->pixmap ? 0 : job->visual);
  put32(reply + 12, job->size);
  sendReplyToClient(reply, sizeof reply, kGetImageReplyLayout);
}

// A head that shares memory and needs nothing converted answers the request
// itself, into the client's segment.
bool shmReadDirect(Head* head, void* argument) {
  auto* read = static_cast<ShmRead*>(argument);
  if (!head || head->scaler || !sharesMemory(head) ||
      imageNeedsConversion(read->format, read->depth, read->visual, head))
    return false;
  ServerLink* link = currentHeadLink(head);
  u8* copy = link ? copyRequestToServer(read->request, read->length, link) : nullptr;
  if (!copy) return false;
  put32(copy + 4, mapDrawableToHead(read->drawable, head));
  put32(copy + 24, segmentOnDisplay(read->segmentId, head));
  swapServerRequest(link, copy, read->length, currentRequest.row->requestLayout);
  // The sink's release does not run for a direct answer.
  releaseShmRead(read);
  return true;
}

void ProcShmGetImage(u8* request, u32 length) {
  u32 drawable = get32(request + 4);
  i16 x = i16(get16(request + 8)), y = i16(get16(request + 10));
  u16 width = get16(request + 12), height = get16(request + 14);
  u32 planeMask = get32(request + 16);
  u8 format = request[20];
  u32 segmentId = get32(request + 24), offset = get32(request + 28);
  setRequestResource(currentClient, drawable);
  // The format first, as a plain server checks it.
  if (format != XYPixmap && format != ZPixmap)
    return sendXError(BadValue, format, request, length, "invalid pixmap format");
  DrawableInfo info{};
  if (!describeDrawable(drawable, &info)) return sendXError(BadDrawable, drawable, request, length, nullptr);
  if (!isRectInsideDrawable(drawable, x, y, width, height))
    return sendXError(BadMatch, drawable, request, length, "invalid dimensions");
  ClientShmSegment* segment = checkedSegment(segmentId, request, length);
  if (!segment) return;
  if (segment->readOnly) return sendXError(BadAccess, segmentId, request, length, "read only");
  u64 bytes = clientImageBytes(format, info.depth, width, height, planeMask);
  if (!imageInSegment(segment, offset, bytes, request, length)) return;
  auto* read = static_cast<ShmRead*>(memCalloc(1, sizeof(ShmRead)));
  if (!read) return sendXError(BadAlloc, 0, request, length, nullptr);
  segment->references++;
  *read = {segment, offset, request, length, drawable, segmentId, format, u8(info.depth), info.visual};
  GetImageSink sink{shmReadDone, releaseShmRead, shmReadDirect, read};
  if (!getImageIntoSink(request, format, drawable, x, y, width, height, planeMask, sink))
    sendXError(BadAlloc, 0, request, length, nullptr);
}

// A server's own answer (the direct path): its visual becomes the client's.
void ReplyShmGetImage(u8* reply, u32 length) {
  // The proxy's own read-back: the image is in its segment, nothing goes
  // to the client.
  if (currentLink && releaseStashedData(currentLink, kStashOwnRead)) return;
  ServerDisplay* server = currentLink ? currentLink->server.display : nullptr;
  put32(reply + 8, mapHeadVisualIdToClient(get32(reply + 8), server, nullptr));
  sendReplyToClient(reply, length, kGetImageReplyLayout);
}

void ProcShmCreatePixmap(u8* request, u32 length) {
  sendXError(BadImplementation, 0, request, length, "unsupported feature");
}

void ReplyShmUnexpected(u8*, u32) { PALVON_UNE(); }

// --- Events ---------------------------------------------------------------------------------

void EventShmCompletion(u8* event) {
  if (passedUntranslated(event)) return;
  const ServerDisplay* server = currentLink ? currentLink->server.display : nullptr;
  put32(event + 4, mapServerXidToClient(get32(event + 4), server));
  put32(event + 12, mapServerXidToClient(get32(event + 12), server));
  deliverEvent(event);
}

void lostShmServer(ProxyClient* client, u64 sequence, u8, u16 key) { composeImplementationError(client, sequence, key); }

// At exit every segment the proxy made goes, the rings' too.
void removeOwnSegments(int) {
  forgetImageRings();
  removeAllPooledSegments();
}

// After a reset the core image path falls back to ordinary requests until
// the init runs again.
void resetShm(ExtensionEntry* entry) {
  freeIdlePooledSegments();
  shmPutImageHook = nullptr;
  shmGetImageHook = nullptr;
  clearModuleWord(entry);
}

constexpr RequestRow kRequests[] = {
    {kQueryVersion, "ShmQueryVersion", ProcShmQueryVersion, ReplyShmUnexpected, "bbs", "bbsissss", exactSize(4),
     Route::kLocal},
    {kAttach, "ShmAttach", ProcShmAttach, nullptr, "bbsii", "", exactSize(16), Route::kEveryServer},
    {kDetach, "ShmDetach", ProcShmDetach, nullptr, "bbsi", "", exactSize(8), Route::kEveryServer},
    {kPutImage, "ShmPutImage", ProcShmPutImage, nullptr, "bbsiissssssssbbbbii", "", exactSize(40),
     Route::kEveryHead},
    {kGetImage, "ShmGetImage", ProcShmGetImage, ReplyShmGetImage, "bbsissssibbbbii", kGetImageReplyLayout,
     exactSize(32), Route::kNone},
    {kCreatePixmap, "ShmCreatePixmap", ProcShmCreatePixmap, nullptr, "bbsiissbbbbii", "", exactSize(28),
     Route::kNone},
};

constexpr EventRow kEvents[] = {{0, "ShmCompletion", EventShmCompletion, kCompletionLayout}};
constexpr ErrorRow kErrors[] = {{0, "BadShmSeg", nullptr, ErrorValue::kResourceId}};

}  // namespace

void requestShmAttach(ServerLink* link, u32 serverId, u32 shmid, u8 readOnly) {
  ExtensionEntry* entry = shmEntry();
  u8* p = entry ? beginRequest(&link->writer, entry->major, kAttach, 16) : nullptr;
  if (!p) return;
  put32(p + 4, serverId);
  put32(p + 8, shmid);
  p[12] = readOnly;
  p[13] = p[14] = p[15] = 0;
  finishRequest(&link->writer, p, 16, entry->major, kAttach);
}

void requestShmDetach(ServerLink* link, u32 serverId) {
  ExtensionEntry* entry = shmEntry();
  u8* p = entry ? beginRequest(&link->writer, entry->major, kDetach, 8) : nullptr;
  if (!p) return;
  put32(p + 4, serverId);
  finishRequest(&link->writer, p, 8, entry->major, kDetach);
}


bool shmAccessAllowed(const ipc_perm& permission, const ShmRequester& requester, bool readOnly) {
  u32 mode = permission.mode;
  u32 bits = mode & 7;
  if (requester.known) {
    if (requester.user == 0) return true;
    if (requester.user == permission.uid || requester.user == permission.cuid) bits = (mode >> 6) & 7;
    else if (requester.group == permission.gid || requester.group == permission.cgid) bits = (mode >> 3) & 7;
  }
  u32 wanted = readOnly ? 4 : 6;
  return (bits & wanted) == wanted;
}

void detachShmSegment(ClientShmSegment* segment) {
  if (!segment || --segment->references > 0) return;
  if (shmdt(segment->address) < 0) LOGF(logChProblem, "shmdt() failed: %s", strerror(errno));
  unlinkSegment(segment);
  std::free(segment);
}

u64 shmSegmentSize(const ClientShmSegment* segment) {
  shmid_ds info{};
  if (!segment || shmctl(int(segment->shmid), IPC_STAT, &info) < 0) return 0;
  return info.shm_segsz;
}

namespace {

// The image of the request being handled, already in a segment: the next
// head that takes it as it is gets the same segment, without another copy.
struct SharedImage {
  const ProxyClient* client;
  u64 request;  // the client's request counter
  const u8* data;
  u64 bytes;
  PooledSegment* loan;
} sharedImage;

void answerOwnSegment(const u8*, void* argument) { answerPooledSegment(static_cast<PooledSegment*>(argument)); }
void releaseOwnSegment(void* argument) {
  auto* loan = static_cast<PooledSegment*>(argument);
  if (sharedImage.loan == loan && loan->holds == 1) sharedImage = {};
  releasePooledSegment(loan);
}

// The id under which the link's server has the loan's segment attached.
// A server keeps the pool's segments attached from one image to the next:
// attaching maps the segment into the server anew, and touching its fresh
// pages there costs more than the image's copy. With every slot taken,
// the attachment kept longest goes (behind the puts that used it). 0 when
// no id could be had.
u32 attachedOnLink(ServerLink* link, ProxyClient* client, const Head* head, const PooledSegment* loan) {
  for (const KeptShmAttachment& kept : link->keptShm)
    if (kept.serial == loan->serial) return kept.serverId;
  u32 id = allocProxyXid(client);
  u32 serverId = id ? translateXid(id, RT_SERVER_ID, head) : 0;
  if (!serverId) return 0;
  KeptShmAttachment& slot = link->keptShm[link->keptShmNext];
  link->keptShmNext = u8((link->keptShmNext + 1) % kKeptShmAttachments);
  if (slot.serial) requestShmDetach(link, slot.serverId);
  requestShmAttach(link, serverId, u32(loan->segment->segmentId), 1);
  slot = {loan->serial, serverId};
  return serverId;
}

// A segment leaving the pool is let go by every server that keeps it, so
// that its memory goes with it.
void detachGoneSegment(u64 serial) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    for (ServerLink* link : linksOf(client)) {
      for (KeptShmAttachment& kept : link->keptShm) {
        if (kept.serial != serial) continue;
        if (!client->stopped) requestShmDetach(link, kept.serverId);
        kept = {};
      }
    }
  }
}

// A large image goes into its segment with streaming stores, past the
// caches. An ordinary copy first reads each line of the segment for
// ownership, and those lines sit in the caches of the servers that read
// the previous image from it, on other cores. For 32 images of 1 MiB the
// proxy's time swung between 7 and 22 ms from run to run, against 6 to 10
// ms streamed. The proxy never reads the image back. A small image is
// copied as usual, so that its server finds it in the cache.
constexpr u64 kStreamedImageBytes = 128 << 10;

void copyIntoSegment(u8* to, const u8* from, u64 bytes) {
  if (bytes < kStreamedImageBytes) {
    std::memcpy(to, from, bytes);
    return;
  }
  u64 unaligned = (16 - (reinterpret_cast<uintptr_t>(to) & 15)) & 15;
  std::memcpy(to, from, unaligned);
  to += unaligned, from += unaligned, bytes -= unaligned;
  for (; bytes >= 64; to += 64, from += 64, bytes -= 64) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(to), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + 48), d);
  }
  // Streamed stores are weakly ordered: all of them must be visible before
  // the request that names the segment is written.
  _mm_sfence();
  std::memcpy(to, from, bytes);
}

// The segment holding the client's image for this request, or a new loan
// with the image copied or written in; null when the pool lends none or the
// writer failed.
PooledSegment* segmentWithImage(ProxyClient* client, const ShmImageBytes& image) {
  SharedImage& s = sharedImage;
  const u8* data = image.data;
  if (data && s.loan && s.client == client && s.request == client->requestCounter && s.data == data &&
      s.bytes == image.bytes)
    return s.loan;
  PooledSegment* loan = lendPooledSegment(image.bytes);
  if (!loan) return nullptr;
  if (!data) {
    // Written for one head: no other head takes it.
    if (image.fill(loan->segment->address, image.argument)) return loan;
    releasePooledSegment(loan);
    return nullptr;
  }
  copyIntoSegment(loan->segment->address, data, image.bytes);
  s = {client, client->requestCounter, data, image.bytes, loan};
  return loan;
}

}  // namespace

bool shmPutImageOnHead(ProxyClient* client, const Head* head, u32 drawable, u32 gc, i16 x, i16 y, u16 width, u16 height,
                       u8 depth, u8 format, const ShmImageBytes& image) {
  u64 bytes = image.bytes;
  ServerLink* link = client && head ? clientLink(client, head->serverIndex) : nullptr;
  if (!link || !shmEntry() || !sharesMemory(head) || bytes < putImageMinSize || !bytes) return false;
  // A small image goes through the link's ring, or, while the ring is
  // full, in the request itself (the tiles' mirror of a put reads a
  // segment from its start: with tiles it takes a segment alone).
  if (bytes <= kRingImageMaxBytes && !backgroundTileCount) {
    ImageRoom room;
    if (!takeImageRingRoom(link, client, head, bytes, &room)) return false;
    // A room not written is taken back with the next mark.
    if (image.data) std::memcpy(room.at, image.data, bytes);
    else if (!image.fill(room.at, image.argument)) return false;
    requestShmPutImage(link, mapDrawableToHead(drawable, head), translateXid(gc, RT_GC, head), width, height, 0, 0,
                       width, height, x, y, depth, format, 0, room.serverId, room.offset);
    stashRequestData(link, kStashNamedAs, reinterpret_cast<void*>(uintptr_t{X_PutImage}), nullptr);
    imageRingPutWritten(link);
    return true;
  }
  PooledSegment* loan = segmentWithImage(client, image);
  if (!loan) return false;
  u32 serverId = attachedOnLink(link, client, head, loan);
  if (!serverId) {
    // Nothing was sent from it; a loan no round trip holds goes back now.
    if (!loan->holds) {
      sharedImage = {};
      releasePooledSegment(loan);
    }
    return false;
  }
  requestShmPutImage(link, mapDrawableToHead(drawable, head), translateXid(gc, RT_GC, head), width, height, 0, 0,
                     width, height, x, y, depth, format, 0, serverId, 0);
  stashRequestData(link, kStashNamedAs, reinterpret_cast<void*>(uintptr_t{X_PutImage}), nullptr);
  if (backgroundTileCount) mirrorWholeShmImage(link, head, drawable, gc, width, height, x, y, depth, format, serverId);
  // The segment is lent again once every server it went to has passed the
  // put; the put itself waits for nothing.
  holdPooledSegment(loan);
  if (!queueRoundTripCallback(link, answerOwnSegment, loan, releaseOwnSegment)) releaseOwnSegment(loan);
  return true;
}

ShmSegment* shmGetImageFromHead(ServerLink* link, const Head* head, u32 drawable, i16 x, i16 y, u16 width, u16 height,
                                u32 depth, u32 planeMask, ReplyHookCallback callback, void* argument) {
  ServerDisplay* server = link ? link->server.display : nullptr;
  if (!shmEntry() || !server || !server->shmUsable || !server->display || !link->client || !head) return nullptr;
  const ImageFormat* layout = ximageFormatForDisplay(server->display, ZPixmap, depth, nullptr);
  u64 pad = layout->scanlinePad ? layout->scanlinePad : 32;
  u64 bytesPerLine = (u64(width) * layout->bitsPerPixel + pad - 1) / pad * (pad / 8);
  u64 size = bytesPerLine * height;
  if (!size || size < getImageMinSize) return nullptr;
  u32 id = allocProxyXid(link->client);
  u32 serverId = id ? translateXid(id, RT_SERVER_ID, head) : 0;
  if (!serverId) return nullptr;
  // The proxy only reads the segment; the server writes it.
  ShmSegment* segment = createShmSegment(size, true);
  if (!segment) return nullptr;
  requestShmAttach(link, serverId, u32(segment->segmentId), 0);
  requestShmGetImage(link, drawable, x, y, width, height, planeMask, serverId);
  if (callback) addReplyHookTakingErrors(link, callback, argument);
  else stashRequestData(link, kStashOwnRead, argument, std::free);
  requestShmDetach(link, serverId);
  return segment;
}

namespace {

// Every attachment again, on its owner's link to the joining display.
int attachOnDisplay(u32 id, void* object, ProxyClient* client, void* argument, Head*) {
  auto* head = static_cast<Head*>(argument);
  auto* segment = static_cast<ClientShmSegment*>(object);
  ServerLink* link = client ? clientLink(client, head->serverIndex) : nullptr;
  if (!link) {
    PALVON_UNE();
    return 1;
  }
  shmid_ds info{};
  if (shmctl(int(segment->shmid), IPC_STAT, &info) < 0) {
    LOGF(logChProblem, "shmctl(IPC_STAT of shmid 0x%x) failed: %s", segment->shmid, strerror(errno));
    return 1;
  }
  requestShmAttach(link, segmentOnDisplay(id, head), segment->shmid, segment->readOnly);
  return 1;
}

}  // namespace

int copyShmSegmentsToDisplay(Head* head) {
  if (!shmEntry() || !segmentList || !sharesMemory(head)) return 1;
  u32 count = 0;
  for (ClientShmSegment* s = segmentList; s; s = s->next) count++;
  LOGF(logChInfo, "Copying %d shared memory segments...", int(count));
  forEachResourceOfType(RT_SHM_SEGMENT, attachOnDisplay, head, nullptr);
  return 1;
}

const char* initShmExtension(ExtensionEntry* entry) {
  // The smallest core image (bytes) sent through a segment of the proxy's
  // own. Small images share one segment per link; 10 x 10 images cost the
  // proxy and the server the same CPU as sent in the request, so the
  // setting is a choice, not a speed knob, for them.
  putImageMinSize = sizeFromEnvironment("shmPutImageMinSize", 1);
  getImageMinSize = sizeFromEnvironment("shmGetImageMinSize", 16384);
  if (!registerResourceType({RT_SHM_SEGMENT, "ShmSeg", destroyShmResource, nullptr, nullptr}))
    return "Resource type of MIT-SHM segments taken";
  const char* refused =
      registerModule(entry, "MIT-SHM",
                     {kRequests, rowCount(kRequests), kEvents, rowCount(kEvents), kErrors, rowCount(kErrors)},
                     {kModuleShm, lostShmServer, resetShm, true});
  if (refused) return refused;
  shmPutImageHook = shmPutImageOnHead;
  shmGetImageHook = shmGetImageFromHead;
  pooledSegmentGone = detachGoneSegment;
  releaseImageRingOfLink = dropImageRing;
  unregisterAtExit(removeOwnSegments);
  registerAtExit(removeOwnSegments);
  // A joining server's head: every attachment repeated there.
  entry->copyHook = [](ExtensionEntry*, void* head) -> const char* {
    copyShmSegmentsToDisplay(static_cast<Head*>(head));
    return nullptr;
  };
  return nullptr;
}

bool clientShmSegmentBytes(u32 segment, const u8** bytes, u64* size) {
  const ClientShmSegment* record = lookupSegment(segment);
  if (!record || !record->address) return false;
  *bytes = record->address;
  *size = record->size;
  return true;
}

}  // namespace palvon

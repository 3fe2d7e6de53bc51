// PutImage (72) and GetImage (73) with its reply.
#include "Proxy/requests/images.h"

#include <X11/X.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/probe.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/join/capture.h"
#include "Proxy/join/translucency.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/drawing.h"
#include "Proxy/requests/drawmath.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/region.h"
#include "xsupport/ximage.h"

namespace palvon {

// Stash code of a GetImage piece.
constexpr u8 kStashGetImage = 73;

Display* clientImageDisplay() {
  if (imageDisplay && imageDisplay->display) return imageDisplay->display;
  for (ServerDisplay* server = serverDisplayList; server; server = server->next)
    if (server->display) return server->display;
  return nullptr;
}

bool imageNeedsConversion(u32 format, u32 depth, const VisualRecord* clientVisual, const Head* head) {
  if (!head) return false;
  if (head->scaler) return true;
  if (depth > 1 && clientVisual && getHeadVisualIfConverting(clientVisual, head)) return true;
  if (mapDepthForHead(depth, head) != depth) return true;
  Display* client = clientImageDisplay();
  return client && head->display && !ximageSameFormat(client, head->display, int(format), int(depth));
}

namespace {

// Whether an image of that format goes to the head through a shared
// segment: the server shares memory with the proxy (which the hook finds
// out), and the image needs nothing but its put. Not with background
// tiles, whose mirror the caller wrote, nor onto a translucent window,
// whose pixels the caller evaluated for one PutImage. A segment's rows have
// no left pad.
bool mayPutShared(const ServerLink* link, u32 format) {
  const ProxyClient* client = link->client;
  return shmPutImageHook && client && !backgroundTileCount && !client->requestTranslucentWindow &&
         format != XYPixmap;
}

bool copyImageBytes(u8* to, void* argument) {
  const auto* image = static_cast<const XImage*>(argument);
  std::memcpy(to, image->data, size_t(image->bytes_per_line) * size_t(image->height));
  return true;
}

bool putShared(ServerLink* link, const Head* head, u32 drawable, u32 gc, const XImage* layout, i32 x, i32 y,
               const ShmImageBytes& bytes) {
  return shmPutImageHook(link->client, head, drawable, gc, i16(x), i16(y), u16(layout->width), u16(layout->height),
                         u8(layout->depth), u8(layout->format), bytes);
}

}  // namespace

bool putImageOnHead(ServerLink* link, const Head* head, u32 drawable, u32 gc, const XImage* image, i32 x, i32 y) {
  // Through shared memory the image is copied once, and neither the socket
  // nor the server copies it again. The bytes are copied in for this head
  // alone: a converted image's storage serves the next head's too.
  u64 bytes = u64(image->bytes_per_line) * u64(image->height);
  ShmImageBytes copied{nullptr, bytes, copyImageBytes, const_cast<XImage*>(image)};
  if (mayPutShared(link, u32(image->format)) && !image->xoffset &&
      putShared(link, head, drawable, gc, image, x, y, copied))
    return true;
  return xprotoPutImage(&link->writer, mapDrawableToHead(drawable, head), translateXid(gc, RT_GC, head), image,
                        i16(x), i16(y)) != 0;
}

bool putClientImageOnHead(ServerLink* link, Head* head, u32 drawable, u32 gc, const DrawableInfo& info,
                          XImage* image, i32 x, i32 y) {
  u32 depth = image->format == XYBitmap ? 1 : u32(image->depth);
  XImage* converted = image;
  HeadRect area{x, y, image->width, image->height};
  if (imageNeedsConversion(u32(image->format), depth, info.visual, head)) {
    if (head->scaler) {
      setScalerDrawable(head->scaler, drawable);
      scaleArea32(head->scaler, &area);
    }
    converted = convertImageForHeadToScratch(image, info.visual, head, u32(area.width), u32(area.height));
    if (!converted) return false;
  }
  if (backgroundTileCount) mirrorConvertedImage(link, head, info.window, gc, converted, area.x, area.y);
  return putImageOnHead(link, head, drawable, gc, converted, area.x, area.y);
}

ShmPutImageHook shmPutImageHook;
ShmGetImageHook shmGetImageHook;

// --- PutImage --------------------------------------------------------------------------

namespace {
const ImageFormat* clientImageFormat(u32 format, u32 depth);
}  // namespace

u64 clientImageBytes(u32 format, u32 depth, u64 width, u32 height, u32 planeMask) {
  const ImageFormat* f = clientImageFormat(format, depth);
  u32 bitmapPad = format == ZPixmap ? 0 : f->scanlinePad;
  return imageSize(format, depth, width, height, planeMask, bitmapPad, f->bitsPerPixel, f->scanlinePad);
}

namespace {

// The client's layout of an image of that format and depth.
const ImageFormat* clientImageFormat(u32 format, u32 depth) {
  Display* display = clientImageDisplay();
  if (!display) return format == ZPixmap ? ximageZPixmapFormat(depth) : ximageBitmapFormat();
  return ximageFormatForDisplay(display, format, depth, nullptr);
}

u64 clientImageSize(u32 format, u32 depth, u64 width, u32 height, u32 planeMask) {
  return clientImageBytes(format, depth, width, height, planeMask);
}

struct PutImage {
  const u8* request;
  u32 length;
  u32 drawable, gc;
  u8 format, depth, leftPad;
  u16 width, height;
  i16 x, y;
  DrawableInfo info;
  // The image converted for the last head (the shared scratch image, or
  // the source itself), kept for a next head that shares its scaler.
  XImage* converted;
  const HeadScaler* convertedFor;
  // The request's image as an XImage, made for the first head that needs
  // it converted: most heads take the bytes as they are.
  XImage source;
  bool sourceReady;
  bool failed;
};

bool readySource(PutImage& p) {
  if (p.sourceReady) return true;
  char* data = reinterpret_cast<char*>(const_cast<u8*>(p.request + 24));
  p.sourceReady = ximageInit(&p.source, p.width, p.height, p.leftPad, data, clientImageFormat(p.format, p.depth));
  return p.sourceReady;
}

// The image converted straight into a segment that the head's server shares
// with the proxy: no image of its own, no copy. Not for a head whose
// scaler the next head shares: that one takes the same converted image.
struct InPlace {
  PutImage* put;
  const Head* head;
  XImage layout;
};

bool convertInPlace(u8* to, void* argument) {
  auto* in = static_cast<InPlace*>(argument);
  XImage out = in->layout;
  out.data = reinterpret_cast<char*>(to);
  return convertImageInto(&in->put->source, in->put->info.visual, in->head, &out);
}

bool convertedInPlace(PutImage& p, const RouteTarget& target, const HeadRect& area) {
  const Head* head = target.head;
  if (!mayPutShared(target.link, p.format) || (head->scaler && head->next && head->next->scaler == head->scaler))
    return false;
  InPlace in{&p, head, {}};
  if (!headImageLayout(&p.source, p.info.visual, head, u32(area.width), u32(area.height), &in.layout) ||
      in.layout.format == XYPixmap)
    return false;
  ShmImageBytes bytes{nullptr, u64(in.layout.bytes_per_line) * u64(in.layout.height), convertInPlace, &in};
  return putShared(target.link, head, p.drawable, p.gc, &in.layout, area.x, area.y, bytes);
}

bool convertedOnHead(PutImage& p, const RouteTarget& target) {
  const Head* head = target.head;
  HeadRect area{p.x, p.y, p.width, p.height};
  if (head->scaler) {
    setScalerDrawable(head->scaler, p.drawable);
    scaleArea32(head->scaler, &area);
  }
  bool shared = head->scaler && head->back && head->back->scaler == head->scaler && p.convertedFor == head->scaler;
  if (!shared) {
    p.converted = nullptr;
    p.convertedFor = nullptr;
    if (!readySource(p)) return false;
    if (convertedInPlace(p, target, area)) return true;
    p.converted = convertImageForHeadToScratch(&p.source, p.info.visual, head, u32(area.width), u32(area.height));
    if (!p.converted) return false;
    p.convertedFor = head->scaler;
  }
  // The tiles first: a translucent window's pixels are evaluated from them
  // ahead of the image, which may take several requests.
  if (backgroundTileCount) mirrorConvertedImage(target.link, head, p.info.window, p.gc, p.converted, area.x, area.y);
  if (ProxyWindow* translucent = currentClient->requestTranslucentWindow)
    drawOnTranslucentWindow(target.link, target.head, translucent, p.request, p.length, nullptr, 0);
  return putImageOnHead(target.link, head, p.drawable, p.gc, p.converted, area.x, area.y);
}

bool putOnHead(const RouteTarget& target, void* argument) {
  auto& p = *static_cast<PutImage*>(argument);
  const Head* head = target.head;
  if (head && (cullsWindowHead(head, p.info.window) || needsVisualEmulation(p.drawable, head))) return true;
  ProxyWindow* translucent = currentClient->requestTranslucentWindow;
  if (imageNeedsConversion(p.format, p.depth, p.info.visual, head)) {
    if (convertedOnHead(p, target)) return true;
    p.failed = true;
    return false;
  }
  // A large image goes through shared memory where the server shares it
  // with the proxy; the segment's rows have no left pad.
  // Not onto a translucent window: its image must be one request, which the
  // evaluation of its pixels can go in front of.
  bool viaShm = head && !translucent && (p.format == ZPixmap || p.leftPad == 0) && shmPutImageHook;
  if (viaShm && shmPutImageHook(currentClient, head, p.drawable, p.gc, p.x, p.y, p.width, p.height,
                                u8(mapDepthForHead(p.depth, head)), p.format,
                                ShmImageBytes{p.request + 24, p.length - 24, nullptr, nullptr}))
    return true;
  u8* copy = copyRequestToServer(p.request, p.length, target.link);
  if (!copy) {
    p.failed = true;
    return false;
  }
  u64 copySequence = target.link->requestsSent;
  put32(copy + 4, mapDrawableToHead(p.drawable, head));
  put32(copy + 8, translateXid(p.gc, RT_GC, head));
  if (head) copy[21] = u8(mapDepthForHead(p.depth, head));
  if (backgroundTileCount) mirrorPutImage(target.link, head, p.info.window, p.gc, copy, p.length);
  swapServerRequest(target.link, copy, p.length, currentRequest.row->requestLayout);
  if (translucent)
    drawOnTranslucentWindow(target.link, target.head, translucent, p.request, p.length, copy, copySequence);
  return true;
}

}  // namespace

void ProcPutImage(u8* request, u32 length) {
  PutImage p{};
  p.request = request;
  p.length = length;
  p.format = request[1];
  p.drawable = get32(request + 4);
  p.gc = get32(request + 8);
  p.width = get16(request + 12), p.height = get16(request + 14);
  p.x = i16(get16(request + 16)), p.y = i16(get16(request + 18));
  p.leftPad = request[20];
  p.depth = request[21];
  // In a plain server's order: the ids, the depth, the format, then the
  // length the image needs.
  setRequestResource(currentClient, p.drawable);
  if (!describeDrawable(p.drawable, &p.info)) return sendXError(BadDrawable, p.drawable, request, length, nullptr);
  const GCRecord* gc = lookupGC(p.gc);
  if (!gc) return sendXError(BadGC, p.gc, request, length, nullptr);
  // A GC of another meta screen is on none of the drawable's heads.
  if (gc->screen != p.info.screen) return sendXError(BadMatch, p.drawable, request, length, nullptr);
  if (gc->depth != p.info.depth) return sendXError(BadMatch, 0, request, length, nullptr);
  if (!prepareGCForDrawing(p.gc, p.drawable, request, length)) return;
  if (p.format > ZPixmap) return sendXError(BadValue, p.format, request, length, "invalid format");
  // A Z image has no left pad; an XY one less than a scanline unit.
  if ((p.format == XYBitmap ? p.depth != 1 : p.depth != p.info.depth) ||
      (p.format == ZPixmap ? p.leftPad != 0 : p.leftPad >= 32))
    return sendXError(BadMatch, p.drawable, request, length, "invalid depth");
  // 64 bits: a huge width times the bits per pixel must not wrap into a
  // size that a short request passes.
  u64 size = clientImageSize(p.format, p.depth, u64(p.leftPad) + p.width, p.height, ~0u);
  if (u64(length) != 24 + ((size + 3) & ~u64(3))) return sendXError(BadLength, length, request, length, nullptr);
  if (damageWanted() && p.info.window) addDamageRect(p.x, p.y, p.width, p.height);
  forEachTarget(currentRequest.row->route, putOnHead, &p);
  if (p.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

// --- GetImage ----------------------------------------------------------------------------

void describeJobImage(GetImageJob* job, XImage* out) {
  u32 depth = job->format == ZPixmap ? job->depth : 1;
  u32 format = job->format == ZPixmap ? u32(ZPixmap) : u32(XYBitmap);
  ximageInit(out, int(job->width), int(job->height), 0, reinterpret_cast<char*>(job->buffer),
             clientImageFormat(format, depth));
}

GetImagePart* newGetImagePart(GetImagePart* previous, u32 jobSize) {
  auto* part = static_cast<GetImagePart*>(memCalloc(1, sizeof(GetImagePart)));
  if (!part) return nullptr;
  if (previous && previous->job) {
    part->job = previous->job;
  } else if (jobSize) {
    auto* job = static_cast<GetImageJob*>(memCalloc(1, sizeof(GetImageJob)));
    u8* buffer = job ? static_cast<u8*>(memCalloc(1, u64(jobSize) + 1)) : nullptr;
    if (!buffer) {
      std::free(job);
      std::free(part);
      return nullptr;
    }
    job->buffer = buffer;
    job->size = jobSize;
    part->job = job;
  }
  if (part->job) part->job->references++, part->job->outstanding++;
  return part;
}

void releaseGetImagePart(void* argument) {
  auto* part = static_cast<GetImagePart*>(argument);
  if (!part) return;
  if (GetImageJob* job = part->job) {
    // A piece gone without its reply was answered with an error, which
    // the client gets instead of the image.
    if (!part->answered) {
      job->lost = 1;
      if (job->outstanding) job->outstanding--;
    }
    if (--job->references == 0) {
      if (job->sink.release) job->sink.release(job->sink.argument);
      std::free(job->buffer);
      std::free(job);
    }
  }
  std::free(part);
}

namespace {

bool rectInsideDrawable(const DrawableInfo& d, i32 x, i32 y, u32 width, u32 height) {
  i64 border = d.window ? d.window->borderWidth : 0;
  if (x < -border || y < -border || i64(x) + width > i64(d.width) + border || i64(y) + height > i64(d.height) + border)
    return false;
  if (d.type != RT_WINDOW) return true;
  // A window's rectangle must also be viewable and lie on the screen, as if
  // nothing covered it: a plain server has no pixels beyond its edge.
  const ProxyWindow* window = d.window;
  i64 left = i64(window->x) + x, top = i64(window->y) + y;
  const MetaScreen* screen = window->screen;
  return window->viewable && left >= 0 && top >= 0 &&
         (!screen || (left + width <= screen->width && top + height <= screen->height));
}

bool headContains(const Head* head, i64 x, i64 y, u32 width, u32 height) {
  HeadRect r = headRect(head);
  return x >= r.x && y >= r.y && x + width <= i64(r.x) + r.width && y + height <= i64(r.y) + r.height;
}

// Lower is better: a head the proxy owns on this host answers fastest and
// shows what the client drew.
u32 headScore(const Head* head) {
  u32 score = 0;
  if (head->inWindow) score += (head->tags & kHeadTagNotManaged) ? 1 : 4;
  if (isHeadRemote(head)) score += 2;
  if (!(head->tags & kHeadTagStatic)) score += 8;
  return score;
}

struct GetImage {
  const u8* request;
  u32 length;
  u8 format;
  u32 drawable;
  i16 x, y;
  u16 width, height;
  u32 planeMask;
  DrawableInfo info;
  u32 jobSize;
  GetImagePart* last;  // the part made last (its job is shared)
  u32 stashed;         // parts on links
  GetImageSink sink;
  bool jobMade;        // a job was made: its end releases the sink
};

// The link of the head, or without heads the client's first link.
ServerLink* linkForHead(const Head* head) {
  if (head) return currentHeadLink(head);
  for (ServerLink* link : linksOf(currentClient)) return link;
  return nullptr;
}

void fillJob(const GetImage& g, GetImageJob* job) {
  job->format = g.format;
  job->depth = u8(g.info.depth);
  job->visual = g.info.visual ? g.info.visual->visualId : 0;
  job->pixmap = g.info.window == nullptr;
  job->planeMask = g.planeMask;
  job->width = g.width, job->height = g.height;
  job->sink = g.sink;
}

void hideTelepointer(ServerLink* link, const Head* head, bool hide) {
  const Telepointer* pointer = head ? head->telepointer : nullptr;
  if (!pointer || !xrcTelepointerShown(pointer)) return;
  Window window = xrcTelepointerWindow(pointer);
  if (!window) return;
  if (hide) xprotoUnmapWindow(&link->writer, u32(window));
  else xprotoMapWindow(&link->writer, u32(window));
}

u32 headPlaneMask(const GetImage& g, const Head* head) {
  if (!g.info.visual) return g.planeMask;
  const VisualRecord* headVisual = getHeadVisualIfConverting(g.info.visual, head);
  return headVisual ? rescalePixelToHead(g.planeMask, g.info.visual, headVisual) : g.planeMask;
}

// Asks one head for the box (x, y, width, height relative to the drawable)
// and stashes the part; the part records where the box goes in the
// client's image.
bool askHead(GetImage& g, Head* head, i32 x, i32 y, u32 width, u32 height, bool withJob) {
  ServerLink* link = linkForHead(head);
  if (!link) return true;
  i16 hx = i16(x), hy = i16(y);
  u16 hw = u16(width), hh = u16(height);
  if (head && head->scaler) {
    setScalerDrawable(head->scaler, g.drawable);
    scaleArea16(head->scaler, &hx, &hy, &hw, &hh);
  }
  GetImagePart* part = newGetImagePart(withJob ? g.last : nullptr, withJob ? g.jobSize : 0);
  if (!part) return false;
  part->head = head;
  part->x = x - g.x, part->y = y - g.y;
  part->width = width, part->height = height;
  part->headWidth = hw, part->headHeight = hh;
  part->visual = g.info.window && g.info.visual ? g.info.visual->visualId : 0;
  part->format = g.format, part->depth = u8(g.info.depth), part->planeMask = g.planeMask;
  if (part->job) fillJob(g, part->job), g.jobMade = true;
  // A head's planes are not the client's where it keeps the drawable at
  // another depth or in other pixel values (an emulated visual): its
  // pixels come whole and the client's planes are taken from them.
  u8 format = g.format;
  if (part->job) format = ZPixmap;
  bool window = g.info.window != nullptr;
  if (window) hideTelepointer(link, head, true);
  bool sent = requestGetImage(link, format, mapDrawableToHead(g.drawable, head), hx, hy, hw, hh,
                              head ? headPlaneMask(g, head) : g.planeMask);
  if (sent) {
    stashRequestData(link, kStashGetImage, part, releaseGetImagePart);
    g.stashed++;
    if (withJob) g.last = part;
  } else {
    // Never asked: neither outstanding nor lost.
    if (part->job) part->job->outstanding--;
    part->answered = 1;
    releaseGetImagePart(part);
  }
  if (window) hideTelepointer(link, head, false);
  return sent;
}

// The window's area is cut into one box per head that shows part of it.
bool askPieces(GetImage& g, MetaScreen* screen) {
  i32 wx = g.info.window->x, wy = g.info.window->y;
  Region* left = regionCreateRect(wx + g.x, wy + g.y, g.width, g.height);
  Region* piece = regionCreate(nullptr, 0);
  bool ok = left && piece;
  bool asked = false;
  for (Head* head = screen->heads; ok && head && regionNotEmpty(left); head = head->next) {
    if (head->inWindow && !(head->tags & kHeadTagNotManaged)) continue;
    HeadRect r = headRect(head);
    ok = regionIntersectRect(piece, left, r.x, r.y, u32(std::max(r.width, 0)), u32(std::max(r.height, 0)));
    if (!ok || !regionNotEmpty(piece)) continue;
    int bx, by;
    u32 bw, bh;
    boxToRect(regionExtents(piece), &bx, &by, &bw, &bh);
    ok = regionSubtractRect(left, left, bx, by, bw, bh) && askHead(g, head, bx - wx, by - wy, bw, bh, true);
    asked = asked || ok;
  }
  regionDestroy(left);
  regionDestroy(piece);
  if (!ok) return false;
  if (asked) return true;
  // Outside every head: a zero-filled image, for which one small request
  // obtains the reply.
  Head* first = screen->heads;
  ServerLink* link = currentHeadLink(first);
  if (!link) return true;
  GetImagePart* part = newGetImagePart(nullptr, g.jobSize);
  if (!part) return false;
  fillJob(g, part->job);
  g.jobMade = true;
  part->head = first;
  if (!requestGetImage(link, g.format, u32(first->root), 0, 0, 1, 1, g.planeMask)) {
    part->job->outstanding--;
    part->answered = 1;
    releaseGetImagePart(part);
    return false;
  }
  stashRequestData(link, kStashGetImage, part, releaseGetImagePart);
  g.stashed++;
  return true;
}

// A pixmap is on every head: one that keeps it as the client made it (not
// in an emulated visual's pixels, not at a deeper depth) answers exactly.
Head* pixmapHead(const GetImage& g, MetaScreen* screen) {
  Head* main = screen->mainHead ? screen->mainHead : screen->heads;
  if (!main || !imageNeedsConversion(g.format, g.info.depth, g.info.visual, main)) return main;
  for (Head* head = screen->heads; head; head = head->next)
    if (currentHeadLink(head) && !imageNeedsConversion(g.format, g.info.depth, g.info.visual, head)) return head;
  return main;
}

// The head that shows the whole window area best, or null.
Head* singleHead(const GetImage& g, MetaScreen* screen) {
  if (!g.info.window) return pixmapHead(g, screen);
  i64 x = i64(g.info.window->x) + g.x, y = i64(g.info.window->y) + g.y;
  Head* best = nullptr;
  u32 bestScore = ~0u;
  for (Head* head = screen->heads; head; head = head->next) {
    if (!currentHeadLink(head) || !headContains(head, x, y, g.width, g.height)) continue;
    u32 score = headScore(head);
    if (score < bestScore) best = head, bestScore = score;
  }
  return best;
}

bool askOneHead(GetImage& g, Head* head) {
  bool convert = head && (head->scaler || imageNeedsConversion(g.format, g.info.depth, g.info.visual, head));
  return askHead(g, head, g.x, g.y, g.width, g.height, convert || g.sink.done);
}

// Nothing to read (no pixels, or no plane of the depth): the drawable's
// depth and visual, whatever depth or pixels a head keeps it in, and no
// head to ask (each piece of a window across heads would answer).
void answerEmptyImage(const GetImage& g) {
  u8 reply[32] = {};
  reply[1] = u8(g.info.depth);
  put32(reply + 8, g.info.window && g.info.visual ? g.info.visual->visualId : 0);
  sendComposedReply(X_GetImage, 0, reply, sizeof reply, "bbsii", currentClient);
}

// One head when one shows the whole area, else pieces of several.
bool askForImage(GetImage& g) {
  MetaScreen* screen = currentClient->requestResourceScreen;
  if (!screen || !screen->heads) return askOneHead(g, nullptr);
  if (Head* head = singleHead(g, screen)) {
    if (g.sink.direct && g.sink.direct(head, g.sink.argument)) return true;
    return askOneHead(g, head);
  }
  return askPieces(g, screen);
}

}  // namespace

void ProcGetImage(u8* request, u32 length) {
  GetImage g{};
  g.request = request;
  g.length = length;
  g.format = request[1];
  g.drawable = get32(request + 4);
  g.x = i16(get16(request + 8)), g.y = i16(get16(request + 10));
  g.width = get16(request + 12), g.height = get16(request + 14);
  g.planeMask = get32(request + 16);
  setRequestResource(currentClient, g.drawable);
  if (g.format != XYPixmap && g.format != ZPixmap)
    return sendXError(BadValue, g.format, request, length, "invalid pixmap format");
  if (!describeDrawable(g.drawable, &g.info)) return sendXError(BadDrawable, g.drawable, request, length, nullptr);
  if (!rectInsideDrawable(g.info, g.x, g.y, g.width, g.height))
    return sendXError(BadMatch, g.drawable, request, length, "invalid dimensions");
  u64 size = clientImageSize(g.format, g.info.depth, g.width, g.height, g.planeMask);
  if (size > 0xfffffffbu) return sendXError(BadAlloc, 0, request, length, nullptr);
  if (!size) return answerEmptyImage(g);
  g.jobSize = u32(size);
  bool sent = askForImage(g);
  if (!sent) {
    // Pieces already asked answer for the request: with BadAlloc.
    if (!g.stashed || !g.last) return sendXError(BadAlloc, 0, request, length, nullptr);
    g.last->job->failed = 1;
  }
  // An image from one server while the others owe nothing goes to the
  // client as it comes (streamed when large).
  if (openLinkCount(currentClient) > 1 && !othersQuiet(currentClient)) noteRequestWithoutReply(request);
}

bool getImageIntoSink(const u8* request, u8 format, u32 drawable, i16 x, i16 y, u16 width, u16 height,
                      u32 planeMask, const GetImageSink& sink) {
  GetImage g{};
  g.request = request;
  g.format = format;
  g.drawable = drawable;
  g.x = x, g.y = y, g.width = width, g.height = height;
  g.planeMask = planeMask;
  g.sink = sink;
  u64 size = describeDrawable(drawable, &g.info) ? clientImageSize(format, g.info.depth, width, height, planeMask) : 0;
  bool sent = size && size <= 0xfffffffbu && (g.jobSize = u32(size), askForImage(g));
  if (!sent) {
    // Pieces already asked finish the job, which fails once.
    if (g.stashed && g.last) {
      g.last->job->failed = 1;
      sent = true;
    } else if (!g.jobMade && sink.release) {
      sink.release(sink.argument);
    }
  }
  if (sent && openLinkCount(currentClient) > 1) noteRequestWithoutReply(request);
  return sent;
}

// --- The reply -----------------------------------------------------------------------------

namespace {

// The planes of the client's mask within its depth, packed: the most
// significant plane asked becomes the highest bit, as an XYPixmap image of
// that many planes holds them.
u32 packPlanes(u32 pixel, u32 mask, u32 depth) {
  u32 packed = 0;
  for (u32 bit = depth; bit-- > 0;)
    if ((mask >> bit) & 1) packed = packed << 1 | ((pixel >> bit) & 1);
  return packed;
}

// A head's ZPixmap piece of an XYPixmap job: converted to the client's
// pixels first, then split into the planes of the client's mask.
bool copyPlanesIntoJob(const GetImagePart* part, const u8* data, u8 depth, const VisualRecord* visual) {
  GetImageJob* job = part->job;
  Head* head = part->head;
  Display* client = clientImageDisplay();
  XImage* pixels = ximageCreateWithData(ximageFormatForDisplay(client, ZPixmap, job->depth, nullptr),
                                        int(part->width), int(part->height));
  if (!pixels) return false;
  HeadRect rect{0, 0, i32(part->width), i32(part->height)};
  XImage* converted = createHeadImage(head, reinterpret_cast<char*>(const_cast<u8*>(data)), part->headWidth,
                                      part->headHeight, ZPixmap, depth, pixels->data, part->width, part->height,
                                      job->depth, rect, visual);
  u32 mask = job->depth >= 32 ? job->planeMask : job->planeMask & ((1u << job->depth) - 1);
  u32 planes = u32(__builtin_popcount(mask));
  XImage target{};
  bool ok = converted && ximageInit(&target, i32(job->width), i32(job->height), 0,
                                    reinterpret_cast<char*>(job->buffer),
                                    ximageFormatForDisplay(client, XYPixmap, planes, nullptr));
  for (u32 y = 0; ok && planes && y < part->height; y++)
    for (u32 x = 0; x < part->width; x++)
      XPutPixel(&target, part->x + i32(x), part->y + i32(y),
                packPlanes(u32(XGetPixel(converted, i32(x), i32(y))), mask, job->depth));
  if (converted) converted->data = nullptr, XDestroyImage(converted);
  XDestroyImage(pixels);
  return ok;
}

// The head's piece in the client's layout, at the part's place in the job.
bool copyPieceIntoJob(const GetImagePart* part, const u8* reply, u32 length, u8 depth) {
  GetImageJob* job = part->job;
  if (!part->width || !part->height || !part->headWidth || !part->headHeight) return true;
  Head* head = part->head;
  if (!head || !head->display) return false;
  const VisualRecord* visual =
      job->visual && head->metaScreen ? findScreenVisual(head->metaScreen, job->visual) : nullptr;
  const ImageFormat* headLayout = ximageFormatForDisplay(head->display, ZPixmap, depth, nullptr);
  u64 need = imageSize(ZPixmap, depth, part->headWidth, part->headHeight, ~0u, 0, headLayout->bitsPerPixel,
                       headLayout->scanlinePad);
  if (length < 32 || length - 32 < need) return false;
  if (job->format == XYPixmap) return copyPlanesIntoJob(part, reply + 32, depth, visual);
  HeadRect rect{part->x, part->y, i32(part->width), i32(part->height)};
  XImage* target = createHeadImage(head, reinterpret_cast<char*>(const_cast<u8*>(reply + 32)), part->headWidth,
                                   part->headHeight, ZPixmap, depth, reinterpret_cast<char*>(job->buffer),
                                   job->width, job->height, job->depth, rect, visual);
  if (!target) return false;
  // The buffer stays the job's.
  target->data = nullptr;
  XDestroyImage(target);
  return true;
}

void answerJob(GetImageJob* job, ProxyClient* client, u16 sequence) {
  if (job->lost) return;
  if (job->sink.done) return job->sink.done(job, sequence, job->sink.argument);
  if (job->failed || !sendReplyGetImage(client, sequence, job->depth, job->pixmap ? 0 : job->visual, job->buffer,
                                          job->size)) {
    const u8 header[4] = {X_GetImage, job->format, 5, 0};
    sendClientXError(BadAlloc, 0, header, 20, sequence, nullptr, client);
  }
}

}  // namespace

bool getImageReplyPassesThrough(const ServerLink* link, u64 serverSequence) {
  for (const RequestStash* stash = firstStashAt(link, serverSequence); stash && stash->sequence == serverSequence;
       stash = stash->next) {
    if (stash->code != kStashGetImage || static_cast<const GetImagePart*>(stash->data)->job) return false;
  }
  return true;
}

void ReplyGetImage(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  // A read of the proxy's own capture, not the client's.
  if (void* capture = link ? takeStashedData(link, kStashCapture) : nullptr)
    return convertCapturedImage(capture, link->server.display ? link->server.display->display : nullptr, reply,
                                length);
  auto* part = link ? static_cast<GetImagePart*>(takeStashedData(link, kStashGetImage)) : nullptr;
  u32 headVisual = get32(reply + 8);
  ServerDisplay* server = link ? link->server.display : nullptr;
  GetImageJob* job = part ? part->job : nullptr;
  if (!job) {
    // One head's answer is the client's, in the window's own visual:
    // several of the screen's may share the head's. A reply without a
    // part answers a GetImage the proxy wrote for the client itself: the
    // client waits for it all the same.
    u32 visual = part && part->visual && headVisual
                     ? part->visual
                     : mapHeadVisualIdToClient(headVisual, server, part ? part->head : nullptr);
    put32(reply + 8, visual);
    sendReplyToClient(reply, length, "bbsii");
    if (part) part->answered = 1;
    releaseGetImagePart(part);
    return;
  }
  part->answered = 1;
  if (!job->outstanding) PALVON_UNE();
  if (!job->lost && !job->failed && !copyPieceIntoJob(part, reply, length, reply[1])) job->failed = 1;
  if (job->outstanding && --job->outstanding == 0) answerJob(job, currentClient, get16(reply + 2));
  releaseGetImagePart(part);
}

namespace {

// The last piece of a job was a lost server's, found at its drop, outside
// every reply of the client's links: a sink answers as it does from a reply
// of the client's own, for the client's request.
void finishJobAtDrop(GetImageJob* job, ProxyClient* client, u16 sequence) {
  if (!job->sink.done) return answerJob(job, client, sequence);
  ProxyClient* savedClient = currentClient;
  ServerLink* savedLink = currentLink;
  u16 savedAnswered = client->sequenceAnswered;
  currentClient = client, currentLink = nullptr, client->sequenceAnswered = sequence;
  answerJob(job, client, sequence);
  currentClient = savedClient, currentLink = savedLink, client->sequenceAnswered = savedAnswered;
}

// A window's image read from the lost head alone: its area lies outside
// every head that remains.
bool answerZeroImage(const GetImagePart* part, ProxyClient* client, u16 sequence) {
  if (!part->visual) return false;
  u64 size = clientImageSize(part->format, part->depth, part->width, part->height, part->planeMask);
  auto* zeros = static_cast<u8*>(memCalloc(1, size + 1));
  bool sent = zeros && sendReplyGetImage(client, sequence, part->depth, part->visual, zeros, u32(size));
  std::free(zeros);
  if (!sent) {
    const u8 header[4] = {X_GetImage, part->format, 5, 0};
    sendClientXError(BadAlloc, 0, header, 20, sequence, nullptr, client);
  }
  return true;
}

}  // namespace

bool answerLostImagePiece(ProxyClient* client, const ServerLink* link, u64 serverSequence, u64 sequence) {
  for (const RequestStash* stash = firstStashAt(link, serverSequence); stash && stash->sequence == serverSequence;
       stash = stash->next) {
    if (stash->code != kStashGetImage) continue;
    auto* part = static_cast<GetImagePart*>(stash->data);
    GetImageJob* job = part->job;
    if (!job) {
      if (!answerZeroImage(part, client, u16(sequence))) return false;
      part->answered = 1;
      return true;
    }
    // Its area stays as the job's buffer began: zeros. Answered, so that
    // its release with the link marks no loss.
    part->answered = 1;
    if (job->outstanding && --job->outstanding == 0) finishJobAtDrop(job, client, u16(sequence));
    return true;
  }
  return false;
}

}  // namespace palvon

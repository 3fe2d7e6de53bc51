// RENDER pictures: the record of each picture, its values, clip, transform
// and filter, forwarded to the heads of the picture's screen with ids
// translated and origins scaled; source pictures go to every head; and one
// picture written onto a joining head.
#include <X11/X.h>
#include <X11/extensions/render.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawablefacts.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/visuals/pixels.h"
#include "Xext/extmodule.h"
#include "Xext/render/internal.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u8 kBadPictFormat = 0, kBadPicture = 1;

void freePictureRecord(PictureRecord* picture);

// A user lets go of its alpha map; a record whose id is gone goes with its
// last user.
void releasePicture(PictureRecord* picture) {
  if (!picture) return;
  if (picture->references) picture->references--;
  if (!picture->references && picture->idFreed) freePictureRecord(picture);
}

void freeClip(PictureRecord* picture) {
  free(picture->clipRects);
  picture->clipRects = nullptr;
  picture->clipCount = 0;
}

void freePictureRecord(PictureRecord* picture) {
  PictureRecord* alpha = picture->alphaMap;
  picture->alphaMap = nullptr;
  freeClip(picture);
  unrefPixmap(picture->clipMask, 0);
  unrefPixmap(picture->pixmap, 0);
  free(picture->creation);
  free(picture->filterName);
  free(picture->filterValues);
  free(picture);
  releasePicture(alpha);
}

// The id leaves the database (FreePicture or the client's end); the servers
// were told by the handler, or close the client's connections themselves.
// Pictures drawing on a window: a destroyed window takes them along.
u32 windowPictureCount;

void destroyPictureResource(u32, void* object) {
  auto* picture = static_cast<PictureRecord*>(object);
  if (picture->window && windowPictureCount) windowPictureCount--;
  if (picture->references) {
    // Still an alpha map: kept until its users let go (the servers keep
    // theirs alive the same way).
    picture->idFreed = 1;
    return;
  }
  freePictureRecord(picture);
}

MetaScreen* pictureScreenOf(u32, void* object) { return static_cast<PictureRecord*>(object)->screen; }

// --- Values --------------------------------------------------------------------------

void setPictureAlphaMap(PictureRecord* picture, u32 id) {
  PictureRecord* alpha = id ? lookupPicture(id) : nullptr;
  if (id && !alpha) {
    LOGF(logChStep, "Invalid picture 0x%x for alpha map", id);
    return;
  }
  if (alpha && alpha->window) {
    LOGF(logChStep, "No pixmap in picture 0x%x for alpha map", id);
    return;
  }
  if (alpha == picture->alphaMap || alpha == picture) return;
  releasePicture(picture->alphaMap);
  if (alpha) alpha->references++;
  picture->alphaMap = alpha;
}

void setPictureClipMask(PictureRecord* picture, u32 id) {
  if (!id) {
    if (picture->clipMask) {
      unrefPixmap(picture->clipMask, 0);
      picture->clipMask = nullptr;
    } else {
      freeClip(picture);
    }
    return;
  }
  PixmapRecord* mask = lookupPixmap(id);
  const char* refusal = !mask                ? "Unknown pixmap 0x%x for picture clip mask"
                        : mask->depth != 1     ? "No bitmap 0x%x for picture clip mask"
                        : picture->screen && mask->screen != picture->screen
                            ? "Bitmap 0x%x on different screen for picture clip mask"
                            : nullptr;
  if (refusal) {
    LOGF(logChXhint, refusal, id);
    return;
  }
  refPixmap(mask, picture->id);
  unrefPixmap(picture->clipMask, 0);
  if (!picture->clipMask) freeClip(picture);
  picture->clipMask = mask;
}

void storeValues(PictureRecord* p, u32 mask, const u8* values, u32 count) {
  u32 at = 0;
  for (u32 bit = 0; bit < 13 && at < count; bit++) {
    if (!(mask & (1u << bit))) continue;
    u32 v = get32(values + 4 * at++);
    switch (bit) {
      case 0: p->repeat = u8(v); break;
      case 1: setPictureAlphaMap(p, v); break;
      case 2: p->alphaX = i16(v); break;
      case 3: p->alphaY = i16(v); break;
      case 4: p->clipX = i16(v); break;
      case 5: p->clipY = i16(v); break;
      case 6: setPictureClipMask(p, v); break;
      case 7: p->graphicsExposures = u8(v); break;
      case 8: p->subwindowMode = u8(v); break;
      case 9: p->polyEdge = u8(v); break;
      case 10: p->polyMode = u8(v); break;
      case 11: p->dither = v; break;
      default: p->componentAlpha = u8(v); break;
    }
  }
}

// Scales an origin pair for the head in the frame of a picture's drawable
// (origin 0 for a pixmap), or of a pixmap.
void scaleOrigin(const Head* head, u32 frameDrawable, i16* x, i16* y) {
  if (!head || !head->scaler) return;
  HeadScaler* s = head->scaler;
  PixmapRecord* pixmap = frameDrawable ? lookupPixmap(frameDrawable) : nullptr;
  if (pixmap) setScalerFrame(s, 0, 0, pixmap->width, pixmap->height);
  else setScalerDrawable(s, frameDrawable);
  i32 px = *x, py = *y;
  scalePoint32(s, &px, &py, nullptr, nullptr);
  *x = i16(std::clamp(px, -32768, 32767));
  *y = i16(std::clamp(py, -32768, 32767));
}

// Rewrites a value list (CreatePicture or ChangePicture) for the head.
void rewriteValues(const PictureRecord* p, u32 mask, u8* values, u32 count, const Head* head) {
  u32 index[13] = {};
  u32 at = 0;
  for (u32 bit = 0; bit < 13; bit++) index[bit] = (mask & (1u << bit)) && at < count ? at++ : ~0u;
  auto field = [&](u32 bit) { return index[bit] == ~0u ? nullptr : values + 4 * index[bit]; };
  if (u8* v = field(1)) put32(v, translateXid(get32(v), RT_SERVER_ID, head));
  if (u8* v = field(6)) {
    PixmapRecord* clip = lookupPixmap(get32(v));
    put32(v, clip ? pixmapServerId(clip, head) : translateXid(get32(v), RT_PIXMAP, head));
  }
  if (u8* v = field(11)) put32(v, u32(mapAtomToHead(get32(v), head)));
  if (!head || !head->scaler) return;
  u8 *ax = field(2), *ay = field(3), *cx = field(4), *cy = field(5);
  if (ax || ay) {
    i16 x = ax ? i16(get32(ax)) : p->alphaX, y = ay ? i16(get32(ay)) : p->alphaY;
    scaleOrigin(head, p->alphaMap ? pictureDrawable(p->alphaMap) : pictureDrawable(p), &x, &y);
    if (ax) put32(ax, u32(i32(x)));
    if (ay) put32(ay, u32(i32(y)));
  }
  if (cx || cy) {
    i16 x = cx ? i16(get32(cx)) : p->clipX, y = cy ? i16(get32(cy)) : p->clipY;
    scaleOrigin(head, p->clipMask ? p->clipMask->id : pictureDrawable(p), &x, &y);
    if (cx) put32(cx, u32(i32(x)));
    if (cy) put32(cy, u32(i32(y)));
  }
}

struct ValueForwarding {
  PictureRecord* picture;
  u32 maskAt;  // 16 CreatePicture, 8 ChangePicture
};

bool skipOtherScreens(const RouteTarget& target, void* argument) {
  return !pictureOnHead(static_cast<ValueForwarding*>(argument)->picture, target.head);
}

void rewritePictureCopy(u8* copy, u32 length, const RouteTarget& target, void* argument) {
  auto* f = static_cast<ValueForwarding*>(argument);
  const Head* head = target.head;
  put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, head));
  if (f->maskAt == 16) {
    put32(copy + 8, mapDrawableToHead(get32(copy + 8), head));
    if (head) put32(copy + 12, drawableFormatForHead(f->picture->format, head, pictureDepthOnHead(f->picture, head)));
  }
  rewriteValues(f->picture, get32(copy + f->maskAt), copy + f->maskAt + 4, (length - f->maskAt - 4) / 4, head);
}

// On a zoomed head a 1 x 1 pixmap stands for a colour that repeats: scaled
// up, its copy there would be a block of pixels that a repeating source
// tiles unevenly. The head's copy is made 1 x 1 again from its pixel (0, 0).
void keepSolidPixmapOnHead(PictureRecord* p, Head* head, ServerLink* link) {
  const PixmapRecord* pixmap = p->pixmap;
  if (!pixmap || pixmap->width != 1 || pixmap->height != 1 || !p->format) return;
  if (p->format->type != PictTypeDirect || !p->format->bits[3] || !head->scaler) return;
  if (scaleLengthX(head->scaler, 1) == 1 && scaleLengthY(head->scaler, 1) == 1) return;
  LOGF(logChStep, "Resizing pixmap 0x%x to %ux%u at %s ...", pixmap->id, 1u, 1u, headName(head));
  u32 temporary = translateXid(allocProxyXid(currentClient), RT_PIXMAP, head);
  u32 onHead = pixmapServerId(pixmap, head);
  u32 gc = translateXid(allocProxyXid(currentClient), RT_GC, head);
  u32 depth = mapDepthForHead(pixmap->depth, head);
  if (!temporary || !gc) return;
  // Everything goes through the client's own link, so that it lands in
  // order with the client's drawing into the pixmap.
  RequestWriter* w = &link->writer;
  xprotoCreatePixmap(w, u8(depth), temporary, u32(head->root), 1, 1);
  XGCValues none{};
  xprotoCreateGC(w, gc, temporary, 0, &none);
  xprotoCopyArea(w, onHead, temporary, gc, 0, 0, 1, 1, 0, 0);
  xprotoFreePixmap(w, onHead);
  xprotoCreatePixmap(w, u8(depth), onHead, u32(head->root), 1, 1);
  xprotoCopyArea(w, temporary, onHead, gc, 0, 0, 1, 1, 0, 0);
  xprotoFreeGC(w, gc);
  xprotoFreePixmap(w, temporary);
}

bool createOnHead(const RouteTarget& target, void* argument) {
  auto* f = static_cast<ValueForwarding*>(argument);
  if (target.head && pictureOnHead(f->picture, target.head)) keepSolidPixmapOnHead(f->picture, target.head, target.link);
  return true;
}

}  // namespace

// --- Records ------------------------------------------------------------------------------

PictureRecord* lookupPicture(u32 id) { return static_cast<PictureRecord*>(lookupResourceByType(id, RT_PICTURE)); }

u32 pictureDrawable(const PictureRecord* picture) {
  if (!picture) return 0;
  if (picture->window) return picture->window;
  return picture->pixmap ? picture->pixmap->id : 0;
}

bool renderPictureFrame(const void* object, ScalingDrawable* frame) {
  auto* picture = static_cast<const PictureRecord*>(object);
  if (picture->pixmap) {
    // The record, not the id: a picture keeps its pixmap after the id went.
    *frame = {0, 0, picture->pixmap->width, picture->pixmap->height};
    return true;
  }
  if (!picture->window) return false;
  describeScalingDrawable(picture->window, frame);
  return true;
}

void setScalerPicture(const Head* head, const PictureRecord* picture) {
  if (!head || !head->scaler) return;
  ScalingDrawable frame{};
  if (picture && !renderPictureFrame(picture, &frame)) frame = {};
  setScalerFrame(head->scaler, frame.x, frame.y, frame.width, frame.height);
}

u32 pictureDepthOnHead(const PictureRecord* picture, const Head* head) {
  if (picture->pixmap) return drawableDepthOnHead(picture->pixmap->visual, picture->pixmap->depth, head);
  const ProxyWindow* window = picture->window ? lookupWindow(picture->window) : nullptr;
  return window ? drawableDepthOnHead(window->visual, window->depth, head) : picture->format->depth;
}

bool pictureOnHead(const PictureRecord* picture, const Head* head) {
  if (!head || !picture || !picture->screen) return true;
  return head->metaScreen == picture->screen;
}

void registerPictureType() {
  registerResourceType({RT_PICTURE, "PICTURE", destroyPictureResource, pictureScreenOf, nullptr});
}

bool describeRenderResource(u32 type, void* object, u32* depth, const VisualRecord** visual) {
  const ProxyPictFormat* format = nullptr;
  switch (type) {
    case RT_PICT_FORMAT: format = static_cast<const ProxyPictFormat*>(object); break;
    case RT_GLYPHSET: format = static_cast<const GlyphSetRecord*>(object)->format; break;
    case RT_PICTURE: {
      const auto* picture = static_cast<const PictureRecord*>(object);
      format = picture->format;
      if (picture->pixmap) *visual = picture->pixmap->visual;
      else if (const ProxyWindow* window = picture->window ? lookupWindow(picture->window) : nullptr)
        *visual = window->visual;
      break;
    }
    default: return false;
  }
  if (!format) return false;
  *depth = format->depth;
  return true;
}

ProxyWindow* renderResourceWindow(u32 type, void* object) {
  if (type != RT_PICTURE) return nullptr;
  u32 window = static_cast<const PictureRecord*>(object)->window;
  return window ? lookupWindow(window) : nullptr;
}

namespace {

struct WindowPictureSearch {
  u32 window;
  u32 found;
};

int matchWindowPicture(u32 id, void* object, ProxyClient*, void* argument, Head*) {
  auto* search = static_cast<WindowPictureSearch*>(argument);
  if (static_cast<const PictureRecord*>(object)->window != search->window) return 1;
  search->found = id;
  return 0;
}

}  // namespace

void freeWindowPictures(u32 window) {
  // The servers free a window's pictures with the window; most windows have
  // none, and then nothing is searched. A window has a picture or two: one
  // search each, nothing allocated.
  for (u32 left = windowPictureCount; left; left--) {
    WindowPictureSearch search{window, 0};
    forEachResourceOfType(RT_PICTURE, matchWindowPicture, &search, nullptr);
    if (!search.found) return;
    freeResourceById(search.found, RT_NONE);
  }
}

// --- Handlers -----------------------------------------------------------------------------

namespace {

// What a plain server refuses in a value list, before the picture is made or
// changed. The heads refuse it as well, but the proxy's record would keep
// the values, and a picture that was never made would keep its id. False
// once the error is sent.
bool pictureValuesPass(u32 mask, const u8* values, u32 count, const u8* request, u32 length) {
  u32 at = 0;
  for (u32 bit = 0; bit < 13 && at < count; bit++) {
    if (!(mask & (1u << bit))) continue;
    u32 v = get32(values + 4 * at++);
    switch (bit) {
      case 0:  // repeat, up to Reflect
        if (v > 3) return sendXError(BadValue, v, request, length, nullptr), false;
        break;
      case 1:  // alpha map
        if (v != None && !lookupPicture(v)) return sendExtensionError(kBadPicture, v, request, length, nullptr), false;
        break;
      case 6: {  // clip mask, of one bit
        if (v == None) break;
        const PixmapRecord* pixmap = lookupPixmap(v);
        if (!pixmap) return sendXError(BadPixmap, v, request, length, nullptr), false;
        if (pixmap->depth != 1) return sendXError(BadMatch, 0, request, length, nullptr), false;
        break;
      }
      case 7: case 8: case 9: case 10: case 12:  // the booleans and two-way choices
        if (v > 1) return sendXError(BadValue, v, request, length, nullptr), false;
        break;
      default: break;
    }
  }
  if (u32 unknown = mask & ~0x1fffu) return sendXError(BadValue, unknown & -unknown, request, length, nullptr), false;
  return true;
}

}  // namespace

void ProcRenderCreatePicture(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 id = get32(request + 4), drawable = get32(request + 8), formatId = get32(request + 12);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  const ProxyPictFormat* format = findPictFormat(formatId);
  if (!format) return sendExtensionError(kBadPictFormat, formatId, request, length, nullptr);
  DrawableInfo info;
  if (!describeDrawable(drawable, &info) || (!info.window && !info.pixmap))
    return sendXError(BadDrawable, drawable, request, length, nullptr);
  // Refused here, not left to the heads: the record would keep the id of a
  // picture no plain server made, and a head that keeps two depths at one
  // of its own would make it.
  if (format->depth != info.depth) return sendXError(BadMatch, 0, request, length, nullptr);
  if (!pictureValuesPass(get32(request + 16), request + 20, (length - 20) / 4, request, length)) return;
  auto* p = static_cast<PictureRecord*>(memCalloc(1, sizeof(PictureRecord)));
  if (!p) return sendXError(BadAlloc, 0, request, length, nullptr);
  p->id = id;
  p->format = format;
  p->screen = info.screen;
  p->graphicsExposures = 1;
  p->polyEdge = 1;
  if (info.window) {
    p->window = info.window->id;
    windowPictureCount++;
  } else {
    p->pixmap = info.pixmap;
    refPixmap(info.pixmap, id);
  }
  storeValues(p, get32(request + 16), request + 20, (length - 20) / 4);
  markBytePicture(p);
  if (!addResource(id, RT_PICTURE, p)) return sendXError(BadAlloc, 0, request, length, nullptr);
  setRequestResource(client, id);
  ValueForwarding f{p, 16};
  if (p->pixmap) forEachTarget(Route::kEveryHead, createOnHead, &f);
  forwardToHeads(request, length, skipOtherScreens, rewritePictureCopy, &f);
}

void ProcRenderChangePicture(u8* request, u32 length) {
  u32 id = get32(request + 4);
  PictureRecord* p = lookupPicture(id);
  if (!p) return sendExtensionError(kBadPicture, id, request, length, nullptr);
  if (!pictureValuesPass(get32(request + 8), request + 12, (length - 12) / 4, request, length)) return;
  storeValues(p, get32(request + 8), request + 12, (length - 12) / 4);
  setRequestResource(currentClient, id);
  ValueForwarding f{p, 8};
  if (!p->screen) forwardRequestTo(Route::kEveryScreen, request, length, rewritePictureCopy, &f);
  else forwardToHeads(request, length, skipOtherScreens, rewritePictureCopy, &f);
}

namespace {

// The picture's clip list for the head (scaled on a zoomed head, where the
// list is united as a region); false when a request could not be written.
bool writeClip(RequestWriter* writer, PictureRecord* p, const Head* head, u32 serverId) {
  i16 ox = p->clipX, oy = p->clipY;
  u32 count = p->clipCount;
  xRectangle* scaled = nullptr;
  if (head && head->scaler) {
    setScalerPicture(head, p);
    scaled = scaleClipRectangles(head->scaler, &ox, &oy, p->clipRects, p->clipCount, &count);
    if (!scaled) return false;
  }
  u8* copy = renderRequest(writer, X_RenderSetPictureClipRectangles, 12 + 8 * count);
  if (copy) {
    put32(copy + 4, serverId);
    put16(copy + 8, u16(ox));
    put16(copy + 10, u16(oy));
    if (count) memcpy(copy + 12, scaled ? scaled : p->clipRects, 8ull * count);
    finishWriterRequest(writer, copy, 12 + 8 * count, "bbsiS");
  }
  free(scaled);
  return copy != nullptr;
}

struct ClipForwarding {
  PictureRecord* picture;
  bool failed;
};

bool clipOnHead(const RouteTarget& target, void* argument) {
  auto* f = static_cast<ClipForwarding*>(argument);
  PictureRecord* p = f->picture;
  if (!pictureOnHead(p, target.head)) return true;
  f->failed = !writeClip(&target.link->writer, p, target.head, translateXid(p->id, RT_SERVER_ID, target.head));
  return !f->failed;
}

}  // namespace

void ProcRenderSetPictureClipRectangles(u8* request, u32 length) {
  u32 id = get32(request + 4);
  PictureRecord* p = lookupPicture(id);
  if (!p) return sendExtensionError(kBadPicture, id, request, length, nullptr);
  u32 count = (length - 12) / 8;
  if (count != p->clipCount) {
    freeClip(p);
    p->clipRects = count ? static_cast<xRectangle*>(memAlloc(8ull * count)) : nullptr;
    if (count && !p->clipRects) return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  if (count) memcpy(p->clipRects, request + 12, 8ull * count);
  p->clipCount = count;
  unrefPixmap(p->clipMask, 0);
  p->clipMask = nullptr;
  p->clipX = i16(get16(request + 8));
  p->clipY = i16(get16(request + 10));
  setRequestResource(currentClient, id);
  ClipForwarding f{p, false};
  forEachTarget(p->screen ? Route::kEveryHead : Route::kEveryScreen, clipOnHead, &f);
  if (f.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

namespace {

void rewritePictureId(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, target.head));
}

bool skipPictureHeads(const RouteTarget& target, void* argument) {
  return !pictureOnHead(static_cast<PictureRecord*>(argument), target.head);
}

// Forwards a request that names only the picture at byte 4: to the heads
// of its screen, or to every head for a source picture, which every head
// has.
void forwardPictureRequest(PictureRecord* p, u8* request, u32 length) {
  setRequestResource(currentClient, p->id);
  if (!p->screen) forwardRequestTo(Route::kEveryScreen, request, length, rewritePictureId, p);
  else forwardToHeads(request, length, skipPictureHeads, rewritePictureId, p);
}

}  // namespace

void ProcRenderFreePicture(u8* request, u32 length) {
  u32 id = get32(request + 4);
  PictureRecord* p = lookupPicture(id);
  if (!p) return sendExtensionError(kBadPicture, id, request, length, nullptr);
  forwardPictureRequest(p, request, length);
  freeResourceById(id, RT_NONE);
}

void ProcRenderSetPictureTransform(u8* request, u32 length) {
  u32 id = get32(request + 4);
  PictureRecord* p = lookupPicture(id);
  if (!p) return sendExtensionError(kBadPicture, id, request, length, nullptr);
  for (u32 i = 0; i < 9; i++) p->transform[i] = get32(request + 8 + 4 * i);
  p->hasTransform = 1;
  forwardPictureRequest(p, request, length);
}

void ProcRenderSetPictureFilter(u8* request, u32 length) {
  u32 id = get32(request + 4);
  PictureRecord* p = lookupPicture(id);
  if (!p) return sendExtensionError(kBadPicture, id, request, length, nullptr);
  u32 nameLength = get16(request + 8);
  u64 valuesAt = 12 + pad4(nameLength);
  if (valuesAt > length) return sendXError(BadLength, length, request, length, nullptr);
  // Kept with its parameters: a convolution filter without its kernel is
  // refused on a joining server.
  char* name = static_cast<char*>(memdupz(request + 12, nameLength));
  u32 valueCount = u32((length - valuesAt) / 4);
  u32* values = valueCount ? static_cast<u32*>(memdup(request + valuesAt, 4ull * valueCount)) : nullptr;
  if (!name || (valueCount && !values)) {
    free(name);
    free(values);
    return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  free(p->filterName);
  free(p->filterValues);
  p->filterName = name;
  p->filterValues = values;
  p->filterValueCount = valueCount;
  forwardPictureRequest(p, request, length);
}

namespace {

// Points of gradients, scaled as fixed-point pairs from byte 8 up to the
// stop count.
void rewriteSourcePicture(u8* copy, u32, const RouteTarget& target, void*) {
  const Head* head = target.head;
  put32(copy + 4, translateXid(get32(copy + 4), RT_SERVER_ID, head));
  if (!head || !head->scaler) return;
  u32 pairs = copy[1] == X_RenderCreateLinearGradient ? 2 : copy[1] == X_RenderCreateRadialGradient ? 3
              : copy[1] == X_RenderCreateConicalGradient ? 1 : 0;
  if (!pairs) return;
  setScalerFrame(head->scaler, 0, 0, 1, 1);
  scaleRenderPoints(head->scaler, reinterpret_cast<xPointFixed*>(copy + 8), pairs);
}

}  // namespace

void ProcRenderCreateSourcePicture(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  if (request[1] != X_RenderCreateSolidFill) {
    u32 stops = get32(request + (request[1] == X_RenderCreateLinearGradient   ? 24
                                 : request[1] == X_RenderCreateRadialGradient ? 32
                                                                              : 20));
    u64 fixed = request[1] == X_RenderCreateLinearGradient ? 28 : request[1] == X_RenderCreateRadialGradient ? 36 : 24;
    if (fixed + 12ull * stops != length) return sendXError(BadLength, length, request, length, nullptr);
  }
  auto* p = static_cast<PictureRecord*>(memCalloc(1, sizeof(PictureRecord)));
  u8* creation = p ? static_cast<u8*>(memdup(request, length)) : nullptr;
  if (!creation) {
    free(p);
    return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  p->id = id;
  p->graphicsExposures = 1;
  p->polyEdge = 1;
  p->creation = creation;
  p->creationLength = length;
  p->creationLayout = currentRequest.row->requestLayout;
  if (!addResource(id, RT_PICTURE, p)) return sendXError(BadAlloc, 0, request, length, nullptr);
  setRequestResource(currentClient, id);
  forwardToHeads(request, length, nullptr, rewriteSourcePicture, nullptr);
}

// --- Writing a picture -------------------------------------------------------------------

u8* renderRequest(RequestWriter* writer, u8 minor, u32 length) {
  const ExtensionEntry* entry = moduleEntry(kModuleRender);
  return entry ? beginRequest(writer, entry->major, minor, length) : nullptr;
}

bool replicatePicture(PictureRecord* p, ProxyClient*, RequestWriter* writer, Head* head, u32 serverPicture,
                      u32 serverDrawable, u32 serverFormat) {
  if (p->creation) {
    u8* copy = renderRequest(writer, p->creation[1], p->creationLength);
    if (!copy) return false;
    memcpy(copy + 4, p->creation + 4, p->creationLength - 4);
    put32(copy + 4, serverPicture);
    RouteTarget target{head, nullptr};
    rewriteSourcePicture(copy, p->creationLength, target, nullptr);
    put32(copy + 4, serverPicture);
    finishWriterRequest(writer, copy, p->creationLength, p->creationLayout);
    return true;
  }
  u32 values[13], mask = 0, n = 0;
  auto add = [&](u32 bit, u32 value) { mask |= 1u << bit, values[n++] = value; };
  if (p->repeat) add(0, p->repeat);
  if (p->alphaMap) add(1, p->alphaMap->id);
  if (p->alphaX) add(2, u32(i32(p->alphaX)));
  if (p->alphaY) add(3, u32(i32(p->alphaY)));
  if (p->clipX) add(4, u32(i32(p->clipX)));
  if (p->clipY) add(5, u32(i32(p->clipY)));
  if (p->clipMask) add(6, p->clipMask->id);
  if (p->graphicsExposures != 1) add(7, p->graphicsExposures);
  if (p->subwindowMode) add(8, p->subwindowMode);
  if (p->polyEdge != 1) add(9, p->polyEdge);
  if (p->polyMode) add(10, p->polyMode);
  if (p->dither) add(11, p->dither);
  if (p->componentAlpha) add(12, p->componentAlpha);
  u8* copy = renderRequest(writer, X_RenderCreatePicture, 20 + 4 * n);
  if (!copy) return false;
  put32(copy + 4, serverPicture);
  put32(copy + 8, serverDrawable);
  if (!serverFormat)
    serverFormat = head ? drawableFormatForHead(p->format, head, pictureDepthOnHead(p, head)) : p->format->id;
  put32(copy + 12, serverFormat);
  put32(copy + 16, mask);
  for (u32 i = 0; i < n; i++) put32(copy + 20 + 4 * i, values[i]);
  if (head) rewriteValues(p, mask, copy + 20, n, head);
  finishWriterRequest(writer, copy, 20 + 4 * n, "bbsI");
  if (p->clipCount && !writeClip(writer, p, head, serverPicture)) return false;
  if (p->hasTransform) {
    u8* t = renderRequest(writer, X_RenderSetPictureTransform, 44);
    if (!t) return false;
    put32(t + 4, serverPicture);
    for (u32 i = 0; i < 9; i++) put32(t + 8 + 4 * i, p->transform[i]);
    finishWriterRequest(writer, t, 44, "bbsI");
  }
  if (p->filterName) {
    u32 nameLength = u32(strlen(p->filterName));
    u32 size = 12 + pad4(nameLength) + 4 * p->filterValueCount;
    u8* f = renderRequest(writer, X_RenderSetPictureFilter, size);
    if (!f) return false;
    put32(f + 4, serverPicture);
    put16(f + 8, u16(nameLength));
    memcpy(f + 12, p->filterName, nameLength);
    if (p->filterValueCount) memcpy(f + 12 + pad4(nameLength), p->filterValues, 4ull * p->filterValueCount);
    finishWriterRequest(writer, f, size, "H-26");
  }
  return true;
}

}  // namespace palvon

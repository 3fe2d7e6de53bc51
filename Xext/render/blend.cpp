// RENDER drawing on emulated indexes that one solid colour does not cover
// whole: blended edges of shapes and glyphs, images, gradients, pictures of
// other formats, translucent colours. A plain server of the indexed visual
// reads each pixel as its cell's colour, blends in true colours and stores
// the cell of its palette nearest to the result. The emulating head, whose
// RENDER would blend the indexes themselves, does it in three steps while
// the client waits:
//   1. the area the drawing can touch is read from the head;
//   2. the proxy puts its indexes' colours into a scratch pixmap of the
//      head's true-colour format, the head draws there, and the proxy reads
//      the result back;
//   3. a pixel the drawing changed becomes the palette's nearest cell, one
//      it left as it was keeps its index, and the indexes go back into the
//      picture through the picture's own clip.
// The client's request itself goes to the head aimed at a scratch (the
// destination's, or for a drawing onto true colours the indexed source's)
// before the area is read, so that an error of the drawing is the client's
// and comes with the other heads' answers to it. Other
// clients are not held: one that draws into the same area meanwhile may
// find its pixels drawn over with what was read before.
#include <X11/X.h>
#include <X11/extensions/render.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/visuals/visual.h"
#include "Xext/render/internal.h"
#include "base/logging.h"
#include "base/wordswap.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

struct Area {
  i32 x1, y1, x2, y2;
  bool empty() const { return x1 >= x2 || y1 >= y2; }
};

Area intersect(const Area& a, const Area& b) {
  return {std::max(a.x1, b.x1), std::max(a.y1, b.y1), std::min(a.x2, b.x2), std::min(a.y2, b.y2)};
}

void include(Area* a, i64 x1, i64 y1, i64 x2, i64 y2) {
  auto clamp = [](i64 v) { return i32(std::clamp<i64>(v, -65536, 65536)); };
  if (x1 >= x2 || y1 >= y2) return;
  if (a->empty()) {
    *a = {clamp(x1), clamp(y1), clamp(x2), clamp(y2)};
    return;
  }
  a->x1 = std::min(a->x1, clamp(x1)), a->y1 = std::min(a->y1, clamp(y1));
  a->x2 = std::max(a->x2, clamp(x2)), a->y2 = std::max(a->y2, clamp(y2));
}

i64 floorFixed(i64 v) { return v >> 16; }
i64 ceilFixed(i64 v) { return (v + 0xffff) >> 16; }

// Points in fixed point from `at` on, a pixel of margin around them
// (edges that touch a pixel only in part).
void includePoints(Area* a, const u8* p, u32 count) {
  for (u32 i = 0; i < count; i++) {
    i64 x = i32(get32(p + 8 * i)), y = i32(get32(p + 8 * i + 4));
    include(a, floorFixed(x) - 1, floorFixed(y) - 1, ceilFixed(x) + 1, ceilFixed(y) + 1);
  }
}

// A trapezoid edge's x at y, in fixed point, no further out than 2^40 (a
// pixel range that include clamps anyway). Both factors of the product
// reach 2^32 for 32-bit points, which takes 128 bits.
i64 lineX(const u8* line, i64 y) {
  i64 x1 = i32(get32(line)), y1 = i32(get32(line + 4)), x2 = i32(get32(line + 8)), y2 = i32(get32(line + 12));
  if (y1 == y2) return x1;
  __int128 x = x1 + __int128(y - y1) * (x2 - x1) / (y2 - y1);
  constexpr __int128 kFar = __int128(1) << 40;
  return i64(std::clamp(x, -kFar, kFar));
}

void includeTrapezoids(Area* a, const u8* p, u32 count) {
  for (u32 i = 0; i < count; i++, p += 40) {
    i64 top = i32(get32(p)), bottom = i32(get32(p + 4));
    if (bottom <= top) continue;
    i64 xs[4] = {lineX(p + 8, top), lineX(p + 8, bottom), lineX(p + 24, top), lineX(p + 24, bottom)};
    i64 low = *std::min_element(xs, xs + 4), high = *std::max_element(xs, xs + 4);
    include(a, floorFixed(low) - 1, floorFixed(top), ceilFixed(high) + 1, ceilFixed(bottom));
  }
}

// Every glyph's box, the pen moving as the items and advances say.
void includeGlyphs(Area* a, const u8* request, u32 length) {
  u32 size = request[1] == X_RenderCompositeGlyphs8 ? 1 : request[1] == X_RenderCompositeGlyphs16 ? 2 : 4;
  GlyphSetRecord* set = lookupGlyphSet(get32(request + 20));
  i64 x = 0, y = 0;
  for (u32 at = 28; at + 8 <= length;) {
    u32 n = request[at];
    if (n == 255) {
      if (at + 12 > length) return;
      set = lookupGlyphSet(get32(request + at + 8));
      at += 12;
      continue;
    }
    x += i16(get16(request + at + 4)), y += i16(get16(request + at + 6));
    for (u32 g = 0; g < n && set && at + 8 + (g + 1) * size <= length; g++) {
      const u8* id = request + at + 8 + g * size;
      const xGlyphInfo* info = findGlyphInfo(set, size == 1 ? *id : size == 2 ? get16(id) : get32(id));
      if (!info) continue;
      include(a, x - info->x, y - info->y, x - info->x + info->width, y - info->y + info->height);
      x += info->xOff, y += info->yOff;
    }
    at += 8 + pad4(n * size);
  }
}

// What the drawing can touch, in the destination's coordinates; empty for
// requests that are not blended.
Area drawingArea(const RenderDrawing& d) {
  Area a{0, 0, 0, 0};
  const u8* r = d.request;
  switch (d.minor) {
    case X_RenderComposite:
      include(&a, i16(get16(r + 28)), i16(get16(r + 30)), i64(i16(get16(r + 28))) + get16(r + 32),
              i64(i16(get16(r + 30))) + get16(r + 34));
      break;
    case X_RenderFillRectangles:
      for (u32 at = 20; at + 8 <= d.length; at += 8) {
        i64 x = i16(get16(r + at)), y = i16(get16(r + at + 2));
        include(&a, x, y, x + get16(r + at + 4), y + get16(r + at + 6));
      }
      break;
    case X_RenderTrapezoids: includeTrapezoids(&a, r + 24, (d.length - 24) / 40); break;
    case X_RenderTriangles:
    case X_RenderTriStrip:
    case X_RenderTriFan: includePoints(&a, r + 24, (d.length - 24) / 8); break;
    case X_RenderCompositeGlyphs8:
    case X_RenderCompositeGlyphs16:
    case X_RenderCompositeGlyphs32: includeGlyphs(&a, r, d.length); break;
    default: break;
  }
  return a;
}

// The area cut to what the picture can show on the head: its drawable,
// the head's part of the screen for a window, the extents of a clip list.
Area shownArea(const RenderDrawing& d, const Head* head, Area a) {
  const PictureRecord* p = d.destination;
  if (d.window) {
    a = intersect(a, {0, 0, d.window->width, d.window->height});
    const HeadRect& shown = head->logical;
    a = intersect(a, {shown.x - d.window->x, shown.y - d.window->y, shown.x + shown.width - d.window->x,
                      shown.y + shown.height - d.window->y});
  } else if (p->pixmap) {
    a = intersect(a, {0, 0, p->pixmap->width, p->pixmap->height});
  }
  if (p->clipCount && !p->clipMask) {
    Area clip{0, 0, 0, 0};
    for (u32 i = 0; i < p->clipCount; i++) {
      const xRectangle& r = p->clipRects[i];
      include(&clip, i64(p->clipX) + r.x, i64(p->clipY) + r.y, i64(p->clipX) + r.x + r.width,
              i64(p->clipY) + r.y + r.height);
    }
    a = intersect(a, clip);
  }
  return a;
}

// Whether the op leaves nothing of an opaque destination (indexes read
// as opaque colours): what it writes does not depend on what lay there.
bool ignoresOpaqueDestination(u8 op) {
  switch (op) {
    case PictOpClear:
    case PictOpSrc:
    case PictOpIn:
    case PictOpOut:
    case PictOpDisjointClear:
    case PictOpDisjointSrc:
    case PictOpConjointClear:
    case PictOpConjointSrc: return true;
    default: return false;
  }
}

// A Composite's picture (source or mask) cuts the area it writes to its
// pixmap's extent, placed by the origins, unless it repeats or is
// transformed; false when its clip leaves the area unknown.
bool cutToPicture(const PictureRecord* p, i32 atX, i32 atY, Area* a) {
  if (!p || p->creation) return true;  // none, or a solid fill or gradient
  if (!p->pixmap || p->clipCount || p->clipMask || p->alphaMap) return false;
  if (!p->repeat && !p->hasTransform) *a = intersect(*a, {atX, atY, atX + p->pixmap->width, atY + p->pixmap->height});
  return true;
}

// The area a Composite whose op ignores the destination writes whole;
// false when it cannot be told without the server.
bool writtenArea(const RenderDrawing& d, Area* a) {
  const u8* r = d.request;
  if (d.minor != X_RenderComposite || !ignoresOpaqueDestination(r[4])) return false;
  i32 x = i16(get16(r + 28)), y = i16(get16(r + 30));
  *a = {x, y, x + get16(r + 32), y + get16(r + 34)};
  return cutToPicture(d.source, x - i16(get16(r + 20)), y - i16(get16(r + 22)), a) &&
         cutToPicture(d.mask, x - i16(get16(r + 24)), y - i16(get16(r + 26)), a);
}

// --- The blend --------------------------------------------------------------------------

// A true-colour copy on the head of an area of a picture that holds
// indexes: the destination's area (drawn there, then stored as indexes),
// or an indexed source read as colours.
struct Scratch {
  u32 pixmap, picture, gc;  // on the head; pixmap 0 while none is made
  u32 drawable;             // the picture's drawable on the head, read from
  i32 x, y;                 // the area read, in the drawable
  u16 width, height;
  i32 atX, atY;             // where the area lies in the scratch
  u16 fullWidth, fullHeight;  // the scratch's size
  u8* read;                 // the area as the head gave it (data only)
  u32 readBytes;
  u8* indexes;              // the area's indexes, width x height
  u32 colours[256];         // what each index reads as, taken at the request
};

struct Blend {
  ProxyClient* client;
  u32 head;            // the head's id: looked up again at each step
  u32 picture;         // the client's destination picture
  u32 serverPicture;   // and on the head
  u8 depth;            // of the destination's drawable on the head
  u8 shifts[3];        // red, green, blue of the head's true-colour format
  u32 format;          // that format
  u8 onIndexes;        // the destination holds indexes: drawn in the scratch
  u8 seeded;           // the destination's indexes are read first
  u8 converting;       // the source holds indexes: read as colours
  u8 drawnAtOnce;      // nothing to convert: drawn at the request itself
  Scratch target, source;
  u8* drawing;         // the head's copy, proxy order, its pictures replaced
  u32 length;
  LayoutString layout;
  const IndexPalette* palette;
  BytePictures bytes;  // true 8-bit copies of the source and mask
  u32 references;      // round trips out
  u8 failed;           // a read was refused: nothing more is drawn
  u8 done;
};

void freeBlend(Blend* b) {
  for (Scratch* s : {&b->target, &b->source}) {
    std::free(s->read);
    std::free(s->indexes);
  }
  std::free(b->drawing);
  std::free(b);
}

// The client goes on once the blend has ended, however it ended.
void endBlend(Blend* b) {
  if (b->done) return;
  b->done = 1;
  ProxyClient* client = b->client;
  if (!client->awaitingPixels) return;
  client->awaitingPixels--;
  if (client->transport && !client->readOrder && !client->stopped) resumeClientIo(client);
}

void releaseBlendStep(void* argument) {
  auto* b = static_cast<Blend*>(argument);
  if (--b->references) return;
  endBlend(b);
  freeBlend(b);
}

// The reply of a read into a scratch's record, or its error.
int keepRead(ServerLink* link, const u8* reply, Blend* b, Scratch* s) {
  if (reply[0] != X_Reply) {
    b->failed = 1;
    return 1;
  }
  u64 bytes = 4ull * loadU32(reply + 4, link->writer.swap);
  std::free(s->read);
  s->read = bytes ? static_cast<u8*>(memdup(reply + 32, bytes)) : nullptr;
  s->readBytes = u32(bytes);
  if (!s->read) b->failed = 1;
  return 1;
}

int keepTargetRead(ServerLink* link, const u8* reply, void* argument) {
  auto* b = static_cast<Blend*>(argument);
  return keepRead(link, reply, b, &b->target);
}

int keepSourceRead(ServerLink* link, const u8* reply, void* argument) {
  auto* b = static_cast<Blend*>(argument);
  return keepRead(link, reply, b, &b->source);
}

// The link and head of the blend, when both are still there.
ServerLink* blendLink(const Blend* b, Head** head) {
  *head = static_cast<Head*>(lookupResourceByType(b->head, RT_HEAD));
  return *head ? clientLink(b->client, (*head)->serverIndex) : nullptr;
}

// What was read last into a scratch, described in the head's layout.
bool describeRead(const Blend* b, const Scratch& s, const Head* head, XImage* image) {
  const ImageFormat* format = ximageFormatForDisplay(head->display, ZPixmap, b->depth, nullptr);
  return s.read && ximageInit(image, s.width, s.height, 0, reinterpret_cast<char*>(s.read), format) &&
         u64(image->bytes_per_line) * s.height <= s.readBytes;
}

// Rewrites every pixel of an image as `convert(x, y, pixel)` gives it;
// 32-bit pixels in the proxy's own order directly.
template <class Convert>
void convertImage(XImage* image, Convert convert) {
  u32 width = u32(image->width), height = u32(image->height);
  if (image->bits_per_pixel != 32 || image->byte_order != LSBFirst) {
    for (u32 y = 0; y < height; y++)
      for (u32 x = 0; x < width; x++)
        XPutPixel(image, int(x), int(y), convert(x, y, u32(XGetPixel(image, int(x), int(y)))));
    return;
  }
  for (u32 y = 0; y < height; y++) {
    u8* row = reinterpret_cast<u8*>(image->data) + u64(y) * u32(image->bytes_per_line);
    for (u32 x = 0; x < width; x++) {
      u32 pixel;
      memcpy(&pixel, row + 4 * x, 4);
      pixel = convert(x, y, pixel);
      memcpy(row + 4 * x, &pixel, 4);
    }
  }
}

// The head's pixel of a colour 0xRRGGBB.
u32 pixelOf(const Blend* b, u32 rgb) {
  return (rgb >> 16 & 0xff) << b->shifts[0] | (rgb >> 8 & 0xff) << b->shifts[1] | (rgb & 0xff) << b->shifts[2];
}

// A head pixel's colour, five bits a channel: the palette's key.
u32 keyOf(const Blend* b, u32 pixel) {
  return (pixel >> (b->shifts[0] + 3) & 31) << 10 | (pixel >> (b->shifts[1] + 3) & 31) << 5 |
         (pixel >> (b->shifts[2] + 3) & 31);
}

// The indexes read into a scratch, and their colours put there.
bool seedScratch(const Blend* b, Scratch* s, ServerLink* link, const Head* head) {
  XImage read;
  if (!describeRead(b, *s, head, &read)) return false;
  s->indexes = static_cast<u8*>(memAlloc(u64(s->width) * s->height));
  if (!s->indexes) return false;
  u32 pixels[256];
  for (u32 i = 0; i < 256; i++) pixels[i] = pixelOf(b, s->colours[i]);
  convertImage(&read, [&](u32 x, u32 y, u32 pixel) {
    u8 index = u8(pixel >> b->shifts[2]);
    s->indexes[y * s->width + x] = index;
    return pixels[index];
  });
  return xprotoPutImage(&link->writer, s->pixmap, s->gc, &read, i16(s->atX), i16(s->atY)) != 0;
}

void freeScratch(ServerLink* link, const Scratch& s) {
  if (!s.pixmap) return;
  u8* release = renderRequest(&link->writer, X_RenderFreePicture, 8);
  if (release) {
    put32(release + 4, s.picture);
    finishWriterRequest(&link->writer, release, 8, "bbsi");
  }
  xprotoFreeGC(&link->writer, s.gc);
  xprotoFreePixmap(&link->writer, s.pixmap);
}

void freeScratches(Blend* b, ServerLink* link) {
  freeScratch(link, b->target);
  freeScratch(link, b->source);
  freeBytePicture(link, b->bytes.source);
  freeBytePicture(link, b->bytes.mask);
  freeBytePicture(link, b->bytes.destination);
}

// Reads a scratch's area from its picture's drawable (into the scratch's
// record with `keep`), or the scratch itself once drawn.
bool readArea(Blend* b, ServerLink* link, const Scratch& s, bool drawn, ReplyHookCallback keep) {
  bool asked = drawn ? requestGetImage(link, ZPixmap, s.pixmap, i16(s.atX), i16(s.atY), s.width, s.height, ~0u)
                     : requestGetImage(link, ZPixmap, s.drawable, i16(s.x), i16(s.y), s.width, s.height, ~0u);
  if (asked) addReplyHookTakingErrors(link, keep, b);
  return asked;
}

// Runs `step` once the head has answered what was asked before it.
bool thenStep(Blend* b, ServerLink* link, RoundTripCallback step) {
  if (!queueRoundTripCallback(link, step, b, releaseBlendStep)) return false;
  b->references++;
  return true;
}

// A step of the blend on its link (gone: nothing), its requests the
// proxy's own, flushed after.
template <class Step>
void runStep(void* argument, Step step) {
  auto* b = static_cast<Blend*>(argument);
  Head* head = nullptr;
  ServerLink* link = blendLink(b, &head);
  if (!link) return;
  u8 marking = link->writingProxyCopies;
  link->writingProxyCopies = 1;
  step(b, head, link);
  link->writingProxyCopies = marking;
  logProblem(flushServerLink(link), __FILE__, __LINE__);
}

// Step 3: the result as indexes, back into the picture through its clip.
void storeResultOnLink(Blend* b, Head* head, ServerLink* link) {
  Scratch& t = b->target;
  XImage read;
  if (!b->failed && describeRead(b, t, head, &read)) {
    u32 colours[256], indexes[256], channels = pixelOf(b, 0xffffff);
    for (u32 i = 0; i < 256; i++) colours[i] = pixelOf(b, t.colours[i]), indexes[i] = pixelOf(b, i * 0x10101);
    // A pixel the drawing left as it was keeps its index.
    convertImage(&read, [&](u32 x, u32 y, u32 pixel) {
      if (t.indexes) {
        u8 index = t.indexes[y * t.width + x];
        if ((pixel & channels) == colours[index]) return indexes[index];
      }
      return indexes[b->palette->cells[keyOf(b, pixel)]];
    });
    bool put = xprotoPutImage(&link->writer, t.pixmap, t.gc, &read, 0, 0) != 0;
    u8* back = put ? renderRequest(&link->writer, X_RenderComposite, 36) : nullptr;
    if (back) {
      back[4] = PictOpSrc;
      put32(back + 8, t.picture);
      put32(back + 12, 0);
      put32(back + 16, b->serverPicture);
      memset(back + 20, 0, 8);
      put16(back + 28, u16(t.x)), put16(back + 30, u16(t.y)), put16(back + 32, t.width), put16(back + 34, t.height);
      mirrorRenderWrite(b->client, b->picture, head, link, back, 36);
      finishWriterRequest(&link->writer, back, 36, "bbsbbsiiiS");
    }
  }
  freeScratches(b, link);
}

void storeResult(const u8*, void* argument) { runStep(argument, storeResultOnLink); }

// Step 2: the colours of what was read into the scratches, the drawing,
// and on indexes the result read.
void drawInColoursOnLink(Blend* b, Head* head, ServerLink* link) {
  bool going = !b->failed && (!b->seeded || seedScratch(b, &b->target, link, head)) &&
               (!b->converting || seedScratch(b, &b->source, link, head));
  going = going && (b->drawnAtOnce || xprotoCopyRequest(&link->writer, b->drawing, b->length, b->layout));
  const PictureRecord* destination = b->bytes.destination.pixmap ? lookupPicture(b->picture) : nullptr;
  if (going && destination) storeBytePicture(destination, head, link, b->bytes.destination);
  if (!going || !b->onIndexes || !readArea(b, link, b->target, true, keepTargetRead) ||
      !thenStep(b, link, storeResult)) {
    disarmReplyHooks(link, b);  // the blend ends with this step
    freeScratches(b, link);
  }
}

void drawInColours(const u8*, void* argument) { runStep(argument, drawInColoursOnLink); }

// A scratch pixmap of the head's true-colour format with a GC.
bool makeScratchPixmap(Blend* b, Scratch* s, ServerLink* link, const Head* head) {
  s->pixmap = translateXid(allocProxyXid(b->client), RT_PIXMAP, head);
  s->picture = translateXid(allocProxyXid(b->client), RT_SERVER_ID, head);
  s->gc = translateXid(allocProxyXid(b->client), RT_GC, head);
  if (!s->pixmap || !s->picture || !s->gc) return !(s->pixmap = 0);
  xprotoCreatePixmap(&link->writer, b->depth, s->pixmap, u32(head->root), s->fullWidth, s->fullHeight);
  XGCValues none{};
  xprotoCreateGC(&link->writer, s->gc, s->pixmap, 0, &none);
  return true;
}

// The destination's scratch: a picture that draws as the destination
// does, its edges and their precision.
bool makeTarget(Blend* b, const RenderDrawing& d, ServerLink* link, const Head* head) {
  Scratch& t = b->target;
  t.fullWidth = t.width, t.fullHeight = t.height;
  if (!makeScratchPixmap(b, &t, link, head)) return false;
  u32 values[2], mask = 0, n = 0;
  if (d.destination->polyEdge != 1) mask |= CPPolyEdge, values[n++] = d.destination->polyEdge;
  if (d.destination->polyMode) mask |= CPPolyMode, values[n++] = d.destination->polyMode;
  u8* create = renderRequest(&link->writer, X_RenderCreatePicture, 20 + 4 * n);
  if (!create) return false;
  put32(create + 4, t.picture);
  put32(create + 8, t.pixmap);
  put32(create + 12, b->format);
  put32(create + 16, mask);
  for (u32 i = 0; i < n; i++) put32(create + 20 + 4 * i, values[i]);
  finishWriterRequest(&link->writer, create, 20 + 4 * n, "bbsI");
  return true;
}

// An indexed source's scratch: the whole drawable's size, so that the
// source's own coordinates, clip and transform hold, and of it the area a
// plain composite reads, or all of it.
bool makeSource(Blend* b, const RenderDrawing& d, ServerLink* link, Head* head) {
  PictureRecord* p = d.source;
  Scratch& s = b->source;
  const ProxyWindow* window = p->window ? lookupWindow(p->window) : nullptr;
  u32 width = window ? window->width : p->pixmap ? p->pixmap->width : 0;
  u32 height = window ? window->height : p->pixmap ? p->pixmap->height : 0;
  Area a{0, 0, i32(width), i32(height)};
  if (window) {
    const HeadRect& shown = head->logical;
    a = intersect(a, {shown.x - window->x, shown.y - window->y, shown.x + shown.width - window->x,
                      shown.y + shown.height - window->y});
  }
  if (d.minor == X_RenderComposite && !p->repeat && !p->hasTransform && !p->filterName) {
    i32 x = i16(get16(d.request + 20)), y = i16(get16(d.request + 22));
    a = intersect(a, {x, y, x + get16(d.request + 32), y + get16(d.request + 34)});
  }
  if (a.empty()) {
    b->converting = 0;  // nothing of it lands where it is read
    return true;
  }
  s.fullWidth = u16(width), s.fullHeight = u16(height);
  s.x = s.atX = a.x1, s.y = s.atY = a.y1, s.width = u16(a.x2 - a.x1), s.height = u16(a.y2 - a.y1);
  s.drawable = window ? mapDrawableToHead(window->id, head) : pixmapServerId(p->pixmap, head);
  pictureIndexColours(p, s.colours);
  return makeScratchPixmap(b, &s, link, head) &&
         replicatePicture(p, b->client, &link->writer, head, s.picture, s.pixmap, b->format);
}

// The blend's record for the head: the destination's true-colour format.
Blend* newBlend(const RenderDrawing& d, Head* head) {
  const PictFormatRecord* f = serverPictFormat(head, drawableFormatForHead(d.destination->format, head,
                                                                          pictureDepthOnHead(d.destination, head)));
  auto* b = f ? static_cast<Blend*>(memCalloc(1, sizeof(Blend))) : nullptr;
  u8* drawing = b ? static_cast<u8*>(memAlloc(d.length)) : nullptr;
  if (!drawing) {
    std::free(b);
    return nullptr;
  }
  b->client = currentClient, b->head = head->id, b->picture = d.destination->id;
  b->serverPicture = translateXid(d.destination->id, RT_SERVER_ID, head);
  b->depth = u8(pictureDepthOnHead(d.destination, head));
  b->format = f->id;
  b->shifts[0] = f->redShift, b->shifts[1] = f->greenShift, b->shifts[2] = f->blueShift;
  b->drawing = drawing, b->length = d.length, b->layout = d.layout;
  memcpy(drawing, d.request, d.length);
  rewriteDrawingForHead(d, drawing, head);
  return b;
}

// The destination's area on the head: what the drawing can touch, or
// what it writes whole when it ignores what lies beneath (`seeded` false).
bool targetArea(const RenderDrawing& d, Head* head, Blend* b) {
  Area written;
  b->seeded = !writtenArea(d, &written);
  Area area = shownArea(d, head, b->seeded ? drawingArea(d) : written);
  if (area.empty()) return false;
  i16 x = i16(area.x1), y = i16(area.y1);
  u16 width = u16(area.x2 - area.x1), height = u16(area.y2 - area.y1);
  if (head->scaler) {
    setScalerPicture(head, d.destination);
    scaleArea16(head->scaler, &x, &y, &width, &height);
  }
  Scratch& t = b->target;
  t.drawable = d.window ? mapDrawableToHead(d.window->id, head) : pixmapServerId(d.destination->pixmap, head);
  t.x = x, t.y = y, t.width = width, t.height = height;
  pictureIndexColours(d.destination, t.colours);
  b->palette = indexPaletteOf(d.destination);
  return width && height;
}

// The client's request itself, written at the request so that its errors
// are the client's (of every head's, the first), as the head's copy: onto
// the destination's scratch; for a drawing onto true colours onto the
// indexed source's scratch, which is put again before the real drawing;
// onto the destination itself when nothing of it is converted.
bool writeClientsCopy(Blend* b, const RenderDrawing& d, ServerLink* link) {
  u32 destination = get32(b->drawing + d.destinationAt);
  if (!b->onIndexes && b->converting) put32(b->drawing + d.destinationAt, b->source.picture);
  b->drawnAtOnce = !b->onIndexes && !b->converting;
  u8* copy = copyRequestToServer(b->drawing, d.length, link);
  if (copy) swapServerRequest(link, copy, d.length, d.layout);
  put32(b->drawing + d.destinationAt, destination);
  return copy != nullptr;
}

// What is written at the request: the scratches, the client's request and
// the reads. False when a request could not be written.
bool startBlend(Blend* b, const RenderDrawing& d, Head* head, ServerLink* link) {
  u8 marking = link->writingProxyCopies;
  link->writingProxyCopies = 1;
  bool made = (!b->onIndexes || makeTarget(b, d, link, head)) && (!b->converting || makeSource(b, d, link, head)) &&
              copyBytePictures(d, head, link, &b->bytes);
  useBytePictures(d, b->drawing, b->bytes);
  if (b->onIndexes) {
    put32(b->drawing + d.destinationAt, b->target.picture);
    shiftHeadDrawing(b->drawing, d.length, b->target.x, b->target.y);
  }
  if (b->converting) put32(b->drawing + 8, b->source.picture);
  link->writingProxyCopies = marking;
  bool asked = made && writeClientsCopy(b, d, link);
  link->writingProxyCopies = 1;
  if (asked && b->onIndexes && !b->seeded && !b->converting) {
    asked = readArea(b, link, b->target, true, keepTargetRead) && thenStep(b, link, storeResult);
  } else if (asked) {
    asked = (!b->seeded || readArea(b, link, b->target, false, keepTargetRead)) &&
            (!b->converting || readArea(b, link, b->source, false, keepSourceRead)) &&
            thenStep(b, link, drawInColours);
  }
  if (!asked) disarmReplyHooks(link, b);  // the caller frees the blend
  if (!asked && made) freeScratches(b, link);
  link->writingProxyCopies = marking;
  return asked;
}

}  // namespace

bool readsIndexesOnHead(const RenderDrawing& d, const Head* head) {
  return d.source && d.source->format && d.source->format->palette && drawsIndexesOnHead(d.source, head);
}

bool blendOnIndexes(RenderDrawing& d, const RouteTarget& target) {
  Head* head = target.head;
  ServerLink* link = target.link;
  Blend* b = newBlend(d, head);
  if (!b) return false;
  b->onIndexes = drawsIndexesOnHead(d.destination, head);
  // On a zoomed head the source's scratch would need scaling too: its
  // indexes are blended as they are there.
  b->converting = readsIndexesOnHead(d, head) && !head->scaler;
  if (b->onIndexes && !targetArea(d, head, b)) {
    freeBlend(b);
    return true;  // nothing of it lands on this head
  }
  if (!startBlend(b, d, head, link)) {
    freeBlend(b);
    return false;
  }
  b->client->awaitingPixels++;
  refuseClientInput(b->client, "");
  logProblem(flushServerLink(link), __FILE__, __LINE__);
  return true;
}

}  // namespace palvon

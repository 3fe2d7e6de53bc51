// Pixel and image conversion between a client's visual and a head's.
#include "Proxy/visuals/pixels.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "Proxy/dispatch/renderhook.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

// One channel: its mask, the shift of its lowest bit and its width. Taken
// from the mask so that a record whose counts are not filled still works.
struct Channel {
  u32 mask, shift, bits;
};

Channel channelOf(u32 mask) { return {mask, mask ? u32(std::countr_zero(mask)) : 0, u32(std::popcount(mask))}; }

// A channel value moved between widths by plain shifts.
u32 moveChannel(u32 pixel, const Channel& from, const Channel& to) {
  u32 v = (pixel & from.mask) >> from.shift;
  if (to.bits > from.bits) v <<= to.bits - from.bits;
  else v >>= from.bits - to.bits;
  return (v << to.shift) & to.mask;
}

// The conversion of one visual pair, computed once per image.
struct PixelConverter {
  bool emulatedTarget;   // to an emulated head visual: index into every channel
  bool emulatedSource;   // from an emulated head visual: the red channel
  u32 indexModulus;
  Channel from[3], to[3];

  u32 operator()(u32 pixel) const {
    if (pixel == 0xffffffffu) return pixel;
    if (emulatedTarget) {
      u32 index = indexModulus ? pixel % indexModulus : pixel;
      u32 out = 0;
      for (const Channel& c : to) out |= (index << c.shift) & c.mask;
      return out;
    }
    if (emulatedSource) return (pixel & from[0].mask) >> from[0].shift;
    u32 out = 0;
    for (int i = 0; i < 3; i++) out |= moveChannel(pixel, from[i], to[i]);
    return out;
  }
};

PixelConverter toHead(const VisualRecord* c, const VisualRecord* h) {
  PixelConverter p{};
  p.emulatedTarget = h->emulatedVisualId != 0;
  p.indexModulus = c->colormapSize;
  p.from[0] = channelOf(c->redMask), p.from[1] = channelOf(c->greenMask), p.from[2] = channelOf(c->blueMask);
  p.to[0] = channelOf(h->redMask), p.to[1] = channelOf(h->greenMask), p.to[2] = channelOf(h->blueMask);
  return p;
}

PixelConverter fromHead(const VisualRecord* h, const VisualRecord* c) {
  PixelConverter p{};
  p.emulatedSource = h->emulatedVisualId != 0;
  p.from[0] = channelOf(h->redMask), p.from[1] = channelOf(h->greenMask), p.from[2] = channelOf(h->blueMask);
  p.to[0] = channelOf(c->redMask), p.to[1] = channelOf(c->greenMask), p.to[2] = channelOf(c->blueMask);
  return p;
}

// The Xlib visual of a head's server with that id (no request: Xlib keeps
// the screen's visuals).
Visual* xlibVisual(Display* display, u32 screen, u32 visualId) {
  if (!display || int(screen) >= ScreenCount(display)) return nullptr;
  Screen* s = ScreenOfDisplay(display, int(screen));
  for (int d = 0; d < s->ndepths; d++) {
    for (int v = 0; v < s->depths[d].nvisuals; v++) {
      if (s->depths[d].visuals[v].visualid == visualId) return &s->depths[d].visuals[v];
    }
  }
  return nullptr;
}

// The quarter turn that undoes the head's.
int inverseRotation(u32 rotation) { return int((4 - (rotation & 3)) & 3); }

// A head size back in meta pixels.
void metaSizeOf(const Head* head, u32* width, u32* height) {
  if (!head->scaler) return;
  u16 w = u16(std::min<u32>(*width, 65535)), h = u16(std::min<u32>(*height, 65535));
  unscaleSize(head->scaler, &w, &h);
  *width = w, *height = h;
}

}  // namespace

bool headVisualConverts(const VisualRecord* c, const VisualRecord* h) {
  if (c->visualClass == TrueColor || c->visualClass == DirectColor)
    return h->redMask != c->redMask || h->greenMask != c->greenMask || h->blueMask != c->blueMask;
  return h->emulatedVisualId != 0;
}

const VisualRecord* getHeadVisualIfConverting(const VisualRecord* c, const Head* head) {
  if (head->pixelsAsIs) return nullptr;
  const VisualRecord* h = c ? headVisualMatch(head, c) : nullptr;
  return h && headVisualConverts(c, h) ? h : nullptr;
}

u32 rescalePixelToHead(u32 pixel, const VisualRecord* c, const VisualRecord* h) { return toHead(c, h)(pixel); }

u32 rescalePixelFromHead(u32 pixel, const VisualRecord* h, const VisualRecord* c) { return fromHead(h, c)(pixel); }

u32 convertPixelToHead(u32 pixel, const VisualRecord* c, const Head* head) {
  const VisualRecord* h = getHeadVisualIfConverting(c, head);
  return h && pixel != 0xffffffffu ? rescalePixelToHead(pixel, c, h) : pixel;
}

u32 convertPixelFromHead(u32 pixel, const VisualRecord* c, const Head* head) {
  const VisualRecord* h = getHeadVisualIfConverting(c, head);
  return h && pixel != 0xffffffffu ? rescalePixelFromHead(pixel, h, c) : pixel;
}

u32 mapDepthForHead(u32 depth, const Head* head) {
  return depth < head->depthTableSize ? head->depthTable[depth] : depth;
}

u32 drawableDepthOnHead(const VisualRecord* visual, u32 depth, const Head* head) {
  const VisualRecord* match = visual ? headVisualMatch(head, visual) : nullptr;
  if (!match) return mapDepthForHead(depth, head);
  return match->emulatedVisualId ? match->emulatedDepth : match->depth;
}

XImage* convertImageForHead(XImage* image, const VisualRecord* c, const Head* head, u32 width, u32 height) {
  const VisualRecord* h = image->depth >= 2 && c ? getHeadVisualIfConverting(c, head) : nullptr;
  u32 depth = h ? (h->emulatedVisualId ? h->emulatedDepth : h->depth) : mapDepthForHead(u32(image->depth), head);
  bool sameGeometry = !head->scaler && width == u32(image->width) && height == u32(image->height);
  if (!h && sameGeometry && depth == u32(image->depth) && ximageMatchesDisplay(image, head->display)) return image;
  u32 format = image->format == XYPixmap && depth >= 2 ? u32(ZPixmap) : u32(image->format);
  Visual* visual = h ? xlibVisual(head->display, head->screen, h->visualId) : nullptr;
  const ImageFormat* layout = ximageFormatForDisplay(head->display, format, depth, visual);
  XImage* out = ximageCreateWithData(layout, int(width), int(height));
  if (!out) {
    PALVON_OOM();
    return nullptr;
  }
  XImage* source = image;
  XImage* converted = nullptr;
  if (h) {
    // Converted before the scaled copy: a pixel of a deeper client visual
    // would lose its high bits in a shallower head image.
    converted = ximageCreateWithData(layout, image->width, image->height);
    if (!converted) {
      XDestroyImage(out);
      PALVON_OOM();
      return nullptr;
    }
    PixelConverter convert = toHead(c, h);
    for (int y = image->height; y-- > 0;)
      for (int x = image->width; x-- > 0;) XPutPixel(converted, x, y, convert(u32(XGetPixel(image, x, y))));
    source = converted;
  }
  if (sameGeometry) ximageCopyAll(source, out, 0, 0);
  else ximageCopyScaled(source, 0, 0, source->width, source->height, out, 0, 0, int(width), int(height),
                        int(head->rotation & 3));
  if (converted) XDestroyImage(converted);
  return out;
}

XImage* convertImageToDepth(XImage* image, u32 depth, bool* owned, const Head* head) {
  if (!head->scaler && depth == u32(image->depth)) return image;
  u32 width = u32(image->width), height = u32(image->height);
  metaSizeOf(head, &width, &height);
  u32 format = depth >= 2 ? u32(ZPixmap) : u32(image->format);
  XImage* out = ximageCreateWithData(ximageFormatForDisplay(head->display, format, depth, nullptr), int(width),
                                     int(height));
  if (!out) {
    PALVON_OOM();
    return nullptr;
  }
  ximageCopyScaled(image, 0, 0, image->width, image->height, out, 0, 0, int(width), int(height),
                   inverseRotation(head->rotation));
  if (*owned) XDestroyImage(image);
  *owned = true;
  return out;
}

XImage* scaleImageToScratch(XImage* image, u32 depth, const Head* head) {
  static XImage scratch;
  static char* storage;
  static size_t storageSize;
  u32 width = u32(image->width), height = u32(image->height);
  metaSizeOf(head, &width, &height);
  const ImageFormat* layout = depth == 1 ? ximageBitmapFormat() : ximageZPixmapFormat(depth);
  // Sized from a first set-up without data, then grown only when needed.
  XImage probe{};
  char dummy;
  ximageInit(&probe, int(width), int(height), 0, &dummy, layout);
  size_t need = size_t(probe.bytes_per_line) * height;
  if (need > storageSize) {
    char* grown = static_cast<char*>(realloc(storage, need ? need : 1));
    if (!grown) {
      XDestroyImage(image);
      PALVON_OOM();
      return nullptr;
    }
    storage = grown, storageSize = need;
  }
  ximageInit(&scratch, int(width), int(height), 0, storage, layout);
  ximageCopyScaled(image, 0, 0, image->width, image->height, &scratch, 0, 0, int(width), int(height),
                   inverseRotation(head->rotation));
  XDestroyImage(image);
  return &scratch;
}

// --- Image sets -----------------------------------------------------------------------

namespace {

// One plane of a record scaled and turned for the head into new data.
u8* scalePlane(const u8* data, u32 width, u32 height, u32 depth, const Head* head, u16* outWidth, u16* outHeight) {
  const ImageFormat* layout = depth == 1 ? ximageBitmapFormat() : ximageZPixmapFormat(depth);
  XImage source{};
  if (!ximageInit(&source, int(width), int(height), 0, const_cast<char*>(reinterpret_cast<const char*>(data)), layout))
    return nullptr;
  u16 w = u16(width), h = u16(height);
  scaleSize(head->scaler, &w, &h);
  XImage* out = ximageCreateWithData(depth == 1 ? ximageBitmapFormat() : ximageZPixmapFormat(depth), w, h);
  if (!out) return nullptr;
  if (w && h && width && height)
    ximageCopyScaled(&source, 0, 0, int(width), int(height), out, 0, 0, w, h, int(head->rotation & 3));
  size_t size = size_t(out->bytes_per_line) * h;
  u8* copy = static_cast<u8*>(memdup(out->data, size ? size : 1));
  XDestroyImage(out);
  *outWidth = w, *outHeight = h;
  return copy;
}

size_t planeSize(u32 width, u32 height, u32 depth) {
  XImage probe{};
  char dummy;
  ximageInit(&probe, int(width), int(height), 0, &dummy, depth == 1 ? ximageBitmapFormat() : ximageZPixmapFormat(depth));
  return size_t(probe.bytes_per_line) * height;
}

}  // namespace

HeadImageRecord* convertImageSetForHead(const HeadImageRecord* records, u32 count, const Head* head) {
  auto* out = static_cast<HeadImageRecord*>(memCalloc(std::max(count, 1u), sizeof(HeadImageRecord)));
  if (!out) return nullptr;
  // Zoom and rotation both come with a scaler.
  bool changes = head->scaler != nullptr;
  for (u32 i = 0; i < count; i++) {
    const HeadImageRecord& r = records[i];
    HeadImageRecord& o = out[i];
    o = r;
    o.data = o.mask = nullptr;
    if (changes) {
      o.data = scalePlane(r.data, r.width, r.height, r.depth, head, &o.width, &o.height);
      i32 x = r.hotX, y = r.hotY;
      scalePointInSize(head->scaler, &x, &y, r.width, r.height);
      o.hotX = i16(std::clamp(x, 0, std::max(i32(o.width) - 1, 0)));
      o.hotY = i16(std::clamp(y, 0, std::max(i32(o.height) - 1, 0)));
    } else {
      o.data = static_cast<u8*>(memdup(r.data, std::max<size_t>(planeSize(r.width, r.height, r.depth), 1)));
    }
    bool failed = !o.data;
    if (r.pictFormat) {
      o.pictFormat = pictFormatForHead(r.pictFormat, head);
    } else if (r.mask && !failed) {
      u16 w, h;
      o.mask = changes ? scalePlane(r.mask, r.width, r.height, 1, head, &w, &h)
                       : static_cast<u8*>(memdup(r.mask, std::max<size_t>(planeSize(r.width, r.height, 1), 1)));
      failed = !o.mask;
    }
    if (failed) {
      freeImageSet(out, i + 1);
      PALVON_OOM();
      return nullptr;
    }
  }
  return out;
}

void freeImageSet(HeadImageRecord* records, u32 count) {
  if (!records) return;
  for (u32 i = 0; i < count; i++) {
    free(records[i].data);
    free(records[i].mask);
  }
  free(records);
}

}  // namespace palvon

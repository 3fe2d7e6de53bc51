// Pixel and image conversion between a client's visual and a head's.
#include "Proxy/visuals/pixels.h"

#include <X11/Xutil.h>
#include <emmintrin.h>

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

namespace {

// Pixel data kept from one image to the next: grown when an image needs
// more, never shrunk.
struct ImageScratch {
  XImage image;
  char* storage;
  size_t size;
};

// The scratch image set up with that layout and size; null on exhausted
// memory.
XImage* fitScratch(ImageScratch* scratch, const ImageFormat* layout, u32 width, u32 height) {
  // Sized from a first set-up without data, then grown only when needed.
  XImage probe{};
  char dummy;
  if (!ximageInit(&probe, int(width), int(height), 0, &dummy, layout)) return nullptr;
  size_t need = size_t(probe.bytes_per_line) * height;
  if (need > scratch->size || !scratch->storage) {
    char* grown = static_cast<char*>(realloc(scratch->storage, need ? need : 1));
    if (!grown) return nullptr;
    scratch->storage = grown, scratch->size = need;
  }
  ximageInit(&scratch->image, int(width), int(height), 0, scratch->storage, layout);
  return &scratch->image;
}

// Every pixel of `source` converted into `out`, of the same size. Pixels of
// 8 bits (every image of an 8-bit emulated visual) go through a table of
// their 256 values, row by row; others one by one.
// Colour indexes of 8 bits spread into every channel of native 32-bit head
// pixels, 16 at a time: ((i << shift) & mask) per channel, i kept within
// `keep` (a colormap of fewer than 256 cells takes the index modulo its
// size, a power of two).
void spreadIndexes(const u8* in, u8* out, int width, u32 keep, const Channel* to) {
  const __m128i zero = _mm_setzero_si128(), keep8 = _mm_set1_epi8(char(keep));
  const __m128i s0 = _mm_cvtsi32_si128(int(to[0].shift)), s1 = _mm_cvtsi32_si128(int(to[1].shift)),
                s2 = _mm_cvtsi32_si128(int(to[2].shift));
  const __m128i m0 = _mm_set1_epi32(int(to[0].mask)), m1 = _mm_set1_epi32(int(to[1].mask)),
                m2 = _mm_set1_epi32(int(to[2].mask));
  auto spread = [&](__m128i i) {
    return _mm_or_si128(_mm_or_si128(_mm_and_si128(_mm_sll_epi32(i, s0), m0), _mm_and_si128(_mm_sll_epi32(i, s1), m1)),
                        _mm_and_si128(_mm_sll_epi32(i, s2), m2));
  };
  int x = 0;
  // Channels of whole bytes (the usual 24-bit head): each pixel is its
  // index repeated in every byte, less the bytes of no channel.
  bool wholeBytes = true;
  for (int c = 0; c < 3; c++) wholeBytes = wholeBytes && to[c].shift % 8 == 0 && to[c].mask == 0xffu << to[c].shift;
  if (wholeBytes) {
    const __m128i channels = _mm_set1_epi32(int(to[0].mask | to[1].mask | to[2].mask));
    for (; x + 16 <= width; x += 16) {
      __m128i bytes = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x)), keep8);
      __m128i low = _mm_unpacklo_epi8(bytes, bytes), high = _mm_unpackhi_epi8(bytes, bytes);
      __m128i* at = reinterpret_cast<__m128i*>(out + 4 * size_t(x));
      _mm_storeu_si128(at, _mm_and_si128(_mm_unpacklo_epi16(low, low), channels));
      _mm_storeu_si128(at + 1, _mm_and_si128(_mm_unpackhi_epi16(low, low), channels));
      _mm_storeu_si128(at + 2, _mm_and_si128(_mm_unpacklo_epi16(high, high), channels));
      _mm_storeu_si128(at + 3, _mm_and_si128(_mm_unpackhi_epi16(high, high), channels));
    }
  }
  for (; x + 16 <= width; x += 16) {
    __m128i bytes = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x)), keep8);
    __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
    __m128i* at = reinterpret_cast<__m128i*>(out + 4 * size_t(x));
    _mm_storeu_si128(at, spread(_mm_unpacklo_epi16(low, zero)));
    _mm_storeu_si128(at + 1, spread(_mm_unpackhi_epi16(low, zero)));
    _mm_storeu_si128(at + 2, spread(_mm_unpacklo_epi16(high, zero)));
    _mm_storeu_si128(at + 3, spread(_mm_unpackhi_epi16(high, zero)));
  }
  for (; x < width; x++) {
    u32 i = in[x] & keep;
    u32 pixel = ((i << to[0].shift) & to[0].mask) | ((i << to[1].shift) & to[1].mask) | ((i << to[2].shift) & to[2].mask);
    std::memcpy(out + 4 * size_t(x), &pixel, 4);
  }
}

void convertPixels(XImage* source, XImage* out, const PixelConverter& convert) {
  int width = source->width, height = source->height;
  if (source->format != ZPixmap || source->bits_per_pixel != 8) {
    for (int y = 0; y < height; y++)
      for (int x = 0; x < width; x++) XPutPixel(out, x, y, convert(u32(XGetPixel(source, x, y))));
    return;
  }
  const int nativeOrder = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
  bool words = out->format == ZPixmap && out->bits_per_pixel == 32;
  const u8* in = reinterpret_cast<const u8*>(source->data);
  u8* row = reinterpret_cast<u8*>(out->data);
  size_t inStep = size_t(source->bytes_per_line), outStep = size_t(out->bytes_per_line);
  u32 modulus = convert.indexModulus;
  if (words && out->byte_order == nativeOrder && convert.emulatedTarget && modulus && !(modulus & (modulus - 1))) {
    u32 keep = modulus >= 256 ? 0xff : modulus - 1;
    for (int y = 0; y < height; y++, in += inStep, row += outStep) spreadIndexes(in, row, width, keep, convert.to);
    return;
  }
  u32 table[256];
  for (u32 i = 0; i < 256; i++) table[i] = convert(i);
  if (words && out->byte_order != nativeOrder)
    for (u32& entry : table) entry = __builtin_bswap32(entry);
  for (int y = 0; y < height; y++, in += inStep, row += outStep) {
    if (!words) {
      for (int x = 0; x < width; x++) XPutPixel(out, x, y, table[in[x]]);
      continue;
    }
    for (int x = 0; x < width; x++) std::memcpy(row + 4 * size_t(x), &table[in[x]], 4);
  }
}

// How a client image becomes a head's: the head's visual when pixels
// convert, the layout of the result, and whether the image serves as it is.
struct HeadImagePlan {
  const VisualRecord* visual;
  const ImageFormat* layout;  // ximageFormatForDisplay's record: use at once
  bool asIs;
};

HeadImagePlan planHeadImage(XImage* image, const VisualRecord* c, const Head* head, u32 width, u32 height) {
  HeadImagePlan plan{};
  const VisualRecord* h = image->depth >= 2 && c ? getHeadVisualIfConverting(c, head) : nullptr;
  u32 depth = h ? (h->emulatedVisualId ? h->emulatedDepth : h->depth) : mapDepthForHead(u32(image->depth), head);
  plan.visual = h;
  bool sameGeometry = !head->scaler && width == u32(image->width) && height == u32(image->height);
  plan.asIs = !h && sameGeometry && depth == u32(image->depth) && ximageMatchesDisplay(image, head->display);
  if (plan.asIs) return plan;
  u32 format = image->format == XYPixmap && depth >= 2 ? u32(ZPixmap) : u32(image->format);
  Visual* visual = h ? xlibVisual(head->display, head->screen, h->visualId) : nullptr;
  plan.layout = ximageFormatForDisplay(head->display, format, depth, visual);
  return plan;
}

// The layout of an image, for an image like it.
ImageFormat layoutOf(const XImage* image) {
  return {u32(image->format), u32(image->depth), u32(image->bits_per_pixel), u32(image->bitmap_unit),
          u32(image->byte_order), u32(image->bitmap_bit_order), u32(image->bitmap_pad), u32(image->red_mask),
          u32(image->green_mask), u32(image->blue_mask)};
}

// Fills `out`, laid out for the head, from the client image, whose pixels
// convert to the head visual h (null: none); false on exhausted memory.
bool fillHeadImage(XImage* image, const VisualRecord* c, const VisualRecord* h, const Head* head, XImage* out) {
  bool sameGeometry = !head->scaler && out->width == image->width && out->height == image->height;
  if (!h) {
    if (sameGeometry) ximageCopyAll(image, out, 0, 0);
    else ximageCopyScaled(image, 0, 0, image->width, image->height, out, 0, 0, out->width, out->height,
                          int(head->rotation & 3));
    return true;
  }
  PixelConverter convert = toHead(c, h);
  if (sameGeometry) {
    convertPixels(image, out, convert);
    return true;
  }
  // Converted before the scaled copy: a pixel of a deeper client visual
  // would lose its high bits in a shallower head image.
  ImageFormat layout = layoutOf(out);
  XImage* converted = ximageCreateWithData(&layout, image->width, image->height);
  if (!converted) return false;
  convertPixels(image, converted, convert);
  ximageCopyScaled(converted, 0, 0, converted->width, converted->height, out, 0, 0, out->width, out->height,
                   int(head->rotation & 3));
  XDestroyImage(converted);
  return true;
}

}  // namespace

XImage* convertImageForHead(XImage* image, const VisualRecord* c, const Head* head, u32 width, u32 height) {
  HeadImagePlan plan = planHeadImage(image, c, head, width, height);
  if (plan.asIs) return image;
  XImage* out = ximageCreateWithData(plan.layout, int(width), int(height));
  if (!out || !fillHeadImage(image, c, plan.visual, head, out)) {
    if (out) XDestroyImage(out);
    PALVON_OOM();
    return nullptr;
  }
  return out;
}

XImage* convertImageForHeadToScratch(XImage* image, const VisualRecord* c, const Head* head, u32 width,
                                     u32 height) {
  static ImageScratch scratch;
  HeadImagePlan plan = planHeadImage(image, c, head, width, height);
  if (plan.asIs) return image;
  XImage* out = fitScratch(&scratch, plan.layout, width, height);
  if (!out || !fillHeadImage(image, c, plan.visual, head, out)) {
    PALVON_OOM();
    return nullptr;
  }
  return out;
}

bool headImageLayout(XImage* image, const VisualRecord* c, const Head* head, u32 width, u32 height, XImage* out) {
  HeadImagePlan plan = planHeadImage(image, c, head, width, height);
  char dummy;
  if (plan.asIs || !ximageInit(out, int(width), int(height), 0, &dummy, plan.layout)) return false;
  out->data = nullptr;
  return true;
}

bool convertImageInto(XImage* image, const VisualRecord* c, const Head* head, XImage* out) {
  const VisualRecord* h = image->depth >= 2 && c ? getHeadVisualIfConverting(c, head) : nullptr;
  if (fillHeadImage(image, c, h, head, out)) return true;
  PALVON_OOM();
  return false;
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
  static ImageScratch scratch;
  u32 width = u32(image->width), height = u32(image->height);
  metaSizeOf(head, &width, &height);
  const ImageFormat* layout = depth == 1 ? ximageBitmapFormat() : ximageZPixmapFormat(depth);
  XImage* out = fitScratch(&scratch, layout, width, height);
  if (!out) {
    XDestroyImage(image);
    PALVON_OOM();
    return nullptr;
  }
  ximageCopyScaled(image, 0, 0, image->width, image->height, out, 0, 0, int(width), int(height),
                   inverseRotation(head->rotation));
  XDestroyImage(image);
  return out;
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

#include "xsupport/ximage.h"

#include <stdlib.h>
#include <string.h>

#include <X11/Xutil.h>
extern "C" {
#include <X11/ImUtil.h>  // declares its C functions without C linkage
}

#include "base/logging.h"
#include "base/wordswap.h"
#include "xsupport/misc.h"

namespace palvon {

// --- Format descriptors --------------------------------------------------------

const ImageFormat* ximageBitmapFormat() {
  static const ImageFormat format = {XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 8, 0, 0, 0};
  return &format;
}

const ImageFormat* ximageZPixmapFormat(u32 depth) {
  static ImageFormat format;
  format = ImageFormat{ZPixmap, depth, depth, 8, LSBFirst, LSBFirst, 8, 0, 0, 0};
  return &format;
}

namespace {

// Bits per pixel and scanline pad of the last pixmap format of that depth.
// Read where Xlib keeps the connection's formats, as its own macros read
// the display's byte order: XListPixmapFormats would allocate a copy of
// them for every image.
bool pixmapFormatOfDepth(Display* display, int depth, int* bitsPerPixel, int* pad) {
  const auto* d = reinterpret_cast<_XPrivDisplay>(display);
  bool found = false;
  for (int i = 0; i < d->nformats; i++) {
    const ScreenFormat& f = d->pixmap_format[i];
    if (f.depth != depth) continue;
    *bitsPerPixel = f.bits_per_pixel;
    *pad = f.scanline_pad;
    found = true;
  }
  return found;
}

}  // namespace

const ImageFormat* ximageFormatForDisplay(Display* display, u32 format, u32 depth, Visual* visual) {
  static ImageFormat result;
  result = ImageFormat{};
  result.format = format;
  result.depth = depth;
  result.byteOrder = static_cast<u32>(ImageByteOrder(display));
  result.bitmapUnit = static_cast<u32>(BitmapUnit(display));
  result.bitOrder = static_cast<u32>(BitmapBitOrder(display));
  if (visual && depth >= 2) {
    result.redMask = static_cast<u32>(visual->red_mask);
    result.greenMask = static_cast<u32>(visual->green_mask);
    result.blueMask = static_cast<u32>(visual->blue_mask);
  }
  int bitsPerPixel = 1, pad = BitmapPad(display);
  if (format == ZPixmap) pixmapFormatOfDepth(display, static_cast<int>(depth), &bitsPerPixel, &pad);
  result.bitsPerPixel = static_cast<u32>(bitsPerPixel);
  result.scanlinePad = static_cast<u32>(pad);
  return &result;
}

// --- Pixel callbacks --------------------------------------------------------------

namespace {

inline u8* rowOf(XImage* image, int y) {
  return reinterpret_cast<u8*>(image->data) + static_cast<size_t>(y) * static_cast<size_t>(image->bytes_per_line);
}

inline int putBit(u8* byte, u8 bit, unsigned long value) {
  if (value & 1) {
    *byte |= bit;
  } else {
    *byte &= static_cast<u8>(~bit);
  }
  return 1;
}

unsigned long ximageGetPixel1Msb(XImage* image, int x, int y) {
  return (rowOf(image, y)[x >> 3] & (0x80 >> (x & 7))) ? 1 : 0;
}
int ximagePutPixel1Msb(XImage* image, int x, int y, unsigned long value) {
  return putBit(&rowOf(image, y)[x >> 3], static_cast<u8>(0x80 >> (x & 7)), value);
}
unsigned long ximageGetPixel1MsbOffset(XImage* image, int x, int y) {
  return ximageGetPixel1Msb(image, x + image->xoffset, y);
}
int ximagePutPixel1MsbOffset(XImage* image, int x, int y, unsigned long value) {
  return ximagePutPixel1Msb(image, x + image->xoffset, y, value);
}
unsigned long ximageGetPixel1Lsb(XImage* image, int x, int y) {
  return (rowOf(image, y)[x >> 3] & (1 << (x & 7))) ? 1 : 0;
}
int ximagePutPixel1Lsb(XImage* image, int x, int y, unsigned long value) {
  return putBit(&rowOf(image, y)[x >> 3], static_cast<u8>(1 << (x & 7)), value);
}
unsigned long ximageGetPixel1LsbOffset(XImage* image, int x, int y) {
  return ximageGetPixel1Lsb(image, x + image->xoffset, y);
}
int ximagePutPixel1LsbOffset(XImage* image, int x, int y, unsigned long value) {
  return ximagePutPixel1Lsb(image, x + image->xoffset, y, value);
}
unsigned long ximageGetPixel8(XImage* image, int x, int y) { return rowOf(image, y)[x]; }
int ximagePutPixel8(XImage* image, int x, int y, unsigned long value) {
  rowOf(image, y)[x] = static_cast<u8>(value);
  return 1;
}
unsigned long ximageGetPixel32Native(XImage* image, int x, int y) {
  u32 value;
  memcpy(&value, rowOf(image, y) + 4 * static_cast<size_t>(x), 4);
  return value;
}
int ximagePutPixel32Native(XImage* image, int x, int y, unsigned long value) {
  u32 word = static_cast<u32>(value);
  memcpy(rowOf(image, y) + 4 * static_cast<size_t>(x), &word, 4);
  return 1;
}
unsigned long ximageGetPixel32Msb(XImage* image, int x, int y) {
  const u8* p = rowOf(image, y) + 4 * static_cast<size_t>(x);
  return static_cast<unsigned long>(p[0]) << 24 | static_cast<unsigned long>(p[1]) << 16 |
         static_cast<unsigned long>(p[2]) << 8 | p[3];
}
int ximagePutPixel32Msb(XImage* image, int x, int y, unsigned long value) {
  u8* p = rowOf(image, y) + 4 * static_cast<size_t>(x);
  p[0] = static_cast<u8>(value >> 24);
  p[1] = static_cast<u8>(value >> 16);
  p[2] = static_cast<u8>(value >> 8);
  p[3] = static_cast<u8>(value);
  return 1;
}
unsigned long ximageGetPixel32Lsb(XImage* image, int x, int y) {
  const u8* p = rowOf(image, y) + 4 * static_cast<size_t>(x);
  return static_cast<unsigned long>(p[3]) << 24 | static_cast<unsigned long>(p[2]) << 16 |
         static_cast<unsigned long>(p[1]) << 8 | p[0];
}
int ximagePutPixel32Lsb(XImage* image, int x, int y, unsigned long value) {
  u8* p = rowOf(image, y) + 4 * static_cast<size_t>(x);
  p[0] = static_cast<u8>(value);
  p[1] = static_cast<u8>(value >> 8);
  p[2] = static_cast<u8>(value >> 16);
  p[3] = static_cast<u8>(value >> 24);
  return 1;
}

using GetPixel = unsigned long (*)(XImage*, int, int);
using PutPixel = int (*)(XImage*, int, int, unsigned long);

void setFuncs(XImage* image, GetPixel get, PutPixel put) {
  image->f.get_pixel = get;
  image->f.put_pixel = put;
}

}  // namespace

void ximageSetPixelFuncs(XImage* image) {
  if (image->bits_per_pixel == 1 && image->depth == 1) {
    bool offset = image->xoffset != 0;
    if (image->byte_order == MSBFirst && image->bitmap_bit_order == MSBFirst) {
      if (offset) setFuncs(image, ximageGetPixel1MsbOffset, ximagePutPixel1MsbOffset);
      else setFuncs(image, ximageGetPixel1Msb, ximagePutPixel1Msb);
    } else if (image->byte_order == LSBFirst && image->bitmap_bit_order == LSBFirst) {
      if (offset) setFuncs(image, ximageGetPixel1LsbOffset, ximagePutPixel1LsbOffset);
      else setFuncs(image, ximageGetPixel1Lsb, ximagePutPixel1Lsb);
    }
    return;
  }
  if (image->format != ZPixmap) return;
  if (image->bits_per_pixel == 8) {
    setFuncs(image, ximageGetPixel8, ximagePutPixel8);
  } else if (image->bits_per_pixel == 32) {
    if (image->byte_order == LSBFirst) setFuncs(image, ximageGetPixel32Native, ximagePutPixel32Native);
    else if (image->byte_order == MSBFirst) setFuncs(image, ximageGetPixel32Msb, ximagePutPixel32Msb);
    else setFuncs(image, ximageGetPixel32Lsb, ximagePutPixel32Lsb);
  }
}

// --- Set-up --------------------------------------------------------------------

namespace {

u64 bytesPerLineOf(u64 xOffset, u64 width, const ImageFormat* format) {
  u64 pad = format->scanlinePad ? format->scanlinePad : 8;
  return ((xOffset + width) * format->bitsPerPixel + pad - 1) / pad * (pad / 8);
}

void fillImage(XImage* image, int width, int height, int xOffset, const ImageFormat* format) {
  image->width = width;
  image->height = height;
  image->xoffset = xOffset;
  image->format = static_cast<int>(format->format);
  image->byte_order = static_cast<int>(format->byteOrder);
  image->bitmap_unit = static_cast<int>(format->bitmapUnit);
  image->bitmap_bit_order = static_cast<int>(format->bitOrder);
  image->bitmap_pad = static_cast<int>(format->scanlinePad);
  image->depth = static_cast<int>(format->depth);
  image->bits_per_pixel = static_cast<int>(format->bitsPerPixel);
  image->red_mask = format->redMask;
  image->green_mask = format->greenMask;
  image->blue_mask = format->blueMask;
  image->obdata = nullptr;
}

int destroyWholeBlock(XImage* image) {
  free(image);
  return 1;
}

}  // namespace

int ximageInit(XImage* image, int width, int height, int xOffset, char* data, const ImageFormat* format) {
  if (width < 0 || height < 0 || xOffset < 0) return 0;
  fillImage(image, width, height, xOffset, format);
  u64 perLine = bytesPerLineOf(static_cast<u64>(xOffset), static_cast<u64>(width), format);
  if (perLine > 0x7fffffff) return 0;
  image->bytes_per_line = static_cast<int>(perLine);
  image->data = data;
  if (!data) {
    u64 size = perLine * static_cast<u64>(height) * (format->format == XYPixmap ? format->depth : 1);
    image->data = static_cast<char*>(malloc(size ? size : 1));
    if (!image->data) return 0;
  }
  _XInitImageFuncPtrs(image);
  ximageSetPixelFuncs(image);
  return 1;
}

XImage* ximageCreateWithData(const ImageFormat* format, int width, int height) {
  if (width < 0 || height < 0) return nullptr;
  u64 perLine = bytesPerLineOf(0, static_cast<u64>(width), format);
  // XYPixmap data holds one such block per plane.
  u64 size = perLine * static_cast<u64>(height) * (format->format == XYPixmap ? format->depth : 1);
  if (perLine > 0x7fffffff || size > (u64{1} << 40)) return nullptr;
  auto* image = static_cast<XImage*>(calloc(1, sizeof(XImage) + size));
  if (!image) return nullptr;
  fillImage(image, width, height, 0, format);
  image->bytes_per_line = static_cast<int>(perLine);
  image->data = reinterpret_cast<char*>(image + 1);
  XInitImage(image);
  image->f.destroy_image = destroyWholeBlock;
  ximageSetPixelFuncs(image);
  return image;
}

bool ximageDefaultFormat(Display* display, XImage* out) {
  int screen = DefaultScreen(display);
  XImage* image = XCreateImage(display, DefaultVisual(display, screen),
                               static_cast<unsigned>(DefaultDepth(display, screen)), XYPixmap, 0, nullptr,
                               1, 1, BitmapPad(display), 0);
  if (!image) return false;
  *out = *image;
  out->data = nullptr;
  XDestroyImage(image);
  return true;
}

bool ximageSameFormat(Display* a, Display* b, int format, int depth) {
  if (a == b) return true;
  if (ImageByteOrder(a) != ImageByteOrder(b) || BitmapBitOrder(a) != BitmapBitOrder(b) ||
      BitmapUnit(a) != BitmapUnit(b) || BitmapPad(a) != BitmapPad(b)) {
    return false;
  }
  if (format != ZPixmap) return true;
  int bitsA = 0, padA = 0, bitsB = 0, padB = 0;
  bool hasA = pixmapFormatOfDepth(a, depth, &bitsA, &padA);
  bool hasB = pixmapFormatOfDepth(b, depth, &bitsB, &padB);
  return hasA == hasB && bitsA == bitsB && padA == padB;
}

bool ximageMatchesDisplay(const XImage* image, Display* display) {
  if (image->byte_order != ImageByteOrder(display) || image->bitmap_unit != BitmapUnit(display) ||
      image->bitmap_bit_order != BitmapBitOrder(display)) {
    return false;
  }
  int pad = BitmapPad(display);
  if (image->format == ZPixmap) {
    int bits = 0;
    if (!pixmapFormatOfDepth(display, image->depth, &bits, &pad)) return false;
  }
  return image->bitmap_pad == pad;
}

Pixmap ximageToPixmap(XImage* image, Display* display, int screen) {
  GC gc = getDepthGC(display, screen, image->depth);
  if (!gc || image->width < 1 || image->height < 1) return 0;
  Pixmap pixmap = XCreatePixmap(display, RootWindow(display, screen), static_cast<unsigned>(image->width),
                                static_cast<unsigned>(image->height), static_cast<unsigned>(image->depth));
  XPutImage(display, pixmap, gc, image, 0, 0, 0, 0, static_cast<unsigned>(image->width),
            static_cast<unsigned>(image->height));
  return pixmap;
}

// --- Copies --------------------------------------------------------------------------

namespace {

// Cuts a copy rectangle so that it lies inside both images.
bool clipCopy(const XImage* source, int* x, int* y, int* width, int* height, const XImage* destination,
              int* dx, int* dy) {
  auto cut = [](int* s, int* d, int* n, int sLimit, int dLimit) {
    int shift = 0;
    if (*s < 0) shift = -*s;
    if (*d + shift < 0) shift = -*d;
    *s += shift;
    *d += shift;
    *n -= shift;
    if (*s + *n > sLimit) *n = sLimit - *s;
    if (*d + *n > dLimit) *n = dLimit - *d;
    return *n > 0;
  };
  return cut(x, dx, width, source->width, destination->width) &&
         cut(y, dy, height, source->height, destination->height);
}

bool canCopyBytes(const XImage* s, const XImage* d) {
  if (s->format != d->format || s->depth != d->depth || s->bits_per_pixel != d->bits_per_pixel ||
      s->bits_per_pixel % 8 != 0 || s->bitmap_unit != d->bitmap_unit || s->red_mask != d->red_mask ||
      s->green_mask != d->green_mask || s->blue_mask != d->blue_mask) {
    return false;
  }
  bool bitOrderMatters = !(s->format == ZPixmap && s->depth >= 2);
  return !bitOrderMatters || s->bitmap_bit_order == d->bitmap_bit_order;
}

void swapPixelBytes(u8* data, size_t bytes, int bitsPerPixel) {
  if (bitsPerPixel == 16) swapWords16(data, bytes / 2);
  else if (bitsPerPixel == 24) swapWords24(data, bytes / 3);
  else if (bitsPerPixel == 32) swapWords32(data, bytes / 4);
}

void copyBytes(XImage* s, int x, int y, int width, int height, XImage* d, int dx, int dy) {
  bool swap = s->byte_order != d->byte_order;
  size_t planes = s->format == XYPixmap ? static_cast<size_t>(s->depth) : 1;
  if (x == 0 && y == 0 && dx == 0 && dy == 0 && width == s->width && height == s->height &&
      d->height == height && s->xoffset == d->xoffset && s->bitmap_pad == d->bitmap_pad &&
      s->bytes_per_line == d->bytes_per_line) {
    size_t bytes = static_cast<size_t>(s->bytes_per_line) * static_cast<size_t>(height) * planes;
    memmove(d->data, s->data, bytes);
    if (swap) swapPixelBytes(reinterpret_cast<u8*>(d->data), bytes, s->bits_per_pixel);
    return;
  }
  size_t pixelBytes = static_cast<size_t>(s->bits_per_pixel / 8);
  size_t count = static_cast<size_t>(width) * pixelBytes;
  size_t from = static_cast<size_t>(s->xoffset + x) * pixelBytes;
  size_t to = static_cast<size_t>(d->xoffset + dx) * pixelBytes;
  for (int row = height - 1; row >= 0; row--) {
    u8* target = rowOf(d, dy + row) + to;
    memmove(target, rowOf(s, y + row) + from, count);
    if (swap) swapPixelBytes(target, count, s->bits_per_pixel);
  }
}

struct Channel {
  unsigned long sourceMask;
  int sourceShift;
  u64 sourceMax;
  int destinationShift;
  u64 destinationMax;
};

Channel channelOf(unsigned long sourceMask, unsigned long destinationMask) {
  Channel c = {};
  c.sourceMask = sourceMask;
  if (sourceMask) {
    c.sourceShift = __builtin_ctzl(sourceMask);
    c.sourceMax = sourceMask >> c.sourceShift;
  }
  if (destinationMask) {
    c.destinationShift = __builtin_ctzl(destinationMask);
    c.destinationMax = destinationMask >> c.destinationShift;
  }
  return c;
}

// A channel value rescaled to the destination's width: 5 bits of 31 become
// 8 bits of 255, not 31 of 255.
inline unsigned long moveChannel(const Channel& c, unsigned long pixel) {
  if (!c.sourceMax) return 0;
  u64 value = (pixel & c.sourceMask) >> c.sourceShift;
  if (c.sourceMax != c.destinationMax) value = (value * c.destinationMax + c.sourceMax / 2) / c.sourceMax;
  return static_cast<unsigned long>((value & c.destinationMax) << c.destinationShift);
}

void copyChannels(XImage* s, int x, int y, int width, int height, XImage* d, int dx, int dy) {
  Channel red = channelOf(s->red_mask, d->red_mask);
  Channel green = channelOf(s->green_mask, d->green_mask);
  Channel blue = channelOf(s->blue_mask, d->blue_mask);
  for (int row = 0; row < height; row++) {
    for (int column = 0; column < width; column++) {
      unsigned long pixel = XGetPixel(s, x + column, y + row);
      XPutPixel(d, dx + column, dy + row,
                moveChannel(red, pixel) | moveChannel(green, pixel) | moveChannel(blue, pixel));
    }
  }
}

}  // namespace

void ximageCopy(XImage* source, int x, int y, int width, int height, XImage* destination, int dx, int dy) {
  if (!clipCopy(source, &x, &y, &width, &height, destination, &dx, &dy)) return;
  if (canCopyBytes(source, destination)) {
    copyBytes(source, x, y, width, height, destination, dx, dy);
  } else if (source->red_mask && destination->red_mask &&
             (source->red_mask != destination->red_mask || source->green_mask != destination->green_mask ||
              source->blue_mask != destination->blue_mask)) {
    copyChannels(source, x, y, width, height, destination, dx, dy);
  } else {
    for (int row = 0; row < height; row++) {
      for (int column = 0; column < width; column++) {
        XPutPixel(destination, dx + column, dy + row, XGetPixel(source, x + column, y + row));
      }
    }
  }
}

void ximageCopyAll(XImage* source, XImage* destination, int dx, int dy) {
  ximageCopy(source, 0, 0, source->width, source->height, destination, dx, dy);
}

// --- Quarter turns ---------------------------------------------------------------

bool degreesToQuarterTurns(int degrees, int* quarters) {
  long angle = degrees;
  angle = angle < 0 ? (360 - (-angle % 360)) % 360 : angle % 360;
  if (angle % 90 != 0) return false;
  *quarters = static_cast<int>(angle / 90);
  return true;
}

// --- GL pixel-store layouts ----------------------------------------------------------

int ximagePixelStoreLayout(PixelStoreLayout* layout, u8* data, u32 width, u32 height, u32 skipPixels,
                           u32 skipRows, u32 elementSize, u32 components, u32 rowLength, int lsbFirst,
                           u32 alignment) {
  *layout = PixelStoreLayout{};
  u64 length = rowLength ? rowLength : width;
  u64 align = alignment ? alignment : 1;
  u64 stride;
  if (elementSize == 0) {
    layout->bitmap = 1;
    stride = (length + align * 8 - 1) / (align * 8) * align;
  } else {
    u64 pixelBytes = static_cast<u64>(elementSize) * components;
    layout->bytesPerPixel = static_cast<u32>(pixelBytes);
    stride = elementSize >= align ? pixelBytes * length : (pixelBytes * length + align - 1) / align * align;
  }
  u64 total = (static_cast<u64>(skipRows) + height) * stride;
  layout->stride = stride;
  layout->size = total;
  layout->skipPixels = skipPixels;
  layout->skipRows = skipRows;
  layout->lsbFirst = lsbFirst;
  layout->data = data ? data : static_cast<u8*>(malloc(total ? total : 1));
  return layout->data ? 1 : 0;
}

namespace {

inline u8* storeAddress(const PixelStoreLayout* layout, int x, int y, u8* bit) {
  size_t column = static_cast<size_t>(x) + layout->skipPixels;
  u8* row = layout->data + (static_cast<size_t>(y) + layout->skipRows) * layout->stride;
  if (!layout->bitmap) return row + column * layout->bytesPerPixel;
  *bit = static_cast<u8>(layout->lsbFirst ? 1 << (column & 7) : 0x80 >> (column & 7));
  return row + column / 8;
}

}  // namespace

u32 pixelStoreGet(const PixelStoreLayout* layout, int x, int y, u8* value) {
  u8 bit = 0;
  u8* p = storeAddress(layout, x, y, &bit);
  if (layout->bitmap) return *p & bit;
  memcpy(value, p, layout->bytesPerPixel);
  return 1;
}

void pixelStorePut(const PixelStoreLayout* layout, int x, int y, const u8* value) {
  u8 bit = 0;
  u8* p = storeAddress(layout, x, y, &bit);
  if (!layout->bitmap) {
    memcpy(p, value, layout->bytesPerPixel);
  } else if (value[0]) {
    *p |= bit;
  } else {
    *p &= static_cast<u8>(~bit);
  }
}

void ximageToPixelStore(XImage* image, int x, int y, int width, int height, const PixelStoreLayout* layout,
                        int lx, int ly) {
  u32 pixelBytes = layout->bytesPerPixel > 8 ? 8 : layout->bytesPerPixel;
  for (int k = 0; k < height; k++) {
    int row = ly + height - 1 - k;
    for (int column = 0; column < width; column++) {
      u64 pixel = XGetPixel(image, x + column, y + k);
      u8 bytes[8] = {static_cast<u8>(pixel != 0)};
      if (!layout->bitmap) memcpy(bytes, &pixel, pixelBytes);
      pixelStorePut(layout, lx + column, row, bytes);
    }
  }
}

// --- Packed RGB ---------------------------------------------------------------------------

namespace {

// Right and left shifts that bring the 8 pixel bits ending at the mask's most
// significant bit into one byte. The pixel is not masked first: a narrow
// channel's low output bits carry its neighbour's top bits, which is
// invisible and saves a mask per channel.
void rgbShifts(unsigned long mask, int* right, int* left) {
  int shift = mask ? __builtin_ctzl(mask) : 0;
  int bits = __builtin_popcountl(mask);
  int top = shift + bits;
  *right = top - 8 > 0 ? top - 8 : 0;
  *left = 8 - top > 0 ? 8 - top : 0;
}

}  // namespace

void ximageToRGB24(XImage* image, u8* output, int x, int y, int outputWidth) {
  int shifts[3][2];
  rgbShifts(image->red_mask, &shifts[0][0], &shifts[0][1]);
  rgbShifts(image->green_mask, &shifts[1][0], &shifts[1][1]);
  rgbShifts(image->blue_mask, &shifts[2][0], &shifts[2][1]);
  for (int row = image->height - 1; row >= 0; row--) {
    u8* out = output + (static_cast<size_t>(y + row) * static_cast<size_t>(outputWidth) + static_cast<size_t>(x)) * 3;
    for (int column = image->width - 1; column >= 0; column--) {
      unsigned long pixel = XGetPixel(image, column, row);
      for (int c = 0; c < 3; c++) {
        out[column * 3 + c] = static_cast<u8>(((pixel >> shifts[c][0]) << shifts[c][1]) & 0xff);
      }
    }
  }
}

size_t xidListRemoveRange(u64 base, u64 mask, u64* ids, size_t count) {
  size_t kept = 0;
  for (size_t i = 0; i < count; i++) {
    u64 id = ids[i];
    bool drop = id == base || (mask && id > base && id - base <= mask);
    if (!drop) ids[kept++] = id;
  }
  return kept;
}

}  // namespace palvon

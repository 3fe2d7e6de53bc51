// Client-side images (Xlib's XImage): set-up from format descriptors, fast
// per-image pixel callbacks, copies with conversion between formats, depths,
// channel masks and byte orders, nearest-neighbour scaling with quarter-turn
// rotation, an OR-reducing 1-bit scaler that keeps one-pixel lines, smooth
// 1-bit enlargement, GL pixel-store layouts and conversion to packed RGB.
//
// Coordinates handed to the scalers stay below 32768: their coordinate
// tables live on the stack, and larger extents are refused (return 0).
#pragma once

#include <cstddef>

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct ImageFormat {
  u32 format;        // XYBitmap 0, XYPixmap 1, ZPixmap 2
  u32 depth;
  u32 bitsPerPixel;
  u32 bitmapUnit;
  u32 byteOrder;     // LSBFirst 0, MSBFirst 1
  u32 bitOrder;
  u32 scanlinePad;
  u32 redMask;
  u32 greenMask;
  u32 blueMask;
};

constexpr int kScaleTableSize = 32768;

// Static descriptors. ximageZPixmapFormat and ximageFormatForDisplay rewrite
// one record per call: use the result before the next call.
const ImageFormat* ximageBitmapFormat();
const ImageFormat* ximageZPixmapFormat(u32 depth);
const ImageFormat* ximageFormatForDisplay(Display* display, u32 format, u32 depth, Visual* visual);

// Fills a caller-owned image. Without data, malloc's the pixel data (the
// caller frees image->data); returns 0 when that fails.
int ximageInit(XImage* image, int width, int height, int xOffset, char* data, const ImageFormat* format);
// Installs the fast get/put callbacks where the layout allows.
void ximageSetPixelFuncs(XImage* image);
// Structure and data in one block, freed by XDestroyImage; nullptr when the
// memory cannot be had.
XImage* ximageCreateWithData(const ImageFormat* format, int width, int height);
// The structure of a 1x1 XYPixmap of the default visual and depth, no data.
bool ximageDefaultFormat(Display* display, XImage* out);
bool ximageSameFormat(Display* a, Display* b, int format, int depth);
bool ximageMatchesDisplay(const XImage* image, Display* display);
// A pixmap of the image's size and depth holding the image; 0 on failure.
Pixmap ximageToPixmap(XImage* image, Display* display, int screen);

// Same-size copy with conversion, clipped to both images.
void ximageCopy(XImage* source, int x, int y, int width, int height, XImage* destination, int dx, int dy);
void ximageCopyAll(XImage* source, XImage* destination, int dx, int dy);
// Scaled copy, rotated by quarter turns (0..3, counter-clockwise). Returns 1,
// or 0 when refused: same image, a rotation out of range, a source rectangle
// outside the source image, or an extent of 32768 or more.
int ximageCopyScaled(XImage* source, int x, int y, int width, int height, XImage* destination, int dx,
                     int dy, int dwidth, int dheight, int rotation);
// Reduces the source rectangle [x0, x1) x [y0, y1) into the destination
// rectangle; a destination pixel is set when any source pixel mapped to it
// is set. Returns 0 (nothing done) for empty, outside or too large extents.
int ximageReduceBitmap(XImage* source, int x0, int y0, int x1, int y1, XImage* destination, int dx0, int dy0,
                       int dx1, int dy1);
// A new image scaled by the factors; depth-1 images are enlarged smoothly.
// nullptr on failure. Free with XDestroyImage.
XImage* ximageScaleSmooth(XImage* image, double factorX, double factorY);
Pixmap scalePixmap(Display* display, Pixmap pixmap, double factorX, double factorY);

bool degreesToQuarterTurns(int degrees, int* quarters);

// A GL client pixel buffer: where pixel (x, y) of a width x height area lies.
struct PixelStoreLayout {
  u8* data;         // given, or malloc'ed by ximagePixelStoreLayout (caller frees)
  size_t size;
  u32 skipPixels;
  u32 skipRows;
  size_t stride;    // bytes per row
  int bitmap;
  int lsbFirst;     // bit order of bitmaps
  u32 bytesPerPixel;
};

// elementSize 0 describes a bitmap. Returns 0 when the buffer cannot be had.
int ximagePixelStoreLayout(PixelStoreLayout* layout, u8* data, u32 width, u32 height, u32 skipPixels,
                           u32 skipRows, u32 elementSize, u32 components, u32 rowLength, int lsbFirst,
                           u32 alignment);
// Bitmaps: returns the pixel's masked bit (value unused). Others: copies the
// pixel's bytes into value and returns 1.
u32 pixelStoreGet(const PixelStoreLayout* layout, int x, int y, u8* value);
// Bitmaps: sets the bit when value[0] is non-zero. Others: copies the bytes.
void pixelStorePut(const PixelStoreLayout* layout, int x, int y, const u8* value);
// Copies an image rectangle into the layout upside down (GL counts rows from
// the bottom); pixels are written in host byte order.
void ximageToPixelStore(XImage* image, int x, int y, int width, int height, const PixelStoreLayout* layout,
                        int lx, int ly);

// Writes the image as R, G, B bytes into output, a buffer outputWidth pixels
// wide, at (x, y).
void ximageToRGB24(XImage* image, u8* output, int x, int y, int outputWidth);

// Drops ids equal to base and, with a non-zero mask, ids above base whose
// offset from base is at most mask. Returns the new count; order is kept.
size_t xidListRemoveRange(u64 base, u64 mask, u64* ids, size_t count);

}  // namespace palvon

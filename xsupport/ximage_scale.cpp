// Scaled copies of client-side images: nearest-neighbour with quarter turns,
// integer enlargement, the OR-reducing 1-bit scaler and smooth 1-bit
// enlargement.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <X11/Xutil.h>

#include "base/rect.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

// Nearest neighbour through the shared scale tables, so that scaled images
// agree with coordinates scaled for zoomed heads: entry i of n destination
// positions names one of m source positions; mirrored tables count the
// source axis backwards.
void fillTable(i16* table, int n, int m, bool mirrored) {
  if (mirrored) {
    scaleTableMirrored(table, static_cast<u32>(n), static_cast<u32>(m), static_cast<u32>(n), 0, m - 1);
  } else {
    scaleTable(table, static_cast<u32>(n), static_cast<u32>(m), static_cast<u32>(n), 0, m - 1);
  }
}

bool insideImage(const XImage* image, int x, int y, int width, int height) {
  return x >= 0 && y >= 0 && width > 0 && height > 0 && x <= image->width - width &&
         y <= image->height - height;
}

bool bytesEnlargeable(const XImage* s, const XImage* d) {
  return s->format == ZPixmap && d->format == ZPixmap && s->depth == d->depth &&
         s->bitmap_bit_order == d->bitmap_bit_order && s->byte_order == d->byte_order &&
         s->bits_per_pixel == d->bits_per_pixel && s->bits_per_pixel >= 8 && s->bits_per_pixel % 8 == 0;
}

// Each source pixel becomes a k x m block.
void enlargeInteger(XImage* s, int x, int y, int width, int height, XImage* d, int dx, int dy, int k, int m) {
  if (bytesEnlargeable(s, d)) {
    size_t pixelBytes = static_cast<size_t>(s->bits_per_pixel / 8);
    size_t span = static_cast<size_t>(width) * static_cast<size_t>(k) * pixelBytes;
    for (int row = height - 1; row >= 0; row--) {
      const u8* from = reinterpret_cast<u8*>(s->data) + static_cast<size_t>(y + row) * static_cast<size_t>(s->bytes_per_line) +
                       static_cast<size_t>(s->xoffset + x) * pixelBytes;
      u8* first = reinterpret_cast<u8*>(d->data) +
                  static_cast<size_t>(dy + row * m) * static_cast<size_t>(d->bytes_per_line) +
                  static_cast<size_t>(d->xoffset + dx) * pixelBytes;
      u8* to = first;
      for (int column = 0; column < width; column++, from += pixelBytes) {
        for (int r = 0; r < k; r++, to += pixelBytes) memcpy(to, from, pixelBytes);
      }
      for (int r = 1; r < m; r++) memcpy(first + static_cast<size_t>(r) * static_cast<size_t>(d->bytes_per_line), first, span);
    }
    return;
  }
  for (int row = 0; row < height; row++) {
    for (int column = 0; column < width; column++) {
      unsigned long pixel = XGetPixel(s, x + column, y + row);
      for (int j = 0; j < m; j++) {
        for (int i = 0; i < k; i++) XPutPixel(d, dx + column * k + i, dy + row * m + j, pixel);
      }
    }
  }
}

// Cuts [start, start + extent) to [0, limit); returns how far the start moved.
int cutAxis(int* start, int* extent, int limit) {
  int skipped = *start < 0 ? -*start : 0;
  *start += skipped;
  *extent -= skipped;
  if (*start + *extent > limit) *extent = limit - *start;
  return skipped;
}

// The general case: tables for the whole destination extent, used for the
// part of it that lies inside the destination image.
int copyByTables(XImage* s, int x, int y, int width, int height, XImage* d, int dx, int dy, int dwidth,
                 int dheight, int rotation) {
  if (dwidth >= kScaleTableSize || dheight >= kScaleTableSize) return 0;
  i16 across[kScaleTableSize];  // per destination column
  i16 down[kScaleTableSize];    // per destination row
  bool turned = rotation == 1 || rotation == 3;
  // Which source axis each destination axis follows, and in which direction.
  fillTable(across, dwidth, turned ? height : width, rotation == 2 || rotation == 3);
  fillTable(down, dheight, turned ? width : height, rotation == 1 || rotation == 2);
  int firstColumn = cutAxis(&dx, &dwidth, d->width);
  int firstRow = cutAxis(&dy, &dheight, d->height);
  for (int row = 0; row < dheight; row++) {
    int along = down[firstRow + row];
    for (int column = 0; column < dwidth; column++) {
      int other = across[firstColumn + column];
      int sx = turned ? along : other;
      int sy = turned ? other : along;
      XPutPixel(d, dx + column, dy + row, XGetPixel(s, x + sx, y + sy));
    }
  }
  return 1;
}

}  // namespace

int ximageCopyScaled(XImage* source, int x, int y, int width, int height, XImage* destination, int dx, int dy,
                     int dwidth, int dheight, int rotation) {
  if (source == destination || rotation < 0 || rotation > 3) return 0;
  if (!insideImage(source, x, y, width, height) || dwidth <= 0 || dheight <= 0) return 0;
  if (width >= kScaleTableSize || height >= kScaleTableSize) return 0;
  if (rotation == 0) {
    if (width == dwidth && height == dheight) {
      ximageCopy(source, x, y, width, height, destination, dx, dy);
      return 1;
    }
    bool reduction = width >= dwidth && height >= dheight;
    bool placed = insideImage(destination, dx, dy, dwidth, dheight);
    if (source->depth == 1 && destination->depth == 1 && reduction && placed) {
      return ximageReduceBitmap(source, x, y, x + width, y + height, destination, dx, dy, dx + dwidth,
                                dy + dheight);
    }
    if (dwidth % width == 0 && dheight % height == 0 && placed) {
      enlargeInteger(source, x, y, width, height, destination, dx, dy, dwidth / width, dheight / height);
      return 1;
    }
  }
  return copyByTables(source, x, y, width, height, destination, dx, dy, dwidth, dheight, rotation);
}

int ximageReduceBitmap(XImage* source, int x0, int y0, int x1, int y1, XImage* destination, int dx0, int dy0,
                       int dx1, int dy1) {
  int width = x1 - x0, height = y1 - y0, dwidth = dx1 - dx0, dheight = dy1 - dy0;
  if (!insideImage(source, x0, y0, width, height) || !insideImage(destination, dx0, dy0, dwidth, dheight)) {
    return 0;
  }
  if (width >= kScaleTableSize || height >= kScaleTableSize) return 0;
  if (dx0 == 0 && dy0 == 0 && dwidth == destination->width && dheight == destination->height &&
      destination->xoffset == 0) {
    size_t planes = destination->format == XYPixmap ? static_cast<size_t>(destination->depth) : 1;
    memset(destination->data, 0,
           static_cast<size_t>(destination->bytes_per_line) * static_cast<size_t>(dheight) * planes);
  } else {
    for (int row = dy0; row < dy1; row++) {
      for (int column = dx0; column < dx1; column++) XPutPixel(destination, column, row, 0);
    }
  }
  // Every source position names the destination position it falls into.
  i16 across[kScaleTableSize];
  i16 down[kScaleTableSize];
  fillTable(across, width, dwidth, false);
  fillTable(down, height, dheight, false);
  for (int row = 0; row < height; row++) {
    for (int column = 0; column < width; column++) {
      if (XGetPixel(source, x0 + column, y0 + row)) XPutPixel(destination, dx0 + across[column], dy0 + down[row], 1);
    }
  }
  return 1;
}

namespace {

// A blank image of the same format: a sub-image taken wholly outside the
// image copies no pixels.
XImage* blankLike(XImage* image, int width, int height) {
  XImage* blank = XSubImage(image, image->width, image->height, static_cast<unsigned>(width),
                            static_cast<unsigned>(height));
  if (blank) ximageSetPixelFuncs(blank);
  return blank;
}

// 2x by pixel repetition, then each pixel set when at least 5 of the pixels
// of its 3x3 neighbourhood inside the image are set (the rounded mean inside,
// a majority at the border).
XImage* doubleSmooth(XImage* image) {
  int width = image->width * 2, height = image->height * 2;
  XImage* big = blankLike(image, width, height);
  XImage* smooth = big ? blankLike(image, width, height) : nullptr;
  if (!smooth) {
    if (big) XDestroyImage(big);
    return nullptr;
  }
  enlargeInteger(image, 0, 0, image->width, image->height, big, 0, 0, 2, 2);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      int sum = 0;
      for (int j = y - 1; j <= y + 1; j++) {
        if (j < 0 || j >= height) continue;
        for (int i = x - 1; i <= x + 1; i++) {
          if (i >= 0 && i < width && XGetPixel(big, i, j)) sum++;
        }
      }
      XPutPixel(smooth, x, y, sum >= 5 ? 1 : 0);
    }
  }
  XDestroyImage(big);
  return smooth;
}

}  // namespace

XImage* ximageScaleSmooth(XImage* image, double factorX, double factorY) {
  if (!(factorX > 0) || !(factorY > 0)) return nullptr;
  // Refused before the doublings, whose cost grows with the square of the
  // size: the result could not be made anyway.
  if (floor(image->width * factorX) >= kScaleTableSize || floor(image->height * factorY) >= kScaleTableSize)
    return nullptr;
  XImage* current = nullptr;
  while (image->depth == 1 && factorX >= 2 && factorY >= 2) {
    XImage* next = doubleSmooth(current ? current : image);
    if (current) XDestroyImage(current);
    if (!next) return nullptr;
    current = next;
    factorX /= 2;
    factorY /= 2;
  }
  XImage* from = current ? current : image;
  if (factorX == 1.0 && factorY == 1.0) {
    if (current) return current;
    XImage* copy = XSubImage(image, 0, 0, static_cast<unsigned>(image->width), static_cast<unsigned>(image->height));
    if (copy) ximageSetPixelFuncs(copy);
    return copy;
  }
  double width = floor(from->width * factorX), height = floor(from->height * factorY);
  XImage* result = blankLike(from, width < 1 ? 1 : static_cast<int>(width), height < 1 ? 1 : static_cast<int>(height));
  if (result && !ximageCopyScaled(from, 0, 0, from->width, from->height, result, 0, 0, result->width,
                                  result->height, 0)) {
    XDestroyImage(result);
    result = nullptr;
  }
  if (current) XDestroyImage(current);
  return result;
}

Pixmap scalePixmap(Display* display, Pixmap pixmap, double factorX, double factorY) {
  Window root;
  int x, y;
  unsigned width, height, border, depth;
  if (!XGetGeometry(display, pixmap, &root, &x, &y, &width, &height, &border, &depth)) return 0;
  XImage* image = XGetImage(display, pixmap, 0, 0, width, height, AllPlanes, ZPixmap);
  if (!image) return 0;
  ximageSetPixelFuncs(image);
  XImage* scaled = ximageScaleSmooth(image, factorX, factorY);
  XDestroyImage(image);
  if (!scaled) return 0;
  Pixmap result = XCreatePixmap(display, root, static_cast<unsigned>(scaled->width),
                                static_cast<unsigned>(scaled->height), depth);
  GC gc = result ? XCreateGC(display, result, 0, nullptr) : nullptr;
  if (gc) {
    XPutImage(display, result, gc, scaled, 0, 0, 0, 0, static_cast<unsigned>(scaled->width),
              static_cast<unsigned>(scaled->height));
    XFreeGC(display, gc);
  } else if (result) {
    XFreePixmap(display, result);
    result = 0;
  }
  XDestroyImage(scaled);
  return result;
}

}  // namespace palvon

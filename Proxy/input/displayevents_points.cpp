// Point and image transforms of a head's rotation and zoom, the colour
// tables of emulated colormaps, and the small rules of the event intake.
#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "Proxy/heads/screen.h"
#include "Proxy/input/displayevents.h"
#include "base/logging.h"
#include "xsupport/ximage.h"

namespace palvon {

void rotatePointForHead(i32* x, i32* y, i32 width, i32 height, const Head* head) {
  i32 px = *x, py = *y;
  switch (head->rotation) {
    case 0: break;
    case 1: *x = py, *y = width - 1 - px; break;
    case 2: *x = width - 1 - px, *y = height - 1 - py; break;
    case 3: *x = height - 1 - py, *y = px; break;
    default: PALVON_UNE(); return;
  }
  if (head->zoomX == 1.0 && head->zoomY == 1.0) return;
  *x = i32(*x * head->zoomX);
  *y = i32(*y * head->zoomY);
}

namespace {

ImageFormat formatOf(const XImage* image) {
  return ImageFormat{u32(image->format),         u32(image->depth),          u32(image->bits_per_pixel),
                     u32(image->bitmap_unit),    u32(image->byte_order),     u32(image->bitmap_bit_order),
                     u32(image->bitmap_pad),     u32(image->red_mask),       u32(image->green_mask),
                     u32(image->blue_mask)};
}

i32 zoomed(i32 size, double zoom) { return zoom == 1.0 ? size : std::max(i32(std::lround(size * zoom)), 1); }

}  // namespace

XImage* scaleImageForHead(XImage* image, bool newImage, bool* owned, const Head* head) {
  double zx = head->zoomX ? head->zoomX : 1.0, zy = head->zoomY ? head->zoomY : 1.0;
  u32 rotation = head->rotation & 3;
  if (zx == 1.0 && zy == 1.0 && !rotation && !newImage) return image;
  // A client's image too large for the scaler once zoomed (a large cursor
  // on a head with a large pointer zoom) is refused before its copy is made.
  if (image->width * zx >= kScaleTableSize || image->height * zy >= kScaleTableSize) return nullptr;
  i32 width = zoomed(image->width, zx), height = zoomed(image->height, zy);
  bool turned = rotation == 1 || rotation == 3;
  ImageFormat format = formatOf(image);
  XImage* result = ximageCreateWithData(&format, turned ? height : width, turned ? width : height);
  if (!result) {
    PALVON_OOM();
    return nullptr;
  }
  if (!ximageCopyScaled(image, 0, 0, image->width, image->height, result, 0, 0, result->width, result->height,
                        int(rotation))) {
    PALVON_UNE();
  }
  if (*owned) XDestroyImage(image);
  *owned = true;
  return result;
}

// --- Emulated colormaps ----------------------------------------------------------------

namespace {

u32 maskIndex(u32 pixel, u32 mask) {
  if (!mask) return 0;
  return (pixel & mask) >> __builtin_ctz(mask);
}

// The index of each component's cell; false for a table without entries.
bool entryIndexes(const ColormapTables* table, u32 pixel, u32* r, u32* g, u32* b) {
  if (!table->entries) return false;
  if (table->visualClass < TrueColor) {
    *r = *g = *b = pixel % table->entries;
  } else {
    *r = maskIndex(pixel, table->redMask) % table->entries;
    *g = maskIndex(pixel, table->greenMask) % table->entries;
    *b = maskIndex(pixel, table->blueMask) % table->entries;
  }
  return true;
}

}  // namespace

void setColormapEntry(ColormapTables* table, u32 pixel, u16 red, u16 green, u16 blue, u32 flags) {
  u32 r, g, b;
  if (!entryIndexes(table, pixel, &r, &g, &b)) return;
  if (flags & DoRed) table->red[r] = red;
  if (flags & DoGreen) table->green[g] = green;
  if (flags & DoBlue) table->blue[b] = blue;
}

void getColormapEntry(const ColormapTables* table, u32 pixel, XColor* colour) {
  u32 r, g, b;
  colour->pixel = pixel;
  colour->flags = DoRed | DoGreen | DoBlue;
  if (!entryIndexes(table, pixel, &r, &g, &b)) {
    colour->red = colour->green = colour->blue = 0;
    return;
  }
  colour->red = table->red[r];
  colour->green = table->green[g];
  colour->blue = table->blue[b];
}

// --- Rules of the intake ------------------------------------------------------------------

bool isPlainClick(u32 button, u32 state) {
  if (button < 1 || button > 5) return false;
  constexpr u32 kButtons = Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;
  return (state & kButtons) == (u32(Button1Mask) << (button - 1));
}

i32 accelerateDelta(i32 delta, i32 threshold, i32 numerator, i32 denominator) {
  if (denominator <= 0) return delta;
  i64 d = delta;
  if (d > threshold) return i32((d - threshold) * numerator / denominator + threshold);
  if (d < -threshold) return i32((d + threshold) * numerator / denominator - threshold);
  return delta;
}

bool motionDelta(i32 lastX, i32 lastY, i32 x, i32 y, i32* dx, i32* dy) {
  *dx = x - lastX;
  *dy = y - lastY;
  return std::abs(*dx) <= 200 && std::abs(*dy) <= 200;
}

}  // namespace palvon

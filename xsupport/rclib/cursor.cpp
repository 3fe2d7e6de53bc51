// XRCLib cursors: cursor image records, built-in bitmap cursors, font
// cursors, and setting a cursor on a window or on the active pointer grab.
#include <cstdlib>
#include <cstring>

#include "base/logging.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/rclib/record.h"

namespace palvon {

namespace {

constexpr u32 kMaxCursorSide = 32767;

u32 bitsPerPixel(u32 depth) { return depth <= 1 ? 1 : depth <= 8 ? 8 : depth <= 16 ? 16 : 32; }

size_t rowBytes(u32 width) { return (width + 7) / 8; }

XColor namedColor(u16 red, u16 green, u16 blue) {
  XColor color = {};
  color.red = red;
  color.green = green;
  color.blue = blue;
  color.flags = DoRed | DoGreen | DoBlue;
  return color;
}

const XColor kBlack = namedColor(0, 0, 0);
const XColor kWhite = namedColor(65535, 65535, 65535);

// A cursor from two bitmaps of the given size; 0 when it cannot be made.
Cursor bitmapCursor(Display* display, int screen, u32 width, u32 height, const u8* source, const u8* mask,
                    XColor foreground, XColor background, u32 hotX, u32 hotY) {
  if (screen < 0 || screen >= ScreenCount(display)) screen = DefaultScreen(display);
  Window root = RootWindow(display, screen);
  Pixmap sourceBitmap = XCreateBitmapFromData(display, root, reinterpret_cast<const char*>(source), width, height);
  Pixmap maskBitmap = XCreateBitmapFromData(display, root, reinterpret_cast<const char*>(mask), width, height);
  Cursor cursor = 0;
  if (sourceBitmap && maskBitmap) {
    cursor = XCreatePixmapCursor(display, sourceBitmap, maskBitmap, &foreground, &background, hotX, hotY);
  }
  if (sourceBitmap) XFreePixmap(display, sourceBitmap);
  if (maskBitmap) XFreePixmap(display, maskBitmap);
  return cursor;
}

// Bitmaps drawn by a function of the size; 0 for a size it refuses.
using BitsMaker = bool (*)(u32 width, u32 height, u8* source, u8* mask);

Cursor madeCursor(Display* display, int screen, u32 width, u32 height, BitsMaker make, XColor foreground,
                  XColor background, u32 hotX, u32 hotY) {
  if (width == 0 || height == 0 || width > kMaxCursorSide || height > kMaxCursorSide) return 0;
  size_t size = rowBytes(width) * height;
  auto* source = static_cast<u8*>(memCalloc(2, size));
  if (!source) return 0;
  u8* mask = source + size;
  Cursor cursor = 0;
  if (make(width, height, source, mask)) {
    cursor = bitmapCursor(display, screen, width, height, source, mask, foreground, background, hotX, hotY);
  }
  std::free(source);
  return cursor;
}

bool blankBits(u32, u32, u8*, u8*) { return true; }

bool dotBits(u32 width, u32 height, u8* source, u8* mask) {
  for (u32 y = 0; y < height; y++) {
    for (u32 x = 0; x < width; x++) {
      bitmapSetBit(x, y, source, width);
      bitmapSetBit(x, y, mask, width);
    }
  }
  return true;
}

// A ring of radius 12 in a 32x32 box, its mask one pixel wider each side.
bool ringBits(u32 width, u32 height, u8* source, u8* mask) {
  for (u32 y = 0; y < height; y++) {
    for (u32 x = 0; x < width; x++) {
      int dx = static_cast<int>(x) - 16, dy = static_cast<int>(y) - 16;
      int d2 = dx * dx + dy * dy;
      if (d2 >= 11 * 11 && d2 <= 13 * 13) bitmapSetBit(x, y, source, width);
      if (d2 >= 10 * 10 && d2 <= 14 * 14) bitmapSetBit(x, y, mask, width);
    }
  }
  return true;
}

// A plus of two-pixel bars with an open centre, masked one pixel wider.
bool targetBits(u32 width, u32 height, u8* source, u8* mask) {
  for (u32 y = 0; y < height; y++) {
    for (u32 x = 0; x < width; x++) {
      int dx = abs(static_cast<int>(x) - 16), dy = abs(static_cast<int>(y) - 16);
      bool bar = (dx <= 1 || dy <= 1) && dx + dy > 3;
      bool wide = (dx <= 2 || dy <= 2) && dx + dy > 2;
      if (bar) bitmapSetBit(x, y, source, width);
      if (wide) bitmapSetBit(x, y, mask, width);
    }
  }
  return true;
}

// Sets a freshly made cursor and frees it; a size that makes no cursor sets
// nothing.
const char* setAndFree(Display* display, Window window, u32 device, Cursor cursor) {
  if (!cursor) return nullptr;
  const char* error = xrcSetCursor(display, window, device, cursor);
  XFreeCursor(display, cursor);
  return error;
}

const char* setFontCursor(Display* display, Window window, u32 device, u32 shape) {
  return setAndFree(display, window, device, XCreateFontCursor(display, shape));
}

}  // namespace

// --- Cursor image records -----------------------------------------------------------------

size_t cursorImageSize(u32 width, u32 height, u32 bitsPerPixel) {
  return ((size_t{width} * bitsPerPixel + 7) / 8) * height;
}

int cursorImageCopy(HeadCursor* target, const HeadCursor* source) {
  *target = *source;
  target->image = target->mask = nullptr;
  if (source->image) {
    target->image = static_cast<u8*>(memdup(source->image,
                                            cursorImageSize(source->width, source->height, bitsPerPixel(source->depth))));
    if (!target->image) return 0;
  }
  if (source->mask && source->mask == source->image) {
    target->mask = target->image;
  } else if (source->mask) {
    target->mask = static_cast<u8*>(memdup(source->mask, cursorImageSize(source->width, source->height, 1)));
    if (!target->mask) {
      cursorImageFree(target);
      return 0;
    }
  }
  return 1;
}

void cursorImageFree(HeadCursor* image) {
  if (image->mask != image->image) std::free(image->mask);
  std::free(image->image);
  image->image = image->mask = nullptr;
}

int cursorImageAssign(HeadCursor* target, const HeadCursor* source) {
  if (target == source) return 1;
  cursorImageFree(target);
  return cursorImageCopy(target, source);
}

HeadCursor* cursorImageArrayDup(const HeadCursor* images, u32 count) {
  auto* copies = static_cast<HeadCursor*>(memCalloc(count ? count : 1, sizeof(HeadCursor)));
  if (!copies) return nullptr;
  for (u32 i = 0; i < count; i++) {
    if (!cursorImageCopy(&copies[i], &images[i])) {
      cursorImageArrayFree(copies, i);
      return nullptr;
    }
  }
  return copies;
}

void cursorImageArrayFree(HeadCursor* images, u32 count) {
  if (!images) return;
  for (u32 i = 0; i < count; i++) cursorImageFree(&images[i]);
  std::free(images);
}

// --- Bitmaps ------------------------------------------------------------------------------

void bitmapSetBit(u32 x, u32 y, u8* bits, u32 width) {
  bits[y * rowBytes(width) + x / 8] |= static_cast<u8>(1u << (x % 8));
}

bool xrcBoxCursorBits(u32 width, u32 height, u8* source, u8* mask) {
  if (width == 0 || height == 0) return false;
  for (u32 y = 0; y < height; y++) {
    for (u32 x = 0; x < width; x++) {
      bitmapSetBit(x, y, source, width);
      if (x == 0 || y == 0 || x == width - 1 || y == height - 1) bitmapSetBit(x, y, mask, width);
    }
  }
  return true;
}

bool xrcCrossCursorBits(u32 width, u32 height, u8* source, u8* mask) {
  if (width < 3 || height < 3) return false;
  for (u32 x = 0; x < width; x++) {
    bitmapSetBit(x, height / 2, source, width);
    bitmapSetBit(x, height / 2, mask, width);
  }
  for (u32 y = 0; y < height; y++) {
    bitmapSetBit(width / 2, y, source, width);
    bitmapSetBit(width / 2, y, mask, width);
  }
  return true;
}

// --- Cursors ------------------------------------------------------------------------------

const char* xrcSetCursor(Display* display, Window window, u32 device, Cursor cursor) {
  if (device != kXrcMouse) {
    PALVON_WIP();
    return nullptr;
  }
  if (window) XDefineCursor(display, window, cursor);
  else XChangeActivePointerGrab(display, 0, cursor, CurrentTime);
  XrcDisplay* record = xrcFindDisplay(display);
  if (!record || record->options[kXrcOptFlush]) XFlush(display);
  return nullptr;
}

Cursor xrcCursorBlank(Display* display, int screen) {
  return madeCursor(display, screen, 1, 1, blankBits, kBlack, kWhite, 0, 0);
}

Cursor xrcCursorLeftPtr(Display* display) { return XCreateFontCursor(display, 68); }
Cursor xrcCursorWatch(Display* display) { return XCreateFontCursor(display, 150); }
Cursor xrcCursorFleur(Display* display) { return XCreateFontCursor(display, 52); }

Cursor xrcCursorBitmapA(Display* display, int screen) {
  return madeCursor(display, screen, 32, 32, ringBits, kBlack, kWhite, 16, 16);
}

Cursor xrcCursorBitmapB(Display* display, int screen) {
  return madeCursor(display, screen, 32, 32, targetBits, kBlack, kWhite, 16, 16);
}

const char* xrcSetBlankCursor(Display* display, int screen, Window window, u32 device) {
  return setAndFree(display, window, device, xrcCursorBlank(display, screen));
}

const char* xrcSetArrowCursor(Display* display, int, Window window, u32 device) {
  return setFontCursor(display, window, device, 68);
}

const char* xrcSetWatchCursor(Display* display, int, Window window, u32 device) {
  return setFontCursor(display, window, device, 150);
}

const char* xrcSetXCursor(Display* display, int, Window window, u32 device) {
  return setFontCursor(display, window, device, 0);
}

const char* xrcSetHandCursor(Display* display, int, Window window, u32 device) {
  return setFontCursor(display, window, device, 60);
}

const char* xrcSetLeftButtonCursor(Display* display, int, Window window, u32 device) {
  return setFontCursor(display, window, device, 74);
}

const char* xrcSetMiddleButtonCursor(Display* display, int, Window window, u32 device) {
  return setFontCursor(display, window, device, 82);
}

const char* xrcSetRightButtonCursor(Display* display, int, Window window, u32 device) {
  return setFontCursor(display, window, device, 100);
}

const char* xrcSetBoxCursor(Display* display, int screen, Window window, u32 device, u32 width, u32 height) {
  Cursor cursor = madeCursor(display, screen, width, height, xrcBoxCursorBits, kWhite, kBlack, width / 2, height / 2);
  return setAndFree(display, window, device, cursor);
}

const char* xrcSetCrossCursor(Display* display, int screen, Window window, u32 device, u32 width, u32 height) {
  Cursor cursor = madeCursor(display, screen, width, height, xrcCrossCursorBits, kBlack, kWhite, width / 2,
                             height / 2);
  return setAndFree(display, window, device, cursor);
}

const char* xrcSetDotCursor(Display* display, int screen, Window window, u32 device) {
  return setAndFree(display, window, device, madeCursor(display, screen, 2, 2, dotBits, kBlack, kWhite, 0, 0));
}

}  // namespace palvon

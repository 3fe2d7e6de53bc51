// Meta cursor images made into cursors of one head's server: a core bitmap
// cursor, RENDER cursors (ARGB or any picture format), animated cursors, and
// the image shown by a telepointer window.
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xrender.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/input/pointerutil.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "xsupport/misc.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

// Cursor images carry 32-bit pixels in the proxy's order (a RENDER image)
// or LSB-first bitmap rows padded to bytes.
ImageFormat cursorImageFormat(const HeadCursor& image, const XRenderPictFormat* format) {
  if (image.depth <= 1) return ImageFormat{XYBitmap, 1, 1, 8, LSBFirst, LSBFirst, 8, 0, 0, 0};
  ImageFormat f{ZPixmap, image.depth, 32, 32, LSBFirst, LSBFirst, 32, 0, 0, 0};
  if (format && format->type == PictTypeDirect) {
    f.redMask = u32(format->direct.redMask) << format->direct.red;
    f.greenMask = u32(format->direct.greenMask) << format->direct.green;
    f.blueMask = u32(format->direct.blueMask) << format->direct.blue;
  }
  return f;
}

// A pixmap of the image's depth holding the image; 0 on failure.
Pixmap imageToPixmap(Display* display, Window root, const HeadCursor& image, const XRenderPictFormat* format) {
  ImageFormat f = cursorImageFormat(image, format);
  XImage x{};
  if (!ximageInit(&x, image.width, image.height, 0, reinterpret_cast<char*>(image.image), &f)) return 0;
  Pixmap pixmap = XfsCreatePixmap(display, root, image.width, image.height, image.depth);
  if (!pixmap) return 0;
  GC gc = XfsCreateGC(display, pixmap, 0, nullptr);
  if (gc) {
    XfsPutImage(display, pixmap, gc, &x, 0, 0, 0, 0, image.width, image.height);
    XfsFreeGC(display, gc);
  }
  return pixmap;
}

Pixmap bitsToBitmap(Display* display, Window root, const u8* bits, u32 width, u32 height) {
  return XfsCreateBitmapFromData(display, root, reinterpret_cast<const char*>(bits), width ? width : 1,
                                 height ? height : 1);
}

const char* coreCursor(Display* display, Window root, const HeadCursor& image, Cursor* cursor) {
  Pixmap source = bitsToBitmap(display, root, image.image, image.width, image.height);
  Pixmap mask = image.mask ? bitsToBitmap(display, root, image.mask, image.width, image.height) : 0;
  XColor foreground = image.foreground, background = image.background;
  *cursor = source ? XfsCreatePixmapCursor(display, source, mask, &foreground, &background, image.hotX, image.hotY)
                   : 0;
  if (source) XfsFreePixmap(display, source);
  if (mask) XfsFreePixmap(display, mask);
  if (isDisplayOffline(display)) return displayOfflineText(display);
  return *cursor ? nullptr : "UNE";
}

const char* renderCursor(Display* display, Window root, const HeadCursor& image, Cursor* cursor) {
  XRenderPictFormat* format = findRenderFormatById(display, image.renderFormat);
  if (!format)
    return tmpPrintf("Display %s has no RENDER picture format #%u", xShortDisplayName(display), image.renderFormat);
  *cursor = 0;
  Pixmap pixmap = imageToPixmap(display, root, image, format);
  if (pixmap) {
    Picture picture = XfsRenderCreatePicture(display, pixmap, format, 0, nullptr);
    if (picture) {
      *cursor = XfsRenderCreateCursor(display, picture, image.hotX, image.hotY);
      XfsRenderFreePicture(display, picture);
    }
    XfsFreePixmap(display, pixmap);
  }
  if (isDisplayOffline(display)) return displayOfflineText(display);
  return *cursor ? nullptr : "UNE";
}

}  // namespace

XRenderPictFormat* findRenderFormatById(Display* display, u32 formatId) {
  if (!formatId) return nullptr;
  XRenderPictFormat wanted{};
  wanted.id = formatId;
  return XfsRenderFindFormat(display, PictFormatID, &wanted, 0);
}

const char* createCursorFromImages(Display* display, int screen, const HeadCursor* images, u32 count,
                                   Cursor* cursor) {
  *cursor = 0;
  if (!count || !images) return "UNE";
  Window root = RootWindow(display, screen);
  if (count == 1 && images[0].depth < 2 && !images[0].renderFormat)
    return coreCursor(display, root, images[0], cursor);
  if (count == 1) return renderCursor(display, root, images[0], cursor);
  auto* frames = static_cast<XAnimCursor*>(calloc(count, sizeof(XAnimCursor)));
  if (!frames) return PALVON_OOM();
  const char* error = nullptr;
  u32 made = 0;
  for (; made < count && !error; made++) {
    error = renderCursor(display, root, images[made], &frames[made].cursor);
    frames[made].delay = images[made].delay;
  }
  if (!error) *cursor = XfsRenderCreateAnimCursor(display, int(count), frames);
  for (u32 i = 0; i < made; i++)
    if (frames[i].cursor) XfsFreeCursor(display, frames[i].cursor);
  free(frames);
  if (!error && isDisplayOffline(display)) error = displayOfflineText(display);
  return error;
}

const char* applyHeadCursor(Display* display, int screen, Window window, const HeadCursor* images, u32 count,
                            bool toActiveGrab) {
  Cursor cursor = 0;
  if (const char* error = createCursorFromImages(display, screen, images, count, &cursor)) return error;
  if (toActiveGrab) {
    XfsChangeActivePointerGrab(display, 0, cursor, CurrentTime);
  } else {
    XfsDefineCursor(display, window, cursor);
  }
  XfsFreeCursor(display, cursor);
  return isDisplayOffline(display) ? displayOfflineText(display) : nullptr;
}

void alphaMaskBits(const u32* pixels, u32 width, u32 height, u32 alphaShift, u32 alphaMask, u8* bits) {
  u32 stride = (width + 7) / 8;
  memset(bits, 0, size_t(stride) * height);
  for (u32 y = 0; y < height; y++)
    for (u32 x = 0; x < width; x++)
      if (((pixels[size_t(y) * width + x] >> alphaShift) & alphaMask) >= 200) bitmapSetBit(x, y, bits, width);
}

namespace {

// The telepointer window's picture in its own visual, and a mask from the
// alpha channel when the image has one.
Pixmap telepointerPicture(Display* display, Window window, const Telepointer* telepointer, const HeadCursor& image,
                          Pixmap* alphaMask) {
  Window root = RootWindow(display, int(telepointer->screen));
  XRenderPictFormat* format = findRenderFormatById(display, image.renderFormat);
  if (!format) {
    return XfsCreatePixmapFromBitmapData(display, root, reinterpret_cast<char*>(image.image), image.width,
                                         image.height, telepointer->foreground, telepointer->background,
                                         telepointer->depth);
  }
  XWindowAttributes attributes{};
  if (!XfsGetWindowAttributes(display, window, &attributes)) return 0;
  ImageFormat sourceFormat = cursorImageFormat(image, format);
  XImage source{};
  if (!ximageInit(&source, image.width, image.height, 0, reinterpret_cast<char*>(image.image), &sourceFormat))
    return 0;
  XImage* converted = ximageCreateWithData(
      ximageFormatForDisplay(display, ZPixmap, u32(attributes.depth), attributes.visual), image.width, image.height);
  if (!converted) return 0;
  ximageCopyAll(&source, converted, 0, 0);
  Pixmap pixmap = XfsCreatePixmap(display, root, image.width, image.height, u32(attributes.depth));
  GC gc = pixmap ? XfsCreateGC(display, pixmap, 0, nullptr) : nullptr;
  if (gc) {
    XfsPutImage(display, pixmap, gc, converted, 0, 0, 0, 0, image.width, image.height);
    XfsFreeGC(display, gc);
  }
  XDestroyImage(converted);
  if (format->type == PictTypeDirect && format->direct.alphaMask && image.depth == 32) {
    u32 stride = (u32(image.width) + 7) / 8;
    auto* bits = static_cast<u8*>(malloc(size_t(stride) * image.height + 1));
    if (bits) {
      alphaMaskBits(reinterpret_cast<const u32*>(image.image), image.width, image.height, u32(format->direct.alpha),
                    u32(format->direct.alphaMask), bits);
      *alphaMask = bitsToBitmap(display, root, bits, image.width, image.height);
      free(bits);
    }
  }
  return pixmap;
}

}  // namespace

void createHeadCursor(Display* display, Window window, Telepointer* telepointer, const HeadCursor* image) {
  if (telepointer->kind == kTelepointerMaster) {
    Cursor cursor = 0;
    const char* error = createCursorFromImages(display, int(telepointer->screen), image, 1, &cursor);
    if (!error) {
      XfsXIDefineCursor(display, int(telepointer->deviceId), window, cursor);
      XfsFreeCursor(display, cursor);
    }
    logProblem(error, __FILE__, __LINE__);
    return;
  }
  if (telepointer->kind != kTelepointerWindow) {
    PALVON_UNE();
    return;
  }
  if (!image->image) return;
  Window tpWindow = xrcTelepointerWindow(telepointer);
  Pixmap mask = 0;
  Pixmap pixmap = telepointerPicture(display, tpWindow, telepointer, *image, &mask);
  if (!mask && image->mask)
    mask = bitsToBitmap(display, RootWindow(display, int(telepointer->screen)), image->mask, image->width,
                        image->height);
  if (pixmap) xrcTelepointerSetShape(display, telepointer, image->width, image->height, pixmap, mask, image->hotX,
                                     image->hotY);
  if (pixmap) XfsFreePixmap(display, pixmap);
  if (mask) XfsFreePixmap(display, mask);
}

}  // namespace palvon

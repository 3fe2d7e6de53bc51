// A client's cursor made on one head through a request writer (the client's
// link to the head's server): its images scaled and turned for the head,
// put into pixmaps, and made into a core, RENDER or animated cursor.
#include <X11/Xutil.h>
#include <X11/extensions/render.h>

#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/renderhook.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/displayevents.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/cursors.h"
#include "Proxy/resources/resource.h"
#include "base/logging.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

// An id of the proxy's in the client's space, as the head's server knows it.
u32 headId(ProxyClient* client, u32 kind, const Head* head) {
  u32 id = allocProxyXid(client);
  return id ? translateXid(id, kind, head) : 0;
}

XImage cursorImage(const HeadCursor& cursor, const u8* bits, bool* ok) {
  u32 width = cursor.width ? cursor.width : 1, height = cursor.height ? cursor.height : 1;
  ImageFormat bitmap{XYPixmap, 1, 1, 8, LSBFirst, LSBFirst, 8, 0, 0, 0};
  ImageFormat argb{ZPixmap, cursor.depth, 32, 32, LSBFirst, LSBFirst, 32, 0, 0, 0};
  XImage image{};
  *ok = ximageInit(&image, int(width), int(height), 0, reinterpret_cast<char*>(const_cast<u8*>(bits)),
                   cursor.depth <= 1 ? &bitmap : &argb) != 0;
  return image;
}

// A pixmap on the head holding the image scaled and turned for it; 0 when a
// request could not be written.
u32 headPixmap(ProxyClient* client, RequestWriter* writer, const HeadCursor& cursor, const u8* bits, Head* head) {
  bool ok = false;
  XImage source = cursorImage(cursor, bits, &ok);
  if (!ok) return 0;
  bool owned = false;
  XImage* image = scaleImageForHead(&source, false, &owned, head);
  if (!image) return 0;
  // The server reads the image in its own layout: the cursor bits come with
  // rows padded to bytes, a server pads bitmap rows to its scanline unit.
  if (head->display && !ximageMatchesDisplay(image, head->display)) {
    XImage* converted = ximageCreateWithData(
        ximageFormatForDisplay(head->display, u32(image->format), u32(image->depth), nullptr), image->width,
        image->height);
    if (converted) ximageCopyAll(image, converted, 0, 0);
    if (owned) XDestroyImage(image);
    if (!converted) return 0;
    image = converted;
    owned = true;
  }
  u32 pixmap = headId(client, RT_PIXMAP, head), gc = headId(client, RT_GC, head);
  int written = 0;
  if (pixmap && gc) {
    u32 depth = cursor.depth <= 1 ? 1 : cursor.depth;
    xprotoCreatePixmap(writer, u8(depth), pixmap, u32(head->root), u16(image->width), u16(image->height));
    XGCValues values{};
    values.foreground = 1, values.background = 0;
    xprotoCreateGC(writer, gc, pixmap, GCForeground | GCBackground, &values);
    written = xprotoPutImage(writer, pixmap, gc, image, 0, 0);
    xprotoFreeGC(writer, gc);
  }
  if (owned) XDestroyImage(image);
  return written ? pixmap : 0;
}

void hotSpotOnHead(const HeadCursor& cursor, const Head* head, u16* x, u16* y) {
  i32 hx = cursor.hotX, hy = cursor.hotY;
  rotatePointForHead(&hx, &hy, cursor.width ? cursor.width : 1, cursor.height ? cursor.height : 1, head);
  *x = u16(hx), *y = u16(hy);
}

u8 renderMajor() {
  const ExtensionEntry* render = findExtensionByName("RENDER");
  return render ? render->major : 0;
}

bool renderRequest(RequestWriter* writer, u8 minor, u32 length, const char* layout, const u32* words, u32 count) {
  u8 major = renderMajor();
  u8* p = major ? writer->allocate(writer->argument, major, minor, length) : nullptr;
  if (!p) return false;
  for (u32 i = 0; i < count; i++) put32(p + 4 + 4 * i, words[i]);
  finishWriterRequest(writer, p, length, layout);
  return true;
}

// One frame as a RENDER cursor under the id.
bool pictureCursor(ProxyClient* client, RequestWriter* writer, const HeadCursor& cursor, u32 id, Head* head) {
  u32 pixmap = headPixmap(client, writer, cursor, cursor.image, head);
  u32 picture = headId(client, RT_PICTURE, head);
  if (!pixmap || !picture || !renderMajor()) {
    if (pixmap) xprotoFreePixmap(writer, pixmap);
    return false;
  }
  u32 create[] = {picture, pixmap, pictFormatForHead(cursor.renderFormat, head), 0};
  bool ok = renderRequest(writer, X_RenderCreatePicture, 20, "bbsiiii", create, 4);
  xprotoFreePixmap(writer, pixmap);
  u16 hx = 0, hy = 0;
  hotSpotOnHead(cursor, head, &hx, &hy);
  u32 cursorWords[] = {id, picture, u32(hx) | u32(hy) << 16};
  ok = ok && renderRequest(writer, X_RenderCreateCursor, 16, "bbsiiss", cursorWords, 3);
  u32 free[] = {picture};
  renderRequest(writer, X_RenderFreePicture, 8, "bbsi", free, 1);
  return ok;
}

int coreCursor(ProxyClient* client, RequestWriter* writer, const HeadCursor& cursor, u32 id, Head* head) {
  u32 source = headPixmap(client, writer, cursor, cursor.image, head);
  u32 mask = cursor.mask ? headPixmap(client, writer, cursor, cursor.mask, head) : 0;
  if (!source || (cursor.mask && !mask)) {
    if (source) xprotoFreePixmap(writer, source);
    return 0;
  }
  u16 hx = 0, hy = 0;
  hotSpotOnHead(cursor, head, &hx, &hy);
  const XColor& f = cursor.foreground;
  const XColor& b = cursor.background;
  xprotoCreateCursor(writer, id, source, mask, hx, hy, f.red, f.green, f.blue, b.red, b.green, b.blue);
  xprotoFreePixmap(writer, source);
  if (mask) xprotoFreePixmap(writer, mask);
  return 1;
}

int animatedCursor(ProxyClient* client, RequestWriter* writer, const HeadCursor* images, u32 count, u32 id,
                   Head* head) {
  u8 major = renderMajor();
  auto* frames = static_cast<u32*>(calloc(count, 2 * sizeof(u32)));
  if (!frames || !major) {
    free(frames);
    return 0;
  }
  bool ok = true;
  for (u32 i = 0; i < count && ok; i++) {
    frames[2 * i] = headId(client, RT_CURSOR, head);
    frames[2 * i + 1] = images[i].delay;
    ok = frames[2 * i] && pictureCursor(client, writer, images[i], frames[2 * i], head);
  }
  u32 length = 8 + 8 * count;
  u8* p = ok ? writer->allocate(writer->argument, major, X_RenderCreateAnimCursor, length) : nullptr;
  if (p) {
    put32(p + 4, id);
    for (u32 i = 0; i < 2 * count; i++) put32(p + 8 + 4 * i, frames[i]);
    finishWriterRequest(writer, p, length, "bbsiI");
  }
  for (u32 i = 0; i < count; i++)
    if (frames[2 * i]) xprotoFreeCursor(writer, frames[2 * i]);
  free(frames);
  return p ? 1 : 0;
}

}  // namespace

int replicateCursorImagesOnHead(const HeadCursor* images, u32 count, ProxyClient* client, RequestWriter* writer,
                                u32 headCursorId, Head* head) {
  if (!images || !count || !writer || !head) return 0;
  if (count == 1 && images[0].depth <= 1 && !images[0].renderFormat)
    return coreCursor(client, writer, images[0], headCursorId, head);
  if (count == 1) return pictureCursor(client, writer, images[0], headCursorId, head) ? 1 : 0;
  return animatedCursor(client, writer, images, count, headCursorId, head);
}

int replicateCursorOnHead(CursorRecord* cursor, ProxyClient* client, RequestWriter* writer, u32 headCursorId,
                          Head* head) {
  const HeadCursor* images = nullptr;
  u32 count = 0;
  if (!describeCursorImages(cursor, &images, &count)) return 0;
  return replicateCursorImagesOnHead(images, count, client, writer, headCursorId, head);
}

}  // namespace palvon

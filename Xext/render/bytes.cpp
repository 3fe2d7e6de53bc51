// Pictures of one byte a pixel (a8) on a pixmap that a head keeps as
// colour indexes in deeper pixels (an 8-bit pixmap beside an emulated 8-bit
// visual): the byte stands in every channel of the head's pixel, and the
// head's own picture there, of its true-colour format, would read and
// write colours. For a drawing that uses such a picture the head copies
// the byte plane by plane into a true 8-bit pixmap with a picture of the
// format itself; a drawing into it is made there and copied back, white
// through the copy as a mask, which gives every channel the byte again.
#include <X11/X.h>
#include <X11/extensions/render.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "Xext/render/internal.h"

namespace palvon {

namespace {

// Where the byte lies in the head's deeper pixel: its lowest channel.
u32 byteShiftOnHead(const PictureRecord* p, const Head* head) {
  const PictFormatRecord* f = serverPictFormat(head, drawableFormatForHead(p->format, head, pictureDepthOnHead(p, head)));
  if (!f) return 0;
  u32 shift = f->redShift;
  if (f->greenBits && f->greenShift < shift) shift = f->greenShift;
  if (f->blueBits && f->blueShift < shift) shift = f->blueShift;
  return shift;
}

u32 solidWhite(ServerLink* link, const Head* head) {
  u32 id = translateXid(allocProxyXid(link->client), RT_SERVER_ID, head);
  u8* solid = id ? renderRequest(&link->writer, X_RenderCreateSolidFill, 16) : nullptr;
  if (!solid) return 0;
  put32(solid + 4, id);
  for (u32 c = 0; c < 4; c++) put16(solid + 8 + 2 * c, 0xffff);
  finishWriterRequest(&link->writer, solid, 16, "bbsissss");
  return id;
}

void freePicture(ServerLink* link, u32 picture) {
  u8* release = picture ? renderRequest(&link->writer, X_RenderFreePicture, 8) : nullptr;
  if (!release) return;
  put32(release + 4, picture);
  finishWriterRequest(&link->writer, release, 8, "bbsi");
}

}  // namespace

bool keptAsBytesOnHead(const PictureRecord* p, const Head* head) {
  if (!p || !p->bytesOnHeads || !p->pixmap || !head || head->pixelsAsIs || !pictureOnHead(p, head)) return false;
  return pictureDepthOnHead(p, head) != p->format->depth && nativePictFormatForHead(p->format, head);
}

void markBytePicture(PictureRecord* p) {
  p->bytesOnHeads = 0;
  if (!p->pixmap || !p->format || p->format->type != PictTypeDirect || !p->screen) return;
  for (const Head* head = p->screen->heads; head; head = head->next)
    if (pictureDepthOnHead(p, head) != p->format->depth && nativePictFormatForHead(p->format, head))
      p->bytesOnHeads = 1;
}

bool copyBytePicture(PictureRecord* p, Head* head, ServerLink* link, BytePicture* out) {
  ProxyClient* client = link->client;
  *out = {};
  u32 format = nativePictFormatForHead(p->format, head);
  out->pixmap = translateXid(allocProxyXid(client), RT_PIXMAP, head);
  out->picture = translateXid(allocProxyXid(client), RT_SERVER_ID, head);
  out->gc = translateXid(allocProxyXid(client), RT_GC, head);
  if (!format || !out->pixmap || !out->picture || !out->gc) return false;
  u16 width = p->pixmap->width, height = p->pixmap->height;
  RequestWriter* w = &link->writer;
  xprotoCreatePixmap(w, p->format->depth, out->pixmap, u32(head->root), width, height);
  // No exposure events: the copies are the proxy's.
  XGCValues values{};
  values.graphics_exposures = False;
  xprotoCreateGC(w, out->gc, out->pixmap, GCForeground | GCBackground | GCGraphicsExposures, &values);
  requestPolyFillRectangle(link, out->pixmap, out->gc, 0, 0, width, height);
  values.function = GXor;
  requestChangeGC(link, out->gc, GCFunction, &values);
  u32 source = pixmapServerId(p->pixmap, head), shift = byteShiftOnHead(p, head);
  for (u32 bit = 0; bit < p->format->depth; bit++) {
    values.foreground = 1ul << bit;
    requestChangeGC(link, out->gc, GCForeground, &values);
    requestCopyPlane(link, source, out->pixmap, out->gc, 0, 0, 0, 0, width, height, 1u << (shift + bit));
  }
  return replicatePicture(p, client, w, head, out->picture, out->pixmap, format);
}

void storeBytePicture(const PictureRecord* p, Head* head, ServerLink* link, const BytePicture& copy) {
  u32 white = solidWhite(link, head);
  u32 mask = translateXid(allocProxyXid(link->client), RT_SERVER_ID, head);
  u8* create = white && mask ? renderRequest(&link->writer, X_RenderCreatePicture, 20) : nullptr;
  if (create) {
    put32(create + 4, mask);
    put32(create + 8, copy.pixmap);
    put32(create + 12, nativePictFormatForHead(p->format, head));
    put32(create + 16, 0);
    finishWriterRequest(&link->writer, create, 20, "bbsI");
    u8* back = renderRequest(&link->writer, X_RenderComposite, 36);
    if (back) {
      back[4] = PictOpSrc;
      put32(back + 8, white);
      put32(back + 12, mask);
      put32(back + 16, translateXid(p->id, RT_SERVER_ID, head));
      memset(back + 20, 0, 12);
      put16(back + 32, p->pixmap->width), put16(back + 34, p->pixmap->height);
      finishWriterRequest(&link->writer, back, 36, "bbsbbsiiiS");
    }
  }
  freePicture(link, mask);
  freePicture(link, white);
}

namespace {

// Where the request names its source and mask; 0 for none.
u32 sourceAt(const RenderDrawing& d) {
  if (d.minor == X_RenderScale) return 4;
  return d.minor == X_RenderFillRectangles || d.minor == X_RenderAddTraps ? 0 : 8;
}
u32 maskAt(const RenderDrawing& d) { return d.minor == X_RenderComposite ? 12 : 0; }

}  // namespace

bool copyBytePictures(const RenderDrawing& d, Head* head, ServerLink* link, BytePictures* out) {
  *out = {};
  bool ok = true;
  if (keptAsBytesOnHead(d.source, head)) ok = copyBytePicture(d.source, head, link, &out->source);
  if (ok && keptAsBytesOnHead(d.mask, head)) ok = copyBytePicture(d.mask, head, link, &out->mask);
  if (ok && keptAsBytesOnHead(d.destination, head)) ok = copyBytePicture(d.destination, head, link, &out->destination);
  return ok;
}

void useBytePictures(const RenderDrawing& d, u8* copy, const BytePictures& pictures) {
  if (pictures.source.pixmap && sourceAt(d)) put32(copy + sourceAt(d), pictures.source.picture);
  if (pictures.mask.pixmap && maskAt(d)) put32(copy + maskAt(d), pictures.mask.picture);
  if (pictures.destination.pixmap) put32(copy + d.destinationAt, pictures.destination.picture);
}

void endBytePictures(const RenderDrawing& d, Head* head, ServerLink* link, const BytePictures& pictures) {
  if (pictures.destination.pixmap) storeBytePicture(d.destination, head, link, pictures.destination);
  freeBytePicture(link, pictures.source);
  freeBytePicture(link, pictures.mask);
  freeBytePicture(link, pictures.destination);
}

void freeBytePicture(ServerLink* link, const BytePicture& copy) {
  if (!copy.pixmap) return;
  freePicture(link, copy.picture);
  xprotoFreeGC(&link->writer, copy.gc);
  xprotoFreePixmap(&link->writer, copy.pixmap);
}

}  // namespace palvon

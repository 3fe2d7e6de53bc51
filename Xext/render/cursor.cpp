// RENDER cursors: the image of a cursor picture is read once from a head
// and kept in the cursor record, so that every head (zoomed, turned or
// joining later) is given the cursor made from it; animated cursors keep
// their frames' images with the delays.
#include <X11/X.h>
#include <X11/Xutil.h>
#include <X11/extensions/render.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/probe.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Xext/render/internal.h"
#include "base/logging.h"
#include "xsupport/rclib/pointer.h"

namespace palvon {

namespace {

constexpr u8 kBadPicture = 1;

// The head a picture's pixmap is read from: an unscaled one of its screen
// when there is one (no scaling back).
Head* readHead(const PixmapRecord* pixmap) {
  MetaScreen* screen = pixmap->screen;
  if (!screen) return nullptr;
  for (Head* head = screen->heads; head; head = head->next)
    if (!head->scaler && isHeadOnline(head)) return head;
  return screen->mainHead ? screen->mainHead : screen->heads;
}

// The picture's pixels as a 32-bit image (rows of width x 4 bytes, least
// significant byte first); null when they could not be read.
u8* readCursorImage(ProxyClient* client, const PictureRecord* picture) {
  Head* head = picture->pixmap ? readHead(picture->pixmap) : nullptr;
  if (!head || !isHeadOnline(head)) return nullptr;
  ServerLink* link = clientLink(client, head->serverIndex);
  // The client's drawing into the pixmap must have reached the server.
  if (!link || syncServerLink(link)) return nullptr;
  XImage* image = getPixmapImageFromHead(picture->pixmap, head);
  if (!image) return nullptr;
  u32 width = picture->pixmap->width, height = picture->pixmap->height;
  auto* bits = static_cast<u8*>(memCalloc(u64(width) * height * 4 + 4, 1));
  if (bits) {
    for (u32 y = 0; y < height && y < u32(image->height); y++)
      for (u32 x = 0; x < width && x < u32(image->width); x++)
        put32(bits + 4 * (u64(y) * width + x), u32(XGetPixel(image, int(x), int(y))));
  }
  XDestroyImage(image);
  return bits;
}

// Makes the cursor on every head of every meta screen through the client's
// links; false when a head could not be served.
bool replicateEverywhere(ProxyClient* client, CursorRecord* cursor) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      ServerLink* link = clientLink(client, head->serverIndex);
      if (!link || !isHeadOnline(head)) continue;
      if (!replicateCursorOnHead(cursor, client, &link->writer, translateXid(cursor->id, RT_CURSOR, head), head))
        return false;
    }
  }
  return true;
}

// Enters the images into a new cursor record and makes it everywhere; the
// images become the record's (freed here on failure).
void createCursor(u8* request, u32 length, u32 id, HeadCursor* images, u32 count) {
  ProxyClient* client = currentClient;
  CursorRecord* cursor = createCursorRecord(id, 0);
  if (!cursor) {
    cursorImageArrayFree(images, count);
    return sendXError(BadAlloc, 104, request, length, nullptr);
  }
  cursor->images = images;
  cursor->imageCount = count;
  setRequestResource(client, id);
  if (!replicateEverywhere(client, cursor)) sendXError(BadAlloc, 0, request, length, nullptr);
}

}  // namespace

void ProcRenderCreateCursor(u8* request, u32 length) {
  u32 id = get32(request + 4), source = get32(request + 8);
  PictureRecord* picture = lookupPicture(source);
  if (!picture || !picture->format) return sendExtensionError(kBadPicture, source, request, length, nullptr);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  auto* image = static_cast<HeadCursor*>(memCalloc(1, sizeof(HeadCursor)));
  if (!image) return sendXError(BadAlloc, 104, request, length, nullptr);
  if (picture->pixmap) {
    image->width = picture->pixmap->width;
    image->height = picture->pixmap->height;
    image->image = readCursorImage(currentClient, picture);
  }
  if (!image->image) {
    // A window picture or an unreadable pixmap: nothing a cursor can show.
    free(image);
    return sendXError(BadMatch, source, request, length, nullptr);
  }
  image->depth = picture->format->depth;
  image->hotX = get16(request + 12) < image->width ? get16(request + 12) : image->width;
  image->hotY = get16(request + 14) < image->height ? get16(request + 14) : image->height;
  image->renderFormat = picture->format->id;
  createCursor(request, length, id, image, 1);
}

void ProcRenderCreateAnimCursor(u8* request, u32 length) {
  if (length < 8 || (length - 8) % 8) return sendXError(BadLength, length, request, length, nullptr);
  u32 id = get32(request + 4), frames = (length - 8) / 8;
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  for (u32 f = 0; f < frames; f++) {
    u32 frame = get32(request + 8 + 8 * f);
    auto* cursor = static_cast<CursorRecord*>(lookupResourceByType(frame, RT_CURSOR));
    if (!cursor) return sendXError(BadCursor, frame, request, length, nullptr);
    if (cursor->imageCount > 1) return sendXError(BadMatch, frame, request, length, nullptr);
    if (!cursor->imageCount) return sendXError(BadCursor, frame, request, length, nullptr);
  }
  auto* images = static_cast<HeadCursor*>(memCalloc(frames ? frames : 1, sizeof(HeadCursor)));
  if (!images) return sendXError(BadAlloc, 0, request, length, nullptr);
  for (u32 f = 0; f < frames; f++) {
    auto* cursor = static_cast<CursorRecord*>(lookupResourceByType(get32(request + 8 + 8 * f), RT_CURSOR));
    if (!cursorImageCopy(&images[f], &cursor->images[0])) {
      cursorImageArrayFree(images, frames);
      return sendXError(BadAlloc, 0, request, length, nullptr);
    }
    images[f].delay = get32(request + 12 + 8 * f);
  }
  createCursor(request, length, id, images, frames);
}

}  // namespace palvon

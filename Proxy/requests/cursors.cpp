// Cursors, QueryBestSize and the extension queries (core opcodes 93 to 99).
#include "Proxy/requests/cursors.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/dispatch/targets.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/pixels.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "base/logging.h"
#include "xsupport/rclib/pointer.h"
#include "xsupport/xfont.h"

namespace palvon {

namespace {

constexpr u32 kCorePointerDevice = 256;
constexpr u8 kStashQueryBestSize = X_QueryBestSize;
constexpr u8 kStashQueryExtension = X_QueryExtension;

Head* screenColorHead(const MetaScreen* screen) {
  if (!screen) return nullptr;
  if (screen->colorHead) return screen->colorHead;
  return screen->mainHead ? screen->mainHead : screen->heads;
}

// The head a pixmap is read from: its screen's colour head unless that one
// is zoomed or turned and another head is not (no scaling back needed).
Head* pixmapReadHead(const PixmapRecord* pixmap) {
  Head* color = screenColorHead(pixmap->screen);
  if (!color || !color->scaler) return color;
  for (Head* head = pixmap->screen->heads; head; head = head->next)
    if (!head->scaler && isHeadOnline(head)) return head;
  return color;
}

// The pixmap's bits in the client's cursor layout; null when they could
// not be read. The client's drawing into the pixmap is executed on the
// head first (one round trip on its link).
u8* readPixmapBits(ProxyClient* client, const PixmapRecord* pixmap) {
  Head* head = pixmapReadHead(pixmap);
  if (!head || !isHeadOnline(head)) return nullptr;
  if (ServerLink* link = clientLink(client, head->serverIndex)) {
    if (const char* failure = syncServerLink(link)) {
      LOGF(logChWarning, "%s", failure);
      return nullptr;
    }
  }
  u16 width = pixmap->width, height = pixmap->height;
  if (head->scaler) scaleSize(head->scaler, &width, &height);
  XImage* image = XfsGetImage(head->display, pixmapServerId(pixmap, head), 0, 0, width, height, 1, XYPixmap);
  if (!image) return nullptr;
  bool owned = true;
  XImage* meta = convertImageToDepth(image, 1, &owned, head);
  u8* bits = meta ? cursorBitsFromImage(meta, pixmap->width, pixmap->height) : nullptr;
  if (meta) XDestroyImage(meta);
  return bits;
}

XColor rgb(const u8* fields) {
  XColor colour{};
  colour.red = get16(fields);
  colour.green = get16(fields + 2);
  colour.blue = get16(fields + 4);
  colour.flags = DoRed | DoGreen | DoBlue;
  return colour;
}

// Makes the cursor on every head of every meta screen through the client's
// links; false (BadAlloc sent) when a head could not be served.
bool replicateEverywhere(ProxyClient* client, CursorRecord* cursor, const u8* request, u32 length) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      ServerLink* link = clientLink(client, head->serverIndex);
      if (!link || !isHeadOnline(head)) continue;
      if (!replicateCursorOnHead(cursor, client, &link->writer, translateXid(cursor->id, RT_CURSOR, head), head)) {
        sendXError(BadAlloc, 0, request, length, nullptr);
        return false;
      }
    }
  }
  return true;
}

// Enters the image into a new record under the id and makes it on every
// head; the bits become the record's (freed here on failure).
void createCursorFromBits(u8* request, u32 length, u32 id, HeadCursor image) {
  ProxyClient* client = currentClient;
  CursorRecord* cursor = createCursorRecord(id, 0);
  auto* images = static_cast<HeadCursor*>(std::calloc(1, sizeof(HeadCursor)));
  if (!cursor || !images) {
    std::free(images);
    if (image.mask != image.image) std::free(image.mask);
    std::free(image.image);
    if (cursor) freeResource(id);
    sendXError(BadAlloc, 0, request, length, nullptr);
    return;
  }
  images[0] = image;
  cursor->images = images;
  cursor->imageCount = 1;
  setRequestResource(client, id);
  replicateEverywhere(client, cursor, request, length);
}

void rewriteCursorId(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_CURSOR, target.head));
}

// The font id under which the font display's server knows the font.
Font fontOnFontDisplay(ProxyClient* client, FontRecord* font, u32 clientId, Head* fontHead) {
  if (font->fontInfoLoaded && font->fontInfo) return font->fontInfo->fid;
  if (ServerLink* link = clientLink(client, fontHead->serverIndex)) syncServerLink(link);
  Head* named = fontHead->equivalentHead ? fontHead->equivalentHead : fontHead;
  return translateXid(clientId, RT_FONT, named);
}

Head* fontDisplayHead() {
  if (fontDisplay && fontDisplay->firstHead) return fontDisplay->firstHead;
  MetaScreen* screen = proxyState.screens;
  return screen ? (screen->mainHead ? screen->mainHead : screen->heads) : nullptr;
}

}  // namespace

u8* cursorBitsFromImage(const XImage* image, u32 width, u32 height) {
  u32 rowBytes = (width + 7) / 8;
  auto* bits = static_cast<u8*>(std::calloc(u64(rowBytes) * height + 1, 1));
  if (!bits) return nullptr;
  u32 w = width < u32(image->width) ? width : u32(image->width);
  u32 h = height < u32(image->height) ? height : u32(image->height);
  auto* source = const_cast<XImage*>(image);
  for (u32 y = 0; y < h; y++)
    for (u32 x = 0; x < w; x++)
      if (XGetPixel(source, int(x), int(y)) & 1) bits[y * rowBytes + x / 8] |= u8(1u << (x % 8));
  return bits;
}

bool describeCursorImages(const CursorRecord* cursor, const HeadCursor** images, u32* count) {
  *images = cursor ? cursor->images : nullptr;
  *count = cursor && cursor->images ? cursor->imageCount : 0;
  return *count != 0;
}

// --- Cursors ------------------------------------------------------------------------

void ProcCreateCursor(u8* request, u32 length) {
  u32 id = get32(request + 4), sourceId = get32(request + 8), maskId = get32(request + 12);
  u16 hotX = get16(request + 28), hotY = get16(request + 30);
  // The new id first, as a plain server checks it.
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  PixmapRecord* source = lookupPixmap(sourceId);
  if (!source) return sendXError(BadPixmap, sourceId, request, length, "invalid src pixmap");
  if (source->depth != 1 || hotX > source->width || hotY > source->height)
    return sendXError(BadMatch, sourceId, request, length, "bad src pixmap usage");
  PixmapRecord* mask = maskId ? lookupPixmap(maskId) : nullptr;
  if (maskId && !mask) return sendXError(BadPixmap, maskId, request, length, "invalid mask pixmap");
  if (mask && (mask->depth != 1 || mask->width != source->width || mask->height != source->height))
    return sendXError(BadMatch, maskId, request, length, "invalid mask pixmap usage");
  ProxyClient* client = currentClient;
  u8* bits = readPixmapBits(client, source);
  // Without the image there is no cursor to make: the client must hear so.
  if (!bits) return sendXError(BadAlloc, 0, request, length, nullptr);
  u8* maskBits = nullptr;
  if (mask == source) {
    maskBits = bits;
  } else if (mask) {
    maskBits = readPixmapBits(client, mask);
    if (!maskBits) PALVON_UNE();
  }
  HeadCursor image{};
  image.width = source->width;
  image.height = source->height;
  image.depth = 1;
  image.hotX = hotX < source->width ? hotX : source->width;
  image.hotY = hotY < source->height ? hotY : source->height;
  image.foreground = rgb(request + 16);
  image.background = rgb(request + 22);
  image.image = bits;
  image.mask = maskBits;
  createCursorFromBits(request, length, id, image);
}

void ProcCreateGlyphCursor(u8* request, u32 length) {
  u32 id = get32(request + 4), sourceFontId = get32(request + 8), maskFontId = get32(request + 12);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  FontRecord* sourceFont = lookupFont(sourceFontId);
  if (!sourceFont) return sendXError(BadFont, sourceFontId, request, length, nullptr);
  FontRecord* maskFont = maskFontId ? lookupFont(maskFontId) : nullptr;
  if (maskFontId && !maskFont) return sendXError(BadFont, maskFontId, request, length, nullptr);
  ProxyClient* client = currentClient;
  Head* fontHead = fontDisplayHead();
  if (!fontHead || !isHeadOnline(fontHead)) return sendXError(BadValue, 0, request, length, nullptr);
  Font sourceOnDisplay = fontOnFontDisplay(client, sourceFont, sourceFontId, fontHead);
  Font maskOnDisplay = maskFont ? fontOnFontDisplay(client, maskFont, maskFontId, fontHead) : None;
  GlyphCursorImages glyphs{};
  if (!xfontGlyphCursorImages(fontHead->display, sourceOnDisplay, get16(request + 16), maskOnDisplay,
                              get16(request + 18), &glyphs))
    return sendXError(BadValue, get16(request + 16), request, length, nullptr);
  HeadCursor image{};
  image.width = u16(glyphs.width);
  image.height = u16(glyphs.height);
  image.depth = 1;
  image.hotX = u16(glyphs.hotX < 0 ? 0 : glyphs.hotX);
  image.hotY = u16(glyphs.hotY < 0 ? 0 : glyphs.hotY);
  image.foreground = rgb(request + 20);
  image.background = rgb(request + 26);
  image.image = cursorBitsFromImage(glyphs.source, glyphs.width, glyphs.height);
  image.mask = glyphs.mask ? cursorBitsFromImage(glyphs.mask, glyphs.width, glyphs.height) : nullptr;
  XDestroyImage(glyphs.source);
  bool lost = !image.image || (glyphs.mask && !image.mask);
  if (glyphs.mask) XDestroyImage(glyphs.mask);
  if (lost) {
    std::free(image.image);
    std::free(image.mask);
    return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  createCursorFromBits(request, length, id, image);
}

void ProcFreeCursor(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (!lookupResourceByType(id, RT_CURSOR)) return sendXError(BadCursor, id, request, length, nullptr);
  setRequestResource(currentClient, id);
  forwardRequest(request, length, rewriteCursorId);
  freeResource(id);
}

void ProcRecolorCursor(u8* request, u32 length) {
  u32 id = get32(request + 4);
  auto* cursor = static_cast<CursorRecord*>(lookupResourceByType(id, RT_CURSOR));
  if (!cursor) return sendXError(BadCursor, id, request, length, nullptr);
  setRequestResource(currentClient, id);
  for (u32 i = 0; i < cursor->imageCount; i++) {
    cursor->images[i].foreground = rgb(request + 8);
    cursor->images[i].background = rgb(request + 14);
  }
  if (cursor == proxyState.pointerCursor) {
    proxyState.pointerCursor = nullptr;
    recordCursorChange(kCorePointerDevice);
  }
  forwardRequest(request, length, rewriteCursorId);
}

// --- QueryBestSize ---------------------------------------------------------------------

namespace {

// What the reply needs: the class, the screen and the asked size, packed
// into the stash word (never 0: the screen number is stored plus one).
uintptr_t packBestSize(u8 shape, u32 screen, u16 width, u16 height) {
  return uintptr_t(shape) | uintptr_t((screen + 1) & 0x3fff) << 2 | uintptr_t(width) << 16 | uintptr_t(height) << 32;
}

struct BestSizeTarget {
  ServerLink* link;
  MetaScreen* screen;
};

void rewriteBestSize(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* found = static_cast<BestSizeTarget*>(argument);
  found->link = target.link;
  if (!target.head) return;
  found->screen = target.head->metaScreen;
  if (found->screen) put32(copy + 4, translateXid(found->screen->rootId, RT_WINDOW, target.head));
  if (target.head->scaler) {
    u16 width = get16(copy + 8), height = get16(copy + 10);
    scaleSize(target.head->scaler, &width, &height);
    put16(copy + 8, width), put16(copy + 10, height);
  }
}

// The largest cursor every head can show: the smallest answer over the
// screen's heads, each counted in its pointer scaling. False when a head
// could not be asked.
bool bestCursorSize(MetaScreen* screen, u16 width, u16 height, u32* outWidth, u32* outHeight) {
  u32 bestWidth = screen->width, bestHeight = screen->height;
  bool severalServers = serverDisplayCount >= 2;
  for (Head* head = screen->heads; head; head = head->next) {
    if (!isHeadOnline(head)) continue;
    if (severalServers && resourceServerDisplay && head->serverDisplay == resourceServerDisplay) continue;
    bool turned = head->rotation & 1;
    unsigned int w = 0, h = 0;
    if (!XfsQueryBestSize(head->display, CursorShape, head->root, turned ? height : width, turned ? width : height,
                          &w, &h))
      return false;
    if (turned) std::swap(w, h);
    double zoomX = head->zoomX ? head->zoomX : 1.0, zoomY = head->zoomY ? head->zoomY : 1.0;
    u32 scaledWidth = u32(w * zoomX), scaledHeight = u32(h * zoomY);
    if (scaledWidth < bestWidth) bestWidth = scaledWidth;
    if (scaledHeight < bestHeight) bestHeight = scaledHeight;
  }
  *outWidth = bestWidth > 65535 ? 65535 : bestWidth;
  *outHeight = bestHeight > 65535 ? 65535 : bestHeight;
  return true;
}

}  // namespace

void ProcQueryBestSize(u8* request, u32 length) {
  u8 shape = request[1];
  if (shape > StippleShape) return sendXError(BadValue, shape, request, length, nullptr);
  // The drawable only says the screen, but it must be one; an InputOnly
  // window has no tiles or stipples.
  DrawableInfo info{};
  u32 drawable = get32(request + 4);
  if (!describeDrawable(drawable, &info)) return sendXError(BadDrawable, drawable, request, length, nullptr);
  if (shape != CursorShape && info.inputOnly) return sendXError(BadMatch, drawable, request, length, nullptr);
  BestSizeTarget found{nullptr, nullptr};
  if (!forwardRequest(request, length, rewriteBestSize, &found) || !found.link) return;
  u32 screen = found.screen ? found.screen->number : 0;
  auto data = packBestSize(shape, screen, get16(request + 8), get16(request + 10));
  stashRequestData(found.link, kStashQueryBestSize, reinterpret_cast<void*>(data), nullptr);
}

void ReplyQueryBestSize(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto data = link ? reinterpret_cast<uintptr_t>(takeStashedData(link, kStashQueryBestSize)) : 0;
  if (!data) {
    PALVON_UNE();
    return sendReplyToClient(reply, length, requestRowOf(X_QueryBestSize)->replyLayout);
  }
  u8 shape = u8(data & 3);
  u32 screenNumber = u32((data >> 2) & 0x3fff) - 1;
  u16 width = u16(data >> 16), height = u16(data >> 32);
  Head* imageHead = link->server.display ? link->server.display->firstHead : nullptr;
  MetaScreen* screen = findMetaScreen(screenNumber);
  if (shape != CursorShape) {
    u16 w = get16(reply + 8), h = get16(reply + 10);
    if (imageHead && imageHead->scaler) unscaleSize(imageHead->scaler, &w, &h);
    put16(reply + 8, w), put16(reply + 10, h);
  } else if (screen) {
    u32 w = 0, h = 0;
    if (bestCursorSize(screen, width, height, &w, &h)) put16(reply + 8, u16(w)), put16(reply + 10, u16(h));
  }
  sendReplyToClient(reply, length, requestRowOf(X_QueryBestSize)->replyLayout);
}

// --- Extension queries -------------------------------------------------------------------

void ProcQueryExtension(u8* request, u32 length) {
  ExtensionEntry* entry = findExtensionByCountedName(request + 8, get16(request + 4));
  ServerLink* link = nullptr;
  auto remember = [](u8*, u32, const RouteTarget& target, void* argument) {
    *static_cast<ServerLink**>(argument) = target.link;
  };
  if (!forwardRequest(request, length, remember, &link) || !link) return;
  // Never 0: 0x100 marks a stash without an entry.
  uintptr_t data = 0x100 | (entry ? entry->major : 0);
  stashRequestData(link, kStashQueryExtension, reinterpret_cast<void*>(data), nullptr);
}

void ReplyQueryExtension(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto data = link ? reinterpret_cast<uintptr_t>(takeStashedData(link, kStashQueryExtension)) : 0;
  u8 major = u8(data & 0xff);
  const ExtensionEntry* entry = major ? &proxyState.extensions.entries[major] : nullptr;
  if (entry && !entry->name) entry = nullptr;
  if (!data) PALVON_UNE();
  reply[8] = entry ? 1 : 0;
  reply[9] = entry ? entry->major : 0;
  reply[10] = entry ? entry->firstEvent : 0;
  reply[11] = entry ? entry->firstError : 0;
  sendReplyToClient(reply, length, requestRowOf(X_QueryExtension)->replyLayout);
}

void ProcListExtensions(u8* request, u32 length) { forwardRequest(request, length); }

void ReplyListExtensions(u8* reply, u32) {
  ProxyClient* client = currentClient;
  if (!client) return;
  // Every name is at most 255 bytes plus its length byte, at most 256 names.
  constexpr u32 kNamesMax = 256 * 256;
  auto* out = static_cast<u8*>(std::malloc(32 + kNamesMax));
  if (!out) return replaceReplyByError(BadAlloc, 0, X_ListExtensions);
  u32 total = 0;
  u32 count = collectExtensionNames(out + 32, &total);
  u32 padded = pad4(total);
  std::memset(out + 32 + total, 0, padded - total);
  std::memset(out, 0, 32);
  out[0] = X_Reply;
  out[1] = u8(count);
  std::memcpy(out + 2, reply + 2, 2);
  put32(out + 4, padded / 4);
  sendReplyToClient(out, 32 + padded, requestRowOf(X_ListExtensions)->replyLayout);
  std::free(out);
}

}  // namespace palvon

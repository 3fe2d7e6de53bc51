// CreatePixmap (53) and FreePixmap (54): a pixmap on every head of the
// drawable's meta screen, in the head's depth and scaled size.
#include <X11/X.h>
#include <X11/Xproto.h>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/requests/drawablefacts.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/fonts.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"

namespace palvon {

namespace {

bool depthOffered(u32 depth) {
  for (u32 i = 0; i < offeredPixmapFormatCount; i++)
    if (offeredPixmapFormats[i].depth == depth) return true;
  return false;
}

// A head tagged sloppyDepths that lacks the depth gets no copy.
bool skipPixmapHead(const RouteTarget& target, void* argument) {
  const auto* pixmap = static_cast<const PixmapRecord*>(argument);
  return target.head && (target.head->tags & kHeadTagSloppyDepths) && isDepthMissingOnHead(pixmap->depth, target.head);
}

// The depth of the pixmap on the head: that of the head's match of the
// pixmap's visual (emulated visuals use their emulated depth), else the
// head's depth for the client depth.
u8 headDepth(const PixmapRecord* pixmap, const Head* head) {
  return u8(drawableDepthOnHead(pixmap->visual, pixmap->depth, head));
}

void rewriteCreatePixmap(u8* copy, u32, const RouteTarget& target, void* argument) {
  const auto* pixmap = static_cast<const PixmapRecord*>(argument);
  const Head* head = target.head;
  put32(copy + 4, translateXid(pixmap->id, RT_SERVER_ID, head));
  stashCreatedId(target.link, pixmap->id);
  if (!head) return;
  u32 drawable = get32(copy + 8);
  put32(copy + 8, (head->tags & kHeadTagSloppyVisuals) ? u32(head->root) : mapDrawableToHead(drawable, head));
  if (head->scaler) {
    u16 width = get16(copy + 12), height = get16(copy + 14);
    scaleSize(head->scaler, &width, &height);
    put16(copy + 12, width), put16(copy + 14, height);
  }
  copy[1] = headDepth(pixmap, head);
}

}  // namespace

void ProcCreatePixmap(u8* request, u32 length) {
  u8 depth = request[1];
  u32 id = get32(request + 4), drawable = get32(request + 8);
  u16 width = get16(request + 12), height = get16(request + 14);
  setRequestResource(currentClient, drawable);
  DrawableInfo d;
  if (!describeDrawable(drawable, &d)) return sendXError(BadDrawable, drawable, request, length, nullptr);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  if (!width) return sendXError(BadValue, 0, request, length, "width");
  if (!height) return sendXError(BadValue, 0, request, length, "height");
  if (!depthOffered(depth)) return sendXError(BadValue, depth, request, length, "depth");
  VisualRecord* visual = d.depth == depth ? d.visual : nullptr;
  PixmapRecord* pixmap = createPixmapRecord(id, width, height, depth, d.screen, visual);
  if (!pixmap) return sendXError(BadAlloc, 64, request, length, nullptr);
  if (!addResource(id, RT_PIXMAP, pixmap)) return sendXError(BadAlloc, 64, request, length, nullptr);
  // The stash follows each copy; it is written from the rewrite, after the
  // copy was counted on the link.
  forwardToHeads(request, length, skipPixmapHead, rewriteCreatePixmap, pixmap);
}

void ProcFreePixmap(u8* request, u32 length) {
  u32 id = get32(request + 4);
  setRequestResource(currentClient, id);
  if (!lookupPixmap(id)) return sendXError(BadPixmap, id, request, length, nullptr);
  // The server copies go with the record when its last reference goes.
  freeResourceById(id, RT_NONE);
}

bool describePixmap(u32 pixmapId, PixmapFacts* out) {
  const PixmapRecord* pixmap = lookupPixmap(pixmapId);
  if (!pixmap) {
    *out = {};
    return false;
  }
  *out = {pixmap->width, pixmap->height, pixmap->depth};
  return true;
}

}  // namespace palvon

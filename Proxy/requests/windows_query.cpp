// GetWindowAttributes, GetGeometry and QueryTree: asked of the main head of
// the window's meta screen, answered in the client's terms (ids, the meta
// root, the geometry and the attributes the proxy keeps itself).
#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/windows.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/visuals/colorheads.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"

namespace palvon {

namespace {

// What the reply handlers need, left on the link with the request.
struct AttributesStash {
  Head* head;
  u8 backingStore, bitGravity, windowGravity;
  u32 yourEventMask, allEventMasks;
  u32 visual;  // the window's, 0 when the model has none
};

struct DrawableStash {
  Head* head;
  u32 id;  // the drawable or window asked about
  // GetGeometry: the drawable as the client knew it when it asked (its
  // client may destroy or change it before the head answers).
  const VisualRecord* visual;  // an InputOutput window's, else null
  u8 depth;
  bool pixmap;
  bool modelled;  // a window or pixmap: the geometry below is the answer
  i16 x, y;
  u16 width, height, border;
};

// A stash handed to the one head's copy (null once taken).
struct StashHandOver {
  u8 code;
  void* data;
  u32 kind;  // how the id is translated: a window kind, or RT_DRAWABLE
};

void rewriteAndStash(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* handOver = static_cast<StashHandOver*>(argument);
  if (Head* head = target.head) {
    u32 id = get32(copy + 4);
    put32(copy + 4, handOver->kind == RT_DRAWABLE ? mapDrawableToHead(id, head) : translateXid(id, handOver->kind, head));
  }
  if (!handOver->data) return;
  // The head asked is known only here.
  *static_cast<Head**>(handOver->data) = target.head;
  stashRequestData(target.link, handOver->code, handOver->data, std::free);
  handOver->data = nullptr;
}

void forwardWithStash(u8* request, u32 length, u8 code, void* data, u32 kind) {
  StashHandOver handOver{code, data, kind};
  forwardRequest(request, length, rewriteAndStash, &handOver);
  std::free(handOver.data);  // no head took it
}

MetaScreen* screenOfHead(const Head* head) { return head ? head->metaScreen : proxyState.screens; }

// A window id of the head's server in the client's terms: the head's own
// root and its copy of the meta root are the meta root.
u32 windowIdBack(u32 serverId, const Head* head) {
  if (serverId == None || !head) return serverId;
  MetaScreen* screen = head->metaScreen;
  if (screen && (serverId == head->root || serverId == head->rootWindow)) return screen->rootId;
  return reverseMapServerXid(serverId, head);
}

u32 colormapBack(u32 serverId, const Head* head) {
  if (serverId == None || !head) return serverId;
  MetaScreen* screen = head->metaScreen;
  if (screen && (serverId == head->defaultColormap || (head->colormap && serverId == head->colormap)))
    return screen->defaultColormap;
  return reverseMapServerXid(serverId, head);
}

// A child of `parent` by its id on the head, from the model first: the
// children the proxy made for its clients are known by their head ids.
u32 childIdBack(u32 serverId, const ProxyWindow* parent, const Head* head) {
  if (parent && head) {
    for (const ProxyWindow* child = parent->topChild; child; child = child->nextLower) {
      if (translateXid(child->id, RT_WINDOW, head) == serverId) return child->id;
    }
  }
  return windowIdBack(serverId, head);
}

LayoutString replyLayout(u8 major) { return coreRequestRow(major).replyLayout; }

}  // namespace

// --- GetWindowAttributes ------------------------------------------------------------------

void ProcGetWindowAttributes(u8* request, u32 length) {
  ProxyClient* client = currentClient;
  u32 id = get32(request + 4);
  ProxyWindow* window = lookupWindow(id);
  if (!window) return sendXError(BadWindow, id, request, length, nullptr);
  setRequestResource(client, id);
  auto* stash = static_cast<AttributesStash*>(std::calloc(1, sizeof(AttributesStash)));
  if (!stash) return sendXError(BadAlloc, 32, request, length, nullptr);
  EventSelection* own = findEventSelection(window, client);
  *stash = {nullptr,
            window->backingStore,
            window->bitGravity,
            window->windowGravity,
            own ? own->eventMask : 0,
            allEventMasks(window),
            window->visual ? window->visual->visualId : 0};
  forwardWithStash(request, length, X_GetWindowAttributes, stash, RT_WINDOW);
}

void ReplyGetWindowAttributes(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto* stash = link ? static_cast<AttributesStash*>(takeStashedData(link, X_GetWindowAttributes)) : nullptr;
  Head* head = stash ? stash->head : nullptr;
  if (stash) {
    // The proxy keeps these for the whole meta screen; a head knows only
    // its own copy's.
    reply[1] = stash->backingStore;
    reply[14] = stash->bitGravity;
    reply[15] = stash->windowGravity;
    put32(reply + 32, stash->allEventMasks);
    put32(reply + 36, stash->yourEventMask);
  }
  // The model's visual: a head that shows several of the screen's visuals
  // through one of its own cannot say which of them the window has.
  if (stash && stash->visual) put32(reply + 8, stash->visual);
  else if (link) put32(reply + 8, mapHeadVisualIdToClient(get32(reply + 8), link->server.display, head));
  put32(reply + 28, colormapBack(get32(reply + 28), head));
  if (isStaticColormapInstalled(get32(reply + 28))) reply[25] = 1;  // map-is-installed
  sendReplyToClient(reply, length, replyLayout(X_GetWindowAttributes));
  std::free(stash);
}

// --- GetGeometry ---------------------------------------------------------------------------

void ProcGetGeometry(u8* request, u32 length) {
  u32 id = get32(request + 4);
  setRequestResource(currentClient, id);
  auto* stash = static_cast<DrawableStash*>(std::calloc(1, sizeof(DrawableStash)));
  if (!stash) return sendXError(BadAlloc, 0, request, length, nullptr);
  stash->id = id;
  // The geometry as the client set it: a zoomed head would answer its own,
  // which folds neighbouring positions and sizes into one of its pixels.
  if (ProxyWindow* window = lookupWindow(id)) {
    const VisualRecord* visual = window->windowClass == kInputOutput ? window->visual : nullptr;
    i32 border = window->borderWidth;
    *stash = {nullptr, id, visual, window->depth, false, true, i16(window->relativeX - border),
              i16(window->relativeY - border), window->width, window->height, u16(border)};
  } else if (PixmapRecord* pixmap = lookupPixmap(id)) {
    *stash = {nullptr, id, nullptr, pixmap->depth, true, true, 0, 0, pixmap->width, pixmap->height, 0};
  }
  // An unknown id is the server's to refuse.
  forwardWithStash(request, length, X_GetGeometry, stash, RT_DRAWABLE);
}

namespace {

// The depth the client knows: its window's or pixmap's, where the head shows
// that visual at the depth it replied.
u8 clientDepthOf(const DrawableStash& asked, u8 replied, const Head* head) {
  if (asked.pixmap) return asked.depth;
  if (!asked.visual) return replied;
  const VisualRecord* match = head ? headVisualMatch(head, asked.visual) : nullptr;
  if (!match || match->depth == replied || (match->emulatedVisualId && match->emulatedDepth == replied))
    return asked.depth;
  return replied;
}

void unscaleReplyGeometry(u8* reply, u32 id, const Head* head) {
  i32 border = get16(reply + 20);
  HeadRect area{i16(get16(reply + 12)) + border, i16(get16(reply + 14)) + border, get16(reply + 16),
                get16(reply + 18)};
  u32 width, height, borderWidth, parentWidth = 0, parentHeight = 0;
  if (!getWindowGeometry(id, &width, &height, &borderWidth, &parentWidth, &parentHeight) && head->metaScreen) {
    parentWidth = head->metaScreen->width;
    parentHeight = head->metaScreen->height;
  }
  unscaleGeometry(head->scaler, &area, parentWidth, parentHeight);
  i32 metaBorder = i32(unscaleLength(head->scaler, u32(border)));
  put16(reply + 12, u16(area.x - metaBorder));
  put16(reply + 14, u16(area.y - metaBorder));
  put16(reply + 16, u16(area.width));
  put16(reply + 18, u16(area.height));
  put16(reply + 20, u16(metaBorder));
}

}  // namespace

void ReplyGetGeometry(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto* stash = link ? static_cast<DrawableStash*>(takeStashedData(link, X_GetGeometry)) : nullptr;
  if (!stash) {
    PALVON_UNE();
    sendReplyToClient(reply, length, replyLayout(X_GetGeometry));
    return;
  }
  Head* head = stash->head;
  MetaScreen* screen = screenOfHead(head);
  if (screen) put32(reply + 8, screen->rootId);
  reply[1] = clientDepthOf(*stash, reply[1], head);
  if (stash->modelled) {
    put16(reply + 12, u16(stash->x));
    put16(reply + 14, u16(stash->y));
    put16(reply + 16, stash->width);
    put16(reply + 18, stash->height);
    put16(reply + 20, stash->border);
  } else if (head && head->scaler) {
    unscaleReplyGeometry(reply, stash->id, head);
  }
  if (screen && stash->id == screen->rootId) {
    put16(reply + 12, 0);
    put16(reply + 14, 0);
  }
  sendReplyToClient(reply, length, replyLayout(X_GetGeometry));
  std::free(stash);
}

// --- QueryTree -------------------------------------------------------------------------------

void ProcQueryTree(u8* request, u32 length) {
  u32 id = get32(request + 4);
  setRequestResource(currentClient, id);
  auto* stash = static_cast<DrawableStash*>(std::calloc(1, sizeof(DrawableStash)));
  if (!stash) return sendXError(BadAlloc, 0, request, length, nullptr);
  stash->id = id;
  forwardWithStash(request, length, X_QueryTree, stash, RT_WINDOW);
}

void ReplyQueryTree(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto* stash = link ? static_cast<DrawableStash*>(takeStashedData(link, X_QueryTree)) : nullptr;
  Head* head = stash ? stash->head : nullptr;
  MetaScreen* screen = screenOfHead(head);
  u32 root = get32(reply + 8), parent = get32(reply + 12);
  if (stash && screen) {
    u32 metaRoot = screen->rootId;
    u32 parentBack = stash->id == metaRoot ? None : parent == root ? metaRoot : windowIdBack(parent, head);
    put32(reply + 8, metaRoot);
    put32(reply + 12, parentBack);
  } else {
    put32(reply + 8, windowIdBack(root, head));
    put32(reply + 12, windowIdBack(parent, head));
  }
  ProxyWindow* window = stash ? lookupWindow(stash->id) : nullptr;
  u32 count = get16(reply + 16);
  if (count > (length - 32) / 4) count = (length - 32) / 4;
  for (u32 k = 0; k < count; k++) {
    u8* child = reply + 32 + 4 * k;
    put32(child, childIdBack(get32(child), window, head));
  }
  sendReplyToClient(reply, length, replyLayout(X_QueryTree));
  std::free(stash);
}

}  // namespace palvon

// Windows and their mapping onto a joining head (rescopy.h).
#include <X11/X.h>
#include <X11/Xproto.h>

#include <cstdint>
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/rescopy.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/requests/windows.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowshape.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/bits.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Bits of a window value list (CreateWindow's order).
enum : u32 {
  kBackPixmap = 0, kBackPixel, kBorderPixmap, kBorderPixel, kBitGravity, kWinGravity, kBackingStore,
  kBackingPlanes, kBackingPixel, kOverrideRedirect, kSaveUnder, kEventMask, kDontPropagate, kColormap, kCursor
};
// What an InputOnly window may carry.
constexpr u32 kInputOnlyBits = 1u << kWinGravity | 1u << kOverrideRedirect | 1u << kEventMask |
                               1u << kDontPropagate | 1u << kCursor;
constexpr u8 kShapeRectanglesMinor = 1;

void setValue(WindowValueList* list, u32 bit, u32 value) {
  list->mask |= 1u << bit;
  list->values[bit] = value;
}

// The window's attributes as a value list in the client's terms, only what
// differs from a new window's.
WindowValueList modelValues(const ProxyWindow* window) {
  WindowValueList list{};
  switch (window->backgroundKind) {
    case kBackgroundParentRelative: setValue(&list, kBackPixmap, ParentRelative); break;
    case kBackgroundPixel: setValue(&list, kBackPixel, window->backgroundPixel); break;
    case kBackgroundPixmap:
      if (window->backgroundPixmap && window->backgroundPixmap->id) setValue(&list, kBackPixmap, window->backgroundPixmap->id);
      break;
    default: break;
  }
  if (window->borderPixmap && window->borderPixmap->id) setValue(&list, kBorderPixmap, window->borderPixmap->id);
  else if (window->borderWidth) setValue(&list, kBorderPixel, window->borderPixel);
  if (window->bitGravity != kGravityUnmap) setValue(&list, kBitGravity, window->bitGravity);
  if (window->windowGravity != kGravityNorthWest) setValue(&list, kWinGravity, window->windowGravity);
  if (window->backingStore) setValue(&list, kBackingStore, window->backingStore);
  if (window->backingPlanes != ~0u) setValue(&list, kBackingPlanes, window->backingPlanes);
  if (window->backingPixel) setValue(&list, kBackingPixel, window->backingPixel);
  if (window->overrideRedirect) setValue(&list, kOverrideRedirect, 1);
  if (window->saveUnder) setValue(&list, kSaveUnder, 1);
  if (window->doNotPropagateMask) setValue(&list, kDontPropagate, window->doNotPropagateMask);
  u32 inherited = window->parent ? window->parent->colormap : 0;
  if (window->colormap > 1 && window->colormap != inherited) setValue(&list, kColormap, window->colormap);
  if (window->cursor && window->cursor->id) setValue(&list, kCursor, window->cursor->id);
  if (window->windowClass == kInputOnly) list.mask &= kInputOnlyBits;
  return list;
}

u8 headDepthFor(const ProxyWindow* window, const Head* head) {
  if (window->windowClass == kInputOnly) return 0;
  const VisualRecord* match = window->visual ? headVisualMatch(head, window->visual) : nullptr;
  if (!match) return u8(mapDepthForHead(window->depth, head));
  return match->emulatedVisualId ? match->emulatedDepth : match->depth;
}

struct Geometry {
  i16 x, y;
  u16 width, height, borderWidth;
};

// The outer corner relative to the parent's inside, scaled on a zoomed head
// by edges, as every other window request does.
Geometry headGeometry(const ProxyWindow* window, const Head* head) {
  const ProxyWindow* parent = window->parent;
  Geometry g{i16(window->x - parent->x - window->borderWidth), i16(window->y - parent->y - window->borderWidth),
             window->width, window->height, window->borderWidth};
  const HeadScaler* scaler = head->scaler;
  if (!scaler) return g;
  const MetaScreen* screen = head->metaScreen;
  u32 frameWidth = screen ? screen->width : 0, frameHeight = screen ? screen->height : 0;
  HeadRect inside{window->x, window->y, window->width ? i32(window->width) : 1, window->height ? i32(window->height) : 1};
  HeadRect outer{parent->x, parent->y, parent->width ? i32(parent->width) : 1, parent->height ? i32(parent->height) : 1};
  scaleRectangleRotated(scaler, &inside, frameWidth, frameHeight);
  scaleRectangleRotated(scaler, &outer, frameWidth, frameHeight);
  u32 border = scaleBorderWidth(scaler, window->borderWidth);
  return {i16(inside.x - outer.x - i32(border)), i16(inside.y - outer.y - i32(border)), u16(inside.width),
          u16(inside.height), u16(border)};
}

bool writeShape(RequestWriter* writer, u8 major, u8 kind, u32 window, const Region* region, const Head* head) {
  u32 count = u32(regionNumRects(region));
  u32 length = 16 + 8 * count;
  u8* p = beginRequest(writer, major, kShapeRectanglesMinor, length);
  if (!p) return false;
  p[4] = 0;  // ShapeSet
  p[5] = kind;
  p[6] = 0;  // UnSorted
  p[7] = 0;
  put32(p + 8, window);
  put16(p + 12, 0);
  put16(p + 14, 0);
  const RegionBox* boxes = regionRects(region);
  for (u32 i = 0; i < count; i++) {
    xRectangle r{i16(boxes[i].x1), i16(boxes[i].y1), u16(boxes[i].x2 - boxes[i].x1), u16(boxes[i].y2 - boxes[i].y1)};
    if (head->scaler) scaleShapeRectangles(head->scaler, &r, 1);
    u8* at = p + 16 + 8 * i;
    put16(at, u16(r.x));
    put16(at + 2, u16(r.y));
    put16(at + 4, r.width);
    put16(at + 6, r.height);
  }
  finishRequest(writer, p, length, major, kShapeRectanglesMinor);
  markProxyCopy(writer);
  return true;
}

bool writeShapes(RequestWriter* writer, const ProxyWindow* window, u32 id, const Head* head) {
  if (!window->boundingShape && !window->clipShape && !window->inputShape) return true;
  ExtensionEntry* shape = findExtensionByName("SHAPE");
  if (!shape) return true;
  const Region* shapes[3] = {window->boundingShape, window->clipShape, window->inputShape};
  for (u8 kind = 0; kind < 3; kind++) {
    if (shapes[kind] && !writeShape(writer, shape->major, kind, id, shapes[kind], head)) return false;
  }
  return true;
}

bool writeMapSubwindows(RequestWriter* writer, u32 window) {
  u8* p = beginRequest(writer, X_MapSubwindows, 0, 8);
  if (!p) return false;
  put32(p + 4, window);
  finishRequest(writer, p, 8, X_MapSubwindows, 0);
  markProxyCopy(writer);
  return true;
}

RequestWriter* ownerWriterOf(ProxyClient* owner, const Head* head) {
  if (!owner) return nullptr;
  ServerLink* link = clientLink(owner, head->serverIndex);
  return link && link->descriptor >= 0 ? &link->writer : nullptr;
}

RequestWriter* ownerWriter(const ProxyWindow* window, const Head* head) { return ownerWriterOf(window->owner, head); }

// The mapping of one window's children: one MapSubwindows when the owner
// maps them all, else each mapped child from the bottom up.
void mapChildren(ProxyWindow* window, const Head* head) {
  if (!window->bottomChild) return;
  bool all = window->owner != nullptr;
  for (ProxyWindow* child = window->bottomChild; child && all; child = child->nextUpper)
    all = child->mapped && child->owner == window->owner;
  if (all) {
    if (RequestWriter* writer = ownerWriter(window, head)) writeMapSubwindows(writer, translateXid(window->id, RT_WINDOW, head));
    return;
  }
  for (ProxyWindow* child = window->bottomChild; child; child = child->nextUpper) {
    if (!child->mapped) continue;
    if (RequestWriter* writer = ownerWriter(child, head)) {
      xprotoMapWindow(writer, translateXid(child->id, RT_WINDOW, head));
      markProxyCopy(writer);
    }
  }
}

// Through the proxy's own connection: the meta root on the head is the
// proxy's window.
void copyRootBackground(ProxyWindow* root, Head* head) {
  Display* display = head->display;
  bool given = root->backgroundKind == kBackgroundPixel ||
               (root->backgroundKind == kBackgroundPixmap && root->backgroundPixmap);
  if (!display || !head->rootWindow || !given) return;
  u32 pixmap = 0, pixel = 0;
  i32 x = 0, y = 0;
  XSetWindowAttributes values{};
  unsigned long mask = CWBackPixel;
  if (resolveBackgroundPixmap(root, head, &pixmap, &x, &y, &pixel)) {
    values.background_pixmap = pixmap;
    mask = CWBackPixmap;
  } else {
    values.background_pixel = pixel;
  }
  XfsChangeWindowAttributes(display, head->rootWindow, mask, &values);
  XfsClearArea(display, head->rootWindow, 0, 0, 0, 0, False);
}

// The root's cursor goes on a client's link: the one of its owner while
// the id lives, else (made for the head, freed once the root holds it) the
// first client's with a link to the head.
void copyRootCursor(ProxyWindow* root, Head* head) {
  CursorRecord* cursor = root->cursor;
  if (!cursor || !head->rootWindow) return;
  ProxyClient* client = cursor->id ? findClientByXid(cursor->id) : nullptr;
  for (ProxyClient* c = clientList; c && !ownerWriterOf(client, head); c = c->next) client = c;
  RequestWriter* writer = ownerWriterOf(client, head);
  if (!writer) return;
  u32 made = 0;
  u32 id = cursor->id ? translateXid(cursor->id, RT_CURSOR, head) : (made = copyCursorToHead(cursor, client, head));
  if (!id) return;
  XSetWindowAttributes values{};
  values.cursor = id;
  xprotoChangeWindowAttributes(writer, u32(head->rootWindow), CWCursor, &values);
  markProxyCopy(writer);
  if (made) {
    xprotoFreeCursor(writer, made);
    markProxyCopy(writer);
  }
}

}  // namespace

int copyWindowTreeToDisplay(ProxyWindow* window, RequestWriter* writer, Head* head) {
  // A root stands for the meta root the proxy made on the head itself:
  // only a background and a cursor a client gave it go there.
  if (!window->parent) {
    copyRootBackground(window, head);
    copyRootCursor(window, head);
    return 1;
  }
  WindowValueList values = modelValues(window);
  Geometry g = headGeometry(window, head);
  u8 depth = headDepthFor(window, head);
  u32 visual = CopyFromParent;
  if (window->visual && window->windowClass == kInputOutput && window->visual != window->parent->visual)
    visual = mapVisualIdToHead(window->visual->visualId, head);
  if (headLacksWindowVisual(head, window)) {
    const VisualRecord* own = headRootVisual(head);
    visual = own ? own->visualId : CopyFromParent;
    if (window->windowClass == kInputOutput) depth = u8(head->defaultDepth), g.borderWidth = 0;
  }
  // The rewrite reads the current client (pixmaps it may name, its event
  // mask): the window's owner.
  ProxyClient* saved = currentClient;
  currentClient = window->owner;
  rewriteWindowValues(&values, window, head, true);
  currentClient = saved;
  // A cursor whose id its client freed lives on only in the proxy's
  // record: it is made for the head and freed once the window holds it.
  u32 madeCursor = 0;
  if (window->cursor && !window->cursor->id && window->owner) {
    madeCursor = copyCursorToHead(window->cursor, window->owner, head);
    if (madeCursor) setValue(&values, kCursor, madeCursor);
  }
  u32 id = translateXid(window->id, RT_SERVER_ID, head);
  u32 parent = translateXid(window->parent->id, RT_WINDOW, head);
  u32 length = 32 + 4 * bitCount(values.mask);
  u8* p = beginRequest(writer, X_CreateWindow, depth, length);
  if (!p) return 0;
  put32(p + 4, id);
  put32(p + 8, parent);
  put16(p + 12, u16(g.x));
  put16(p + 14, u16(g.y));
  put16(p + 16, g.width ? g.width : 1);
  put16(p + 18, g.height ? g.height : 1);
  put16(p + 20, g.borderWidth);
  put16(p + 22, window->windowClass);
  put32(p + 24, visual);
  put32(p + 28, values.mask);
  packWindowValues(values, p + 32);
  finishRequest(writer, p, length, X_CreateWindow, depth);
  markProxyCopy(writer);
  for (u32 k = 0; k < values.temporaryCount; k++) {
    xprotoFreePixmap(writer, values.temporary[k]);
    markProxyCopy(writer);
  }
  if (madeCursor) {
    xprotoFreeCursor(writer, madeCursor);
    markProxyCopy(writer);
  }
  return writeShapes(writer, window, id, head) ? 1 : 0;
}

void copyWindowMappingToHead(ProxyWindow* root, Head* head) {
  if (!root) return;
  // Children before their parents: the pre-order walk, backwards.
  u32 count = 0;
  for (ProxyWindow* w = root; w; w = nextWindowPreorder(w, root)) count++;
  auto** order = static_cast<ProxyWindow**>(std::malloc(count * sizeof(ProxyWindow*)));
  if (!order) {
    PALVON_OOM();
    return;
  }
  u32 n = 0;
  for (ProxyWindow* w = root; w && n < count; w = nextWindowPreorder(w, root)) order[n++] = w;
  while (n-- > 0) mapChildren(order[n], head);
  std::free(order);
}

}  // namespace palvon

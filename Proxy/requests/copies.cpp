// CopyArea and CopyPlane whose source pixels one head shows and another
// must show at the destination.
#include "Proxy/requests/copies.h"

#include <X11/X.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/clients/input.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/images.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/resourcefind.h"
#include "Proxy/resources/window.h"
#include "xsupport/region.h"
#include "xsupport/ximage.h"

namespace palvon {

namespace {

// Absolute meta-screen pixels, right and bottom exclusive.
struct Box {
  i32 x1, y1, x2, y2;
  bool empty() const { return x1 >= x2 || y1 >= y2; }
};

// Small enough to be inlined wherever the walk over the heads uses them.
[[gnu::always_inline]] inline Box intersect(const Box& a, const Box& b) {
  return {std::max(a.x1, b.x1), std::max(a.y1, b.y1), std::min(a.x2, b.x2), std::min(a.y2, b.y2)};
}

[[gnu::always_inline]] inline Box boxOf(const HeadRect& r) { return {r.x, r.y, r.x + r.width, r.y + r.height}; }

[[gnu::always_inline]] inline bool contains(const Box& outer, const Box& inner) {
  return inner.x1 >= outer.x1 && inner.y1 >= outer.y1 && inner.x2 <= outer.x2 && inner.y2 <= outer.y2;
}

// The geometry of one copy in the meta screen (absolute pixels, the
// destination's in the source's terms).
struct CopyFrame {
  Box source;            // the request's source rectangle
  Box area;              // of it, what lands inside the destination
  Box readable;          // of that, what lies inside the source window
  i32 originX, originY;  // the source window's inside origin
  i32 shiftX, shiftY;    // the destination's absolute place minus the source's
  bool everywhere;       // the destination is a pixmap: every head holds all of it
};

// Of `area`, what the head must show at the destination: under the part
// of the destination it shows (all of a pixmap).
[[gnu::always_inline]] inline Box neededOnHead(const CopyFrame& f, const Box& area, const Box& head) {
  if (f.everywhere) return area;
  return intersect(area, {head.x1 - f.shiftX, head.y1 - f.shiftY, head.x2 - f.shiftX, head.y2 - f.shiftY});
}

// A head that can take part: it has the destination and the client a link.
bool takesPart(const Head* head, u32 destination) {
  if ((head->tags & kHeadTagSloppyVisuals) && needsVisualEmulation(destination, head)) return false;
  return currentHeadLink(head) != nullptr;
}

constexpr u32 kMostHeads = 32;

struct HeadPart {
  Head* head;
  Box own;            // the part of the needed area the head shows itself
  Region* obscured;   // needed, shown by no head (absolute); null: none
  Region* carried;    // needed, shown by another head; null: none
};

// The source window's pixels the meta screen shows, by the GC's
// subwindow mode (absolute); null when memory ran out.
Region* visibleSource(const ProxyWindow* window, const GCRecord* gc) {
  Region* visible = regionCreate(nullptr, 0);
  if (!visible) return nullptr;
  bool ok = gc->values.subwindow_mode == IncludeInferiors
                ? regionIntersect(visible, &window->borderList, &window->insideRegion)
                : regionCopy(visible, &window->clipList);
  if (ok) return visible;
  regionDestroy(visible);
  return nullptr;
}

// What the client waits for: the pixels read for each head that needs
// them, and where they go.
struct CarriedHead {
  u32 headId;
  Region* carried;  // absolute source coordinates
};

struct CarriedPixels {
  ProxyClient* client;
  bool counted;  // the client waits for this read
  u32 destination, gc;
  i32 readX, readY;      // the image's place, absolute
  i32 originX, originY;  // the source window's inside origin
  i32 moveX, moveY;      // destination drawable coordinates minus source drawable ones
  u32 count;
  CarriedHead heads[kMostHeads];
};

void freeCarried(CarriedPixels* c) {
  for (u32 k = 0; k < c->count; k++) regionDestroy(c->heads[k].carried);
  std::free(c);
}

// The part (x, y, width, height) of the image as an image of its own.
XImage* cutImage(XImage* whole, i32 x, i32 y, u32 width, u32 height) {
  ImageFormat format{u32(whole->format), u32(whole->depth), u32(whole->bits_per_pixel), u32(whole->bitmap_unit),
                     u32(whole->byte_order), u32(whole->bitmap_bit_order), u32(whole->bitmap_pad),
                     u32(whole->red_mask), u32(whole->green_mask), u32(whole->blue_mask)};
  XImage* part = ximageCreateWithData(&format, int(width), int(height));
  if (part) ximageCopy(whole, x, y, int(width), int(height), part, 0, 0);
  return part;
}

// Writes the carried pixels on each head that needs them, as images of
// the client's on its own links: none of their errors is the client's.
void writeCarriedPixels(GetImageJob* job, u16, void* argument) {
  auto* c = static_cast<CarriedPixels*>(argument);
  DrawableInfo info;
  if (job->failed || !describeDrawable(c->destination, &info)) return;
  XImage whole;
  describeJobImage(job, &whole);
  for (u32 k = 0; k < c->count; k++) {
    auto* head = static_cast<Head*>(lookupResourceByType(c->heads[k].headId, RT_HEAD));
    ServerLink* link = head ? clientLink(c->client, head->serverIndex) : nullptr;
    if (!link) continue;
    u8 marking = link->writingProxyCopies;
    link->writingProxyCopies = 1;
    const Region* carried = c->heads[k].carried;
    for (long b = 0; b < regionNumRects(carried); b++) {
      const RegionBox& box = regionRects(carried)[b];
      XImage* part = cutImage(&whole, box.x1 - c->readX, box.y1 - c->readY, u32(box.x2 - box.x1), u32(box.y2 - box.y1));
      if (!part) break;
      i32 x = box.x1 - c->originX + c->moveX, y = box.y1 - c->originY + c->moveY;
      bool put = putClientImageOnHead(link, head, c->destination, c->gc, info, part, x, y);
      XDestroyImage(part);
      if (!put) break;
    }
    link->writingProxyCopies = marking;
  }
}

// However the read ended: the client goes on.
void endCarriedPixels(void* argument) {
  auto* c = static_cast<CarriedPixels*>(argument);
  ProxyClient* client = c->client;
  bool counted = c->counted;
  freeCarried(c);
  if (!counted || !client->awaitingPixels) return;
  client->awaitingPixels--;
  if (client->transport && !client->readOrder && !client->stopped) resumeClientIo(client);
}

// Whether the head's own copy would leave out pixels of the source window
// that it must show at the destination and another head shows: what lies
// beyond the source window, or beyond every head, it treats as a plain
// server does.
bool needsPieces(const CopyFrame& f, const Head* head, u32 destination) {
  Box shown = boxOf(head->logical), readable = neededOnHead(f, f.readable, shown);
  return !readable.empty() && !contains(shown, readable) && takesPart(head, destination);
}

}  // namespace

struct CopyPlan {
  u8 major;
  u32 source, destination, gc;
  u32 plane;  // CopyPlane's bit plane
  CopyFrame frame;
  u32 count;
  HeadPart parts[kMostHeads];
};

namespace {

// The copy's frame; false when the copy is no copy from a window that a
// plan could serve.
bool frameCopy(const u8* request, const DrawableInfo& destination, const ProxyWindow* source, CopyFrame* f) {
  u16 width = get16(request + 24), height = get16(request + 26);
  if (!width || !height || !source || source->screen != destination.screen) return false;
  if (destination.type != RT_WINDOW && destination.type != RT_PIXMAP) return false;
  *f = {};
  f->originX = source->x, f->originY = source->y;
  i32 x = f->originX + i16(get16(request + 16)), y = f->originY + i16(get16(request + 18));
  f->source = {x, y, x + width, y + height};
  f->area = f->source;
  f->everywhere = destination.window == nullptr;
  if (const ProxyWindow* to = destination.window) {
    f->shiftX = to->x + i16(get16(request + 20)) - x;
    f->shiftY = to->y + i16(get16(request + 22)) - y;
    f->area = intersect(f->source, {to->x - f->shiftX, to->y - f->shiftY, to->x + to->width - f->shiftX,
                                    to->y + to->height - f->shiftY});
  }
  f->readable = intersect(f->area, {f->originX, f->originY, f->originX + source->width, f->originY + source->height});
  return true;
}

// The head's part: what it copies itself, what no head shows (it copies
// that too, as from beyond its screen), and what another head shows.
void planHeadPart(const CopyFrame& f, const Region* visible, Region* rest, HeadPart* part) {
  Box shown = boxOf(headRect(part->head)), needed = neededOnHead(f, f.area, shown);
  part->own = intersect(needed, shown);
  regionResetRect(rest, needed.x1, needed.y1, u32(needed.x2 - needed.x1), u32(needed.y2 - needed.y1));
  if (!part->own.empty())
    regionSubtractRect(rest, rest, part->own.x1, part->own.y1, u32(part->own.x2 - part->own.x1),
                       u32(part->own.y2 - part->own.y1));
  part->carried = regionCreate(nullptr, 0);
  part->obscured = regionCreate(nullptr, 0);
  if (part->carried) regionIntersect(part->carried, rest, visible);
  if (part->obscured) regionSubtract(part->obscured, rest, part->carried ? part->carried : rest);
}

// The source window's pixels that some head the client reaches shows.
Region* readableSource(const ProxyWindow* source, const GCRecord* gc, const MetaScreen* screen) {
  Region* visible = visibleSource(source, gc);
  Region* cover = visible ? regionCreate(nullptr, 0) : nullptr;
  for (const Head* head = screen->heads; head && cover; head = head->next) {
    HeadRect r = headRect(head);
    if (currentHeadLink(head))
      regionUnionRect(cover, cover, r.x, r.y, u32(std::max(r.width, 0)), u32(std::max(r.height, 0)));
  }
  if (cover) regionIntersect(visible, visible, cover);
  regionDestroy(cover);
  return visible;
}

}  // namespace

CopyPlan* planCopyAcrossHeads(const u8* request, const DrawableInfo& destination, const ProxyWindow* source,
                              const GCRecord* gc) {
  const MetaScreen* screen = destination.screen;
  if (!gc || !screen || screen->headCount > kMostHeads || currentClient->requestTranslucentWindow) return nullptr;
  if (!source) {
    ResourceNode* node = findResourceNode(get32(request + 4));
    source = node && node->type == RT_WINDOW ? static_cast<const ProxyWindow*>(node->object) : nullptr;
  }
  CopyFrame f;
  if (!frameCopy(request, destination, source, &f)) return nullptr;
  u32 destinationId = get32(request + 8);
  Head* first = screen->heads;
  while (first && !needsPieces(f, first, destinationId)) first = first->next;
  if (!first) return nullptr;
  auto* plan = static_cast<CopyPlan*>(memCalloc(1, sizeof(CopyPlan)));
  Region* visible = plan ? readableSource(source, gc, screen) : nullptr;
  Region* rest = visible ? regionCreate(nullptr, 0) : nullptr;
  if (!rest) {
    // Each head copies what it shows, as before: no worse than that.
    regionDestroy(visible);
    std::free(plan);
    return nullptr;
  }
  *plan = {request[0], get32(request + 4), destinationId, get32(request + 12),
           request[0] == X_CopyPlane ? get32(request + 28) : 0, f, 0, {}};
  for (Head* head = first; head; head = head->next) {
    if (head != first && !needsPieces(f, head, destinationId)) continue;
    HeadPart& part = plan->parts[plan->count++];
    part.head = head;
    planHeadPart(f, visible, rest, &part);
  }
  regionDestroy(rest);
  regionDestroy(visible);
  return plan;
}

void freeCopyPlan(CopyPlan* plan) {
  if (!plan) return;
  for (u32 k = 0; k < plan->count; k++) {
    regionDestroy(plan->parts[k].obscured);
    regionDestroy(plan->parts[k].carried);
  }
  std::free(plan);
}

bool readCarriedPixels(CopyPlan* plan, const u8* request) {
  auto* c = static_cast<CarriedPixels*>(memCalloc(1, sizeof(CarriedPixels)));
  if (!c) return false;
  const CopyFrame& f = plan->frame;
  *c = {currentClient, false, plan->destination, plan->gc, 0, 0, f.originX, f.originY,
        i16(get16(request + 20)) - i16(get16(request + 16)), i16(get16(request + 22)) - i16(get16(request + 18)), 0, {}};
  Region* read = regionCreate(nullptr, 0);
  for (u32 k = 0; k < plan->count && read; k++) {
    HeadPart& part = plan->parts[k];
    if (!part.carried || !regionNotEmpty(part.carried)) continue;
    if (!regionUnion(read, read, part.carried)) break;
    c->heads[c->count++] = {part.head->id, part.carried};
    part.carried = nullptr;
  }
  if (!read || regionBroken(read) || !regionNotEmpty(read)) {
    regionDestroy(read);
    freeCarried(c);
    return false;
  }
  int x, y;
  u32 width, height;
  boxToRect(regionExtents(read), &x, &y, &width, &height);
  regionDestroy(read);
  c->readX = x, c->readY = y;
  // The pixels a plane copy draws are that plane's bits.
  bool plane = plan->major == X_CopyPlane;
  GetImageSink sink{writeCarriedPixels, endCarriedPixels, nullptr, c};
  // Reads the client never asked for: their errors are not its own.
  ProxyClient* client = currentClient;
  u8 marking[kMaxServerLinks] = {};
  for (ServerLink* link : linksOf(client)) {
    marking[serverLinkIndex(link)] = link->writingProxyCopies;
    link->writingProxyCopies = 1;
  }
  bool asked = getImageIntoSink(request, plane ? XYPixmap : ZPixmap, plan->source, i16(x - f.originX),
                                i16(y - f.originY), u16(width), u16(height), plane ? plan->plane : ~0u, sink);
  for (ServerLink* link : linksOf(client)) link->writingProxyCopies = marking[serverLinkIndex(link)];
  if (!asked) return false;
  c->counted = true;
  client->awaitingPixels++;
  // An error in place of a piece leaves that piece's record to the next
  // message of its link: with no other link there is one more round trip.
  if (openLinkCount(client) == 1)
    for (ServerLink* link : linksOf(client)) queueRoundTripCallback(link, [](const u8*, void*) {}, nullptr, nullptr);
  // Nothing of the client's goes on before the pixels are written.
  refuseClientInput(client, "");
  return true;
}

int writeHeadCopyPieces(const CopyPlan* plan, const Head* head, const u8* request, u32 length, bool exposures,
                        CopyPieceWriter write, void* argument) {
  const HeadPart* part = plan->parts;
  while (part < plan->parts + plan->count && part->head != head) part++;
  if (part == plan->parts + plan->count) return 0;
  u8 piece[32];
  std::memcpy(piece, request, std::min<u32>(length, sizeof piece));
  const CopyFrame& f = plan->frame;
  i32 moveX = i16(get16(request + 20)) - i16(get16(request + 16));
  i32 moveY = i16(get16(request + 22)) - i16(get16(request + 18));
  u32 written = 0;
  auto put = [&](i32 x1, i32 y1, i32 x2, i32 y2) {
    i32 sx = x1 - f.originX, sy = y1 - f.originY;
    put16(piece + 16, u16(sx)), put16(piece + 18, u16(sy));
    put16(piece + 20, u16(sx + moveX)), put16(piece + 22, u16(sy + moveY));
    put16(piece + 24, u16(x2 - x1)), put16(piece + 26, u16(y2 - y1));
    written++;
    return write(piece, argument);
  };
  // The head's own part reads pixels the others' pieces may paint over.
  if (!part->own.empty() && !put(part->own.x1, part->own.y1, part->own.x2, part->own.y2)) return -1;
  for (long b = 0; part->obscured && b < regionNumRects(part->obscured); b++) {
    const RegionBox& box = regionRects(part->obscured)[b];
    if (!put(box.x1, box.y1, box.x2, box.y2)) return -1;
  }
  // Every head answers a copy with exposures: with nothing of its own to
  // copy, an empty copy answers NoExpose.
  if (!written && exposures && !put(f.source.x1, f.source.y1, f.source.x1, f.source.y1)) return -1;
  return 1;
}

}  // namespace palvon

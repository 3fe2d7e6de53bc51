// CopyArea and CopyPlane from a window that several heads show in parts.
// Each head copies the part of the source it shows itself. What another
// head shows is read from that head before any head copies, and written
// as an image where the destination needs it, while the client waits; a
// source area that no head shows (obscured on the meta screen, beyond the
// window or the screen) is copied by the head as it is, so that its server
// paints the destination's background there and reports GraphicsExpose for
// it, as one server of the meta screen's size would.
//
// Main thread only.
#pragma once

#include <algorithm>

#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/resources/window.h"
#include "base/strings.h"

namespace palvon {

struct DrawableInfo;
struct GCRecord;
struct Head;
struct ProxyClient;
struct ProxyWindow;

struct CopyPlan;

// Whether a copy within one window (the request in the proxy's byte
// order) certainly stays on the heads: one head shows its source and
// destination rectangles, and no other head meets the destination. The
// test a window's scrolling makes, inline, in a few comparisons per head;
// false leaves it to planCopyAcrossHeads.
inline bool copyStaysOnAHead(const MetaScreen* screen, const ProxyWindow* window, const u8* request) {
  i32 width = get16(request + 24), height = get16(request + 26);
  i32 sx = window->x + i16(get16(request + 16)), sy = window->y + i16(get16(request + 18));
  i32 dx = window->x + i16(get16(request + 20)), dy = window->y + i16(get16(request + 22));
  i32 ux1 = std::min(sx, dx), uy1 = std::min(sy, dy), ux2 = std::max(sx, dx) + width, uy2 = std::max(sy, dy) + height;
  bool held = false;
  for (const Head* head = screen->heads; head; head = head->next) {
    const HeadRect& r = head->logical;
    i32 x2 = r.x + r.width, y2 = r.y + r.height;
    if (!held && ux1 >= r.x && uy1 >= r.y && ux2 <= x2 && uy2 <= y2) {
      held = true;
      continue;
    }
    if (dx >= x2 || dy >= y2 || dx + width <= r.x || dy + height <= r.y) continue;
    return false;
  }
  return held;
}

// The plan of a copy (the request in the proxy's byte order, its
// destination described, its source window when the caller has it, else
// null, its GC found), or null when every head shows the source of all of
// the destination it shows: the usual case, found without allocating.
CopyPlan* planCopyAcrossHeads(const u8* request, const DrawableInfo& destination, const ProxyWindow* source,
                              const GCRecord* gc);
void freeCopyPlan(CopyPlan* plan);

// Reads the pixels that heads carry for each other. Called before any head
// is given its copy: they are the pixels from before it. True when a read
// went out: the client's requests after this one wait until its pixels are
// written (awaitingPixels).
bool readCarriedPixels(CopyPlan* plan, const u8* request);

// The copies a head makes of its part instead of the request, written with
// `write` (the head's own part first, then the parts no head shows; with
// exposures at least one, so that the head answers): 1 when written, 0
// when the head takes the request as it is, -1 when `write` failed.
using CopyPieceWriter = bool (*)(const u8* piece, void* argument);
int writeHeadCopyPieces(const CopyPlan* plan, const Head* head, const u8* request, u32 length, bool exposures,
                        CopyPieceWriter write, void* argument);

}  // namespace palvon

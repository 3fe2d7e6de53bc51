// What the font, GC, drawing, image and text handlers share: the facts of a
// drawable, the client's link to a head, the heads a drawable or GC has no
// copy on, and the head tags they read.
//
// Main thread only. Nothing here allocates.
#pragma once

#include "Proxy/dispatch/dispatch.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct PixmapRecord;
struct ProxyWindow;
struct ServerLink;
struct VisualRecord;

// Head tags read by the drawing handlers.
constexpr u32 kHeadTagOptimizedDraw = 0x20;  // skip drawing a head cannot show
constexpr u32 kHeadTagNotManaged = 0x2000;   // a head in a window no manager frames

// A drawable as the handlers see it: a window, a pixmap, or a DOUBLE-BUFFER
// or Multi-Buffering buffer standing for its window.
struct DrawableInfo {
  u32 type;              // RT_WINDOW, RT_PIXMAP, RT_DBE_BUFFER, RT_MBUF_BUFFER
  ProxyWindow* window;   // the window (a buffer's window); null for a pixmap
  PixmapRecord* pixmap;  // null for the others
  MetaScreen* screen;
  VisualRecord* visual;  // null for a pixmap without one
  u32 depth;
  u32 width, height;
  u8 inputOnly;
};
// False, with *out zeroed, when the id names no drawable (or a buffer whose
// window is unknown).
bool describeDrawable(u32 id, DrawableInfo* out);
// The same for a resource the caller has looked up already.
bool describeFoundDrawable(u32 type, void* object, DrawableInfo* out);

// The current client's link to the head's server; null when it has none.
ServerLink* currentHeadLink(const Head* head);
// Stashes the id of a resource just created on the link, so that an error
// from that server names the client's resource.
void stashCreatedId(ServerLink* link, u32 id);
// Copies the request to every target of the current row's route that
// `skip` (may be null) does not refuse, lets `rewrite` (may be null) edit
// each copy for its head and swaps it for the server. A copy that cannot be
// made is answered with BadAlloc (value 0) and false is returned.
using TargetSkip = bool (*)(const RouteTarget& target, void* argument);
bool forwardToHeads(const u8* request, u32 length, TargetSkip skip, CopyRewrite rewrite, void* argument);
// Whether a writer call after `before` (link->requestsSent then) reached
// the link's output.
bool wroteRequest(const ServerLink* link, u64 before);

// Whether some head of some meta screen carries the tag optimizedDraw.
bool anyOptimizedDrawHead();
// Whether the head's display is on another host than this one.
bool isHeadRemote(const Head* head);

}  // namespace palvon

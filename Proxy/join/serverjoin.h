// Real X servers joining and leaving a running session.
//
// A head that initHead (Proxy/heads/open.h) has opened joins a meta screen
// through addServerToScreen: the session is replicated onto its server
// (client connections, resources, windows, mapping, save sets, passive
// grabs, event selections) so that every client finds its world there as if
// the server had been there from the start. Every step either succeeds or
// undoes the addition (abortServerAddition), leaving the session as before.
// removeServer takes a server's heads out again by the server's name.
//
// Returned texts are temporary strings (or literals). Main thread only; the
// addition runs synchronous round trips on the clients' links, bounded by
// each server's offline time-out.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ProxyClient;
struct ServerDisplay;

// Replicates the session onto the head for the requesting client (null:
// none); null on success, else the error text (the head is gone again).
const char* addServerToScreen(Head* head, MetaScreen* screen, ProxyClient* client);
// The undo of a failed addition: the copies already made are freed, and the
// head goes (with Failsafe, a display found offline is dropped instead).
// Returns the error unchanged.
const char* abortServerAddition(Head* head, const char* error);
// Removes every head of the server configured under the same display as
// the name; null or the error text.
const char* removeServer(const char* name);

// Whether the head's server can serve one pixmap format of the proxy.
bool checkPixmapFormatOnHead(Head* head, u32 depth, u32 bitsPerPixel, u32 pad);
// Whether the head shows part of its meta screen that no other head of the
// screen covers (then it needs input control and settings of its own).
bool headHasUncoveredArea(Head* head, MetaScreen* screen);
// The first server display with an open connection that is not the
// resource server's; the first display of the list when there is none.
ServerDisplay* firstOrdinaryDisplay();

// --- Rules (pure, for the functions above and their tests) ------------------------

// One pixmap format of a server.
struct ServerPixmapFormat {
  u32 depth, bitsPerPixel, pad;
};
// The score of a server format for a wanted format: 0 a perfect match,
// 10000 unusable (a smaller depth), else 10 per depth step plus the
// differences of bits per pixel and pad.
u32 pixmapFormatScore(const ServerPixmapFormat& offered, u32 depth, u32 bitsPerPixel, u32 pad);
// Whether a server with these formats serves a wanted format: at once on a
// perfect score; with the tag sloppyDepths, a usable best format of the
// wanted depth serves, and one of a depth the proxy does not offer itself
// (bestDepthOffered false) stands in for it (kSubstitute, its depth in
// *bestDepth); with the tag sloppyVisuals anything serves; otherwise only a
// usable best format of exactly the wanted depth.
enum class PixmapFormatVerdict { kRefused, kServed, kSubstitute };
PixmapFormatVerdict judgePixmapFormat(const ServerPixmapFormat* formats, u32 count, u32 depth, u32 bitsPerPixel,
                                      u32 pad, u32 tags, bool bestDepthOffered, u32* bestDepth);

}  // namespace palvon

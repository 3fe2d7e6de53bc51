// XINERAMA, answered by the proxy from its own screen model: every head of
// a meta screen (and every probe-only head no current head stands for) is
// one Xinerama screen with the head's rectangle in the meta screen. No
// request ever reaches a real server, so the answers change the moment a
// server joins or leaves.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/rect.h"

namespace palvon {

struct Head;
struct MetaScreen;

// The head that is Xinerama screen `index` (from 0) of the meta screen, or
// of all meta screens in list order when `screen` is null; null past the end.
// The order is the heads' list order (the auxiliary resource server's heads
// left out), then the unmatched probe-only heads; the environment variable
// XineramaOrdering=reverse (any case), read at every call, reverses it.
const Head* xineramaScreenAt(const MetaScreen* screen, u32 index);
// That head's rectangle in the meta screen; false when there is none.
bool xineramaScreenRect(const MetaScreen* screen, u32 index, Rect* out);
u32 xineramaScreenCount(const MetaScreen* screen);
// Whether the meta screen is really made of several areas: a head that does
// not cover it exactly, or the DynamicServer option (heads may come).
bool isXineramaActive(const MetaScreen* screen);
// A probe-only head for which no current head of the screen shows the same
// screen of the same display.
bool isUnmatchedProbeHead(const Head* probe, const MetaScreen* screen);

// The part of the window's rectangle on the screen's rectangle. An empty
// part keeps the window's x, y and height with width 0, as the per-window
// screen reply has always shown it.
Rect xineramaIntersect(const Rect& window, const Rect& screen);

// Registers "XINERAMA" (no events, no errors), answered without a server.
const char* initXineramaExtension(ExtensionEntry* entry);

}  // namespace palvon

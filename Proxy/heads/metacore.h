// What the proxy core does for the META control extension: the screen and
// head events to the clients that selected them, window layers among
// siblings, and windows that stick to a moving head.
//
// These live in the core because the window requests, the head settings and
// the meta-screen layout call them; the extension module (Xext/meta/)
// sets the values they read (selection bits, layers, sticking flags). The
// event senders send nothing while the extension is not registered.
//
// Main thread only.
#pragma once

#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

struct ProxyWindow;

// Selection bits of ProxyClient::metaEvents.
constexpr u8 kMetaSelectScreen = 0x01;
constexpr u8 kMetaSelectHead = 0x02;

// Details of the head event.
constexpr u32 kMetaHeadChanged = 0;
constexpr u32 kMetaHeadCreated = 1;
constexpr u32 kMetaHeadRemoved = 2;

// The head event (kind: changed, created or removed; mask: what changed)
// to every client that selected head events. screen may be null (a head on
// no meta screen).
void sendMetaScreenEvent(Head* head, MetaScreen* screen, u32 kind, u32 mask);
// The screen event (detail 0 today) to every client that selected screen
// events.
void sendMetaScreenChangeEvent(MetaScreen* screen, u32 detail, u32 mask);

// The sibling the window must stand directly above to keep the siblings
// ordered by layer (null: the bottom). False when the window stands in its
// place already.
bool findLayerPlace(const ProxyWindow* window, ProxyWindow** above);
// Restacks the window on every head to its layer's place (findLayerPlace)
// through the current client's links.
void placeWindowByLayer(ProxyWindow* window);

// The head moved by (dx, dy) in the meta screen: every viewable sticking
// window that stood on it has its top-level ancestor moved along, so that it
// keeps its place on the head.
void shiftHeadFollowers(MetaScreen* screen, Head* head, i32 dx, i32 dy);

}  // namespace palvon

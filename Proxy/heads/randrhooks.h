// What the heads and screens layer calls of RANDR. The RANDR module lives
// above the core, so the core reaches it through these hooks, which the
// module installs when it starts and removes at its reset; while none is
// installed the calls do nothing, as they would without RANDR.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct MetaScreen;
struct ProxyWindow;

struct RandrHooks {
  void (*screenChange)(MetaScreen* screen);
  void (*headChange)(Head* head);
};
extern RandrHooks randrHooks;

// The workaround word that makes the proxy answer RANDR itself.
constexpr u32 kWorkaroundRandrEmulation = 0x20000;
// RRSelectInput always selects screen changes.
constexpr u32 kWorkaroundSelectScreenChangeEvents = 0x10000;
// The log type of the RANDR events the proxy makes.
constexpr u32 kLogTypeRandr = 0x400;

// Whether RANDR is registered and answered by the proxy itself: with the
// workaround word, or when a meta screen is not one whole server screen,
// which the servers' own RANDR cannot describe (chosen when the module
// starts).
bool randrEmulationActive();
// True when some meta screen is not its one head's server screen as it
// is: several heads, or one head that shows less than its server's screen
// (a frame, a display area), zoomed, turned or in a window.
bool anyScreenBeyondItsServer();
void chooseRandrEmulation(bool on);
// After a client changed the meta screen's size or its primary output:
// RRScreenChangeNotify to the clients that selected it (emulated RANDR).
void sendRRScreenChangeNotify(MetaScreen* screen);
// After the meta screen's size changed: ConfigureNotify of the root window
// to every client with StructureNotify on it.
void sendRootConfigureNotify(ProxyWindow* root);
// A head was created, removed or changed: its output change, then its CRTC
// change (emulated RANDR).
void sendRandrHeadNotify(Head* head);

}  // namespace palvon

// What the proxy core calls in the translucency module.
//
// Translucent windows are emulated by an extension module, which lives
// above the core: the core reaches it only through this record. Every
// member is null until the module installs it (when its extension is
// registered); the functions below then do what no emulation does: nothing,
// or the neutral answer noted.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct ProxyWindow;
struct ServerDisplay;
struct ServerLink;

struct TranslucencyHooks {
  bool (*start)(Head* head);
  void (*removeHead)(Head* head);
  void (*stopDisplay)(ServerDisplay* display);
  int (*expose)(ServerLink* link, u32 window);
  int (*configureNotify)(ServerLink* link, u32 window, u32 eventWindow, i32 x, i32 y, u32 width, u32 height);
  void (*setup)(ServerLink* link);
  void (*freeRecord)(ProxyWindow* window);
  void (*draw)(ServerLink* link, Head* head, ProxyWindow* window, const u8* request, u32 length, u8* copy,
               u64 copySequence);
  void (*clearArea)(ProxyClient* client, ProxyWindow* window, const u8* request);
  void (*configure)(ProxyClient* client);
  void (*resize)(ProxyClient* client, ProxyWindow* window, u32 width, u32 height);
  void (*move)(ProxyClient* client, ProxyWindow* window, i32 dx, i32 dy);
  void (*map)(ProxyClient* client, ProxyWindow* window);
  void (*unmap)(ProxyClient* client, ProxyWindow* window);
  const char* (*copyToHead)(ProxyClient* client, Head* head);
};

extern TranslucencyHooks translucencyHooks;

// Whether the TRANSLUCENT extension can be offered: the option Translucent
// is set and SHAPE, which its windows are cut with, is registered.
bool translucencyAvailable();
// Per-display state as a head is made or reconciled (true without the
// module), as it leaves, and as its display is shut down.
bool startTranslucency(Head* head);
void removeTranslucencyForHead(Head* head);
void stopTranslucencyOnDisplay(ServerDisplay* display);
// A server joining at run time: the translucent windows of the head's
// screen get their holders on it. Null or the failure text (null without
// the module).
const char* copyTranslucencyToDisplay(ProxyClient* client, Head* head);

// Server events on a client's link, before translation goes on: non-zero
// when the module consumed the event. The Expose carries the client's
// window id; the ConfigureNotify the server's ids and the raw geometry.
int translucentExposeHook(ServerLink* link, u32 window);
int translucentConfigureNotifyHook(ServerLink* link, u32 window, u32 eventWindow, i32 x, i32 y, u32 width,
                                   u32 height);
// A client link's set-up reply has arrived.
void translucentSetupHook(ServerLink* link);
// The window's record goes with the window.
void freeTranslucencyRecord(ProxyWindow* window);
// A drawing request on a translucent window (the request in the proxy's
// byte order) went to the head's link, its tile mirror after it: `copy` is
// the copy's body in the link's output (null when the head got the drawing
// some other way) and `copySequence` its sequence on the link. The module
// moves the copy behind the shape requests the drawing needs, or writes
// them in front of it when the copy is null.
void drawOnTranslucentWindow(ServerLink* link, Head* head, ProxyWindow* window, const u8* request, u32 length,
                             u8* copy, u64 copySequence);
// After a ClearArea on a translucent window went to every head: the Expose
// events the client asked for, which the proxy sends itself.
void translucentClearAreaHook(ProxyClient* client, ProxyWindow* window, const u8* request);
// After a ConfigureWindow, an unmap or a destruction went to every head:
// the repaints it left behind.
void translucentConfigureHook(ProxyClient* client);
// A window's size changed from width x height (the tree has the new one).
void translucentTreeHook(ProxyClient* client, ProxyWindow* window, u32 width, u32 height);
// A window moved by dx, dy (the tree has the new position).
void translucentRegionHook(ProxyClient* client, ProxyWindow* window, i32 dx, i32 dy);
// A window was mapped by the client; a mapped window is about to be
// unmapped or destroyed (its repaints run at translucentConfigureHook).
void translucentMapHook(ProxyClient* client, ProxyWindow* window);
void translucentUnmapHook(ProxyClient* client, ProxyWindow* window);

}  // namespace palvon

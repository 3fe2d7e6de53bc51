// The core's side of the translucency hooks; see translucency.h.
#include "Proxy/join/translucency.h"

#include "Proxy/config/config.h"
#include "Proxy/dispatch/extensions.h"

namespace palvon {

TranslucencyHooks translucencyHooks;

bool translucencyAvailable() {
  return (proxyConfig.options & kOptionTranslucent) && findExtensionByName("SHAPE") != nullptr;
}

bool startTranslucency(Head* head) { return translucencyHooks.start ? translucencyHooks.start(head) : true; }

void removeTranslucencyForHead(Head* head) {
  if (translucencyHooks.removeHead) translucencyHooks.removeHead(head);
}

void stopTranslucencyOnDisplay(ServerDisplay* display) {
  if (translucencyHooks.stopDisplay) translucencyHooks.stopDisplay(display);
}

const char* copyTranslucencyToDisplay(ProxyClient* client, Head* head) {
  return translucencyHooks.copyToHead ? translucencyHooks.copyToHead(client, head) : nullptr;
}

int translucentExposeHook(ServerLink* link, u32 window) {
  return translucencyHooks.expose ? translucencyHooks.expose(link, window) : 0;
}

int translucentConfigureNotifyHook(ServerLink* link, u32 window, u32 eventWindow, i32 x, i32 y, u32 width,
                                   u32 height) {
  return translucencyHooks.configureNotify
             ? translucencyHooks.configureNotify(link, window, eventWindow, x, y, width, height)
             : 0;
}

void translucentSetupHook(ServerLink* link) {
  if (translucencyHooks.setup) translucencyHooks.setup(link);
}

void freeTranslucencyRecord(ProxyWindow* window) {
  if (translucencyHooks.freeRecord) translucencyHooks.freeRecord(window);
}

void drawOnTranslucentWindow(ServerLink* link, Head* head, ProxyWindow* window, const u8* request, u32 length,
                             u8* copy, u64 copySequence) {
  if (translucencyHooks.draw) translucencyHooks.draw(link, head, window, request, length, copy, copySequence);
}

void translucentClearAreaHook(ProxyClient* client, ProxyWindow* window, const u8* request) {
  if (translucencyHooks.clearArea) translucencyHooks.clearArea(client, window, request);
}

void translucentConfigureHook(ProxyClient* client) {
  if (translucencyHooks.configure) translucencyHooks.configure(client);
}

void translucentTreeHook(ProxyClient* client, ProxyWindow* window, u32 width, u32 height) {
  if (translucencyHooks.resize) translucencyHooks.resize(client, window, width, height);
}

void translucentRegionHook(ProxyClient* client, ProxyWindow* window, i32 dx, i32 dy) {
  if (translucencyHooks.move) translucencyHooks.move(client, window, dx, dy);
}

void translucentMapHook(ProxyClient* client, ProxyWindow* window) {
  if (translucencyHooks.map) translucencyHooks.map(client, window);
}

void translucentUnmapHook(ProxyClient* client, ProxyWindow* window) {
  if (translucencyHooks.unmap) translucencyHooks.unmap(client, window);
}

}  // namespace palvon

// Facts of drawables and heads shared by the font, GC, drawing, image and
// text handlers.
#include "Proxy/requests/drawcommon.h"

#include <cstdint>

#include "Proxy/clients/client.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/drawablefacts.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/resourcefacts.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/visual.h"

#include <X11/X.h>

namespace palvon {

bool describeDrawable(u32 id, DrawableInfo* out) {
  void* object = nullptr;
  u32 type = lookupResourceAnyType(id, &object);
  return describeFoundDrawable(type, object, out);
}

bool describeFoundDrawable(u32 type, void* object, DrawableInfo* out) {
  ProxyWindow* window = nullptr;
  switch (type) {
    case RT_PIXMAP: {
      auto* pixmap = static_cast<PixmapRecord*>(object);
      *out = {type, nullptr, pixmap, pixmap->screen, pixmap->visual, pixmap->depth, pixmap->width, pixmap->height, 0};
      return true;
    }
    case RT_WINDOW: window = static_cast<ProxyWindow*>(object); break;
    case RT_DBE_BUFFER:
    case RT_MBUF_BUFFER: window = resourceWindow(type, object); break;
    default: break;
  }
  if (!window) {
    *out = {};
    return false;
  }
  *out = {type,          window,        nullptr, window->screen, window->visual, window->depth, window->width,
          window->height, u8(window->windowClass == kInputOnly)};
  return true;
}

void describeScalingDrawable(u32 drawable, ScalingDrawable* out) {
  *out = {};
  DrawableInfo d;
  if (!describeDrawable(drawable, &d)) return;
  if (d.window) *out = {d.window->x, d.window->y, d.width, d.height};
  else *out = {0, 0, d.width, d.height};
}

ServerLink* currentHeadLink(const Head* head) {
  return currentClient && head ? clientLink(currentClient, head->serverIndex) : nullptr;
}

void stashCreatedId(ServerLink* link, u32 id) {
  stashRequestData(link, kStashError, reinterpret_cast<void*>(uintptr_t(id)), nullptr);
}

namespace {

struct Forwarding {
  const u8* request;
  u32 length;
  LayoutString layout;
  TargetSkip skip;
  CopyRewrite rewrite;
  void* argument;
  bool failed;
};

bool forwardOne(const RouteTarget& target, void* argument) {
  auto* f = static_cast<Forwarding*>(argument);
  if (f->skip && f->skip(target, f->argument)) return true;
  u8* copy = copyRequestToServer(f->request, f->length, target.link);
  if (!copy) {
    f->failed = true;
    return false;
  }
  if (f->rewrite) f->rewrite(copy, f->length, target, f->argument);
  swapServerRequest(target.link, copy, f->length, f->layout);
  return true;
}

}  // namespace

bool forwardToHeads(const u8* request, u32 length, TargetSkip skip, CopyRewrite rewrite, void* argument) {
  const RequestRow* row = currentRequest.row ? currentRequest.row : requestRowOf(request[0] | request[1] << 8);
  Forwarding f{request, length, requestLayoutOf(row, request, length), skip, rewrite, argument, false};
  forEachTarget(row->route, forwardOne, &f);
  if (!f.failed) return true;
  sendXError(BadAlloc, 0, request, length, nullptr);
  return false;
}

bool wroteRequest(const ServerLink* link, u64 before) { return link->requestsSent != before; }

bool anyOptimizedDrawHead() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (head->tags & kHeadTagOptimizedDraw) return true;
  return false;
}

bool isHeadRemote(const Head* head) {
  return head && head->display && head->serverDisplay && !head->serverDisplay->local;
}

}  // namespace palvon

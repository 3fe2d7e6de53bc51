// The client's connection set-up reply.
#include "Proxy/clients/input.h"
#include "Proxy/clients/setupreply.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/rows.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/screen.h"
#include "Proxy/join/translucency.h"
#include "Proxy/lifecycle.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "base/outbuffer.h"

namespace palvon {

namespace {

constexpr u32 kFixedPart = 40;
constexpr u32 kScreenBytes = 40;
constexpr u32 kDepthBytes = 8;
constexpr u32 kVisualBytes = 24;
constexpr u32 kMaxDepths = 33;

bool foreign(const ServerLink* link) { return link->writer.swap != 0; }

// A visual is offered only when every head that must show it has one.
// The screen's own visuals are asked by their slot, which the heads' match
// tables share.
bool offeredOnAllHeads(const MetaScreen* screen, i32 slot) {
  for (const Head* head = screen->heads; head; head = head->next) {
    if (head->tags & kHeadTagSloppyVisuals) continue;
    const VisualRecord* match = head->metaScreen == screen ? headVisualAt(head, slot)
                                                           : lookupHeadVisual(&screen->visuals[slot], head);
    if (!match) return false;
  }
  return true;
}

u32 rootInputMasks(const MetaScreen* screen) {
  u32 masks = 0;
  if (const ProxyWindow* root = screen->rootWindow)
    for (const EventSelection* s = root->selections; s; s = s->next) masks |= s->eventMask;
  return masks;
}

const ServerImageFormat* imageFormat() {
  if (imageDisplay) return &imageDisplay->imageFormat;
  return serverDisplayList ? &serverDisplayList->imageFormat : nullptr;
}

u8* writeVisual(u8* p, const VisualRecord* visual) {
  put32(p, visual->visualId);
  p[4] = visual->visualClass;
  p[5] = visual->bitsPerRgb;
  put16(p + 6, visual->colormapSize);
  put32(p + 8, visual->redMask);
  put32(p + 12, visual->greenMask);
  put32(p + 16, visual->blueMask);
  memset(p + 20, 0, 4);
  return p + kVisualBytes;
}

// The screen record, then its depths: depth 1 first (even without
// visuals), then the depths in the order their first offered visual
// appears, each with its visuals in the screen's order, then the other
// depths that pixmaps may have (CreatePixmap takes every offered format's
// depth, and a client believes only the depths the screen lists).
u8* writeScreen(u8* p, const MetaScreen* screen) {
  put32(p, screen->rootId);
  put32(p + 4, screen->defaultColormap);
  put32(p + 8, u32(screen->whitePixel));
  put32(p + 12, u32(screen->blackPixel));
  put32(p + 16, rootInputMasks(screen));
  put16(p + 20, u16(screen->width));
  put16(p + 22, u16(screen->height));
  put16(p + 24, u16(roundToInt(screen->widthMM)));
  put16(p + 26, u16(roundToInt(screen->heightMM)));
  put16(p + 28, u16(screen->minInstalledMaps));
  put16(p + 30, u16(screen->maxInstalledMaps));
  put32(p + 32, screen->rootVisual ? screen->rootVisual->visualId : 0);
  p[36] = screen->backingStore;
  p[37] = screen->saveUnders;
  p[38] = screen->rootVisual ? screen->rootVisual->depth : 0;
  u8* depthCount = p + 39;
  p += kScreenBytes;
  u8 depths[kMaxDepths] = {1};
  u16 counts[kMaxDepths] = {};
  u32 groups = 1;
  auto groupOf = [&depths, &groups](u8 depth) {
    u32 g = 0;
    while (g < groups && depths[g] != depth) g++;
    if (g == groups && groups < kMaxDepths) depths[groups++] = depth;
    return g;
  };
  // Each visual's verdict and depth group are worked out once, in one pass
  // (visuals of one depth mostly stand together): asked again for every
  // depth, with every head looked at each time, they made up much of a new
  // client's cost with several heads. Their room is kept between replies.
  constexpr u8 kLeftOut = 0xff;
  static std::vector<u8> groupOfVisual;
  groupOfVisual.assign(static_cast<size_t>(std::max(screen->visualCount, 0)), kLeftOut);
  u8 lastDepth = 1;
  u32 lastGroup = 0;
  for (i32 i = 0; i < screen->visualCount; i++) {
    if (!offeredOnAllHeads(screen, i)) continue;
    u8 depth = screen->visuals[i].depth;
    if (depth != lastDepth) {
      lastDepth = depth;
      lastGroup = groupOf(depth);
    }
    if (lastGroup == kMaxDepths) continue;
    groupOfVisual[size_t(i)] = u8(lastGroup);
    counts[lastGroup]++;
  }
  for (u32 f = 0; f < offeredPixmapFormatCount; f++) groupOf(offeredPixmapFormats[f].depth);
  // Each group's header and first visual's place, then the visuals in the
  // screen's order, each into its group.
  u8* next[kMaxDepths];
  for (u32 g = 0; g < groups; g++) {
    p[0] = depths[g];
    p[1] = 0;
    put16(p + 2, counts[g]);
    memset(p + 4, 0, 4);
    next[g] = p + kDepthBytes;
    p = next[g] + kVisualBytes * counts[g];
  }
  for (i32 i = 0; i < screen->visualCount; i++) {
    u8 g = groupOfVisual[size_t(i)];
    if (g != kLeftOut) next[g] = writeVisual(next[g], &screen->visuals[i]);
  }
  *depthCount = u8(groups);
  return p;
}

}  // namespace

u32 clientSetupReplyBound() {
  u32 bound = kFixedPart + pad4(u32(strlen(proxyLife.vendor))) + 8 * offeredPixmapFormatCount;
  for (const MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    bound += 48 + 32 * u32(screen->visualCount > 0 ? screen->visualCount : 0) + kDepthBytes * kMaxDepths;
  return bound;
}

bool writeClientSetupReply(ProxyClient* client) {
  u32 bound = clientSetupReplyBound();
  OutBuffer* queue = clientQueue(client);
  u8* start = outbufferReserve(queue, bound);
  if (!start) return false;
  u32 vendorLength = u32(strlen(proxyLife.vendor));
  // Only the parts before the screens have bytes left unset; the screens
  // are written whole.
  memset(start, 0, kFixedPart + pad4(vendorLength) + 8 * offeredPixmapFormatCount);
  const ServerImageFormat* format = imageFormat();
  start[0] = 1;
  put16(start + 2, proxyState.protocolMajor ? proxyState.protocolMajor : 11);
  put16(start + 4, proxyState.protocolMinor);
  put32(start + 8, proxyLife.vendorRelease);
  put32(start + 12, proxyState.resourceIdShift >= 32 ? 0 : client->number << proxyState.resourceIdShift);
  put32(start + 16, proxyState.resourceIdMask);
  put32(start + 20, proxyState.motionBufferSize);
  put16(start + 24, u16(vendorLength));
  put16(start + 26, u16(proxyState.maxRequestBytes / 4));
  start[28] = u8(proxyState.screenCount);
  start[29] = u8(offeredPixmapFormatCount);
  start[30] = format ? format->byteOrder : 0;
  start[31] = format ? format->bitmapBitOrder : 0;
  start[32] = format ? format->bitmapUnit : 32;
  start[33] = format ? format->bitmapPad : 32;
  start[34] = u8(proxyState.minKeycode);
  start[35] = u8(proxyState.maxKeycode);
  u8* p = start + kFixedPart;
  memcpy(p, proxyLife.vendor, vendorLength);
  p += pad4(vendorLength);
  for (u32 i = 0; i < offeredPixmapFormatCount; i++, p += 8) {
    p[0] = offeredPixmapFormats[i].depth;
    p[1] = offeredPixmapFormats[i].bitsPerPixel;
    p[2] = offeredPixmapFormats[i].scanlinePad;
  }
  for (const MetaScreen* screen = proxyState.screens; screen; screen = screen->next) p = writeScreen(p, screen);
  u32 length = u32(p - start);
  put16(start + 6, u16((length - 8) / 4));
  if (client->parser.swapped) swapLeaving("H-23", start, start + length);
  outbufferDelete(start + length, bound - length, queue);
  return true;
}

void handleClientSetupReply(ServerLink* link, const u8* reply, u32 length) {
  ProxyClient* client = link->client;
  if (!client) return;
  client->hasLinks = 1;
  if (reply[0] != 1) {
    u32 reasonLength = reply[0] == 0 ? reply[1] : 4u * loadU16(reply + 6, foreign(link));
    if (reasonLength > length - 8) reasonLength = length - 8;
    LOGF(logChWarning, "%s on display %s", tmpPrintable(tmpStrndup(reinterpret_cast<const char*>(reply + 8), reasonLength)),
         link->server.displayName);
    // A link opened for a joining server: the waiting caller reports it.
    if (link->busy) return;
    // The server's own words reach the client; only the fixed part is
    // turned into the client's order (the reason is text).
    u8* copy = outbufferReserve(clientQueue(client), length);
    if (copy) {
      memcpy(copy, reply, length);
      if (foreign(link)) swapArriving(kSetupRefusalLayout, copy, copy + 8);
      if (client->parser.swapped) swapLeaving(kSetupRefusalLayout, copy, copy + 8);
    }
    stopClient(client, "setup failed", 0);
    return;
  }
  // An accepting answer without its fixed part leaves the link without ids:
  // the client is refused rather than left waiting for its own answer.
  if (length < 40) {
    LOGF(logChWarning, "Short connection set-up answer (%u bytes) from display %s", length, link->server.displayName);
    if (!link->busy) stopClient(client, "setup failed", 0);
    return;
  }
  link->serverIdBase = loadU32(reply + 12, foreign(link));
  link->serverIdMask = loadU32(reply + 16, foreign(link));
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (Head* head = screen->heads; head; head = head->next)
      if (head->serverDisplay && head->serverDisplay == link->server.display)
        setClientServerIdBase(client->number, head, link->serverIdBase);
  if (proxyConfig.options & kOptionTranslucent) translucentSetupHook(link);
  // A joining server's link only updates the ids; the client has its reply.
  if (link->busy || !client->setupRepliesAwaited) return;
  if (--client->setupRepliesAwaited) return;
  if (!writeClientSetupReply(client)) stopClient(client, PALVON_OOM(), 0);
}

}  // namespace palvon

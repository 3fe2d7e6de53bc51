// The drawable and GC of a drawing request translated at once for a head.
//
// Inline: every drawing request runs it for every head it reaches, and the
// usual case (one meta screen, both ids of one client whose id bases are
// known) is a few shifts. Main thread only.
#pragma once

#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"

namespace palvon {

// Every case the inline part leaves: ids of two slots or of none, several
// meta screens, no head.
void translateDrawableAndGCSlowly(u32 drawable, u32 gc, const Head* head, u32 out[2]);

// A drawable (kind RT_DRAWABLE) and a GC at once, each as translateXid gives
// it alone: a drawing request names both for every head it reaches, and
// both are usually the same client's.
[[gnu::always_inline]] inline void translateDrawableAndGC(u32 drawable, u32 gc, const Head* head, u32 out[2]) {
  u32 shift = proxyState.resourceIdShift;
  u32 slot = shift >= 32 ? 0 : drawable >> shift;
  u32 gcSlot = shift >= 32 ? 0 : gc >> shift;
  if (!head || proxyState.screenCount >= 2 || slot != gcSlot || slot < 1 || slot >= kMaxClientSlots ||
      head->serverIndex >= kMaxServerIndexes || !proxyState.resources.slots[slot].hasIdBases)
    return translateDrawableAndGCSlowly(drawable, gc, head, out);
  // A head whose server is gone takes no ids.
  const ServerDisplay* display = head->serverDisplay;
  if (!display || !display->display) {
    out[0] = out[1] = 0;
    return;
  }
  auto shiftLeft = [](u32 value, u32 by) { return by >= 32 ? 0 : value << by; };
  u32 base = proxyState.resources.slots[slot].serverIdBases[head->serverIndex] |
             shiftLeft(head->numberOnDisplay, display->baseShift);
  u32 mask = proxyState.resourceIdMask;
  out[0] = base | shiftLeft(drawable & mask, display->proxyIdShift);
  out[1] = base | shiftLeft(gc & mask, display->proxyIdShift);
}

}  // namespace palvon

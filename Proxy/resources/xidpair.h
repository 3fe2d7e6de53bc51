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

// The client slot of both ids when the usual case below holds for every
// head (one meta screen, both ids of that slot, its id bases known); 0
// otherwise. Nothing it reads changes while a request is forwarded, so a
// walk over several heads asks once.
[[gnu::always_inline]] inline u32 plainIdPairSlot(u32 drawable, u32 gc) {
  u32 shift = proxyState.resourceIdShift;
  u32 slot = shift >= 32 ? 0 : drawable >> shift;
  u32 gcSlot = shift >= 32 ? 0 : gc >> shift;
  if (proxyState.screenCount >= 2 || slot != gcSlot || slot < 1 || slot >= kMaxClientSlots ||
      !proxyState.resources.slots[slot].hasIdBases)
    return 0;
  return slot;
}

// translateDrawableAndGC with the slot plainIdPairSlot gave: the usual case
// when it is not 0.
[[gnu::always_inline]] inline void translateIdPairOfSlot(u32 slot, u32 drawable, u32 gc, const Head* head,
                                                          u32 out[2]) {
  if (!slot || !head || head->serverIndex >= kMaxServerIndexes)
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

// A drawable (kind RT_DRAWABLE) and a GC at once, each as translateXid gives
// it alone: a drawing request names both for every head it reaches, and
// both are usually the same client's.
[[gnu::always_inline]] inline void translateDrawableAndGC(u32 drawable, u32 gc, const Head* head, u32 out[2]) {
  translateIdPairOfSlot(plainIdPairSlot(drawable, gc), drawable, gc, head, out);
}

}  // namespace palvon

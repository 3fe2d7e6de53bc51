// The drawable and GC of a drawing request translated at once for a head.
//
// Inline: every drawing request runs it for every head it reaches, and the
// usual case (one meta screen, both ids of one client whose id bases are
// known) is a few shifts. Main thread only.
#pragma once

#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resourcefind.h"
#include "Proxy/servers/display.h"

namespace palvon {

// A shift that gives 0 from 32 on, as the id layouts need for a field of
// no bits.
[[gnu::always_inline]] inline u32 idShiftLeft(u32 value, u32 by) { return by >= 32 ? 0 : value << by; }

// The id of a client slot whose id bases are known, as the head's server
// knows it: the slot's base on that server, the number on its display of
// the head holding the id (idHead: a font's head, else the head itself),
// and the id's own bits past both.
[[gnu::always_inline]] inline u32 clientIdOnHead(u32 slot, u32 id, const Head* head, const Head* idHead,
                                                  const ServerDisplay* idDisplay, const ServerDisplay* display) {
  return proxyState.resources.slots[slot].serverIdBases[head->serverIndex] |
         idShiftLeft(idHead->numberOnDisplay, idDisplay->baseShift) |
         idShiftLeft(id & proxyState.resourceIdMask, display->proxyIdShift);
}

// Every case the inline part leaves: ids of two slots or of none, several
// meta screens, no head.
void translateDrawableAndGCSlowly(u32 drawable, u32 gc, const Head* head, u32 out[2]);

// The client slot of both ids when the usual case below holds for every
// head (one meta screen, both ids of that slot, its id bases known); 0
// otherwise. Nothing it reads changes while a request is forwarded, so a
// walk over several heads asks once.
[[gnu::always_inline]] inline u32 plainIdPairSlot(u32 drawable, u32 gc) {
  u32 slot = resourceSlotOf(drawable);
  if (proxyState.screenCount >= 2 || slot != resourceSlotOf(gc) || slot < 1 || slot >= kMaxClientSlots ||
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
  out[0] = clientIdOnHead(slot, drawable, head, head, display, display);
  out[1] = clientIdOnHead(slot, gc, head, head, display, display);
}

// A drawable (kind RT_DRAWABLE) and a GC at once, each as translateXid gives
// it alone: a drawing request names both for every head it reaches, and
// both are usually the same client's.
[[gnu::always_inline]] inline void translateDrawableAndGC(u32 drawable, u32 gc, const Head* head, u32 out[2]) {
  translateIdPairOfSlot(plainIdPairSlot(drawable, gc), drawable, gc, head, out);
}

}  // namespace palvon

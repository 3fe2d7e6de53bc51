// What a lost server's clients still wait for: each request the server was
// sent and never answered, when it expects a reply, gets the answer the
// proxy can give in the server's place; then every client's pending
// requests are armed again on the servers that remain.
#include <X11/X.h>
#include <X11/Xproto.h>

#include "Proxy/clients/client.h"
#include "Proxy/clients/setupreply.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/events/grabs.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/images.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "base/logging.h"

namespace palvon {

namespace {

// The most requests one link can owe: the ring keeps no more.
constexpr u64 kMaxOwed = kRingSlots;

bool isReply(const HeldMessage* held, const void*) { return held->length >= 32 && held->bytes[0] == 1; }

// Whether another server's answer to the client's request is held already.
bool answerHeld(const ProxyClient* client, u64 sequence) {
  for (PendingRequest* entry = client->pendingHead; entry; entry = entry->next) {
    if (entry->sequence != sequence) continue;
    return entry->errorHeld || findHeldMessage(&entry->others, isReply, nullptr);
  }
  return false;
}

void* stashOf(const ServerLink* link, u64 sequence, u8 code) {
  for (RequestStash* stash = link->stashHead; stash; stash = stash->next)
    if (stash->sequence == sequence && stash->code == code) return stash->data;
  return nullptr;
}

// The proxy's own pointer, relative to the request's window as the protocol
// has it: the child of the window that holds the pointer, the position in
// the window, the button and modifier state.
void answerQueryPointer(ProxyClient* client, u16 sequence, u32 windowId) {
  const ProxyWindow* window = lookupWindow(windowId);
  Head* holder = pointerHead();
  MetaScreen* screen = holder ? holder->metaScreen : window ? window->screen : proxyState.screens;
  i32 x = 0, y = 0;
  lastPointerPosition(&x, &y);
  u16 mask = u16(inputState.modifierState | inputState.buttonState);
  u32 root = screen ? screen->rootId : 0;
  if (!window || window->screen != screen) {
    sendReplyQueryPointer(client, sequence, 0, root, None, i16(x), i16(y), 0, 0, mask);
    return;
  }
  u32 child = None;
  for (const ProxyWindow* w = pointerWindowAt(screen, x, y); w; w = w->parent) {
    if (w->parent == window) child = w->id;
  }
  sendReplyQueryPointer(client, sequence, 1, root, child, i16(x), i16(y), i16(x - window->x), i16(y - window->y), mask);
}

void answerImplementation(ProxyClient* client, u16 sequence, u16 key) {
  u8 header[4] = {u8(key), u8(key >> 8), 1, 0};
  sendClientXError(BadImplementation, 0, header, 4, sequence, nullptr, client);
}

void answerOne(ProxyClient* client, const ServerLink* link, u64 serverSequence, u64 sequence, u16 key) {
  u8 major = u8(key), minor = u8(key >> 8);
  u16 wire = u16(sequence);
  switch (major) {
    case X_GrabPointer: sendReplyGrabPointer(client, wire, GrabNotViewable); return;
    case X_GrabKeyboard: sendReplyGrabKeyboard(client, wire, GrabNotViewable); return;
    case X_QueryPointer:
      answerQueryPointer(client, wire, u32(reinterpret_cast<uintptr_t>(stashOf(link, serverSequence, X_QueryPointer))));
      return;
    case X_GetImage:
      if (answerLostImagePiece(client, link, serverSequence, sequence)) return;
      break;
    default: break;
  }
  if (major >= 128) {
    ExtensionLostServerHook hook = proxyState.extensions.entries[major].lostServerHook;
    if (hook) return hook(client, sequence, minor, key);
  } else {
    PALVON_UNE();
  }
  // Silence would leave the client waiting for ever.
  answerImplementation(client, wire, key);
}

void answerClientOf(ProxyClient* client, const ServerLink* link) {
  u64 last = link->requestsSent;
  u64 first = link->lastServerSequence + 1;
  if (last >= kMaxOwed && first < last - kMaxOwed + 1) first = last - kMaxOwed + 1;
  for (u64 s = first; s <= last; s++) {
    const SequenceSlot* slot = findRingSlot(link, s);
    if (!slot || slot->key == kKeyNoOperation || isProxysOwnRequest(link, s)) continue;
    const RequestRow* row = requestRowOf(slot->key);
    if (!row || !row->replyLayout || !row->replyLayout[0]) continue;
    u64 sequence = sequenceWidenBack(client->requestCounter, slot->clientSequence);
    if (answerHeld(client, sequence)) continue;
    answerOne(client, link, s, sequence, slot->key);
  }
}

// A client that connected while the server was silent still waits for its
// set-up answer: it now waits for one server less, and gets its reply when
// that was the last.
void answerSetupOf(ProxyClient* client, const ServerLink* link) {
  if (link->setupAnswered != 0 || link->busy || !client->setupRepliesAwaited) return;
  if (--client->setupRepliesAwaited) return;
  if (!writeClientSetupReply(client)) stopClient(client, PALVON_OOM(), 0);
}

}  // namespace

void answerLostServerClients(ServerDisplay* server) {
  for (ProxyClient* client = clientList; client; client = client->next) {
    ServerLink* link = clientLink(client, server->index);
    if (!link || client->stopped || !client->transport) continue;
    answerSetupOf(client, link);
    if (link->ring) answerClientOf(client, link);
  }
}

void rearmPendingRequests() {
  for (ProxyClient* client = clientList; client; client = client->next) {
    PendingRequest* tail = client->pendingTail;
    if (!tail) continue;
    // The newest entry gets round trips on the links that remain; its
    // release flushes every older entry, whatever server they waited for.
    if (tail->batch) {
      tail->batch = 0;
      tail->nextUnarmed = client->unarmedPending;
      client->unarmedPending = tail;
    }
    armPendingRequests(client);
  }
}

}  // namespace palvon

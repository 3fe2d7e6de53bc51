// ProxyState: the one global record of the proxy, alive for the process's
// lifetime. It holds the dispatch tables, the extension registry and the
// limits; other modules add the fields they own. Zero-initialised (static
// storage), so every table slot starts empty.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/resources/resource.h"
#include "base/strings.h"

namespace palvon {

struct MetaScreen;
struct CursorRecord;

struct ProxyState {
  DispatchTables dispatch;
  ExtensionRegistry extensions;
  // Sets up fake input on the first display through the input-control
  // library when no XTEST module registered; null or a message. Without it
  // XTEST is then not offered.
  const char* (*fakeInputSetup)();

  // Limits.
  u32 maxRequestBytes;     // largest request without BIG-REQUESTS
  u32 maxBigRequestBytes;  // largest request with BIG-REQUESTS
  u32 resourceIdShift;     // client index = id >> shift
  u32 resourceIdMask;      // client-local part = id & mask
  u32 minKeycode;
  u32 maxKeycode;
  u32 pointerAccelThreshold;
  u32 pointerAccelNumerator;
  u32 pointerAccelDenominator;

  // The meta screens offered to clients, in screen-number order.
  MetaScreen* screens;
  u32 screenCount;

  // Heads over all meta screens, and the most heads any one screen held
  // (added with the heads layer).
  u32 headCount;
  u32 maxHeadsPerScreen;
  // Set once a head keeps two client depths at one depth of its own (an
  // emulated visual, a pixmap depth mapped to another). Such a head draws
  // with a GC of another depth than the drawable, which a plain server and
  // the other heads refuse, so the proxy must refuse it first.
  bool headsFoldDepths;

  // Added by the resource database: the client slots, the lists of
  // reference-counted records, and the cursor in force at the pointer.
  ResourceDatabase resources;
  ResourceRecordLists records;
  CursorRecord* pointerCursor;

  // Added with the start-up: the protocol version offered, the keycodes and
  // pointer buttons offered (the configuration's numbers, clamped), and the
  // motion-buffer size of the clients' set-up reply.
  u16 protocolMajor;
  u16 protocolMinor;
  u32 keycodeCount;
  u32 pointerButtons;
  // The map of the offered buttons as the clients last set it; the servers
  // keep the entries of the buttons they have, the proxy the rest.
  u8 pointerMap[32];
  u32 motionBufferSize;
};

extern ProxyState proxyState;

}  // namespace palvon

// MORVANDELL TRANSLUCENT: windows whose pixels of some key colours let the
// windows below show through. The real servers know nothing of it: every
// head keeps, per translucent window, an invisible holder window whose
// bounding shape collects the window's opaque part (pixels of other
// colours, and the window's children), and that shape is copied onto the
// window's real copy after every change. Offered with the option
// Translucent when SHAPE is registered.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct ProxyWindow;

// Registers "MORVANDELL TRANSLUCENT" (10 requests, no events, no errors,
// needs no server) and installs the core's hooks; translucency starts on
// every head that exists. Null or the refusal text.
const char* initTranslucentExtension(ExtensionEntry* entry);

// A server joining at run time (the core's copyTranslucencyToDisplay): the
// markers' selections of the client links to the new head, then every
// translucent window's holder on it. Null or the failure text.
const char* copyTranslucencyToHead(ProxyClient* client, Head* head);

// A SHAPE request changed a window: a translucent parent is evaluated again
// over the window's box.
void refreshTranslucentParent(ProxyClient* client, ProxyWindow* window);

}  // namespace palvon

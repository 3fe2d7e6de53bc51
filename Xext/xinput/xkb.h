// XKEYBOARD: UseExtension goes to every real server, so that each treats
// the client as an XKB client (a server answers BadAccess to clients that
// never sent it); the client hears only the input server's reply. Every
// other request goes to the input server alone, the server XInputExtension
// uses. Times, window ids, atoms and codes cross into each side's terms;
// keycodes pass as the input server sends them. Off unless the
// configuration enables it.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyClient;
struct RequestWriter;

// Registers "XKEYBOARD" (1 event, 1 error). Never refuses.
const char* initXkbExtension(ExtensionEntry* entry);

// Writes an 8-byte UseExtension with the proxy's major and offered version
// through the writer; false when it could not be reserved.
bool requestXkbUseExtension(RequestWriter* writer);

// While the session is copied onto a joining server (the head): every
// client that used XKB repeats UseExtension there, before its later
// requests, and the reply is dropped. Without a head (a recording sink)
// nothing is written: recordings do not keep extension requests. False when
// a request could not be written.
bool copyXkbStateToDisplay(RequestWriter* sink, Head* head);
// The same for one client and the server of that index (nothing when the
// client never used XKB or has no link there).
bool repeatXkbUseExtension(ProxyClient* client, u32 serverIndex);

// Rewrites an XKB event from the link's server for its client (byte 1 is
// the XKB type); events marked sent pass as they are.
struct ServerLink;
void translateXkbEvent(u8* event, const ServerLink* link);

}  // namespace palvon

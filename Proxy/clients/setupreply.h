// The client's connection set-up reply, built from the answers of all the
// real servers the client is linked to: it describes the proxy's meta
// screens, not any real server. A refusal by a server is passed on to the
// client as the server wrote it, and ends the client.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ServerLink;

// One server's set-up answer on a client's link (8 + 4 x the 16-bit length
// at byte 6, in the server's byte order). The serverSetupHandler of the
// link layer.
void handleClientSetupReply(ServerLink* link, const u8* reply, u32 length);

// Writes the client's set-up reply (success form) into its output; false
// when memory ran out (nothing is left behind then).
bool writeClientSetupReply(ProxyClient* client);

// The number of bytes the reply would take at most.
u32 clientSetupReplyBound();

}  // namespace palvon

// What a link does with the bytes its server sends, and the link's side of
// authorization and BIG-REQUESTS.
//
// Dispatch contract: before a handler of the DispatchTables is called, a
// reply's first 8 bytes, a whole event (by its layout) and a whole error are
// in the proxy's byte order, the sequence of the message has been popped
// from the link's ring (client->sequenceAnswered, link->requestKeyAnswered),
// and event and error codes are renumbered to the proxy's. A reply handler
// swaps the rest of its reply itself when link->writer.swap is set. Slots
// that nobody filled get the link's own defaults, which pass the message on
// to the client with the client's sequence number.
#pragma once

#include <X11/Xauth.h>

#include "base/strings.h"

namespace palvon {

struct RequestWriter;
struct ServerLink;

// Called with each server's connection set-up answer (8 + 4 x length bytes,
// in the server's byte order); the core protocol builds the client's set-up
// reply from them. Null: the link only notes a refusal.
using ServerSetupHandler = void (*)(ServerLink* link, const u8* reply, u32 length);
extern ServerSetupHandler serverSetupHandler;
void handleServerSetupReply(ServerLink* link, const u8* reply, u32 length);

// Name and data to send for a found credential (XDM-AUTHORIZATION-1 keys are
// turned into the encrypted data for this connection). 1 with heap copies,
// 0 when the credential cannot be used.
int computeAuthorizationData(ServerLink* link, const Xauth* auth, char** name, u16* nameLength, char** data,
                             u16* dataLength);
// A BigReqEnable request through the writer, in the proxy's BIG-REQUESTS
// major (the module's word in the registry), swapped when the writer's peer
// swaps. False when nothing was written: the proxy does not offer
// BIG-REQUESTS, or the request found no room.
bool requestBigReqEnable(RequestWriter* writer);
// A proxy without XKEYBOARD is, to its clients, a server without it; each
// link becomes an XKB client of its server all the same. A server tells
// the clients that never used XKB of every switch from one keyboard device
// to another as a change of the whole keymap and of the modifiers
// (MappingNotify), which a server without XKB never sends; an XKB client
// hears only of real changes, and selected for key symbols and modifiers
// it hears of those as MappingNotify still (their XKB events are dropped).
// Nothing is written when the proxy offers XKB or the server lacks it;
// false when a request could not be reserved.
bool requestQuietKeyboardSwitches(ServerLink* link);
// Whether the proxy offers BIG-REQUESTS.
bool bigRequestsOffered();

// Ends the client whose link broke (or stops a link without a client).
void endClientOfBrokenLink(ServerLink* link);

}  // namespace palvon

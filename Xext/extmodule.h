// What every extension module shares: its registration, its module word,
// the replies it builds from the version the proxy offers, and the answers
// it gives in a lost server's place.
//
// A module is one init operation, called by the extension registry with
// the module's ExtensionEntry once the real displays are open. The init
// makes one call, registerModule, with its rows (Proxy/dispatch/rows.h: requests by
// minor, events and errors by index, each row with its layout, size rule
// and route) and its hooks; registerModule returns null or the refusal
// text, which the init returns unchanged.
//
// Routes a module's rows name:
//   the version queries              Route::kMainHead (no resource: the
//                                    main head of the first meta screen)
//   drawing on a drawable            Route::kEveryHead (the meta screen of
//                                    the resource the handler records)
//   a setting of every server        Route::kEveryServer
//   ids of the client's own space    Route::kFewestIdBits
// Errors that a server returns for a module's requests are printed and
// passed on by the default error handler, driven by the error row's name
// and value kind (an id is translated back); a module writes its own
// printer only where a value needs more.
//
// Main thread only.
#pragma once

#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/rows.h"
#include "Proxy/proxystate.h"

namespace palvon {

struct ServerLink;

// The module's entry while its extension is registered, else null.
inline ExtensionEntry* moduleEntry(ExtensionModuleWord word) {
  return static_cast<ExtensionEntry*>(proxyState.extensions.moduleState[word]);
}

// What a module registers beside its rows.
struct ModuleHooks {
  ExtensionModuleWord word;
  ExtensionLostServerHook lostServer;  // null: none
  ExtensionCloseHook reset;            // null: clearModuleWord
  bool needsNoServer;                  // answered even where no server has it
};

// Registers the extension with its rows, sets the entry's hooks and flags
// and stores the entry in the module's word. Null or the refusal text.
const char* registerModule(ExtensionEntry* entry, const char* name, const ProtocolRows& rows,
                           const ModuleHooks& hooks);
// The default reset: the word that holds the entry becomes null.
void clearModuleWord(ExtensionEntry* entry);

// The version code the module's entry offers (major x 64 + minor); 0 when
// the extension is not registered.
u16 offeredVersion(ExtensionModuleWord word);

// The reply handler's part for a version query: the reply (in the proxy's
// order) gets the offered major and minor version as two fields of
// `width` bytes (1 or 2) from byte `at`, and goes on to the client with
// its layout.
void sendVersionReply(u8* reply, u32 length, ExtensionModuleWord word, LayoutString layout, u32 at = 8,
                      u32 width = 2);

// The forwarding handler of a request with a reply: along the row's route,
// or, when the client has no server to ask (every one of them lost), the
// module's lost-server hook answers at once (BadImplementation without a
// hook), so that the client never waits for an answer nobody will give.
void forwardOrAnswer(u8* request, u32 length);

// Whether the link's server has the extension of the proxy's major (a link
// without a code map numbers every extension as the proxy does).
bool linkHasExtension(const ServerLink* link, u8 major);
// The client's link to the first target of a route, or null.
ServerLink* firstTargetLink(Route route);

// --- Replies the proxy makes itself --------------------------------------------------
// For a lost server's clients (a module's lostServerHook) and where no
// server can answer; they reach the client in request order like every
// answer of the proxy.

// A 32-byte reply to the request key, for the client's sequence; the caller
// filled the bytes from 8 on (type, sequence and length are set here).
void composeReply(ProxyClient* client, u64 sequence, u16 key, u8* reply, LayoutString layout);
// A version reply "bbsiss" with the offered version.
void composeVersionReply(ProxyClient* client, u64 sequence, u16 key, ExtensionModuleWord word);
// BadImplementation (bad value 0) for a request the proxy cannot answer.
void composeImplementationError(ProxyClient* client, u64 sequence, u16 key);

}  // namespace palvon

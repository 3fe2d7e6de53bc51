// The dispatch tables: which handler gets each request, reply, event and
// error, and the printable names and event layouts beside them.
//
// Request and reply slots are indexed by the request key: the major opcode
// plus 256 times the second byte of the request (the minor opcode of an
// extension; for core requests a data byte, so a core major owns all 256
// keys). Event slots are indexed by event code, error slots by error code.
// The tables live in ProxyState for the process's lifetime; the core
// protocol fills majors 0 to 127 at start-up, each extension module fills its
// own major, events and errors when the registry initialises it, and the
// registry puts the unsupported handlers back when it resets an extension.
#pragma once

#include "Xext/byteswap.h"
#include "base/strings.h"

namespace palvon {

// Called with the request (in the client's input, swapped to our order by
// the handler itself) and its length in bytes, the extended-length word of a
// BIG-REQUESTS request already removed.
using RequestHandler = void (*)(u8* request, u32 length);
// Called with a server's reply and its length in bytes (32 + 4 x length).
using ReplyHandler = void (*)(u8* reply, u32 length);
// Called with a 32-byte event (a GenericEvent carries its own length).
using EventHandler = void (*)(u8* event);
// Called with a 32-byte error.
using ErrorHandler = void (*)(u8* error);

inline constexpr u32 kRequestKeys = 65536;

// Major opcode plus 256 times the minor opcode.
inline constexpr u32 requestKey(u8 major, u8 minor) { return major + 256u * minor; }

struct DispatchTables {
  RequestHandler requestHandlers[kRequestKeys];
  ReplyHandler replyHandlers[kRequestKeys];
  // Names of the core requests by major opcode.
  const char* coreRequestNames[128];
  // Names of extension requests at 256 x (major - 128) + minor.
  const char* extensionRequestNames[128 * 256];
  EventHandler eventHandlers[256];
  LayoutString eventLayouts[256];
  ErrorHandler errorHandlers[256];
  const char* errorNames[256];
};

}  // namespace palvon

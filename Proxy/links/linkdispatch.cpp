// Reading what a server sends on a client's link: the set-up answer, then
// errors, replies and events, each attributed to the client's request.
#include "Proxy/links/linkdispatch.h"

#define HASXDMAUTH 1  // libXdmcp is built with the DES wrap; the header hides it otherwise
#include <X11/Xdmcp.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/streamedreply.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/servers/display.h"
#include "base/logging.h"
#include "xsupport/region.h"

namespace palvon {

ServerSetupHandler serverSetupHandler = nullptr;

namespace {

constexpr u8 kKeymapNotify = 11;
constexpr u8 kGenericEvent = 35;

bool foreign(const ServerLink* link) { return link->writer.swap != 0; }

void setClientSequence(ServerLink* link, u8* message) {
  if (link->client) put16(message + 2, link->client->sequenceAnswered);
}

// An error in place of the reply of a hook that takes errors goes to that
// hook and no further; true when it did.
bool hookTakesError(ServerLink* link, const u8* rawError) {
  ReplyHook* hook = link->hookHead;
  if (!hook || !hook->takesErrors || std::memcmp(&hook->wireSequence, rawError + 2, 2) != 0) return false;
  popServerSequence(link, loadU16(rawError + 2, foreign(link)));
  dispatchReplyHook(link, rawError);
  return true;
}

// An error in place of an awaited reply retires the hook waiting for it.
void dropHookOfError(ServerLink* link, const u8* rawError) {
  ReplyHook* hook = link->hookHead;
  if (!hook || std::memcmp(&hook->wireSequence, rawError + 2, 2) != 0) return;
  LOGF(logChXerror, "Unexpected X error %u instead of reply #%u from %s for %s", rawError[1],
       loadU16(rawError + 2, foreign(link)), link->server.displayName, clientNameText(link->client));
  link->hookHead = hook->next;
  if (!link->hookHead) link->hookTail = nullptr;
  releaseReplyHook(hook);
}

// Extension codes are renumbered to the proxy's. A display's maps start as
// the identity and the registry fills in the extensions it offers; a code
// they map to 0 is one the proxy cannot name for the client: 0 is returned
// and the message is dropped (passed on it would read as an error or a
// reply).
u8 proxyErrorCode(const ServerLink* link, u8 code) {
  return code >= 128 && link->server.codes ? link->server.codes->errorFromServer[code] : code;
}

u8 proxyEventCode(const ServerLink* link, u8 code) {
  return code > kGenericEvent && link->server.codes ? link->server.codes->eventFromServer[code] & 0x7f : code;
}

void logUnknownCode(const ServerLink* link, const char* kind, u8 code) {
  LOGF(logChWarning, "Unknown X %s code %u from %s for %s dropped", kind, code, link->server.displayName,
       clientNameText(link->client));
}

void dispatchError(ServerLink* link, u8* error) {
  if (hookTakesError(link, error)) return;
  dropHookOfError(link, error);
  if (foreign(link)) swapArriving(kErrorLayout, error, error + 32);
  u8 code = proxyErrorCode(link, error[1]);
  popServerSequence(link, get16(error + 2));
  if (peekStashedData(link, kStashProxyCopy)) {
    // The client never sent this request: telling it would confuse it (or
    // end it, as Xlib's default handler does).
    LOGF(logChXhint, "X error %u of a copy onto %s dropped (%s)", u32(error[1]), link->server.displayName,
         clientNameText(link->client));
    releaseStashedData(link, kStashProxyCopy);
    dropStaleStash(link);
    return;
  }
  // Before the client's first request (and until its sequence numbers
  // wrap) sequence 0 can only be a request the proxy wrote itself: the
  // client would take the error for one of its own, or die of it.
  ProxyClient* client = link->client;
  if (client && client->sequenceAnswered == 0 && client->requestCounter < 0x10000) {
    LOGF(logChXhint, "X error %u of the proxy's request on %s dropped (%s)", u32(error[1]),
         link->server.displayName, clientNameText(client));
    if (!releaseStashedData(link, kStashError)) dropStaleStash(link);
    return;
  }
  if (!code) {
    logUnknownCode(link, "error", error[1]);
    if (!releaseStashedData(link, kStashError)) dropStaleStash(link);
    return;
  }
  error[1] = code;
  setClientSequence(link, error);
  error[10] = mapServerMajorToProxy(error[10], link);
  if (void* named = peekStashedData(link, kStashNamedAs)) {
    auto key = static_cast<u16>(reinterpret_cast<uintptr_t>(named));
    error[10] = static_cast<u8>(key);
    put16(error + 8, error[10] < 128 ? 0 : key >> 8);
  }
  errorHandlerOf(error[1])(error);
  if (link->closePending) return;
  if (!releaseStashedData(link, kStashError)) dropStaleStash(link);
}

// Inlined into the parse loop, its hot caller; the streamed start is the
// other, rare one.
[[gnu::always_inline]] inline void dispatchReply(ServerLink* link, u8* reply, u32 length) {
  if (link->hookHead && std::memcmp(&link->hookHead->wireSequence, reply + 2, 2) == 0) {
    // Hooks get the reply as the server sent it.
    popServerSequence(link, loadU16(reply + 2, foreign(link)));
    dispatchReplyHook(link, reply);
    return;
  }
  popServerSequence(link, loadU16(reply + 2, foreign(link)));
  const RequestRow* row = requestRowOf(link->requestKeyAnswered);
  if (foreign(link)) swapArriving(replyLayoutOf(row, reply, length), reply, reply + length);
  setClientSequence(link, reply);
  replyHandlerOf(row)(reply, length);
}

void dispatchEvent(ServerLink* link, u8* event, u32 length) {
  u8 code = proxyEventCode(link, event[0] & 0x7f);
  if (link->quietKeyboardSwitches && (event[0] & 0x7f) == link->server.display->xkbEvent) {
    // The XKB side of a change the link only asked for to hear of it as
    // MappingNotify. Told apart before the code is: without the proxy's
    // XKEYBOARD the server's XKB code may translate to another extension's.
    popServerSequence(link, loadU16(event + 2, foreign(link)));
    return;
  }
  if (!code) {
    if ((event[0] & 0x7f) != kKeymapNotify) popServerSequence(link, loadU16(event + 2, foreign(link)));
    logUnknownCode(link, "event", event[0] & 0x7f);
    return;
  }
  event[0] = static_cast<u8>((event[0] & 0x80) | code);
  // A generic event names its extension by the major opcode, which the
  // client knows by the proxy's number.
  if (code == kGenericEvent) event[1] = mapServerMajorToProxy(event[1], link);
  if (foreign(link)) swapArriving(eventLayoutOf(event), event, event + length);
  if (code != kKeymapNotify) {
    popServerSequence(link, get16(event + 2));
    setClientSequence(link, event);
  }
  eventHandlerOf(event)(event);
}

// A large reply whose body is still arriving goes to its handler with what
// is in, and its body follows read by read; false when it must wait whole.
[[gnu::noinline]] bool streamReply(ServerLink* link, u8* reply, u32 available, u64 size) {
  if (size < kStreamedReplyMinimum || size > 0xffffffffu || !replyMayStream(link, reply)) return false;
  ReplyStreamOffer offer{reply, available, 0, 0};
  replyStreamOffer = &offer;
  dispatchReply(link, reply, static_cast<u32>(size));
  replyStreamOffer = nullptr;
  settleReplyStream(link, offer, static_cast<u32>(size));
  return true;
}

// The server's set-up answer: 8 bytes, then 4 x the 16-bit length at byte 6.
bool takeSetupAnswer(ServerLink* link) {
  u64 available = link->input.used - link->parseOffset;
  if (available < 8) return false;
  u8* p = link->input.data + link->parseOffset;
  u64 size = 8 + 4ull * loadU16(p + 6, foreign(link));
  if (available < size) return false;
  link->parseOffset += static_cast<u32>(size);
  link->setupAnswered = kSetupAnswered;
  handleServerSetupReply(link, p, static_cast<u32>(size));
  return true;
}

}  // namespace

void handleServerSetupReply(ServerLink* link, const u8* reply, u32 length) {
  if (reply[0] != 1) link->refused = 1;
  if (serverSetupHandler) serverSetupHandler(link, reply, length);
}

void dispatchServerInput(ServerLink* link) {
  ServerLink* savedLink = currentLink;
  ProxyClient* savedClient = currentClient;
  currentLink = link;
  currentClient = link->client;
  link->dispatching++;
  bool tookSetup = link->setupAnswered == 0 && takeSetupAnswer(link);
  bool progressed = tookSetup;
  while (link->setupAnswered == kSetupAnswered) {
    if (link->streamRemaining) {
      // Bytes of a streamed reply are progress; none in is a wait.
      if (!passStreamedBody(link)) break;
      progressed = true;
      continue;
    }
    u64 available = link->input.used - link->parseOffset;
    if (available < 32) break;
    u8* p = link->input.data + link->parseOffset;
    u64 size = 32;
    if (p[0] == 1 || (p[0] & 0x7f) == kGenericEvent) size += 4ull * loadU32(p + 4, foreign(link));
    if (size > available) {
      if (p[0] == 1 && streamReply(link, p, static_cast<u32>(available), size)) {
        progressed = true;
        continue;
      }
      break;  // the rest comes with later reads
    }
    // Advance first: a handler may close the link or wait on it.
    link->parseOffset += static_cast<u32>(size);
    progressed = true;
    if (p[0] == 0)
      dispatchError(link, p);
    else if (p[0] == 1)
      dispatchReply(link, p, static_cast<u32>(size));
    else
      dispatchEvent(link, p, static_cast<u32>(size));
  }
  link->dispatching--;
  bool closed = link->closePending;
  if (!closed) {
    bufferConsumeKeep(&link->input, link->parseOffset);
    link->parseOffset = 0;
    if (!link->dispatching && link->setupAnswered != ~0u) watchServerLinkStall(link, progressed);
    // The set-up answer (some 10 KB) and the set-up request are the most an
    // idle link ever holds: their buffers go, and the link's next message
    // takes a fresh one (freed blocks serve the next client's links).
    if (tookSetup && link->input.used == 0) {
      bufferFree(&link->input);
      link->input = ByteBuffer{};
      outbufferDropSpare(&link->output);
    }
    // Entries this dispatch made wait for one round trip per link.
    if (link->client && !link->dispatching) armPendingRequests(link->client);
  }
  currentLink = savedLink == link && closed ? nullptr : savedLink;
  currentClient = savedClient;
  if (closed && !link->dispatching) std::free(link);
}

// --- Authorization and BIG-REQUESTS -------------------------------------------------

int computeAuthorizationData(ServerLink* link, const Xauth* auth, char** name, u16* nameLength, char** data,
                             u16* dataLength) {
  *name = static_cast<char*>(memdup(auth->name, auth->name_length));
  *nameLength = auth->name_length;
  bool xdm = auth->name_length == 19 && std::memcmp(auth->name, "XDM-AUTHORIZATION-1", 19) == 0;
  if (!xdm) {
    *data = static_cast<char*>(memdup(auth->data, auth->data_length));
    *dataLength = auth->data_length;
    return *name && *data;
  }
  if (auth->data_length < 16) {
    std::free(*name);
    *name = nullptr;
    return 0;
  }
  // 192 bits: the key's random part, who we are (address and port, or a
  // per-process nonce on a local socket), the time, zero padding; encrypted
  // with the key.
  static u32 nonce = 0;
  u8 plain[24] = {};
  std::memcpy(plain, auth->data, 8);
  sockaddr_storage self = {};
  socklen_t selfLength = sizeof self;
  if (getsockname(link->descriptor, reinterpret_cast<sockaddr*>(&self), &selfLength) == 0 &&
      self.ss_family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&self);
    std::memcpy(plain + 8, &in->sin_addr.s_addr, 4);
    std::memcpy(plain + 12, &in->sin_port, 2);
  } else {
    u32 fakeAddress = htonl(0xffffffffu - ++nonce);
    u16 fakePort = htons(static_cast<u16>(getpid()));
    std::memcpy(plain + 8, &fakeAddress, 4);
    std::memcpy(plain + 12, &fakePort, 2);
  }
  u32 now = htonl(static_cast<u32>(std::time(nullptr)));
  std::memcpy(plain + 14, &now, 4);
  auto* out = static_cast<u8*>(memAlloc(24));
  if (!out) {
    std::free(*name);
    *name = nullptr;
    return 0;
  }
  XdmcpWrap(plain, reinterpret_cast<unsigned char*>(auth->data) + 8, out, 24);
  *data = reinterpret_cast<char*>(out);
  *dataLength = 24;
  return 1;
}

static const ExtensionEntry* bigRequestsEntry() {
  return static_cast<const ExtensionEntry*>(proxyState.extensions.moduleState[kModuleBigRequests]);
}

bool bigRequestsOffered() { return bigRequestsEntry() != nullptr; }

bool requestBigReqEnable(RequestWriter* writer) {
  const ExtensionEntry* entry = bigRequestsEntry();
  if (!entry) return false;
  u8* p = beginRequest(writer, entry->major, 0, 4);
  if (!p) return false;
  finishWriterRequest(writer, p, 4, "bbs");
  return true;
}

bool requestQuietKeyboardSwitches(ServerLink* link) {
  const ServerDisplay* server = link->server.display;
  if (!server || !server->xkbMajor || proxyState.extensions.moduleState[kModuleXkb]) return true;
  constexpr u16 kUseCoreKeyboard = 0x100, kMapNotify = 1 << 1, kKeySymsAndModifiers = 1 << 1 | 1 << 2;
  bool swap = foreign(link);
  u8* p = reserveServerBytes(link, 8);
  if (!p) return false;
  // UseExtension 1.0, whose reply is the proxy's own. Both requests are
  // noted as no operation: a server lost before answering owes the client
  // nothing for them.
  p[0] = server->xkbMajor;
  p[1] = 0;
  storeU16(p + 2, 2, swap);
  storeU16(p + 4, 1, swap);
  storeU16(p + 6, 0, swap);
  link->requestsSent++;
  noteServerRequestKey(kKeyNoOperation, link);
  addReplyHook(link, acceptReplyHook, nullptr);
  // SelectEvents: changes of key symbols and modifiers on the core keyboard.
  p = reserveServerBytes(link, 16);
  if (!p) return false;
  p[0] = server->xkbMajor;
  p[1] = 1;
  storeU16(p + 2, 4, swap);
  storeU16(p + 4, kUseCoreKeyboard, swap);
  storeU16(p + 6, kMapNotify, swap);
  storeU16(p + 8, 0, swap);
  storeU16(p + 10, 0, swap);
  storeU16(p + 12, kKeySymsAndModifiers, swap);
  storeU16(p + 14, kKeySymsAndModifiers, swap);
  link->requestsSent++;
  noteServerRequestKey(kKeyNoOperation, link);
  link->quietKeyboardSwitches = 1;
  return true;
}

}  // namespace palvon

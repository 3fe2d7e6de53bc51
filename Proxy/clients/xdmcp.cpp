// The XDMCP client: options, the state machine, its packets and time-outs.
#include "Proxy/clients/xdmcp.h"

#include <X11/Xdmcp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/access.h"
#include "Proxy/clients/auth.h"
#include "Proxy/clients/client.h"
#include "base/logging.h"
#include "base/orders.h"

namespace palvon {

XdmcpLifeHooks xdmcpLifeHooks;

namespace {

// Packet opcodes.
constexpr u16 kOpBroadcastQuery = 1, kOpQuery = 2, kOpIndirectQuery = 3, kOpWilling = 5, kOpUnwilling = 6,
              kOpRequest = 7, kOpAccept = 8, kOpDecline = 9, kOpManage = 10, kOpRefuse = 11, kOpFailed = 12,
              kOpKeepAlive = 13, kOpAlive = 14;
constexpr u32 kMaxAuthentications = 4;
constexpr u32 kRetransmitLimit = 6;       // resends before the machine gives up
constexpr u32 kKeepAliveLimit = 4;        // unanswered keep-alives before the session counts as dead
constexpr u64 kMinTimerMs = 10;
constexpr u32 kMaxPacket = XDM_MAX_MSGLEN;

// The authorization protocols the proxy offers, in the order it checks them.
constexpr const char* kAuthorizationNames[] = {"MIT-MAGIC-COOKIE-1", "XDM-AUTHORIZATION-1", "SUN-DES-1"};

struct AuthenticationOps {
  bool (*validate)(const ARRAY8& packetData, int packetType);
  // Fills out (at most 256 bytes); the number of bytes.
  int (*generate)(u8* out, int packetType);
  bool (*addAuthorization)(u16 nameLength, const char* name, u16 dataLength, const u8* data);
};

struct Authentication {
  ARRAY8 name;
  ARRAY8 data;
  AuthenticationOps ops;
};

bool validateXdm(const ARRAY8& data, int type) { return xdmAuthenticationValidate(data.data, data.length, type); }

constexpr AuthenticationOps kXdmAuthenticationOps = {validateXdm, xdmAuthenticationGenerate,
                                                     xdmAuthenticationAddAuth};

struct Client {
  XdmcpState initial = kXdmcpOff;
  XdmcpState state = kXdmcpOff;
  u32 retransmissions = 0;
  u64 timeoutAt = 0;          // loop clock (ms); 0 none
  Order* timer = nullptr;
  u64 timerFor = 0;           // the time-out the timer was armed for
  Order* idle = nullptr;
  Order* readOrder = nullptr;
  int fd = -1;
  u32 dormancy = kXdmcpDormancySeconds;
  u32 port = kXdmcpDefaultPort;
  bool once = false;
  bool hooksInstalled = false;
  sockaddr_in manager{};
  bool haveManager = false;
  sockaddr_in broadcasts[kXdmcpMaxBroadcasts]{};
  u32 broadcastCount = 0;
  sockaddr_storage chosen{};  // the manager that answered Willing
  socklen_t chosenLength = 0;
  u16 displayNumber = 0;
  u32 sessionId = 0;
  ARRAY8 displayClass{};
  ARRAY8 displayId{};
  char* cookie = nullptr;
  ARRAY16 connectionTypes{};
  ARRAYofARRAY8 connectionAddresses{};
  Authentication authentications[kMaxAuthentications]{};
  u32 authenticationCount = 0;
  ARRAYofARRAY8 authenticationNames{};
  int chosenAuthentication = -1;
  ARRAYofARRAY8 authorizationNames{};
  int sessionDescriptor = -1;
};

Client xdm;
u8 inputBytes[kMaxPacket];
u8 outputBytes[kMaxPacket];

// --- Small helpers ----------------------------------------------------------------------------

bool setArray8(ARRAY8* array, const void* data, size_t length) {
  XdmcpDisposeARRAY8(array);
  if (length > 0xffff || !XdmcpAllocARRAY8(array, int(length))) return false;
  if (length) memcpy(array->data, data, length);
  return true;
}

bool setArray8Text(ARRAY8* array, const char* text) { return setArray8(array, text, strlen(text)); }

bool appendArray8(ARRAYofARRAY8* list, const void* data, size_t length) {
  if (list->length == 0xff) return false;
  if (!XdmcpReallocARRAYofARRAY8(list, list->length + 1)) return false;
  ARRAY8& entry = list->data[list->length - 1];
  entry = ARRAY8{};
  return setArray8(&entry, data, length);
}

void disposeAll() {
  XdmcpDisposeARRAY8(&xdm.displayClass);
  XdmcpDisposeARRAY8(&xdm.displayId);
  XdmcpDisposeARRAY16(&xdm.connectionTypes);
  XdmcpDisposeARRAYofARRAY8(&xdm.connectionAddresses);
  XdmcpDisposeARRAYofARRAY8(&xdm.authenticationNames);
  XdmcpDisposeARRAYofARRAY8(&xdm.authorizationNames);
  for (u32 i = 0; i < xdm.authenticationCount; i++) {
    XdmcpDisposeARRAY8(&xdm.authentications[i].name);
    XdmcpDisposeARRAY8(&xdm.authentications[i].data);
  }
  free(xdm.cookie);
}

u32 array8Size(const ARRAY8& a) { return 2 + a.length; }
u32 array16Size(const ARRAY16& a) { return 1 + 2u * a.length; }
u32 arrayOfArray8Size(const ARRAYofARRAY8& a) {
  u32 size = 1;
  for (u32 i = 0; i < a.length; i++) size += array8Size(a.data[i]);
  return size;
}

bool sameSender(const sockaddr_storage& from, socklen_t length) {
  if (!xdm.chosenLength) return true;
  if (length != xdm.chosenLength || from.ss_family != AF_INET) return false;
  const auto& a = reinterpret_cast<const sockaddr_in&>(from);
  const auto& b = reinterpret_cast<const sockaddr_in&>(xdm.chosen);
  return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// The manager's text is untrusted: it reaches the log only printable, so
// that it cannot forge lines or send escape sequences to a terminal.
const char* statusText(const char* what, const ARRAY8& status) {
  return tmpPrintf("XDMCP: %s %s", what, tmpPrintable(tmpStrndup(status.data, status.length)));
}

void fail(const char* reason) {
  if (xdmcpLifeHooks.fail) xdmcpLifeHooks.fail(reason);
}

// --- Registration from the other layers -------------------------------------------------------

void registerConnection(int family, const u8* address, int length) {
  for (u32 i = 0; i < xdm.connectionAddresses.length; i++) {
    const ARRAY8& known = xdm.connectionAddresses.data[i];
    if (xdm.connectionTypes.data[i] == family && known.length == length && !memcmp(known.data, address, length))
      return;
  }
  if (xdm.connectionTypes.length == 0xff || !XdmcpReallocARRAY16(&xdm.connectionTypes, xdm.connectionTypes.length + 1))
    return;
  xdm.connectionTypes.data[xdm.connectionTypes.length - 1] = CARD16(family);
  if (!appendArray8(&xdm.connectionAddresses, address, size_t(length))) {
    PALVON_OOM();
    XdmcpReallocARRAY16(&xdm.connectionTypes, xdm.connectionTypes.length - 1);
  }
}

void registerBroadcast(const sockaddr* address, socklen_t length) {
  if (xdm.broadcastCount >= kXdmcpMaxBroadcasts || length < socklen_t(sizeof(sockaddr_in)) ||
      address->sa_family != AF_INET)
    return;
  xdm.broadcasts[xdm.broadcastCount++] = *reinterpret_cast<const sockaddr_in*>(address);
}

void registerAuthentication(const char* name, int nameLength, const u8* data, int dataLength) {
  for (u32 i = 0; i < xdm.authenticationCount; i++) {
    Authentication& known = xdm.authentications[i];
    if (known.name.length == nameLength && !memcmp(known.name.data, name, size_t(nameLength))) {
      setArray8(&known.data, data, size_t(dataLength));
      return;
    }
  }
  if (xdm.authenticationCount == kMaxAuthentications) return;
  Authentication& entry = xdm.authentications[xdm.authenticationCount];
  if (!setArray8(&entry.name, name, size_t(nameLength)) || !setArray8(&entry.data, data, size_t(dataLength)) ||
      !appendArray8(&xdm.authenticationNames, name, size_t(nameLength))) {
    PALVON_OOM();
    return;
  }
  entry.ops = kXdmAuthenticationOps;
  xdm.authenticationCount++;
}

// Host access learns the listening addresses while XDMCP runs.
void installAccessHooks() {
  if (xdm.hooksInstalled) return;
  xdm.hooksInstalled = true;
  accessXdmcpHooks.connectionAddress = registerConnection;
  accessXdmcpHooks.broadcastAddress = registerBroadcast;
  xdmAuthenticationHooks.registerAuthentication = registerAuthentication;
}

// --- Sending ------------------------------------------------------------------------------------

struct Writer {
  XdmcpBuffer buffer{outputBytes, int(sizeof outputBytes), 0, 0};
  bool ok = true;

  void header(u16 opcode, u32 length) {
    XdmcpHeader h{XDM_PROTOCOL_VERSION, opcode, CARD16(length)};
    ok = ok && length <= 0xffff && XdmcpWriteHeader(&buffer, &h);
  }
  void card8(u32 v) { ok = ok && XdmcpWriteCARD8(&buffer, v); }
  void card16(u32 v) { ok = ok && XdmcpWriteCARD16(&buffer, v); }
  void card32(u32 v) { ok = ok && XdmcpWriteCARD32(&buffer, v); }
  void array8(const ARRAY8& a) { ok = ok && XdmcpWriteARRAY8(&buffer, const_cast<ARRAY8*>(&a)); }
  void array16(const ARRAY16& a) { ok = ok && XdmcpWriteARRAY16(&buffer, const_cast<ARRAY16*>(&a)); }
  void arrayOf8(const ARRAYofARRAY8& a) {
    ok = ok && XdmcpWriteARRAYofARRAY8(&buffer, const_cast<ARRAYofARRAY8*>(&a));
  }
  bool flush(const void* to, socklen_t length) {
    return ok && xdm.fd >= 0 &&
           XdmcpFlush(xdm.fd, &buffer, reinterpret_cast<XdmcpNetaddr>(const_cast<void*>(to)), int(length));
  }
};

bool sendQuery(u16 opcode, const sockaddr_in& to) {
  Writer w;
  w.header(opcode, arrayOfArray8Size(xdm.authenticationNames));
  w.arrayOf8(xdm.authenticationNames);
  return w.flush(&to, sizeof to);
}

bool sendToManager(u16 opcode) {
  if (!xdm.haveManager) return false;
  sockaddr_in to = xdm.manager;
  to.sin_port = htons(u16(xdm.port));
  return sendQuery(opcode, to);
}

bool sendBroadcasts() {
  bool sent = false;
  for (u32 i = 0; i < xdm.broadcastCount; i++) {
    sockaddr_in to = xdm.broadcasts[i];
    to.sin_port = htons(u16(xdm.port));
    sent = sendQuery(kOpBroadcastQuery, to) || sent;
  }
  return sent;
}

bool sendRequest() {
  ARRAY8 authenticationName{}, authenticationData{};
  u8 generated[256];
  if (xdm.chosenAuthentication >= 0) {
    Authentication& chosen = xdm.authentications[xdm.chosenAuthentication];
    authenticationName = chosen.name;
    int length = chosen.ops.generate ? chosen.ops.generate(generated, kOpRequest) : 0;
    authenticationData = ARRAY8{CARD16(std::clamp(length, 0, 256)), generated};
  }
  Writer w;
  w.header(kOpRequest, 2 + array16Size(xdm.connectionTypes) + arrayOfArray8Size(xdm.connectionAddresses) +
                           array8Size(authenticationName) + array8Size(authenticationData) +
                           arrayOfArray8Size(xdm.authorizationNames) + array8Size(xdm.displayId));
  w.card16(xdm.displayNumber);
  w.array16(xdm.connectionTypes);
  w.arrayOf8(xdm.connectionAddresses);
  w.array8(authenticationName);
  w.array8(authenticationData);
  w.arrayOf8(xdm.authorizationNames);
  w.array8(xdm.displayId);
  return w.flush(&xdm.chosen, xdm.chosenLength);
}

bool sendManage() {
  Writer w;
  w.header(kOpManage, 4 + 2 + array8Size(xdm.displayClass));
  w.card32(xdm.sessionId);
  w.card16(xdm.displayNumber);
  w.array8(xdm.displayClass);
  return w.flush(&xdm.chosen, xdm.chosenLength);
}

bool sendKeepAlive() {
  Writer w;
  w.header(kOpKeepAlive, 2 + 4);
  w.card16(xdm.displayNumber);
  w.card32(xdm.sessionId);
  return w.flush(&xdm.chosen, xdm.chosenLength);
}

// What each state sends on entry, and the state it waits in afterwards.
struct SendRow {
  XdmcpState state;
  bool (*send)();
  XdmcpState next;
  bool onlyWhenSent;
};
bool sendQueryRow() { return sendToManager(kOpQuery); }
bool sendIndirectRow() { return sendToManager(kOpIndirectQuery); }
constexpr SendRow kSendRows[] = {
    {kXdmcpQuery, sendQueryRow, kXdmcpCollectQuery, false},
    {kXdmcpBroadcast, sendBroadcasts, kXdmcpCollectBroadcast, false},
    {kXdmcpIndirect, sendIndirectRow, kXdmcpCollectIndirect, false},
    {kXdmcpStartConnection, sendRequest, kXdmcpAwaitRequestResponse, true},
    {kXdmcpManage, sendManage, kXdmcpAwaitManageResponse, false},
    {kXdmcpKeepAlive, sendKeepAlive, kXdmcpAwaitAlive, false},
};

void sendPacket() {
  for (const SendRow& row : kSendRows) {
    if (row.state != xdm.state) continue;
    bool sent = row.send();
    if (sent || !row.onlyWhenSent) xdm.state = row.next;
    u64 seconds = std::min<u64>(u64(XDM_MIN_RTX) << std::min<u32>(xdm.retransmissions, 8), XDM_MAX_RTX);
    xdm.timeoutAt = ordersClock() + seconds * 1000;
    return;
  }
}

// The machine starts over from its first state.
void restart() {
  xdm.state = xdm.initial;
  xdm.chosenLength = 0;
  xdm.chosenAuthentication = -1;
  xdm.timeoutAt = 0;
  xdm.retransmissions = 0;
  sendPacket();
}

void declareSessionDead(const char* reason) {
  LOGF(logChWarning, "XDMCP: %s, declaring session dead", reason);
  xdm.sessionDescriptor = -1;
  if (xdmcpLifeHooks.requestReset) xdmcpLifeHooks.requestReset("XDMCP session dead");
  restart();
}

// --- Timer ----------------------------------------------------------------------------------------

// Idle work: the one timer follows the current time-out.
void onIdle(void*) {
  if (xdm.state == kXdmcpOff || !xdm.timeoutAt) {
    orderCancel(xdm.timer);
    xdm.timer = nullptr;
    return;
  }
  if (xdm.timer && xdm.timerFor == xdm.timeoutAt) return;
  orderCancel(xdm.timer);
  u64 now = ordersClock();
  u64 remaining = xdm.timeoutAt > now ? xdm.timeoutAt - now : 0;
  xdm.timer = orderAddTimer(std::max(remaining, kMinTimerMs), xdmcpTimeout, nullptr);
  xdm.timerFor = xdm.timeoutAt;
}

// --- Receiving -------------------------------------------------------------------------------------

// The fields of one packet, read by a layout: 'A' ARRAY8, 'L' CARD32, 'B' CARD8.
struct Fields {
  ARRAY8 arrays[5]{};
  CARD32 cards[2]{};
  CARD8 byte = 0;
  ~Fields() {
    for (ARRAY8& a : arrays) XdmcpDisposeARRAY8(&a);
  }
};

bool readFields(XdmcpBuffer* buffer, const char* layout, Fields* out) {
  u32 a = 0, c = 0;
  for (const char* f = layout; *f; f++) {
    bool ok = false;
    if (*f == 'A') ok = XdmcpReadARRAY8(buffer, &out->arrays[a++]);
    else if (*f == 'L') ok = XdmcpReadCARD32(buffer, &out->cards[c++]);
    else if (*f == 'B') ok = XdmcpReadCARD8(buffer, &out->byte);
    if (!ok) return false;
  }
  return true;
}

struct Packet {
  const Fields& fields;
  const sockaddr_storage& from;
  socklen_t fromLength;
};

void onWilling(const Packet& p) {
  const ARRAY8& name = p.fields.arrays[0];
  int chosen = -1;
  if (name.length) {
    for (u32 i = 0; i < xdm.authenticationCount && chosen < 0; i++)
      if (XdmcpARRAY8Equal(const_cast<ARRAY8*>(&name), &xdm.authentications[i].name)) chosen = int(i);
    // A manager that wants an authentication the proxy lacks cannot be served.
    if (chosen < 0) return;
  }
  xdm.chosen = p.from;
  xdm.chosenLength = p.fromLength;
  xdm.chosenAuthentication = chosen;
  xdm.state = kXdmcpStartConnection;
  sendPacket();
}

void onUnwilling(const Packet&) { fail(tmpPrintf("XDMCP: %s %*.*s", "Manager unwilling", 14, 14, "Host unwilling")); }

Authentication* chosenAuthentication() {
  return xdm.chosenAuthentication >= 0 ? &xdm.authentications[xdm.chosenAuthentication] : nullptr;
}

// The packet names the chosen authentication (none: an empty name) and its
// data passes that authentication's check for the packet type.
bool authenticationChecks(const ARRAY8& name, const ARRAY8& data, int packetType) {
  Authentication* chosen = chosenAuthentication();
  ARRAY8 none{};
  ARRAY8* chosenName = chosen ? &chosen->name : &none;
  return XdmcpARRAY8Equal(const_cast<ARRAY8*>(&name), chosenName) &&
         (!chosen || !chosen->ops.validate || chosen->ops.validate(data, packetType));
}

void onAccept(const Packet& p) {
  const ARRAY8& name = p.fields.arrays[0];
  const ARRAY8& authorizationName = p.fields.arrays[2];
  const ARRAY8& authorizationData = p.fields.arrays[3];
  Authentication* chosen = chosenAuthentication();
  if (!authenticationChecks(name, p.fields.arrays[1], kOpAccept)) {
    fail(statusText("Authentication Failure", name));
    return;
  }
  augmentSelfHosts(reinterpret_cast<const sockaddr*>(&p.from), p.fromLength);
  u16 nameLength = authorizationName.length, dataLength = authorizationData.length;
  const char* nameText = reinterpret_cast<const char*>(authorizationName.data);
  bool added = chosen && chosen->ops.addAuthorization
                   ? chosen->ops.addAuthorization(nameLength, nameText, dataLength, authorizationData.data)
                   : addAuthorization(nameLength, nameText, dataLength, authorizationData.data);
  if (!added) addLocalHosts();
  xdm.sessionId = p.fields.cards[0];
  xdm.state = kXdmcpManage;
  sendPacket();
}

// A Decline that does not check is ignored: the Request is sent again when
// its time-out runs out.
void onDecline(const Packet& p) {
  if (!authenticationChecks(p.fields.arrays[1], p.fields.arrays[2], kOpDecline)) return;
  fail(statusText("Session declined", p.fields.arrays[0]));
}

void onRefuse(const Packet& p) {
  if (p.fields.cards[0] != xdm.sessionId) return;
  xdm.state = kXdmcpStartConnection;
  sendPacket();
}

void onFailed(const Packet& p) {
  if (p.fields.cards[0] != xdm.sessionId) return;
  fail(statusText("Session failed", p.fields.arrays[0]));
}

void onAlive(const Packet& p) {
  // The session-running byte is not consulted: the session id decides.
  if (p.fields.cards[0] != xdm.sessionId) {
    declareSessionDead("Alive response indicates session dead");
    return;
  }
  xdm.state = kXdmcpRunSession;
  xdm.timeoutAt = ordersClock() + u64(xdm.dormancy) * 1000;
}

constexpr u32 stateBit(XdmcpState s) { return 1u << s; }
constexpr u32 kCollecting = stateBit(kXdmcpCollectQuery) | stateBit(kXdmcpCollectBroadcast) |
                            stateBit(kXdmcpCollectIndirect);

// One row per packet a manager sends: its fields (which also fix the length
// of Refuse and Alive) and the states that take it; others ignore it.
struct ReceiveRow {
  u16 opcode;
  const char* name;
  const char* layout;
  u32 states;
  void (*handle)(const Packet& packet);
};
constexpr ReceiveRow kReceiveRows[] = {
    {kOpWilling, "Willing", "AAA", kCollecting, onWilling},
    {kOpUnwilling, "Unwilling", "AA", kCollecting, onUnwilling},
    {kOpAccept, "Accept", "LAAAA", stateBit(kXdmcpAwaitRequestResponse), onAccept},
    {kOpDecline, "Decline", "AAA", stateBit(kXdmcpAwaitRequestResponse), onDecline},
    {kOpRefuse, "Refuse", "L", stateBit(kXdmcpAwaitManageResponse), onRefuse},
    {kOpFailed, "Failed", "LA", stateBit(kXdmcpAwaitManageResponse), onFailed},
    {kOpAlive, "Alive", "BL", stateBit(kXdmcpAwaitAlive), onAlive},
};

const ReceiveRow* findRow(u16 opcode) {
  for (const ReceiveRow& row : kReceiveRows)
    if (row.opcode == opcode) return &row;
  return nullptr;
}

// The bookkeeping after a packet the machine took.
void afterPacket() {
  if (xdm.state == kXdmcpAwaitUserInput) {
    restart();
    return;
  }
  if (xdm.state != kXdmcpRunSession) return;
  xdm.dormancy = kXdmcpDormancySeconds;
  if (clientCount) xdm.timeoutAt = ordersClock() + u64(xdm.dormancy) * 1000;
}

}  // namespace

// --- Options ----------------------------------------------------------------------------------------

int xdmcpParseOption(int argc, char** argv, int index) {
  if (index < 0 || index >= argc || !argv[index]) return index;
  const char* word = argv[index];
  auto text = [&](auto apply) {
    if (index + 1 >= argc) return index + 1;
    apply(argv[index + 1]);
    return index + 2;
  };
  if (!strcmp(word, "-query") || !strcmp(word, "-indirect")) {
    xdm.initial = word[1] == 'q' ? kXdmcpQuery : kXdmcpIndirect;
    installAccessHooks();
    xdmcpSetManagerHost(argc, argv, index + 1);
    return index + 2;
  }
  if (!strcmp(word, "-broadcast")) {
    xdm.initial = kXdmcpBroadcast;
    installAccessHooks();
    return index + 1;
  }
  if (!strcmp(word, "-port"))
    return text([](const char* value) { xdm.port = u32(strtoul(value, nullptr, 10)) & 0xffff; });
  if (!strcmp(word, "-once")) {
    xdm.once = true;
    return index + 1;
  }
  if (!strcmp(word, "-class"))
    return text([](const char* value) {
      if (!setArray8Text(&xdm.displayClass, value)) PALVON_OOM();
    });
  if (!strcmp(word, "-displayID"))
    return text([](const char* value) {
      if (!setArray8Text(&xdm.displayId, value)) PALVON_OOM();
    });
  if (!strcmp(word, "-cookie"))
    return text([](const char* value) {
      free(xdm.cookie);
      xdm.cookie = memStrdup(value);
    });
  return index;
}

void xdmcpSetManagerHost(int argc, char** argv, int index) {
  if (index < 0 || index >= argc || !argv[index]) {
    fail("Xserver: missing host name in command line");
    return;
  }
  const char* host = argv[index];
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) {
    fail(tmpPrintf("Xserver: unknown host: %s", host));
    return;
  }
  if (found->ai_family != AF_INET || found->ai_addrlen != sizeof(sockaddr_in)) {
    freeaddrinfo(found);
    fail(tmpPrintf("Xserver: host on strange network %s", host));
    return;
  }
  xdm.manager = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  xdm.manager.sin_port = htons(u16(xdm.port));
  xdm.haveManager = true;
  freeaddrinfo(found);
}

// --- Start, reset, stop --------------------------------------------------------------------------------

void xdmcpInit() {
  xdm.state = xdm.initial;
  if (xdm.cookie) {
    installAccessHooks();
    xdmAuthenticationInit(xdm.cookie, int(strlen(xdm.cookie)));
  }
  if (xdm.state == kXdmcpOff) return;
  // From now on only the display manager's authorization lets clients in.
  accessUsingXdmcp(true);
  XdmcpDisposeARRAYofARRAY8(&xdm.authorizationNames);
  for (const char* name : kAuthorizationNames)
    if (!appendArray8(&xdm.authorizationNames, name, strlen(name))) PALVON_OOM();
  xdm.idle = orderAddIdle(onIdle, nullptr);
  clientHooks.sessionStarted = xdmcpSessionStarted;
  clientHooks.sessionClosing = xdmcpCloseDisplay;
  xdm.retransmissions = 0;
  xdm.displayNumber = u16(proxyDisplayNumber > 0 ? proxyDisplayNumber : 0);
  xdm.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (xdm.fd < 0) {
    LOGF(logChError, "XDMCP: %s", "UDP socket creation failed");
  } else {
    int on = 1;
    if (setsockopt(xdm.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0)
      LOGF(logChError, "XDMCP: %s", "UDP set broadcast socket-option failed");
    // The listeners were opened before XDMCP started: learn their
    // addresses now, or the manager is told of none.
    if (!xdm.connectionTypes.length) registerXdmcpInterfaces(xdm.fd);
    xdm.readOrder = orderAddFd(xdm.fd, handleXdmcpPacket, nullptr);
  }
  sendPacket();
}

void xdmcpReset() {
  if (xdm.initial == kXdmcpOff || xdm.state == kXdmcpOff) return;
  orderCancel(xdm.timer);
  xdm.timer = nullptr;
  if (!xdm.idle) xdm.idle = orderAddIdle(onIdle, nullptr);
  xdm.sessionDescriptor = -1;
  restart();
}

void xdmcpShutdown() {
  orderCancel(xdm.timer);
  orderCancel(xdm.idle);
  orderCancel(xdm.readOrder);
  if (xdm.fd >= 0) close(xdm.fd);
  if (clientHooks.sessionStarted == xdmcpSessionStarted) clientHooks.sessionStarted = nullptr;
  if (clientHooks.sessionClosing == xdmcpCloseDisplay) clientHooks.sessionClosing = nullptr;
  accessUsingXdmcp(false);
  if (xdm.hooksInstalled) {
    accessXdmcpHooks = AccessXdmcpHooks{};
    xdmAuthenticationHooks = XdmAuthenticationHooks{};
  }
  disposeAll();
  xdm = Client{};
}

// --- Sessions ------------------------------------------------------------------------------------------

void xdmcpSessionStarted(int descriptor) {
  if (xdm.state != kXdmcpAwaitManageResponse) return;
  xdm.state = kXdmcpRunSession;
  xdm.sessionDescriptor = descriptor;
  // The first keep-alive comes after a dormancy period, not after the
  // Manage packet's retransmission time.
  xdm.timeoutAt = ordersClock() + u64(xdm.dormancy) * 1000;
}

void xdmcpCloseDisplay(int descriptor) {
  if (xdm.state != kXdmcpRunSession && xdm.state != kXdmcpAwaitAlive) return;
  if (descriptor != xdm.sessionDescriptor) return;
  xdm.state = xdm.initial;
  xdm.sessionDescriptor = -1;
  xdm.timeoutAt = 0;
  if (xdm.once) {
    if (xdmcpLifeHooks.requestExit) xdmcpLifeHooks.requestExit("XDMCP close display");
  } else if (xdmcpLifeHooks.requestReset) {
    xdmcpLifeHooks.requestReset("XDMCP close display");
  }
}

// --- The loop's callbacks -----------------------------------------------------------------------------

void handleXdmcpPacket(void*) {
  XdmcpBuffer buffer{inputBytes, int(sizeof inputBytes), 0, 0};
  sockaddr_storage from{};
  int fromLength = int(sizeof from);
  if (!XdmcpFill(xdm.fd, &buffer, reinterpret_cast<XdmcpNetaddr>(&from), &fromLength)) return;
  XdmcpHeader header{};
  if (!XdmcpReadHeader(&buffer, &header) || header.version != XDM_PROTOCOL_VERSION) return;
  const ReceiveRow* row = findRow(header.opcode);
  if (!row || XdmcpReadRemaining(&buffer) != header.length) return;
  Fields fields;
  if (!readFields(&buffer, row->layout, &fields) || XdmcpReadRemaining(&buffer) != 0) return;
  // Once a manager answered, nobody else speaks for it; and a packet the
  // current state does not expect is noise, not a sign of life.
  if (!sameSender(from, socklen_t(fromLength)) || !(row->states & stateBit(xdm.state))) {
    if (xdm.state == kXdmcpAwaitUserInput && sameSender(from, socklen_t(fromLength))) afterPacket();
    return;
  }
  xdm.retransmissions = 0;
  row->handle(Packet{fields, from, socklen_t(fromLength)});
  afterPacket();
}

void xdmcpTimeout(void*) {
  xdm.timer = nullptr;  // spent
  if (!xdm.timeoutAt || ordersClock() < xdm.timeoutAt) return;
  if (xdm.state == kXdmcpRunSession) {
    xdm.state = kXdmcpKeepAlive;
  } else {
    xdm.retransmissions++;
    if (xdm.state == kXdmcpAwaitAlive && xdm.retransmissions >= kKeepAliveLimit) {
      declareSessionDead("too many keepalive retransmissions");
      return;
    }
    if (xdm.retransmissions > kRetransmitLimit) {
      LOGF(logChWarning, "XDMCP: %s", "too many retransmissions");
      xdm.state = kXdmcpAwaitUserInput;
      xdm.timeoutAt = 0;
      xdm.retransmissions = 0;
      return;
    }
    static constexpr XdmcpState kResend[][2] = {
        {kXdmcpCollectQuery, kXdmcpQuery},         {kXdmcpCollectBroadcast, kXdmcpBroadcast},
        {kXdmcpCollectIndirect, kXdmcpIndirect},   {kXdmcpAwaitRequestResponse, kXdmcpStartConnection},
        {kXdmcpAwaitManageResponse, kXdmcpManage}, {kXdmcpAwaitAlive, kXdmcpKeepAlive},
    };
    for (const auto& pair : kResend) {
      if (pair[0] != xdm.state) continue;
      xdm.state = pair[1];
      break;
    }
  }
  sendPacket();
}

XdmcpState xdmcpState() { return xdm.state; }
u32 xdmcpRetransmissions() { return xdm.retransmissions; }
u32 xdmcpSessionId() { return xdm.sessionId; }
int xdmcpSocket() { return xdm.fd; }

}  // namespace palvon

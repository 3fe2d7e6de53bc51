#include "Proxy/clients/auth.h"

#include <netinet/in.h>
#include <rpc/rpc.h>
#include <rpc/svc_auth.h>
#include <rpc/svc_mt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
#include <X11/Xauth.h>
#define HASXDMAUTH 1
#include <X11/Xdmcp.h>
}

#include "base/logging.h"

namespace palvon {

XdmAuthenticationHooks xdmAuthenticationHooks;

namespace {

// --- Module state ----------------------------------------------------------

i32 nextAuthorizationId;
char* authorityFile;
timespec authorityFileTime;
bool authorityFileSeen;
bool loadNeeded = true;
bool loadedBefore;
bool loadingFile;   // Adds come from the authority file

bool timeLater(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// Equal length and bytes, without an early exit on the first difference.
bool sameBytes(const u8* a, const u8* b, size_t n) {
  u8 difference = 0;
  for (size_t i = 0; i < n; i++) difference |= a[i] ^ b[i];
  return difference == 0;
}

// --- MIT-MAGIC-COOKIE-1 ----------------------------------------------------

struct MitCookie {
  MitCookie* next;
  i32 id;
  bool fromFile;
  u16 length;
  u8 data[];
};
MitCookie* mitCookies;

const MitCookie* mitFind(u16 length, const u8* data) {
  for (const MitCookie* cookie = mitCookies; cookie; cookie = cookie->next)
    if (cookie->length == length && sameBytes(cookie->data, data, length)) return cookie;
  return nullptr;
}

bool mitAddCookie(u16 length, const u8* data, i32 id) {
  auto* cookie = static_cast<MitCookie*>(memAlloc(sizeof(MitCookie) + length));
  if (!cookie) return false;
  cookie->id = id;
  cookie->fromFile = loadingFile;
  cookie->length = length;
  if (length) memcpy(cookie->data, data, length);
  cookie->next = mitCookies;
  mitCookies = cookie;
  return true;
}

i32 mitCheckCookie(u16 length, const u8* data, const AccessClient*, const char** reason) {
  if (const MitCookie* cookie = mitFind(length, data)) return cookie->id;
  *reason = "Invalid MIT-MAGIC-COOKIE-1 key";
  return -1;
}

// Frees the cookies, or only those the authority file gave.
void mitDropCookies(bool fileOnly) {
  for (MitCookie** link = &mitCookies; *link;) {
    MitCookie* cookie = *link;
    if (fileOnly && !cookie->fromFile) {
      link = &cookie->next;
      continue;
    }
    *link = cookie->next;
    free(cookie);
  }
}

void mitResetCookies() { mitDropCookies(false); }

i32 mitCookieToId(u16 length, const u8* data) {
  const MitCookie* cookie = mitFind(length, data);
  return cookie ? cookie->id : -1;
}

bool mitCookieFromId(i32 id, u16* length, const u8** data) {
  for (const MitCookie* cookie = mitCookies; cookie; cookie = cookie->next) {
    if (cookie->id == id) {
      *length = cookie->length;
      *data = cookie->data;
      return true;
    }
  }
  return false;
}

bool mitRemoveCookie(u16 length, const u8* data) {
  for (MitCookie** link = &mitCookies; *link; link = &(*link)->next) {
    if ((*link)->length == length && sameBytes((*link)->data, data, length)) {
      MitCookie* cookie = *link;
      *link = cookie->next;
      free(cookie);
      return true;
    }
  }
  return false;
}

// --- XDM-AUTHORIZATION-1 ---------------------------------------------------

constexpr int kXdmPlainLength = 24;
constexpr i64 kXdmClientWindow = 1500;   // seconds an accepted client is remembered
constexpr i64 kXdmMaxSkew = 1200;        // seconds a client's clock may differ

struct XdmKey {
  XdmKey* next;
  u8 rho[8];
  u8 key[8];
  i32 id;
  bool fromFile;
};
struct XdmClient {
  XdmClient* next;
  u8 rho[8];
  u8 address[6];   // IPv4 address and port as the client wrapped them
  i64 time;
};

XdmKey* xdmKeys;
XdmClient* xdmClients;
u8 xdmPrivateKey[8];
u8 xdmRho[8];
i64 xdmClockOffset;
bool xdmClockOffsetSet;
bool xdmThroughXdmcp;

void xdmDropStaleClients(i64 now) {
  for (XdmClient** link = &xdmClients; *link;) {
    XdmClient* client = *link;
    i64 age = client->time - now;
    if (age > kXdmClientWindow || age < -kXdmClientWindow) {
      *link = client->next;
      free(client);
    } else {
      link = &client->next;
    }
  }
}

// Validates a decrypted authenticator; fills *out and returns null when valid.
const char* xdmValidate(const u8* plain, int length, const u8* rho, const AccessClient* client, XdmClient* out) {
  static const u8 kZeros[6] = {};
  if (length != kXdmPlainLength) return "Bad XDM authorization key length";
  if (memcmp(plain, rho, 8) != 0) return "Invalid XDM-AUTHORIZATION-1 key (failed key comparison)";
  if (memcmp(plain + 18, kZeros, 6) != 0) return "Invalid XDM-AUTHORIZATION-1 key (failed NULL check)";
  if (client && client->peerLength >= sizeof(sockaddr_in) && client->peer.ss_family == AF_INET) {
    const auto* peer = reinterpret_cast<const sockaddr_in*>(&client->peer);
    if (memcmp(plain + 8, &peer->sin_addr, 4) != 0)
      return "Invalid XDM-AUTHORIZATION-1 key (failed address comparison)";
  }
  i64 t = (i64{plain[14]} << 24) | (i64{plain[15]} << 16) | (i64{plain[16]} << 8) | plain[17];
  i64 now = static_cast<i64>(time(nullptr));
  if (!xdmClockOffsetSet) {
    xdmClockOffset = t - now;
    xdmClockOffsetSet = true;
  }
  now += xdmClockOffset;
  xdmDropStaleClients(now);
  if (t - now > kXdmMaxSkew || now - t > kXdmMaxSkew) return "Excessive XDM-AUTHORIZATION-1 time offset";
  for (const XdmClient* seen = xdmClients; seen; seen = seen->next)
    if (!memcmp(seen->rho, plain, 8) && !memcmp(seen->address, plain + 8, 6) && seen->time == t)
      return "XDM authorization key matches an existing client!";
  memcpy(out->rho, plain, 8);
  memcpy(out->address, plain + 8, 6);
  out->time = t;
  return nullptr;
}

// Tries every key; the id of the first that validates, else -1. With
// remember set, the accepted client is recorded against replays.
i32 xdmFindKey(u16 length, const u8* data, const AccessClient* client, const char** reason, bool remember) {
  if (length % 8 != 0) return -1;
  for (const XdmKey* key = xdmKeys; key; key = key->next) {
    XdmClient record{};
    const char* why = "Bad XDM authorization key length";
    if (length == kXdmPlainLength) {
      u8 input[kXdmPlainLength], plain[kXdmPlainLength];
      memcpy(input, data, sizeof input);
      XdmcpUnwrap(input, const_cast<u8*>(key->key), plain, kXdmPlainLength);
      why = xdmValidate(plain, kXdmPlainLength, key->rho, client, &record);
    }
    if (!why) {
      if (remember) {
        auto* accepted = static_cast<XdmClient*>(memdup(&record, sizeof record));
        if (!accepted) return -1;
        accepted->next = xdmClients;
        xdmClients = accepted;
      }
      return key->id;
    }
    if (reason) *reason = why;
  }
  return -1;
}

bool xdmAddCookie(u16 length, const u8* data, i32 id) {
  XdmKey entry{};
  if (length == 8) {
    memcpy(entry.rho, xdmRho, 8);
    memcpy(entry.key, data, 8);
  } else if (length == 16 && xdmThroughXdmcp) {
    memcpy(entry.rho, xdmRho, 8);
    memcpy(entry.key, data, 8);
    entry.key[0] = 0;
  } else if (length == 16) {
    memcpy(entry.rho, data, 8);
    memcpy(entry.key, data + 8, 8);
  } else {
    return false;
  }
  if (entry.key[0] != 0) return false;
  entry.id = id;
  entry.fromFile = loadingFile;
  auto* key = static_cast<XdmKey*>(memdup(&entry, sizeof entry));
  if (!key) return false;
  key->next = xdmKeys;
  xdmKeys = key;
  return true;
}

i32 xdmCheckCookie(u16 length, const u8* data, const AccessClient* client, const char** reason) {
  return xdmFindKey(length, data, client, reason, true);
}

// Frees the keys, or only those the authority file gave.
void xdmResetKeys(bool fileOnly) {
  for (XdmKey** link = &xdmKeys; *link;) {
    XdmKey* key = *link;
    if (fileOnly && !key->fromFile) {
      link = &key->next;
      continue;
    }
    *link = key->next;
    free(key);
  }
}

void xdmResetCookies() {
  xdmResetKeys(false);
  while (XdmClient* client = xdmClients) {
    xdmClients = client->next;
    free(client);
  }
}

i32 xdmCookieToId(u16 length, const u8* data) { return xdmFindKey(length, data, nullptr, nullptr, false); }

bool xdmCookieFromId(i32 id, u16* length, const u8** data) {
  for (const XdmKey* key = xdmKeys; key; key = key->next) {
    if (key->id == id) {
      *length = 16;
      *data = key->rho;   // rho and key lie side by side
      return true;
    }
  }
  return false;
}

bool xdmRemoveCookie(u16 length, const u8* data) {
  if (length != 8 && length != 16) return false;
  const u8* rho = length == 8 ? xdmRho : data;
  const u8* keyBytes = length == 8 ? data : data + 8;
  for (XdmKey** link = &xdmKeys; *link; link = &(*link)->next) {
    if (!memcmp((*link)->rho, rho, 8) && !memcmp((*link)->key, keyBytes, 8)) {
      XdmKey* key = *link;
      *link = key->next;
      free(key);
      return true;
    }
  }
  return false;
}

// --- SUN-DES-1 -------------------------------------------------------------

i32 sunDesId = -1;

bool checkNetNamePrefix(const u8* address, int length, void* argument) {
  const char* name = static_cast<const char*>(argument);
  return static_cast<size_t>(length) == strlen(name) && memcmp(address, name, length) == 0;
}

// Decodes the credential and verifier and asks the platform's secure-RPC
// service; the client's net name, or null with *why set.
const char* authenticateSecureRpc(u16 length, const u8* data, int* why) {
  static char credentialArea[MAX_AUTH_BYTES], verifierArea[MAX_AUTH_BYTES];
  alignas(16) static char clientCredentials[1024];
  char* copy = static_cast<char*>(memdup(data, length ? length : 1));
  if (!copy) {
    *why = AUTH_FAILED;
    return nullptr;
  }
  rpc_msg message{};
  message.rm_call.cb_cred.oa_base = credentialArea;
  message.rm_call.cb_verf.oa_base = verifierArea;
  XDR xdr;
  xdrmem_create(&xdr, copy, length, XDR_DECODE);
  const char* name = nullptr;
  if (!xdr_opaque_auth(&xdr, &message.rm_call.cb_cred) || !xdr_opaque_auth(&xdr, &message.rm_call.cb_verf)) {
    *why = AUTH_BADCRED;
  } else if (message.rm_call.cb_cred.oa_flavor != AUTH_DES) {
    *why = AUTH_TOOWEAK;
  } else {
    SVCXPRT_EXT extension{};
    SVCXPRT transport{};
    transport.xp_p3 = &extension;
    svc_req request{};
    request.rq_cred = message.rm_call.cb_cred;
    request.rq_clntcred = clientCredentials;
    request.rq_xprt = &transport;
    memset(clientCredentials, 0, sizeof clientCredentials);
    *why = _authenticate(&request, &message);
    if (*why == AUTH_OK) name = reinterpret_cast<authdes_cred*>(clientCredentials)->adc_fullname.name;
  }
  XDR_DESTROY(&xdr);
  free(copy);
  return name;
}

bool sunDesAdd(u16 length, const u8* data, i32 id) {
  if (length > 0 && !newHost(kFamilyNetname, data, length, false)) return false;
  sunDesId = id;
  return true;
}

i32 sunDesCheck(u16 length, const u8* data, const AccessClient*, const char** reason) {
  if (sunDesId < 0) {
    *reason = "Secure RPC authorization not initialized";
    return -1;
  }
  int why = AUTH_FAILED;
  const char* netName = authenticateSecureRpc(length, data, &why);
  if (!netName) {
    *reason = tmpPrintf("Unable to authenticate secure RPC client (why=%d)", why);
    return -1;
  }
  if (forEachHostInFamily(kFamilyNetname, checkNetNamePrefix, const_cast<char*>(netName))) return sunDesId;
  *reason = tmpPrintf("Principal \"%s\" is not authorized to connect", netName);
  return -1;
}

void sunDesReset() { sunDesId = -1; }
i32 sunDesToId(u16, const u8*) { return sunDesId; }
bool sunDesFromId(i32, u16*, const u8**) { return false; }
bool sunDesRemove(u16, const u8*) { return false; }

// --- The protocol table ----------------------------------------------------

const AuthProtocol kProtocols[] = {
    {18, "MIT-MAGIC-COOKIE-1", mitAddCookie, mitCheckCookie, mitResetCookies, mitCookieToId, mitCookieFromId,
     mitRemoveCookie},
    {19, "XDM-AUTHORIZATION-1", xdmAddCookie, xdmCheckCookie, xdmResetCookies, xdmCookieToId, xdmCookieFromId,
     xdmRemoveCookie},
    {9, "SUN-DES-1", sunDesAdd, sunDesCheck, sunDesReset, sunDesToId, sunDesFromId, sunDesRemove},
};

const AuthProtocol* findProtocol(u16 nameLength, const char* name) {
  for (const AuthProtocol& protocol : kProtocols)
    if (protocol.nameLength == nameLength && memcmp(protocol.name, name, nameLength) == 0) return &protocol;
  return nullptr;
}

// Adds one authority-file entry to every protocol of its name.
int addAuthorityEntry(const Xauth* entry) {
  int added = 0;
  for (const AuthProtocol& protocol : kProtocols) {
    if (!protocol.add || protocol.nameLength != entry->name_length ||
        memcmp(protocol.name, entry->name, protocol.nameLength) != 0)
      continue;
    added++;
    protocol.add(entry->data_length, reinterpret_cast<const u8*>(entry->data), ++nextAuthorizationId);
  }
  return added;
}

void noteAuthorityFileTime() {
  struct stat info{};
  bool exists = authorityFile && stat(authorityFile, &info) == 0;
  if (exists && (!authorityFileSeen || timeLater(info.st_mtim, authorityFileTime))) {
    authorityFileTime = info.st_mtim;
    authorityFileSeen = true;
    loadNeeded = true;
  } else if (!exists && authorityFileSeen) {
    authorityFileSeen = false;
    authorityFileTime = timespec{};
    loadNeeded = true;
  }
}

// How many protocol rows take the entry (what the loader counts).
int knownProtocolCount(const Xauth* entry) {
  int known = 0;
  for (const AuthProtocol& protocol : kProtocols)
    known += protocol.add && protocol.nameLength == entry->name_length &&
             memcmp(protocol.name, entry->name, protocol.nameLength) == 0;
  return known;
}

void loadAuthorityFile() {
  // What the file held before goes: a cookie removed from the file must stop
  // being valid, and reloading must not pile entries up. Authorizations
  // that arrived otherwise (XDMCP) stay.
  mitDropCookies(true);
  xdmResetKeys(true);
  FILE* file = authorityFile ? fopen(authorityFile, "rb") : nullptr;
  if (!file) {
    if (!loadedBefore) enableLocalHost();
    return;
  }
  int count = 0;
  loadingFile = true;
  while (Xauth* entry = XauReadAuth(file)) {
    count += addAuthorityEntry(entry);
    XauDisposeAuth(entry);
  }
  loadingFile = false;
  fclose(file);
  if (count > 0) {
    disableLocalHost();
    loadedBefore = true;
  } else {
    enableLocalHost();
  }
}

}  // namespace

i32 checkAuthorization(u16 nameLength, const char* name, u16 dataLength, const u8* data,
                       const AccessClient* client, const char** reason) {
  noteAuthorityFileTime();
  if (loadNeeded) {
    loadNeeded = false;
    loadAuthorityFile();
  }
  if (nameLength == 0) {
    *reason = "No protocol specified\n";
    return -1;
  }
  const AuthProtocol* protocol = findProtocol(nameLength, name);
  if (!protocol) {
    *reason = "Protocol not supported by server\n";
    return -1;
  }
  return protocol->check(dataLength, data, client, reason);
}

void resetAuthorizationProtocols() {
  for (const AuthProtocol& protocol : kProtocols) protocol.reset();
  loadNeeded = true;
}

i32 authorizationToId(u16 nameLength, const char* name, u16 dataLength, const u8* data) {
  const AuthProtocol* protocol = findProtocol(nameLength, name);
  return protocol ? protocol->toId(dataLength, data) : -1;
}

bool authorizationFromID(i32 id, u16* nameLength, const char** name, u16* dataLength, const u8** data) {
  for (const AuthProtocol& protocol : kProtocols) {
    if (protocol.fromId(id, dataLength, data)) {
      *nameLength = protocol.nameLength;
      *name = protocol.name;
      return true;
    }
  }
  return false;
}

bool removeAuthorization(u16 nameLength, const char* name, u16 dataLength, const u8* data) {
  const AuthProtocol* protocol = findProtocol(nameLength, name);
  return protocol && protocol->remove(dataLength, data);
}

bool addAuthorization(u16 nameLength, const char* name, u16 dataLength, const u8* data) {
  const AuthProtocol* protocol = findProtocol(nameLength, name);
  return protocol && protocol->add(dataLength, data, ++nextAuthorizationId);
}

void warnAboutAuthorityFile() {
  if (!authorityFile) return;
  const char* path = authorityFile;
  struct stat link{};
  if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode))
    LOGF(logChWarning, "Authorization file %s is a symbolic link", path);
  FILE* file = fopen(path, "rb");
  if (!file) {
    // The loader opens the local host unless the file gave entries before
    // (or XDMCP runs): say what follows, not only what failed.
    bool opens = !isUsingXdmcp() && !loadedBefore;
    LOGF(logChWarning, "Authorization file %s can't be read (%s)%s", path, strerror(errno),
         opens ? " - local clients may connect without authorization" : "");
    return;
  }
  struct stat info{};
  if (fstat(fileno(file), &info) == 0 && (info.st_mode & S_IWOTH))
    LOGF(logChWarning, "Authorization file %s is writable by every user", path);
  int count = 0;
  while (Xauth* entry = XauReadAuth(file)) {
    count += knownProtocolCount(entry);
    XauDisposeAuth(entry);
  }
  fclose(file);
  if (count == 0)
    LOGF(logChWarning, "Authorization file %s holds no authorization%s", path,
         isUsingXdmcp() ? "" : " - local clients may connect without authorization");
}

void setHostAccessFile(const char* fileName) {
  free(authorityFile);
  authorityFile = fileName ? memStrdup(fileName) : nullptr;
  authorityFileSeen = false;
  loadNeeded = true;
}

void sunDesInit() {
  if (sunDesId < 0) addAuthorization(9, "SUN-DES-1", 0, nullptr);
}

// --- XDM-AUTHENTICATION-1 ----------------------------------------------------

void xdmAuthenticationInit(const char* key, int length) {
  memset(xdmPrivateKey, 0, sizeof xdmPrivateKey);
  if (length > 2 && key[0] == '0' && (key[1] == 'x' || key[1] == 'X')) {
    for (int i = 2; i < length && i < 18; i++) {
      int c = key[i], digit;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      else break;
      int index = (i - 2) / 2;
      xdmPrivateKey[index] = static_cast<u8>(xdmPrivateKey[index] << 4 | digit);
    }
  } else {
    for (int i = 0; i < 7 && i < length; i++) xdmPrivateKey[i + 1] = static_cast<u8>(key[i]);
  }
  XdmAuthKeyRec rho;
  XdmcpGenerateKey(&rho);
  memcpy(xdmRho, rho.data, 8);
  if (xdmAuthenticationHooks.registerAuthentication)
    xdmAuthenticationHooks.registerAuthentication("XDM-AUTHENTICATION-1", 20, xdmRho, 8);
}

bool xdmAuthenticationValidate(const u8* incoming, int length, int packetType) {
  constexpr int kAccept = 8;
  // Only an Accept carries proof that the manager knows the key (rho,
  // decremented); nothing else may end or steer the session.
  if (packetType != kAccept || length != 8) return false;
  u8 input[8], plain[8];
  memcpy(input, incoming, 8);
  XdmcpUnwrap(input, xdmPrivateKey, plain, 8);
  XdmAuthKeyRec value;
  memcpy(value.data, plain, 8);
  XdmcpDecrementKey(&value);
  return memcmp(value.data, xdmRho, 8) == 0;
}

int xdmAuthenticationGenerate(u8* out, int packetType) {
  constexpr int kRequest = 7;
  if (packetType != kRequest) return 0;
  u8 rho[8];
  memcpy(rho, xdmRho, 8);
  XdmcpWrap(rho, xdmPrivateKey, out, 8);
  return 8;
}

bool xdmAuthenticationAddAuth(u16 nameLength, const char* name, u16 dataLength, const u8* data) {
  if (dataLength == 0 || dataLength % 8 != 0 || dataLength > 256) return false;
  u8 input[256], plain[256];
  memcpy(input, data, dataLength);
  XdmcpUnwrap(input, xdmPrivateKey, plain, dataLength);
  xdmThroughXdmcp = true;
  bool added = addAuthorization(nameLength, name, dataLength, plain);
  xdmThroughXdmcp = false;
  return added;
}

}  // namespace palvon

#include "Proxy/clients/access.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <grp.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/auth.h"
#include "base/logging.h"

namespace palvon {

AccessXdmcpHooks accessXdmcpHooks;

namespace {

struct HostEntry {
  HostEntry* next;
  u16 family;
  u16 length;
  u8 requested;
  u8 address[];
};

struct SiType {
  SiType* next;
  char* name;
  int nameLength;
  SiMatch match;
  SiCheck check;
  void* argument;
};

HostEntry* accessList;
HostEntry* selfList;
SiType* siTypes;
bool accessEnabled = true;
bool localHostEnabled;
bool localHostRequested;
bool accessDefeated;
bool usingXdmcp;

constexpr int kCredUser = 1;
constexpr int kCredGroup = 2;
constexpr int kMaxHostnameValue = 1024;
constexpr int kMaxNetnameLength = 255;

HostEntry* makeEntry(int family, const void* address, int length) {
  auto* entry = static_cast<HostEntry*>(memAlloc(sizeof(HostEntry) + length));
  if (!entry) return nullptr;
  entry->next = nullptr;
  entry->family = static_cast<u16>(family);
  entry->length = static_cast<u16>(length);
  entry->requested = 0;
  if (length > 0) memcpy(entry->address, address, length);
  return entry;
}

bool entryEquals(const HostEntry* entry, int family, const void* address, int length) {
  return entry->family == family && entry->length == length &&
         (length == 0 || memcmp(entry->address, address, length) == 0);
}

HostEntry* findEntry(HostEntry* list, int family, const void* address, int length) {
  for (HostEntry* entry = list; entry; entry = entry->next)
    if (entryEquals(entry, family, address, length)) return entry;
  return nullptr;
}

void freeList(HostEntry** list) {
  while (HostEntry* entry = *list) {
    *list = entry->next;
    free(entry);
  }
}

// Unlinks and frees the first entry equal to the key; true when one was.
bool unlinkEntry(HostEntry** list, int family, const void* address, int length) {
  for (HostEntry** link = list; *link; link = &(*link)->next) {
    if (entryEquals(*link, family, address, length)) {
      HostEntry* entry = *link;
      *link = entry->next;
      free(entry);
      return true;
    }
  }
  return false;
}

bool addSelfEntry(int family, const void* address, int length) {
  if (findEntry(selfList, family, address, length)) return true;
  HostEntry* entry = makeEntry(family, address, length);
  if (!entry) return false;
  entry->next = selfList;
  selfList = entry;
  return true;
}

const SiType* findSiType(const u8* address, int length, int* typeLength) {
  const u8* nul = static_cast<const u8*>(memchr(address, 0, length));
  if (!nul) return nullptr;
  int nameLength = static_cast<int>(nul - address);
  for (const SiType* type = siTypes; type; type = type->next) {
    if (type->nameLength == nameLength && memcmp(type->name, address, nameLength) == 0) {
      *typeLength = nameLength;
      return type;
    }
  }
  return nullptr;
}

void registerXdmcpAddresses(int descriptor, const ifreq* request, const u8* address) {
  static const u8 kLoopback[4] = {127, 0, 0, 1};
  static const u8 kAny[4] = {0, 0, 0, 0};
  if (!memcmp(address, kLoopback, 4) || !memcmp(address, kAny, 4)) return;
  if (accessXdmcpHooks.connectionAddress) accessXdmcpHooks.connectionAddress(kFamilyInternet, address, 4);
  if (!accessXdmcpHooks.broadcastAddress) return;
  ifreq flags = *request;
  if (ioctl(descriptor, SIOCGIFFLAGS, &flags) < 0) return;
  if (!(flags.ifr_flags & IFF_UP) || !(flags.ifr_flags & IFF_BROADCAST)) return;
  ifreq broadcast = *request;
  if (ioctl(descriptor, SIOCGIFBRDADDR, &broadcast) < 0) return;
  accessXdmcpHooks.broadcastAddress(&broadcast.ifr_broadaddr, sizeof(sockaddr_in));
}

// Calls visit(address, length) for each IPv4 address the name resolves to,
// until it returns true; false when the name did not resolve.
template <typename Visit>
bool forEachResolvedAddress(const char* name, Visit visit) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0) return false;
  for (addrinfo* info = result; info; info = info->ai_next) {
    socklen_t length = info->ai_addrlen;
    const u8* address = nullptr;
    if (convertSockAddr(info->ai_addr, &length, &address) == kFamilyInternet &&
        visit(address, static_cast<int>(length)))
      break;
  }
  freeaddrinfo(result);
  return true;
}

// Adds every resolved IPv4 address of the name; false when none resolved.
bool addResolvedHost(const char* name) {
  return forEachResolvedAddress(name, [](const u8* address, int length) {
    if (!newHost(kFamilyInternet, address, length, false)) PALVON_OOM();
    return false;
  });
}

bool hasPrefix(const char* lower, const char* prefix) { return strncmp(lower, prefix, strlen(prefix)) == 0; }

// One line of the host access file, newline already cut.
void readHostsLine(char* line) {
  char lower[128];
  size_t n = strCopy(lower, line, sizeof lower);
  for (size_t i = 0; i < n; i++) lower[i] = static_cast<char>(tolower(static_cast<unsigned char>(lower[i])));
  const char* name = line;
  bool internet = false, netname = false;
  if (hasPrefix(lower, "local:")) {
    if (!newHost(kFamilyLocalHost, nullptr, 0, false)) PALVON_OOM();
    localHostRequested = true;
    return;
  } else if (hasPrefix(lower, "inet:")) {
    internet = true;
    name = line + 5;
  } else if (hasPrefix(lower, "nis:")) {
    netname = true;
    name = line + 4;
  } else if (hasPrefix(lower, "si:")) {
    // A text line joins type and value with ':'; the stored form separates
    // them with a NUL, so the first ':' becomes the separator.
    char* value = line + 3;
    int length = static_cast<int>(strlen(value));
    if (char* colon = strchr(value, ':')) *colon = '\0';
    int checked = checkServerInterpretedAddress(reinterpret_cast<const u8*>(value), length);
    if (checked >= 0 && !newHost(kFamilyServerInterpreted, value, checked, false)) PALVON_OOM();
    return;
  }
  if (netname || strchr(name, '@')) {
    sunDesInit();
    if (!newHost(kFamilyNetname, name, static_cast<int>(strlen(name)), false)) PALVON_OOM();
    return;
  }
  if (!addResolvedHost(name) && internet) addResolvedHost(name);
}

}  // namespace

void accessClientFromSocket(AccessClient* client, int descriptor) {
  memset(client, 0, sizeof *client);
  client->descriptor = descriptor;
  client->peerLength = sizeof client->peer;
  if (descriptor < 0 || getpeername(descriptor, reinterpret_cast<sockaddr*>(&client->peer), &client->peerLength) < 0) {
    // An empty address means a local connection: one that cannot be read
    // (a peer that reset the connection) must not pass for one.
    client->peerLength = 0;
    client->peerUnknown = true;
  }
}

int convertSockAddr(const sockaddr* socketAddress, socklen_t* length, const u8** address) {
  if (*length == 0 || socketAddress->sa_family < AF_INET) return kFamilyLocal;
  if (socketAddress->sa_family == AF_INET && *length >= sizeof(sockaddr_in)) {
    *length = 4;
    *address = reinterpret_cast<const u8*>(&reinterpret_cast<const sockaddr_in*>(socketAddress)->sin_addr);
    return kFamilyInternet;
  }
  return -1;
}

void defineSelfAddresses(int descriptor) {
  alignas(ifreq) char buffer[2048];
  ifconf list{};
  list.ifc_len = sizeof buffer;
  list.ifc_buf = buffer;
  if (ioctl(descriptor, SIOCGIFCONF, &list) < 0) {
    LOGF(logChError, "Getting interface configuration (4)");
    list.ifc_len = 0;
  }
  for (int offset = 0; offset + static_cast<int>(sizeof(ifreq)) <= list.ifc_len; offset += sizeof(ifreq)) {
    const ifreq* request = reinterpret_cast<const ifreq*>(buffer + offset);
    socklen_t length = sizeof(sockaddr_in);
    const u8* address = nullptr;
    int family = convertSockAddr(&request->ifr_addr, &length, &address);
    if (family < 0 || family == kFamilyLocal || findEntry(selfList, family, address, length)) continue;
    if (!addSelfEntry(family, address, length)) {
      PALVON_OOM();
      continue;
    }
    if (family == kFamilyInternet) registerXdmcpAddresses(descriptor, request, address);
  }
  if (!addSelfEntry(kFamilyLocalHost, nullptr, 0)) PALVON_OOM();
}

void registerXdmcpInterfaces(int descriptor) {
  alignas(ifreq) char buffer[2048];
  ifconf list{};
  list.ifc_len = sizeof buffer;
  list.ifc_buf = buffer;
  if (ioctl(descriptor, SIOCGIFCONF, &list) < 0) return;
  for (int offset = 0; offset + static_cast<int>(sizeof(ifreq)) <= list.ifc_len; offset += sizeof(ifreq)) {
    const ifreq* request = reinterpret_cast<const ifreq*>(buffer + offset);
    socklen_t length = sizeof(sockaddr_in);
    const u8* address = nullptr;
    if (convertSockAddr(&request->ifr_addr, &length, &address) == kFamilyInternet)
      registerXdmcpAddresses(descriptor, request, address);
  }
}

void augmentSelfHosts(const sockaddr* socketAddress, socklen_t length) {
  const u8* address = nullptr;
  int family = convertSockAddr(socketAddress, &length, &address);
  if (family < 0 || family == kFamilyLocal) return;
  if (!addSelfEntry(family, address, length)) PALVON_OOM();
}

bool newHost(int family, const void* address, int length, bool addingSelf) {
  if (findEntry(accessList, family, address, length)) return true;
  if (!addingSelf)
    if (HostEntry* self = findEntry(selfList, family, address, length)) self->requested = 1;
  HostEntry* entry = makeEntry(family, address, length);
  if (!entry) return false;
  entry->next = accessList;
  accessList = entry;
  return true;
}

void addLocalHosts() {
  for (HostEntry* self = selfList; self; self = self->next)
    if (!newHost(self->family, self->address, self->length, true)) PALVON_OOM();
}

void enableLocalHost() {
  if (usingXdmcp) return;
  localHostEnabled = true;
  addLocalHosts();
}

void accessUsingXdmcp(bool inUse) {
  usingXdmcp = inUse;
  if (inUse) localHostEnabled = false;
}

bool isUsingXdmcp() { return usingXdmcp; }

void disableLocalHost() {
  if (!localHostRequested) localHostEnabled = false;
  for (HostEntry* self = selfList; self; self = self->next)
    if (!self->requested) unlinkEntry(&accessList, self->family, self->address, self->length);
}

bool isLocalClient(const AccessClient* client) {
  if (client->peerUnknown) return false;
  socklen_t length = client->peerLength;
  const u8* address = nullptr;
  int family = convertSockAddr(reinterpret_cast<const sockaddr*>(&client->peer), &length, &address);
  if (family == kFamilyLocal) return true;
  return family >= 0 && findEntry(selfList, family, address, length) != nullptr;
}

int getLocalClientCredentials(const AccessClient* client, uid_t* user, gid_t* group, const gid_t** groups,
                              int* groupCount) {
  if (!client || client->descriptor < 0) return -1;
  if (client->peerLength == 0 || client->peer.ss_family != AF_UNIX) return -1;
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(client->descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &size) < 0) return -1;
  *user = credentials.uid;
  *group = credentials.gid;
  *groups = nullptr;
  *groupCount = 0;
  return 0;
}

bool isAuthorizedClient(const AccessClient* client) {
  return !client || accessDefeated || isLocalClient(client);
}

bool forEachHostInFamily(int family, bool (*operation)(const u8*, int, void*), void* argument) {
  for (HostEntry* entry = accessList; entry; entry = entry->next)
    if (entry->family == family && operation(entry->address, entry->length, argument)) return true;
  return false;
}

bool isAccessControlEnabled() { return accessEnabled; }
void setAccessControlEnabled(bool enabled) { accessEnabled = enabled; }
void setAccessControlDefeated(bool defeated) { accessDefeated = defeated; }

int addServerInterpretedType(const char* name, SiMatch match, SiCheck check, void* argument) {
  if (!name || !match || !check) return kBadValue;
  int nameLength = static_cast<int>(strlen(name));
  SiType** link = &siTypes;
  for (; *link; link = &(*link)->next) {
    if ((*link)->nameLength == nameLength && memcmp((*link)->name, name, nameLength) == 0) {
      (*link)->match = match;
      (*link)->check = check;
      (*link)->argument = argument;
      return kAccessOk;
    }
  }
  auto* type = static_cast<SiType*>(memCalloc(1, sizeof(SiType)));
  char* copy = memStrdup(name);
  if (!type || !copy) {
    free(type);
    free(copy);
    return kBadAlloc;
  }
  *type = SiType{nullptr, copy, nameLength, match, check, argument};
  *link = type;
  return kAccessOk;
}

HostVerdict checkHostAtOnce(const sockaddr* socketAddress, socklen_t length, const AccessClient* client) {
  if (!accessEnabled) return HostVerdict::kValid;
  if (client && client->peerUnknown) return HostVerdict::kInvalid;
  const u8* address = nullptr;
  int family = convertSockAddr(socketAddress, &length, &address);
  if (family < 0) return HostVerdict::kInvalid;
  if (family == kFamilyLocal) {
    if (localHostEnabled) return HostVerdict::kValid;
    for (HostEntry* self = selfList; self; self = self->next)
      if (findEntry(accessList, self->family, self->address, self->length)) return HostVerdict::kValid;
  }
  bool byName = false;
  for (HostEntry* entry = accessList; entry; entry = entry->next) {
    if (entry->family == kFamilyServerInterpreted) {
      int typeLength = 0;
      const SiType* type = findSiType(entry->address, entry->length, &typeLength);
      if (!type) continue;
      // Only an internet client can be one of the names.
      if (type->match == siHostnameAddrMatch) {
        byName = byName || family == kFamilyInternet;
        continue;
      }
      const char* value = reinterpret_cast<const char*>(entry->address) + typeLength + 1;
      if (type->match(family, address, static_cast<int>(length), value, entry->length - typeLength - 1, client,
                      type->argument))
        return HostVerdict::kValid;
    } else if (entryEquals(entry, family, address, static_cast<int>(length))) {
      return HostVerdict::kValid;
    }
  }
  return byName ? HostVerdict::kAfterLookup : HostVerdict::kInvalid;
}

struct HostnameLookup {
  u8 address[4];
  u32 size;      // bytes of names
  char names[];  // each value with its NUL
};

HostnameLookup* copyHostnameLookup(const sockaddr* socketAddress, socklen_t length) {
  const u8* address = nullptr;
  if (convertSockAddr(socketAddress, &length, &address) != kFamilyInternet || length != 4) return nullptr;
  u32 size = 0;
  auto each = [](auto visit) {
    for (HostEntry* entry = accessList; entry; entry = entry->next) {
      int typeLength = 0;
      const SiType* type = entry->family == kFamilyServerInterpreted
                               ? findSiType(entry->address, entry->length, &typeLength)
                               : nullptr;
      if (type && type->match == siHostnameAddrMatch)
        visit(reinterpret_cast<const char*>(entry->address) + typeLength + 1, entry->length - typeLength - 1);
    }
  };
  each([&](const char*, int valueLength) { size += u32(valueLength) + 1; });
  auto* lookup = static_cast<HostnameLookup*>(memCalloc(1, sizeof(HostnameLookup) + size));
  if (!lookup) return nullptr;
  memcpy(lookup->address, address, 4);
  each([&](const char* value, int valueLength) {
    memcpy(lookup->names + lookup->size, value, size_t(valueLength));
    lookup->size += u32(valueLength) + 1;
  });
  return lookup;
}

bool hostnameLookupMatches(const HostnameLookup* lookup) {
  for (u32 at = 0; at < lookup->size; at += u32(strlen(lookup->names + at)) + 1) {
    const char* name = lookup->names + at;
    if (siHostnameAddrMatch(kFamilyInternet, lookup->address, 4, name, int(strlen(name)), nullptr, nullptr))
      return true;
  }
  return false;
}

void freeHostnameLookup(HostnameLookup* lookup) { free(lookup); }

bool isInvalidHost(const sockaddr* socketAddress, socklen_t length, const AccessClient* client) {
  HostVerdict verdict = checkHostAtOnce(socketAddress, length, client);
  if (verdict != HostVerdict::kAfterLookup) return verdict == HostVerdict::kInvalid;
  HostnameLookup* lookup = copyHostnameLookup(socketAddress, length);
  bool matched = lookup && hostnameLookupMatches(lookup);
  freeHostnameLookup(lookup);
  return !matched;
}

int checkServerInterpretedAddress(const u8* address, int length) {
  int typeLength = 0;
  const SiType* type = findSiType(address, length, &typeLength);
  if (!type) return -1;
  int checked = type->check(reinterpret_cast<const char*>(address) + typeLength + 1, length - typeLength - 1,
                            type->argument);
  return checked < 0 ? checked : checked + typeLength + 1;
}

int checkHostAddress(int family, const u8* address, int length) {
  if (family == kFamilyInternet) return length == 4 ? 4 : -1;
  if (family == kFamilyServerInterpreted) return checkServerInterpretedAddress(address, length);
  return -1;
}

// A secure-RPC net name ("unix.<id>@<domain>"): printable, without
// blanks, with an at sign, and no longer than the RPC library allows.
static bool isNetname(const u8* address, int length) {
  if (length < 1 || length > kMaxNetnameLength || !memchr(address, '@', length)) return false;
  for (int i = 0; i < length; i++)
    if (address[i] <= ' ' || address[i] >= 0x7f) return false;
  return true;
}

// The checks both ChangeHosts modes share: the stored length, or -1 after
// setting the error code in *code.
static int hostChangeLength(AccessClient* client, int family, int length, const u8* address, int* code) {
  if (!isAuthorizedClient(client)) {
    *code = kBadAccess;
    return -1;
  }
  if (family <= 2 || family == kFamilyServerInterpreted) {
    int stored = checkHostAddress(family, address, length);
    if (stored < 0) {
      if (client) client->errorValue = static_cast<u32>(length);
      *code = kBadValue;
    }
    return stored;
  }
  if (family == kFamilyLocalHost || (family == kFamilyNetname && isNetname(address, length))) return length;
  if (client) client->errorValue = static_cast<u32>(family);
  *code = kBadValue;
  return -1;
}

int addHost(AccessClient* client, int family, int length, const u8* address) {
  int code = kAccessOk;
  int stored = hostChangeLength(client, family, length, address, &code);
  if (stored < 0) return code;
  if (family == kFamilyLocalHost) localHostEnabled = true;
  if (family == kFamilyNetname) sunDesInit();
  return newHost(family, address, stored, false) ? kAccessOk : kBadAlloc;
}

int removeHost(AccessClient* client, int family, int length, const u8* address) {
  int code = kAccessOk;
  int stored = hostChangeLength(client, family, length, address, &code);
  if (stored < 0) return code;
  if (family == kFamilyLocalHost) localHostEnabled = false;
  unlinkEntry(&accessList, family, address, stored);
  return kAccessOk;
}

// Registers the types, clears the list and the requests of the last file.
static void beginHostsFile() {
  addServerInterpretedType("hostname", siHostnameAddrMatch, siHostnameCheckAddr, nullptr);
  addServerInterpretedType("localuser", siLocalCredAddrMatch, siLocalCredCheckAddr,
                           reinterpret_cast<void*>(static_cast<intptr_t>(kCredUser)));
  addServerInterpretedType("localgroup", siLocalCredAddrMatch, siLocalCredCheckAddr,
                           reinterpret_cast<void*>(static_cast<intptr_t>(kCredGroup)));
  accessEnabled = !accessDefeated;
  localHostEnabled = false;
  localHostRequested = false;
  for (HostEntry* self = selfList; self; self = self->next) self->requested = 0;
  freeList(&accessList);
}

void readHostsFile(const char* displayNumber) {
  if (strlen(displayNumber) > 4084) {
    beginHostsFile();
    LOGF(logChError, "Display name `%s' is too long\n", displayNumber);
    return;
  }
  char path[4100];
  snprintf(path, sizeof path, "/etc/X%s.hosts", displayNumber);
  readHostsFileAt(path);
}

void readHostsFileAt(const char* path) {
  beginHostsFile();
  FILE* file = fopen(path, "r");
  if (!file) return;
  char line[120];
  while (fgets(line, sizeof line, file)) {
    if (line[0] == '#') continue;
    line[strcspn(line, "\n")] = '\0';
    readHostsLine(line);
  }
  fclose(file);
}

int listHosts(u8** data, int* count, int* length, bool* enabled) {
  *data = nullptr;
  *count = 0;
  *length = 0;
  *enabled = accessEnabled;
  int total = 0, n = 0;
  for (HostEntry* entry = accessList; entry; entry = entry->next, n++) total += 4 + ((entry->length + 3) & ~3);
  if (n == 0) return kAccessOk;
  auto* out = static_cast<u8*>(memCalloc(1, total));
  if (!out) return kBadAlloc;
  u8* p = out;
  for (HostEntry* entry = accessList; entry; entry = entry->next) {
    p[0] = static_cast<u8>(entry->family);
    memcpy(p + 2, &entry->length, 2);
    if (entry->length) memcpy(p + 4, entry->address, entry->length);
    p += 4 + ((entry->length + 3) & ~3);
  }
  *data = out;
  *count = n;
  *length = total;
  return kAccessOk;
}

void resetHostAccess() {
  freeList(&accessList);
  freeList(&selfList);
  accessEnabled = true;
  localHostEnabled = localHostRequested = accessDefeated = usingXdmcp = false;
}

// --- Server-interpreted types ----------------------------------------------

bool siHostnameAddrMatch(int family, const u8* address, int length, const char* value, int valueLength,
                         const AccessClient*, void*) {
  if (family != kFamilyInternet || valueLength < 0 || valueLength > kMaxHostnameValue) return false;
  char name[kMaxHostnameValue + 1];
  memcpy(name, value, valueLength);
  name[valueLength] = '\0';
  bool matched = false;
  forEachResolvedAddress(name, [&](const u8* resolved, int resolvedLength) {
    matched = resolvedLength == length && memcmp(resolved, address, length) == 0;
    return matched;
  });
  return matched;
}

int siHostnameCheckAddr(const char* value, int length, void*) {
  if (length < 1 || length > kMaxHostnameValue) return -1;
  char previous = 0;
  for (int i = 0; i < length; i++) {
    char c = value[i];
    bool alnum = isalnum(static_cast<unsigned char>(c));
    bool prevAlnum = previous && isalnum(static_cast<unsigned char>(previous));
    if (c == '.') {
      if (!prevAlnum) return -1;
    } else if (c == '-') {
      if (!prevAlnum && previous != '-') return -1;
    } else if (!alnum && c != ':') {
      return -1;
    }
    previous = c;
  }
  return length;
}

bool getLocalCredId(const char* name, int length, int kind, u32* id) {
  if (length <= 0 || length > 255) return false;
  char text[256];
  memcpy(text, name, length);
  text[length] = '\0';
  if (text[0] == '#') {
    char* end = nullptr;
    unsigned long number = strtoul(text + 1, &end, 0);
    if (end == text + 1 || *end != '\0' || number > 0xffffffffUL) return false;
    *id = static_cast<u32>(number);
    return true;
  }
  if (kind == kCredUser) {
    const passwd* user = getpwnam(text);
    if (!user) return false;
    *id = user->pw_uid;
    return true;
  }
  const group* entry = getgrnam(text);
  if (!entry) return false;
  *id = entry->gr_gid;
  return true;
}

bool siLocalCredAddrMatch(int, const u8*, int, const char* value, int valueLength, const AccessClient* client,
                          void* argument) {
  uid_t user = 0;
  gid_t group = 0;
  const gid_t* groups = nullptr;
  int groupCount = 0;
  if (getLocalClientCredentials(client, &user, &group, &groups, &groupCount) < 0) return false;
  int kind = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  u32 id = 0;
  if (!getLocalCredId(value, valueLength, kind, &id)) return false;
  if (kind == kCredUser) return id == user;
  if (id == group) return true;
  for (int i = 0; i < groupCount; i++)
    if (groups[i] == id) return true;
  return false;
}

int siLocalCredCheckAddr(const char* value, int length, void* argument) {
  u32 id = 0;
  return getLocalCredId(value, length, static_cast<int>(reinterpret_cast<intptr_t>(argument)), &id) ? length : -1;
}

}  // namespace palvon

// Host access control: which hosts may connect without authorization, the
// host list that clients change with ChangeHosts and SetAccessControl, the
// host access file of the display number, and this machine's own addresses.
//
// All calls come from the main thread. The lists are module state; entries
// are owned here.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include "base/strings.h"

namespace palvon {

// Host families.
constexpr int kFamilyInternet = 0;
constexpr int kFamilyServerInterpreted = 5;
constexpr int kFamilyLocalHost = 252;
constexpr int kFamilyNetname = 254;
constexpr int kFamilyLocal = 256;
constexpr int kFamilyWild = 65535;

// Result codes: X11 error numbers.
constexpr int kAccessOk = 0;
constexpr int kBadValue = 2;
constexpr int kBadAccess = 10;
constexpr int kBadAlloc = 11;

// The view of a connecting client that host access and authorization need.
// peerLength 0 stands for an empty address (a local connection), unless
// peerUnknown says the address could not be read: such a client is neither
// local nor a valid host, whatever the lists hold.
struct AccessClient {
  int descriptor;              // the client's socket, -1 when none
  sockaddr_storage peer;
  socklen_t peerLength;
  u32 errorValue;              // the value of a BadValue answer
  bool peerUnknown;
};

// Fills the view from a connected socket (peer address through getpeername;
// a failure marks the peer unknown).
void accessClientFromSocket(AccessClient* client, int descriptor);

// Family of a socket address: kFamilyLocal for an empty or Unix-domain
// address, kFamilyInternet (length 4, *address into the sockaddr) for IPv4,
// -1 for anything else.
int convertSockAddr(const sockaddr* socketAddress, socklen_t* length, const u8** address);

void defineSelfAddresses(int descriptor);
void augmentSelfHosts(const sockaddr* socketAddress, socklen_t length);
bool newHost(int family, const void* address, int length, bool addingSelf);
void addLocalHosts();
// Does nothing while XDMCP is in use: the display manager's authorization
// is the only way in then, never the local host by default.
void enableLocalHost();
void disableLocalHost();
// XDMCP runs (or no longer does): while it does the local host is off and
// enableLocalHost does not turn it on. Cleared by resetHostAccess too.
void accessUsingXdmcp(bool inUse);
bool isUsingXdmcp();
bool isLocalClient(const AccessClient* client);
int getLocalClientCredentials(const AccessClient* client, uid_t* user, gid_t* group,
                              const gid_t** groups, int* groupCount);
bool isAuthorizedClient(const AccessClient* client);
bool forEachHostInFamily(int family, bool (*operation)(const u8* address, int length, void* argument),
                         void* argument);
bool isAccessControlEnabled();
void setAccessControlEnabled(bool enabled);
// Set from the configuration when the listeners are opened.
void setAccessControlDefeated(bool defeated);

using SiMatch = bool (*)(int family, const u8* address, int length, const char* value, int valueLength,
                         const AccessClient* client, void* argument);
using SiCheck = int (*)(const char* value, int length, void* argument);
int addServerInterpretedType(const char* name, SiMatch match, SiCheck check, void* argument);

// True when the client at this address is refused (always for a client
// whose peer is unknown). May wait for a name server.
bool isInvalidHost(const sockaddr* socketAddress, socklen_t length, const AccessClient* client);

// The same check without resolving names: entries of type "hostname" wait
// for a name server, which only a look-up beside the event loop may ask
// (kAfterLookup: no other entry lets the client in, one of them may).
enum class HostVerdict { kValid, kInvalid, kAfterLookup };
HostVerdict checkHostAtOnce(const sockaddr* socketAddress, socklen_t length, const AccessClient* client);
// What that look-up needs, copied off the access list (the list may change
// meanwhile): the names of the "hostname" entries and the client's address.
// Null when out of memory. Any thread may run hostnameLookupMatches, which
// waits for the name server; true when a name resolves to the address.
struct HostnameLookup;
HostnameLookup* copyHostnameLookup(const sockaddr* socketAddress, socklen_t length);
bool hostnameLookupMatches(const HostnameLookup* lookup);
void freeHostnameLookup(HostnameLookup* lookup);
int checkServerInterpretedAddress(const u8* address, int length);
int checkHostAddress(int family, const u8* address, int length);
int addHost(AccessClient* client, int family, int length, const u8* address);
int removeHost(AccessClient* client, int family, int length, const u8* address);
// The host access file "/etc/X<number>.hosts".
void readHostsFile(const char* displayNumber);
void readHostsFileAt(const char* path);
// The ListHosts reply body in the proxy's byte order: one entry per host
// (family byte, unused byte, 16-bit length, address padded to 4). *data is
// heap memory the caller frees (null when the list is empty).
int listHosts(u8** data, int* count, int* length, bool* enabled);
// Forgets both lists and every flag (tests and exit).
void resetHostAccess();

// Server-interpreted operations.
bool siHostnameAddrMatch(int family, const u8* address, int length, const char* value, int valueLength,
                         const AccessClient* client, void* argument);
int siHostnameCheckAddr(const char* value, int length, void* argument);
bool siLocalCredAddrMatch(int family, const u8* address, int length, const char* value, int valueLength,
                          const AccessClient* client, void* argument);
int siLocalCredCheckAddr(const char* value, int length, void* argument);
bool getLocalCredId(const char* name, int length, int kind, u32* id);

// XDMCP learns this machine's connection and broadcast addresses here; the
// hooks stay null while XDMCP is not running.
struct AccessXdmcpHooks {
  void (*connectionAddress)(int family, const u8* address, int length);
  void (*broadcastAddress)(const sockaddr* address, socklen_t length);
};
extern AccessXdmcpHooks accessXdmcpHooks;
// Hands every IPv4 interface (loopback excepted) to the hooks again, for an
// XDMCP started after the listeners; the descriptor is any socket.
void registerXdmcpInterfaces(int descriptor);

}  // namespace palvon
